// The program's headers come before <windows.h>, whose macros (WM_QUIT, SendMessage, ...) would
// rewrite the program's own names of the same spelling.
#include "serial/com_port.h"
#include "serial/native_dispatcher.h"
#include "serial/port_prompt.h"

#include "app/win32/com_select_form.h"
#include "app/win32/wide_text.h"
#include "app/win32/window_kit.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kavo::win32 {

namespace {

constexpr int kClientWidth = 220;
constexpr int kClientHeight = 131;

struct TDialogState {
    const std::function<bool(int)>* available;
    TComSelectResult result;
    HFONT font = nullptr;
};

// An empty dialog template; the controls are placed in pixels when the dialog starts.
std::vector<std::uint16_t> DialogTemplate() {
    std::vector<std::uint16_t> words(sizeof(DLGTEMPLATE) / 2 + 3, 0);
    auto* dialog = reinterpret_cast<DLGTEMPLATE*>(words.data());
    dialog->style = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    dialog->cdit = 0;
    dialog->cx = 100;
    dialog->cy = 50;
    // The words after the header: no menu, the default dialog class, an empty title.
    return words;
}

std::string SelectedEntry(HWND combo) {
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return {};
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return Narrow(text);
}

void Build(HWND dialog, TDialogState& state) {
    SetText(dialog, "Select Port");
    SetClientSize(dialog, kClientWidth, kClientHeight);
    CentreOnScreen(dialog);
    HDC screen = GetDC(nullptr);
    const int pixels = MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    state.font = MakeFont("MS Sans Serif", pixels, false, {L"Microsoft Sans Serif", L"Tahoma"});
    HFONT font = state.font;

    HWND bevel = AddControl(dialog, L"STATIC", "", SS_ETCHEDFRAME, 8, 8, 201, 42, 0, nullptr);
    HWND label1 = AddControl(dialog, L"STATIC", "The configured serial port is not valid.",
                             SS_LEFT | SS_NOPREFIX, 18, 14, 176, 13, kLabel1, font);
    HWND label2 = AddControl(dialog, L"STATIC", "Please choose another port.",
                             SS_LEFT | SS_NOPREFIX, 18, 30, 133, 13, kLabel2, font);
    const SIZE text1 = TextExtent(label1, TextOf(label1));
    const SIZE text2 = TextExtent(label2, TextOf(label2));
    const int textWidth = std::max(text1.cx, text2.cx);
    const int textHeight = std::max<int>(13, std::max(text1.cy, text2.cy));
    const int extra = PromptExtraWidth(textWidth);
    // The tab order: OK, Cancel, the list.
    HWND ok = AddControl(dialog, L"BUTTON", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 8, 95, 85, 27,
                         kOkBtn, font);
    AddControl(dialog, L"BUTTON", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 124 + extra, 95, 85, 27,
               kAbortBtn, font);
    // The drop-down's height includes its open list.
    HWND combo = AddControl(dialog, L"COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 8,
                            64, 201 + extra, 200, kPortsComboBox, font);
    if (extra > 0) {
        SetClientSize(dialog, kClientWidth + extra, kClientHeight);
        CentreOnScreen(dialog);
        SetWindowPos(bevel, nullptr, 0, 0, 201 + extra, 42, SWP_NOMOVE | SWP_NOZORDER);
    }
    SetWindowPos(label1, nullptr, 0, 0, std::max<int>(176, text1.cx + 4), textHeight,
                 SWP_NOMOVE | SWP_NOZORDER);
    SetWindowPos(label2, nullptr, 0, 0, std::max<int>(133, text2.cx + 4), textHeight,
                 SWP_NOMOVE | SWP_NOZORDER);
    for (const std::string& entry : PromptPortEntries(*state.available))
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(entry).c_str()));
    if (SendMessageW(combo, CB_GETCOUNT, 0, 0) > 0) SendMessageW(combo, CB_SETCURSEL, 0, 0);
    SendMessageW(dialog, DM_SETDEFID, kOkBtn, 0);
    SetFocus(ok);
}

INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<TDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            Build(dialog, *reinterpret_cast<TDialogState*>(lParam));
            return FALSE;  // the focus is set already
        case WM_COMMAND: {
            int result = mrNone;
            switch (LOWORD(wParam)) {
                case kOkBtn: result = mrOk; break;
                case kAbortBtn: result = mrAbort; break;
                case kDialogCancel: result = mrCancel; break;
                default: return FALSE;
            }
            state->result = {result, SelectedEntry(GetDlgItem(dialog, kPortsComboBox))};
            EndDialog(dialog, result);
            return TRUE;
        }
    }
    return FALSE;
}

}  // namespace

TComSelectResult ShowComSelectForm(HWND owner, const std::function<bool(int)>& available) {
    TDialogState state{&available, {}, nullptr};
    const std::vector<std::uint16_t> dialog = DialogTemplate();
    DialogBoxIndirectParamW(Module(), reinterpret_cast<const DLGTEMPLATE*>(dialog.data()), owner,
                            Procedure, reinterpret_cast<LPARAM>(&state));
    if (state.font) DeleteObject(state.font);
    return state.result;
}

void InstallPortPrompt() {
    SetPortPromptHook([]() -> std::optional<int> {
        const TComSelectResult result = ShowComSelectForm(GetActiveWindow(), PortAvailable);
        return PromptAnswer(result.modalResult, result.selectedEntry);
    });
}

}  // namespace kavo::win32
