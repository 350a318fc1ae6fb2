#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace kavo {
namespace {

using namespace std::chrono_literals;

// A window on its own thread that runs a plain message loop until told to quit.
class WindowThread {
public:
    explicit WindowThread(WindowProc proc) {
        std::atomic<HWND> created{0};
        thread_ = std::jthread([&, proc] {
            created = CreateMessageWindow(proc);
            exitCode_ = RunMessageLoop();
        });
        while (created == 0) std::this_thread::yield();
        window_ = created;
    }
    ~WindowThread() { Quit(); }
    void Quit() {
        if (!thread_.joinable()) return;
        PostMessage(quitter_ ? quitter_ : window_, kQuitMe, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_; }
    static constexpr std::uint32_t kQuitMe = 0x7FFF;

private:
    HWND window_ = 0;
    HWND quitter_ = 0;
    int exitCode_ = 0;
    std::jthread thread_;
};

WindowProc QuitOn(WindowProc inner) {
    return [inner](std::uint32_t msg, WPARAM w, LPARAM l) -> LRESULT {
        if (msg == WindowThread::kQuitMe) {
            PostQuitMessage(0);
            return 0;
        }
        return inner(msg, w, l);
    };
}

TEST(MessageQueue, SendFromOwningThreadRunsAtOnceAndReturnsResult) {
    int calls = 0;
    HWND w = CreateMessageWindow([&](std::uint32_t msg, WPARAM wp, LPARAM lp) -> LRESULT {
        ++calls;
        return static_cast<LRESULT>(msg + wp + lp);
    });
    LRESULT r = 0;
    EXPECT_TRUE(SendMessageTimeout(w, 100, 20, 3, 0, &r));
    EXPECT_EQ(r, 123);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(PendingMessageCount(), 0u);
    DestroyMessageWindow(w);
    EXPECT_FALSE(IsMessageWindow(w));
    EXPECT_FALSE(SendMessageTimeout(w, 100, 0, 0, 0, &r));
}

TEST(MessageQueue, SendFromAnotherThreadWaitsForTheHandler) {
    std::thread::id handlerThread;
    WindowThread owner(QuitOn([&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        handlerThread = std::this_thread::get_id();
        return msg * 2;
    }));
    LRESULT r = 0;
    ASSERT_TRUE(SendMessageTimeout(owner.window(), 21, 0, 0, 5000, &r));
    EXPECT_EQ(r, 42);
    EXPECT_NE(handlerThread, std::this_thread::get_id());
}

TEST(MessageQueue, TimedOutSendIsStillHandledLaterAndItsResultDropped) {
    // The window's thread does not pump until we let it: the send must time out, and the message
    // must run once the owner pumps.
    std::atomic<bool> release{false};
    std::atomic<int> handled{0};
    std::atomic<HWND> window{0};
    std::jthread owner([&] {
        window = CreateMessageWindow([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
            ++handled;
            return 7;
        });
        while (!release) std::this_thread::sleep_for(1ms);
        while (PendingMessageCount() > 0) PumpOneMessage();
        DestroyMessageWindow(window);
    });
    while (window == 0) std::this_thread::yield();
    LRESULT r = -1;
    EXPECT_FALSE(SendMessageTimeout(window, 1, 0, 0, 50, &r));
    EXPECT_EQ(r, -1);
    EXPECT_EQ(handled, 0);
    release = true;
    owner.join();
    EXPECT_EQ(handled, 1);
}

TEST(MessageQueue, DestroyedWindowsMessagesAreDroppedAndHandlesNotReused) {
    int handled = 0;
    HWND first = CreateMessageWindow([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT { return ++handled; });
    EXPECT_TRUE(PostMessage(first, 1, 0, 0));
    EXPECT_TRUE(PostMessage(first, 2, 0, 0));
    DestroyMessageWindow(first);
    HWND second = CreateMessageWindow([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT { return 0; });
    EXPECT_NE(first, second);
    ProcessMessages();
    EXPECT_EQ(handled, 0);
    EXPECT_FALSE(PostMessage(first, 3, 0, 0));
    DestroyMessageWindow(second);
}

TEST(MessageQueue, SendToAWindowDestroyedWhileQueuedReleasesTheSender) {
    std::atomic<HWND> window{0};
    std::atomic<bool> sent{false};
    std::jthread owner([&] {
        window = CreateMessageWindow([](std::uint32_t, WPARAM, LPARAM) -> LRESULT { return 1; });
        while (PendingMessageCount() == 0) std::this_thread::sleep_for(1ms);
        DestroyMessageWindow(window);
    });
    while (window == 0) std::this_thread::yield();
    LRESULT r = 5;
    EXPECT_FALSE(SendMessageTimeout(window, 9, 0, 0, 10000, &r));
    EXPECT_EQ(r, 5);
}

TEST(MessageQueue, PumpOneTakesMessagesInOrderAndRepostsQuit) {
    std::vector<std::uint32_t> seen;
    HWND w = CreateMessageWindow([&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        seen.push_back(msg);
        return 0;
    });
    PostMessage(w, 10, 0, 0);
    PostQuitMessage(3);
    PostMessage(w, 11, 0, 0);
    EXPECT_EQ(PumpOneMessage(), 10u);
    EXPECT_EQ(PumpOneMessage(), WM_QUIT);  // re-posted behind 11
    EXPECT_EQ(PumpOneMessage(), 11u);
    EXPECT_EQ(PumpOneMessage(), WM_QUIT);
    EXPECT_EQ(PendingMessageCount(), 1u);
    ProcessMessages();  // stops at the quit, which stays queued
    EXPECT_EQ(PendingMessageCount(), 1u);
    EXPECT_EQ(RunMessageLoop(), 3);
    EXPECT_EQ(PumpOneMessage(), 0u);
    EXPECT_EQ((std::vector<std::uint32_t>{10, 11}), seen);
    DestroyMessageWindow(w);
}

TEST(MessageQueue, SenderServesMessagesSentToItsOwnWindowsWhileItWaits) {
    // Thread A sends to B; B's handler sends back to A's window. Without nested service this
    // would deadlock; with it both complete.
    std::atomic<int> backCalls{0};
    HWND mine = CreateMessageWindow([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT { return ++backCalls; });
    WindowThread other(QuitOn([&](std::uint32_t, WPARAM, LPARAM) -> LRESULT {
        LRESULT back = 0;
        SendMessageTimeout(mine, 1, 0, 0, 5000, &back);
        return back + 100;
    }));
    LRESULT r = 0;
    ASSERT_TRUE(SendMessageTimeout(other.window(), 1, 0, 0, 5000, &r));
    EXPECT_EQ(r, 101);
    EXPECT_EQ(backCalls, 1);
    DestroyMessageWindow(mine);
}

TEST(MessageQueue, NestedProcessingRunsOnlyWhatWasQueuedAndHooksRun) {
    int reposts = 0;
    HWND w = 0;
    w = CreateMessageWindow([&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == 1 && reposts < 2) {
            ++reposts;
            PostMessage(w, 1, 0, 0);  // a handler that re-posts itself
        }
        return 0;
    });
    int hookRuns = 0;
    SetProcessMessagesHook([&] { ++hookRuns; });
    PostMessage(w, 1, 0, 0);
    ProcessMessages();
    EXPECT_EQ(reposts, 1);
    EXPECT_EQ(hookRuns, 1);
    SetProcessMessagesHook(nullptr);

    int wakes = 0;
    SetThreadWakeHook([&] { ++wakes; });
    std::jthread poster([&] { PostMessage(w, 2, 0, 0); });
    poster.join();
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(WaitForMessage(0));
    SetThreadWakeHook(nullptr);
    DispatchPendingMessages();  // the re-posted 1 (which posts its last repeat) and 2
    EXPECT_EQ(reposts, 2);
    DispatchPendingMessages();
    EXPECT_FALSE(WaitForMessage(10));
    DestroyMessageWindow(w);
}

}  // namespace
}  // namespace kavo
