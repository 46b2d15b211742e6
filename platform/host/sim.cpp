// The simulated Windows behind the host build: one process-wide machine with
// volumes, files, the current user's registry, named mutexes, message boxes,
// the folder dialog and fault injection. See sim.h for the test-facing side.
#include "sim.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_KEY_DELETED 1018L

namespace sim {
namespace {

const uint64_t kExplicitLimit = 256ull << 20; // largest file kept byte by byte
const uint64_t kContentLimit = 64ull << 20;   // largest pattern file ContentOf expands
const unsigned kUnscriptedBoxLimit = 1000;

void DefaultFailure(const std::string &what) {
    std::fprintf(stderr, "simulated Windows: %s\n", what.c_str());
    std::abort();
}
FailureHandler failureHandler = DefaultFailure;

void Fail(const std::string &what) { failureHandler(what); }

// Handles are never reused, not even across Reset().
uintptr_t nextHandle = 0x1000;
uintptr_t NewHandleValue() {
    uintptr_t h = nextHandle;
    nextHandle += 4;
    return h;
}

// --- pattern files -----------------------------------------------------------

// Byte i is rows[RowOf(i)][i & 255]: within an aligned run of 256 bytes the
// row is fixed, so generating and comparing are memcpy/memcmp of rows.
struct PatternRows {
    uint8_t rows[256][256];
    PatternRows() {
        for (unsigned h = 0; h < 256; ++h)
            for (unsigned k = 0; k < 256; ++k)
                rows[h][k] = uint8_t(((k ^ (h * 0x3Bu)) * 0x9Du) + h + 0x5Bu);
    }
};
const PatternRows patternRows;

inline unsigned RowOf(uint64_t i) { return uint8_t((i >> 8) ^ (i >> 17) ^ (i >> 27) ^ (i >> 35)); }

void FillPattern(uint64_t offset, uint8_t *out, uint64_t n) {
    while (n > 0) {
        unsigned lo = unsigned(offset & 255);
        uint64_t run = std::min<uint64_t>(256 - lo, n);
        std::memcpy(out, patternRows.rows[RowOf(offset)] + lo, size_t(run));
        out += run;
        offset += run;
        n -= run;
    }
}

bool MatchesPattern(uint64_t offset, const uint8_t *data, uint64_t n) {
    while (n > 0) {
        unsigned lo = unsigned(offset & 255);
        uint64_t run = std::min<uint64_t>(256 - lo, n);
        if (std::memcmp(data, patternRows.rows[RowOf(offset)] + lo, size_t(run)) != 0)
            return false;
        data += run;
        offset += run;
        n -= run;
    }
    return true;
}

// --- the machine ---------------------------------------------------------------

struct Node {
    std::string name; // as stored
    bool folder = false;
    DWORD attrs = 0;
    Times times;
    bool pattern = false; // content is the pattern, `size` bytes long
    uint64_t size = 0;    // for explicit files: data.size()
    std::string data;
    bool durable = true;
    Node *parent = nullptr;
    std::vector<std::unique_ptr<Node>> kids;
};

struct Volume {
    std::string root; // "C:" or "\\server\share", as given
    bool unc = false;
    std::unique_ptr<Node> node;
};

enum Kind { KindFile, KindFind, KindMutex, KindKey };

struct HandleObj {
    explicit HandleObj(Kind k = KindFile) : kind(k) {}
    Kind kind;
    Node *node = nullptr; // files
    DWORD access = 0, share = 0;
    uint64_t pos = 0;
    std::string name; // mutex name or registry key path
};

struct Mutex {
    enum State { Free, OtherOwns, Abandoned, ProgramOwns } state = Free;
    unsigned recursion = 0;
    bool otherHandle = false; // the other process keeps a handle open
    bool keptAlive = false;   // abandoned: some handle elsewhere keeps it
    int programHandles = 0;
};

struct RegValue {
    std::string name;
    DWORD type;
    std::string data;
};
struct RegKey {
    std::string path; // normalised, as given
    bool readOnly = false;
    std::vector<RegValue> values;
};

struct ScriptedAnswer {
    int button;
    std::function<void()> meanwhile;
};
struct BrowseOutcome {
    enum What { Pick, Cancel, Virtual } what;
    std::string text; // path, or display name for a virtual item
    std::function<void()> meanwhile;
};
struct ItemList {
    bool isVirtual;
    std::string path;
};

struct FaultRule {
    Op op; // OpCount: the nth call of any kind
    unsigned nth;
    bool persistent;
    DWORD error;
};
struct AmountRule {
    unsigned nth;
    int64_t value;
    bool persistent;
};

struct Machine {
    UINT codePage = 932;
    std::vector<Volume> volumes;
    std::string currentFolder = "C:\\";
    std::string modulePath;
    uint64_t clock = 0x01D5000000000000ull;

    std::map<uintptr_t, HandleObj> handles;
    std::map<std::string, Mutex> mutexes;
    std::vector<std::string> uncreatableMutexes;
    std::vector<RegKey> keys;

    std::vector<ScriptedAnswer> answers;
    size_t nextAnswer = 0;
    std::vector<Box> boxes;
    unsigned unscriptedBoxes = 0;

    std::vector<BrowseOutcome> browseOutcomes;
    size_t nextBrowse = 0;
    std::vector<BrowseCall> browseCalls;
    std::map<uintptr_t, ItemList> itemLists;
    bool allocatorUnavailable = false;
    int allocatorRefs = 0;

    std::vector<ShellOpen> shellOpens;
    UINT errorMode = 0;
    std::vector<UINT> errorModesSet;

    DWORD lastError = 0;

    std::vector<FaultRule> faults;
    std::vector<AmountRule> shortReads, shortWrites, wrongSeeks;
    unsigned counts[OpCount] = {};
    unsigned total = 0;
    std::vector<std::string> log;
    std::vector<Op> ops;
};

Machine *machine = new Machine;
Machine &M() { return *machine; }

uint64_t Stamp() { return M().clock++; }

// --- path text -------------------------------------------------------------------

bool IsLead(unsigned char c) {
    return M().codePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

std::string Fold(const std::string &s) {
    std::string out(s);
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = (unsigned char)out[i];
        if (IsLead(c) && i + 1 < out.size()) {
            ++i;
            continue;
        }
        if (c >= 'A' && c <= 'Z')
            out[i] = char(c - 'A' + 'a');
    }
    return out;
}

bool SameName(const std::string &a, const std::string &b) { return a.size() == b.size() && Fold(a) == Fold(b); }

// Splits at separators that are not trail bytes. Reports whether the text
// ends in a separator.
std::vector<std::string> SplitComponents(const std::string &s, bool *trailing) {
    std::vector<std::string> parts;
    std::string cur;
    bool lastWasSep = false;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = (unsigned char)s[i];
        if (IsLead(c) && i + 1 < s.size()) {
            cur += s[i];
            cur += s[i + 1];
            ++i;
            lastWasSep = false;
        } else if (c == '\\') {
            parts.push_back(cur);
            cur.clear();
            lastWasSep = true;
        } else {
            cur += char(c);
            lastWasSep = false;
        }
    }
    parts.push_back(cur);
    if (trailing)
        *trailing = lastWasSep;
    return parts;
}

struct Parsed {
    DWORD error = 0; // the path cannot be resolved at all
    Volume *volume = nullptr;
    std::vector<std::string> comps; // empty: the root itself
    bool trailing = false;
};

Volume *FindVolume(const std::string &root) {
    for (auto &v : M().volumes)
        if (SameName(v.root, root))
            return &v;
    return nullptr;
}

Parsed ParsePath(const std::string &input, int depth = 0) {
    Parsed p;
    std::string s = input;
    std::string rest;
    std::string root;
    bool unc = false;
    if (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') {
        unc = true;
        bool tr = false;
        std::vector<std::string> parts = SplitComponents(s.substr(2), &tr);
        if (parts.size() < 2 || parts[0].empty() || parts[1].empty()) {
            p.error = ERROR_BAD_NETPATH;
            return p;
        }
        root = "\\\\" + parts[0] + "\\" + parts[1];
        for (size_t i = 2; i < parts.size(); ++i)
            rest += "\\" + parts[i];
    } else if (s.size() >= 2 && s[1] == ':' && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'))) {
        root = s.substr(0, 2);
        rest = "\\" + s.substr(2); // "C:" and "C:name" start at the drive's root
    } else {
        if (depth > 0) {
            p.error = ERROR_PATH_NOT_FOUND;
            return p;
        }
        Parsed cur = ParsePath(M().currentFolder, depth + 1);
        if (cur.error || !cur.volume) {
            p.error = cur.error ? cur.error : ERROR_PATH_NOT_FOUND;
            return p;
        }
        p.volume = cur.volume;
        bool tr = false;
        std::vector<std::string> parts = SplitComponents(s, &tr);
        if (!s.empty() && s[0] == '\\') // rooted on the current volume
            cur.comps.clear();
        for (auto &c : parts) {
            if (c.empty() || c == ".")
                continue;
            if (c == "..") {
                if (!cur.comps.empty())
                    cur.comps.pop_back();
                continue;
            }
            cur.comps.push_back(c);
        }
        p.comps = cur.comps;
        p.trailing = tr && !s.empty();
        return p;
    }
    p.volume = FindVolume(root);
    if (!p.volume) {
        p.error = unc ? ERROR_BAD_NETPATH : ERROR_PATH_NOT_FOUND;
        return p;
    }
    bool tr = false;
    std::vector<std::string> parts = SplitComponents(rest, &tr);
    for (auto &c : parts) {
        if (c.empty() || c == ".")
            continue;
        if (c == "..") {
            if (!p.comps.empty())
                p.comps.pop_back();
            continue;
        }
        p.comps.push_back(c);
    }
    p.trailing = tr;
    return p;
}

Node *Child(Node *folder, const std::string &name) {
    for (auto &k : folder->kids)
        if (SameName(k->name, name))
            return k.get();
    return nullptr;
}

// The parent folder of the path's last component, or null with the error.
Node *ParentOf(const Parsed &p, DWORD *error) {
    Node *n = p.volume->node.get();
    for (size_t i = 0; i + 1 < p.comps.size(); ++i) {
        n = Child(n, p.comps[i]);
        if (!n || !n->folder) {
            *error = ERROR_PATH_NOT_FOUND;
            return nullptr;
        }
    }
    return n;
}

struct Resolved {
    DWORD error = 0;    // the parent (or the volume) cannot be found
    Parsed parsed;
    Node *parent = nullptr; // null for a root
    Node *node = nullptr;   // null when missing
    bool isRoot = false;
};

Resolved Resolve(const char *path) {
    Resolved r;
    if (!path) {
        r.error = ERROR_INVALID_PARAMETER;
        return r;
    }
    if (!*path) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    r.parsed = ParsePath(path);
    if (r.parsed.error) {
        r.error = r.parsed.error;
        return r;
    }
    if (r.parsed.comps.empty()) {
        r.isRoot = true;
        r.node = r.parsed.volume->node.get();
        return r;
    }
    r.parent = ParentOf(r.parsed, &r.error);
    if (r.parent)
        r.node = Child(r.parent, r.parsed.comps.back());
    return r;
}

std::string FullPath(const Node *n) {
    std::vector<const Node *> chain;
    for (const Node *c = n; c; c = c->parent)
        chain.push_back(c);
    std::string s = chain.back()->name;
    if (chain.size() == 1)
        return s + "\\";
    for (size_t i = chain.size() - 1; i-- > 0;)
        s += "\\" + chain[i]->name;
    return s;
}

DWORD ReportedAttributes(const Node *n) {
    if (n->folder)
        return n->attrs | FILE_ATTRIBUTE_DIRECTORY;
    return n->attrs ? n->attrs : FILE_ATTRIBUTE_NORMAL;
}

bool IsOpen(const Node *n) {
    for (auto &h : M().handles)
        if (h.second.kind == KindFile && h.second.node == n)
            return true;
    return false;
}

bool AnyOpenBelow(const Node *n) {
    if (IsOpen(n))
        return true;
    for (auto &k : n->kids)
        if (AnyOpenBelow(k.get()))
            return true;
    return false;
}

// Opens without read or write access (attributes only) take no part in
// sharing, neither as the new open nor as an existing one.
bool SharingAllows(const Node *n, DWORD access, DWORD share) {
    if (!(access & (GENERIC_READ | GENERIC_WRITE)))
        return true;
    for (auto &e : M().handles) {
        const HandleObj &h = e.second;
        if (h.kind != KindFile || h.node != n || !(h.access & (GENERIC_READ | GENERIC_WRITE)))
            continue;
        if ((access & GENERIC_READ) && !(h.share & FILE_SHARE_READ))
            return false;
        if ((access & GENERIC_WRITE) && !(h.share & FILE_SHARE_WRITE))
            return false;
        if ((h.access & GENERIC_READ) && !(share & FILE_SHARE_READ))
            return false;
        if ((h.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))
            return false;
    }
    return true;
}

std::unique_ptr<Node> Detach(Node *n) {
    Node *parent = n->parent;
    for (auto it = parent->kids.begin(); it != parent->kids.end(); ++it) {
        if (it->get() == n) {
            std::unique_ptr<Node> owned = std::move(*it);
            parent->kids.erase(it);
            owned->parent = nullptr;
            return owned;
        }
    }
    return nullptr;
}

Node *Attach(Node *parent, std::unique_ptr<Node> n) {
    n->parent = parent;
    parent->kids.push_back(std::move(n));
    return parent->kids.back().get();
}

void MakeExplicit(Node *n) {
    if (!n->pattern)
        return;
    n->data.assign(size_t(n->size), '\0');
    FillPattern(0, (uint8_t *)&n->data[0], n->size);
    n->pattern = false;
}

// --- calls, counting and faults ------------------------------------------------

const char *const opNames[OpCount] = {
    "MessageBoxA", "CreateMutexA", "WaitForSingleObject", "ReleaseMutex", "CloseHandle",
    "RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey", "GetModuleFileNameA",
    "GetFileAttributesA", "FindFirstFileA", "FindClose", "CreateDirectoryA", "CreateFileA",
    "GetFileSizeEx", "GetFileTime", "SetFileTime", "ReadFile", "WriteFile", "SetFilePointerEx",
    "FlushFileBuffers", "DeleteFileA", "MoveFileExA", "SetErrorMode",
    "SHGetMalloc", "SHBrowseForFolderA", "SHGetPathFromIDListA", "ShellExecuteA",
    "GetACP", "GetCPInfo",
};

bool RuleHits(unsigned count, unsigned nth, bool persistent) {
    return count == nth || (persistent && count >= nth);
}

// Counts and logs a platform call; true (with the error) when it is to fail.
bool Enter(Op op, const std::string &arg, DWORD *error) {
    Machine &m = M();
    unsigned count = ++m.counts[op];
    ++m.total;
    m.log.push_back(arg.empty() ? std::string(opNames[op]) : std::string(opNames[op]) + " " + arg);
    m.ops.push_back(op);
    for (auto &f : m.faults) {
        if ((f.op == op && RuleHits(count, f.nth, f.persistent)) ||
            (f.op == OpCount && RuleHits(m.total, f.nth, f.persistent))) {
            *error = f.error;
            return true;
        }
    }
    return false;
}

// An amount rule for the current (already counted) call of the op.
bool AmountFor(const std::vector<AmountRule> &rules, unsigned count, int64_t *value) {
    for (auto &r : rules) {
        if (RuleHits(count, r.nth, r.persistent)) {
            *value = r.value;
            return true;
        }
    }
    return false;
}

std::string Str(const char *s) { return s ? std::string(s) : std::string(); }

std::string HandleText(HANDLE h) {
    auto it = M().handles.find((uintptr_t)h);
    if (it != M().handles.end()) {
        if (it->second.kind == KindFile)
            return FullPath(it->second.node);
        if (!it->second.name.empty())
            return it->second.name;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "#%lx", (unsigned long)(uintptr_t)h);
    return buf;
}

HandleObj *FileHandle(HANDLE h, const char *call) {
    auto it = M().handles.find((uintptr_t)h);
    if (it == M().handles.end() || it->second.kind != KindFile) {
        Fail(std::string(call) + " on a handle that is not an open file");
        M().lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return &it->second;
}

void DropMutexIfUnused(const std::string &name) {
    auto it = M().mutexes.find(name);
    if (it == M().mutexes.end())
        return;
    const Mutex &mx = it->second;
    // A mutex the program still owns is kept so that a test can see it was
    // never released.
    if (mx.programHandles == 0 && !mx.otherHandle && !mx.keptAlive && mx.state != Mutex::ProgramOwns)
        M().mutexes.erase(it);
}

// --- shell allocator -----------------------------------------------------------

struct ShellAllocator : IMalloc {
    void STDMETHODCALLTYPE Free(void *pv) override {
        if (!pv)
            return;
        auto it = M().itemLists.find((uintptr_t)pv);
        if (it == M().itemLists.end()) {
            Fail("IMalloc::Free of memory that is not an item list handed out by the folder dialog");
            return;
        }
        M().itemLists.erase(it);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        if (M().allocatorRefs <= 0) {
            Fail("IMalloc::Release without a reference");
            return 0;
        }
        return ULONG(--M().allocatorRefs);
    }
};
ShellAllocator shellAllocator;

// --- test-side helpers ------------------------------------------------------------

Node *Existing(const std::string &path, const char *who) {
    Resolved r = Resolve(path.c_str());
    if (!r.node) {
        Fail(std::string(who) + ": no such file or folder: " + path);
        return nullptr;
    }
    return r.node;
}

Node *NewEntry(const std::string &path, bool folder, const char *who) {
    Resolved r = Resolve(path.c_str());
    if (r.isRoot) {
        Fail(std::string(who) + ": a volume root: " + path);
        return nullptr;
    }
    if (!r.parent) {
        Fail(std::string(who) + ": the parent folder does not exist: " + path);
        return nullptr;
    }
    if (r.node) {
        if (r.node->folder != folder) {
            Fail(std::string(who) + ": exists as a " + (r.node->folder ? "folder: " : "file: ") + path);
            return nullptr;
        }
        return r.node;
    }
    std::unique_ptr<Node> n(new Node);
    n->name = r.parsed.comps.back();
    n->folder = folder;
    uint64_t t = Stamp();
    n->times.creation = n->times.lastAccess = n->times.lastWrite = t;
    return Attach(r.parent, std::move(n));
}

void CollectPaths(const Node *n, std::vector<std::string> *out) {
    for (auto &k : n->kids) {
        out->push_back(FullPath(k.get()));
        if (k->folder)
            CollectPaths(k.get(), out);
    }
}

std::string NormaliseKey(const std::string &key) {
    bool tr = false;
    std::string out;
    for (auto &c : SplitComponents(key, &tr)) {
        if (c.empty())
            continue;
        if (!out.empty())
            out += "\\";
        out += c;
    }
    return out;
}

RegKey *FindKey(const std::string &normalised) {
    for (auto &k : M().keys)
        if (SameName(k.path, normalised))
            return &k;
    return nullptr;
}

bool KeyExists(const std::string &normalised) {
    if (normalised.empty() || FindKey(normalised))
        return true;
    std::string prefix = Fold(normalised) + "\\";
    for (auto &k : M().keys) {
        std::string f = Fold(k.path);
        if (f.compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

RegKey &KeyForWriting(const std::string &key) {
    std::string n = NormaliseKey(key);
    if (RegKey *k = FindKey(n))
        return *k;
    M().keys.push_back(RegKey());
    M().keys.back().path = n;
    return M().keys.back();
}

int EndingButton(UINT type) {
    switch (type) {
    case MB_OK: return IDOK;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNO: return IDNO;
    default: return IDCANCEL;
    }
}

bool BoxHasButton(UINT type, int button) {
    switch (type) {
    case MB_OK: return button == IDOK;
    case MB_OKCANCEL: return button == IDOK || button == IDCANCEL;
    case MB_ABORTRETRYIGNORE: return button == IDABORT || button == IDRETRY || button == IDIGNORE;
    case MB_YESNOCANCEL: return button == IDYES || button == IDNO || button == IDCANCEL;
    case MB_YESNO: return button == IDYES || button == IDNO;
    case MB_RETRYCANCEL: return button == IDRETRY || button == IDCANCEL;
    default: return false;
    }
}

std::string DisplayNameOf(const std::string &path) {
    bool tr = false;
    std::vector<std::string> parts = SplitComponents(path, &tr);
    for (size_t i = parts.size(); i-- > 0;) {
        if (!parts[i].empty())
            return parts[i];
    }
    return path;
}

} // namespace

// === test-facing API =============================================================

void SetFailureHandler(FailureHandler handler) { failureHandler = handler ? handler : DefaultFailure; }

void Reset() {
    delete machine;
    machine = new Machine;
}

void SetCodePage(UINT codePage) {
    if (codePage != 932 && codePage != 1252 && codePage != 0)
        Fail("SetCodePage: only 932, 1252 and 0 are simulated");
    M().codePage = codePage;
}

void AddVolume(const std::string &root) {
    Volume v;
    v.root = root;
    while (!v.root.empty() && v.root.back() == '\\' && v.root.size() > 2)
        v.root.pop_back();
    bool ok = false;
    if (v.root.size() == 2 && v.root[1] == ':' && std::isalpha((unsigned char)v.root[0]))
        ok = true;
    if (v.root.size() > 2 && v.root[0] == '\\' && v.root[1] == '\\') {
        std::vector<std::string> parts = SplitComponents(v.root.substr(2), nullptr);
        ok = parts.size() == 2 && !parts[0].empty() && !parts[1].empty();
        v.unc = true;
    }
    if (!ok) {
        Fail("AddVolume: not a volume root: " + root);
        return;
    }
    if (FindVolume(v.root))
        return;
    v.node.reset(new Node);
    v.node->name = v.root;
    v.node->folder = true;
    v.node->attrs = FILE_ATTRIBUTE_DIRECTORY;
    M().volumes.push_back(std::move(v));
}

void SetCurrentFolder(const std::string &path) { M().currentFolder = path; }

void SetModulePath(const std::string &path) { M().modulePath = path; }

void AddFolder(const std::string &path, DWORD attributes) {
    if (Node *n = NewEntry(path, true, "AddFolder"))
        n->attrs = attributes | FILE_ATTRIBUTE_DIRECTORY;
}

void AddFolders(const std::string &path) {
    Parsed p = ParsePath(path);
    if (p.error) {
        Fail("AddFolders: no such volume: " + path);
        return;
    }
    Node *n = p.volume->node.get();
    for (auto &c : p.comps) {
        Node *k = Child(n, c);
        if (!k) {
            std::unique_ptr<Node> f(new Node);
            f->name = c;
            f->folder = true;
            f->attrs = FILE_ATTRIBUTE_DIRECTORY;
            uint64_t t = Stamp();
            f->times.creation = f->times.lastAccess = f->times.lastWrite = t;
            k = Attach(n, std::move(f));
        } else if (!k->folder) {
            Fail("AddFolders: a file is in the way: " + FullPath(k));
            return;
        }
        n = k;
    }
}

void AddFile(const std::string &path, const std::string &content, DWORD attributes) {
    if (Node *n = NewEntry(path, false, "AddFile")) {
        n->attrs = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
        n->pattern = false;
        n->data = content;
        n->size = content.size();
        n->durable = true;
    }
}

void AddPatternFile(const std::string &path, uint64_t size, DWORD attributes) {
    if (Node *n = NewEntry(path, false, "AddPatternFile")) {
        n->attrs = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
        n->pattern = true;
        n->data.clear();
        n->data.shrink_to_fit();
        n->size = size;
        n->durable = true;
    }
}

uint8_t PatternByte(uint64_t offset) { return patternRows.rows[RowOf(offset)][offset & 255]; }

void SetTimes(const std::string &path, const Times &times) {
    if (Node *n = Existing(path, "SetTimes"))
        n->times = times;
}

void SetAttributes(const std::string &path, DWORD attributes) {
    if (Node *n = Existing(path, "SetAttributes")) {
        if (n->folder)
            n->attrs = attributes | FILE_ATTRIBUTE_DIRECTORY;
        else
            n->attrs = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
    }
}

void Remove(const std::string &path) {
    Resolved r = Resolve(path.c_str());
    if (!r.node || r.isRoot) {
        Fail("Remove: no such file or folder (or a root): " + path);
        return;
    }
    if (!r.node->kids.empty()) {
        Fail("Remove: folder not empty: " + path);
        return;
    }
    if (IsOpen(r.node)) {
        Fail("Remove: the file is open: " + path);
        return;
    }
    Detach(r.node);
}

bool Exists(const std::string &path) { return Resolve(path.c_str()).node != nullptr; }

bool IsFolder(const std::string &path) {
    Node *n = Resolve(path.c_str()).node;
    return n && n->folder;
}

DWORD Attributes(const std::string &path) {
    Node *n = Resolve(path.c_str()).node;
    return n ? ReportedAttributes(n) : INVALID_FILE_ATTRIBUTES;
}

Times TimesOf(const std::string &path) {
    Node *n = Existing(path, "TimesOf");
    return n ? n->times : Times();
}

uint64_t SizeOf(const std::string &path) {
    Node *n = Existing(path, "SizeOf");
    return n ? n->size : 0;
}

std::string ContentOf(const std::string &path) {
    Node *n = Existing(path, "ContentOf");
    if (!n)
        return std::string();
    if (n->folder) {
        Fail("ContentOf: a folder: " + path);
        return std::string();
    }
    if (!n->pattern)
        return n->data;
    if (n->size > kContentLimit) {
        Fail("ContentOf: pattern file too large to expand: " + path);
        return std::string();
    }
    std::string s(size_t(n->size), '\0');
    FillPattern(0, (uint8_t *)&s[0], n->size);
    return s;
}

bool HoldsPattern(const std::string &path) {
    Node *n = Resolve(path.c_str()).node;
    return n && !n->folder && (n->pattern || n->size == 0);
}

std::vector<std::string> List(const std::string &folder) {
    std::vector<std::string> names;
    Node *n = Existing(folder, "List");
    if (!n)
        return names;
    for (auto &k : n->kids)
        names.push_back(k->name);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> AllPaths() {
    std::vector<std::string> out;
    for (auto &v : M().volumes)
        CollectPaths(v.node.get(), &out);
    std::sort(out.begin(), out.end());
    return out;
}

bool IsDurable(const std::string &path) {
    Node *n = Existing(path, "IsDurable");
    return n && n->durable;
}

void SetRegistryValue(const std::string &key, const std::string &name, DWORD type, const std::string &data) {
    RegKey &k = KeyForWriting(key);
    for (auto &v : k.values) {
        if (SameName(v.name, name)) {
            v.type = type;
            v.data = data;
            return;
        }
    }
    k.values.push_back(RegValue{name, type, data});
}

void SetRegistryString(const std::string &key, const std::string &name, const std::string &text) {
    SetRegistryValue(key, name, REG_SZ, text + std::string(1, '\0'));
}

void DeleteRegistryKey(const std::string &key) {
    std::string n = NormaliseKey(key);
    std::string prefix = Fold(n) + "\\";
    auto &keys = M().keys;
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [&](const RegKey &k) {
                                  std::string f = Fold(k.path);
                                  return f == Fold(n) || f.compare(0, prefix.size(), prefix) == 0;
                              }),
               keys.end());
}

void SetRegistryKeyReadOnly(const std::string &key, bool readOnly) { KeyForWriting(key).readOnly = readOnly; }

int OpenRegistryKeys() {
    int n = 0;
    for (auto &h : M().handles)
        n += h.second.kind == KindKey;
    return n;
}

void OtherProcessHolds(const std::string &name) {
    Mutex &mx = M().mutexes[name];
    if (mx.state == Mutex::ProgramOwns) {
        Fail("OtherProcessHolds: the program owns " + name);
        return;
    }
    mx.state = Mutex::OtherOwns;
    mx.recursion = 1;
    mx.otherHandle = true;
    mx.keptAlive = false;
}

void OtherProcessReleases(const std::string &name) {
    auto it = M().mutexes.find(name);
    if (it == M().mutexes.end() || it->second.state != Mutex::OtherOwns) {
        Fail("OtherProcessReleases: the other process does not hold " + name);
        return;
    }
    it->second.state = Mutex::Free;
    it->second.recursion = 0;
    it->second.otherHandle = false;
    DropMutexIfUnused(name);
}

void OtherProcessAbandons(const std::string &name) {
    auto it = M().mutexes.find(name);
    if (it == M().mutexes.end() || it->second.state != Mutex::OtherOwns) {
        Fail("OtherProcessAbandons: the other process does not hold " + name);
        return;
    }
    it->second.state = Mutex::Abandoned;
    it->second.recursion = 0;
    it->second.otherHandle = false;
    it->second.keptAlive = true;
}

void MutexCannotBeCreated(const std::string &name) { M().uncreatableMutexes.push_back(name); }

bool ProgramOwnsMutex(const std::string &name) {
    auto it = M().mutexes.find(name);
    return it != M().mutexes.end() && it->second.state == Mutex::ProgramOwns;
}

bool MutexExists(const std::string &name) { return M().mutexes.count(name) != 0; }

void Answer(int button, std::function<void()> meanwhile) {
    M().answers.push_back(ScriptedAnswer{button, std::move(meanwhile)});
}

const std::vector<Box> &Boxes() { return M().boxes; }

int UnansweredBoxes() { return int(M().answers.size() - M().nextAnswer); }

void BrowsePicks(const std::string &path, std::function<void()> meanwhile) {
    M().browseOutcomes.push_back(BrowseOutcome{BrowseOutcome::Pick, path, std::move(meanwhile)});
}

void BrowseCancels(std::function<void()> meanwhile) {
    M().browseOutcomes.push_back(BrowseOutcome{BrowseOutcome::Cancel, std::string(), std::move(meanwhile)});
}

void BrowsePicksVirtual(const std::string &displayName) {
    M().browseOutcomes.push_back(BrowseOutcome{BrowseOutcome::Virtual, displayName, nullptr});
}

void ShellAllocatorUnavailable(bool unavailable) { M().allocatorUnavailable = unavailable; }

const std::vector<BrowseCall> &BrowseCalls() { return M().browseCalls; }

int OutstandingItemLists() { return int(M().itemLists.size()); }

int AllocatorReferences() { return M().allocatorRefs; }

const std::vector<ShellOpen> &ShellOpens() { return M().shellOpens; }

UINT ErrorMode() { return M().errorMode; }

const std::vector<UINT> &ErrorModesSet() { return M().errorModesSet; }

int OpenFileHandles() {
    int n = 0;
    for (auto &h : M().handles)
        n += h.second.kind == KindFile || h.second.kind == KindFind;
    return n;
}

int OpenMutexHandles() {
    int n = 0;
    for (auto &h : M().handles)
        n += h.second.kind == KindMutex;
    return n;
}

bool OtherProgramCanOpen(const std::string &path, DWORD access, DWORD share) {
    Resolved r = Resolve(path.c_str());
    if (!r.node || r.node->folder || r.parsed.trailing)
        return false;
    if ((access & GENERIC_WRITE) && (r.node->attrs & FILE_ATTRIBUTE_READONLY))
        return false;
    return SharingAllows(r.node, access, share);
}

const char *OpName(Op op) { return op >= 0 && op < OpCount ? opNames[op] : "?"; }

void FailCall(Op op, unsigned nth, bool persistent, DWORD error) {
    M().faults.push_back(FaultRule{op, nth, persistent, error});
}

void FailNthCall(unsigned nth, DWORD error) { M().faults.push_back(FaultRule{OpCount, nth, false, error}); }

void ShortRead(unsigned nth, DWORD bytes, bool persistent) {
    M().shortReads.push_back(AmountRule{nth, int64_t(bytes), persistent});
}

void ShortWrite(unsigned nth, DWORD bytes, bool persistent) {
    M().shortWrites.push_back(AmountRule{nth, int64_t(bytes), persistent});
}

void WrongSeek(unsigned nth, int64_t delta, bool persistent) {
    M().wrongSeeks.push_back(AmountRule{nth, delta, persistent});
}

void ClearFaults() {
    M().faults.clear();
    M().shortReads.clear();
    M().shortWrites.clear();
    M().wrongSeeks.clear();
}

unsigned CallCount(Op op) { return op >= 0 && op < OpCount ? M().counts[op] : 0; }

unsigned TotalCalls() { return M().total; }

const std::vector<std::string> &CallLog() { return M().log; }

Op NthCallOp(unsigned nth) {
    if (nth == 0 || nth > M().ops.size()) {
        Fail("NthCallOp: no such call");
        return OpCount;
    }
    return M().ops[nth - 1];
}

} // namespace sim

// === the platform calls ================================================================

using namespace sim;

namespace {
template <class T> T Failed(DWORD error, T value) {
    M().lastError = error;
    return value;
}
} // namespace

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    Machine &m = M();
    unsigned count = ++m.counts[OpMessageBox];
    for (auto &f : m.faults) {
        if (f.op == OpMessageBox && RuleHits(count, f.nth, f.persistent))
            return Failed(f.error, 0);
    }
    UINT type = uType & MB_TYPEMASK;
    m.boxes.push_back(Box{hWnd, Str(lpText), Str(lpCaption), uType});
    if (type > MB_RETRYCANCEL)
        Fail("MessageBoxA: unsupported box type in style " + std::to_string(uType));
    if (m.nextAnswer >= m.answers.size()) {
        if (++m.unscriptedBoxes > kUnscriptedBoxLimit) {
            std::fprintf(stderr, "simulated Windows: more than %u unscripted message boxes; giving up\n",
                         kUnscriptedBoxLimit);
            std::abort();
        }
        Fail("MessageBoxA: no answer scripted for the box \"" + Str(lpText) + "\"");
        return EndingButton(type);
    }
    ScriptedAnswer a = m.answers[m.nextAnswer++];
    if (a.meanwhile)
        a.meanwhile();
    if (!BoxHasButton(type, a.button))
        Fail("MessageBoxA: scripted answer " + std::to_string(a.button) + " is not a button of the box \"" +
             Str(lpText) + "\"");
    return a.button;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    DWORD error;
    if (Enter(OpCreateMutex, Str(lpName), &error))
        return Failed(error, (HANDLE) nullptr);
    Machine &m = M();
    std::string name;
    if (lpName) {
        name = lpName;
        for (auto &u : m.uncreatableMutexes)
            if (u == name)
                return Failed(ERROR_ACCESS_DENIED, (HANDLE) nullptr);
    }
    uintptr_t h = NewHandleValue();
    if (!lpName)
        name = "<unnamed #" + std::to_string(h) + ">";
    bool existed = m.mutexes.count(name) != 0;
    Mutex &mx = m.mutexes[name];
    ++mx.programHandles;
    if (!existed && bInitialOwner) {
        mx.state = Mutex::ProgramOwns;
        mx.recursion = 1;
    }
    HandleObj o(KindMutex);
    o.name = name;
    m.handles[h] = o;
    m.lastError = existed ? ERROR_ALREADY_EXISTS : 0;
    return (HANDLE)h;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    DWORD error;
    if (Enter(OpWait, HandleText(hHandle), &error))
        return Failed(error, WAIT_FAILED);
    auto it = M().handles.find((uintptr_t)hHandle);
    if (it == M().handles.end() || it->second.kind != KindMutex)
        return Failed(ERROR_INVALID_HANDLE, WAIT_FAILED);
    Mutex &mx = M().mutexes[it->second.name];
    switch (mx.state) {
    case Mutex::OtherOwns:
        if (dwMilliseconds != 0)
            Fail("WaitForSingleObject: waiting with a timeout on a mutex another process holds would hang");
        return WAIT_TIMEOUT;
    case Mutex::Abandoned:
        mx.state = Mutex::ProgramOwns;
        mx.recursion = 1;
        mx.keptAlive = false;
        return WAIT_ABANDONED;
    case Mutex::Free:
        mx.state = Mutex::ProgramOwns;
        mx.recursion = 1;
        return WAIT_OBJECT_0;
    case Mutex::ProgramOwns:
        ++mx.recursion;
        return WAIT_OBJECT_0;
    }
    return WAIT_FAILED;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    DWORD error;
    if (Enter(OpReleaseMutex, HandleText(hMutex), &error))
        return Failed(error, FALSE);
    auto it = M().handles.find((uintptr_t)hMutex);
    if (it == M().handles.end() || it->second.kind != KindMutex)
        return Failed(ERROR_INVALID_HANDLE, FALSE);
    Mutex &mx = M().mutexes[it->second.name];
    if (mx.state != Mutex::ProgramOwns)
        return Failed(ERROR_NOT_OWNER, FALSE);
    if (--mx.recursion == 0)
        mx.state = Mutex::Free;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::string arg = HandleText(hObject);
    auto it = M().handles.find((uintptr_t)hObject);
    bool valid = it != M().handles.end() && (it->second.kind == KindFile || it->second.kind == KindMutex);
    DWORD error;
    bool fault = Enter(OpCloseHandle, arg, &error);
    if (!valid) {
        Fail("CloseHandle on a handle that is not an open file or mutex: " + arg);
        return Failed(ERROR_INVALID_HANDLE, FALSE);
    }
    HandleObj o = it->second;
    M().handles.erase(it);
    if (o.kind == KindMutex) {
        --M().mutexes[o.name].programHandles;
        DropMutexIfUnused(o.name);
    }
    if (fault)
        return Failed(error, FALSE);
    return TRUE;
}

DWORD WINAPI GetLastError(void) { return M().lastError; }

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    DWORD error;
    if (Enter(OpRegOpenKey, Str(lpSubKey), &error)) {
        if (phkResult)
            *phkResult = nullptr;
        return Failed(error, LSTATUS(error));
    }
    if (!phkResult) {
        Fail("RegOpenKeyExA without a result pointer");
        return Failed(ERROR_INVALID_PARAMETER, LSTATUS(ERROR_INVALID_PARAMETER));
    }
    *phkResult = nullptr;
    if (hKey != HKEY_CURRENT_USER) {
        Fail("RegOpenKeyExA: only HKEY_CURRENT_USER is simulated");
        return Failed(ERROR_INVALID_HANDLE, LSTATUS(ERROR_INVALID_HANDLE));
    }
    std::string path = NormaliseKey(Str(lpSubKey));
    if (!KeyExists(path))
        return Failed(ERROR_FILE_NOT_FOUND, LSTATUS(ERROR_FILE_NOT_FOUND));
    RegKey *k = FindKey(path);
    if (k && k->readOnly && (samDesired & ~DWORD(KEY_READ)) != 0)
        return Failed(ERROR_ACCESS_DENIED, LSTATUS(ERROR_ACCESS_DENIED));
    uintptr_t h = NewHandleValue();
    HandleObj o(KindKey);
    o.name = path;
    M().handles[h] = o;
    *phkResult = (HKEY)h;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    DWORD error;
    if (Enter(OpRegQueryValue, Str(lpValueName), &error))
        return Failed(error, LSTATUS(error));
    auto it = M().handles.find((uintptr_t)hKey);
    if (it == M().handles.end() || it->second.kind != KindKey) {
        Fail("RegQueryValueExA on a key that is not open");
        return Failed(ERROR_INVALID_HANDLE, LSTATUS(ERROR_INVALID_HANDLE));
    }
    if (lpReserved || (lpData && !lpcbData))
        return Failed(ERROR_INVALID_PARAMETER, LSTATUS(ERROR_INVALID_PARAMETER));
    if (!KeyExists(it->second.name))
        return Failed(ERROR_KEY_DELETED, LSTATUS(ERROR_KEY_DELETED));
    RegKey *k = FindKey(it->second.name);
    const RegValue *value = nullptr;
    if (k)
        for (auto &v : k->values)
            if (SameName(v.name, Str(lpValueName)))
                value = &v;
    if (!value)
        return Failed(ERROR_FILE_NOT_FOUND, LSTATUS(ERROR_FILE_NOT_FOUND));
    DWORD needed = DWORD(value->data.size());
    if (lpType)
        *lpType = value->type;
    if (!lpData) {
        if (lpcbData)
            *lpcbData = needed;
        return ERROR_SUCCESS;
    }
    if (needed > *lpcbData) {
        *lpcbData = needed;
        return Failed(ERROR_MORE_DATA, LSTATUS(ERROR_MORE_DATA));
    }
    std::memcpy(lpData, value->data.data(), needed);
    *lpcbData = needed;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    std::string arg = HandleText((HANDLE)hKey);
    auto it = M().handles.find((uintptr_t)hKey);
    bool valid = it != M().handles.end() && it->second.kind == KindKey;
    DWORD error;
    bool fault = Enter(OpRegCloseKey, arg, &error);
    if (!valid) {
        Fail("RegCloseKey on a key that is not open: " + arg);
        return Failed(ERROR_INVALID_HANDLE, LSTATUS(ERROR_INVALID_HANDLE));
    }
    M().handles.erase(it);
    if (fault)
        return Failed(error, LSTATUS(error));
    return ERROR_SUCCESS;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    DWORD error;
    if (Enter(OpGetModuleFileName, std::to_string(nSize), &error))
        return Failed(error, DWORD(0));
    if (hModule) {
        Fail("GetModuleFileNameA: only the own module (null) is simulated");
        return Failed(ERROR_MOD_NOT_FOUND, DWORD(0));
    }
    const std::string &p = M().modulePath;
    if (p.empty())
        return Failed(ERROR_MOD_NOT_FOUND, DWORD(0));
    if (nSize == 0)
        return Failed(ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    if (p.size() >= nSize) {
        std::memcpy(lpFilename, p.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        return Failed(ERROR_INSUFFICIENT_BUFFER, nSize);
    }
    std::memcpy(lpFilename, p.c_str(), p.size() + 1);
    return DWORD(p.size());
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    DWORD error;
    if (Enter(OpGetFileAttributes, Str(lpFileName), &error))
        return Failed(error, INVALID_FILE_ATTRIBUTES);
    Resolved r = Resolve(lpFileName);
    if (r.error)
        return Failed(r.error, INVALID_FILE_ATTRIBUTES);
    if (!r.node)
        return Failed(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    if (r.parsed.trailing && !r.node->folder)
        return Failed(ERROR_INVALID_NAME, INVALID_FILE_ATTRIBUTES);
    return ReportedAttributes(r.node);
}

namespace {
void SplitTime(uint64_t t, FILETIME *ft) {
    ft->dwLowDateTime = DWORD(t);
    ft->dwHighDateTime = DWORD(t >> 32);
}
uint64_t JoinTime(const FILETIME *ft) { return (uint64_t(ft->dwHighDateTime) << 32) | ft->dwLowDateTime; }
} // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    DWORD error;
    if (Enter(OpFindFirstFile, Str(lpFileName), &error))
        return Failed(error, INVALID_HANDLE_VALUE);
    Resolved r = Resolve(lpFileName);
    if (r.error && r.error != ERROR_PATH_NOT_FOUND)
        return Failed(r.error, INVALID_HANDLE_VALUE);
    if (!r.node || r.isRoot || r.parsed.trailing)
        return Failed(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    WIN32_FIND_DATAA &d = *lpFindFileData;
    std::memset(&d, 0, sizeof d);
    d.dwFileAttributes = ReportedAttributes(r.node);
    SplitTime(r.node->times.creation, &d.ftCreationTime);
    SplitTime(r.node->times.lastAccess, &d.ftLastAccessTime);
    SplitTime(r.node->times.lastWrite, &d.ftLastWriteTime);
    uint64_t size = r.node->folder ? 0 : r.node->size;
    d.nFileSizeHigh = DWORD(size >> 32);
    d.nFileSizeLow = DWORD(size);
    std::strncpy(d.cFileName, r.node->name.c_str(), MAX_PATH - 1);
    uintptr_t h = NewHandleValue();
    HandleObj o(KindFind);
    o.name = FullPath(r.node);
    M().handles[h] = o;
    return (HANDLE)h;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    std::string arg = HandleText(hFindFile);
    auto it = M().handles.find((uintptr_t)hFindFile);
    bool valid = it != M().handles.end() && it->second.kind == KindFind;
    DWORD error;
    bool fault = Enter(OpFindClose, arg, &error);
    if (!valid) {
        Fail("FindClose on a handle that is not an open search: " + arg);
        return Failed(ERROR_INVALID_HANDLE, FALSE);
    }
    M().handles.erase(it);
    if (fault)
        return Failed(error, FALSE);
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    DWORD error;
    if (Enter(OpCreateDirectory, Str(lpPathName), &error))
        return Failed(error, FALSE);
    Resolved r = Resolve(lpPathName);
    if (r.error)
        return Failed(r.error, FALSE);
    if (r.isRoot)
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    if (r.node)
        return Failed(ERROR_ALREADY_EXISTS, FALSE);
    std::unique_ptr<Node> n(new Node);
    n->name = r.parsed.comps.back();
    n->folder = true;
    n->attrs = FILE_ATTRIBUTE_DIRECTORY;
    uint64_t t = Stamp();
    n->times.creation = n->times.lastAccess = n->times.lastWrite = t;
    Attach(r.parent, std::move(n));
    return TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    DWORD error;
    if (Enter(OpCreateFile, Str(lpFileName), &error))
        return Failed(error, INVALID_HANDLE_VALUE);
    if (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != CREATE_ALWAYS) {
        Fail("CreateFileA: only OPEN_EXISTING and CREATE_ALWAYS are simulated");
        return Failed(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    if (hTemplateFile)
        Fail("CreateFileA: template files are not simulated");
    Resolved r = Resolve(lpFileName);
    if (r.error)
        return Failed(r.error, INVALID_HANDLE_VALUE);
    if (r.node && r.node->folder)
        return Failed(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (r.parsed.trailing)
        return Failed(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
    DWORD access = dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE);
    DWORD given = dwFlagsAndAttributes &
                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    Node *n = r.node;
    if (dwCreationDisposition == OPEN_EXISTING) {
        if (!n)
            return Failed(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        if ((access & GENERIC_WRITE) && (n->attrs & FILE_ATTRIBUTE_READONLY))
            return Failed(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (!SharingAllows(n, access, dwShareMode))
            return Failed(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    } else if (n) {
        if (n->attrs & FILE_ATTRIBUTE_READONLY)
            return Failed(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        DWORD hs = n->attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if ((given & hs) != hs)
            return Failed(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (!SharingAllows(n, access, dwShareMode))
            return Failed(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
        n->attrs |= given;
        n->pattern = false;
        n->data.clear();
        n->data.shrink_to_fit();
        n->size = 0;
        n->durable = true; // empty again, like a new file
        n->times.lastWrite = n->times.lastAccess = Stamp();
    } else {
        std::unique_ptr<Node> f(new Node);
        f->name = r.parsed.comps.back();
        f->attrs = given;
        uint64_t t = Stamp();
        f->times.creation = f->times.lastAccess = f->times.lastWrite = t;
        f->durable = true;
        n = Attach(r.parent, std::move(f));
    }
    uintptr_t h = NewHandleValue();
    HandleObj o(KindFile);
    o.node = n;
    o.access = access;
    o.share = dwShareMode;
    M().handles[h] = o;
    return (HANDLE)h;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    DWORD error;
    if (Enter(OpGetFileSize, HandleText(hFile), &error))
        return Failed(error, FALSE);
    HandleObj *o = FileHandle(hFile, "GetFileSizeEx");
    if (!o)
        return FALSE;
    lpFileSize->QuadPart = LONGLONG(o->node->size);
    return TRUE;
}

BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                        LPFILETIME lpLastWriteTime) {
    DWORD error;
    if (Enter(OpGetFileTime, HandleText(hFile), &error))
        return Failed(error, FALSE);
    HandleObj *o = FileHandle(hFile, "GetFileTime");
    if (!o)
        return FALSE;
    if (lpCreationTime)
        SplitTime(o->node->times.creation, lpCreationTime);
    if (lpLastAccessTime)
        SplitTime(o->node->times.lastAccess, lpLastAccessTime);
    if (lpLastWriteTime)
        SplitTime(o->node->times.lastWrite, lpLastWriteTime);
    return TRUE;
}

BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME *lpCreationTime, const FILETIME *lpLastAccessTime,
                        const FILETIME *lpLastWriteTime) {
    DWORD error;
    if (Enter(OpSetFileTime, HandleText(hFile), &error))
        return Failed(error, FALSE);
    HandleObj *o = FileHandle(hFile, "SetFileTime");
    if (!o)
        return FALSE;
    if (!(o->access & GENERIC_WRITE))
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    if (lpCreationTime)
        o->node->times.creation = JoinTime(lpCreationTime);
    if (lpLastAccessTime)
        o->node->times.lastAccess = JoinTime(lpLastAccessTime);
    if (lpLastWriteTime)
        o->node->times.lastWrite = JoinTime(lpLastWriteTime);
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     void *lpOverlapped) {
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    DWORD error;
    if (Enter(OpReadFile, HandleText(hFile) + " " + std::to_string(nNumberOfBytesToRead), &error))
        return Failed(error, FALSE);
    if (lpOverlapped)
        Fail("ReadFile: overlapped reads are not simulated");
    HandleObj *o = FileHandle(hFile, "ReadFile");
    if (!o)
        return FALSE;
    if (!(o->access & GENERIC_READ))
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    Node *n = o->node;
    uint64_t avail = o->pos < n->size ? n->size - o->pos : 0;
    uint64_t count = std::min<uint64_t>(avail, nNumberOfBytesToRead);
    int64_t limit;
    if (AmountFor(M().shortReads, M().counts[OpReadFile], &limit))
        count = std::min<uint64_t>(count, uint64_t(limit));
    if (count) {
        if (n->pattern)
            FillPattern(o->pos, (uint8_t *)lpBuffer, count);
        else
            std::memcpy(lpBuffer, n->data.data() + o->pos, size_t(count));
    }
    o->pos += count;
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = DWORD(count);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, const void *lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, void *lpOverlapped) {
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    DWORD error;
    if (Enter(OpWriteFile, HandleText(hFile) + " " + std::to_string(nNumberOfBytesToWrite), &error))
        return Failed(error, FALSE);
    if (lpOverlapped)
        Fail("WriteFile: overlapped writes are not simulated");
    HandleObj *o = FileHandle(hFile, "WriteFile");
    if (!o)
        return FALSE;
    if (!(o->access & GENERIC_WRITE))
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    Node *n = o->node;
    uint64_t count = nNumberOfBytesToWrite;
    int64_t limit;
    if (AmountFor(M().shortWrites, M().counts[OpWriteFile], &limit))
        count = std::min<uint64_t>(count, uint64_t(limit));
    if (count) {
        const uint8_t *src = (const uint8_t *)lpBuffer;
        uint64_t end = o->pos + count;
        if ((n->pattern || n->size == 0) && o->pos <= n->size && MatchesPattern(o->pos, src, count)) {
            n->pattern = true;
            n->data.clear();
            n->size = std::max(n->size, end);
        } else {
            uint64_t newSize = std::max(n->size, end);
            if (newSize > kExplicitLimit) {
                Fail("WriteFile: a file of " + std::to_string(newSize) +
                     " bytes that is not the pattern is too large to simulate: " + FullPath(n));
                return Failed(ERROR_DISK_FULL, FALSE);
            }
            MakeExplicit(n);
            if (n->data.size() < newSize)
                n->data.resize(size_t(newSize), '\0');
            std::memcpy(&n->data[size_t(o->pos)], src, size_t(count));
            n->size = newSize;
        }
        o->pos = end;
        n->times.lastWrite = Stamp();
        n->durable = false;
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = DWORD(count);
    return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
    DWORD error;
    if (Enter(OpSetFilePointer, HandleText(hFile) + " " + std::to_string(liDistanceToMove.QuadPart), &error))
        return Failed(error, FALSE);
    HandleObj *o = FileHandle(hFile, "SetFilePointerEx");
    if (!o)
        return FALSE;
    int64_t base;
    switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = int64_t(o->pos); break;
    case FILE_END: base = int64_t(o->node->size); break;
    default: return Failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    int64_t target = base + liDistanceToMove.QuadPart;
    if (target < 0)
        return Failed(ERROR_NEGATIVE_SEEK, FALSE);
    o->pos = uint64_t(target);
    int64_t delta = 0;
    AmountFor(M().wrongSeeks, M().counts[OpSetFilePointer], &delta);
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = target + delta;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    DWORD error;
    if (Enter(OpFlushFileBuffers, HandleText(hFile), &error))
        return Failed(error, FALSE);
    HandleObj *o = FileHandle(hFile, "FlushFileBuffers");
    if (!o)
        return FALSE;
    if (!(o->access & GENERIC_WRITE))
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    o->node->durable = true;
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    DWORD error;
    if (Enter(OpDeleteFile, Str(lpFileName), &error))
        return Failed(error, FALSE);
    Resolved r = Resolve(lpFileName);
    if (r.error)
        return Failed(r.error, FALSE);
    if (!r.node)
        return Failed(ERROR_FILE_NOT_FOUND, FALSE);
    if (r.isRoot || r.node->folder)
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    if (r.parsed.trailing)
        return Failed(ERROR_INVALID_NAME, FALSE);
    if (r.node->attrs & FILE_ATTRIBUTE_READONLY)
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    if (IsOpen(r.node))
        return Failed(ERROR_SHARING_VIOLATION, FALSE);
    Detach(r.node);
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    DWORD error;
    if (Enter(OpMoveFile, Str(lpExistingFileName) + " -> " + Str(lpNewFileName), &error))
        return Failed(error, FALSE);
    if (dwFlags & ~DWORD(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Fail("MoveFileExA: only MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH are simulated");
        return Failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    Resolved from = Resolve(lpExistingFileName);
    if (from.error)
        return Failed(from.error, FALSE);
    if (!from.node)
        return Failed(ERROR_FILE_NOT_FOUND, FALSE);
    if (from.isRoot)
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    if (from.parsed.trailing && !from.node->folder)
        return Failed(ERROR_INVALID_NAME, FALSE);
    Resolved to = Resolve(lpNewFileName);
    if (to.parsed.volume && to.parsed.volume != from.parsed.volume)
        return Failed(ERROR_NOT_SAME_DEVICE, FALSE);
    if (to.error)
        return Failed(to.error, FALSE);
    if (to.isRoot)
        return Failed(ERROR_ACCESS_DENIED, FALSE);
    if (to.parsed.trailing && !from.node->folder)
        return Failed(ERROR_INVALID_NAME, FALSE);
    if (to.node == from.node)
        return TRUE;
    if (from.node->folder) {
        for (Node *p = to.parent; p; p = p->parent)
            if (p == from.node)
                return Failed(ERROR_ACCESS_DENIED, FALSE);
    }
    if (AnyOpenBelow(from.node))
        return Failed(ERROR_SHARING_VIOLATION, FALSE);
    if (to.node) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING))
            return Failed(ERROR_ALREADY_EXISTS, FALSE);
        if (to.node->folder || from.node->folder || (to.node->attrs & FILE_ATTRIBUTE_READONLY))
            return Failed(ERROR_ACCESS_DENIED, FALSE);
        if (IsOpen(to.node))
            return Failed(ERROR_SHARING_VIOLATION, FALSE);
        Detach(to.node);
    }
    std::unique_ptr<Node> moved = Detach(from.node);
    moved->name = to.parsed.comps.back();
    Attach(to.parent, std::move(moved));
    return TRUE;
}

UINT WINAPI SetErrorMode(UINT uMode) {
    Machine &m = M();
    ++m.counts[OpSetErrorMode];
    UINT previous = m.errorMode;
    m.errorMode = uMode;
    m.errorModesSet.push_back(uMode);
    return previous;
}

HRESULT WINAPI SHGetMalloc(LPMALLOC *ppMalloc) {
    DWORD error;
    if (Enter(OpSHGetMalloc, std::string(), &error)) {
        if (ppMalloc)
            *ppMalloc = nullptr;
        return Failed(error, E_FAIL);
    }
    if (!ppMalloc) {
        Fail("SHGetMalloc without a result pointer");
        return E_FAIL;
    }
    if (M().allocatorUnavailable) {
        *ppMalloc = nullptr;
        return E_FAIL;
    }
    ++M().allocatorRefs;
    *ppMalloc = &shellAllocator;
    return S_OK;
}

PIDLIST_ABSOLUTE WINAPI SHBrowseForFolderA(LPBROWSEINFOA lpbi) {
    DWORD error;
    if (Enter(OpSHBrowseForFolder, lpbi ? Str(lpbi->lpszTitle) : std::string(), &error))
        return Failed(error, (PIDLIST_ABSOLUTE) nullptr);
    Machine &m = M();
    if (!lpbi) {
        Fail("SHBrowseForFolderA without a BROWSEINFOA");
        return nullptr;
    }
    m.browseCalls.push_back(BrowseCall{lpbi->hwndOwner, lpbi->pidlRoot != nullptr, Str(lpbi->lpszTitle),
                                       lpbi->ulFlags, lpbi->lpfn != nullptr, lpbi->iImage});
    if (m.nextBrowse >= m.browseOutcomes.size()) {
        Fail("SHBrowseForFolderA: no outcome scripted for the folder dialog");
        return nullptr;
    }
    BrowseOutcome b = m.browseOutcomes[m.nextBrowse++];
    if (b.meanwhile)
        b.meanwhile();
    if (b.what == BrowseOutcome::Cancel)
        return nullptr;
    std::string display = b.what == BrowseOutcome::Virtual ? b.text : DisplayNameOf(b.text);
    if (lpbi->pszDisplayName) {
        size_t n = std::min<size_t>(display.size(), MAX_PATH - 1);
        std::memcpy(lpbi->pszDisplayName, display.data(), n);
        lpbi->pszDisplayName[n] = '\0';
    }
    uintptr_t h = NewHandleValue();
    m.itemLists[h] = ItemList{b.what == BrowseOutcome::Virtual, b.what == BrowseOutcome::Pick ? b.text : ""};
    return (PIDLIST_ABSOLUTE)h;
}

BOOL WINAPI SHGetPathFromIDListA(PCIDLIST_ABSOLUTE pidl, LPSTR pszPath) {
    DWORD error;
    if (Enter(OpSHGetPathFromIDList, std::string(), &error))
        return Failed(error, FALSE);
    auto it = M().itemLists.find((uintptr_t)pidl);
    if (it == M().itemLists.end()) {
        Fail("SHGetPathFromIDListA on an item list that is not outstanding");
        return FALSE;
    }
    if (it->second.isVirtual)
        return FALSE;
    const std::string &p = it->second.path;
    if (p.size() >= MAX_PATH)
        return FALSE;
    std::memcpy(pszPath, p.c_str(), p.size() + 1);
    return TRUE;
}

HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                               LPCSTR lpDirectory, int nShowCmd) {
    DWORD error;
    if (Enter(OpShellExecute, Str(lpFile), &error))
        return Failed(error, (HINSTANCE)(uintptr_t)2);
    M().shellOpens.push_back(ShellOpen{hwnd, Str(lpOperation), Str(lpFile), Str(lpParameters), Str(lpDirectory),
                                       nShowCmd});
    return (HINSTANCE)(uintptr_t)33;
}

UINT WINAPI GetACP(void) {
    ++M().counts[OpGetACP];
    return M().codePage;
}

BOOL WINAPI GetCPInfo(UINT CodePage, LPCPINFO lpCPInfo) {
    DWORD error;
    if (Enter(OpGetCPInfo, std::to_string(CodePage), &error))
        return Failed(error, FALSE);
    UINT acp = M().codePage;
    UINT cp = CodePage == CP_ACP ? acp : CodePage;
    if (acp == 0 || (cp != 932 && cp != 1252))
        return Failed(ERROR_INVALID_PARAMETER, FALSE);
    std::memset(lpCPInfo, 0, sizeof *lpCPInfo);
    lpCPInfo->DefaultChar[0] = '?';
    if (cp == 932) {
        lpCPInfo->MaxCharSize = 2;
        lpCPInfo->LeadByte[0] = 0x81;
        lpCPInfo->LeadByte[1] = 0x9F;
        lpCPInfo->LeadByte[2] = 0xE0;
        lpCPInfo->LeadByte[3] = 0xFC;
    } else {
        lpCPInfo->MaxCharSize = 1;
    }
    return TRUE;
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2)
        return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
    std::string a = Fold(lpString1), b = Fold(lpString2);
    int c = std::strcmp(a.c_str(), b.c_str());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}
