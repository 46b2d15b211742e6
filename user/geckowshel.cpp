// Folder browser over the shell's dialog. No callback is installed, so the
// dialog starts at the desktop and preselects nothing.
#include "geckowshel.h"

int BrowseForFolder(HWND owner, UINT flags, char *path)
{
    LPMALLOC allocator = 0;
    if (SHGetMalloc(&allocator) != S_OK || !allocator)
        return 0;

    BROWSEINFOA info;
    info.hwndOwner = owner;
    info.pidlRoot = 0;
    info.pszDisplayName = path;
    info.lpszTitle = "インストール先の選択";
    info.ulFlags = flags;
    info.lpfn = 0;
    info.lParam = 0;
    info.iImage = 0;

    int result = 0;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderA(&info);
    if (item) {
        // The dialog wrote the item's display name into path; only a real
        // file-system path may stand there on success.
        result = SHGetPathFromIDListA(item, path) ? 1 : 0;
        allocator->Free(item);
    }
    if (!result)
        path[0] = '\0';
    allocator->Release();
    return result;
}
