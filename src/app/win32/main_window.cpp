// The program's headers come before <windows.h>, whose macros (SendMessage, WM_QUIT, ...) would
// rewrite the program's own names of the same spelling.
#include "app/download_sequence.h"
#include "app/win32_volume_watcher.h"
#include "status/protocol_status.h"

#include "app/win32/main_window.h"
#include "app/win32/status_window.h"
#include "app/win32/wide_text.h"
#include "app/win32/window_kit.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cwchar>

namespace kavo::win32 {

namespace {

constexpr int kClientWidth = 511;
constexpr int kClientHeight = 215;
constexpr COLORREF kSilver = RGB(0xC0, 0xC0, 0xC0);
constexpr COLORREF kDisabledText = RGB(0x80, 0x80, 0x80);
const std::string kGulim = "굴림";
// Where "굴림" is missing (a system without the Korean fonts), a Hangul font of the system.
const std::initializer_list<const wchar_t*> kHangulFallbacks{L"Gulim", L"Malgun Gothic",
                                                              L"NanumGothic", L"Batang"};

// Controls of the two group frames stand at the frame's place plus their own.
constexpr int kGroup1Left = 8, kGroup1Top = 8;
constexpr int kGroup2Left = 8, kGroup2Top = 80;

// The buttons' pictures, drawn into a 32 x 32 square at (left, top).
void DrawExitPicture(HDC dc, int left, int top, int size) {
    const int inset = size * 3 / 32;
    HBRUSH red = CreateSolidBrush(RGB(210, 40, 40));
    HPEN rim = CreatePen(PS_SOLID, 1, RGB(120, 0, 0));
    HGDIOBJ oldBrush = SelectObject(dc, red);
    HGDIOBJ oldPen = SelectObject(dc, rim);
    Ellipse(dc, left + inset, top + inset, left + size - inset, top + size - inset);
    HPEN cross = CreatePen(PS_SOLID, std::max(2, size / 9), RGB(255, 255, 255));
    SelectObject(dc, cross);
    const int a = size * 11 / 32, b = size * 21 / 32;
    MoveToEx(dc, left + a, top + a, nullptr);
    LineTo(dc, left + b, top + b);
    MoveToEx(dc, left + b, top + a, nullptr);
    LineTo(dc, left + a, top + b);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(red);
    DeleteObject(rim);
    DeleteObject(cross);
}

void DrawPolygon(HDC dc, const POINT* points, int count, COLORREF fill, COLORREF edge) {
    HBRUSH brush = CreateSolidBrush(fill);
    HPEN pen = CreatePen(PS_SOLID, 1, edge);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldPen = SelectObject(dc, pen);
    Polygon(dc, points, count);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(brush);
    DeleteObject(pen);
}

void DrawFilePicture(HDC dc, int x, int y) {
    const POINT back[] = {{x + 3, y + 8},   {x + 12, y + 8},  {x + 15, y + 11},
                          {x + 29, y + 11}, {x + 29, y + 27}, {x + 3, y + 27}};
    DrawPolygon(dc, back, 6, RGB(230, 180, 40), RGB(140, 100, 0));
    const POINT front[] = {{x + 3, y + 27}, {x + 7, y + 15}, {x + 31, y + 15}, {x + 29, y + 27}};
    DrawPolygon(dc, front, 4, RGB(250, 210, 80), RGB(140, 100, 0));
}

void DrawSendPicture(HDC dc, int x, int y) {
    // The terminal: a grey pad with a screen; then the arrow towards it.
    const POINT pad[] = {{x + 15, y + 4}, {x + 30, y + 4}, {x + 30, y + 28}, {x + 15, y + 28}};
    DrawPolygon(dc, pad, 4, RGB(190, 190, 190), RGB(60, 60, 60));
    const POINT screen[] = {{x + 18, y + 7}, {x + 27, y + 7}, {x + 27, y + 16}, {x + 18, y + 16}};
    DrawPolygon(dc, screen, 4, RGB(90, 150, 220), RGB(60, 60, 60));
    const POINT arrow[] = {{x + 2, y + 13},  {x + 11, y + 13}, {x + 11, y + 8}, {x + 19, y + 17},
                           {x + 11, y + 26}, {x + 11, y + 21}, {x + 2, y + 21}};
    DrawPolygon(dc, arrow, 7, RGB(40, 170, 60), RGB(0, 90, 0));
}

TFMain* Owner(HWND window) {
    return reinterpret_cast<TFMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

TFMain::TFMain() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    RegisterClassOnce(kMainWindowClass, Procedure);
    silver_ = CreateSolidBrush(kSilver);
    font_ = MakeFont(kGulim, 13, false, kHangulFallbacks);
    editFont_ = MakeFont(kGulim, 12, false, kHangulFallbacks);
    msgFont_ = MakeFont(kGulim, 13, true, kHangulFallbacks);
    // A caption without a system menu: no title-bar buttons at all, so the exit button is the way
    // out; a dialog frame that cannot be resized.
    window_ = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kMainWindowClass,
                              Widen("Kavo Serial Download 2.0").c_str(),
                              WS_POPUP | WS_CAPTION, 0, 0, 100, 100, nullptr,
                              nullptr, Module(), nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetClientSize(window_, kClientWidth, kClientHeight);
    CentreOnScreen(window_);
    BuildControls();
}

TFMain::~TFMain() {
    // The sequence saves the settings from the controls, so it goes while they are still there.
    sequence_.reset();
    if (IsWindow(window_)) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(font_), static_cast<HGDIOBJ>(editFont_),
                           static_cast<HGDIOBJ>(msgFont_), static_cast<HGDIOBJ>(silver_)})
        if (object) DeleteObject(object);
}

void TFMain::BuildControls() {
    HWND w = window_;
    AddControl(w, L"BUTTON", " 연결 ", BS_GROUPBOX, kGroup1Left, kGroup1Top, 489, 65, kGroupBox1,
               font_);
    AddControl(w, L"STATIC", "포트", SS_LEFT, kGroup1Left + 24, kGroup1Top + 24, 30, 15, kPortLabel,
               font_);
    // An editable drop-down; its height includes the open list.
    AddControl(w, L"COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP,
               kGroup1Left + 71, kGroup1Top + 20, 41, 200, kCB_PORT, font_);
    AddControl(w, L"STATIC", "", SS_LEFT | SS_NOPREFIX, kGroup1Left + 144, kGroup1Top + 25, 230, 16,
               kLab_Msg, msgFont_);
    AddControl(w, L"BUTTON", "종료", BS_OWNERDRAW | WS_TABSTOP, kGroup1Left + 384,
               kGroup1Top + 17, 85, 34, kBT_EXIT, font_);

    AddControl(w, L"BUTTON", " 파일선택 ", BS_GROUPBOX, kGroup2Left, kGroup2Top, 489, 73,
               kGroupBox2, font_);
    AddControl(w, L"EDIT", "", ES_AUTOHSCROLL | WS_TABSTOP, kGroup2Left + 15, kGroup2Top + 23, 426,
               18, kEDT_FName, editFont_, WS_EX_CLIENTEDGE);
    AddControl(w, L"BUTTON", "", BS_OWNERDRAW | WS_TABSTOP, kGroup2Left + 448, kGroup2Top + 24, 33,
               33, kBT_FILE, font_);
    // Pbar is never shown.
    HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, kGroup2Left + 16, kGroup2Top + 53,
                               425, 12, w, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPbar)),
                               Module(), nullptr);
    SendMessageW(bar, PBM_SETRANGE32, 0, 100);

    AddControl(w, L"BUTTON", "  전     송", BS_OWNERDRAW | WS_TABSTOP, 244, 161, 129, 41, kBT_SEND,
               font_);
    AddControl(w, L"BUTTON", "USB Mode", BS_AUTOCHECKBOX | WS_DISABLED, 16, 176, 97, 17, kCB_USB,
               font_);
    AddControl(w, L"BUTTON", "DDD Start", BS_AUTOCHECKBOX | WS_TABSTOP, 120, 176, 97, 17, kCB_DDD,
               font_);
}

void TFMain::Start(const std::vector<std::string>& arguments) {
    sequence_ = std::make_unique<TDownloadSequence>(*this, [this](TComponent* owner) {
        status_ = new TApdProtocolStatus(owner, MakeStatusWindow);
        return status_;
    });
    sequence_->SetOnClosed([] { ::PostQuitMessage(0); });
    sequence_->FormCreate(arguments);
}

void TFMain::Show() {
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
}

void TFMain::Forward(void (TDownloadSequence::*handler)()) {
    if (!sequence_) return;
    sequence_->Guard([this, handler] { ((*sequence_).*handler)(); });
}

// --- the view ------------------------------------------------------------------------------

void TFMain::SetPortItems(const std::vector<TPortItem>& items) {
    HWND box = Item(kCB_PORT);
    SendMessageW(box, CB_RESETCONTENT, 0, 0);
    for (const TPortItem& item : items)
        SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(item.text).c_str()));
}

std::string TFMain::PortText() const { return TextOf(Item(kCB_PORT)); }

void TFMain::SetPortText(const std::string& text) { SetText(Item(kCB_PORT), text); }

void TFMain::SelectPortItem(int index) {
    HWND box = Item(kCB_PORT);
    if (SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(index), 0) == CB_ERR)
        SetText(box, "");
}

std::string TFMain::FileName() const { return TextOf(Item(kEDT_FName)); }

void TFMain::SetFileName(const std::string& path) { SetText(Item(kEDT_FName), path); }

bool TFMain::UsbChecked() const {
    return SendMessageW(Item(kCB_USB), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TFMain::SetUsbChecked(bool on) {
    SendMessageW(Item(kCB_USB), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TFMain::DddChecked() const {
    return SendMessageW(Item(kCB_DDD), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TFMain::SetDddChecked(bool on) {
    SendMessageW(Item(kCB_DDD), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TFMain::SetMessage(const std::string& text) {
    SetText(Item(kLab_Msg), text);
    // Repaint now: a nested wait may follow before the loop would get to it.
    UpdateWindow(Item(kLab_Msg));
}

void TFMain::SetProgressMax(int maximum) {
    SendMessageW(Item(kPbar), PBM_SETRANGE32, 0, maximum);
}

void TFMain::SetProgressPosition(int position) {
    SendMessageW(Item(kPbar), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void TFMain::SetSendEnabled(bool on) {
    EnableWindow(Item(kBT_SEND), on);
    EnableWindow(Item(kCB_PORT), on);
}

void TFMain::SetDialogFolder(const std::string& folder) { dialogFolder_ = folder; }

std::optional<std::string> TFMain::ChooseFile() {
    std::wstring path(32768, L'\0');
    const std::wstring folder = Widen(dialogFolder_);
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    // One filter: described as "*.* ", matching every file.
    dialog.lpstrFilter = L"*.* \0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = static_cast<DWORD>(path.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR |
                   OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&dialog)) return std::nullopt;
    path.resize(wcslen(path.c_str()));
    return Narrow(path);
}

void TFMain::ShowErrorBox(const std::string& text) {
    MessageBoxW(window_, Widen(text).c_str(), L"KavoDown", MB_OK | MB_ICONERROR);
}

void TFMain::CloseWindow() {
    if (IsWindow(window_)) ShowWindow(window_, SW_HIDE);
}

bool TFMain::Attended() const { return IsWindowVisible(window_) && !IsIconic(window_); }

// --- messages ------------------------------------------------------------------------------

void TFMain::Command(int id, int code) {
    switch (id) {
        case kBT_SEND:
            if (code == BN_CLICKED) Forward(&TDownloadSequence::BT_SENDClick);
            break;
        case kBT_EXIT:
            if (code == BN_CLICKED) Forward(&TDownloadSequence::BT_EXITClick);
            break;
        case kBT_FILE:
            if (code == BN_CLICKED) Forward(&TDownloadSequence::BT_FILEClick);
            break;
        case kCB_PORT:
            if (code == CBN_EDITCHANGE) {
                Forward(&TDownloadSequence::CB_PORTChange);
            } else if (code == CBN_SELCHANGE) {
                // The box shows the chosen entry only after this notice: show it now, so that
                // the sequence reads the new text. Choosing the entry it shows changes nothing.
                HWND box = Item(kCB_PORT);
                const LRESULT index = SendMessageW(box, CB_GETCURSEL, 0, 0);
                if (index == CB_ERR) break;
                std::wstring text(static_cast<std::size_t>(SendMessageW(box, CB_GETLBTEXTLEN,
                                                                        static_cast<WPARAM>(index), 0)) + 1,
                                  L'\0');
                SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(index),
                             reinterpret_cast<LPARAM>(text.data()));
                text.resize(wcslen(text.c_str()));
                SetWindowTextW(box, text.c_str());
                if (sequence_ && Narrow(text) != sequence_->AppliedPortText())
                    Forward(&TDownloadSequence::CB_PORTChange);
            }
            break;
    }
}

void TFMain::DeviceChange(WPARAM event, LPARAM record) {
    const std::optional<TVolumeNotice> notice = VolumeBroadcastNotice(event, record);
    if (!notice || !sequence_) return;
    sequence_->Guard([this, notice] { sequence_->DeviceChange(notice->event, notice->rootFolder); });
}

void TFMain::DrawButton(const DRAWITEMSTRUCT& item) const {
    HDC dc = item.hDC;
    RECT face = item.rcItem;
    const bool pushed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    DrawFrameControl(dc, &face, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
    const int shift = pushed ? 1 : 0;
    const int height = face.bottom - face.top;
    const std::string caption = TextOf(item.hwndItem);
    if (item.CtlID == kBT_FILE) {
        DrawFilePicture(dc, face.left + 1 + shift, face.top + 1 + shift);
    } else {
        // The picture on the left, the caption beside it.
        const int pictureSize = item.CtlID == kBT_EXIT ? 24 : 32;
        const int x = face.left + 6 + shift;
        const int y = face.top + (height - pictureSize) / 2 + shift;
        if (item.CtlID == kBT_EXIT) DrawExitPicture(dc, x, y, pictureSize);
        else DrawSendPicture(dc, x, y);
        RECT text{x + pictureSize + 2, face.top + shift, face.right - 4 + shift, face.bottom + shift};
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, disabled ? kDisabledText : GetSysColor(COLOR_BTNTEXT));
        HGDIOBJ old = SelectObject(dc, font_);
        const std::wstring wide = Widen(caption);
        DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &text,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
    }
    if (item.itemState & ODS_FOCUS) {
        RECT focus = face;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(dc, &focus);
    }
}

LRESULT TFMain::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            Command(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_DEVICECHANGE:
            DeviceChange(wParam, lParam);
            return TRUE;
        case WM_DRAWITEM:
            DrawButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            HWND control = reinterpret_cast<HWND>(lParam);
            SetBkColor(dc, kSilver);
            if (control == Item(kLab_Msg)) SetTextColor(dc, RGB(255, 0, 0));
            else if (!IsWindowEnabled(control)) SetTextColor(dc, kDisabledText);
            else SetTextColor(dc, RGB(0, 0, 0));
            return reinterpret_cast<LRESULT>(silver_);
        }
        case WM_CLOSE:
            // There is no close box, but the system may close the window all the same: it goes
            // the way the sequence's own close goes.
            if (sequence_) sequence_->Close();
            return 0;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

LRESULT CALLBACK TFMain::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ERASEBKGND) {
        RECT area;
        GetClientRect(window, &area);
        FillRect(reinterpret_cast<HDC>(wParam), &area,
                 reinterpret_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH)));
        return TRUE;
    }
    if (TFMain* self = Owner(window)) return self->OnMessage(message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kavo::win32
