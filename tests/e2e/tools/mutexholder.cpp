// mutexholder: holds a named mutex for the end-to-end tests, playing the
// running game (or a bystander that keeps a second handle open).
//
//   mutexholder NAME
//
// Opens (or creates) the mutex NAME without owning it and prints
// "ready existed=0|1". Then reads one command per line from standard input
// and answers each with one line on standard output:
//   acquire  WaitForSingleObject(mutex, 0): "object_0", "abandoned",
//            "timeout" or "failed <error>"; also serves as a probe of who
//            owns the mutex now
//   release  ReleaseMutex: "released" or "not_owner <error>"
//   abandon  prints "abandoning" and ends the process without releasing or
//            closing: a mutex it owns is left abandoned
//   quit     closes the handle, prints "bye" and ends
// End of input counts as quit. The exit code is 0 unless the mutex could
// not be opened (1) or the arguments are wrong (2).

#include <windows.h>
#include <stdio.h>
#include <string.h>

static void Answer(const char* line)
{
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fputs("usage: mutexholder NAME\n", stderr);
        return 2;
    }
    HANDLE mutex = CreateMutexA(NULL, FALSE, argv[1]);
    if (mutex == NULL) {
        printf("failed %lu\n", (unsigned long)GetLastError());
        fflush(stdout);
        return 1;
    }
    printf("ready existed=%d\n", GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0);
    fflush(stdout);

    char line[256];
    char reply[64];
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strcmp(line, "acquire") == 0) {
            DWORD result = WaitForSingleObject(mutex, 0);
            if (result == WAIT_OBJECT_0) {
                Answer("object_0");
            } else if (result == WAIT_ABANDONED) {
                Answer("abandoned");
            } else if (result == WAIT_TIMEOUT) {
                Answer("timeout");
            } else {
                snprintf(reply, sizeof reply, "failed %lu", (unsigned long)GetLastError());
                Answer(reply);
            }
        } else if (strcmp(line, "release") == 0) {
            if (ReleaseMutex(mutex)) {
                Answer("released");
            } else {
                snprintf(reply, sizeof reply, "not_owner %lu", (unsigned long)GetLastError());
                Answer(reply);
            }
        } else if (strcmp(line, "abandon") == 0) {
            Answer("abandoning");
            ExitProcess(0);
        } else if (strcmp(line, "quit") == 0) {
            break;
        } else {
            snprintf(reply, sizeof reply, "unknown %.40s", line);
            Answer(reply);
        }
    }
    CloseHandle(mutex);
    Answer("bye");
    return 0;
}
