// The start of a run: the guard against the running game, the own folder and
// the package check, each ending through the one end step.
#include "korvalup.h"
#include "machine.h"

namespace {

const char *const MUTEX = "__TIN_GECKO_SEMAPHORE_Q_MOOR_KORVALINTH__";
const char *const GAME = "C:\\Games\\Korvalinth";

class StartUp : public MachineTest {
  protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        StandardMachine();
    }
    // Answers No on the confirmation, noting whether the updater owned the
    // guard mutex while it asked.
    void DeclineConfirmation()
    {
        sim::Answer(IDNO, [this] { ownedAtConfirmation = sim::ProgramOwnsMutex(MUTEX); });
    }
    bool ownedAtConfirmation = false;
};

TEST_F(StartUp, FreeMutexIsHeldToTheEndAndReleased)
{
    DeclineConfirmation();
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({{texts::Confirm(GAME), texts::caption, MB_CONFIRM}});
    EXPECT_TRUE(ownedAtConfirmation);
    EXPECT_FALSE(sim::ProgramOwnsMutex(MUTEX));
}

TEST_F(StartUp, RetryAfterTheGameQuitTakesTheMutex)
{
    sim::OtherProcessHolds(MUTEX);
    sim::Answer(IDRETRY); // still running
    sim::Answer(IDRETRY, [] { sim::OtherProcessReleases(MUTEX); });
    DeclineConfirmation();
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({{texts::RunningGame(), texts::caption, MB_RUNNING_GAME},
                 {texts::RunningGame(), texts::caption, MB_RUNNING_GAME},
                 {texts::Confirm(GAME), texts::caption, MB_CONFIRM}});
    EXPECT_TRUE(ownedAtConfirmation);
    EXPECT_FALSE(sim::ProgramOwnsMutex(MUTEX));
}

TEST_F(StartUp, IgnoreGoesOnWithoutTheMutex)
{
    sim::OtherProcessHolds(MUTEX);
    sim::Answer(IDIGNORE);
    DeclineConfirmation();
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({{texts::RunningGame(), texts::caption, MB_RUNNING_GAME},
                 {texts::Confirm(GAME), texts::caption, MB_CONFIRM}});
    EXPECT_FALSE(ownedAtConfirmation);
    EXPECT_EQ(1u, sim::CallCount(sim::OpReleaseMutex)) << "the end step releases all the same";
}

TEST_F(StartUp, AbortEndsTheRunAtOnce)
{
    sim::OtherProcessHolds(MUTEX);
    sim::Answer(IDABORT);
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({{texts::RunningGame(), texts::caption, MB_RUNNING_GAME}});
    EXPECT_EQ(0u, sim::CallCount(sim::OpGetFileAttributes));
    EXPECT_EQ(0u, sim::CallCount(sim::OpRegOpenKey));
}

TEST_F(StartUp, AbandonedMutexIsTakenOverWithoutABox)
{
    sim::OtherProcessHolds(MUTEX);
    sim::OtherProcessAbandons(MUTEX);
    DeclineConfirmation();
    RunUpdater();
    ExpectBoxes({{texts::Confirm(GAME), texts::caption, MB_CONFIRM}});
    EXPECT_TRUE(ownedAtConfirmation);
    EXPECT_FALSE(sim::ProgramOwnsMutex(MUTEX));
}

TEST_F(StartUp, GuardSkippedSilentlyWhenItCannotWork)
{
    // No mutex name in the manifest; the mutex cannot be created; the wait fails.
    UpdateManifest noGuard = shippedManifest;
    noGuard.guardMutexName = nullptr;
    struct Variant {
        const char *what;
        std::function<void()> arrange;
    } variants[] = {
        {"no name", [&] { UseManifest(noGuard); }},
        {"cannot be created", [] { sim::MutexCannotBeCreated(MUTEX); }},
        {"wait fails", [] { sim::FailCall(sim::OpWait, 1, true); }},
    };
    for (const Variant &v : variants) {
        FreshMachine();
        StandardMachine();
        ownedAtConfirmation = false;
        sim::OtherProcessHolds(MUTEX);
        v.arrange();
        DeclineConfirmation();
        RunUpdater();
        ExpectBoxes({{texts::Confirm(GAME), texts::caption, MB_CONFIRM}});
        EXPECT_FALSE(ownedAtConfirmation) << v.what;
        EXPECT_EQ(0, sim::OpenMutexHandles()) << v.what;
    }
}

TEST_F(StartUp, OwnPathOrFolderUnknownEndsWithoutABox)
{
    const char *modulePaths[] = {
        "",           // GetModuleFileNameA fails
        "KRVLUP.EXE", // no folder in it
    };
    for (const char *modulePath : modulePaths) {
        sim::SetModulePath(modulePath);
        EXPECT_EQ(0, RunUpdater());
        EXPECT_TRUE(sim::Boxes().empty()) << modulePath;
        EXPECT_EQ(0u, sim::CallCount(sim::OpGetFileAttributes)) << modulePath;
    }
    // A path longer than the limit comes back cut: not ours to use.
    std::string deep = "D:\\" + std::string(520, 'u');
    sim::SetModulePath(deep + "\\KRVLUP.EXE");
    RunUpdater();
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(0u, sim::CallCount(sim::OpGetFileAttributes));
    EXPECT_EQ(0, sim::OpenMutexHandles());
}

TEST_F(StartUp, FirstMissingPackageIsNamedAndStopsTheRun)
{
    const PackageFileEntry two[] = {{1, "FIRST.TGP"}, {1, "SECOND.TGP"}, {-1, nullptr}};
    UpdateManifest twoFiles = shippedManifest;
    twoFiles.packageFiles = two;
    UseManifest(twoFiles);
    sim::AddFile("D:\\Update\\SECOND.TGP", "2");
    sim::Answer(IDOK);
    EXPECT_EQ(0, RunUpdater());
    ExpectBoxes({{texts::MissingPackage("FIRST.TGP"), texts::caption, MB_ERROR_OK}});
    EXPECT_EQ(1u, sim::CallCount(sim::OpGetFileAttributes)) << "the second entry is not looked at";
    EXPECT_EQ(0u, sim::CallCount(sim::OpRegOpenKey)) << "nothing past the package check";
    EXPECT_FALSE(sim::ProgramOwnsMutex(MUTEX));
    EXPECT_FALSE(sim::Exists("C:\\Games\\Korvalinth"));
}

TEST_F(StartUp, PackageCheckAcceptsAFolderAndAnEmptyList)
{
    sim::Remove("D:\\Update\\KRVLUP.TGP");
    sim::AddFolder("D:\\Update\\KRVLUP.TGP");
    DeclineConfirmation();
    RunUpdater();
    ExpectBoxes({{texts::Confirm(GAME), texts::caption, MB_CONFIRM}});

    FreshMachine();
    StandardMachine();
    sim::Remove("D:\\Update\\KRVLUP.TGP");
    const PackageFileEntry none[] = {{-1, nullptr}};
    UpdateManifest empty = shippedManifest;
    empty.packageFiles = none;
    UseManifest(empty);
    DeclineConfirmation();
    RunUpdater();
    ExpectBoxes({{texts::Confirm(GAME), texts::caption, MB_CONFIRM}});
}

TEST_F(StartUp, PackagePathTooLongCountsAsMissing)
{
    // D:\ + folder + \ is the module folder; with the name the path passes 511.
    std::string folder = "D:\\" + std::string(500, 'f') + "\\";
    sim::AddFolders(folder.substr(0, folder.size() - 1));
    sim::SetModulePath(folder + "K.EXE");
    const PackageFileEntry longName[] = {{1, "PACKAGE.TGP"}, {-1, nullptr}}; // 504 + 11 = 515 bytes
    UpdateManifest m = shippedManifest;
    m.packageFiles = longName;
    UseManifest(m);
    sim::Answer(IDOK);
    RunUpdater();
    ExpectBoxes({{texts::MissingPackage("PACKAGE.TGP"), texts::caption, MB_ERROR_OK}});
    EXPECT_EQ(0u, sim::CallCount(sim::OpGetFileAttributes)) << "a path that does not fit is never asked for";
}

} // namespace
