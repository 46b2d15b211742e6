// Path and message text over code page 932 and a single-byte code page.
// Output buffers carry a sentinel past their end, so an overrun or a
// missing terminator shows.
#include "machine.h"
#include "pathtext.h"

#include <string.h>

namespace {

const char SENTINEL = (char)0xCC;

// A 512-byte path buffer followed by a guard zone, all filled with the sentinel.
struct GuardedPath {
    char bytes[PATH_TEXT_SIZE + 32];
    GuardedPath() { memset(bytes, SENTINEL, sizeof bytes); }
    explicit GuardedPath(const std::string &text) : GuardedPath() { memcpy(bytes, text.c_str(), text.size() + 1); }
    char *path() { return bytes; }
    bool guardIntact() const
    {
        for (size_t i = PATH_TEXT_SIZE; i < sizeof bytes; ++i)
            if (bytes[i] != SENTINEL)
                return false;
        return true;
    }
    std::string text() const
    {
        const void *end = memchr(bytes, 0, PATH_TEXT_SIZE);
        return end ? std::string(bytes, (const char *)end) : std::string("<no terminator>");
    }
};

std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

class PathText932 : public MachineTest {};
class PathTextSingleByte : public MachineTest {
  protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::SetCodePage(1252);
        InitLeadBytes();
    }
};

TEST_F(PathText932, LeadBytesFollowTheCodePage)
{
    for (int b : {0x81, 0x9F, 0xE0, 0xFC})
        EXPECT_TRUE(IsLeadByte((BYTE)b)) << b;
    for (int b : {0x00, 0x5C, 0x80, 0xA0, 0xDF, 0xFD, 0xFF})
        EXPECT_FALSE(IsLeadByte((BYTE)b)) << b;

    for (UINT cp : {1252u, 0u}) {
        sim::SetCodePage(cp);
        InitLeadBytes();
        for (int b = 0; b < 256; ++b)
            ASSERT_FALSE(IsLeadByte((BYTE)b)) << "code page " << cp << " byte " << b;
    }
}

struct AdjustCase {
    const char *path;
    int mode;
    const char *expected;
};

TEST_F(PathText932, AdjustTrailingBackslash)
{
    const AdjustCase cases[] = {
        {"C:\\Games\\", 0, "C:\\Games"},
        {"C:\\Games\\", 1, "C:\\Games\\"},
        {"C:\\Games", 1, "C:\\Games\\"},
        {"C:\\Games", 0, "C:\\Games"},
        {"C:\\", 0, "C:"},
        {"C:\\Games\\\\", 0, "C:\\Games\\"}, // only one separator goes
        {"\\", 0, "\\"},                     // shorter than two bytes: never changed
        {"\\", 1, "\\"},
        {"X", 1, "X"},
        {"", 1, ""},
        {"", 0, ""},
        {"C:\\ソ", 1, "C:\\ソ\\"}, // 83 5C is one character
        {"C:\\ソ", 0, "C:\\ソ"},
        {"C:\\表", 1, "C:\\表\\"},
        {"C:\\能", 0, "C:\\能"},
        {"C:\\十\\", 0, "C:\\十"},
        {"C:\\\x83\x81\\", 1, "C:\\\x83\x81\\\\"}, // メ then 5C: 81 is taken as a lead byte
        {"C:\\\x83\x81\\", 0, "C:\\\x83\x81\\"},
        {"ソ", 1, "ソ\\"},
        {"ソ", 0, "ソ"},
    };
    for (const AdjustCase &c : cases) {
        GuardedPath p(c.path);
        EXPECT_EQ(1, AdjustTrailingBackslash(p.path(), c.mode));
        EXPECT_EQ(c.expected, p.text()) << Printable(c.path) << " mode " << c.mode;
        EXPECT_TRUE(p.guardIntact());
    }
}

TEST_F(PathTextSingleByte, TrailBytesAreSeparatorsWithoutLeadBytes)
{
    GuardedPath p("C:\\ソ");
    EXPECT_EQ(1, AdjustTrailingBackslash(p.path(), 0));
    EXPECT_EQ("C:\\\x83", p.text());
    GuardedPath q("C:\\ソ");
    EXPECT_EQ(1, AdjustTrailingBackslash(q.path(), 1));
    EXPECT_EQ("C:\\ソ", q.text());
}

TEST_F(PathText932, AddedSeparatorMustFitTheBuffer)
{
    GuardedPath p510("C:\\" + Repeat('a', 507));
    EXPECT_EQ(1, AdjustTrailingBackslash(p510.path(), 1));
    EXPECT_EQ(511u, p510.text().size());
    EXPECT_TRUE(p510.guardIntact());

    std::string full = "C:\\" + Repeat('a', 508); // 511 bytes: no room for another
    GuardedPath p511(full);
    EXPECT_EQ(0, AdjustTrailingBackslash(p511.path(), 1));
    EXPECT_EQ(full, p511.text());
    EXPECT_TRUE(p511.guardIntact());
}

struct JoinCase {
    const char *base, *name, *expected;
};

TEST_F(PathText932, JoinPath)
{
    const JoinCase cases[] = {
        {"D:\\Update\\", "KRVLUP.TGP", "D:\\Update\\KRVLUP.TGP"},
        {"D:\\Update", "KRVLUP.TGP", "D:\\Update\\KRVLUP.TGP"},
        {"", "Korvalinth", "Korvalinth"},
        {"X", "Korvalinth", "XKorvalinth"}, // one byte: no separator added
        {"C:\\", "DATA", "C:\\DATA"},
        {"C:\\ソ", "DATA", "C:\\ソ\\DATA"},
        {"C:\\Games\\Korvalinth", "", "C:\\Games\\Korvalinth\\"},
    };
    for (const JoinCase &c : cases) {
        GuardedPath out;
        EXPECT_EQ(1, JoinPath(out.path(), c.base, c.name));
        EXPECT_EQ(c.expected, out.text()) << Printable(c.base) << " + " << c.name;
        EXPECT_TRUE(out.guardIntact());
    }
}

TEST_F(PathText932, JoinPathRefusesWhatDoesNotFit)
{
    const std::string base = "C:\\" + Repeat('b', 400);
    // base + separator + name: 510 and 511 bytes fit, 512 does not.
    for (size_t total : {510u, 511u, 512u, 600u}) {
        std::string name = Repeat('n', total - base.size() - 1);
        GuardedPath out;
        int ok = JoinPath(out.path(), base.c_str(), name.c_str());
        EXPECT_TRUE(out.guardIntact()) << total;
        if (total <= 511) {
            EXPECT_EQ(1, ok);
            EXPECT_EQ(base + "\\" + name, out.text());
        } else {
            EXPECT_EQ(0, ok) << total;
            EXPECT_EQ("", out.text()) << "a refused path is never left cut";
        }
    }
    // The separator itself is what does not fit.
    GuardedPath out;
    EXPECT_EQ(0, JoinPath(out.path(), ("C:\\" + Repeat('c', 508)).c_str(), ""));
    EXPECT_EQ("", out.text());
    EXPECT_TRUE(out.guardIntact());
}

struct ModuleCase {
    const char *modulePath;
    int result;
    const char *folder;
};

TEST_F(PathText932, GetModuleFolder)
{
    const ModuleCase cases[] = {
        {"D:\\Update\\KRVLUP.EXE", 1, "D:\\Update\\"},
        {"D:\\ソ\\KRVLUP.EXE", 1, "D:\\ソ\\"},      // not cut at the trail byte
        {"D:\\Upソ", 1, "D:\\"},                    // the last 5C is a trail byte
        {"D:\\a\\b\x83", 1, "D:\\a\\"},             // a lead byte before the end stops the scan
        {"\\\\srv\\share\\KRVLUP.EXE", 1, "\\\\srv\\share\\"},
        {"KRVLUP.EXE", 0, ""},
        {"", 0, ""}, // the module path cannot be had
    };
    for (const ModuleCase &c : cases) {
        sim::SetModulePath(c.modulePath);
        GuardedPath out;
        EXPECT_EQ(c.result, GetModuleFolder(out.path(), PATH_TEXT_SIZE)) << Printable(c.modulePath);
        if (c.result) {
            EXPECT_EQ(c.folder, out.text()) << Printable(c.modulePath);
        }
        EXPECT_TRUE(out.guardIntact());
    }
}

TEST_F(PathText932, GetModuleFolderRefusesACutModulePath)
{
    // The limit is 511 bytes: a 510-byte path is whole, a longer one comes back cut.
    for (size_t length : {510u, 511u, 512u}) {
        std::string path = "D:\\" + Repeat('m', 200) + "\\" + Repeat('x', length - 204);
        ASSERT_EQ(length, path.size());
        sim::SetModulePath(path);
        GuardedPath out;
        int ok = GetModuleFolder(out.path(), PATH_TEXT_SIZE);
        EXPECT_TRUE(out.guardIntact());
        if (length == 510) {
            EXPECT_EQ(1, ok);
            EXPECT_EQ("D:\\" + Repeat('m', 200) + "\\", out.text());
        } else {
            EXPECT_EQ(0, ok) << length;
        }
    }
}

struct SplitCase {
    const char *source;
    int result;
    const char *root;
    const char *rest;
};

TEST_F(PathText932, SplitPathRoot)
{
    const SplitCase cases[] = {
        {"C:\\A\\B", 1, "C:", "\\A\\B"},
        {"C:\\", 1, "C:", "\\"},
        {"\\\\srv\\share\\dir", 1, "\\\\srv\\share", "\\dir"},
        {"\\\\srv\\share", 1, "\\\\srv\\share", ""},
        {"\\\\\\share", 1, "\\\\\\share", ""},
        {"\\\\srv\\\\dir", 1, "\\\\srv\\", "\\dir"},
        {"\\\\ソ\\表\\x", 1, "\\\\ソ\\表", "\\x"}, // trail bytes are not separators
        {"\\\\srv", 0, "", ""},
        {"\\\\srv\\", 0, "", ""},
        {"\\\\sr\x83", 0, "", ""},
        {"\\\\srv\\sh\x83", 0, "", ""},
        {"C:", 0, "", ""},
        {"C:A", 0, "", ""},
        {"A\\B", 0, "", ""},
        {"\\A", 0, "", ""},
        {"", 0, "", ""},
    };
    for (const SplitCase &c : cases) {
        GuardedPath out;
        const char *source = c.source;
        char *cursor = out.path();
        int ok = SplitPathRoot(&source, &cursor, PATH_TEXT_SIZE);
        EXPECT_EQ(c.result, ok) << Printable(c.source);
        EXPECT_TRUE(out.guardIntact());
        if (ok) {
            EXPECT_EQ(c.root, out.text()) << Printable(c.source);
            EXPECT_STREQ(c.rest, source) << Printable(c.source);
            EXPECT_EQ(out.path() + strlen(c.root), cursor);
            EXPECT_EQ('\0', *cursor);
        } else {
            EXPECT_EQ(c.source, source) << "cursors stay on failure";
            EXPECT_EQ(out.path(), cursor);
        }
    }
}

TEST_F(PathText932, SplitPathRootMeasuresItsOutput)
{
    std::string share = "\\\\srv\\" + Repeat('s', 40);
    char small[16];
    memset(small, SENTINEL, sizeof small);
    const char *source = share.c_str();
    char *cursor = small;
    EXPECT_EQ(0, SplitPathRoot(&source, &cursor, 10));
    for (size_t i = 10; i < sizeof small; ++i)
        EXPECT_EQ(SENTINEL, small[i]);
}

TEST_F(PathText932, PathExistsForFilesAndFolders)
{
    sim::AddVolume("C:");
    sim::AddFolders("C:\\Games\\ソ");
    sim::AddFile("C:\\Games\\ソ\\KORVAL.EXE", "x");
    EXPECT_TRUE(PathExists("C:\\Games"));
    EXPECT_TRUE(PathExists("C:\\Games\\ソ"));
    EXPECT_TRUE(PathExists("c:\\games\\ソ\\korval.exe"));
    EXPECT_FALSE(PathExists("C:\\Games\\KORVAL.EXE"));
    EXPECT_FALSE(PathExists("E:\\Games"));
}

TEST_F(PathText932, FormatTextCutsWholeCharacters)
{
    char out[16];
    EXPECT_EQ(1, FormatText(out, sizeof out, "_TG%05d.$$$", 7));
    EXPECT_STREQ("_TG00007.$$$", out);
    EXPECT_EQ(1, FormatText(out, sizeof out, "%05d", 1234567));
    EXPECT_STREQ("1234567", out);
    EXPECT_EQ(1, FormatText(out, sizeof out, "%s|%s", "ab", "cd"));
    EXPECT_STREQ("ab|cd", out);

    // 14 bytes then a two-byte character: 15 bytes of room take only the 14.
    memset(out, SENTINEL, sizeof out);
    EXPECT_EQ(0, FormatText(out, sizeof out, "%s", (Repeat('a', 14) + "ソ").c_str()));
    EXPECT_EQ(Repeat('a', 14), std::string(out));
    // Exactly full.
    EXPECT_EQ(1, FormatText(out, sizeof out, "%s", Repeat('a', 15).c_str()));
    EXPECT_EQ(Repeat('a', 15), std::string(out));

    char message[MESSAGE_TEXT_SIZE + 8];
    memset(message, SENTINEL, sizeof message);
    std::string longPath = Repeat('p', 511);
    EXPECT_EQ(0, FormatText(message, MESSAGE_TEXT_SIZE, "%s %s %s", longPath.c_str(), longPath.c_str(),
                            longPath.c_str()));
    EXPECT_EQ((size_t)MESSAGE_TEXT_SIZE - 1, strlen(message));
    for (size_t i = MESSAGE_TEXT_SIZE; i < sizeof message; ++i)
        EXPECT_EQ(SENTINEL, message[i]);
}

} // namespace
