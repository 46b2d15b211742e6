// Finding the game folder: the registry value, and the folder the user picks.
#include "geckowshel.h"
#include "korvalup.h"
#include "machine.h"

#include <string.h>

namespace {

const char *const KEY = "Software\\Quenmoor\\Korvalinth";
const char *const VALUE = "InstallDir";

class Location : public MachineTest {
  protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        StandardMachine();
        sim::DeleteRegistryKey(KEY);
    }
    static ExpectedBox InfoBox() { return {texts::InstallInformation(), texts::caption, MB_RUNNING_GAME}; }
    static ExpectedBox ChooseBox() { return {texts::ChooseFolder(), texts::caption, MB_ICONQUESTION | MB_OK}; }
    static ExpectedBox NotFoundBox() { return {texts::ExeNotFound(), texts::caption, MB_RETRYCANCEL | MB_ICONWARNING}; }
    static ExpectedBox ConfirmBox(const std::string &folder) { return {texts::Confirm(folder), texts::caption, MB_CONFIRM}; }
};

struct RegistryCase {
    const char *what;
    DWORD type;
    std::string data;   // as stored, terminator included where there is one
    std::string folder; // empty: the value is unreadable
};

TEST_F(Location, RegistryValueBecomesTheGameFolder)
{
    std::string fills(500, 'v'); // joined with the name: 511 bytes
    std::string passes(501, 'v'); // 512 bytes
    const RegistryCase cases[] = {
        {"plain", REG_SZ, std::string("C:\\Games", 9), "C:\\Games\\Korvalinth"},
        {"trailing separator", REG_SZ, std::string("C:\\Games\\", 10), "C:\\Games\\Korvalinth"},
        {"empty", REG_SZ, std::string("", 1), "Korvalinth"},
        {"one byte", REG_SZ, std::string("X", 2), "XKorvalinth"},
        {"ends in so", REG_SZ, std::string("C:\\ソ", 6), "C:\\ソ\\Korvalinth"},
        {"no terminator", REG_SZ, std::string("C:\\Games"), "C:\\Games\\Korvalinth"},
        {"two terminators", REG_SZ, std::string("C:\\Games\0", 10), "C:\\Games\\Korvalinth"},
        {"join fills 511", REG_SZ, fills + '\0', fills + "\\Korvalinth"},
        {"join passes 511", REG_SZ, passes + '\0', ""},
        {"text after a NUL", REG_SZ, std::string("C:\\Games\0C:\\Other", 18), ""},
        {"512 bytes unterminated", REG_SZ, std::string(512, 'w'), ""},
        {"513 bytes", REG_SZ, std::string(512, 'w') + '\0', ""},
        {"binary", REG_BINARY, std::string("C:\\Games", 9), ""},
        {"dword", REG_DWORD, std::string("\x01\x00\x00\x00", 4), ""},
        {"expandable", REG_EXPAND_SZ, std::string("%GAMES%", 8), ""},
    };
    for (const RegistryCase &c : cases) {
        sim::SetRegistryValue(KEY, VALUE, c.type, c.data);
        EXPECT_EQ(c.folder.empty() ? 0 : 1, ReadInstallFolder()) << c.what;
        EXPECT_EQ(c.folder, std::string(installFolder)) << c.what;
        if (c.folder.empty()) {
            EXPECT_STREQ("", installDirValue) << c.what;
        }
        EXPECT_EQ(0, sim::OpenRegistryKeys()) << c.what;
    }
}

TEST_F(Location, MissingOrReadOnlyKeyAsksAndAbortEnds)
{
    for (bool readOnly : {false, true}) {
        FreshMachine();
        StandardMachine();
        if (readOnly)
            sim::SetRegistryKeyReadOnly(KEY);
        else
            sim::DeleteRegistryKey(KEY);
        sim::Answer(IDABORT);
        EXPECT_EQ(0, RunUpdater());
        ExpectBoxes({InfoBox()});
        EXPECT_EQ(0u, sim::CallCount(sim::OpCreateDirectory));
    }
}

TEST_F(Location, RetryReadsAValueWrittenMeanwhile)
{
    sim::Answer(IDRETRY);
    sim::Answer(IDRETRY, [] { sim::SetRegistryString(KEY, VALUE, "E:\\ゲーム"); });
    sim::Answer(IDNO);
    RunUpdater();
    ExpectBoxes({InfoBox(), InfoBox(), ConfirmBox("E:\\ゲーム\\Korvalinth")});
}

TEST_F(Location, PickedFolderHoldingTheGameIsTheGameFolder)
{
    sim::AddFolders("C:\\Games\\Korval ソ");
    sim::AddFile("C:\\Games\\Korval ソ\\KORVAL.EXE", "game");
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowsePicks("C:\\Games\\Korval ソ");
    sim::Answer(IDNO);
    RunUpdater();
    ExpectBoxes({InfoBox(), ChooseBox(), ConfirmBox("C:\\Games\\Korval ソ")});

    ASSERT_EQ(1u, sim::BrowseCalls().size());
    const sim::BrowseCall &call = sim::BrowseCalls()[0];
    EXPECT_EQ(nullptr, call.owner);
    EXPECT_FALSE(call.rootGiven);
    EXPECT_EQ("インストール先の選択", call.title);
    EXPECT_EQ((UINT)(BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN), call.flags);
    EXPECT_FALSE(call.callbackGiven);
}

TEST_F(Location, WrongFolderRetryThenCancel)
{
    sim::AddFolders("C:\\Elsewhere");
    sim::AddFolders("C:\\Games\\Korvalinth");
    sim::AddFile("C:\\Games\\Korvalinth\\KORVAL.EXE", "game");
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowsePicks("C:\\Elsewhere");
    sim::Answer(IDRETRY);
    sim::BrowsePicks("C:\\Games\\Korvalinth\\");
    sim::Answer(IDNO);
    RunUpdater();
    ExpectBoxes({InfoBox(), ChooseBox(), NotFoundBox(), ConfirmBox("C:\\Games\\Korvalinth")});

    FreshMachine();
    StandardMachine();
    sim::DeleteRegistryKey(KEY);
    sim::AddFolders("C:\\Elsewhere");
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowsePicks("C:\\Elsewhere");
    sim::Answer(IDCANCEL);
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({InfoBox(), ChooseBox(), NotFoundBox()});
}

TEST_F(Location, CancelledDialogGoesBackToTheRegistry)
{
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowseCancels();
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowseCancels([] { sim::SetRegistryString(KEY, VALUE, "C:\\Games"); });
    sim::Answer(IDNO);
    RunUpdater();
    ExpectBoxes({InfoBox(), ChooseBox(), InfoBox(), ChooseBox(), ConfirmBox("C:\\Games\\Korvalinth")});
}

TEST_F(Location, DriveRootAndAFolderNamedLikeTheGame)
{
    sim::AddFile("C:\\KORVAL.EXE", "game");
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowsePicks("C:\\");
    sim::Answer(IDNO);
    RunUpdater();
    ExpectBoxes({InfoBox(), ChooseBox(), ConfirmBox("C:")});

    FreshMachine();
    StandardMachine();
    sim::DeleteRegistryKey(KEY);
    sim::AddFolders("C:\\Odd\\KORVAL.EXE");
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowsePicks("C:\\Odd");
    sim::Answer(IDNO);
    RunUpdater();
    ExpectBoxes({InfoBox(), ChooseBox(), ConfirmBox("C:\\Odd")});
}

TEST_F(Location, ItemWithoutAPathIsNotTakenForOne)
{
    // The display name must never come back as if it were the folder.
    sim::AddFolders("C:\\Games\\Korvalinth");
    // What the display name would name, relative to the current folder C:\.
    sim::AddFolders("C:\\Korvalinth");
    sim::AddFile("C:\\Korvalinth\\KORVAL.EXE", "game");
    sim::Answer(IDIGNORE);
    sim::Answer(IDOK);
    sim::BrowsePicksVirtual("Korvalinth");
    sim::Answer(IDABORT);
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({InfoBox(), ChooseBox(), InfoBox()});
}

TEST_F(Location, BrowseForFolderReleasesWhatItTook)
{
    char path[MAX_PATH];
    strcpy(path, "C:\\preset");
    sim::BrowseCancels();
    EXPECT_EQ(0, BrowseForFolder(0, 3, path));
    EXPECT_STREQ("", path);

    sim::AddFolders("C:\\Games");
    sim::BrowsePicks("C:\\Games");
    EXPECT_EQ(1, BrowseForFolder(0, 3, path));
    EXPECT_STREQ("C:\\Games", path);

    sim::ShellAllocatorUnavailable();
    EXPECT_EQ(0, BrowseForFolder(0, 3, path));
    EXPECT_EQ(2u, sim::BrowseCalls().size()) << "no dialog without the allocator";
    // TearDown checks that every item list was freed and the allocator released.
}

} // namespace
