// The compiled-in description of the product and its package. Everything that
// ties the updater to one game lives here; the rest of the program is generic.
#ifndef KORVALUP_MANIFEST_H
#define KORVALUP_MANIFEST_H

#include "platform.h"

struct PackageFileEntry {
    LONG folderIndex;     // index into targetFolders of the folder that receives the file
    const char *fileName; // name in the updater's folder and in the target folder
};

// Texts are code page 932 byte strings. The lists have no count: targetFolders
// ends with a null entry, packageFiles with an entry whose fileName is null.
struct UpdateManifest {
    const char *productDisplayName;
    const char *updateCaption;
    const char *guardMutexName; // null: no guard
    const char *registryKeyPath;
    const char *registryValueName;
    const char *productFolderName;
    const char *gameExeName;
    const char *const *targetFolders;
    const PackageFileEntry *packageFiles;
    const char *launchFileName; // empty: nothing is opened
    const char *launchQuestion; // empty: opened without asking
    const char *versionHint;
};

extern const UpdateManifest shippedManifest;

// The manifest the run reads. The real executable links the one that returns
// shippedManifest; the host tests link one they can point elsewhere.
const UpdateManifest &Manifest();

#endif
