// Volume broadcasts for a run without a window, on Windows.
//
// The system tells every top-level window of a volume that arrives or goes away: WM_DEVICECHANGE
// with DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE and a volume record whose unit mask names the
// drive letter. Message-only windows hear no broadcasts, so the watcher keeps a hidden top-level
// window on a thread of its own, which runs that window's messages, and hands each volume notice
// (the drive's root folder, "G:\") to the thread that created the watcher through that thread's
// message queue, as the Linux watcher (volume_watcher.h) does.
//
// Thread safety: construct, Start, Stop and destroy on the owning thread. The callback runs on the
// owning thread only, from its message loop.
#pragma once

#include "app/volume_notice.h"
#include "platform/message_queue.h"

#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kavo {

// The notice of a WM_DEVICECHANGE that the system sent to a top-level window: `event` and the
// broadcast record at `record`, a volume's arrival or removal with the drive's root folder
// ("G:\", the highest letter of the unit mask); nothing for other events, other records and a
// mask without a letter.
std::optional<TVolumeNotice> VolumeBroadcastNotice(WPARAM event, LPARAM record);

// The hidden window's class, so that tests and tools can find it.
inline constexpr wchar_t kVolumeWatcherClass[] = L"KavoVolumeWatcher";

class TVolumeWatcher {
public:
    using Callback = std::function<void(const TVolumeNotice&)>;

    explicit TVolumeWatcher(Callback callback);
    ~TVolumeWatcher();
    TVolumeWatcher(const TVolumeWatcher&) = delete;
    TVolumeWatcher& operator=(const TVolumeWatcher&) = delete;

    // Makes the hidden window on the watcher's thread. Returns false (and LastError() says why)
    // when the system makes no window (no desktop). Starting a running watcher does nothing.
    bool Start();
    // Closes the window and joins the thread; notices not yet delivered are dropped.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    const std::string& LastError() const { return lastError_; }

    // On the watcher's thread: a broadcast's notice, handed on to the owning thread.
    void Post(const TVolumeNotice& notice);

private:
    void Run(std::promise<std::string> started);

    Callback callback_;
    HWND window_ = 0;  // the owning thread's message window
    std::string lastError_;
    unsigned long threadId_ = 0;

    std::mutex mutex_;
    std::map<LPARAM, TVolumeNotice> pending_;
    LPARAM nextNumber_ = 1;

    std::thread thread_;
};

}  // namespace kavo
