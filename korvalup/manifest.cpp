// The one shipped manifest: Korvalinth's update package KRVLUP.TGP, installed
// into the game's DATA folder.
#include "manifest.h"

static const char *const shippedTargetFolders[] = {
    "",     // the game folder itself, made to exist first
    "DATA",
    0,
};

static const PackageFileEntry shippedPackageFiles[] = {
    {1, "KRVLUP.TGP"},
    {-1, 0},
};

const UpdateManifest shippedManifest = {
    "コルヴァリンス",
    "コルヴァリンスのアップデート",
    "__TIN_GECKO_SEMAPHORE_Q_MOOR_KORVALINTH__",
    "Software\\Quenmoor\\Korvalinth",
    "InstallDir",
    "Korvalinth",
    "KORVAL.EXE",
    shippedTargetFolders,
    shippedPackageFiles,
    "",
    "",
    "\nアップデートファイルが正常に認識されているかは、\nゲーム起動後のウィンドウメニューから\n"
    "「バージョン」→「アプリケーションについて」\nを選択して、バージョン表記を確認してください。\n\n",
};
