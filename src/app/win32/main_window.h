// The main window in Win32 ("Kavo Serial Download 2.0"): a second view over the download
// sequence (app/download_sequence.h), as the Qt window is the first.
//
// It draws the controls where the layout puts them (client area 511 x 215, silver, "굴림" 13
// pixels, a dialog border without title-bar buttons, centred) and forwards the operator's actions
// to the sequence; the sequence decides everything. The volume broadcasts that every top-level
// window receives (WM_DEVICECHANGE) go to the sequence's USB storage mode with the volume's root
// folder ("G:\").
//
// Thread safety: the user-interface thread.
#pragma once

#include "app/download_sequence.h"
#include "app/main_view.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace kavo::win32 {

using ::HWND;

// The controls, for tests and tools that drive the window (GetDlgItem on the main window).
enum TMainControl : int {
    kGroupBox1 = 101,
    kPortLabel,  // Label1, "포트"
    kCB_PORT,
    kLab_Msg,
    kBT_EXIT,
    kGroupBox2,
    kEDT_FName,
    kBT_FILE,
    kPbar,
    kBT_SEND,
    kCB_USB,
    kCB_DDD,
};

// The window class, so that tests can find the window.
inline constexpr wchar_t kMainWindowClass[] = L"KavoFMain";

class TFMain : public TMainView {
public:
    TFMain();
    ~TFMain() override;
    TFMain(const TFMain&) = delete;
    TFMain& operator=(const TFMain&) = delete;

    // Creates the sequence and runs start-up with the positional arguments.
    void Start(const std::vector<std::string>& arguments);
    void Show();

    HWND Handle() const { return window_; }
    TDownloadSequence& Sequence() { return *sequence_; }

    // TMainView
    void SetPortItems(const std::vector<TPortItem>& items) override;
    std::string PortText() const override;
    void SetPortText(const std::string& text) override;
    void SelectPortItem(int index) override;
    std::string FileName() const override;
    void SetFileName(const std::string& path) override;
    bool UsbChecked() const override;
    void SetUsbChecked(bool on) override;
    bool DddChecked() const override;
    void SetDddChecked(bool on) override;
    void SetMessage(const std::string& text) override;
    void SetProgressMax(int maximum) override;
    void SetProgressPosition(int position) override;
    void SetSendEnabled(bool on) override;
    void SetDialogFolder(const std::string& folder) override;
    std::optional<std::string> ChooseFile() override;
    void ShowErrorBox(const std::string& text) override;
    void CloseWindow() override;
    bool Attended() const override;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void BuildControls();
    void Command(int id, int code);
    void DeviceChange(WPARAM event, LPARAM record);
    void DrawButton(const DRAWITEMSTRUCT& item) const;
    void Forward(void (TDownloadSequence::*handler)());
    HWND Item(int id) const { return GetDlgItem(window_, id); }

    HWND window_ = nullptr;
    HFONT font_ = nullptr;      // "굴림" 13 pixels
    HFONT editFont_ = nullptr;  // "굴림" 12 pixels
    HFONT msgFont_ = nullptr;   // "굴림" 13 pixels, bold
    HBRUSH silver_ = nullptr;
    std::string dialogFolder_;
    std::unique_ptr<TDownloadSequence> sequence_;
    TApdAbstractStatus* status_ = nullptr;
};

}  // namespace kavo::win32
