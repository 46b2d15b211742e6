// flushcopy: the platform's own file copy, for timing the updater's copy
// against it under Wine.
//
//   flushcopy [--no-flush] [--chunk BYTES] SOURCE TARGET
//
// By default: CopyFileA(SOURCE, TARGET), then the copy opened for writing
// and FlushFileBuffers on it, so that the data is on disk when the tool
// ends, as the updater's is. --no-flush leaves the flush out. --chunk copies
// with a ReadFile/WriteFile loop of BYTES at a time instead of CopyFileA
// (the way the updater copies), to tell the cost of the chunk size apart.
// Exit 0 on success; 1 with a message on stderr otherwise; 2 on bad usage.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int Fail(const char *what, const char *path)
{
    fprintf(stderr, "flushcopy: %s %s failed (error %lu)\n", what, path, (unsigned long)GetLastError());
    return 1;
}

int CopyInChunks(const char *source, const char *target, DWORD chunk)
{
    HANDLE in = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (in == INVALID_HANDLE_VALUE)
        return Fail("opening", source);
    HANDLE out = CreateFileA(target, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, 0);
    if (out == INVALID_HANDLE_VALUE) {
        CloseHandle(in);
        return Fail("creating", target);
    }
    char *buffer = (char *)malloc(chunk);
    int result = buffer ? 0 : Fail("allocating a buffer for", target);
    while (result == 0) {
        DWORD got = 0, put = 0;
        if (!ReadFile(in, buffer, chunk, &got, 0)) {
            result = Fail("reading", source);
        } else if (got == 0) {
            break;
        } else if (!WriteFile(out, buffer, got, &put, 0) || put != got) {
            result = Fail("writing", target);
        }
    }
    free(buffer);
    CloseHandle(out);
    CloseHandle(in);
    return result;
}

int Flush(const char *target)
{
    HANDLE out = CreateFileA(target, GENERIC_WRITE, 0, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (out == INVALID_HANDLE_VALUE)
        return Fail("opening for the flush", target);
    BOOL flushed = FlushFileBuffers(out);
    int result = flushed ? 0 : Fail("flushing", target);
    CloseHandle(out);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    bool flush = true;
    DWORD chunk = 0;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--no-flush") == 0) {
            flush = false;
        } else if (strcmp(argv[i], "--chunk") == 0 && i + 1 < argc) {
            chunk = strtoul(argv[++i], 0, 10);
            if (chunk == 0)
                break;
        } else {
            break;
        }
    }
    if (argc - i != 2) {
        fputs("usage: flushcopy [--no-flush] [--chunk BYTES] SOURCE TARGET\n", stderr);
        return 2;
    }
    const char *source = argv[i], *target = argv[i + 1];
    if (chunk) {
        if (CopyInChunks(source, target, chunk) != 0)
            return 1;
    } else if (!CopyFileA(source, target, FALSE)) {
        return Fail("CopyFileA to", target);
    }
    return flush ? Flush(target) : 0;
}
