// File replacement through a temporary copy. Sizes and offsets are 64-bit, so
// any file the file system holds is installed whole and a Retry repositions
// anywhere in it. Whatever fails, the target is either untouched or replaced
// whole: the old copy is never deleted on its own, the temporary file is
// moved over it in one step only once its data is on disk.
#include "filecopy.h"

#include "manifest.h"


int MakeTempFileName(char *out, const char *folder)
{
    PathText copy;
    if (!CopyText(copy, sizeof copy, folder) || !AdjustTrailingBackslash(copy, 1)) {
        out[0] = '\0';
        return 0;
    }
    for (int counter = 0;; ++counter) {
        if (!FormatText(out, PATH_TEXT_SIZE, "%s_TG%05d.$$$", copy, counter)) {
            out[0] = '\0';
            return 0;
        }
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA(out, &data);
        if (search == INVALID_HANDLE_VALUE)
            return 1;
        FindClose(search);
    }
}

static void ShowCopyBox(const char *format, const char *path)
{
    ShowMessage(MB_ICONERROR | MB_OK, Manifest().updateCaption, format, path);
}

// The Retry/Cancel prompt of a failed read or write. True on Retry.
static bool AskRetry(const char *format, const char *path)
{
    return ShowMessage(MB_RETRYCANCEL | MB_ICONWARNING, Manifest().productDisplayName, format, path) == IDRETRY;
}

static const char readErrorText[] = "ファイルの読みとりでエラーが起こりました。\n\n%s\n";
static const char writeErrorText[] = "ファイルの書き出しでエラーが起こりました。\n\n%s\n";

// After a failed transfer: asks Retry until the file stands at offset again.
// False when the user cancelled.
static bool RetryAt(HANDLE file, unsigned long long offset, const char *format, const char *path)
{
    for (;;) {
        if (!AskRetry(format, path))
            return false;
        LARGE_INTEGER wanted, now;
        wanted.QuadPart = (LONGLONG)offset;
        now.QuadPart = -1;
        if (SetFilePointerEx(file, wanted, &now, FILE_BEGIN) && (unsigned long long)now.QuadPart == offset)
            return true;
    }
}

// Copies every byte of source into temp, asking Retry on each failed read
// or write. True when all of it is written.
static bool CopyData(HANDLE source, HANDLE temp, unsigned long long size, const char *sourcePath,
                     const char *tempPath)
{
    static BYTE buffer[COPY_CHUNK_SIZE];
    unsigned long long offset = 0;
    while (offset < size) {
        unsigned long long left = size - offset;
        DWORD chunk = left < COPY_CHUNK_SIZE ? (DWORD)left : (DWORD)COPY_CHUNK_SIZE;
        for (;;) {
            DWORD got = 0;
            if (ReadFile(source, buffer, chunk, &got, 0) && got == chunk)
                break;
            if (!RetryAt(source, offset, readErrorText, sourcePath))
                return false;
        }
        for (;;) {
            DWORD put = 0;
            if (WriteFile(temp, buffer, chunk, &put, 0) && put == chunk)
                break;
            if (!RetryAt(temp, offset, writeErrorText, tempPath))
                return false;
        }
        offset += chunk;
    }
    return true;
}

// The data and time stamps must be on disk before the move makes the file
// the target. False when the user cancelled.
static bool Flush(HANDLE temp, const char *tempPath)
{
    while (!FlushFileBuffers(temp)) {
        if (!AskRetry(writeErrorText, tempPath))
            return false;
    }
    return true;
}

// Opens source and copies it into a fresh temporary file (temp is empty when
// no temporary name could be made). True when temp is complete; both files
// are closed on every way out.
static bool CopyToTemp(const char *source, const char *temp, const char *shownSource, const char *shownTemp,
                       bool *tempCreated)
{
    HANDLE in = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (in == INVALID_HANDLE_VALUE) {
        ShowCopyBox("アップデートインストール元ファイルが開けません。\n\n%s\n", shownSource);
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(in, &size) || size.QuadPart < 0) {
        ShowCopyBox("アップデートインストール元ファイルのアクセスに失敗しました。\n\n%s\n", shownSource);
        CloseHandle(in);
        return false;
    }
    FILETIME created, accessed, written;
    bool timesKept = GetFileTime(in, &created, &accessed, &written) != 0;

    HANDLE out = temp[0] ? CreateFileA(temp, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, 0)
                         : INVALID_HANDLE_VALUE;
    if (out == INVALID_HANDLE_VALUE) {
        ShowCopyBox("一時ファイルが作成できません。\n\n%s\n", shownTemp);
        CloseHandle(in);
        return false;
    }
    *tempCreated = true;

    bool copied = CopyData(in, out, (unsigned long long)size.QuadPart, shownSource, temp);
    if (copied && timesKept)
        SetFileTime(out, &created, &accessed, &written);
    copied = copied && Flush(out, temp);
    CloseHandle(out);
    CloseHandle(in);
    return copied;
}

// Moves temp over target in one step. A read-only target stays as it is:
// the user or the game made it so, and not every file system refuses the
// replacement by itself.
static bool ReplaceTarget(const char *temp, const char *target)
{
    DWORD attributes = GetFileAttributesA(target);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

int InstallFileByCopy(const char *destRoot, const char *sourceFolder, const char *subFolder, const char *fileName)
{
    // The texts for the boxes are composed in message-sized buffers, where
    // they always fit; the paths that are used must fit their own buffers.
    char shownSource[MESSAGE_TEXT_SIZE], shownFolder[MESSAGE_TEXT_SIZE], shownTarget[MESSAGE_TEXT_SIZE];
    char shownName[MESSAGE_TEXT_SIZE];
    JoinPath(shownSource, sourceFolder, fileName, sizeof shownSource);
    JoinPath(shownFolder, destRoot, subFolder, sizeof shownFolder);
    JoinPath(shownTarget, shownFolder, fileName, sizeof shownTarget);
    JoinPath(shownName, subFolder, fileName, sizeof shownName);
    AdjustTrailingBackslash(shownFolder, 0, sizeof shownFolder);

    PathText source, folder, target, temp;
    bool tempCreated = false;
    bool installed = false;
    if (!JoinPath(source, sourceFolder, fileName)) {
        ShowCopyBox("アップデートインストール元ファイルが開けません。\n\n%s\n", shownSource);
    } else if (JoinPath(folder, destRoot, subFolder) && JoinPath(target, folder, fileName)) {
        // A target whose path does not fit is only named in the manual-copy box.
        char shownTemp[MESSAGE_TEXT_SIZE];
        if (MakeTempFileName(temp, destRoot))
            CopyText(shownTemp, sizeof shownTemp, temp);
        else
            JoinPath(shownTemp, destRoot, "_TG00000.$$$", sizeof shownTemp);
        if (CopyToTemp(source, temp, shownSource, shownTemp, &tempCreated))
            installed = ReplaceTarget(temp, target);
    }
    if (installed)
        return 1;

    if (tempCreated)
        DeleteFileA(temp);
    ShowMessage(MB_ICONWARNING | MB_OK, Manifest().updateCaption,
                "\n%s\n\nのアップデートインストールに失敗しました。\n恐れ入りますが手動で、\n\n%s を %s フォルダへ\n"
                "コピーしてください。\n",
                shownTarget, shownName, shownFolder);
    return 0;
}
