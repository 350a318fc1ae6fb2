// kavo-window-driver.exe: drives kavodown.exe's windows from outside, as an operator would, for
// the end-to-end tests under Wine (tests/e2e/wine). It runs its steps in order and prints what
// they read on the standard output, one line each, fields separated by tabs, texts in UTF-8:
//
//   main            waits for the main window; prints "window", its caption, its client size,
//                   whether it has a system menu (title-bar buttons) and whether it is centred
//                   on the work area, then "control" lines: name, visible, enabled, checked, text
//   port:<n>        chooses the entry <n> in the port box (as a click in its list does), or types
//                   <n> into the box when the list has no such entry
//   file:<path>     types <path> into the file field
//   click:<name>    presses a button of the main window (BT_SEND, BT_EXIT, BT_FILE)
//   status          waits for the status window; prints "status", its caption, then "field"
//                   lines of its texts in the order of the window
//   cancel          presses the status window's Cancel
//   prompt:<entry>  waits for the port prompt, prints "prompt" and its entries, chooses <entry>
//                   and presses OK
//   shot:<path>     writes the whole screen to <path> as a 24-bit BMP (for a person to look at)
//   arrive:<letter> broadcasts to all top-level windows that the volume of drive <letter> has
//   remove:<letter> arrived, or has been removed, as the system does (WM_DEVICECHANGE)
//
// Each wait gives up after 60 s; the program then ends with 1 and says which step failed.
#include "app/win32/com_select_form.h"
#include "app/win32/main_window.h"
#include "app/win32/wide_text.h"

#include <dbt.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace kavo::win32;

struct TControlName {
    const char* name;
    int id;
};

constexpr TControlName kControls[] = {
    {"GroupBox1", kGroupBox1}, {"Label1", kPortLabel}, {"CB_PORT", kCB_PORT},
    {"Lab_Msg", kLab_Msg},     {"BT_EXIT", kBT_EXIT},  {"GroupBox2", kGroupBox2},
    {"EDT_FName", kEDT_FName}, {"BT_FILE", kBT_FILE},  {"Pbar", kPbar},
    {"BT_SEND", kBT_SEND},     {"CB_USB", kCB_USB},    {"CB_DDD", kCB_DDD},
};

void Print(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The first visible top-level window of `className` (any class when null) and `caption` (any
// caption when null), within 60 s.
HWND WaitForWindow(const wchar_t* className, const wchar_t* caption) {
    for (int tries = 0; tries < 600; ++tries) {
        HWND window = FindWindowW(className, caption);
        if (window && IsWindowVisible(window)) return window;
        Sleep(100);
    }
    return nullptr;
}

std::string Flag(bool on) { return on ? "1" : "0"; }

// The text of a control of another process: GetWindowText would give only the title the system
// keeps, not what an edit field or a combo box holds.
std::string Text(HWND window) {
    std::wstring text(4096, L'\0');
    const LRESULT length = SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    return Narrow(text);
}

bool DescribeMain() {
    HWND main = WaitForWindow(kMainWindowClass, nullptr);
    if (!main) return false;
    RECT client{}, frame{}, work{};
    GetClientRect(main, &client);
    GetWindowRect(main, &frame);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const LONG style = GetWindowLongW(main, GWL_STYLE);
    const int dx = (frame.left - work.left) - (work.right - frame.right);
    const int dy = (frame.top - work.top) - (work.bottom - frame.bottom);
    const bool centred = dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1;
    Print({"window", Text(main), std::to_string(client.right) + "x" + std::to_string(client.bottom),
           Flag(style & WS_SYSMENU), Flag(centred)});
    for (const TControlName& control : kControls) {
        HWND item = GetDlgItem(main, control.id);
        const bool checked = SendMessageW(item, BM_GETCHECK, 0, 0) == BST_CHECKED;
        Print({"control", control.name, Flag(IsWindowVisible(item)), Flag(IsWindowEnabled(item)),
               Flag(checked), Text(item)});
    }
    return true;
}

bool ChoosePort(const std::string& entry) {
    HWND main = WaitForWindow(kMainWindowClass, nullptr);
    if (!main) return false;
    HWND box = GetDlgItem(main, kCB_PORT);
    const LRESULT index = SendMessageW(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(Widen(entry).c_str()));
    if (index != CB_ERR) {
        SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        // A click in the list tells the window; choosing by message does not.
        SendMessageW(main, WM_COMMAND, MAKEWPARAM(kCB_PORT, CBN_SELCHANGE), reinterpret_cast<LPARAM>(box));
    } else {
        // A number the list does not hold is typed into the box.
        const std::wstring wide = Widen(entry);
        SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
        SendMessageW(main, WM_COMMAND, MAKEWPARAM(kCB_PORT, CBN_EDITCHANGE), reinterpret_cast<LPARAM>(box));
    }
    return true;
}

bool TypeFile(const std::string& path) {
    HWND main = WaitForWindow(kMainWindowClass, nullptr);
    if (!main) return false;
    // SetWindowText cannot reach a control of another process.
    const std::wstring wide = Widen(path);
    SendMessageW(GetDlgItem(main, kEDT_FName), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    return true;
}

bool Click(const std::string& name) {
    HWND main = WaitForWindow(kMainWindowClass, nullptr);
    for (const TControlName& control : kControls) {
        if (main && name == control.name) {
            // Posted: the press starts the send sequence, which waits in nested loops.
            PostMessageW(GetDlgItem(main, control.id), BM_CLICK, 0, 0);
            return true;
        }
    }
    return false;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}

std::vector<HWND> Children(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

HWND StatusWindow() { return WaitForWindow(L"KavoProtocolStatus", nullptr); }

bool DescribeStatus() {
    HWND status = StatusWindow();
    if (!status) return false;
    Print({"status", Text(status)});
    for (HWND child : Children(status)) Print({"field", Text(child)});
    return true;
}

bool CancelTransfer() {
    HWND status = StatusWindow();
    if (!status) return false;
    for (HWND child : Children(status)) {
        if (Text(child) == "Cancel") {
            PostMessageW(child, BM_CLICK, 0, 0);
            return true;
        }
    }
    return false;
}

bool AnswerPrompt(const std::string& entry) {
    HWND dialog = WaitForWindow(L"#32770", L"Select Port");
    if (!dialog) return false;
    HWND combo = GetDlgItem(dialog, kPortsComboBox);
    std::vector<std::string> fields{"prompt"};
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[32] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        fields.push_back(Narrow(text));
    }
    Print(fields);
    const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(Widen(entry).c_str()));
    if (index == CB_ERR) return false;
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    PostMessageW(GetDlgItem(dialog, kOkBtn), BM_CLICK, 0, 0);
    return true;
}

bool WriteScreen(const std::string& path) {
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    const DWORD rowBytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageBytes;
    bool written = false;
    if (std::FILE* out = _wfopen(Widen(path).c_str(), L"wb")) {
        written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                  std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
                  std::fwrite(bits, imageBytes, 1, out) == 1;
        written = std::fclose(out) == 0 && written;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

// A volume broadcast as the system sends it when a drive comes or goes: sent, not posted, so that
// the record travels to the other processes' windows with the message.
bool BroadcastVolume(WPARAM event, const std::string& letter) {
    if (letter.size() != 1 || !std::isalpha(static_cast<unsigned char>(letter[0]))) return false;
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (std::toupper(static_cast<unsigned char>(letter[0])) - 'A');
    DWORD recipients = BSM_APPLICATIONS;
    return BroadcastSystemMessageW(BSF_QUERY | BSF_FORCEIFHUNG | BSF_IGNORECURRENTTASK, &recipients,
                                   WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume)) > 0;
}

bool Step(const std::string& step) {
    const std::size_t colon = step.find(':');
    const std::string verb = step.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : step.substr(colon + 1);
    if (verb == "main") return DescribeMain();
    if (verb == "port") return ChoosePort(value);
    if (verb == "file") return TypeFile(value);
    if (verb == "click") return Click(value);
    if (verb == "status") return DescribeStatus();
    if (verb == "cancel") return CancelTransfer();
    if (verb == "prompt") return AnswerPrompt(value);
    if (verb == "shot") return WriteScreen(value);
    if (verb == "arrive") return BroadcastVolume(DBT_DEVICEARRIVAL, value);
    if (verb == "remove") return BroadcastVolume(DBT_DEVICEREMOVECOMPLETE, value);
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string step = Narrow(argv[i]);
        if (!Step(step)) {
            std::fprintf(stderr, "kavo-window-driver: step %s failed\n", step.c_str());
            return 1;
        }
    }
    return 0;
}
