#include "app/qt/qt_glue.h"
#include "platform/event_loop.h"
#include "platform/message_queue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kavo {
namespace {

TEST(QtGlue, MessagesFromWorkerThreadsRunInQtsLoopAndNestedWaitsRunQtEvents) {
    InstallQtMessageGlue();
    std::atomic<int> handled{0};
    HWND w = CreateMessageWindow([&](std::uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        ++handled;
        return msg + 1;
    });

    // A worker's blocking send is served by Qt's own loop.
    LRESULT result = 0;
    std::atomic<bool> sent{false};
    std::thread worker([&] { sent = SendMessageTimeout(w, 41, 0, 0, 5000, &result); });
    QElapsedTimer clock;
    clock.start();
    while (!sent && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(result, 42);

    // Our nested pumping runs Qt's timers too.
    bool timerRan = false;
    QTimer::singleShot(0, [&] { timerRan = true; });
    clock.restart();
    while (!timerRan && clock.elapsed() < 5000) ProcessMessages();
    EXPECT_TRUE(timerRan);

    // The platform's timers fire from Qt's own loop.
    int fired = 0;
    TTimer platformTimer([&] { ++fired; });
    platformTimer.SetInterval(20);
    platformTimer.SetSingleShot(true);
    platformTimer.SetEnabled(true);
    clock.restart();
    while (fired == 0 && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    EXPECT_EQ(fired, 1);

    DestroyMessageWindow(w);
    RemoveQtMessageGlue();
}

}  // namespace
}  // namespace kavo
