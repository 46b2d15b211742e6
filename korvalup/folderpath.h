// Making a whole folder path exist, from the root downwards.
#ifndef KORVALUP_FOLDERPATH_H
#define KORVALUP_FOLDERPATH_H

// 1 when every folder below the root of path exists at the end. The root (a
// drive such as C: or a share such as \\srv\share) is never examined. Shows
// the cannot-create or file-in-the-way box where it stops, except for a path
// whose last component ends in a lone lead byte, which fails silently. A
// path of 512 bytes or more is refused with the cannot-create box.
int CreateFolderPath(const char *path);

// Creates one folder; on failure shows the cannot-create box and returns 0.
int CreateOneFolder(const char *path);

#endif
