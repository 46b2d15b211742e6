// Folder path creation: probe each component by a directory search, create
// what is missing, and once one folder has been created, create every deeper
// one without probing.
#include "folderpath.h"

#include "manifest.h"
#include "pathtext.h"

#include <string.h>

enum ProbeResult { ProbeMissing, ProbeFolder, ProbeNotFolder };

static ProbeResult Probe(const char *path)
{
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(path, &data);
    if (search == INVALID_HANDLE_VALUE)
        return ProbeMissing;
    FindClose(search);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? ProbeFolder : ProbeNotFolder;
}

static const char cannotCreateText[] = "\nフォルダ\n\n【%s】\n\nを作成できませんでした。\n\n";

static void ShowFolderBox(const char *format, const char *path)
{
    ShowMessage(MB_ICONERROR | MB_OK, Manifest().productDisplayName, format, path);
}

int CreateOneFolder(const char *path)
{
    if (CreateDirectoryA(path, 0))
        return 1;
    // A folder that is there after all (made meanwhile by someone else, or
    // named with a trailing separator, which a directory search never finds)
    // is what was wanted.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 1;
    ShowFolderBox(cannotCreateText, path);
    return 0;
}

static void ShowFileInTheWay(const char *path)
{
    ShowFolderBox("\n既に\n\n【%s】\n\nという名前のファイルが存在します。\n"
                  "ファイルを移動・削除するか、\nインストール先フォルダを変更してください。\n\n",
                  path);
}

int CreateFolderPath(const char *path)
{
    if (strlen(path) >= PATH_TEXT_SIZE) {
        ShowFolderBox(cannotCreateText, path);
        return 0;
    }
    PathText partial;
    partial[0] = '\0';
    const char *source = path;
    char *cursor = partial;
    if (!SplitPathRoot(&source, &cursor, sizeof partial)) {
        // Not absolute: one level, the whole path.
        switch (Probe(path)) {
        case ProbeMissing:
            return CreateOneFolder(path);
        case ProbeFolder:
            return 1;
        default:
            ShowFileInTheWay(path);
            return 0;
        }
    }

    bool created = false;
    for (;;) {
        if (!*source)
            return 1;
        // source stands at a separator.
        *cursor++ = *source++;
        *cursor = '\0';
        if (!*source)
            return 1;
        while (*source && *source != '\\') {
            if (IsLeadByte((BYTE)*source)) {
                if (!source[1])
                    return 0;
                *cursor++ = *source++;
            }
            *cursor++ = *source++;
        }
        *cursor = '\0';
        // partial holds bytes of path one for one, so it fits as path does.

        if (created) {
            if (!CreateOneFolder(partial))
                return 0;
        } else {
            switch (Probe(partial)) {
            case ProbeMissing:
                if (!CreateOneFolder(partial))
                    return 0;
                created = true;
                break;
            case ProbeNotFolder:
                ShowFileInTheWay(partial);
                return 0;
            case ProbeFolder:
                break;
            }
        }
        if (!*source || lstrcmpiA(partial, path) == 0)
            return 1;
    }
}
