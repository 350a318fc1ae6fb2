#include "station/slot.h"

namespace kavo::station {

const char* SlotStateName(TSlotState state) {
    switch (state) {
    case TSlotState::waiting: return "waiting";
    case TSlotState::ready: return "ready";
    case TSlotState::waking: return "waking";
    case TSlotState::sending: return "sending";
    case TSlotState::done: return "done";
    case TSlotState::failed: return "failed";
    case TSlotState::stopped: return "stopped";
    }
    return "?";
}

void TSlot::Appeared() {
    if (running && !present) replugged = true;
    present = true;
    if (state == TSlotState::waiting) {
        state = TSlotState::ready;
        attempts = 0;
        reason.clear();
        percent = 0;
    }
}

void TSlot::Gone() {
    present = false;
    // A running child notices the loss itself and ends; its end finishes the unit.
    if (!running) state = TSlotState::waiting;
}

void TSlot::Started(std::int64_t nowMs) {
    running = true;
    if (attempts == 0) unitStartMs = nowMs;
    ++attempts;
    percent = 0;
    state = TSlotState::waking;
}

void TSlot::Progress(int percentNow) {
    if (!running) return;
    state = TSlotState::sending;
    percent = percentNow;
}

bool TSlot::Ended(bool flashed, const std::string& why, int retries) {
    running = false;
    reason = why;
    if (replugged) {
        // The unit that ran is over whatever its end; the device there now is the next unit.
        replugged = false;
        state = TSlotState::waiting;
        if (present) Appeared();
        return true;
    }
    if (flashed) {
        state = present ? TSlotState::done : TSlotState::waiting;
        percent = 100;
        return true;
    }
    if (present && attempts <= retries) {
        state = TSlotState::ready;
        return false;
    }
    state = present ? TSlotState::failed : TSlotState::waiting;
    return true;
}

}  // namespace kavo::station
