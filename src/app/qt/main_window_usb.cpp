#include "app/qt/main_window_usb.h"

#include "app/disk_info.h"
#include "app/qt/main_window.h"
#include "app/usb_download.h"
#include "app/volume_watcher.h"
#include "serial/com_port.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

// The watcher and the handler of one window; a component of the window's owner, created after
// DK_INFO so that it goes first.
class TUsbMode : public TComponent {
public:
    TUsbMode(TFMain& window, TComponent* owner, TDiskInfo& diskInfo);
    ~TUsbMode() override;

    TUsbDownload handler;
    TVolumeWatcher watcher;
    TUsbModeObserver observer;
    TVolumeFilter filter;
    std::string noticeRoot;  // the root folder of the notice being handled
};

std::map<const TFMain*, TUsbMode*>& Registry() {
    static std::map<const TFMain*, TUsbMode*> registry;
    return registry;
}

constexpr int kLaterMs = 100;

// Hands a notice to the window unless the filter leaves it alone; one the filter cannot place
// yet is asked about again (an arrival while its volume stays mounted).
void Deliver(TFMain& window, const TVolumeNotice& notice, int tries) {
    auto it = Registry().find(&window);
    if (it == Registry().end()) return;
    TUsbMode& mode = *it->second;
    if (mode.filter) {
        if (tries > 0 && notice.event == DBT_DEVICEARRIVAL) {
            struct stat info {};
            if (::stat(notice.rootFolder.c_str(), &info) != 0 ||
                info.st_dev != makedev(notice.major, notice.minor)) {
                return;  // gone, or something else is mounted there now
            }
        }
        const TVolumeChoice choice = mode.filter(notice);
        if (choice == TVolumeChoice::ignore) return;
        if (choice == TVolumeChoice::later) {
            QTimer::singleShot(kLaterMs, &window,
                               [&window, notice, tries] { Deliver(window, notice, tries + 1); });
            return;
        }
    }
    window.DeviceChange(notice.event, notice.rootFolder);
}

TUsbDownloadHooks HooksFor(TFMain& window, TUsbMode& mode) {
    TUsbDownloadHooks hooks;
    hooks.usbMode = [&window] { return window.CB_USB->isChecked(); };
    hooks.fileName = [&window] { return window.EDT_FName->text().toStdString(); };
    hooks.sendCmd = [&window, &mode](unsigned char cmd, const std::u16string& data) {
        const int answer = window.SendCmd(cmd, data);
        if (mode.observer.told) mode.observer.told(answer == 0);
        return answer;
    };
    hooks.copied = [&mode](const std::string& target, bool ok) {
        if (mode.observer.copied) mode.observer.copied(target, ok);
    };
    hooks.destroyWindow = [&window] {
        // What destroying the window does before the process ends: the settings are saved and
        // the port is closed.
        try {
            window.FormDestroy();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kavodown: the settings could not be saved: %s\n", e.what());
        }
        try {
            if (window.Tevo) window.Tevo->SetOpen(false);
        } catch (const std::exception&) {
            // The process ends now; a port that does not close cleanly is closed by its end.
        }
    };
    hooks.exitProcess = [&mode](int exitCode) {
        if (mode.observer.removed) exitCode = mode.observer.removed(mode.noticeRoot, exitCode);
        EndProcess(exitCode);
    };
    return hooks;
}

TUsbMode::TUsbMode(TFMain& window, TComponent* owner, TDiskInfo& diskInfo)
    : TComponent(owner),
      handler(diskInfo, HooksFor(window, *this)),
      watcher([&window](const TVolumeNotice& notice) { Deliver(window, notice, 0); }) {
    SetName("UsbMode");
    Registry()[&window] = this;
    if (!watcher.Start()) {
        std::fprintf(stderr, "kavodown: volume changes cannot be watched: %s\n",
                     watcher.LastError().c_str());
    }
}

TUsbMode::~TUsbMode() {
    watcher.Stop();
    for (auto it = Registry().begin(); it != Registry().end(); ++it) {
        if (it->second == this) {
            Registry().erase(it);
            break;
        }
    }
}

}  // namespace

TDiskInfo* CreateUsbMode(TFMain& window, TComponent* owner) {
    auto* diskInfo = new TDiskInfo(owner);
    diskInfo->SetName("DK_INFO");
    new TUsbMode(window, owner, *diskInfo);
    return diskInfo;
}

void SetUsbModeExit(std::function<void(int)> exitProcess) { ExitFunction() = std::move(exitProcess); }

void SetUsbModeObserver(TFMain& window, TUsbModeObserver observer) {
    auto it = Registry().find(&window);
    if (it != Registry().end()) it->second->observer = std::move(observer);
}

void SetUsbModeFilter(TFMain& window, TVolumeFilter filter) {
    auto it = Registry().find(&window);
    if (it != Registry().end()) it->second->filter = std::move(filter);
}

void DeliverVolumeNotice(TFMain& window, const TVolumeNotice& notice) { Deliver(window, notice, 0); }

void TFMain::DeviceChange(unsigned event, const std::string& rootFolder) {
    auto it = Registry().find(this);
    if (it == Registry().end()) return;
    it->second->noticeRoot = rootFolder;
    it->second->handler.DeviceChange(event, rootFolder);
}

}  // namespace kavo
