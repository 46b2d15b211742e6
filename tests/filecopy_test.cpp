// Installing a file through a temporary copy: the chunks, the temporary
// name, what the target holds whatever fails, the retry prompts, what other
// programs may do meanwhile, sources past 4 GiB, and a sweep of every
// platform call failing in turn, over one install and over a whole run.
#include "filecopy.h"
#include "korvalup.h"
#include "machine.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>

namespace {

const char *const GAME = "C:\\Games\\Korvalinth";
const char *const UPDATE = "D:\\Update\\";
const std::string SOURCE = "D:\\Update\\KRVLUP.TGP";
const std::string TARGET = "C:\\Games\\Korvalinth\\DATA\\KRVLUP.TGP";
const std::string TEMP = "C:\\Games\\Korvalinth\\_TG00000.$$$";
const sim::Times SOURCE_TIMES = {0x01D0111122223333ull, 0x01D0444455556666ull, 0x01D0777788889999ull};
const size_t SIZE = 40000; // three chunks: 16384, 16384, 7232
const uint64_t GiB = 1ull << 30;

std::string Bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + (i >> 9) * 7 + seed * 61) & 0xFF);
    return s;
}
const std::string NEW = Bytes(SIZE, 1);
const std::string OLD = Bytes(50000, 2);

// The arguments of every logged call of one platform operation, in order.
std::vector<std::string> CallsOf(sim::Op op)
{
    std::string head = std::string(sim::OpName(op)) + " ";
    std::vector<std::string> args;
    for (const std::string &line : sim::CallLog())
        if (line.compare(0, head.size(), head) == 0)
            args.push_back(line.substr(head.size()));
    return args;
}

// The amounts asked of ReadFile or WriteFile on one file.
std::vector<unsigned long> Transfers(sim::Op op, const std::string &path)
{
    std::vector<unsigned long> amounts;
    for (const std::string &arg : CallsOf(op))
        if (arg.compare(0, path.size() + 1, path + " ") == 0)
            amounts.push_back(std::stoul(arg.substr(path.size() + 1)));
    return amounts;
}

std::vector<std::string> TemporaryFiles(const std::string &folder)
{
    std::vector<std::string> found;
    if (!sim::Exists(folder))
        return found;
    for (const std::string &name : sim::List(folder))
        if (name.compare(0, 3, "_TG") == 0)
            found.push_back(name);
    return found;
}

// A message cut to its 1024-byte buffer as the program cuts it: never inside
// a two-byte character.
std::string Cut(const std::string &text)
{
    size_t end = 0;
    while (end < text.size()) {
        size_t step = IsLeadByte((BYTE)text[end]) ? 2 : 1;
        if (end + step > MESSAGE_TEXT_SIZE - 1)
            break;
        end += step;
    }
    return text.substr(0, end);
}

ExpectedBox ManualBox(const std::string &target, const std::string &file, const std::string &folder)
{
    return {Cut(texts::ManualCopy(target, file, folder)), texts::caption, MB_ICONWARNING | MB_OK};
}
ExpectedBox Manual()
{
    return ManualBox(TARGET, "DATA\\KRVLUP.TGP", "C:\\Games\\Korvalinth\\DATA");
}
ExpectedBox ErrorBox(const std::string &text)
{
    return {Cut(text), texts::caption, MB_ERROR_OK};
}
ExpectedBox ReadPrompt()
{
    return {texts::ReadError(SOURCE), texts::product, MB_RETRY_PROMPT};
}
ExpectedBox WritePrompt()
{
    return {texts::WriteError(TEMP), texts::product, MB_RETRY_PROMPT};
}

class Install : public MachineTest {
  protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        Arrange();
    }
    // D:\Update\KRVLUP.TGP (SIZE bytes) to be installed into the existing
    // folder C:\Games\Korvalinth\DATA, which holds an older copy.
    void Arrange()
    {
        sim::AddVolume("C:");
        sim::AddVolume("D:");
        sim::AddFolders("D:\\Update");
        sim::AddFolders("C:\\Games\\Korvalinth\\DATA");
        sim::AddFile(SOURCE, NEW);
        sim::SetTimes(SOURCE, SOURCE_TIMES);
        sim::AddFile(TARGET, OLD);
    }
    int InstallPackage(const char *sourceFolder = UPDATE)
    {
        return InstallFileByCopy(GAME, sourceFolder, "DATA", "KRVLUP.TGP");
    }
    // The answer to every box expected, OK or the given answer to a prompt.
    static void AnswerAll(const std::vector<ExpectedBox> &boxes, int prompt)
    {
        for (const ExpectedBox &b : boxes)
            sim::Answer(b.style == MB_RETRY_PROMPT ? prompt : IDOK);
    }
    static void ExpectNewTarget()
    {
        EXPECT_EQ(NEW, sim::ContentOf(TARGET));
        EXPECT_TRUE(sim::IsDurable(TARGET));
        EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, sim::Attributes(TARGET));
    }
    static void ExpectNoTemporaryFile()
    {
        EXPECT_EQ(std::vector<std::string>(), TemporaryFiles(GAME));
    }
};

struct ChunkCase {
    size_t size;
    bool oldTarget;
    std::vector<unsigned long> chunks;
};

TEST_F(Install, CopiesInChunksOfAtMost16KiB)
{
    const ChunkCase cases[] = {
        {0, false, {}},
        {0, true, {}},
        {1, false, {1}},
        {16384, false, {16384}},
        {16385, true, {16384, 1}},
        {SIZE, true, {16384, 16384, 7232}},
    };
    for (const ChunkCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << (c.oldTarget ? " over an older copy" : ""));
        FreshMachine();
        Arrange();
        const std::string data = Bytes(c.size, 3);
        sim::AddFile(SOURCE, data);
        if (!c.oldTarget)
            sim::Remove(TARGET);

        EXPECT_EQ(1, InstallPackage());
        ExpectBoxes({});
        EXPECT_EQ(data, sim::ContentOf(TARGET));
        EXPECT_EQ(c.chunks, Transfers(sim::OpReadFile, SOURCE));
        EXPECT_EQ(c.chunks, Transfers(sim::OpWriteFile, TEMP));
        EXPECT_TRUE(SOURCE_TIMES == sim::TimesOf(TARGET)) << "the source's three time stamps";
        EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, sim::Attributes(TARGET));
        EXPECT_TRUE(sim::IsDurable(TARGET));
        EXPECT_EQ(0u, sim::CallCount(sim::OpDeleteFile)) << "an older copy is replaced by the move alone";
        EXPECT_EQ(data, sim::ContentOf(SOURCE));
        ExpectNoTemporaryFile();
    }
}

TEST_F(Install, ReadOnlyHiddenSourceBecomesAPlainFileWithItsTimes)
{
    sim::SetAttributes(SOURCE, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(1, InstallPackage());
    ExpectBoxes({});
    ExpectNewTarget();
    EXPECT_TRUE(SOURCE_TIMES == sim::TimesOf(TARGET));
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              sim::Attributes(SOURCE));
}

TEST_F(Install, SourceThatIsTheTargetIsReplacedByItself)
{
    // The updater started from the target folder.
    sim::AddFile(TARGET, NEW);
    sim::SetTimes(TARGET, SOURCE_TIMES);
    EXPECT_EQ(1, InstallPackage("C:\\Games\\Korvalinth\\DATA\\"));
    ExpectBoxes({});
    ExpectNewTarget();
    EXPECT_TRUE(SOURCE_TIMES == sim::TimesOf(TARGET));
    ExpectNoTemporaryFile();
}

TEST_F(Install, TargetThatCannotBeReplacedIsLeftAsItWas)
{
    struct Case {
        const char *what;
        bool folder;
    } cases[] = {{"read-only target", false}, {"a folder as target", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        Arrange();
        if (c.folder) {
            sim::Remove(TARGET);
            sim::AddFolder(TARGET);
            sim::AddFile(TARGET + "\\inside", "kept");
        } else {
            sim::SetAttributes(TARGET, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
        }
        const sim::Times before = sim::TimesOf(TARGET);
        sim::Answer(IDOK);

        EXPECT_EQ(0, InstallPackage());
        ExpectBoxes({Manual()});
        if (c.folder) {
            EXPECT_TRUE(sim::IsFolder(TARGET));
            EXPECT_EQ("kept", sim::ContentOf(TARGET + "\\inside"));
        } else {
            EXPECT_EQ(OLD, sim::ContentOf(TARGET));
            EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE), sim::Attributes(TARGET));
        }
        EXPECT_TRUE(before == sim::TimesOf(TARGET));
        ExpectNoTemporaryFile();
    }
}

TEST_F(Install, OnlyATemporaryFileOfItsOwnIsDeleted)
{
    // The search misses someone's file of that name, and the temporary file
    // cannot be created: what stands there is not this install's to delete.
    sim::AddFile(TEMP, "someone's");
    sim::FailCall(sim::OpFindFirstFile, 1);
    sim::FailCall(sim::OpCreateFile, 2);
    sim::Answer(IDOK);
    sim::Answer(IDOK);
    EXPECT_EQ(0, InstallPackage());
    ExpectBoxes({ErrorBox(texts::CannotCreateTemp(TEMP)), Manual()});
    EXPECT_EQ("someone's", sim::ContentOf(TEMP));
    EXPECT_EQ(OLD, sim::ContentOf(TARGET));
}

struct TempNameCase {
    const char *what;
    std::vector<std::string> files, folders; // names in the game folder
    std::string folderArgument;
    int result;
    std::string name;
    unsigned probes; // names looked for
};

TEST_F(Install, TemporaryNameIsTheLowestFreeOne)
{
    const std::string root498 = "C:\\" + std::string(495, 'r'); // + \_TG00000.$$$: 511 bytes
    const std::string root499 = "C:\\" + std::string(496, 'r'); // 512 bytes
    const TempNameCase cases[] = {
        {"none taken", {}, {}, GAME, 1, "C:\\Games\\Korvalinth\\_TG00000.$$$", 1},
        {"two taken", {"_TG00000.$$$", "_TG00001.$$$"}, {}, GAME, 1, "C:\\Games\\Korvalinth\\_TG00002.$$$", 3},
        {"only the second taken", {"_TG00001.$$$"}, {}, GAME, 1, "C:\\Games\\Korvalinth\\_TG00000.$$$", 1},
        {"a folder takes the name", {}, {"_TG00000.$$$"}, GAME, 1, "C:\\Games\\Korvalinth\\_TG00001.$$$", 2},
        {"names compare without case", {"_tg00000.$$$"}, {}, GAME, 1, "C:\\Games\\Korvalinth\\_TG00001.$$$", 2},
        {"folder given with its separator", {}, {}, std::string(GAME) + "\\", 1,
         "C:\\Games\\Korvalinth\\_TG00000.$$$", 1},
        {"drive root", {}, {}, "C:\\", 1, "C:\\_TG00000.$$$", 1},
        {"name of 511 bytes", {}, {}, root498, 1, root498 + "\\_TG00000.$$$", 1},
        {"name of 512 bytes", {}, {}, root499, 0, "", 0},
    };
    for (const TempNameCase &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        Arrange();
        for (const std::string &f : c.files)
            sim::AddFile(std::string(GAME) + "\\" + f, "someone's " + f);
        for (const std::string &f : c.folders)
            sim::AddFolder(std::string(GAME) + "\\" + f);
        char out[PATH_TEXT_SIZE + 16];
        memset(out, 'X', sizeof out);
        EXPECT_EQ(c.result, MakeTempFileName(out, c.folderArgument.c_str()));
        EXPECT_EQ(c.name, std::string(out));
        EXPECT_EQ(c.probes, sim::CallCount(sim::OpFindFirstFile));
        for (size_t i = PATH_TEXT_SIZE; i < sizeof out; ++i)
            ASSERT_EQ('X', out[i]) << "written past the buffer";
        if (c.folderArgument != GAME)
            continue;

        // An install writes there and leaves the names that were taken alone.
        EXPECT_EQ(1, InstallPackage());
        EXPECT_EQ(std::vector<std::string>({SOURCE, c.name}), CallsOf(sim::OpCreateFile));
        for (const std::string &f : c.files)
            EXPECT_EQ("someone's " + f, sim::ContentOf(std::string(GAME) + "\\" + f));
        for (const std::string &f : c.folders)
            EXPECT_TRUE(sim::IsFolder(std::string(GAME) + "\\" + f));
        EXPECT_EQ(c.files.size() + c.folders.size() + 1, sim::List(GAME).size()) << "DATA and the taken names";
    }
}

struct LongPathCase {
    const char *what;
    std::string destRoot, sourceFolder, subFolder, fileName;
    int result;
    unsigned opens; // CreateFileA calls
    std::vector<ExpectedBox> boxes;
};

TEST_F(Install, EveryComposedPathMustFit)
{
    const std::string name = "KRVLUP.TGP";
    // D:\ + folder + \ + KRVLUP.TGP
    const std::string source511 = "D:\\" + std::string(497, 's') + "\\";
    const std::string source512 = "D:\\" + std::string(498, 's') + "\\";
    // C:\ + root + \DATA\KRVLUP.TGP
    const std::string target511 = "C:\\" + std::string(492, 't');
    const std::string target512 = "C:\\" + std::string(493, 't');
    // C:\ + root + \_TG00000.$$$, the target root\K.TGP shorter
    const std::string temp511 = "C:\\" + std::string(495, 'p');
    const std::string temp512 = "C:\\" + std::string(496, 'p');
    const LongPathCase cases[] = {
        {"source of 511 bytes", GAME, source511, "DATA", name, 1, 2, {}},
        {"source of 512 bytes", GAME, source512, "DATA", name, 0, 0,
         {ErrorBox(texts::CannotOpen(source512 + name)), Manual()}},
        {"target of 511 bytes", target511, UPDATE, "DATA", name, 1, 2, {}},
        {"target of 512 bytes", target512, UPDATE, "DATA", name, 0, 0,
         {ManualBox(target512 + "\\DATA\\" + name, "DATA\\" + name, target512 + "\\DATA")}},
        {"temporary name of 511 bytes", temp511, UPDATE, "", "K.TGP", 1, 2, {}},
        {"temporary name of 512 bytes", temp512, UPDATE, "", "K.TGP", 0, 1,
         {ErrorBox(texts::CannotCreateTemp(temp512 + "\\_TG00000.$$$")),
          ManualBox(temp512 + "\\K.TGP", "K.TGP", temp512)}},
    };
    for (const LongPathCase &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        Arrange();
        if (c.sourceFolder != UPDATE)
            sim::AddFolders(c.sourceFolder.substr(0, c.sourceFolder.size() - 1));
        sim::AddFile(c.sourceFolder + c.fileName, NEW);
        const std::string folder = c.subFolder.empty() ? c.destRoot : c.destRoot + "\\" + c.subFolder;
        const std::string target = folder + "\\" + c.fileName;
        sim::AddFolders(folder);
        const bool targetExisted = sim::Exists(target);
        AnswerAll(c.boxes, IDCANCEL);

        EXPECT_EQ(c.result, InstallFileByCopy(c.destRoot.c_str(), c.sourceFolder.c_str(), c.subFolder.c_str(),
                                              c.fileName.c_str()));
        ExpectBoxes(c.boxes);
        EXPECT_EQ(c.opens, sim::CallCount(sim::OpCreateFile)) << "a path that does not fit is never used";
        if (c.result) {
            EXPECT_EQ(NEW, sim::ContentOf(target));
        } else {
            EXPECT_EQ(targetExisted, sim::Exists(target));
            EXPECT_EQ(0u, sim::CallCount(sim::OpWriteFile)) << "nothing is written for a path that does not fit";
        }
        EXPECT_EQ(std::vector<std::string>(), TemporaryFiles(c.destRoot));
    }
}

TEST_F(Install, OthersMayOnlyReadTheSourceWhileTheCopyRuns)
{
    sim::FailCall(sim::OpReadFile, 2);
    struct Seen {
        bool readSource, readSourceSharingWrite, writeSource, readTemp, writeTemp, tempDurable;
        std::string target;
    } seen = {};
    sim::Answer(IDRETRY, [&] {
        seen.readSource = sim::OtherProgramCanOpen(SOURCE, GENERIC_READ, FILE_SHARE_READ);
        seen.readSourceSharingWrite = sim::OtherProgramCanOpen(SOURCE, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
        seen.writeSource = sim::OtherProgramCanOpen(SOURCE, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        seen.readTemp = sim::OtherProgramCanOpen(TEMP, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
        seen.writeTemp = sim::OtherProgramCanOpen(TEMP, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        seen.tempDurable = sim::IsDurable(TEMP);
        seen.target = sim::ContentOf(TARGET);
    });
    EXPECT_EQ(1, InstallPackage());
    ExpectBoxes({ReadPrompt()});
    EXPECT_TRUE(seen.readSource);
    EXPECT_TRUE(seen.readSourceSharingWrite);
    EXPECT_FALSE(seen.writeSource);
    EXPECT_FALSE(seen.readTemp);
    EXPECT_FALSE(seen.writeTemp);
    EXPECT_FALSE(seen.tempDurable) << "one chunk written, not yet flushed";
    EXPECT_EQ(OLD, seen.target) << "the target is untouched while the copy runs";
    ExpectNewTarget();
    EXPECT_TRUE(sim::OtherProgramCanOpen(SOURCE, GENERIC_WRITE, 0)) << "closed afterwards";
}

TEST_F(Install, TemporaryFileIsFlushedBeforeItReplacesTheTarget)
{
    for (int answer : {IDRETRY, IDCANCEL}) {
        SCOPED_TRACE(answer == IDRETRY ? "Retry" : "Cancel");
        FreshMachine();
        Arrange();
        sim::FailCall(sim::OpFlushFileBuffers, 1);
        bool tempComplete = false, tempDurable = true;
        std::string target;
        sim::Answer(answer, [&] {
            tempComplete = sim::SizeOf(TEMP) == SIZE;
            tempDurable = sim::IsDurable(TEMP);
            target = sim::ContentOf(TARGET);
        });
        if (answer == IDCANCEL)
            sim::Answer(IDOK);

        EXPECT_EQ(answer == IDRETRY ? 1 : 0, InstallPackage());
        if (answer == IDRETRY) {
            ExpectBoxes({WritePrompt()});
            ExpectNewTarget();
            EXPECT_EQ(2u, sim::CallCount(sim::OpFlushFileBuffers));
        } else {
            ExpectBoxes({WritePrompt(), Manual()});
            EXPECT_EQ(OLD, sim::ContentOf(TARGET));
        }
        EXPECT_TRUE(tempComplete);
        EXPECT_FALSE(tempDurable);
        EXPECT_EQ(OLD, target);
        ExpectNoTemporaryFile();
    }
}

struct FaultCase {
    const char *what;
    std::function<void()> inject;
    bool writing; // the write prompt for the temporary file, else the read prompt for the source
    std::vector<int> answers;
    int clearAt; // the prompt during which the fault goes away; -1: never
    unsigned readsBetween, writesBetween; // tried between one prompt and the next
};

TEST_F(Install, RetryResumesAtTheChunkAndCancelLeavesNothing)
{
    using namespace sim;
    const int R = IDRETRY, C = IDCANCEL;
    const FaultCase cases[] = {
        {"read error, Retry", [] { FailCall(OpReadFile, 2); }, false, {R}, -1, 0, 0},
        {"read error, Cancel", [] { FailCall(OpReadFile, 2); }, false, {C}, -1, 0, 0},
        {"write error, Retry", [] { FailCall(OpWriteFile, 2); }, true, {R}, -1, 0, 0},
        {"write error, Cancel", [] { FailCall(OpWriteFile, 2); }, true, {C}, -1, 0, 0},
        {"short reads until Cancel", [] { ShortRead(2, 100, true); }, false, {R, R, C}, -1, 1, 0},
        {"short reads until they stop", [] { ShortRead(2, 16383, true); }, false, {R, R, R}, 2, 1, 0},
        {"short writes until Cancel", [] { ShortWrite(2, 100, true); }, true, {R, R, C}, -1, 0, 1},
        {"short writes until they stop", [] { ShortWrite(2, 1, true); }, true, {R, R, R}, 2, 0, 1},
        {"read: the seek keeps failing",
         [] {
             FailCall(OpReadFile, 2);
             FailCall(OpSetFilePointer, 1, true);
         },
         false, {R, R, R, C}, -1, 0, 0},
        {"read: the seek fails, then works",
         [] {
             FailCall(OpReadFile, 2);
             FailCall(OpSetFilePointer, 1, true);
         },
         false, {R, R, R}, 2, 0, 0},
        {"write: the seek lands elsewhere",
         [] {
             FailCall(OpWriteFile, 2);
             WrongSeek(1, 1, true);
         },
         true, {R, R, C}, -1, 0, 0},
        {"write: the seek lands elsewhere, then right",
         [] {
             FailCall(OpWriteFile, 2);
             WrongSeek(1, -16384, true);
         },
         true, {R, R}, 1, 0, 0},
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        Arrange();
        c.inject();
        const bool installed = c.answers.back() == IDRETRY;
        std::vector<ExpectedBox> expected(c.answers.size(), c.writing ? WritePrompt() : ReadPrompt());
        if (!installed)
            expected.push_back(Manual());
        std::vector<unsigned> reads, writes;
        for (size_t i = 0; i < c.answers.size(); ++i) {
            sim::Answer(c.answers[i], [&, i] {
                reads.push_back(CallCount(OpReadFile));
                writes.push_back(CallCount(OpWriteFile));
                if ((int)i == c.clearAt)
                    ClearFaults();
            });
        }
        if (!installed)
            sim::Answer(IDOK);

        EXPECT_EQ(installed ? 1 : 0, InstallPackage());
        ExpectBoxes(expected);
        for (size_t i = 1; i < reads.size(); ++i) {
            EXPECT_EQ(c.readsBetween, reads[i] - reads[i - 1]) << "before prompt " << i + 1;
            EXPECT_EQ(c.writesBetween, writes[i] - writes[i - 1]) << "before prompt " << i + 1;
        }
        // Every Retry puts the file being transferred back at the chunk's start.
        const std::vector<std::string> seeks(std::count(c.answers.begin(), c.answers.end(), IDRETRY),
                                             (c.writing ? TEMP : SOURCE) + " 16384");
        EXPECT_EQ(seeks, CallsOf(OpSetFilePointer));
        if (installed)
            ExpectNewTarget();
        else
            EXPECT_EQ(OLD, sim::ContentOf(TARGET));
        EXPECT_EQ(NEW, sim::ContentOf(SOURCE));
        ExpectNoTemporaryFile();
    }
}

// What the user sees when one platform call of an install fails, named as
// the call log names it, with the retry prompts answered `prompt`.
std::vector<ExpectedBox> BoxesWhenFailing(sim::Op op, const std::string &line, int prompt)
{
    const bool onSource = line.find(SOURCE) != std::string::npos;
    std::vector<ExpectedBox> boxes;
    switch (op) {
    case sim::OpCreateFile:
        boxes.push_back(ErrorBox(onSource ? texts::CannotOpen(SOURCE) : texts::CannotCreateTemp(TEMP)));
        break;
    case sim::OpGetFileSize:
        boxes.push_back(ErrorBox(texts::AccessFailed(SOURCE)));
        break;
    case sim::OpReadFile:
        boxes.push_back(ReadPrompt());
        break;
    case sim::OpWriteFile:
    case sim::OpFlushFileBuffers:
        boxes.push_back(WritePrompt());
        break;
    case sim::OpMoveFile:
        break;
    case sim::OpFindFirstFile: // the temporary name counts as free: it is
    case sim::OpFindClose:
    case sim::OpGetFileAttributes: // the move alone decides
    case sim::OpGetFileTime: // installed with times of its own
    case sim::OpSetFileTime:
    case sim::OpCloseHandle:
        return boxes;
    default:
        ADD_FAILURE() << "no expectation for a failing " << line;
        return boxes;
    }
    if (op == sim::OpMoveFile || boxes.back().style != MB_RETRY_PROMPT || prompt != IDRETRY)
        boxes.push_back(Manual());
    return boxes;
}

bool KeepsTimes(sim::Op op)
{
    return op != sim::OpGetFileTime && op != sim::OpSetFileTime;
}

struct Reference {
    std::vector<sim::Op> ops;
    std::vector<std::string> log;
    void Record()
    {
        log = sim::CallLog();
        ops.clear();
        for (unsigned i = 1; i <= sim::TotalCalls(); ++i)
            ops.push_back(sim::NthCallOp(i));
    }
};

TEST_F(Install, SweepOneFailingCallThroughAnInstall)
{
    for (int prompt : {IDCANCEL, IDRETRY}) {
        SCOPED_TRACE(prompt == IDRETRY ? "prompts answered Retry" : "prompts answered Cancel");
        FreshMachine();
        Arrange();
        const unsigned setupCalls = sim::TotalCalls();
        ASSERT_EQ(1, InstallPackage());
        Reference ref;
        ref.Record();

        unsigned n = setupCalls + 1;
        for (;; ++n) {
            const bool hits = n <= ref.ops.size();
            const sim::Op op = hits ? ref.ops[n - 1] : sim::OpCount;
            const std::string line = hits ? ref.log[n - 1] : "nothing";
            SCOPED_TRACE(testing::Message() << "call " << n << " failing: " << line);
            FreshMachine();
            Arrange();
            const std::vector<ExpectedBox> expected = hits ? BoxesWhenFailing(op, line, prompt) : std::vector<ExpectedBox>();
            AnswerAll(expected, prompt);
            sim::FailNthCall(n);

            const int result = InstallPackage();
            ExpectBoxes(expected);
            if (sim::TotalCalls() < n) {
                EXPECT_EQ(1, result);
                break;
            }
            ASSERT_EQ(op, sim::NthCallOp(n));
            const bool failed = !expected.empty() && expected.back().text == Manual().text;
            EXPECT_EQ(failed ? 0 : 1, result);
            if (failed) {
                EXPECT_EQ(OLD, sim::ContentOf(TARGET));
            } else {
                ExpectNewTarget();
                EXPECT_EQ(KeepsTimes(op), SOURCE_TIMES == sim::TimesOf(TARGET));
            }
            EXPECT_EQ(NEW, sim::ContentOf(SOURCE));
            ExpectNoTemporaryFile();
            EXPECT_EQ(0, sim::OpenFileHandles());
            EXPECT_EQ(0, sim::UnansweredBoxes());
            if (HasFailure())
                break;
        }
        printf("[ sweep    ] one install, prompts %s: %u failure points\n", prompt == IDRETRY ? "Retry" : "Cancel",
               n - 1 - setupCalls);
    }
}

// --- a whole run ---------------------------------------------------------------

// What the simulated Windows objects to while a run is being explored.
std::vector<std::string> misuses;
void NoteMisuse(const std::string &what)
{
    misuses.push_back(what);
}

int AnswerFor(UINT style)
{
    switch (style & MB_TYPEMASK) {
    case MB_YESNO: return IDYES;
    case MB_RETRYCANCEL: return IDCANCEL;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    default: return IDOK;
    }
}

class InstallSweep : public MachineTest {
  protected:
    // The standard machine; with `installed`, the game with an older copy
    // of the package, else an empty C:\Games.
    void Arrange(bool installed)
    {
        StandardMachine(NEW);
        if (installed) {
            sim::AddFolders("C:\\Games\\Korvalinth\\DATA");
            sim::AddFile("C:\\Games\\Korvalinth\\KORVAL.EXE", "MZ");
            sim::AddFile(TARGET, OLD);
        }
    }
    // Runs the updater on a fresh machine with call n failing (0: none),
    // answering Yes to the confirmation, Abort where it is offered, Cancel
    // to a retry prompt and OK to the rest. A box's answer depends on its
    // buttons, which a run shows only when it asks; so the run is repeated,
    // each time answering the boxes the last one showed, until every box
    // shown had its answer scripted and no answer is left over.
    void Run(bool installed, unsigned n)
    {
        std::vector<int> script;
        for (int round = 0;; ++round) {
            ASSERT_LT(round, 30) << "the boxes never settle";
            FreshMachine();
            Arrange(installed);
            setupCalls = sim::TotalCalls();
            misuses.clear();
            sim::SetFailureHandler(NoteMisuse);
            for (int answer : script)
                sim::Answer(answer);
            if (n)
                sim::FailNthCall(n);
            EXPECT_EQ(0, RunUpdater());
            std::vector<int> wanted;
            for (const sim::Box &b : sim::Boxes())
                wanted.push_back(AnswerFor(b.style));
            if (wanted == script) {
                for (const std::string &m : misuses)
                    ADD_FAILURE() << "simulated Windows: " << m;
                misuses.clear();
                return;
            }
            script = wanted;
        }
    }
    unsigned setupCalls = 0; // made by the test's own start, before the run
};

TEST_F(InstallSweep, OneFailingCallAnywhereInAWholeRun)
{
    const std::string data = "C:\\Games\\Korvalinth\\DATA";
    const ExpectedBox confirm = {texts::Confirm(GAME), texts::caption, MB_CONFIRM};
    const ExpectedBox done = {texts::Done(), texts::caption, MB_REPORT};
    const ExpectedBox partialReport = {texts::versionHint, texts::caption, MB_REPORT};
    std::vector<ExpectedBox> stopsBefore = {{texts::MissingPackage("KRVLUP.TGP"), texts::caption, MB_ERROR_OK},
                                            {texts::InstallInformation(), texts::caption, MB_RUNNING_GAME}};
    std::vector<ExpectedBox> folderBoxes;
    for (const std::string &p : {std::string("C:\\Games"), std::string(GAME), data}) {
        folderBoxes.push_back({texts::CannotCreate(p), texts::product, MB_ERROR_OK});
        folderBoxes.push_back({texts::FileInTheWay(p), texts::product, MB_ERROR_OK});
    }
    auto anyOf = [](const std::vector<ExpectedBox> &choices, const sim::Box &b) {
        for (const ExpectedBox &e : choices)
            if (e == b)
                return true;
        return false;
    };

    unsigned total = 0;
    for (bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "over an older version" : "first install");
        // The run untouched: where the confirmation comes, and which calls
        // belong to the copy of the package.
        Run(installed, 0);
        ExpectBoxes({confirm, done});
        Reference ref;
        ref.Record();
        unsigned copyFirst = 0, copyLast = 0;
        for (unsigned i = 1; i <= ref.log.size(); ++i) {
            if (!copyFirst && ref.log[i - 1].find("_TG00000") != std::string::npos)
                copyFirst = i;
            if (ref.ops[i - 1] == sim::OpMoveFile)
                copyLast = i;
        }
        ASSERT_TRUE(copyFirst && copyLast);

        const unsigned first = setupCalls + 1;
        unsigned n = first;
        for (;; ++n) {
            const std::string line = n <= ref.log.size() ? ref.log[n - 1] : "nothing";
            SCOPED_TRACE(testing::Message() << "call " << n << " failing: " << line);
            Run(installed, n);
            if (HasFailure())
                break;
            const std::vector<sim::Box> &boxes = sim::Boxes();
            if (sim::TotalCalls() < n) {
                ExpectBoxes({confirm, done});
                break;
            }
            const sim::Op op = sim::NthCallOp(n);
            ASSERT_EQ(ref.ops[n - 1], op);

            const bool hasNew = sim::Exists(TARGET) && sim::ContentOf(TARGET) == NEW;
            if (hasNew) {
                ExpectBoxes({confirm, done});
                EXPECT_TRUE(sim::IsDurable(TARGET));
            } else if (installed) {
                EXPECT_EQ(OLD, sim::ContentOf(TARGET));
            } else {
                EXPECT_FALSE(sim::Exists(TARGET));
            }
            if (n >= copyFirst && n <= copyLast) {
                std::vector<ExpectedBox> expected = {confirm};
                for (const ExpectedBox &b : BoxesWhenFailing(op, line, IDCANCEL))
                    expected.push_back(b);
                expected.push_back(expected.back().text == Manual().text ? partialReport : done);
                ExpectBoxes(expected);
            } else if (!hasNew) {
                // Stopped before the confirmation, or at a folder, or with
                // the manual-copy box and the report.
                bool confirmed = !boxes.empty() && confirm == boxes[0];
                if (!confirmed) {
                    EXPECT_TRUE(boxes.empty() || (boxes.size() == 1 && anyOf(stopsBefore, boxes[0])))
                        << "a run that stops before the installation says why, or nothing";
                } else {
                    const size_t k = boxes.size();
                    EXPECT_TRUE((k == 2 && anyOf(folderBoxes, boxes[1])) ||
                                (k == 3 && Manual() == boxes[1] && partialReport == boxes[2]))
                        << "boxes shown: " << k;
                }
            }
            if (!(op == sim::OpDeleteFile && line.find("_TG") != std::string::npos)) {
                EXPECT_EQ(std::vector<std::string>(), TemporaryFiles(GAME));
            }
            EXPECT_EQ(0, sim::OpenFileHandles());
            EXPECT_EQ(0, sim::OpenMutexHandles());
            EXPECT_EQ(0, sim::OpenRegistryKeys());
            EXPECT_TRUE(!sim::ProgramOwnsMutex("__TIN_GECKO_SEMAPHORE_Q_MOOR_KORVALINTH__") ||
                        op == sim::OpReleaseMutex);
            EXPECT_EQ(std::vector<std::string>(), misuses);
            if (HasFailure())
                break;
        }
        printf("[ sweep    ] whole run, %s: %u failure points\n", installed ? "over an older version" : "first install",
               n - first);
        total += n - first;
    }
    printf("[ sweep    ] whole run: %u failure points in all\n", total);
    FreshMachine();
}

// --- sources past 2 and 4 GiB ----------------------------------------------------

TEST_F(Install, SourceOf4GiBAndMoreIsInstalledWhole)
{
    const uint64_t size = 4 * GiB + 12345;
    sim::AddPatternFile(SOURCE, size);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, InstallPackage());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ExpectBoxes({});
    EXPECT_EQ(size, sim::SizeOf(TARGET));
    EXPECT_TRUE(sim::HoldsPattern(TARGET));
    EXPECT_TRUE(sim::IsDurable(TARGET));
    EXPECT_EQ((unsigned)((size + 16383) / 16384), sim::CallCount(sim::OpReadFile));
    printf("[ timing   ] %.2f s for %llu bytes\n", seconds, (unsigned long long)size);
}

TEST_F(Install, RetryPast2GiBResumesAtTheChunk)
{
    const uint64_t size = 2 * GiB + 50000;
    const unsigned nth = (unsigned)(2 * GiB / 16384) + 2; // the chunk at 2 GiB + 16 KiB
    const uint64_t offset = 2 * GiB + 16384;
    for (sim::Op op : {sim::OpReadFile, sim::OpWriteFile}) {
        SCOPED_TRACE(sim::OpName(op));
        FreshMachine();
        Arrange();
        sim::AddPatternFile(SOURCE, size);
        sim::FailCall(op, nth);
        sim::Answer(IDRETRY);
        EXPECT_EQ(1, InstallPackage());
        ExpectBoxes({op == sim::OpReadFile ? ReadPrompt() : WritePrompt()});
        EXPECT_EQ(std::vector<std::string>({(op == sim::OpReadFile ? SOURCE : TEMP) + " " + std::to_string(offset)}),
                  CallsOf(sim::OpSetFilePointer));
        EXPECT_EQ(size, sim::SizeOf(TARGET));
        EXPECT_TRUE(sim::HoldsPattern(TARGET));
    }
}

} // namespace
