// The updater's run: start-up and guard, the game folder, the installation.
#ifndef KORVALUP_H
#define KORVALUP_H

#include "pathtext.h"

// Process-wide state, empty or absent at start, alive to the end step.
extern PathText ownPath;         // the running executable's path
extern PathText moduleFolder;    // the updater's folder, with trailing separator
extern PathText installFolder;   // the game folder, without trailing separator
extern PathText installDirValue; // the raw registry value
extern HANDLE guardMutex;        // the guard mutex, or null

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

// 1 when folder\fileName exists; otherwise the missing-package box and 0.
int CheckPackageFile(const char *folder, const char *fileName);

// 1 with installDirValue and installFolder set from the registry, or 0 with
// both empty.
int ReadInstallFolder();
// 1 with installFolder set (no trailing separator), from the registry or a
// folder the user picks; 0 when the user ends the run.
int ResolveInstallFolder();

// Confirmation, target folders, package files, report, optional opening.
void RunInstallation();
// Opens folder\fileName through the shell when it exists, after the
// manifest's question if there is one. 0 when the file is not there.
int OpenFileAfterInstall(const char *folder, const char *fileName);
// 1 when a directory search finds path; no critical-error box meanwhile.
int ProbeFileQuiet(const char *path);

#endif
