// Joins the message queue of the serial and transfer layers to Qt's event loop.
//
// After InstallQtMessageGlue() on the user-interface thread:
//  - a message queued for that thread from any thread wakes Qt's loop, which then dispatches the
//    queued messages (so trigger events and protocol reports run while Qt's loop runs);
//  - the platform's timers of that thread (event_loop.h) fire from Qt's loop;
//  - ProcessMessages() called on that thread (nested waits: WaitData, stopping worker threads,
//    WaitTicks with pumping) also runs Qt's pending events, so windows stay alive meanwhile.
#pragma once

namespace kavo {

void InstallQtMessageGlue();
void RemoveQtMessageGlue();

}  // namespace kavo
