// A main window for tests of the download sequence: it keeps what the sequence shows and lets the
// test play the operator's part (the port box's text, the file field, the check boxes, the file
// dialog's answer). PumpUntil runs the thread's messages and timers, as a window's loop would.
#pragma once

#include "app/main_view.h"
#include "platform/message_queue.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kavo::test {

class RecordingView : public TMainView {
public:
    void SetPortItems(const std::vector<TPortItem>& items) override { portItems = items; }
    std::string PortText() const override { return portText; }
    void SetPortText(const std::string& text) override { portText = text; }
    void SelectPortItem(int index) override {
        const bool valid = index >= 0 && index < static_cast<int>(portItems.size());
        portText = valid ? portItems[static_cast<std::size_t>(index)].text : std::string();
    }
    std::string FileName() const override { return fileName; }
    void SetFileName(const std::string& path) override { fileName = path; }
    bool UsbChecked() const override { return usb; }
    void SetUsbChecked(bool on) override { usb = on; }
    bool DddChecked() const override { return ddd; }
    void SetDddChecked(bool on) override { ddd = on; }
    void SetMessage(const std::string& text) override { message = text; }
    void SetProgressMax(int maximum) override { progressMax = maximum; }
    void SetProgressPosition(int position) override { progressPosition = position; }
    void SetSendEnabled(bool on) override { sendEnabled = on; }
    void SetDialogFolder(const std::string& folder) override { dialogFolder = folder; }
    std::optional<std::string> ChooseFile() override { return chosenFile; }
    void ShowErrorBox(const std::string& text) override { errorBoxes.push_back(text); }
    void CloseWindow() override { closed = true; }
    bool Attended() const override { return attended; }

    std::vector<TPortItem> portItems;
    std::string portText, fileName, message, dialogFolder;
    bool usb = false, ddd = false, sendEnabled = true, closed = false, attended = false;
    int progressMax = 100, progressPosition = 0;
    std::optional<std::string> chosenFile;
    std::vector<std::string> errorBoxes;
};

// Runs the calling thread's messages and timers until `done` holds or `deadline` passes; returns
// whether it holds.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace kavo::test
