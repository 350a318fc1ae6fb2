#include "serial/event_signal.h"

#include <vector>

#include <windows.h>

namespace kavo {
namespace {

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace

bool TEventSignal::Create() {
    std::lock_guard lock(mutex_);
    if (native_.load() != kNone) return true;
    HANDLE event = ::CreateEventW(nullptr, manualReset_ ? TRUE : FALSE, FALSE, nullptr);
    if (!event) return false;
    native_ = reinterpret_cast<std::intptr_t>(event);
    return true;
}

void TEventSignal::Close() {
    std::lock_guard lock(mutex_);
    const std::intptr_t native = native_.exchange(kNone);
    if (native != kNone) ::CloseHandle(AsHandle(native));
}

void TEventSignal::Set() {
    std::lock_guard lock(mutex_);
    const std::intptr_t native = native_.load();
    if (native != kNone) ::SetEvent(AsHandle(native));
}

void TEventSignal::Reset() {
    const std::intptr_t native = native_.load();
    if (native != kNone) ::ResetEvent(AsHandle(native));
}

bool TEventSignal::IsSet() const {
    const std::intptr_t native = native_.load();
    if (native == kNone) return false;
    if (::WaitForSingleObject(AsHandle(native), 0) != WAIT_OBJECT_0) return false;
    // Looking consumed an auto-reset event: give it back.
    if (!manualReset_) ::SetEvent(AsHandle(native));
    return true;
}

bool TEventSignal::TryConsume() { return Wait(0); }

bool TEventSignal::Wait(int timeoutMs) { return WaitAny({this}, timeoutMs) == 0; }

int TEventSignal::WaitAny(std::initializer_list<TEventSignal*> signals, int timeoutMs) {
    std::vector<HANDLE> handles;
    std::vector<int> indexOf;
    int index = 0;
    for (TEventSignal* signal : signals) {
        const std::intptr_t native = signal->Native();
        if (native != kNone) {
            handles.push_back(AsHandle(native));
            indexOf.push_back(index);
        }
        ++index;
    }
    if (handles.empty()) return -1;
    const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                                  FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + handles.size())
        return indexOf[result - WAIT_OBJECT_0];
    return -1;
}

}  // namespace kavo
