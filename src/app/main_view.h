// What the download sequence needs of a main window, whatever toolkit draws it.
//
// The sequence (download_sequence.h) decides everything; a view only shows what it is told and
// forwards the operator's actions to the sequence's handlers (BT_SENDClick, CB_PORTChange, ...).
// The controls keep their roles: the port box CB_PORT (an editable list of port numbers), the
// file field EDT_FName, the check boxes CB_USB and CB_DDD, the message line Lab_Msg, the hidden
// progress bar Pbar, the send button BT_SEND and the file dialog OpenDialog1.
//
// A run without a window uses a view that shows nothing (TNoView) or one that records.
//
// Thread safety: the user-interface thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kavo {

// One entry of the port box: the number as text, and the device it stands for (shown as a hint).
struct TPortItem {
    std::string text;
    std::string device;
};

class TMainView {
public:
    virtual ~TMainView() = default;

    // CB_PORT: its entries, the text it shows, and selecting an entry (-1: none, empty text).
    virtual void SetPortItems(const std::vector<TPortItem>& items) = 0;
    virtual std::string PortText() const = 0;
    virtual void SetPortText(const std::string& text) = 0;
    virtual void SelectPortItem(int index) = 0;
    // EDT_FName.
    virtual std::string FileName() const = 0;
    virtual void SetFileName(const std::string& path) = 0;
    // CB_USB and CB_DDD.
    virtual bool UsbChecked() const = 0;
    virtual void SetUsbChecked(bool on) = 0;
    virtual bool DddChecked() const = 0;
    virtual void SetDddChecked(bool on) = 0;
    // Lab_Msg.
    virtual void SetMessage(const std::string& text) = 0;
    // Pbar (never shown): its maximum and its position, which never passes the maximum here.
    virtual void SetProgressMax(int maximum) = 0;
    virtual void SetProgressPosition(int position) = 0;
    // BT_SEND and CB_PORT take input, or not while a send sequence runs.
    virtual void SetSendEnabled(bool on) = 0;
    // OpenDialog1: its start folder, and asking for a file (nothing when the operator cancels).
    virtual void SetDialogFolder(const std::string& folder) = 0;
    virtual std::optional<std::string> ChooseFile() = 0;
    // The application's error display (a message box): only called while Attended().
    virtual void ShowErrorBox(const std::string& text) = 0;
    // The window goes away (the sequence has run FormClose).
    virtual void CloseWindow() = 0;
    // Whether anyone can see the window: no dialog may wait for an answer otherwise.
    virtual bool Attended() const = 0;
};

// The view of a run without a window: it keeps the few values the sequence reads back.
class TNoView : public TMainView {
public:
    void SetPortItems(const std::vector<TPortItem>& items) override { items_ = items; }
    std::string PortText() const override { return portText_; }
    void SetPortText(const std::string& text) override { portText_ = text; }
    void SelectPortItem(int index) override {
        const bool valid = index >= 0 && index < static_cast<int>(items_.size());
        portText_ = valid ? items_[static_cast<std::size_t>(index)].text : std::string();
    }
    std::string FileName() const override { return fileName_; }
    void SetFileName(const std::string& path) override { fileName_ = path; }
    bool UsbChecked() const override { return usb_; }
    void SetUsbChecked(bool on) override { usb_ = on; }
    bool DddChecked() const override { return ddd_; }
    void SetDddChecked(bool on) override { ddd_ = on; }
    void SetMessage(const std::string&) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetSendEnabled(bool) override {}
    void SetDialogFolder(const std::string&) override {}
    std::optional<std::string> ChooseFile() override { return std::nullopt; }
    void ShowErrorBox(const std::string&) override {}
    void CloseWindow() override {}
    bool Attended() const override { return false; }

private:
    std::vector<TPortItem> items_;
    std::string portText_, fileName_;
    bool usb_ = false, ddd_ = false;
};

}  // namespace kavo
