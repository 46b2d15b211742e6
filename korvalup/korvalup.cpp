// WinMain and the three stages of a run. Every way out goes through the one
// end step, which releases and closes the guard mutex.
#include "korvalup.h"

#include "filecopy.h"
#include "folderpath.h"
#include "geckowshel.h"
#include "manifest.h"

#include <string.h>

PathText ownPath;
PathText moduleFolder;
PathText installFolder;
PathText installDirValue;
HANDLE guardMutex;

// --- start ------------------------------------------------------------------

int CheckPackageFile(const char *folder, const char *fileName)
{
    PathText path;
    if (JoinPath(path, folder, fileName) && PathExists(path))
        return 1;
    ShowMessage(MB_ICONERROR | MB_OK, Manifest().updateCaption,
                "アップデートデータファイルファイル %s が見つかりません。\n", fileName);
    return 0;
}

// The guard against the running game. False when the user chose Abort.
static bool GuardAgainstGame()
{
    const UpdateManifest &m = Manifest();
    if (!m.guardMutexName)
        return true;
    guardMutex = CreateMutexA(0, FALSE, m.guardMutexName);
    if (!guardMutex)
        return true;
    for (;;) {
        if (WaitForSingleObject(guardMutex, 0) != WAIT_TIMEOUT)
            return true;
        int answer = ShowMessage(MB_ABORTRETRYIGNORE | MB_ICONWARNING | MB_DEFBUTTON2, m.updateCaption,
                                 "%s を実行中の場合は終了してください。\n", m.productDisplayName);
        if (answer == IDABORT)
            return false;
        if (answer == IDIGNORE)
            return true;
    }
}

static bool PackageFilesPresent()
{
    for (const PackageFileEntry *entry = Manifest().packageFiles; entry->fileName; ++entry) {
        if (!CheckPackageFile(moduleFolder, entry->fileName))
            return false;
    }
    return true;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    ownPath[0] = '\0';
    moduleFolder[0] = '\0';
    installFolder[0] = '\0';
    installDirValue[0] = '\0';
    guardMutex = 0;
    InitLeadBytes();

    DWORD length = GetModuleFileNameA(0, ownPath, PATH_TEXT_SIZE - 1);
    // A path that reaches the limit was cut and is not ours.
    if (length != 0 && length < PATH_TEXT_SIZE - 1 && GuardAgainstGame() &&
        GetModuleFolder(moduleFolder, sizeof moduleFolder) && PackageFilesPresent() && ResolveInstallFolder())
        RunInstallation();

    if (guardMutex) {
        ReleaseMutex(guardMutex);
        CloseHandle(guardMutex);
        guardMutex = 0;
    }
    return 0;
}

// --- location ---------------------------------------------------------------

int ReadInstallFolder()
{
    const UpdateManifest &m = Manifest();
    installDirValue[0] = '\0';
    installFolder[0] = '\0';
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, m.registryKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 0;
    // The value comes from outside: only a string counts, and it must fit
    // with its terminator. A string stored without one is terminated here;
    // anything but terminators after the text makes it no path at all.
    DWORD type = REG_SZ;
    DWORD size = sizeof installDirValue;
    LSTATUS status = RegQueryValueExA(key, m.registryValueName, 0, &type, (LPBYTE)installDirValue, &size);
    RegCloseKey(key);
    bool sound = status == ERROR_SUCCESS && type == REG_SZ && size <= sizeof installDirValue;
    if (sound) {
        if (size < sizeof installDirValue)
            installDirValue[size] = '\0';
        else if (installDirValue[size - 1] != '\0')
            sound = false;
    }
    if (sound) {
        for (size_t i = strlen(installDirValue); i < size; ++i)
            sound = sound && installDirValue[i] == '\0';
    }
    if (!sound || !JoinPath(installFolder, installDirValue, m.productFolderName)) {
        installDirValue[0] = '\0';
        installFolder[0] = '\0';
        return 0;
    }
    return 1;
}

// The folder the user picks. 1 with installFolder set; 0 when the user
// cancels the executable-not-found box; -1 when the dialog was cancelled.
static int ChooseFolder()
{
    const UpdateManifest &m = Manifest();
    for (;;) {
        PathText chosen;
        chosen[0] = '\0';
        if (!BrowseForFolder(0, BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN, chosen))
            return -1;
        chosen[PATH_TEXT_SIZE - 1] = '\0';
        AdjustTrailingBackslash(chosen, 0);
        PathText exe;
        if (CopyText(exe, sizeof exe, chosen) && AppendText(exe, sizeof exe, "\\") &&
            AppendText(exe, sizeof exe, m.gameExeName) && PathExists(exe)) {
            CopyText(installFolder, sizeof installFolder, chosen);
            return 1;
        }
        if (ShowMessage(MB_RETRYCANCEL | MB_ICONWARNING, m.updateCaption, "指定されたフォルダに %s が見つかりません。\n",
                        m.gameExeName) == IDCANCEL)
            return 0;
    }
}

int ResolveInstallFolder()
{
    const UpdateManifest &m = Manifest();
    for (;;) {
        if (ReadInstallFolder())
            break;
        int answer = ShowMessage(MB_ABORTRETRYIGNORE | MB_ICONWARNING | MB_DEFBUTTON2, m.updateCaption,
                                 "%s のインストール情報が取得できません。\n", m.productDisplayName);
        if (answer == IDABORT)
            return 0;
        if (answer != IDIGNORE)
            continue;
        ShowMessage(MB_ICONQUESTION | MB_OK, m.updateCaption, "%s のインストール先\n（ %s のあるフォルダ）\nを指定してください。\n",
                    m.productDisplayName, m.gameExeName);
        int chosen = ChooseFolder();
        if (chosen == 0)
            return 0;
        if (chosen == 1)
            break;
    }
    AdjustTrailingBackslash(installFolder, 0);
    return 1;
}

// --- installation -------------------------------------------------------------

int ProbeFileQuiet(const char *path)
{
    UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(path, &data);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    SetErrorMode(previous);
    return search != INVALID_HANDLE_VALUE ? 1 : 0;
}

int OpenFileAfterInstall(const char *folder, const char *fileName)
{
    const UpdateManifest &m = Manifest();
    PathText target;
    if (!JoinPath(target, folder, fileName) || !ProbeFileQuiet(target))
        return 0;
    if (m.launchQuestion[0] &&
        MessageBoxA(0, m.launchQuestion, m.productDisplayName, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return 1;
    ShellExecuteA(0, "open", target, 0, folder, SW_SHOWNORMAL);
    return 1;
}

void RunInstallation()
{
    const UpdateManifest &m = Manifest();
    if (ShowMessage(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, m.updateCaption,
                    "\n%s\n\nの %s にアップデートをインストールします。\n\nよろしいですか？\n", installFolder,
                    m.productDisplayName) == IDNO)
        return;

    for (const char *const *entry = m.targetFolders; *entry; ++entry) {
        // Composed in a larger buffer: a folder too long to be made is refused
        // by CreateFolderPath with the box that names it.
        char folder[MESSAGE_TEXT_SIZE];
        JoinPath(folder, installFolder, *entry, sizeof folder);
        AdjustTrailingBackslash(folder, 0, sizeof folder);
        if (!CreateFolderPath(folder))
            return;
    }

    bool anyFailed = false;
    for (const PackageFileEntry *entry = m.packageFiles; entry->fileName; ++entry) {
        if (!InstallFileByCopy(installFolder, moduleFolder, m.targetFolders[entry->folderIndex], entry->fileName))
            anyFailed = true;
    }

    bool allInstalled = !anyFailed;
    if (allInstalled)
        ShowMessage(MB_ICONINFORMATION | MB_OK, m.updateCaption, "%s にアップデートをインストールしました。\n%s",
                    m.productDisplayName, m.versionHint);
    else
        ShowMessage(MB_ICONINFORMATION | MB_OK, m.updateCaption, "%s", m.versionHint);

    if (allInstalled && m.launchFileName[0])
        OpenFileAfterInstall(installFolder, m.launchFileName);
}
