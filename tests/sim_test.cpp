// The simulated Windows itself: the behaviour the program's tests lean on.
#include "platform.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> failures;
void RecordFailure(const std::string &what) { failures.push_back(what); }

const char *const kSo = "\x83\x5C"; // katakana "so": lead byte 0x83, trail byte 0x5C

class Sim : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::SetFailureHandler(RecordFailure);
        sim::Reset();
        failures.clear();
        sim::AddVolume("C:");
        sim::AddVolume("D:");
        sim::AddVolume("\\\\srv\\share");
    }
    void TearDown() override {
        EXPECT_TRUE(failures.empty()) << "unexpected sim failure: " << failures.front();
        EXPECT_EQ(sim::OpenFileHandles(), 0) << "file or search handles left open by the test";
        sim::SetFailureHandler(nullptr);
    }
    // Takes the failures recorded so far.
    std::vector<std::string> TakeFailures() {
        std::vector<std::string> f;
        f.swap(failures);
        return f;
    }
    static HANDLE Open(const std::string &path, DWORD access, DWORD share = 0, DWORD disposition = OPEN_EXISTING,
                       DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        return CreateFileA(path.c_str(), access, share, nullptr, disposition, attributes, nullptr);
    }
    static std::string ReadAll(HANDLE h, DWORD chunk = 7) {
        std::string out;
        char buf[64];
        DWORD got = 0;
        while (ReadFile(h, buf, chunk, &got, nullptr) && got > 0)
            out.append(buf, got);
        return out;
    }
    static DWORD Write(HANDLE h, const std::string &data) {
        DWORD put = 0;
        EXPECT_TRUE(WriteFile(h, data.data(), DWORD(data.size()), &put, nullptr));
        return put;
    }
};

// --- paths ----------------------------------------------------------------------

TEST_F(Sim, PathsResolveLikeWindows) {
    sim::AddFolders("C:\\Games\\Korv");
    sim::AddFile("C:\\Games\\Korv\\Game.exe", "x");
    sim::AddFolder(std::string("C:\\") + kSo);
    sim::AddFolder("\\\\srv\\share\\Pub");
    sim::SetCurrentFolder("C:\\Games");
    const DWORD dir = FILE_ATTRIBUTE_DIRECTORY, arc = FILE_ATTRIBUTE_ARCHIVE, bad = INVALID_FILE_ATTRIBUTES;
    struct Case {
        std::string path;
        DWORD attributes;
        DWORD error;
    } cases[] = {
        {"C:\\Games\\Korv\\Game.exe", arc, 0},
        {"c:\\GAMES\\korv\\GAME.EXE", arc, 0},
        {"C:\\Games\\Korv\\Game.exe\\", bad, ERROR_INVALID_NAME},
        {"C:\\Games\\Korv\\", dir, 0},
        {"C:\\Games\\\\Korv\\\\Game.exe", arc, 0},
        {"C:\\", dir, 0},
        {"C:", dir, 0},
        {"c:\\\\", dir, 0},
        {std::string("C:\\") + kSo, dir, 0},
        {std::string("C:\\") + kSo + "\\", dir, 0},
        {"C:\\Games\\Missing", bad, ERROR_FILE_NOT_FOUND},
        {"C:\\Missing\\Game.exe", bad, ERROR_PATH_NOT_FOUND},
        {"C:\\Games\\Korv\\Game.exe\\x", bad, ERROR_PATH_NOT_FOUND},
        {"Korv\\Game.exe", arc, 0},
        {"\\Games", dir, 0},
        {"Q:\\", bad, ERROR_PATH_NOT_FOUND},
        {"Q:\\x", bad, ERROR_PATH_NOT_FOUND},
        {"\\\\srv\\share", dir, 0},
        {"\\\\SRV\\Share\\pub\\", dir, 0},
        {"\\\\other\\share\\Pub", bad, ERROR_BAD_NETPATH},
        {"", bad, ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        DWORD a = GetFileAttributesA(c.path.c_str());
        EXPECT_EQ(a, c.attributes);
        if (a == INVALID_FILE_ATTRIBUTES) {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    // The trail byte 0x5C is no separator: the folder is a single entry.
    EXPECT_EQ(sim::List("C:\\"), (std::vector<std::string>{"Games", kSo}));
}

TEST_F(Sim, SingleByteCodePageSplitsAtEvery5C) {
    sim::SetCodePage(1252);
    sim::AddFolder("C:\\\x83");
    sim::AddFile(std::string("C:\\") + kSo + "x", "1"); // C:\<83>\x
    EXPECT_EQ(sim::List("C:\\\x83"), (std::vector<std::string>{"x"}));
}

TEST_F(Sim, NamesAreStoredAsFirstGivenAndFoldOnlyAscii) {
    sim::AddFolder("C:\\Games");
    HANDLE h = Open("c:\\GAMES\\New.Txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    h = Open("C:\\games\\NEW.TXT", GENERIC_WRITE, 0, CREATE_ALWAYS); // the same file again
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(sim::AllPaths(), (std::vector<std::string>{"C:\\Games", "C:\\Games\\New.Txt"}));

    // Trail bytes that look like ASCII letters are not folded.
    sim::AddFile("C:\\\x83\x41", "upper");
    sim::AddFile("C:\\\x83\x61", "lower");
    EXPECT_EQ(sim::ContentOf("C:\\\x83\x41"), "upper");
    EXPECT_EQ(sim::ContentOf("C:\\\x83\x61"), "lower");
    EXPECT_NE(lstrcmpiA("\x83\x41", "\x83\x61"), 0);
    EXPECT_EQ(lstrcmpiA("Game\x83\x41.EXE", "gAME\x83\x41.exe"), 0);
    EXPECT_LT(lstrcmpiA("a", "B"), 0);
    EXPECT_GT(lstrcmpiA("b", "A"), 0);
}

// --- searches, folders ---------------------------------------------------------------

TEST_F(Sim, FindFirstFileReportsOneEntryLiterally) {
    sim::AddFolder("C:\\Dir");
    sim::AddPatternFile("C:\\Dir\\Big.bin", 0x123456789ull, FILE_ATTRIBUTE_READONLY);
    sim::SetTimes("C:\\Dir\\Big.bin", sim::Times{0x100000002ull, 3, 0x400000005ull});
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA("c:\\dir\\BIG.BIN", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d.dwFileAttributes, FILE_ATTRIBUTE_READONLY);
    EXPECT_STREQ(d.cFileName, "Big.bin");
    EXPECT_EQ(d.nFileSizeHigh, 1u);
    EXPECT_EQ(d.nFileSizeLow, 0x23456789u);
    EXPECT_EQ(d.ftCreationTime.dwHighDateTime, 1u);
    EXPECT_EQ(d.ftCreationTime.dwLowDateTime, 2u);
    EXPECT_EQ(d.ftLastWriteTime.dwLowDateTime, 5u);
    EXPECT_EQ(sim::OpenFileHandles(), 1);
    EXPECT_TRUE(FindClose(h));
    EXPECT_EQ(sim::OpenFileHandles(), 0);

    h = FindFirstFileA("C:\\Dir", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    FindClose(h);

    for (const char *p : {"C:\\Dir\\", "C:\\", "C:\\Dir\\*", "C:\\Dir\\Big.bi?", "C:\\Dir\\Nope", "C:\\No\\x"}) {
        SCOPED_TRACE(p);
        EXPECT_EQ(FindFirstFileA(p, &d), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    }
}

TEST_F(Sim, CreateDirectoryMakesOneLevel) {
    sim::AddFile("C:\\File", "");
    struct Case {
        const char *path;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {"C:\\New", TRUE, 0},
        {"C:\\new", FALSE, ERROR_ALREADY_EXISTS},
        {"C:\\File", FALSE, ERROR_ALREADY_EXISTS},
        {"C:\\New\\Sub\\", TRUE, 0},
        {"C:\\A\\B", FALSE, ERROR_PATH_NOT_FOUND},
        {"C:\\File\\B", FALSE, ERROR_PATH_NOT_FOUND},
        {"Q:\\New", FALSE, ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(CreateDirectoryA(c.path, nullptr), c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    EXPECT_EQ(sim::AllPaths(), (std::vector<std::string>{"C:\\File", "C:\\New", "C:\\New\\Sub"}));
    EXPECT_EQ(sim::Attributes("C:\\New\\Sub"), FILE_ATTRIBUTE_DIRECTORY);
}

// --- opening files ---------------------------------------------------------------------

TEST_F(Sim, CreateFileErrors) {
    sim::AddFolder("C:\\Dir");
    sim::AddFile("C:\\ro.txt", "r", FILE_ATTRIBUTE_READONLY);
    sim::AddFile("C:\\hid.txt", "h", FILE_ATTRIBUTE_HIDDEN);
    sim::AddFile("C:\\sys.txt", "s", FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    struct Case {
        const char *path;
        DWORD access, disposition, attributes, error;
    } cases[] = {
        {"C:\\Dir", GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
        {"C:\\Dir", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
        {"C:\\missing", GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, ERROR_FILE_NOT_FOUND},
        {"C:\\No\\new", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_PATH_NOT_FOUND},
        {"C:\\No\\new", GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, ERROR_PATH_NOT_FOUND},
        {"C:\\ro.txt", GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
        {"C:\\ro.txt", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
        {"C:\\hid.txt", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
        {"C:\\sys.txt", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, ERROR_ACCESS_DENIED},
        {"Q:\\x", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Open(c.path, c.access, 0, c.disposition, c.attributes), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(sim::AllPaths().size(), 4u);
    EXPECT_EQ(sim::ContentOf("C:\\hid.txt"), "h");

    // Read access to a read-only file is fine; hidden is overwritten when the
    // new attributes carry hidden too.
    HANDLE h = Open("C:\\ro.txt", GENERIC_READ);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    h = Open("C:\\hid.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(sim::SizeOf("C:\\hid.txt"), 0u);
}

TEST_F(Sim, NewFileGetsAttributesAndClock) {
    sim::AddFile("C:\\old", "");
    uint64_t before = sim::TimesOf("C:\\old").lastWrite;
    HANDLE h = Open("C:\\plain", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    CloseHandle(h);
    h = Open("C:\\arch", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE);
    CloseHandle(h);
    EXPECT_EQ(sim::Attributes("C:\\plain"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesA("C:\\plain"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(sim::Attributes("C:\\arch"), FILE_ATTRIBUTE_ARCHIVE);
    sim::Times t1 = sim::TimesOf("C:\\plain"), t2 = sim::TimesOf("C:\\arch");
    EXPECT_GT(t1.creation, before);
    EXPECT_EQ(t1.creation, t1.lastWrite);
    EXPECT_EQ(t1.creation, t1.lastAccess);
    EXPECT_GT(t2.creation, t1.creation);
}

TEST_F(Sim, SharingFollowsBothHandlesModes) {
    sim::AddFile("C:\\f", "data");
    const DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
    struct Case {
        DWORD firstAccess, firstShare, access, share;
        bool ok;
    } cases[] = {
        {R, SR, R, SR, true},       {R, SR, R, 0, false},       {R, 0, R, SR, false},
        {R, SR, W, SR, false},      {R, SR | SW, W, SR, true},  {W, SR, R, SR, false},
        {W, SR, R, SR | SW, true},  {W, 0, R, SR | SW, false},  {R | W, SR | SW, R | W, SR | SW, true},
        {0, 0, R | W, 0, true},     {R, 0, 0, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.firstAccess << "/" << c.firstShare << " then "
                                        << c.access << "/" << c.share);
        HANDLE first = Open("C:\\f", c.firstAccess, c.firstShare);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        EXPECT_EQ(sim::OtherProgramCanOpen("C:\\f", c.access, c.share), c.ok);
        HANDLE second = Open("C:\\f", c.access, c.share);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.ok);
        if (second != INVALID_HANDLE_VALUE)
            CloseHandle(second);
        else
            EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        CloseHandle(first);
    }
    // CREATE_ALWAYS is checked against open handles as well and then truncates nothing.
    HANDLE r = Open("C:\\f", R, SR);
    EXPECT_EQ(Open("C:\\f", W, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(r);
    EXPECT_EQ(sim::ContentOf("C:\\f"), "data");
    EXPECT_TRUE(sim::OtherProgramCanOpen("C:\\f", R | W, 0));
    EXPECT_FALSE(sim::OtherProgramCanOpen("C:\\missing", R, SR));
    sim::SetAttributes("C:\\f", FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(sim::OtherProgramCanOpen("C:\\f", W, SR | SW));
}

// --- reading and writing ----------------------------------------------------------------

TEST_F(Sim, ReadWriteAndSeek) {
    sim::AddFile("C:\\f", "0123456789");
    HANDLE h = Open("C:\\f", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[16];
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(h, buf, 4, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "0123");
    LARGE_INTEGER d, pos;
    struct Seek {
        int64_t distance;
        DWORD method;
        BOOL ok;
        int64_t position;
    } seeks[] = {
        {2, FILE_CURRENT, TRUE, 6}, {-3, FILE_END, TRUE, 7}, {0, FILE_BEGIN, TRUE, 0},
        {-1, FILE_BEGIN, FALSE, 0}, {-11, FILE_END, FALSE, 0}, {int64_t(1) << 40, FILE_BEGIN, TRUE, int64_t(1) << 40},
        {-(int64_t(1) << 40) + 8, FILE_CURRENT, TRUE, 8},
    };
    for (const Seek &s : seeks) {
        SCOPED_TRACE(s.distance);
        d.QuadPart = s.distance;
        pos.QuadPart = -5;
        EXPECT_EQ(SetFilePointerEx(h, d, &pos, s.method), s.ok);
        if (s.ok) {
            EXPECT_EQ(pos.QuadPart, s.position);
        }
        else
            EXPECT_EQ(GetLastError(), 131u);
    }
    ASSERT_TRUE(ReadFile(h, buf, 16, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "89");
    ASSERT_TRUE(ReadFile(h, buf, 16, &got, nullptr));
    EXPECT_EQ(got, 0u);

    // Writing past the end fills the gap with zeros.
    d.QuadPart = 12;
    SetFilePointerEx(h, d, nullptr, FILE_BEGIN);
    EXPECT_EQ(Write(h, "ab"), 2u);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 14);
    CloseHandle(h);
    EXPECT_EQ(sim::ContentOf("C:\\f"), std::string("0123456789\0\0ab", 14));

    // Access is checked per handle.
    h = Open("C:\\f", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_FALSE(WriteFile(h, "x", 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, nullptr));
    HANDLE w = Open("C:\\f", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_EQ(w, INVALID_HANDLE_VALUE); // the reader does not share writing
    CloseHandle(h);
    w = Open("C:\\f", GENERIC_WRITE);
    got = 7;
    EXPECT_FALSE(ReadFile(w, buf, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(got, 0u);
    CloseHandle(w);
}

TEST_F(Sim, WritesStampTimeAndNeedAFlushToBeDurable) {
    sim::AddFile("C:\\src", "payload");
    sim::SetTimes("C:\\src", sim::Times{10, 20, 30});
    EXPECT_TRUE(sim::IsDurable("C:\\src"));
    HANDLE h = Open("C:\\dst", GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_TRUE(sim::IsDurable("C:\\dst")); // created empty
    sim::Times created = sim::TimesOf("C:\\dst");
    Write(h, "abc");
    EXPECT_FALSE(sim::IsDurable("C:\\dst"));
    sim::Times written = sim::TimesOf("C:\\dst");
    EXPECT_EQ(written.creation, created.creation);
    EXPECT_GT(written.lastWrite, created.lastWrite);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(sim::IsDurable("C:\\dst"));

    // SetFileTime leaves a time alone where the pointer is null.
    FILETIME c = {5, 0}, w = {7, 1};
    EXPECT_TRUE(SetFileTime(h, &c, nullptr, &w));
    EXPECT_EQ(sim::TimesOf("C:\\dst"), (sim::Times{5, written.lastAccess, 0x100000007ull}));
    CloseHandle(h);

    h = Open("C:\\src", GENERIC_READ, FILE_SHARE_READ);
    FILETIME a = {0, 0}, lw = {0, 0};
    EXPECT_TRUE(GetFileTime(h, nullptr, &a, &lw));
    EXPECT_EQ(a.dwLowDateTime, 20u);
    EXPECT_EQ(lw.dwLowDateTime, 30u);
    EXPECT_EQ(ReadAll(h), "payload");
    CloseHandle(h);
    EXPECT_EQ(sim::TimesOf("C:\\src"), (sim::Times{10, 20, 30}));
}

// --- pattern files -----------------------------------------------------------------------

TEST_F(Sim, PatternIsNotPeriodicAtAnyPowerOfTwo) {
    for (int k = 0; k <= 32; ++k) {
        uint64_t period = uint64_t(1) << k;
        bool differs = false;
        // Probe offsets just below every power of two, where carries reach high bits.
        for (int b = 0; b <= 40 && !differs; ++b)
            for (uint64_t i : {uint64_t(0), (uint64_t(1) << b) - 1, (uint64_t(3) << b) - 1, uint64_t(1) << b})
                if (sim::PatternByte(i) != sim::PatternByte(i + period))
                    differs = true;
        EXPECT_TRUE(differs) << "period 2^" << k;
    }
    std::set<uint8_t> seen;
    for (uint64_t i = 0; i < 4096; ++i)
        seen.insert(sim::PatternByte(i));
    EXPECT_EQ(seen.size(), 256u);
}

TEST_F(Sim, PatternFilesReadAndStayPatternWhenWrittenWithThePattern) {
    sim::AddPatternFile("C:\\p", 1000);
    HANDLE h = Open("C:\\p", GENERIC_READ);
    LARGE_INTEGER d;
    d.QuadPart = 300;
    SetFilePointerEx(h, d, nullptr, FILE_BEGIN);
    uint8_t buf[1000];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf, 1000, &got, nullptr));
    ASSERT_EQ(got, 700u);
    for (DWORD i = 0; i < got; ++i)
        ASSERT_EQ(buf[i], sim::PatternByte(300 + i)) << i;
    CloseHandle(h);
    std::string all = sim::ContentOf("C:\\p");
    ASSERT_EQ(all.size(), 1000u);
    EXPECT_EQ(uint8_t(all[999]), sim::PatternByte(999));

    uint8_t pat[600];
    for (int i = 0; i < 600; ++i)
        pat[i] = sim::PatternByte(i);
    struct Case {
        const char *name;
        uint64_t initialPattern; // 0: an empty file
        uint64_t offset;
        size_t length;
        bool flip; // one byte differs
        bool keepsPattern;
        uint64_t size;
    } cases[] = {
        {"appending to an empty file", 0, 0, 600, false, true, 600},
        {"overwriting inside", 1000, 100, 300, false, true, 1000},
        {"extending at the end", 400, 400, 200, false, true, 600},
        {"one byte off", 1000, 100, 300, true, false, 1000},
        {"leaving a gap", 100, 200, 100, false, false, 300},
        {"gap in an empty file", 0, 1, 10, false, false, 11},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.initialPattern)
            sim::AddPatternFile("C:\\q", c.initialPattern);
        else
            sim::AddFile("C:\\q", "");
        std::vector<uint8_t> data(pat + c.offset, pat + c.offset + c.length);
        if (c.flip)
            data[c.length / 2] ^= 1;
        h = Open("C:\\q", GENERIC_WRITE);
        d.QuadPart = int64_t(c.offset);
        SetFilePointerEx(h, d, nullptr, FILE_BEGIN);
        DWORD put = 0;
        ASSERT_TRUE(WriteFile(h, data.data(), DWORD(data.size()), &put, nullptr));
        CloseHandle(h);
        EXPECT_EQ(sim::HoldsPattern("C:\\q"), c.keepsPattern);
        EXPECT_EQ(sim::SizeOf("C:\\q"), c.size);
        std::string content = sim::ContentOf("C:\\q");
        ASSERT_EQ(content.size(), c.size);
        for (size_t i = 0; i < c.length; ++i)
            ASSERT_EQ(uint8_t(content[c.offset + i]), data[i]) << i;
        if (!c.keepsPattern && c.initialPattern > c.offset + c.length) {
            EXPECT_EQ(uint8_t(content[c.size - 1]), sim::PatternByte(c.size - 1));
        }
        sim::Remove("C:\\q");
    }
}

TEST_F(Sim, HugePatternFileCopiesQuicklyInChunks) {
    const uint64_t size = 5ull << 30;
    sim::AddPatternFile("C:\\big", size);
    auto start = std::chrono::steady_clock::now();
    HANDLE in = Open("C:\\big", GENERIC_READ, FILE_SHARE_READ);
    HANDLE out = Open("D:\\copy", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE);
    static char buf[16384];
    DWORD got = 0, put = 0;
    uint64_t copied = 0;
    while (ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0) {
        ASSERT_TRUE(WriteFile(out, buf, got, &put, nullptr));
        ASSERT_EQ(put, got);
        copied += got;
    }
    CloseHandle(in);
    CloseHandle(out);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(copied, size);
    EXPECT_EQ(sim::SizeOf("D:\\copy"), size);
    EXPECT_TRUE(sim::HoldsPattern("D:\\copy"));
    EXPECT_LT(seconds, 30.0);
    RecordProperty("copy_seconds", std::to_string(seconds));
}

TEST_F(Sim, TooLargeExplicitFileIsRefused) {
    sim::AddPatternFile("C:\\big", 300ull << 20);
    HANDLE h = Open("C:\\big", GENERIC_WRITE);
    DWORD put = 9;
    uint8_t wrong = uint8_t(sim::PatternByte(0) ^ 0xFF);
    EXPECT_FALSE(WriteFile(h, &wrong, 1, &put, nullptr));
    EXPECT_EQ(put, 0u);
    CloseHandle(h);
    EXPECT_EQ(TakeFailures().size(), 1u);
    EXPECT_TRUE(sim::HoldsPattern("C:\\big"));
}

// --- deleting and moving ---------------------------------------------------------------

TEST_F(Sim, DeleteFile) {
    sim::AddFolder("C:\\Dir");
    sim::AddFile("C:\\ro", "", FILE_ATTRIBUTE_READONLY);
    sim::AddFile("C:\\open", "");
    sim::AddFile("C:\\gone", "");
    HANDLE h = Open("C:\\open", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    struct Case {
        const char *path;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {"C:\\Dir", FALSE, ERROR_ACCESS_DENIED},     {"C:\\ro", FALSE, ERROR_ACCESS_DENIED},
        {"C:\\open", FALSE, ERROR_SHARING_VIOLATION}, {"C:\\none", FALSE, ERROR_FILE_NOT_FOUND},
        {"C:\\x\\none", FALSE, ERROR_PATH_NOT_FOUND}, {"C:\\GONE", TRUE, 0},
        {"C:\\gone", FALSE, ERROR_FILE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(DeleteFileA(c.path), c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileA("C:\\open"));
    EXPECT_EQ(sim::AllPaths(), (std::vector<std::string>{"C:\\Dir", "C:\\ro"}));
}

TEST_F(Sim, MoveFileErrors) {
    sim::AddFolders("C:\\Dir\\Sub");
    sim::AddFolder("D:\\Other");
    sim::AddFile("C:\\a", "A");
    sim::AddFile("C:\\b", "B");
    sim::AddFile("C:\\ro", "R", FILE_ATTRIBUTE_READONLY);
    sim::AddFile("C:\\open", "O");
    HANDLE h = Open("C:\\open", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    const DWORD rep = MOVEFILE_REPLACE_EXISTING;
    struct Case {
        const char *from, *to;
        DWORD flags, error;
    } cases[] = {
        {"C:\\none", "C:\\x", 0, ERROR_FILE_NOT_FOUND},
        {"C:\\a", "D:\\Other\\a", rep, 17},
        {"C:\\a", "C:\\No\\a", rep, ERROR_PATH_NOT_FOUND},
        {"C:\\a", "C:\\b", 0, ERROR_ALREADY_EXISTS},
        {"C:\\a", "C:\\Dir", rep, ERROR_ACCESS_DENIED},
        {"C:\\a", "C:\\ro", rep, ERROR_ACCESS_DENIED},
        {"C:\\open", "C:\\x", 0, ERROR_SHARING_VIOLATION},
        {"C:\\a", "C:\\open", rep, ERROR_SHARING_VIOLATION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
        EXPECT_FALSE(MoveFileExA(c.from, c.to, c.flags));
        EXPECT_EQ(GetLastError(), c.error);
    }
    CloseHandle(h);
    EXPECT_EQ(sim::AllPaths(), (std::vector<std::string>{"C:\\Dir", "C:\\Dir\\Sub", "C:\\a", "C:\\b", "C:\\open",
                                                         "C:\\ro", "D:\\Other"}));
    EXPECT_EQ(sim::ContentOf("C:\\b"), "B");
}

TEST_F(Sim, MoveFileCarriesTheEntryAndReplacesAtomically) {
    sim::AddFolder("C:\\Dir");
    sim::AddFile("C:\\tmp", "new", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    sim::SetTimes("C:\\tmp", sim::Times{1, 2, 3});
    HANDLE h = Open("C:\\tmp", GENERIC_WRITE);
    Write(h, "NEW"); // not flushed
    CloseHandle(h);
    sim::SetTimes("C:\\tmp", sim::Times{1, 2, 3});
    sim::AddFile("C:\\Dir\\target.dat", "old");

    EXPECT_TRUE(MoveFileExA("c:\\TMP", "C:\\tmp", 0)); // the same entry
    EXPECT_TRUE(MoveFileExA("C:\\tmp", "c:\\dir\\TARGET.dat", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(sim::AllPaths(), (std::vector<std::string>{"C:\\Dir", "C:\\Dir\\TARGET.dat"}));
    EXPECT_EQ(sim::ContentOf("C:\\Dir\\target.dat"), "NEW");
    EXPECT_EQ(sim::Attributes("C:\\Dir\\target.dat"), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(sim::TimesOf("C:\\Dir\\target.dat"), (sim::Times{1, 2, 3}));
    EXPECT_FALSE(sim::IsDurable("C:\\Dir\\target.dat"));

    // Without the replace flag, onto a free name; a read-only source may move.
    sim::SetAttributes("C:\\Dir\\target.dat", FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(MoveFileExA("C:\\Dir\\target.dat", "C:\\Dir\\Final", 0));
    EXPECT_EQ(sim::List("C:\\Dir"), (std::vector<std::string>{"Final"}));
}

// --- registry -----------------------------------------------------------------------------

TEST_F(Sim, RegistryOpensAndQueriesWithSizes) {
    sim::SetRegistryString("Software\\Quenmoor\\Korvalinth", "InstallDir", "C:\\Games");
    sim::SetRegistryValue("Software\\Quenmoor\\Korvalinth", "Raw", REG_SZ, "abc"); // no terminator
    sim::SetRegistryKeyReadOnly("Software\\Locked");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\QUENMOOR\\Korvalinth", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(sim::OpenRegistryKeys(), 1);

    struct Case {
        const char *name;
        DWORD bufferSize;
        LSTATUS result;
        DWORD sizeAfter;
        std::string bytes;
    } cases[] = {
        {"InstallDir", 64, ERROR_SUCCESS, 9, std::string("C:\\Games\0", 9)},
        {"installdir", 9, ERROR_SUCCESS, 9, std::string("C:\\Games\0", 9)},
        {"InstallDir", 8, ERROR_MORE_DATA, 9, "########"},
        {"Raw", 3, ERROR_SUCCESS, 3, "abc"},
        {"Missing", 64, ERROR_FILE_NOT_FOUND, 64, "#"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        DWORD type = 99, size = c.bufferSize;
        EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, (LPBYTE)buf, &size), c.result);
        EXPECT_EQ(size, c.sizeAfter);
        EXPECT_EQ(std::string(buf, c.bytes.size()), c.bytes);
        EXPECT_EQ(buf[c.bytes.size()], '#');
        if (c.result != ERROR_FILE_NOT_FOUND) {
            EXPECT_EQ(type, DWORD(REG_SZ));
        }
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(sim::OpenRegistryKeys(), 0);

    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nobody", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Locked", 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Locked", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quenmoor", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    sim::DeleteRegistryKey("Software\\Quenmoor");
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quenmoor\\Korvalinth", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sim::OpenRegistryKeys(), 0);

    EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS); // key is null here: never opened
    EXPECT_EQ(TakeFailures().size(), 1u);
}

// --- module path, code page ------------------------------------------------------------------

TEST_F(Sim, ModuleFileNameTruncatesLikeWindows) {
    char buf[32];
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), 0u);
    sim::SetModulePath("D:\\Update\\KRVLUP.EXE"); // 20 bytes
    struct Case {
        DWORD n, result;
        std::string text;
        DWORD error;
    } cases[] = {
        {32, 20, "D:\\Update\\KRVLUP.EXE", 0},
        {21, 20, "D:\\Update\\KRVLUP.EXE", 0},
        {20, 20, "D:\\Update\\KRVLUP.EX", ERROR_INSUFFICIENT_BUFFER},
        {4, 4, "D:\\", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buf, c.n), c.result);
        EXPECT_STREQ(buf, c.text.c_str());
        if (c.error) {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
}

TEST_F(Sim, CodePageInformation) {
    CPINFO info;
    EXPECT_EQ(GetACP(), 932u);
    ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
    EXPECT_EQ(info.MaxCharSize, 2u);
    const BYTE lead[MAX_LEADBYTES] = {0x81, 0x9F, 0xE0, 0xFC};
    EXPECT_EQ(std::memcmp(info.LeadByte, lead, sizeof lead), 0);
    sim::SetCodePage(1252);
    ASSERT_TRUE(GetCPInfo(1252, &info));
    EXPECT_EQ(info.MaxCharSize, 1u);
    EXPECT_EQ(info.LeadByte[0], 0);
    sim::SetCodePage(0);
    EXPECT_EQ(GetACP(), 0u);
    EXPECT_FALSE(GetCPInfo(CP_ACP, &info));
}

// --- mutexes ------------------------------------------------------------------------------

TEST_F(Sim, MutexStates) {
    const std::string name = "GUARD";
    sim::OtherProcessHolds(name);
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    sim::OtherProcessReleases(name);
    EXPECT_TRUE(sim::MutexExists(name)); // the program's handle keeps it
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(sim::ProgramOwnsMutex(name));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0); // recursion
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_TRUE(sim::ProgramOwnsMutex(name));
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_FALSE(sim::ProgramOwnsMutex(name));
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(sim::OpenMutexHandles(), 1);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(sim::OpenMutexHandles(), 0);
    EXPECT_FALSE(sim::MutexExists(name));

    sim::OtherProcessHolds(name);
    sim::OtherProcessAbandons(name);
    h = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_ABANDONED);
    EXPECT_TRUE(sim::ProgramOwnsMutex(name));
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0); // no longer abandoned
    EXPECT_TRUE(ReleaseMutex(h));
    CloseHandle(h);

    // Closing does not release: an owned mutex stays visible as owned.
    h = CreateMutexA(nullptr, FALSE, "Other");
    HANDLE h2 = CreateMutexA(nullptr, FALSE, "Other");
    EXPECT_NE(h, h2);
    EXPECT_EQ(WaitForSingleObject(h2, 0), WAIT_OBJECT_0);
    CloseHandle(h2);
    CloseHandle(h);
    EXPECT_TRUE(sim::ProgramOwnsMutex("Other"));

    sim::MutexCannotBeCreated("Denied");
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Denied"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    sim::AddFile("C:\\f", "");
    HANDLE f = Open("C:\\f", GENERIC_READ);
    EXPECT_EQ(WaitForSingleObject(f, 0), WAIT_FAILED);
    CloseHandle(f);
    EXPECT_FALSE(CloseHandle(h)); // already closed
    EXPECT_EQ(TakeFailures().size(), 1u);
}

// --- message boxes ------------------------------------------------------------------------

TEST_F(Sim, MessageBoxesFollowTheScript) {
    bool ran = false;
    sim::Answer(IDRETRY, [&] { ran = true; });
    sim::Answer(IDNO);
    EXPECT_EQ(sim::UnansweredBoxes(), 2);
    EXPECT_EQ(MessageBoxA(nullptr, "text \x83\x5C", "cap", MB_ABORTRETRYIGNORE | MB_ICONWARNING), IDRETRY);
    EXPECT_TRUE(ran);
    EXPECT_EQ(MessageBoxA(nullptr, "q", "cap", MB_YESNO | MB_DEFBUTTON2), IDNO);
    ASSERT_EQ(sim::Boxes().size(), 2u);
    EXPECT_EQ(sim::Boxes()[0].text, "text \x83\x5C");
    EXPECT_EQ(sim::Boxes()[0].caption, "cap");
    EXPECT_EQ(sim::Boxes()[0].style, MB_ABORTRETRYIGNORE | MB_ICONWARNING);
    EXPECT_EQ(sim::Boxes()[1].owner, nullptr);
    EXPECT_EQ(sim::UnansweredBoxes(), 0);
    EXPECT_EQ(sim::TotalCalls(), 0u);

    // Unscripted boxes end the run through their closing button.
    struct Case {
        UINT type;
        int button;
    } unscripted[] = {{MB_OK, IDOK},       {MB_OKCANCEL, IDCANCEL}, {MB_ABORTRETRYIGNORE, IDABORT},
                      {MB_YESNOCANCEL, IDCANCEL}, {MB_YESNO, IDNO}, {MB_RETRYCANCEL, IDCANCEL}};
    for (const Case &c : unscripted) {
        EXPECT_EQ(MessageBoxA(nullptr, "t", "c", c.type), c.button) << c.type;
        EXPECT_EQ(TakeFailures().size(), 1u);
    }
    // An answer the box has no button for.
    sim::Answer(IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDYES);
    EXPECT_EQ(TakeFailures().size(), 1u);

    sim::Answer(IDOK);
    sim::FailCall(sim::OpMessageBox, sim::CallCount(sim::OpMessageBox) + 1);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OK), 0);
    EXPECT_EQ(sim::UnansweredBoxes(), 1);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OK), IDOK);
}

TEST(SimDeath, EndlessUnscriptedBoxesAbort) {
    EXPECT_DEATH(
        {
            sim::SetFailureHandler([](const std::string &) {});
            sim::Reset();
            for (;;)
                MessageBoxA(nullptr, "loop", "c", MB_OK);
        },
        "unscripted");
}

// --- shell -----------------------------------------------------------------------------------

TEST_F(Sim, FolderDialogOutcomes) {
    LPMALLOC malloc = nullptr;
    ASSERT_EQ(SHGetMalloc(&malloc), S_OK);
    EXPECT_EQ(sim::AllocatorReferences(), 1);
    sim::AddFolder("C:\\Games");
    sim::BrowsePicks("C:\\Games", [] { sim::AddFile("C:\\Games\\KORVAL.EXE", ""); });
    sim::BrowsePicks("C:\\");
    sim::BrowseCancels();
    sim::BrowsePicksVirtual("Network");
    sim::BrowsePicks("C:\\" + std::string(MAX_PATH, 'x'));

    char display[MAX_PATH], path[MAX_PATH];
    BROWSEINFOA bi = {};
    bi.pszDisplayName = display;
    bi.lpszTitle = "Pick";
    bi.ulFlags = BIF_RETURNONLYFSDIRS;
    bi.iImage = 3;
    struct Case {
        bool item;
        std::string display;
        BOOL hasPath;
        std::string path;
    } cases[] = {
        {true, "Games", TRUE, "C:\\Games"},
        {true, "C:", TRUE, "C:\\"},
        {false, "", FALSE, ""},
        {true, "Network", FALSE, "unchanged"},
        {true, std::string(MAX_PATH - 1, 'x'), FALSE, "unchanged"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        std::strcpy(display, "unchanged");
        std::strcpy(path, "unchanged");
        PIDLIST_ABSOLUTE pidl = SHBrowseForFolderA(&bi);
        EXPECT_EQ(pidl != nullptr, c.item);
        if (!pidl)
            continue;
        EXPECT_EQ(std::string(display), c.display);
        EXPECT_EQ(SHGetPathFromIDListA(pidl, path), c.hasPath);
        EXPECT_EQ(std::string(path), c.path);
        EXPECT_EQ(sim::OutstandingItemLists(), 1);
        malloc->Free(pidl);
        EXPECT_EQ(sim::OutstandingItemLists(), 0);
    }
    EXPECT_TRUE(sim::Exists("C:\\Games\\KORVAL.EXE"));
    ASSERT_EQ(sim::BrowseCalls().size(), 5u);
    EXPECT_EQ(sim::BrowseCalls()[0].title, "Pick");
    EXPECT_EQ(sim::BrowseCalls()[0].flags, BIF_RETURNONLYFSDIRS);
    EXPECT_FALSE(sim::BrowseCalls()[0].rootGiven);
    EXPECT_FALSE(sim::BrowseCalls()[0].callbackGiven);
    EXPECT_EQ(sim::BrowseCalls()[0].image, 3);

    EXPECT_EQ(SHBrowseForFolderA(&bi), nullptr); // nothing scripted
    int local = 0;
    malloc->Free(&local);
    EXPECT_EQ(TakeFailures().size(), 2u);
    EXPECT_EQ(malloc->Release(), 0u);
    EXPECT_EQ(sim::AllocatorReferences(), 0);

    sim::ShellAllocatorUnavailable();
    EXPECT_EQ(SHGetMalloc(&malloc), E_FAIL);
    EXPECT_EQ(sim::AllocatorReferences(), 0);

    EXPECT_EQ(ShellExecuteA(nullptr, "open", "C:\\Games\\readme.txt", nullptr, "C:\\Games", SW_SHOWNORMAL),
              (HINSTANCE)(uintptr_t)33);
    ASSERT_EQ(sim::ShellOpens().size(), 1u);
    EXPECT_EQ(sim::ShellOpens()[0].file, "C:\\Games\\readme.txt");
    EXPECT_EQ(sim::ShellOpens()[0].directory, "C:\\Games");
    EXPECT_EQ(sim::ShellOpens()[0].parameters, "");
}

TEST_F(Sim, ErrorModeIsRecorded) {
    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), 0u);
    EXPECT_EQ(SetErrorMode(0), SEM_FAILCRITICALERRORS);
    EXPECT_EQ(sim::ErrorMode(), 0u);
    EXPECT_EQ(sim::ErrorModesSet(), (std::vector<UINT>{SEM_FAILCRITICALERRORS, 0}));
    EXPECT_EQ(sim::TotalCalls(), 0u);
}

// --- faults ---------------------------------------------------------------------------------

TEST_F(Sim, FailingCallsChangeNothing) {
    sim::AddFile("C:\\a", "A");
    sim::AddFile("C:\\ro", "R", FILE_ATTRIBUTE_READONLY);
    sim::SetRegistryString("K", "V", "x");
    sim::FailNthCall(2, ERROR_DISK_FULL);
    sim::FailCall(sim::OpMoveFile, 1, false, ERROR_ACCESS_DENIED);
    sim::FailCall(sim::OpRegOpenKey, 1, true, ERROR_NOT_ENOUGH_MEMORY);

    EXPECT_TRUE(CreateDirectoryA("C:\\One", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\Two", nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
    EXPECT_TRUE(CreateDirectoryA("C:\\Three", nullptr));
    EXPECT_FALSE(MoveFileExA("C:\\a", "C:\\b", 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(MoveFileExA("C:\\a", "C:\\b", 0));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &key), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &key), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(sim::OpenRegistryKeys(), 0);
    sim::ClearFaults();
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(sim::AllPaths(), (std::vector<std::string>{"C:\\One", "C:\\Three", "C:\\b", "C:\\ro"}));

    EXPECT_EQ(sim::TotalCalls(), 9u);
    EXPECT_EQ(sim::CallCount(sim::OpCreateDirectory), 3u);
    EXPECT_EQ(sim::NthCallOp(2), sim::OpCreateDirectory);
    EXPECT_EQ(sim::NthCallOp(4), sim::OpMoveFile);
    EXPECT_EQ(sim::CallLog()[1], "CreateDirectoryA C:\\Two");
    EXPECT_STREQ(sim::OpName(sim::OpCreateFile), "CreateFileA");

    // Each kind of failure value.
    sim::FailCall(sim::OpCreateFile, sim::CallCount(sim::OpCreateFile) + 1);
    EXPECT_EQ(Open("C:\\b", GENERIC_READ), INVALID_HANDLE_VALUE);
    sim::FailCall(sim::OpGetFileAttributes, 1);
    EXPECT_EQ(GetFileAttributesA("C:\\b"), INVALID_FILE_ATTRIBUTES);
    sim::FailCall(sim::OpCreateMutex, 1);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "M"), nullptr);
    EXPECT_FALSE(sim::MutexExists("M"));
    sim::FailCall(sim::OpSHGetMalloc, 1);
    LPMALLOC m = nullptr;
    EXPECT_EQ(SHGetMalloc(&m), E_FAIL);
    sim::FailCall(sim::OpShellExecute, 1);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", "x", nullptr, nullptr, SW_SHOWNORMAL), (HINSTANCE)(uintptr_t)2);
    EXPECT_TRUE(sim::ShellOpens().empty());
    sim::FailCall(sim::OpGetModuleFileName, 1);
    sim::SetModulePath("C:\\x.exe");
    char buf[16];
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), 0u);
    sim::FailCall(sim::OpDeleteFile, 1);
    EXPECT_FALSE(DeleteFileA("C:\\b"));
    EXPECT_TRUE(sim::Exists("C:\\b"));
}

TEST_F(Sim, HandleFaultsAndPartialTransfers) {
    sim::AddFile("C:\\src", "0123456789");
    HANDLE h = Open("C:\\src", GENERIC_READ | GENERIC_WRITE);
    char buf[16];
    DWORD n = 99;
    sim::FailCall(sim::OpReadFile, 1, false, ERROR_READ_FAULT);
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_READ_FAULT));
    sim::ShortRead(2, 3);
    ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "012"); // position unchanged by the failed read
    ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "3456");

    sim::WrongSeek(1, -5);
    LARGE_INTEGER d, pos;
    d.QuadPart = 8;
    ASSERT_TRUE(SetFilePointerEx(h, d, &pos, FILE_BEGIN));
    EXPECT_EQ(pos.QuadPart, 3);
    ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "89"); // the position moved as asked

    sim::ShortWrite(1, 1, true);
    d.QuadPart = 0;
    SetFilePointerEx(h, d, nullptr, FILE_BEGIN);
    EXPECT_EQ(Write(h, "ab"), 1u);
    EXPECT_EQ(Write(h, "cd"), 1u);
    sim::FailCall(sim::OpWriteFile, 3, false, ERROR_DISK_FULL);
    EXPECT_FALSE(WriteFile(h, "zz", 2, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(sim::ContentOf("C:\\src"), "ac23456789");

    // A failing close still closes.
    sim::FailCall(sim::OpCloseHandle, 1);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(sim::OpenFileHandles(), 0);
    WIN32_FIND_DATAA fd;
    HANDLE f = FindFirstFileA("C:\\src", &fd);
    sim::FailCall(sim::OpFindClose, 1);
    EXPECT_FALSE(FindClose(f));
    EXPECT_EQ(sim::OpenFileHandles(), 0);
    EXPECT_FALSE(FindClose(f)); // a double close is a program bug
    EXPECT_EQ(TakeFailures().size(), 1u);
}

TEST_F(Sim, HandlesAreNeverReusedAndResetForgetsEverything) {
    sim::AddFile("C:\\f", "");
    std::set<HANDLE> seen;
    for (int i = 0; i < 20; ++i) {
        HANDLE h = Open("C:\\f", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(seen.insert(h).second);
        CloseHandle(h);
    }
    sim::Answer(IDOK);
    sim::SetCodePage(1252);
    sim::FailNthCall(1);
    sim::Reset();
    EXPECT_TRUE(sim::AllPaths().empty());
    EXPECT_EQ(sim::UnansweredBoxes(), 0);
    EXPECT_EQ(sim::TotalCalls(), 0u);
    EXPECT_EQ(GetACP(), 932u);
    EXPECT_FALSE(sim::Exists("C:\\"));
    EXPECT_EQ(GetFileAttributesA("C:\\f"), INVALID_FILE_ATTRIBUTES); // no fault, just no volume
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

} // namespace
