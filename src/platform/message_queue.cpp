#include "platform/message_queue.h"

#include "platform/event_loop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kavo {
namespace {

struct ThreadQueue;

// Completion of one sent message. The sender waits on its own queue's condition variable, so
// that it can handle messages sent to its own windows while it waits.
struct SendState {
    std::shared_ptr<ThreadQueue> senderQueue;
    bool done = false;     // guarded by senderQueue->mutex
    bool handled = false;  // the handler ran
    LRESULT result = 0;
};

struct Message {
    HWND window = 0;  // 0 for thread messages (quit)
    std::uint32_t msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::shared_ptr<SendState> send;  // set for a message sent from another thread
};

struct ThreadQueue {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Message> messages;
    std::function<void()> wakeHook;
};

struct Window {
    std::thread::id owner;
    std::shared_ptr<ThreadQueue> queue;
    WindowProc proc;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    HWND nextHandle = 1;
    std::function<void()> processHook;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: threads may outlive statics
    return *registry;
}

std::shared_ptr<ThreadQueue>& CurrentQueue() {
    thread_local std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
    return queue;
}

std::shared_ptr<Window> FindWindow(HWND handle) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    auto it = reg.windows.find(handle);
    return it == reg.windows.end() ? nullptr : it->second;
}

void Complete(const std::shared_ptr<SendState>& send, bool handled, LRESULT result) {
    if (!send) return;
    {
        std::lock_guard lock(send->senderQueue->mutex);
        send->done = true;
        send->handled = handled;
        send->result = result;
    }
    send->senderQueue->arrived.notify_all();
}

// Runs one message on the calling thread. A message for a window that no longer exists is
// dropped; its sender, if any, is released with "not handled".
void Dispatch(const Message& m) {
    std::shared_ptr<Window> window = m.window ? FindWindow(m.window) : nullptr;
    if (!window) {
        Complete(m.send, false, 0);
        return;
    }
    LRESULT result = 0;
    try {
        result = window->proc(m.msg, m.wParam, m.lParam);
    } catch (...) {
        Complete(m.send, true, 0);
        throw;
    }
    Complete(m.send, true, result);
}

void Enqueue(const std::shared_ptr<ThreadQueue>& queue, Message m) {
    std::function<void()> hook;
    {
        std::lock_guard lock(queue->mutex);
        queue->messages.push_back(std::move(m));
        hook = queue->wakeHook;
    }
    queue->arrived.notify_all();
    if (hook) hook();
}

}  // namespace

HWND CreateMessageWindow(WindowProc proc) {
    auto window = std::make_shared<Window>();
    window->owner = std::this_thread::get_id();
    window->queue = CurrentQueue();
    window->proc = std::move(proc);
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    HWND handle = reg.nextHandle++;
    if (reg.nextHandle == 0) reg.nextHandle = 1;
    reg.windows.emplace(handle, std::move(window));
    return handle;
}

void DestroyMessageWindow(HWND handle) {
    std::shared_ptr<Window> window;
    {
        Registry& reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        auto it = reg.windows.find(handle);
        if (it == reg.windows.end()) return;
        window = std::move(it->second);
        reg.windows.erase(it);
    }
    // Drop what is queued for it now; anything queued later finds no window and is dropped too.
    std::deque<Message> dropped;
    {
        std::lock_guard lock(window->queue->mutex);
        auto& q = window->queue->messages;
        for (auto it = q.begin(); it != q.end();) {
            if (it->window == handle) {
                dropped.push_back(std::move(*it));
                it = q.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& m : dropped) Complete(m.send, false, 0);
}

bool IsMessageWindow(HWND handle) { return handle != 0 && FindWindow(handle) != nullptr; }

bool IsOwnedByCallingThread(HWND handle) {
    auto window = FindWindow(handle);
    return window && window->owner == std::this_thread::get_id();
}

bool SendMessageTimeout(HWND handle, std::uint32_t msg, WPARAM wParam, LPARAM lParam,
                        std::uint32_t timeoutMs, LRESULT* result) {
    auto window = FindWindow(handle);
    if (!window) return false;
    if (window->owner == std::this_thread::get_id()) {
        LRESULT r = window->proc(msg, wParam, lParam);
        if (result) *result = r;
        return true;
    }

    auto own = CurrentQueue();
    auto send = std::make_shared<SendState>();
    send->senderQueue = own;
    Enqueue(window->queue, Message{handle, msg, wParam, lParam, send});

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(own->mutex);
    while (!send->done) {
        // Serve messages that other threads send to this thread's windows meanwhile.
        auto it = own->messages.begin();
        while (it != own->messages.end() && !it->send) ++it;
        if (it != own->messages.end()) {
            Message incoming = std::move(*it);
            own->messages.erase(it);
            lock.unlock();
            Dispatch(incoming);
            lock.lock();
            continue;
        }
        if (own->arrived.wait_until(lock, deadline) == std::cv_status::timeout && !send->done) {
            return false;  // the message stays queued and runs later; its result is dropped
        }
    }
    if (send->handled && result) *result = send->result;
    return send->handled;
}

LRESULT SendMessage(HWND handle, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    // A day is as good as "no time-out" and keeps the deadline arithmetic simple.
    return SendMessageTimeout(handle, msg, wParam, lParam, 24u * 3600u * 1000u, &result) ? result : 0;
}

bool PostMessage(HWND handle, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    auto window = FindWindow(handle);
    if (!window) return false;
    Enqueue(window->queue, Message{handle, msg, wParam, lParam, nullptr});
    return true;
}

void PostQuitMessage(int exitCode) {
    Enqueue(CurrentQueue(), Message{0, WM_QUIT, static_cast<WPARAM>(exitCode), 0, nullptr});
}

std::uint32_t PumpOneMessage() {
    auto own = CurrentQueue();
    Message m;
    {
        std::lock_guard lock(own->mutex);
        if (own->messages.empty()) return 0;
        m = std::move(own->messages.front());
        own->messages.pop_front();
        if (m.window == 0 && m.msg == WM_QUIT) {
            own->messages.push_back(m);  // a quit is posted again, for the loop that ends on it
            return WM_QUIT;
        }
    }
    Dispatch(m);
    return m.msg;
}

void DispatchPendingMessages() {
    auto own = CurrentQueue();
    std::size_t budget;
    {
        std::lock_guard lock(own->mutex);
        budget = own->messages.size();  // only what is queued now: a handler that re-posts
    }                                   // itself must not keep us here
    while (budget-- > 0) {
        Message m;
        {
            std::lock_guard lock(own->mutex);
            if (own->messages.empty()) return;
            if (own->messages.front().window == 0 && own->messages.front().msg == WM_QUIT) return;
            m = std::move(own->messages.front());
            own->messages.pop_front();
        }
        Dispatch(m);
    }
}

void ProcessMessages() {
    std::function<void()> hook;
    {
        Registry& reg = TheRegistry();
        std::lock_guard lock(reg.mutex);
        hook = reg.processHook;
    }
    if (hook) hook();
    RunDueTimers();
    DispatchPendingMessages();
}

bool WaitForMessage(std::uint32_t timeoutMs) {
    auto own = CurrentQueue();
    std::unique_lock lock(own->mutex);
    return own->arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return !own->messages.empty(); });
}

std::size_t PendingMessageCount() {
    auto own = CurrentQueue();
    std::lock_guard lock(own->mutex);
    return own->messages.size();
}

int RunMessageLoop() {
    auto own = CurrentQueue();
    for (;;) {
        Message m;
        {
            std::unique_lock lock(own->mutex);
            own->arrived.wait(lock, [&] { return !own->messages.empty(); });
            m = std::move(own->messages.front());
            own->messages.pop_front();
        }
        if (m.window == 0 && m.msg == WM_QUIT) return static_cast<int>(m.wParam);
        Dispatch(m);
    }
}

void SetThreadWakeHook(std::function<void()> hook) {
    auto own = CurrentQueue();
    std::lock_guard lock(own->mutex);
    own->wakeHook = std::move(hook);
}

void SetProcessMessagesHook(std::function<void()> hook) {
    Registry& reg = TheRegistry();
    std::lock_guard lock(reg.mutex);
    reg.processHook = std::move(hook);
}

}  // namespace kavo
