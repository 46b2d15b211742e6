// boxpilot: reads and answers the dialog boxes of another program, for the
// end-to-end tests. It runs in the same Wine prefix and on the same display
// as the program under test.
//
//   boxpilot find TIMEOUT_MS [IMAGE]
//       Waits for a visible top-level dialog (class #32770), of a process
//       whose executable's file name is IMAGE when given, and describes it
//       (see Describe). Exit 0, or 2 with "none" when none came in time.
//   boxpilot list
//       Describes every visible top-level dialog. Exit 0.
//   boxpilot press HWND ID [TIMEOUT_MS]
//       Clicks button ID of the dialog HWND and waits until the dialog is
//       gone. Exit 0 ("closed"), 3 ("still_open"), 4 (no such dialog or
//       button).
//   boxpilot select HWND PATH
//       In a folder-browse dialog, walks the folder tree to PATH (a drive
//       letter path such as C:\Games\Korvalinth), expanding items on the way,
//       and selects it. Exit 0 ("selected"), 5 when the path is not found.
//   boxpilot acp
//       Prints the ANSI code page (GetACP).
//   boxpilot selftest
//       Shows a box of its own (text with trail bytes 0x5C, Yes/No, warning
//       icon, No the default), finds and describes it as `find` does, presses
//       its default button and prints "answer=ID" with what MessageBoxA
//       returned. Warms up the display too.
//
// Texts are printed as the hex of their exact bytes in the ANSI code page.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int kTextMax = 8192;

void PrintHex(const char* key, const char* text, int length)
{
    printf("%s=", key);
    for (int i = 0; i < length; ++i) {
        printf("%02x", (unsigned char)text[i]);
    }
    printf("\n");
}

bool ClassIs(HWND window, const char* name)
{
    char cls[64];
    if (GetClassNameA(window, cls, sizeof cls) == 0) {
        return false;
    }
    return lstrcmpiA(cls, name) == 0;
}

// The file name of the executable of the process that owns `window`.
void ProcessImageName(HWND window, char* out, DWORD size)
{
    lstrcpynA(out, "?", (int)size);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == NULL) {
        return;
    }
    char path[MAX_PATH * 2];
    DWORD length = sizeof path;
    if (QueryFullProcessImageNameA(process, 0, path, &length)) {
        const char* base = path;
        for (const char* p = path; *p != '\0'; ++p) {
            if (*p == '\\' || *p == '/') {
                base = p + 1;
            }
        }
        lstrcpynA(out, base, (int)size);
    }
    CloseHandle(process);
}

struct Search {
    const char* image;  // may be NULL
    HWND found[32];
    int count;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM param)
{
    Search* search = (Search*)param;
    if (!IsWindowVisible(window) || !ClassIs(window, "#32770")) {
        return TRUE;
    }
    if (search->image != NULL) {
        char image[MAX_PATH];
        ProcessImageName(window, image, sizeof image);
        if (lstrcmpiA(image, search->image) != 0) {
            return TRUE;
        }
    }
    if (search->count < 32) {
        search->found[search->count++] = window;
    }
    return TRUE;
}

int FindDialogs(const char* image, HWND* out, int max)
{
    Search search;
    search.image = image;
    search.count = 0;
    EnumWindows(CollectDialog, (LPARAM)&search);
    int n = search.count < max ? search.count : max;
    for (int i = 0; i < n; ++i) {
        out[i] = search.found[i];
    }
    return search.count;
}

struct Children {
    HWND list[64];
    int count;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM param)
{
    Children* children = (Children*)param;
    if (children->count < 64) {
        children->list[children->count++] = window;
    }
    return TRUE;
}

void ListChildren(HWND parent, Children* children)
{
    children->count = 0;
    EnumChildWindows(parent, CollectChild, (LPARAM)children);
}

HWND FindChildOfClass(HWND parent, const char* cls)
{
    Children children;
    ListChildren(parent, &children);
    for (int i = 0; i < children.count; ++i) {
        if (ClassIs(children.list[i], cls)) {
            return children.list[i];
        }
    }
    return NULL;
}

// A top-down 32-bit RGB bitmap description of w x h pixels.
static BITMAPINFO TopDownRgb32(int w, int h)
{
    BITMAPINFO info;
    ZeroMemory(&info, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// Reads the pixels of a screen rectangle as 32-bit values, top-down.
bool CaptureScreen(int x, int y, int w, int h, DWORD* pixels)
{
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, w, h, screen, x, y, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info = TopDownRgb32(w, h);
    int lines = GetDIBits(memory, bitmap, 0, h, pixels, &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return copied && lines == h;
}

// Draws `icon` at its natural size on a ground of `ground` and reads the
// pixels back.
void RenderIcon(HICON icon, DWORD ground, int w, int h, DWORD* pixels)
{
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = TopDownRgb32(w, h);
    void* bits = NULL;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    DWORD* p = (DWORD*)bits;
    for (int i = 0; i < w * h; ++i) {
        p[i] = ground;
    }
    DrawIcon(memory, 0, 0, icon);
    GdiFlush();
    for (int i = 0; i < w * h; ++i) {
        pixels[i] = p[i] & 0x00FFFFFF;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
}

bool MatchIcon(const RECT& rect, bool last);

// Which of the four system icons the dialog's icon control shows: the one
// whose drawing matches the control's pixels on screen.
void DescribeIcon(HWND box)
{
    Children children;
    ListChildren(box, &children);
    HWND control = NULL;
    for (int i = 0; i < children.count; ++i) {
        HWND child = children.list[i];
        if (ClassIs(child, "Static") && IsWindowVisible(child) &&
            (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            control = child;
            break;
        }
    }
    if (control == NULL || SendMessageA(control, STM_GETICON, 0, 0) == 0) {
        printf("icon=none\n");
        return;
    }
    RECT rect;
    GetWindowRect(control, &rect);
    int w = rect.right - rect.left;
    int h = rect.bottom - rect.top;
    if (w <= 0 || h <= 0 || w > 128 || h > 128) {
        printf("icon=unknown size=%dx%d\n", w, h);
        return;
    }
    // The icon may not be painted yet on a busy machine: look again for a
    // while before calling it unknown.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (attempt > 0) {
            Sleep(100);
        }
        if (MatchIcon(rect, attempt == 19)) {
            return;
        }
    }
}

// Compares the icon control's pixels on screen with the four system icons.
// Prints the result and returns true when one matches; when none does,
// prints "unknown" only if `last`.
bool MatchIcon(const RECT& rect, bool last)
{
    int w = rect.right - rect.left;
    int h = rect.bottom - rect.top;
    static DWORD shown[128 * 128];
    static DWORD drawn[128 * 128];
    if (!CaptureScreen(rect.left, rect.top, w, h, shown)) {
        if (last) {
            printf("icon=unknown capture_failed\n");
        }
        return false;
    }
    for (int i = 0; i < w * h; ++i) {
        shown[i] &= 0x00FFFFFF;
    }
    struct Candidate {
        const char* name;
        LPCSTR id;
    };
    const Candidate candidates[] = {
        {"error", (LPCSTR)IDI_HAND},
        {"question", (LPCSTR)IDI_QUESTION},
        {"warning", (LPCSTR)IDI_EXCLAMATION},
        {"information", (LPCSTR)IDI_ASTERISK},
    };
    const char* best = NULL;
    int bestDiff = w * h + 1;
    int secondDiff = w * h + 1;
    for (const Candidate& c : candidates) {
        HICON icon = LoadIconA(NULL, c.id);
        if (icon == NULL) {
            continue;
        }
        RenderIcon(icon, shown[0], w, h, drawn);
        int diff = 0;
        for (int i = 0; i < w * h; ++i) {
            if (drawn[i] != shown[i]) {
                ++diff;
            }
        }
        if (diff < bestDiff) {
            secondDiff = bestDiff;
            bestDiff = diff;
            best = c.name;
        } else if (diff < secondDiff) {
            secondDiff = diff;
        }
    }
    // A match must be close and clearly better than the runner-up.
    bool matched = best != NULL && bestDiff * 10 <= w * h && bestDiff * 4 < secondDiff;
    if (matched || last) {
        printf("icon=%s\n", matched ? best : "unknown");
        printf("icon_diff=%d,%d of %d\n", bestDiff, secondDiff, w * h);
    }
    return matched;
}

// Prints what a dialog shows:
//   hwnd=0x...            the dialog's handle, for press and select
//   process=NAME          the owning executable's file name
//   kind=msgbox|browse    browse when it holds a folder tree
//   caption=HEX           the title bar text
//   text=HEX              the message (control 0xFFFF; empty when none)
//   statics=HEX,HEX,...   every static control's text, in child order
//   buttons=ID,ID,...     the visible buttons among the ids 1..11
//   default=ID            the button with the BS_DEFPUSHBUTTON style (0: none)
//   focus=ID              the control id of the focused control (0: none)
//   icon=NAME             error, question, warning, information, none, unknown
//   rect=L,T,R,B          the dialog's place on the screen, in pixels
//   end
void Describe(HWND box)
{
    static char text[kTextMax];
    char image[MAX_PATH];
    printf("hwnd=0x%lx\n", (unsigned long)(ULONG_PTR)box);
    ProcessImageName(box, image, sizeof image);
    printf("process=%s\n", image);
    HWND tree = FindChildOfClass(box, WC_TREEVIEWA);
    printf("kind=%s\n", tree != NULL ? "browse" : "msgbox");

    int length = GetWindowTextA(box, text, kTextMax);
    PrintHex("caption", text, length);
    length = 0;
    if (GetDlgItem(box, 0xFFFF) != NULL) {
        length = GetDlgItemTextA(box, 0xFFFF, text, kTextMax);
    }
    PrintHex("text", text, length);

    Children children;
    ListChildren(box, &children);
    printf("statics=");
    bool first = true;
    for (int i = 0; i < children.count; ++i) {
        HWND child = children.list[i];
        if (!ClassIs(child, "Static") ||
            (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            continue;
        }
        length = GetWindowTextA(child, text, kTextMax);
        printf(first ? "" : ",");
        first = false;
        for (int k = 0; k < length; ++k) {
            printf("%02x", (unsigned char)text[k]);
        }
    }
    printf("\n");

    printf("buttons=");
    int defaultId = 0;
    first = true;
    for (int id = 1; id <= 11; ++id) {
        HWND button = GetDlgItem(box, id);
        if (button == NULL || !IsWindowVisible(button)) {
            continue;
        }
        printf(first ? "%d" : ",%d", id);
        first = false;
        if ((GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            defaultId = id;
        }
    }
    printf("\n");
    printf("default=%d\n", defaultId);

    GUITHREADINFO gui;
    ZeroMemory(&gui, sizeof gui);
    gui.cbSize = sizeof gui;
    int focusId = 0;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(box, NULL), &gui) && gui.hwndFocus != NULL) {
        focusId = GetDlgCtrlID(gui.hwndFocus);
    }
    printf("focus=%d\n", focusId);
    DescribeIcon(box);
    RECT place;
    if (GetWindowRect(box, &place)) {
        printf("rect=%ld,%ld,%ld,%ld\n", place.left, place.top, place.right, place.bottom);
    }
    printf("end\n");
    fflush(stdout);
}

int CommandFind(DWORD timeout, const char* image)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND found[1];
        if (FindDialogs(image, found, 1) > 0) {
            // Let the dialog finish painting before it is read.
            Sleep(150);
            if (IsWindow(found[0]) && IsWindowVisible(found[0])) {
                Describe(found[0]);
                return 0;
            }
        }
        if (GetTickCount() - start >= timeout) {
            printf("none\n");
            return 2;
        }
        Sleep(50);
    }
}

int CommandList()
{
    HWND found[32];
    int count = FindDialogs(NULL, found, 32);
    for (int i = 0; i < count && i < 32; ++i) {
        Describe(found[i]);
    }
    printf("count=%d\n", count);
    return 0;
}

int CommandPress(HWND box, int id, DWORD timeout)
{
    if (!IsWindow(box)) {
        printf("no_dialog\n");
        return 4;
    }
    HWND button = GetDlgItem(box, id);
    if (button == NULL) {
        printf("no_button\n");
        return 4;
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
    DWORD start = GetTickCount();
    while (IsWindow(box) && IsWindowVisible(box)) {
        if (GetTickCount() - start >= timeout) {
            printf("still_open\n");
            return 3;
        }
        Sleep(20);
    }
    printf("closed\n");
    return 0;
}

// Access to a tree view of another process: item texts are read through a
// buffer placed in that process.
struct RemoteTree {
    HWND tree;
    HANDLE process;
    char* remote;
};

bool ItemText(RemoteTree* rt, HTREEITEM item, char* out, int size)
{
    TVITEMA it;
    ZeroMemory(&it, sizeof it);
    it.mask = TVIF_TEXT;
    it.hItem = item;
    it.pszText = rt->remote + sizeof it;
    it.cchTextMax = 512;
    if (!WriteProcessMemory(rt->process, rt->remote, &it, sizeof it, NULL)) {
        return false;
    }
    if (!SendMessageA(rt->tree, TVM_GETITEMA, 0, (LPARAM)rt->remote)) {
        return false;
    }
    char buffer[513];
    ZeroMemory(buffer, sizeof buffer);
    if (!ReadProcessMemory(rt->process, rt->remote + sizeof it, buffer, 512, NULL)) {
        return false;
    }
    lstrcpynA(out, buffer, size);
    return true;
}

HTREEITEM Next(HWND tree, HTREEITEM item, WPARAM how)
{
    return (HTREEITEM)SendMessageA(tree, TVM_GETNEXTITEM, how, (LPARAM)item);
}

// Whether `text` names the drive `drive` ("C:"): "C:", "C:\", or a label
// such as "Local Disk (C:)".
bool NamesDrive(const char* text, const char* drive)
{
    char a[8];
    char b[8];
    lstrcpynA(a, drive, 3);
    if (lstrcmpiA(text, a) == 0) {
        return true;
    }
    wsprintfA(b, "%s\\", a);
    if (lstrcmpiA(text, b) == 0) {
        return true;
    }
    wsprintfA(b, "(%s)", a);
    int n = lstrlenA(text);
    return n >= 4 && lstrcmpiA(text + n - 4, b) == 0;
}

HTREEITEM FindDrive(RemoteTree* rt, HTREEITEM parent, const char* drive, int depth)
{
    if (parent != NULL) {
        SendMessageA(rt->tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)parent);
    }
    HTREEITEM child = parent == NULL ? Next(rt->tree, NULL, TVGN_ROOT) : Next(rt->tree, parent, TVGN_CHILD);
    for (; child != NULL; child = Next(rt->tree, child, TVGN_NEXT)) {
        char text[520];
        if (ItemText(rt, child, text, sizeof text)) {
            PrintHex("item", text, lstrlenA(text));
            if (NamesDrive(text, drive)) {
                return child;
            }
        }
    }
    if (depth == 0) {
        return NULL;
    }
    child = parent == NULL ? Next(rt->tree, NULL, TVGN_ROOT) : Next(rt->tree, parent, TVGN_CHILD);
    for (; child != NULL; child = Next(rt->tree, child, TVGN_NEXT)) {
        HTREEITEM found = FindDrive(rt, child, drive, depth - 1);
        if (found != NULL) {
            return found;
        }
        SendMessageA(rt->tree, TVM_EXPAND, TVE_COLLAPSE, (LPARAM)child);
    }
    return NULL;
}

int CommandSelect(HWND box, const char* path)
{
    HWND tree = FindChildOfClass(box, WC_TREEVIEWA);
    if (tree == NULL) {
        printf("no_tree\n");
        return 4;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(tree, &pid);
    RemoteTree rt;
    rt.tree = tree;
    rt.process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (rt.process == NULL) {
        printf("no_process\n");
        return 4;
    }
    rt.remote = (char*)VirtualAllocEx(rt.process, NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (rt.remote == NULL) {
        CloseHandle(rt.process);
        printf("no_remote_memory\n");
        return 4;
    }

    int result = 5;
    HTREEITEM item = FindDrive(&rt, NULL, path, 2);
    const char* rest = path + 2;
    while (item != NULL && *rest != '\0') {
        while (*rest == '\\') {
            ++rest;
        }
        if (*rest == '\0') {
            break;
        }
        char component[260];
        int n = 0;
        // A 0x5C after a lead byte is the second byte of a character, such
        // as ソ, not a separator.
        while (rest[n] != '\0' && rest[n] != '\\' && n < 258) {
            if (IsDBCSLeadByte((BYTE)rest[n]) && rest[n + 1] != '\0') {
                component[n] = rest[n];
                ++n;
            }
            component[n] = rest[n];
            ++n;
        }
        component[n] = '\0';
        rest += n;
        SendMessageA(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)item);
        HTREEITEM child = Next(tree, item, TVGN_CHILD);
        for (; child != NULL; child = Next(tree, child, TVGN_NEXT)) {
            char text[520];
            if (ItemText(&rt, child, text, sizeof text)) {
                PrintHex("item", text, lstrlenA(text));
                if (lstrcmpiA(text, component) == 0) {
                    break;
                }
            }
        }
        item = child;
    }
    if (item != NULL) {
        SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)item);
        SendMessageA(tree, TVM_ENSUREVISIBLE, 0, (LPARAM)item);
        HTREEITEM selected = Next(tree, NULL, TVGN_CARET);
        if (selected == item) {
            printf("selected\n");
            result = 0;
        } else {
            printf("not_selected\n");
        }
    } else {
        printf("not_found\n");
    }
    VirtualFreeEx(rt.process, rt.remote, 0, MEM_RELEASE);
    CloseHandle(rt.process);
    return result;
}

DWORD WINAPI ShowSelfTestBox(LPVOID result)
{
    // "ソ表能十\n" in code page 932: each second byte is 0x5C.
    *(int*)result = MessageBoxA(NULL, "\x83\x5c\x95\x5c\x94\x5c\x8f\x5c\n", "boxpilot",
                                MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    return 0;
}

int CommandSelfTest()
{
    int answer = 0;
    HANDLE thread = CreateThread(NULL, 0, ShowSelfTestBox, &answer, 0, NULL);
    if (thread == NULL) {
        printf("no_thread\n");
        return 4;
    }
    char image[MAX_PATH];
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    const char* base = self;
    for (const char* p = self; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            base = p + 1;
        }
    }
    lstrcpynA(image, base, sizeof image);
    int result = CommandFind(60000, image);
    if (result == 0) {
        HWND found[1];
        if (FindDialogs(image, found, 1) > 0) {
            HWND button = NULL;
            for (int id = 1; id <= 11 && button == NULL; ++id) {
                HWND b = GetDlgItem(found[0], id);
                if (b != NULL && (GetWindowLongA(b, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                    button = b;
                }
            }
            if (button != NULL) {
                result = CommandPress(found[0], GetDlgCtrlID(button), 5000);
            }
        }
    }
    if (WaitForSingleObject(thread, 5000) != WAIT_OBJECT_0) {
        printf("box_still_open\n");
        ExitProcess(3);
    }
    CloseHandle(thread);
    printf("answer=%d\n", answer);
    return result;
}

HWND ParseHandle(const char* text)
{
    return (HWND)(ULONG_PTR)strtoul(text, NULL, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "find") == 0) {
        return CommandFind(strtoul(argv[2], NULL, 10), argc >= 4 ? argv[3] : NULL);
    }
    if (argc == 2 && strcmp(argv[1], "list") == 0) {
        return CommandList();
    }
    if (argc >= 4 && strcmp(argv[1], "press") == 0) {
        return CommandPress(ParseHandle(argv[2]), atoi(argv[3]),
                            argc >= 5 ? strtoul(argv[4], NULL, 10) : 5000);
    }
    if (argc == 2 && strcmp(argv[1], "selftest") == 0) {
        return CommandSelfTest();
    }
    if (argc == 2 && strcmp(argv[1], "acp") == 0) {
        printf("%u\n", GetACP());
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "select") == 0) {
        return CommandSelect(ParseHandle(argv[2]), argv[3]);
    }
    fputs("usage: boxpilot find TIMEOUT_MS [IMAGE] | list | press HWND ID [TIMEOUT_MS]"
          " | select HWND PATH | acp | selftest\n", stderr);
    return 1;
}
