// boxprobe: reads an exception box of another process the way an accessibility tool
// would, through window messages only, so the box tests never see the box's variables.
//   boxprobe dump [SECONDS]  waits for a visible box, then prints it:
//     box HWND X Y W H CLIENT-X CLIENT-Y CLIENT-W CLIENT-H TITLE
//     child CLASS ENABLED X Y W H TEXT       (screen coordinates; CR and LF as \r, \n)
//     focus TEXT                             (the window with the keyboard focus)
//     tab INDEX X Y W H CAPTION              (items of a tab control)
//     column CAPTION / row CELL<TAB>CELL...  (the visible list view)
//   boxprobe gone [SECONDS]  exit 0 once no box is left
//   boxprobe kill            ends every process that shows a box (cleanup after a failure)
// Exit 3: no box in time.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Memory inside the box's process for the messages that carry pointers.
class TRemoteBuffer {
public:
    TRemoteBuffer(HWND window, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ =
            OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_)
            memory_ =
                VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~TRemoteBuffer() {
        if (memory_) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    TRemoteBuffer(const TRemoteBuffer&) = delete;
    TRemoteBuffer& operator=(const TRemoteBuffer&) = delete;
    bool Ok() const { return memory_ != nullptr; }
    char* At(size_t offset) const { return static_cast<char*>(memory_) + offset; }
    bool Write(size_t offset, const void* data, size_t size) const {
        return offset + size <= size_ &&
               WriteProcessMemory(process_, At(offset), data, size, nullptr);
    }
    bool Read(size_t offset, void* data, size_t size) const {
        return offset + size <= size_ &&
               ReadProcessMemory(process_, At(offset), data, size, nullptr);
    }

private:
    HANDLE process_ = nullptr;
    void* memory_ = nullptr;
    size_t size_;
};

std::string ClassOf(HWND w) {
    char name[64] = {};
    GetClassNameA(w, name, sizeof name);
    return name;
}

std::string TextOf(HWND w) {
    char text[1024] = {};
    // WM_GETTEXT is copied between processes by the system.
    SendMessageTimeoutA(w, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        2000, nullptr);
    std::string s;
    for (const char* c = text; *c; ++c)
        s += *c == '\r' ? std::string("\\r") : *c == '\n' ? std::string("\\n") : std::string(1, *c);
    return s;
}

// The exception box unless the command line names another window class (the assistant's).
const char* g_boxClass = "qixExceptWndClass";

HWND FindBox() {
    HWND box = FindWindowA(g_boxClass, nullptr);
    return box && IsWindowVisible(box) ? box : nullptr;
}

void PrintRect(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    std::printf("%ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
}

void DumpTabs(HWND tabs) {
    const int count = static_cast<int>(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0));
    TRemoteBuffer remote(tabs, 4096);
    if (!remote.Ok()) return;
    for (int i = 0; i < count; ++i) {
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = remote.At(512);
        item.cchTextMax = 256;
        remote.Write(0, &item, sizeof item);
        SendMessageA(tabs, TCM_GETITEMA, i, reinterpret_cast<LPARAM>(remote.At(0)));
        char caption[256] = {};
        remote.Read(512, caption, sizeof caption - 1);
        SendMessageA(tabs, TCM_GETITEMRECT, i, reinterpret_cast<LPARAM>(remote.At(1024)));
        RECT r{};
        remote.Read(1024, &r, sizeof r);
        MapWindowPoints(tabs, nullptr, reinterpret_cast<POINT*>(&r), 2);
        std::printf("tab %d %ld %ld %ld %ld %s\n", i, r.left, r.top, r.right - r.left,
                    r.bottom - r.top, caption);
    }
}

void DumpList(HWND list) {
    TRemoteBuffer remote(list, 4096);
    if (!remote.Ok()) return;
    HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    const int columns = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    for (int c = 0; c < columns; ++c) {
        LVCOLUMNA column{};
        column.mask = LVCF_TEXT;
        column.pszText = remote.At(512);
        column.cchTextMax = 1024;
        remote.Write(0, &column, sizeof column);
        SendMessageA(list, LVM_GETCOLUMNA, c, reinterpret_cast<LPARAM>(remote.At(0)));
        char caption[256] = {};
        remote.Read(512, caption, sizeof caption - 1);
        std::printf("column %s\n", caption);
    }
    const int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < rows; ++r) {
        std::string line = "row ";
        for (int c = 0; c < columns; ++c) {
            LVITEMA item{};
            item.iSubItem = c;
            item.pszText = remote.At(512);
            item.cchTextMax = 2048;
            remote.Write(0, &item, sizeof item);
            SendMessageA(list, LVM_GETITEMTEXTA, r, reinterpret_cast<LPARAM>(remote.At(0)));
            char cell[2048] = {};
            remote.Read(512, cell, sizeof cell - 1);
            if (c) line += '\t';
            line += cell;
        }
        std::printf("%s\n", line.c_str());
    }
}

BOOL CALLBACK DumpChild(HWND child, LPARAM) {
    const std::string cls = ClassOf(child);
    std::printf("child %s %d ", cls.c_str(), IsWindowEnabled(child) ? 1 : 0);
    PrintRect(child);
    std::printf(" %s\n", TextOf(child).c_str());
    return TRUE;
}

BOOL CALLBACK DumpContent(HWND child, LPARAM) {
    const std::string cls = ClassOf(child);
    if (cls == "SysTabControl32") DumpTabs(child);
    if (cls == "SysListView32" && IsWindowVisible(child)) DumpList(child);
    return TRUE;
}

bool WaitFor(bool wantBox, int seconds) {
    const DWORD until = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
    for (;;) {
        if ((FindBox() != nullptr) == wantBox) return true;
        if (static_cast<int>(until - GetTickCount()) < 0) return false;
        Sleep(100);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "dump";
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    if (argc > 3) g_boxClass = argv[3];
    if (command == "gone") return WaitFor(false, seconds) ? 0 : 3;
    if (command == "kill") {
        for (HWND box; (box = FindWindowA(g_boxClass, nullptr));) {
            DWORD pid = 0;
            GetWindowThreadProcessId(box, &pid);
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (!process) return 3;
            TerminateProcess(process, 9);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
        return 0;
    }
    if (!WaitFor(true, seconds)) return 3;
    Sleep(300); // the box is shown once its layout is done; let it paint
    HWND box = FindBox();
    if (!box) return 3;
    RECT client;
    GetClientRect(box, &client);
    MapWindowPoints(box, nullptr, reinterpret_cast<POINT*>(&client), 2);
    std::printf("box %p ", static_cast<void*>(box));
    PrintRect(box);
    std::printf(" %ld %ld %ld %ld %s\n", client.left, client.top, client.right - client.left,
                client.bottom - client.top, TextOf(box).c_str());
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &gui) && gui.hwndFocus)
        std::printf("focus %s\n", TextOf(gui.hwndFocus).c_str());
    EnumChildWindows(box, DumpChild, 0);
    EnumChildWindows(box, DumpContent, 0);
    std::fflush(stdout);
    return 0;
}
