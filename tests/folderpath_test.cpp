// Making a folder path exist: which entries are probed, which are created,
// what is left on the disk and which box the user sees.
#include "folderpath.h"
#include "machine.h"

#include <algorithm>
#include <iterator>

namespace {

typedef std::vector<std::string> Paths;

// The arguments of every logged call of one platform operation, in order.
Paths CallsOf(sim::Op op)
{
    std::string head = std::string(sim::OpName(op)) + " ";
    Paths args;
    for (const std::string &line : sim::CallLog())
        if (line.compare(0, head.size(), head) == 0)
            args.push_back(line.substr(head.size()));
    return args;
}

Paths NewSince(const Paths &before)
{
    Paths after = sim::AllPaths(), added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    return added;
}

Paths Show(const Paths &paths)
{
    Paths shown;
    for (const std::string &p : paths)
        shown.push_back(Printable(p));
    return shown;
}

ExpectedBox FolderBox(const std::string &text)
{
    return {text, texts::product, MB_ERROR_OK};
}

class FolderPath : public MachineTest {
  protected:
    // Drive C: holding C:\Games, and the share \\srv\share.
    void BaseMachine()
    {
        sim::AddVolume("C:");
        sim::AddVolume("\\\\srv\\share");
        sim::AddFolders("C:\\Games");
    }
};

struct FolderCase {
    const char *what;
    std::string path;
    Paths folders, files; // on the machine besides the base
    int result;
    Paths probed;  // FindFirstFileA, in order
    Paths created; // CreateDirectoryA, in order
    Paths made;    // entries on the disk afterwards that were not there before
    std::string box; // the one box shown; empty: none
};

TEST_F(FolderPath, CreatesWhatIsMissingFromTheRootDown)
{
    const std::string game = "C:\\Games\\Korvalinth";
    const std::string data = game + "\\DATA";
    const std::string name510 = "C:\\Games\\" + std::string(501, 'n');
    const std::string name511 = "C:\\Games\\" + std::string(502, 'n');
    const std::string name512 = "C:\\Games\\" + std::string(503, 'n');
    const FolderCase cases[] = {
        {"game folder and its subfolder missing: the second is made without a probe", data, {}, {}, 1,
         {"C:\\Games", game}, {game, data}, {game, data}, ""},
        {"all present", data, {data}, {}, 1, {"C:\\Games", game, data}, {}, {}, ""},
        {"a file in the way names the partial path", data, {}, {game}, 0, {"C:\\Games", game}, {}, {},
         texts::FileInTheWay(game)},
        {"trailing separator", game + "\\", {}, {}, 1, {"C:\\Games", game}, {game}, {game}, ""},
        {"drive root", "C:\\", {}, {}, 1, {}, {}, {}, ""},
        {"network root", "\\\\srv\\share", {}, {}, 1, {}, {}, {}, ""},
        {"network root with separator", "\\\\srv\\share\\", {}, {}, 1, {}, {}, {}, ""},
        {"below a share: the share is not probed", "\\\\srv\\share\\dir", {}, {}, 1, {"\\\\srv\\share\\dir"},
         {"\\\\srv\\share\\dir"}, {"\\\\srv\\share\\dir"}, ""},
        {"bare drive: probed as a whole, there all the same", "C:", {}, {}, 1, {"C:"}, {"C:"}, {}, ""},
        {"relative, one level", "Saves", {}, {}, 1, {"Saves"}, {"Saves"}, {"C:\\Saves"}, ""},
        {"relative A\\B with A missing: one level only", "A\\B", {}, {}, 0, {"A\\B"}, {"A\\B"}, {},
         texts::CannotCreate("A\\B")},
        {"relative, a file in the way", "Saves", {}, {"C:\\Saves"}, 0, {"Saves"}, {}, {},
         texts::FileInTheWay("Saves")},
        {"lead byte at the very end", "C:\\Games\\New\x83", {}, {}, 0, {"C:\\Games"}, {}, {}, ""},
        {"lead byte ending the first name", "C:\\\x83", {}, {}, 0, {}, {}, {}, ""},
        {"two separators in a row", "C:\\Games\\\\Korvalinth", {}, {}, 1, {"C:\\Games", "C:\\Games\\"},
         {"C:\\Games\\", "C:\\Games\\\\Korvalinth"}, {game}, ""},
        {"missing drive", "Z:\\Games\\Korvalinth", {}, {}, 0, {"Z:\\Games"}, {"Z:\\Games"}, {},
         texts::CannotCreate("Z:\\Games")},
        {"trail bytes 5C inside and at the end of names", "C:\\Games\\ソ\\表", {}, {}, 1,
         {"C:\\Games", "C:\\Games\\ソ"}, {"C:\\Games\\ソ", "C:\\Games\\ソ\\表"},
         {"C:\\Games\\ソ", "C:\\Games\\ソ\\表"}, ""},
        {"trail bytes 5C in the path of a file in the way", "C:\\表\\ソ\\DATA", {"C:\\表"}, {"C:\\表\\ソ"}, 0,
         {"C:\\表", "C:\\表\\ソ"}, {}, {}, texts::FileInTheWay("C:\\表\\ソ")},
        {"510 bytes", name510, {}, {}, 1, {"C:\\Games", name510}, {name510}, {name510}, ""},
        {"511 bytes", name511, {}, {}, 1, {"C:\\Games", name511}, {name511}, {name511}, ""},
        {"512 bytes: refused untouched", name512, {}, {}, 0, {}, {}, {}, texts::CannotCreate(name512)},
    };
    for (const FolderCase &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        BaseMachine();
        for (const std::string &f : c.folders)
            sim::AddFolders(f);
        for (const std::string &f : c.files)
            sim::AddFile(f, "in the way");
        const Paths before = sim::AllPaths();
        const unsigned callsBefore = sim::TotalCalls();
        if (!c.box.empty())
            sim::Answer(IDOK);

        EXPECT_EQ(c.result, CreateFolderPath(c.path.c_str()));
        EXPECT_EQ(Show(c.probed), Show(CallsOf(sim::OpFindFirstFile)));
        EXPECT_EQ(Show(c.created), Show(CallsOf(sim::OpCreateDirectory)));
        EXPECT_EQ(Show(c.made), Show(NewSince(before)));
        for (const std::string &m : c.made)
            EXPECT_TRUE(sim::IsFolder(m)) << Printable(m);
        if (c.box.empty())
            ExpectBoxes({});
        else
            ExpectBoxes({FolderBox(c.box)});
        if (c.probed.empty() && c.created.empty()) {
            EXPECT_EQ(callsBefore, sim::TotalCalls()) << "nothing may be touched";
        }
        EXPECT_EQ(0, sim::OpenFileHandles()) << "every search is closed";
    }
}

struct OneFolderCase {
    const char *what;
    std::string path;
    bool asFile;   // the path is taken by a file
    bool asFolder; // the path is taken by a folder (someone made it meanwhile)
    int result;
    bool box;
};

TEST_F(FolderPath, OneFolder)
{
    const OneFolderCase cases[] = {
        {"missing", "C:\\Games\\Korvalinth", false, false, 1, false},
        {"made meanwhile by someone else", "C:\\Games\\Korvalinth", false, true, 1, false},
        {"a file of that name", "C:\\Games\\Korvalinth", true, false, 0, true},
        {"parent missing", "C:\\Games\\Korvalinth\\DATA", false, false, 0, true},
        {"missing drive", "Z:\\Games", false, false, 0, true},
    };
    for (const OneFolderCase &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        BaseMachine();
        if (c.asFile)
            sim::AddFile(c.path, "x");
        if (c.asFolder)
            sim::AddFolder(c.path);
        if (c.box)
            sim::Answer(IDOK);
        EXPECT_EQ(c.result, CreateOneFolder(c.path.c_str()));
        EXPECT_EQ(Paths{c.path}, CallsOf(sim::OpCreateDirectory));
        EXPECT_EQ(c.result == 1, sim::IsFolder(c.path));
        if (c.box)
            ExpectBoxes({FolderBox(texts::CannotCreate(c.path))});
        else
            ExpectBoxes({});
    }
}

TEST_F(FolderPath, FoldersMadeBeforeAFailureStay)
{
    BaseMachine();
    sim::FailCall(sim::OpCreateDirectory, 2);
    sim::Answer(IDOK);
    EXPECT_EQ(0, CreateFolderPath("C:\\Games\\Korvalinth\\DATA\\Saves"));
    ExpectBoxes({FolderBox(texts::CannotCreate("C:\\Games\\Korvalinth\\DATA"))});
    EXPECT_TRUE(sim::IsFolder("C:\\Games\\Korvalinth"));
    EXPECT_FALSE(sim::Exists("C:\\Games\\Korvalinth\\DATA"));
    EXPECT_EQ(2u, sim::CallCount(sim::OpCreateDirectory)) << "nothing deeper is tried";
}

} // namespace
