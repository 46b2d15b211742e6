// CreateFolderPath over any path text of up to 600 bytes (paths of 512 bytes
// and more are refused), on a fresh simulated machine per input: volumes C:,
// D: and \\srv\share, folders and files whose names hold two-byte characters
// with a 0x5C trail byte, a file standing where a folder is wanted. Every box
// is answered OK; more than one box in a call, or any misuse of the platform
// (a search handle closed twice, a handle left open), stops the run.
//
// Input: [code page] [path bytes...].
#include "fuzz_support.h"

#include "folderpath.h"
#include "manifest.h"

#include <algorithm>
#include <set>

using namespace fuzz;

namespace {

// Built under code page 932, before the input's code page is switched on:
// under a single-byte code page the two-byte names are just bytes. Names are
// written as code page 932 bytes.
void BuildMachine()
{
    sim::AddVolume("C:");
    sim::AddVolume("D:");
    sim::AddVolume("\\\\srv\\share");
    sim::AddFolders("C:\\Games\\Korvalinth");
    sim::AddFile("C:\\Games\\Korvalinth\\DATA", "in the way");
    sim::AddFile("C:\\Games\\readme.txt", "text");
    sim::AddFolder("C:\\Games\\\x83\\");            // ソ
    sim::AddFile("C:\\Games\\\x83\\\\\x94\\", "x"); // ソ\能
    sim::AddFolder("C:\\\x95\\");                    // 表
    sim::AddFolders("D:\\\x8F\\\\Update");          // 十\Update
    sim::AddFolders("C:\\Work");
    sim::AddFile("C:\\Work\\notes.txt", "");
    sim::AddFolders("\\\\srv\\share\\pub");
    sim::AddFile("\\\\srv\\share\\pub\\file", "");
    sim::SetCurrentFolder("C:\\Work");
}

std::string Fold(const LeadModel &model, const std::string &s)
{
    std::string out(s);
    for (size_t i = 0; i < out.size(); ++i) {
        if (model.IsLead(out[i])) {
            ++i;
            continue;
        }
        if (out[i] >= 'A' && out[i] <= 'Z')
            out[i] = (char)(out[i] - 'A' + 'a');
    }
    return out;
}

// The components of text between separators that are not trail bytes.
std::vector<std::string> SplitAtSeparators(const LeadModel &model, const std::string &text)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t sep : model.Separators(text)) {
        parts.push_back(text.substr(from, sep - from));
        from = sep + 1;
    }
    parts.push_back(text.substr(from));
    return parts;
}

// What the prefixes of path name on this machine, for every prefix of minEnd
// to maxEnd bytes that ends where a component ends (before a separator or at
// the end): the machine's full path of the entry, folded, as the file system
// resolves it: empty and "." components dropped, ".." going up, a path that
// is not absolute taken from C:\Work (or from the root of C: when it starts
// with a separator). "" for a prefix that names no entry below a volume (a
// root, or a malformed share name).
std::set<std::string> ResolvedPrefixes(const LeadModel &model, const std::string &path, size_t minEnd, size_t maxEnd)
{
    std::set<std::string> out;
    std::vector<size_t> ends = model.Separators(path);
    ends.push_back(path.size());
    std::string root;
    std::vector<std::string> comps;
    size_t from, next = 0; // where the first component starts; the index of its end
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
        while (ends[next] < 2)
            ++next;
        if (next + 1 >= ends.size() || ends[next] == 2 || ends[next + 1] == ends[next] + 1) {
            out.insert(std::string()); // no server or no share name
            return out;
        }
        root = path.substr(0, ends[next + 1]);
        from = ends[next + 1] + 1;
        next += 2;
    } else if (path.size() >= 2 && path[1] == ':' &&
               ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        root = path.substr(0, 2);
        from = 2;
        while (ends[next] < 2)
            ++next;
    } else {
        root = "C:";
        if (path.empty() || path[0] != '\\')
            comps.push_back("Work");
        from = 0;
    }
    for (; next < ends.size(); ++next) {
        size_t end = ends[next];
        std::string c = path.substr(from, end - from);
        from = end + 1;
        if (c == "..") {
            if (!comps.empty())
                comps.pop_back();
        } else if (!c.empty() && c != ".") {
            comps.push_back(c);
        }
        if (end < minEnd || end > maxEnd)
            continue;
        std::string full;
        if (!comps.empty()) {
            full = root;
            for (const std::string &k : comps)
                full += "\\" + k;
        }
        out.insert(Fold(model, full));
    }
    return out;
}

bool StartsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}
bool EndsWith(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetMachineAtEnd resetAtEnd;
    Input in{data, size};
    UINT codePage = PickCodePage(in.Byte());
    std::string path = in.Text(600);

    sim::Reset();
    BuildMachine();
    LeadModel model = SwitchCodePage(codePage);
    sim::Answer(IDOK);
    sim::Answer(IDOK);
    std::vector<std::string> before = sim::AllPaths();

    ExactText pathText(path);
    int result = CreateFolderPath(pathText.Get());

    FUZZ_CHECK(result == 0 || result == 1, "result %d", result);
    FUZZ_CHECK(sim::OpenFileHandles() == 0, "%d handles left open by %s", sim::OpenFileHandles(), Hex(path).c_str());

    size_t rootLength = 0;
    bool tooLong = path.size() >= PATH_TEXT_SIZE;
    bool absolute = !tooLong && ModelRoot(model, path, PATH_TEXT_SIZE, &rootLength);

    // At most one box: the cannot-create or the file-in-the-way box, naming
    // the whole path, or for an absolute path the part of it where the work
    // stopped, which ends where a component ends.
    const std::vector<sim::Box> &boxes = sim::Boxes();
    size_t namedLength = path.size() + 1;
    FUZZ_CHECK(boxes.size() <= 1, "%zu boxes for %s", boxes.size(), Hex(path).c_str());
    if (result == 1)
        FUZZ_CHECK(boxes.empty(), "a box on success for %s", Hex(path).c_str());
    if (result == 0 && boxes.empty()) {
        // Only a last component ending in a lone lead byte fails silently.
        FUZZ_CHECK(absolute && !model.WalksToEnd(path), "failed without a box on %s", Hex(path).c_str());
    }
    if (!boxes.empty()) {
        const sim::Box &box = boxes[0];
        FUZZ_CHECK(box.owner == 0 && box.style == (MB_ICONERROR | MB_OK) && box.caption == Manifest().productDisplayName,
                   "box style 0x%X for %s", box.style, Hex(path).c_str());
        static const std::string heads[] = {"\nフォルダ\n\n【", "\n既に\n\n【"};
        static const std::string tails[] = {"】\n\nを作成できませんでした。\n\n",
                                            "】\n\nという名前のファイルが存在します。\n"
                                            "ファイルを移動・削除するか、\nインストール先フォルダを変更してください。\n\n"};
        int which = StartsWith(box.text, heads[0]) ? 0 : 1;
        FUZZ_CHECK(StartsWith(box.text, heads[which]) && EndsWith(box.text, tails[which]) &&
                       box.text.size() >= heads[which].size() + tails[which].size(),
                   "box text %s", Hex(box.text).c_str());
        std::string named =
            box.text.substr(heads[which].size(), box.text.size() - heads[which].size() - tails[which].size());
        namedLength = named.size();
        // The box names what stands in the way: a file, or what could not be
        // made a folder (a path too long for a path buffer is refused
        // whatever it names).
        if (which == 1)
            FUZZ_CHECK(sim::Exists(named) && !sim::IsFolder(named), "file-in-the-way box for %s, naming %s",
                       Hex(path).c_str(), Hex(named).c_str());
        else if (!tooLong)
            FUZZ_CHECK(!sim::IsFolder(named), "cannot-create box for %s names the folder %s", Hex(path).c_str(),
                       Hex(named).c_str());
        if (!absolute) {
            FUZZ_CHECK(named == path, "the box for %s names %s", Hex(path).c_str(), Hex(named).c_str());
        } else {
            size_t n = named.size();
            std::vector<bool> starts = model.Starts(path, nullptr);
            FUZZ_CHECK(StartsWith(path, named) && n > rootLength &&
                           (n == path.size() || (starts[n] && path[n] == '\\')),
                       "the box for %s names %s", Hex(path).c_str(), Hex(named).c_str());
        }
    }

    // Nothing disappears; what appears are folders, each one that the path
    // leads through (for a path that is not absolute: the path itself).
    std::vector<std::string> after = sim::AllPaths();
    FUZZ_CHECK(std::includes(after.begin(), after.end(), before.begin(), before.end()), "an entry vanished for %s",
               Hex(path).c_str());
    std::set<std::string> allowed;
    if (absolute) // nothing at or below the place named in a box
        allowed = ResolvedPrefixes(model, path, rootLength + 1, namedLength - 1);
    else if (!tooLong)
        allowed = ResolvedPrefixes(model, path, path.size(), path.size());
    for (const std::string &entry : after) {
        if (std::binary_search(before.begin(), before.end(), entry))
            continue;
        FUZZ_CHECK(sim::IsFolder(entry), "%s made a file %s", Hex(path).c_str(), Hex(entry).c_str());
        FUZZ_CHECK(allowed.count(Fold(model, entry)) == 1,
                   "%s made the folder %s", Hex(path).c_str(), Hex(entry).c_str());
    }

    // Success means the folder is there, unless the path names no folder
    // below its root at all.
    if (result == 1) {
        bool namesFolder = false;
        for (const std::string &c : SplitAtSeparators(model, path.substr(rootLength)))
            namesFolder = namesFolder || (!c.empty() && c != "." && c != "..");
        if (!absolute || namesFolder)
            FUZZ_CHECK(sim::IsFolder(path), "success for %s, which is no folder", Hex(path).c_str());
    }
    return 0;
}
