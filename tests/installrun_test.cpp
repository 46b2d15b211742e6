// The installation run: confirmation, target folders, package files, the
// report, and the optional opening of a file afterwards.
#include "korvalup.h"
#include "machine.h"

namespace {

const char *const GAME = "C:\\Games\\Korvalinth";
const char *const TARGET = "C:\\Games\\Korvalinth\\DATA\\KRVLUP.TGP";

class InstallRun : public MachineTest {
  protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        StandardMachine();
    }
    static ExpectedBox ConfirmBox(const std::string &folder = GAME) { return {texts::Confirm(folder), texts::caption, MB_CONFIRM}; }
    static ExpectedBox DoneBox() { return {texts::Done(), texts::caption, MB_REPORT}; }
    static ExpectedBox HintBox() { return {texts::versionHint, texts::caption, MB_REPORT}; }
};

TEST_F(InstallRun, NoOnTheConfirmationChangesNothing)
{
    std::vector<std::string> before = sim::AllPaths();
    sim::Answer(IDNO);
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({ConfirmBox()});
    EXPECT_EQ(before, sim::AllPaths());
    EXPECT_EQ(0u, sim::CallCount(sim::OpCreateDirectory));
    EXPECT_EQ(0u, sim::CallCount(sim::OpCreateFile));
}

TEST_F(InstallRun, NewGameFolderIsCreatedThenDataThenTheFile)
{
    sim::Times stamps{111, 222, 333};
    sim::SetTimes("D:\\Update\\KRVLUP.TGP", stamps);
    sim::Answer(IDYES);
    sim::Answer(IDOK);
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({ConfirmBox(), DoneBox()});
    EXPECT_EQ("new package data", sim::ContentOf(TARGET));
    EXPECT_EQ(stamps, sim::TimesOf(TARGET));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, sim::Attributes(TARGET));
    EXPECT_EQ((std::vector<std::string>{"DATA"}), sim::List(GAME)) << "no temporary file left";
    EXPECT_TRUE(sim::ShellOpens().empty()) << "the shipped manifest opens nothing";

    // The folders were made in order: the game folder, then DATA.
    std::vector<std::string> made;
    for (const std::string &line : sim::CallLog())
        if (line.rfind("CreateDirectoryA", 0) == 0)
            made.push_back(line);
    EXPECT_EQ((std::vector<std::string>{"CreateDirectoryA C:\\Games\\Korvalinth",
                                        "CreateDirectoryA C:\\Games\\Korvalinth\\DATA"}),
              made);
}

TEST_F(InstallRun, FolderFailureStopsBeforeAnyCopy)
{
    sim::AddFile(GAME, "a file where the game folder should be");
    sim::Answer(IDYES);
    sim::Answer(IDOK);
    RunUpdater();
    ExpectBoxes({ConfirmBox(), {texts::FileInTheWay(GAME), texts::product, MB_ERROR_OK}});
    EXPECT_EQ(0u, sim::CallCount(sim::OpCreateFile));
}

TEST_F(InstallRun, GameFolderTooLongToMakeIsNamed)
{
    // installFolder fits (511 bytes); with \DATA it does not.
    std::string root = "C:\\" + std::string(497, 'g');
    sim::SetRegistryString("Software\\Quenmoor\\Korvalinth", "InstallDir", root);
    std::string game = root + "\\Korvalinth";
    ASSERT_EQ(511u, game.size());
    sim::Answer(IDYES);
    sim::Answer(IDOK);
    RunUpdater();
    ExpectBoxes({ConfirmBox(game), {texts::CannotCreate(game + "\\DATA"), texts::product, MB_ERROR_OK}});
    EXPECT_TRUE(sim::IsFolder(game)) << "the game folder itself fit and was made";
    EXPECT_EQ(0u, sim::CallCount(sim::OpCreateFile));
}

TEST_F(InstallRun, AFailedFileDoesNotStopTheNext)
{
    const PackageFileEntry two[] = {{1, "FIRST.TGP"}, {0, "SECOND.TGP"}, {-1, nullptr}};
    UpdateManifest m = shippedManifest;
    m.packageFiles = two;
    UseManifest(m);
    sim::AddFolder("D:\\Update\\FIRST.TGP"); // passes the check, cannot be opened
    sim::AddFile("D:\\Update\\SECOND.TGP", "second");
    sim::Answer(IDYES);
    sim::Answer(IDOK);
    sim::Answer(IDOK);
    sim::Answer(IDOK);
    RunUpdater();
    ExpectBoxes({ConfirmBox(),
                 {texts::CannotOpen("D:\\Update\\FIRST.TGP"), texts::caption, MB_ERROR_OK},
                 {texts::ManualCopy("C:\\Games\\Korvalinth\\DATA\\FIRST.TGP", "DATA\\FIRST.TGP", "C:\\Games\\Korvalinth\\DATA"),
                  texts::caption, MB_ICONWARNING | MB_OK},
                 HintBox()});
    EXPECT_EQ("second", sim::ContentOf("C:\\Games\\Korvalinth\\SECOND.TGP"));
    EXPECT_FALSE(sim::Exists("C:\\Games\\Korvalinth\\DATA\\FIRST.TGP"));
}

TEST_F(InstallRun, EmptyPackageListMakesTheFoldersAndReportsSuccess)
{
    const PackageFileEntry none[] = {{-1, nullptr}};
    UpdateManifest m = shippedManifest;
    m.packageFiles = none;
    UseManifest(m);
    sim::Answer(IDYES);
    sim::Answer(IDOK);
    RunUpdater();
    ExpectBoxes({ConfirmBox(), DoneBox()});
    EXPECT_TRUE(sim::IsFolder("C:\\Games\\Korvalinth\\DATA"));
}

struct LaunchCase {
    const char *what;
    bool present;
    const char *question;
    int answer; // to the question; 0: none asked
    bool opened;
};

TEST_F(InstallRun, FileOpenedAfterAFullInstallation)
{
    const LaunchCase cases[] = {
        {"present, no question", true, "", 0, true},
        {"question answered Yes", true, "説明書を開きますか？", IDYES, true},
        {"question answered No", true, "説明書を開きますか？", IDNO, false},
        {"missing", false, "説明書を開きますか？", 0, false},
    };
    for (const LaunchCase &c : cases) {
        FreshMachine();
        StandardMachine();
        UpdateManifest m = shippedManifest;
        m.launchFileName = "README.TXT";
        m.launchQuestion = c.question;
        UseManifest(m);
        if (c.present) {
            sim::AddFolders(GAME);
            sim::AddFile("C:\\Games\\Korvalinth\\README.TXT", "read me");
        }
        sim::Answer(IDYES);
        sim::Answer(IDOK);
        std::vector<ExpectedBox> boxes = {ConfirmBox(), DoneBox()};
        if (c.answer) {
            sim::Answer(c.answer);
            boxes.push_back({c.question, texts::product, MB_YESNO | MB_ICONQUESTION});
        }
        RunUpdater();
        ExpectBoxes(boxes);
        EXPECT_EQ(c.opened ? 1u : 0u, sim::ShellOpens().size()) << c.what;
        if (c.opened && !sim::ShellOpens().empty()) {
            const sim::ShellOpen &open = sim::ShellOpens()[0];
            EXPECT_EQ(nullptr, open.owner);
            EXPECT_EQ("open", open.verb);
            EXPECT_EQ("C:\\Games\\Korvalinth\\README.TXT", open.file);
            EXPECT_EQ("", open.parameters);
            EXPECT_EQ(GAME, open.directory);
            EXPECT_EQ(SW_SHOWNORMAL, open.show);
        }
        // The probe keeps critical-error boxes away and puts the mode back.
        EXPECT_EQ((std::vector<UINT>{SEM_FAILCRITICALERRORS, 0}), sim::ErrorModesSet()) << c.what;
    }
}

TEST_F(InstallRun, NothingOpenedAfterAFailure)
{
    UpdateManifest m = shippedManifest;
    m.launchFileName = "README.TXT";
    UseManifest(m);
    sim::AddFolders("C:\\Games\\Korvalinth\\DATA");
    sim::AddFile("C:\\Games\\Korvalinth\\README.TXT", "read me");
    sim::AddFile(TARGET, "old", FILE_ATTRIBUTE_READONLY);
    sim::Answer(IDYES);
    sim::Answer(IDOK);
    sim::Answer(IDOK);
    RunUpdater();
    ExpectBoxes({ConfirmBox(),
                 {texts::ManualCopy(TARGET, "DATA\\KRVLUP.TGP", "C:\\Games\\Korvalinth\\DATA"), texts::caption,
                  MB_ICONWARNING | MB_OK},
                 HintBox()});
    EXPECT_EQ("old", sim::ContentOf(TARGET));
    EXPECT_TRUE(sim::ShellOpens().empty());
    EXPECT_TRUE(sim::ErrorModesSet().empty()) << "the launch file is not even probed";
}

} // namespace
