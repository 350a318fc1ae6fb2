// The Win32 "Select Port" dialog under a real window system: its list, its texts and what its
// buttons and keys give back.
#include "serial/errors.h"
#include "serial/port_prompt.h"

#include "app/win32/com_select_form.h"
#include "app/win32/wide_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace kavo::win32 {
namespace {

// Runs `act` on the "Select Port" dialog once it is up, from the dialog's own message loop.
std::function<void(HWND)> pendingAction;

void CALLBACK LookForDialog(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND dialog = FindWindowW(L"#32770", L"Select Port");
    if (!dialog || !IsWindowVisible(dialog) || !pendingAction) return;
    KillTimer(nullptr, timer);
    auto act = std::move(pendingAction);
    pendingAction = nullptr;
    act(dialog);
}

TComSelectResult ShowAndThen(const std::set<int>& ports, std::function<void(HWND)> act) {
    pendingAction = std::move(act);
    SetTimer(nullptr, 0, 20, LookForDialog);
    return ShowComSelectForm(nullptr, [&ports](int n) { return ports.count(n) > 0; });
}

std::vector<std::string> Entries(HWND dialog) {
    HWND combo = GetDlgItem(dialog, kPortsComboBox);
    std::vector<std::string> entries;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t text[32] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        entries.push_back(Narrow(text));
    }
    return entries;
}

void Press(HWND dialog, int id) {
    SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

TEST(Win32PortPrompt, ListsTheExistingPortsAndOkGivesTheSelectedOne) {
    std::vector<std::string> entries;
    LRESULT selected = -1;
    RECT client{};
    LONG_PTR style = 0;
    LRESULT defaultId = 0;
    std::string label1, label2, ok, cancel;
    bool labelsWhole = false;
    const TComSelectResult first = ShowAndThen({1, 3, 7, 51}, [&](HWND dialog) {
        entries = Entries(dialog);
        selected = SendMessageW(GetDlgItem(dialog, kPortsComboBox), CB_GETCURSEL, 0, 0);
        GetClientRect(dialog, &client);
        style = GetWindowLongPtrW(dialog, GWL_STYLE);
        defaultId = LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0));
        label1 = TextOf(GetDlgItem(dialog, kLabel1));
        label2 = TextOf(GetDlgItem(dialog, kLabel2));
        ok = TextOf(GetDlgItem(dialog, kOkBtn));
        cancel = TextOf(GetDlgItem(dialog, kAbortBtn));
        labelsWhole = true;
        for (int id : {kLabel1, kLabel2}) {
            HWND label = GetDlgItem(dialog, id);
            RECT box{};
            GetClientRect(label, &box);
            HDC dc = GetDC(label);
            SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
            SIZE size{};
            const std::wstring text = Widen(TextOf(label));
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
            ReleaseDC(label, dc);
            labelsWhole = labelsWhole && size.cx <= box.right;
        }
        Press(dialog, kOkBtn);
    });
    EXPECT_EQ(entries, (std::vector<std::string>{"COM1", "COM3", "COM7"})) << "51 is above the range";
    EXPECT_EQ(selected, 0);
    EXPECT_GE(client.right, 220);
    EXPECT_EQ(client.bottom, 131);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(defaultId, kOkBtn);
    EXPECT_EQ(label1, "The configured serial port is not valid.");
    EXPECT_EQ(label2, "Please choose another port.");
    EXPECT_EQ(ok, "OK");
    EXPECT_EQ(cancel, "Cancel");
    EXPECT_TRUE(labelsWhole) << "a label's text is cut";
    EXPECT_EQ(first.modalResult, mrOk);
    EXPECT_EQ(first.selectedEntry, "COM1");
    EXPECT_EQ(PromptAnswer(first.modalResult, first.selectedEntry), 1);

    const TComSelectResult third = ShowAndThen({1, 3, 12}, [](HWND dialog) {
        SendMessageW(GetDlgItem(dialog, kPortsComboBox), CB_SETCURSEL, 2, 0);
        Press(dialog, kOkBtn);
    });
    EXPECT_EQ(PromptAnswer(third.modalResult, third.selectedEntry), 12);
}

TEST(Win32PortPrompt, CancelEscapeAndAnEmptyListGiveNoPort) {
    const TComSelectResult cancelled =
        ShowAndThen({4}, [](HWND dialog) { Press(dialog, kAbortBtn); });
    EXPECT_EQ(cancelled.modalResult, mrAbort);
    EXPECT_EQ(PromptAnswer(cancelled.modalResult, cancelled.selectedEntry), std::nullopt);

    const TComSelectResult escaped = ShowAndThen({4}, [](HWND dialog) {
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    EXPECT_EQ(escaped.modalResult, mrCancel);

    const TComSelectResult closed =
        ShowAndThen({4}, [](HWND dialog) { SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); });
    EXPECT_EQ(closed.modalResult, mrCancel);

    const TComSelectResult empty = ShowAndThen({}, [](HWND dialog) { Press(dialog, kOkBtn); });
    EXPECT_EQ(empty.modalResult, mrOk);
    EXPECT_EQ(empty.selectedEntry, "");
    EXPECT_THROW(PromptAnswer(empty.modalResult, empty.selectedEntry), EConvertError);
}

}  // namespace
}  // namespace kavo::win32
