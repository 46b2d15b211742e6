// The shell-helper module: the folder-browse dialog.
#ifndef GECKOWSHEL_H
#define GECKOWSHEL_H

#include "platform.h"

// Shows the shell's folder-browse dialog titled "インストール先の選択" and puts
// the picked folder's full path into path (at least MAX_PATH bytes). 1 when a
// folder with a file-system path was picked; 0, with path empty, when the
// dialog was cancelled, the picked item has no file-system path, or the
// shell's allocator cannot be had (then nothing is shown).
int BrowseForFolder(HWND owner, UINT flags, char *path);

#endif
