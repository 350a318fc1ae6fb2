#include "app/win32_volume_watcher.h"

#include "app/usb_download.h"
#include "platform/win32_text.h"

#include <windows.h>
#include <dbt.h>
#undef PostMessage  // the system's macro would rename the message queue's own PostMessage

namespace kavo {
namespace {

LRESULT CALLBACK BroadcastProcedure(::HWND window, UINT message, ::WPARAM wParam, ::LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        auto* watcher = reinterpret_cast<TVolumeWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (const std::optional<TVolumeNotice> notice = VolumeBroadcastNotice(wParam, lParam);
            watcher && notice) {
            watcher->Post(*notice);
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

std::optional<TVolumeNotice> VolumeBroadcastNotice(WPARAM event, LPARAM record) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return std::nullopt;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_VOLUME) return std::nullopt;
    const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header);
    const char letter = DriveLetterOfUnitMask(volume->dbcv_unitmask);
    if (!letter) return std::nullopt;
    TVolumeNotice notice;
    notice.event = static_cast<std::uint32_t>(event);
    notice.rootFolder = std::string(1, letter) + ":\\";
    return notice;
}

bool StillMounted(const TVolumeNotice& notice) {
    const UINT type = GetDriveTypeW(WideFromUtf8(notice.rootFolder).c_str());
    return type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR;
}

TVolumeWatcher::TVolumeWatcher(Callback callback) : callback_(std::move(callback)) {
    window_ = CreateMessageWindow([this](std::uint32_t msg, WPARAM, LPARAM number) -> LRESULT {
        if (msg != WM_DEVICECHANGE) return 0;
        TVolumeNotice notice;
        {
            std::lock_guard lock(mutex_);
            auto it = pending_.find(number);
            if (it == pending_.end()) return 0;
            notice = std::move(it->second);
            pending_.erase(it);
        }
        if (callback_) callback_(notice);
        return 0;
    });
}

TVolumeWatcher::~TVolumeWatcher() {
    Stop();
    DestroyMessageWindow(window_);
}

bool TVolumeWatcher::Start() {
    if (Running()) return true;
    std::promise<std::string> started;
    std::future<std::string> result = started.get_future();
    thread_ = std::thread([this, promise = std::move(started)]() mutable { Run(std::move(promise)); });
    lastError_ = result.get();
    if (lastError_.empty()) return true;
    thread_.join();
    return false;
}

void TVolumeWatcher::Stop() {
    if (!Running()) return;
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
    std::lock_guard lock(mutex_);
    pending_.clear();
}

void TVolumeWatcher::Post(const TVolumeNotice& notice) {
    LPARAM number;
    {
        std::lock_guard lock(mutex_);
        number = nextNumber_++;
        pending_[number] = notice;
    }
    PostMessage(window_, WM_DEVICECHANGE, notice.event, number);
}

void TVolumeWatcher::Run(std::promise<std::string> started) {
    threadId_ = GetCurrentThreadId();
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = BroadcastProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kVolumeWatcherClass;
    RegisterClassW(&windowClass);  // fails harmlessly when a watcher before registered it
    // A top-level window that is never shown: broadcasts reach it, the operator never sees it.
    ::HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kVolumeWatcherClass, L"", WS_POPUP, 0, 0, 0, 0,
                                    nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window) {
        const DWORD error = GetLastError();
        started.set_value("no window for the system's volume broadcasts (error " +
                          std::to_string(error) + ") " + Win32MessageText(error));
        return;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    started.set_value({});
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
}

}  // namespace kavo
