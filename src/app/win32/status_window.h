// The transfer status window in Win32: six panels of figures, a progress meter and a Cancel
// button, laid out as status/status_layout.h says.
//
// A top-level window with a dialog border and no title-bar buttons that stays on top of other
// windows; fields show their text literally and keep their right edge when the text grows. The
// status component (status/protocol_status.h) drives it; MakeStatusWindow is its factory.
//
// Thread safety: the user-interface thread.
#pragma once

#include "status/protocol_status.h"
#include "status/status_layout.h"

#include <windows.h>

#include <map>
#include <memory>
#include <string>

namespace kavo::win32 {

// The system's window handle, not the message windows of the program's own queue.
using ::HWND;

class TStatusWindow : public TStatusView {
public:
    TStatusWindow();
    ~TStatusWindow() override;

    HWND Handle() const { return window_; }
    // A control by its designed name ("psFileSize", "psCancel", "psMeter", ...); nullptr if none.
    HWND Control(const std::string& name) const;
    // What the meter draws now.
    const TMeterBlocks& MeterDrawn() const { return meterDrawn_; }
    int MeterPosition() const { return meterPosition_; }
    TApdCustomProtocol* Protocol() const { return protocol_; }

    // TStatusDisplayWindow
    TPosition WindowPosition() const override { return position_; }
    void SetWindowPosition(TPosition position) override;
    bool WindowCtl3D() const override { return ctl3D_; }
    void SetWindowCtl3D(bool on) override;
    bool WindowVisible() const override;
    void SetWindowVisible(bool on) override;
    std::string WindowCaption() const override;
    void SetWindowCaption(const std::string& caption) override;
    void SetWindowProtocol(TApdCustomProtocol* protocol) override { protocol_ = protocol; }

    // TStatusView
    void ShowFigures(const TStatusFigures& figures) override;
    void Repaint() override;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK MeterProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void PaintPanels(HDC dc) const;
    void PaintMeter(HWND meter, HDC dc) const;
    void SetValue(std::size_t field, const std::string& text);
    void Place();

    HWND window_ = nullptr;
    std::map<std::string, HWND> controls_;
    HFONT font_ = nullptr;
    HWND values_[kStatusFieldCount] = {};
    HWND statusMsg_ = nullptr;
    HWND meter_ = nullptr;
    HWND cancel_ = nullptr;
    TApdCustomProtocol* protocol_ = nullptr;
    TPosition position_ = TPosition::poDesigned;
    bool ctl3D_ = true;
    int meterPosition_ = 0;
    TMeterBlocks meterDrawn_;
};

std::unique_ptr<TStatusView> MakeStatusWindow();

}  // namespace kavo::win32
