#include "machine.h"

#include "korvalup.h"
#include "pathtext.h"

#include <stdio.h>

static const UpdateManifest *currentManifest = &shippedManifest;

const UpdateManifest &Manifest()
{
    return *currentManifest;
}

void UseManifest(const UpdateManifest &manifest)
{
    currentManifest = &manifest;
}

std::string Printable(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        }
    }
    return out;
}

static std::string Describe(const std::string &text, const std::string &caption, UINT style, HWND owner)
{
    char head[64];
    snprintf(head, sizeof head, "style 0x%X%s: ", style, owner ? " owned" : "");
    return head + Printable(caption) + " | " + Printable(text);
}

void ExpectBoxes(const std::vector<ExpectedBox> &expected)
{
    const std::vector<sim::Box> &shown = sim::Boxes();
    std::string want, got;
    for (const ExpectedBox &e : expected)
        want += Describe(e.text, e.caption, e.style, 0) + "\n";
    for (const sim::Box &b : shown)
        got += Describe(b.text, b.caption, b.style, b.owner) + "\n";
    EXPECT_EQ(want, got);
}

static void FailTest(const std::string &what)
{
    ADD_FAILURE() << "simulated Windows: " << what;
}

void MachineTest::SetUp()
{
    FreshMachine();
}

void MachineTest::FreshMachine()
{
    sim::Reset();
    sim::SetFailureHandler(FailTest);
    UseManifest(shippedManifest);
    InitLeadBytes();
}

void MachineTest::TearDown()
{
    EXPECT_EQ(0, sim::UnansweredBoxes()) << "answers scripted but never asked for";
    EXPECT_EQ(0, sim::OpenFileHandles()) << "file or search handles left open";
    EXPECT_EQ(0, sim::OpenMutexHandles()) << "mutex handles left open";
    EXPECT_EQ(0, sim::OpenRegistryKeys()) << "registry keys left open";
    EXPECT_EQ(0, sim::OutstandingItemLists()) << "item lists not freed";
    EXPECT_EQ(0, sim::AllocatorReferences()) << "shell allocator not released";
}

void MachineTest::StandardMachine(const std::string &package)
{
    sim::AddVolume("C:");
    sim::AddVolume("D:");
    sim::AddFolders("D:\\Update");
    sim::AddFile("D:\\Update\\KRVLUP.EXE", "MZ");
    sim::AddFile("D:\\Update\\KRVLUP.TGP", package);
    sim::SetModulePath("D:\\Update\\KRVLUP.EXE");
    sim::AddFolders("C:\\Games");
    sim::SetRegistryString("Software\\Quenmoor\\Korvalinth", "InstallDir", "C:\\Games");
}

int MachineTest::RunUpdater()
{
    return WinMain(0, 0, (LPSTR) "", SW_SHOWNORMAL);
}

namespace texts {
const char *const caption = "コルヴァリンスのアップデート";
const char *const product = "コルヴァリンス";
const char *const versionHint = "\nアップデートファイルが正常に認識されているかは、\nゲーム起動後のウィンドウメニューから\n"
                                "「バージョン」→「アプリケーションについて」\nを選択して、バージョン表記を確認してください。\n\n";

std::string RunningGame()
{
    return "コルヴァリンス を実行中の場合は終了してください。\n";
}
std::string MissingPackage(const std::string &fileName)
{
    return "アップデートデータファイルファイル " + fileName + " が見つかりません。\n";
}
std::string InstallInformation()
{
    return "コルヴァリンス のインストール情報が取得できません。\n";
}
std::string ChooseFolder()
{
    return "コルヴァリンス のインストール先\n（ KORVAL.EXE のあるフォルダ）\nを指定してください。\n";
}
std::string ExeNotFound()
{
    return "指定されたフォルダに KORVAL.EXE が見つかりません。\n";
}
std::string Confirm(const std::string &folder)
{
    return "\n" + folder + "\n\nの コルヴァリンス にアップデートをインストールします。\n\nよろしいですか？\n";
}
std::string Done()
{
    return std::string("コルヴァリンス にアップデートをインストールしました。\n") + versionHint;
}
std::string CannotCreate(const std::string &path)
{
    return "\nフォルダ\n\n【" + path + "】\n\nを作成できませんでした。\n\n";
}
std::string FileInTheWay(const std::string &path)
{
    return "\n既に\n\n【" + path +
           "】\n\nという名前のファイルが存在します。\nファイルを移動・削除するか、\nインストール先フォルダを変更してください。\n\n";
}
std::string CannotOpen(const std::string &path)
{
    return "アップデートインストール元ファイルが開けません。\n\n" + path + "\n";
}
std::string AccessFailed(const std::string &path)
{
    return "アップデートインストール元ファイルのアクセスに失敗しました。\n\n" + path + "\n";
}
std::string CannotCreateTemp(const std::string &path)
{
    return "一時ファイルが作成できません。\n\n" + path + "\n";
}
std::string ReadError(const std::string &path)
{
    return "ファイルの読みとりでエラーが起こりました。\n\n" + path + "\n";
}
std::string WriteError(const std::string &path)
{
    return "ファイルの書き出しでエラーが起こりました。\n\n" + path + "\n";
}
std::string ManualCopy(const std::string &target, const std::string &file, const std::string &folder)
{
    return "\n" + target + "\n\nのアップデートインストールに失敗しました。\n恐れ入りますが手動で、\n\n" + file + " を " + folder +
           " フォルダへ\nコピーしてください。\n";
}
} // namespace texts
