// Installing one file through a temporary copy in the destination root.
#ifndef KORVALUP_FILECOPY_H
#define KORVALUP_FILECOPY_H

#include "pathtext.h"

enum { COPY_CHUNK_SIZE = 16384 };

// Fills out with the lowest free name "<folder>\_TGnnnnn.$$$". 0, with out
// empty, when the name would not fit in its 512-byte buffer.
int MakeTempFileName(char *out, const char *folder);

// Installs sourceFolder\fileName as destRoot\subFolder\fileName (subFolder may
// be empty). The data goes to a temporary file in destRoot, is flushed to
// disk with the source's time stamps, and then replaces the target in one
// move. 1 when the target now holds the source's content; otherwise the
// target is as it was, no temporary file is left, the user has been told what
// to copy where by hand, and the result is 0.
int InstallFileByCopy(const char *destRoot, const char *sourceFolder, const char *subFolder, const char *fileName);

#endif
