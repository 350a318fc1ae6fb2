#include "app/win32/status_window.h"

#include "app/win32/wide_text.h"
#include "app/win32/window_kit.h"
#include "status/status_rules.h"
#include "transfer/status_figures.h"

#include <algorithm>

namespace kavo::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"KavoProtocolStatus";
constexpr wchar_t kMeterClass[] = L"KavoMeter";
constexpr int kCancelId = 100;
constexpr int kFirstFieldId = 200;

TStatusWindow* Owner(HWND window) {
    return reinterpret_cast<TStatusWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

TStatusWindow::TStatusWindow() {
    RegisterClassOnce(kWindowClass, Procedure);
    RegisterClassOnce(kMeterClass, MeterProcedure);
    // A caption without a system menu has no title-bar buttons; the frame cannot be resized.
    window_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME, kWindowClass, L"",
                              WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN, 0, 0, 100, 100, nullptr,
                              nullptr, Module(), nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetClientSize(window_, kStatusClientWidth, kStatusClientHeight);
    font_ = MakeFont("Arial", kStatusFontPixels, false, {L"Liberation Sans", L"NanumGothic"});

    auto label = [this](int panel, const char* name, int left, int top, const char* caption) {
        const TStatusPanelLayout& p = kStatusPanels[panel];
        const SIZE size = [&] {
            HWND probe = AddControl(window_, L"STATIC", caption, SS_NOPREFIX, 0, 0, 0, 0, 0, font_);
            SIZE s = TextExtent(probe, caption);
            DestroyWindow(probe);
            return s;
        }();
        controls_[name] = AddControl(window_, L"STATIC", caption, SS_LEFT | SS_NOPREFIX,
                                     p.left + left, p.top + top, size.cx + 1, size.cy, 0, font_);
    };
    for (std::size_t i = 0; i < kStatusFieldCount; ++i) {
        const TStatusFieldLayout& f = kStatusFields[i];
        const TStatusPanelLayout& p = kStatusPanels[f.panel];
        label(f.panel, f.labelName, 8, f.top, f.caption);
        values_[i] = AddControl(window_, L"STATIC", f.placeholder, SS_RIGHT | SS_NOPREFIX,
                                p.left + f.valueLeft, p.top + f.top,
                                kStatusValueRightEdge - f.valueLeft, kStatusFontPixels + 3,
                                kFirstFieldId + static_cast<int>(i), font_);
        controls_[f.valueName] = values_[i];
        SetValue(i, f.placeholder);
    }

    const TStatusPanelLayout& p5 = kStatusPanels[4];
    label(4, kStatusLabel.labelName, kStatusLabel.labelLeft, kStatusLabel.labelTop, kStatusLabel.caption);
    statusMsg_ = AddControl(window_, L"STATIC", "OK", SS_LEFT | SS_NOPREFIX,
                            p5.left + kStatusMsgLeft, p5.top + kStatusMsgTop,
                            p5.width - kStatusMsgLeft - 8, kStatusFontPixels + 3, 0, font_);
    controls_["psStatusMsg"] = statusMsg_;

    const TStatusPanelLayout& p6 = kStatusPanels[5];
    label(5, kProgressLabel.labelName, kProgressLabel.labelLeft, kProgressLabel.labelTop,
          kProgressLabel.caption);
    meter_ = AddControl(window_, kMeterClass, "", 0, p6.left + kMeterLeft, p6.top + kMeterTop,
                        kMeterWidth, kMeterHeight, 0, nullptr);
    SetWindowLongPtrW(meter_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    controls_["psMeter"] = meter_;

    cancel_ = AddControl(window_, L"BUTTON", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, kCancelLeft,
                         kCancelTop, kCancelWidth, kCancelHeight, kCancelId, font_);
    controls_["psCancel"] = cancel_;
    Place();
}

TStatusWindow::~TStatusWindow() {
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        SetWindowLongPtrW(meter_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
    if (font_) DeleteObject(font_);
}

HWND TStatusWindow::Control(const std::string& name) const {
    const auto found = controls_.find(name);
    return found == controls_.end() ? nullptr : found->second;
}

void TStatusWindow::SetValue(std::size_t field, const std::string& text) {
    HWND control = values_[field];
    if (TextOf(control) == text) return;
    SetText(control, text);
    // Keep the right edge; a text wider than the field's designed room extends it to the left.
    const TStatusFieldLayout& f = kStatusFields[field];
    const TStatusPanelLayout& p = kStatusPanels[f.panel];
    const int right = p.left + kStatusValueRightEdge;
    const int needed = static_cast<int>(TextExtent(control, text).cx) + 1;
    const int left = std::max(p.left, std::min(p.left + f.valueLeft, right - needed));
    RECT place{};
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&place), 2);
    SetWindowPos(control, nullptr, left, place.top, right - left, place.bottom - place.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void TStatusWindow::ShowFigures(const TStatusFigures& figures) {
    const TStatusTexts t = StatusTexts(figures);
    for (std::size_t i = 0; i < kStatusFieldCount; ++i) SetValue(i, t.*kStatusFields[i].text);
    SetText(statusMsg_, t.statusMsg);
    meterPosition_ = t.meterPosition;
    const TMeterBlocks next = MeterBlocks(kMeterWidth, 0, 100, meterPosition_, kMeterStep);
    if (!(next == meterDrawn_)) {
        meterDrawn_ = next;
        InvalidateRect(meter_, nullptr, TRUE);
    }
}

void TStatusWindow::Repaint() {
    RedrawWindow(window_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void TStatusWindow::SetWindowPosition(TPosition position) {
    position_ = position;
    if (WindowVisible()) Place();
}

void TStatusWindow::SetWindowCtl3D(bool on) {
    ctl3D_ = on;
    InvalidateRect(window_, nullptr, TRUE);
}

bool TStatusWindow::WindowVisible() const { return IsWindowVisible(window_) != FALSE; }

void TStatusWindow::SetWindowVisible(bool on) {
    if (on && !WindowVisible()) Place();
    // Shown without taking the focus from the main window, as a report shows it mid-transfer.
    ShowWindow(window_, on ? SW_SHOWNOACTIVATE : SW_HIDE);
}

std::string TStatusWindow::WindowCaption() const { return TextOf(window_); }

void TStatusWindow::SetWindowCaption(const std::string& caption) { SetText(window_, caption); }

void TStatusWindow::Place() {
    switch (position_) {
        case TPosition::poDesigned:
        case TPosition::poDefaultSizeOnly:
            SetWindowPos(window_, nullptr, kStatusDesignedLeft, kStatusDesignedTop, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            break;
        case TPosition::poScreenCenter:
        case TPosition::poDesktopCenter:
        case TPosition::poMainFormCenter:
        case TPosition::poOwnerFormCenter:
            CentreOnScreen(window_);
            break;
        case TPosition::poDefault:
        case TPosition::poDefaultPosOnly:
            break;  // the window system places it
    }
}

void TStatusWindow::PaintPanels(HDC dc) const {
    for (const TStatusPanelLayout& p : kStatusPanels) {
        RECT rect{p.left, p.top, p.left + p.width, p.top + p.height};
        DrawEdge(dc, &rect, BDR_RAISEDINNER, ctl3D_ ? BF_RECT : BF_RECT | BF_FLAT | BF_MONO);
    }
}

void TStatusWindow::PaintMeter(HWND meter, HDC dc) const {
    RECT client{};
    GetClientRect(meter, &client);
    const int w = client.right;
    const int h = client.bottom;
    // Lowered bevel: left and top edges in the button shadow, right and bottom in the highlight.
    HPEN shadow = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
    HPEN light = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNHIGHLIGHT));
    HGDIOBJ old = SelectObject(dc, shadow);
    MoveToEx(dc, 0, h - 1, nullptr);
    LineTo(dc, 0, 0);
    LineTo(dc, w - 1, 0);
    SelectObject(dc, light);
    LineTo(dc, w - 1, h - 1);
    LineTo(dc, 0, h - 1);
    SelectObject(dc, old);
    DeleteObject(shadow);
    DeleteObject(light);
    HBRUSH bar = GetSysColorBrush(COLOR_HIGHLIGHT);
    for (const TMeterRect& r : MeterBarRects(h, kMeterStep, meterDrawn_)) {
        RECT block{r.left, r.top, r.left + r.width, r.top + r.height};
        FillRect(dc, &block, bar);
    }
}

LRESULT CALLBACK TStatusWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TStatusWindow* self = Owner(window);
    switch (message) {
        case WM_COMMAND:
            if (self && LOWORD(wParam) == kCancelId && HIWORD(wParam) == BN_CLICKED) {
                CancelStatusTransfer(self->protocol_);
                return 0;
            }
            break;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            if (self) self->PaintPanels(dc);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_CTLCOLORSTATIC:
            // Black text on the button face, as the window's font colour says.
            SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 0));
            SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        case WM_CLOSE:
            return 0;  // no close box; the last report hides the window
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK TStatusWindow::MeterProcedure(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (TStatusWindow* self = Owner(window)) self->PaintMeter(window, dc);
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::unique_ptr<TStatusView> MakeStatusWindow() { return std::make_unique<TStatusWindow>(); }

}  // namespace kavo::win32
