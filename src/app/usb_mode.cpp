#include "app/usb_mode.h"

#include "app/disk_info.h"
#include "platform/exit_codes.h"
#ifdef _WIN32
#include "app/win32_volume_watcher.h"
#else
#include "app/volume_watcher.h"
#endif

#include <cstdio>
#include <cstdlib>

namespace kavo {
namespace {

std::function<void(int)>& ExitFunction() {
    static std::function<void(int)> exitProcess;
    return exitProcess;
}

void EndProcess(int exitCode) {
    if (ExitFunction()) {
        ExitFunction()(exitCode);
        return;
    }
    // Ends the process like the platform's process exit: the settings are written and the port is
    // closed already; nothing else of the shutdown runs.
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

constexpr std::uint32_t kLaterMs = 100;

}  // namespace

void SetUsbModeExit(std::function<void(int)> exitProcess) { ExitFunction() = std::move(exitProcess); }

TUsbMode::TUsbMode(TComponent* owner, TDiskInfo& diskInfo, TUsbDownloadHooks window)
    : TComponent(owner),
      handler_(diskInfo, ModeHooks(std::move(window))) {
    SetName("UsbMode");
}

TUsbMode::~TUsbMode() {
    if (watcher_) watcher_->Stop();
}

void TUsbMode::StartWatcher() {
    if (watcher_) return;
    watcher_ = std::make_unique<TVolumeWatcher>(
        [this](const TVolumeNotice& notice) { Deliver(notice, 0); });
    if (!watcher_->Start()) {
        std::fprintf(stderr, "kavodown: volume changes cannot be watched: %s\n",
                     watcher_->LastError().c_str());
    }
}

TUsbDownloadHooks TUsbMode::ModeHooks(TUsbDownloadHooks hooks) {
    hooks.sendCmd = [this, send = hooks.sendCmd](unsigned char cmd, const std::u16string& data) {
        const int answer = send(cmd, data);
        if (observer_.told) observer_.told(answer == 0);
        return answer;
    };
    hooks.copied = [this](const std::string& target, bool ok) {
        if (observer_.copied) observer_.copied(target, ok);
    };
    hooks.exitProcess = [this](int exitCode) {
        if (observer_.removed) exitCode = observer_.removed(noticeRoot_, exitCode);
        EndProcess(exitCode);
    };
    return hooks;
}

// Hands a notice to the handler unless the filter leaves it alone; one the filter cannot place
// yet is asked about again (an arrival while its volume stays mounted).
void TUsbMode::Deliver(const TVolumeNotice& notice, int tries) {
    if (filter_) {
        if (tries > 0 && notice.event == DBT_DEVICEARRIVAL && !StillMounted(notice)) {
            return;  // gone, or something else is mounted there now
        }
        const TVolumeChoice choice = filter_(notice);
        if (choice == TVolumeChoice::ignore) return;
        if (choice == TVolumeChoice::later) {
            AskLater(notice, tries + 1);
            return;
        }
    }
    DeviceChange(notice.event, notice.rootFolder);
}

void TUsbMode::AskLater(const TVolumeNotice& notice, int tries) {
    // Timers that fired already are done with.
    later_.remove_if([](const TTimer& timer) { return !timer.Enabled(); });
    TTimer& timer = later_.emplace_back([this, notice, tries] { Deliver(notice, tries); });
    timer.SetInterval(kLaterMs);
    timer.SetSingleShot(true);
    timer.SetEnabled(true);
}

void TUsbMode::DeviceChange(unsigned event, const std::string& rootFolder) {
    noticeRoot_ = rootFolder;
    handler_.DeviceChange(event, rootFolder);
}

}  // namespace kavo
