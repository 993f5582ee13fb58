#pragma once
// Work that must run on the program's main (GUI) thread: worker threads post
// calls here, and the main thread runs them. The window connects the wake-up
// hook to its event loop (it schedules a Drain() there); tests and
// command-line tools call Drain()/DrainFor() themselves.
//
// The main thread is the thread that first calls Init() (or Drain*), unless
// one is named explicitly with SetMainThread().
//
// A call that raises is reported through ShowMessage and does not stop the
// calls after it.

#include <cstdint>
#include <functional>
#include <thread>

namespace kelvo {

enum class TSendResult {
    Done,       // the call has run (or raised) on the main thread
    TimedOut,   // the timeout passed; a call not yet started is withdrawn
    Cancelled,  // Cancel() withdrew the call before it started
};

class TMainThreadQueue {
public:
    using TCall = std::function<void()>;

    // Makes the calling thread the main thread unless one is set already.
    static void Init();
    // Names the main thread explicitly (tests that run several "programs").
    static void SetMainThread(std::thread::id Id);
    static bool IsMainThread();

    // Queues Call for the main thread and returns at once. Tag groups calls
    // for Cancel(); 0 means "no group".
    static void Post(TCall Call, uintptr_t Tag = 0);

    // Queues Call and waits until the main thread has run it, at most
    // TimeoutMs. Called on the main thread itself, Call runs at once. When
    // the time passes while Call is running, Send returns TimedOut and Call
    // goes on: whatever it uses must not live on the sender's stack.
    static TSendResult Send(TCall Call, uint32_t TimeoutMs, uintptr_t Tag = 0);

    // Withdraws every queued, not yet started call with this tag (Tag != 0);
    // their senders return Cancelled at once. The sender of a call of this
    // tag that is running just now stops waiting too (the call goes on).
    static void Cancel(uintptr_t Tag);

    // Called (on the posting thread, outside every lock) after each Post or
    // Send, so that an event loop can schedule a Drain(). Empty: none.
    static void SetWakeUp(std::function<void()> Hook);

    // A platform message pump for Drain/DrainFor: it waits at most MaxWaitMs
    // for window messages of the main thread and dispatches them. Lets tests
    // drain a hidden window and this queue with the same call.
    static void SetPlatformPump(std::function<void(uint32_t MaxWaitMs)> Pump);

    // Runs the calls queued now, on the calling thread, which must be the main
    // thread (on another thread nothing runs). Returns the number run.
    static size_t Drain();
    // Runs queued calls, and those that arrive, for Ms milliseconds.
    static size_t DrainFor(uint32_t Ms);
    // Runs queued calls until Done() is true or Ms milliseconds passed;
    // returns Done()'s last answer.
    static bool DrainUntil(const std::function<bool()>& Done, uint32_t Ms);
    // The same for a Done() whose answer changes only where a call is posted
    // (Post(Nothing) will do): Done() is asked after calls ran and when Ms
    // passed, not every few ms, so a long wait costs no CPU.
    static bool DrainUntilPosted(const std::function<bool()>& Done, uint32_t Ms);
    // A call that does nothing: posted, it wakes a DrainUntilPosted.
    static void Nothing() {}

    // Calls waiting to run.
    static size_t Pending();
};

}  // namespace kelvo
