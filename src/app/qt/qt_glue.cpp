#include "app/qt/qt_glue.h"

#include "platform/event_loop.h"
#include "platform/message_queue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace kavo {
namespace {

const QEvent::Type kDrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives on the user-interface thread; one drain event at a time is enough, since a drain takes
// everything queued when it runs.
class Drainer : public QObject {
public:
    Drainer() {
        // The platform's timers of this thread fire from one single-shot timer of Qt's loop.
        timers.setSingleShot(true);
        timers.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timers, &QTimer::timeout, [] { RunDueTimers(); });
    }

    std::atomic<bool> pending{false};
    QTimer timers;

    bool event(QEvent* e) override {
        if (e->type() != kDrainEvent) return QObject::event(e);
        pending = false;
        DispatchPendingMessages();
        return true;
    }
};

Drainer* drainer = nullptr;

}  // namespace

void InstallQtMessageGlue() {
    if (drainer) return;
    drainer = new Drainer;
    Drainer* target = drainer;
    SetThreadWakeHook([target] {
        if (!target->pending.exchange(true)) {
            QCoreApplication::postEvent(target, new QEvent(kDrainEvent));
        }
    });
    SetTimerScheduleHook([target](int msUntilNext) {
        if (msUntilNext < 0) target->timers.stop();
        else target->timers.start(msUntilNext);
    });
    SetProcessMessagesHook([] {
        auto* app = QCoreApplication::instance();
        if (app && QThread::currentThread() == app->thread()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
    });
    // Anything queued before the hook existed must not wait for the next arrival.
    if (PendingMessageCount() > 0 && !target->pending.exchange(true)) {
        QCoreApplication::postEvent(target, new QEvent(kDrainEvent));
    }
}

void RemoveQtMessageGlue() {
    if (!drainer) return;
    SetThreadWakeHook(nullptr);
    SetTimerScheduleHook(nullptr);
    SetProcessMessagesHook(nullptr);
    delete drainer;
    drainer = nullptr;
}

}  // namespace kavo
