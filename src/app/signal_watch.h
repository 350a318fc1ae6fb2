// SIGTERM and SIGINT delivered to the user-interface thread as a call of a handler.
//
// The signal handler only writes the signal's number into a pipe; a thread of the watch reads it
// and posts it to a message window of the thread that made the watch, whose loop (the platform's
// event loop, or a toolkit's loop that drives it) then calls the handler. One watch at a time.
//
// Thread safety: made and destroyed on the user-interface thread.
#pragma once

#include "platform/message_queue.h"

#include <functional>
#include <thread>

namespace kavo {

class TSignalWatch {
public:
    explicit TSignalWatch(std::function<void(int signalNumber)> onSignal);
    ~TSignalWatch();
    TSignalWatch(const TSignalWatch&) = delete;
    TSignalWatch& operator=(const TSignalWatch&) = delete;

private:
    std::function<void(int)> onSignal_;
    HWND window_ = 0;
    std::thread reader_;
};

}  // namespace kavo
