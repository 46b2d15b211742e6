// The simulated Windows behind the host build. A test describes the machine
// (volumes, files, registry, mutexes, the code page, the own module's path),
// scripts what the user answers and which platform calls fail, runs the
// program's code, and then reads back what happened: every box shown, the
// files left behind, the handles still open.
//
// Everything lives in one process-wide machine; Reset() gives a fresh one.
// Paths are compared without regard to ASCII case; names are stored as given.
#ifndef KORVALUP_SIM_H
#define KORVALUP_SIM_H

#include "platform.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

// Reports a misuse that the test should fail on (an unscripted box, a leaked
// handle noticed by a check, an answer that the box has no button for).
// The default handler prints to stderr and aborts; test support installs one
// that records a GoogleTest failure.
typedef void (*FailureHandler)(const std::string &what);
void SetFailureHandler(FailureHandler handler);

// --- the machine ----------------------------------------------------------

// Forget everything: no volumes, no registry, no mutexes, no scripts, code
// page 932, own module path empty (GetModuleFileNameA fails), all counters 0.
void Reset();

// 932, 1252 (single byte: no lead bytes), or 0: the code page cannot be queried.
void SetCodePage(UINT codePage);

// A volume root: "C:" or "\\\\server\\share". Paths below unknown volumes do
// not exist and cannot be created.
void AddVolume(const std::string &root);

// The folder that relative paths start from ("C:\\" unless set): "name"
// resolves below it, "\\name" below its volume root.
void SetCurrentFolder(const std::string &path);

// The running executable's full path; empty makes GetModuleFileNameA fail.
void SetModulePath(const std::string &path);

// Times are 64-bit FILETIME values. A new entry made by the program gets the
// machine clock, which advances by one on every stamp.
struct Times {
    uint64_t creation = 0, lastAccess = 0, lastWrite = 0;
    bool operator==(const Times &o) const {
        return creation == o.creation && lastAccess == o.lastAccess && lastWrite == o.lastWrite;
    }
};

// Parents must exist (use AddFolders for a chain). Replaces an existing file.
void AddFolder(const std::string &path, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY);
void AddFolders(const std::string &path); // every missing folder along the path
void AddFile(const std::string &path, const std::string &content, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
// A file whose byte at offset i is PatternByte(i), of any size, stored without
// its bytes. A file written with exactly that pattern stays stored that way.
void AddPatternFile(const std::string &path, uint64_t size, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
uint8_t PatternByte(uint64_t offset);
void SetTimes(const std::string &path, const Times &times);
void SetAttributes(const std::string &path, DWORD attributes);
void Remove(const std::string &path); // a file or an empty folder

bool Exists(const std::string &path);
bool IsFolder(const std::string &path);
DWORD Attributes(const std::string &path);
Times TimesOf(const std::string &path);
uint64_t SizeOf(const std::string &path);
std::string ContentOf(const std::string &path); // explicit content; for pattern files up to 64 MiB
bool HoldsPattern(const std::string &path);     // the whole file is the pattern
// Names directly inside a folder, as stored, sorted.
std::vector<std::string> List(const std::string &folder);
// Every path on the machine, files and folders, as stored, sorted.
std::vector<std::string> AllPaths();

// True when the file's bytes are all on disk (no write since its last flush
// or since it was created empty).
bool IsDurable(const std::string &path);

// --- registry (current user) ----------------------------------------------

void SetRegistryValue(const std::string &key, const std::string &name, DWORD type, const std::string &data);
// A REG_SZ value with its terminator stored.
void SetRegistryString(const std::string &key, const std::string &name, const std::string &text);
void DeleteRegistryKey(const std::string &key);
// A key the user may read but not modify (KEY_ALL_ACCESS is refused).
void SetRegistryKeyReadOnly(const std::string &key, bool readOnly = true);
// Keys still open.
int OpenRegistryKeys();

// --- named mutexes ----------------------------------------------------------

// Another process (the game) creates the named mutex and owns it.
void OtherProcessHolds(const std::string &name);
// The other process releases it and closes its handle.
void OtherProcessReleases(const std::string &name);
// The other process ends while owning it, leaving it abandoned; the mutex
// lives on only if some handle to it is still open (here: always, for tests).
void OtherProcessAbandons(const std::string &name);
// Makes CreateMutexA fail for this name.
void MutexCannotBeCreated(const std::string &name);
bool ProgramOwnsMutex(const std::string &name);
bool MutexExists(const std::string &name);

// --- message boxes ----------------------------------------------------------

struct Box {
    HWND owner;
    std::string text, caption;
    UINT style;
};
// Queue the answer to the next box. `meanwhile` runs while the box is up,
// before the answer returns: the user quitting the game, someone writing the
// registry, a fault clearing.
void Answer(int button, std::function<void()> meanwhile = nullptr);
const std::vector<Box> &Boxes();
int UnansweredBoxes(); // scripted answers not yet used

// --- folder dialog ----------------------------------------------------------

struct BrowseCall {
    HWND owner;
    bool rootGiven;
    std::string title;
    UINT flags;
    bool callbackGiven;
    int image;
};
void BrowsePicks(const std::string &path, std::function<void()> meanwhile = nullptr);
void BrowseCancels(std::function<void()> meanwhile = nullptr);
// The user picks an item that has no file-system path; the display name is
// `displayName`.
void BrowsePicksVirtual(const std::string &displayName);
void ShellAllocatorUnavailable(bool unavailable = true);
const std::vector<BrowseCall> &BrowseCalls();
int OutstandingItemLists(); // item lists handed out and not freed
int AllocatorReferences();  // allocator references not released

// --- shell open, error mode -------------------------------------------------

struct ShellOpen {
    HWND owner;
    std::string verb, file, parameters, directory;
    int show;
};
const std::vector<ShellOpen> &ShellOpens();
UINT ErrorMode();
// Every mode passed to SetErrorMode, in order.
const std::vector<UINT> &ErrorModesSet();

// --- handles ----------------------------------------------------------------

int OpenFileHandles(); // files and searches still open
int OpenMutexHandles();

// Open a file as another program would, to see what sharing allows.
// Returns true when the open would succeed now (nothing is kept open).
bool OtherProgramCanOpen(const std::string &path, DWORD access, DWORD share);

// --- faults -----------------------------------------------------------------

enum Op {
    OpMessageBox, OpCreateMutex, OpWait, OpReleaseMutex, OpCloseHandle,
    OpRegOpenKey, OpRegQueryValue, OpRegCloseKey, OpGetModuleFileName,
    OpGetFileAttributes, OpFindFirstFile, OpFindClose, OpCreateDirectory, OpCreateFile,
    OpGetFileSize, OpGetFileTime, OpSetFileTime, OpReadFile, OpWriteFile, OpSetFilePointer,
    OpFlushFileBuffers, OpDeleteFile, OpMoveFile, OpSetErrorMode,
    OpSHGetMalloc, OpSHBrowseForFolder, OpSHGetPathFromIDList, OpShellExecute,
    OpGetACP, OpGetCPInfo, OpCount
};
const char *OpName(Op op);

// Fail the nth call (1-based, counted from the last Reset) of `op`, or, with
// `persistent`, that call and every later one until ClearFaults(). A failing
// call changes nothing and reports `error` through GetLastError.
void FailCall(Op op, unsigned nth, bool persistent = false, DWORD error = ERROR_GEN_FAILURE);
// Fail the nth platform call of any kind (message boxes not counted).
void FailNthCall(unsigned nth, DWORD error = ERROR_GEN_FAILURE);
// The nth ReadFile / WriteFile succeeds but moves only `bytes` bytes; with
// `persistent` every later one too.
void ShortRead(unsigned nth, DWORD bytes, bool persistent = false);
void ShortWrite(unsigned nth, DWORD bytes, bool persistent = false);
// The nth SetFilePointerEx reports a position off by `delta` (the file
// position itself moves as asked).
void WrongSeek(unsigned nth, int64_t delta, bool persistent = false);
void ClearFaults();

unsigned CallCount(Op op);
unsigned TotalCalls(); // every platform call but message boxes
// A line per platform call, "Op arg", in order (for diagnostics).
const std::vector<std::string> &CallLog();
// The op of the nth call counted by TotalCalls.
Op NthCallOp(unsigned nth);

} // namespace sim

#endif
