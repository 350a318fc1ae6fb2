// Per-thread message queues and message windows.
//
// The serial and transfer layers move work onto the user-interface thread with window messages:
// a worker thread sends a message to a window and blocks until the window's thread has handled it
// (or a time-out passes); other messages are posted and handled later. This header is that model,
// free of any toolkit:
//
//  - A message window belongs to the thread that created it. Its handle is a small non-zero
//    integer that is never reused, so a message queued for a destroyed window can never reach a
//    newer one: it is dropped when its turn comes.
//  - Each thread that owns windows (or receives quit messages) has one FIFO queue. Sent messages
//    from other threads and posted messages share it, in arrival order.
//  - A thread blocked in SendMessageTimeout still handles messages that other threads *send* to its
//    own windows, so two threads that send to each other cannot deadlock. Posted messages wait.
//  - A message whose sender timed out still runs later; its result is dropped.
//
// Thread safety: every function may be called from any thread. Handlers always run on the
// thread that owns the window, never while a lock of this module is held.
//
// Integration with a toolkit's event loop (the Qt glue of the application): SetThreadWakeHook
// tells the calling thread's queue whom to wake when a message arrives from elsewhere, and
// SetProcessMessagesHook makes ProcessMessages run the toolkit's pending events as well, so that
// a nested wait keeps both loops moving.
#pragma once

#include <cstdint>
#include <functional>

namespace kavo {

using HWND = std::uint32_t;  // 0 is never a valid handle
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr std::uint32_t WM_QUIT = 0x0012;

using WindowProc = std::function<LRESULT(std::uint32_t msg, WPARAM wParam, LPARAM lParam)>;

// Creates a window owned by the calling thread; proc runs on that thread for every message.
HWND CreateMessageWindow(WindowProc proc);
// Destroys a window; queued messages for it are dropped, senders waiting for it are released
// (their send reports failure). Only the owning thread should destroy a window; any thread may.
void DestroyMessageWindow(HWND window);
bool IsMessageWindow(HWND window);
// True when the calling thread owns the window.
bool IsOwnedByCallingThread(HWND window);

// From the owning thread the handler runs at once. From another thread the message is queued and
// the sender blocks until the handler has run (true, *result set) or timeoutMs has passed
// (false; the message still runs later). Returns false at once for an unknown window.
bool SendMessageTimeout(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam,
                        std::uint32_t timeoutMs, LRESULT* result = nullptr);
// SendMessageTimeout without a time-out; 0 when the window is unknown.
LRESULT SendMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
// Queues the message for the window's thread and returns; false for an unknown window.
bool PostMessage(HWND window, std::uint32_t msg, WPARAM wParam, LPARAM lParam);
// Posts WM_QUIT with the exit code to the calling thread's queue.
void PostQuitMessage(int exitCode);

// Takes one message from the calling thread's queue and dispatches it. A quit message is posted
// again instead of being dispatched. Returns the message code, 0 when the queue was empty.
std::uint32_t PumpOneMessage();
// Dispatches the messages of the calling thread's queue until it is empty or a quit message is
// next (which stays queued), after running the process-messages hook if one is set and the
// thread's timers that are due (event_loop.h).
void ProcessMessages();
// Dispatches the messages that are queued now, as ProcessMessages, but without running the hook
// (the toolkit glue calls this from its own event handler).
void DispatchPendingMessages();
// Blocks until the calling thread's queue holds a message or timeoutMs passes; true if one waits.
bool WaitForMessage(std::uint32_t timeoutMs);
// Number of messages waiting in the calling thread's queue.
std::size_t PendingMessageCount();
// A plain loop for threads without a toolkit: waits and dispatches until a quit message comes;
// returns its exit code.
int RunMessageLoop();

// Called, from the thread that queues, whenever a message is queued for the calling thread's
// queue by another thread (and for posts from the owning thread too). Pass nullptr to remove.
void SetThreadWakeHook(std::function<void()> hook);
// Run by ProcessMessages before it drains the queue (process-wide; the Qt glue installs one that
// runs the toolkit's pending events when called on the user-interface thread).
void SetProcessMessagesHook(std::function<void()> hook);

}  // namespace kavo
