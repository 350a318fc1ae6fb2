// A slot of the station and its state machine, free of processes and descriptors: the station
// feeds it what happened (the device came or went, its child reported, its child ended) and
// asks it whether a unit is to start.
//
//   waiting --device appears--> ready --start--> waking --first progress--> sending
//   sending/waking --child ends--> done | failed   (failed with retries left: ready again)
//   any state --device goes away--> waiting   (a running child ends by itself: device lost)
//
// One plug-in is one unit: after done or failed the slot waits for the device to go away.
//
// Thread safety: a TSlot belongs to one thread.
#pragma once

#include <cstdint>
#include <string>

namespace kavo::station {

enum class TSlotState { waiting, ready, waking, sending, done, failed, stopped };

const char* SlotStateName(TSlotState state);

struct TSlot {
    std::string name;    // what the operator reads: the link's name, or the path
    std::string device;  // the path watched
    TSlotState state = TSlotState::waiting;
    bool present = false;  // the device is there
    bool running = false;  // a child runs for it
    int attempts = 0;      // runs of the current unit
    int percent = 0;
    std::int64_t unitStartMs = 0;
    std::string reason;    // the failure's text
    bool replugged = false;  // gone and back while its child still ran: a new unit follows

    // The device appeared; `autoStart` false leaves it in ready until Start is asked for.
    void Appeared();
    void Gone();
    // Whether a run may start now.
    bool CanStart() const { return present && !running && state == TSlotState::ready; }
    void Started(std::int64_t nowMs);
    void Progress(int percentNow);
    // The child ended with `code` ("" reason for a success). Returns true when the unit is
    // finished (and is to be recorded), false when it is tried again.
    bool Ended(bool flashed, const std::string& why, int retries);
};

}  // namespace kavo::station
