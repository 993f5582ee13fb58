#pragma once
// Time for the protocol and the channels: a 32-bit millisecond tick counter
// (wraps after about 49.7 days, like the system's), a millisecond sleep, and
// a wait for a signal that ends at a tick. Deadlines are computed with these
// only, so a test can install its own time source and step through a
// deadline without waiting for it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kelvo {

// A wake-up call to a waiting thread, raised from any other thread: the
// receive side of a channel raises it when bytes arrived, and Query waits
// for it. A raise stays until a wait takes it, so one that comes between a
// look at the line and the wait after it is not lost. It can also be set to
// raise itself once the tick counter reaches a tick (a simulated line,
// whose bytes become readable on a schedule).
class TWakeSignal {
public:
    void Raise();
    // Raised from Tick on; an earlier pending time is kept.
    void RaiseAt(uint32_t Tick);
    // Raised now (or due), without taking it.
    bool Pending();
    // Takes the raise (and a due time that has come); true when there was one.
    bool Take();

private:
    friend bool WaitForSignal(TWakeSignal& Signal, uint32_t Until);
    bool PendingLocked(uint32_t Now) const;
    bool TakeLocked(uint32_t Now);

    std::mutex FLock;
    std::condition_variable FWake;
    bool FRaised = false;
    bool FScheduled = false;
    uint32_t FDue = 0;
};

// A replacement clock for tests. Sleep must advance what Tick returns.
class TTimeSource {
public:
    virtual ~TTimeSource() = default;
    virtual uint32_t Tick() = 0;
    virtual void Sleep(uint32_t Ms) = 0;
    // Waits for Signal or until Tick reaches Until. This one takes a single
    // step of one millisecond, whatever the signal does: a source that
    // knows nothing of signals drives such a wait like a poll, one look per
    // millisecond.
    virtual void WaitFor(TWakeSignal& Signal, uint32_t Until);
};

// Milliseconds since an arbitrary start, modulo 2^32.
uint32_t GetTickCount32();

// Sleeps at least Ms milliseconds (0 yields the processor).
void SleepMs(uint32_t Ms);

// Waits until Signal is raised or the tick counter reaches Until (at once
// when it has), and takes the raise; true when the signal was raised. On an
// installed time source it may end sooner (see TTimeSource::WaitFor), so a
// caller looks at what it waits for and waits again.
bool WaitForSignal(TWakeSignal& Signal, uint32_t Until);

// CPU time the whole process has used so far, all threads, user and
// system, in microseconds: what waiting costs, for tests and benchmarks.
uint64_t ProcessCpuMicros();

// Installs Source for the whole process (nullptr restores the real clock).
// Meant for tests; the caller keeps ownership and must restore before the
// source dies.
void SetTimeSource(TTimeSource* Source);

// A time source that moves only when someone sleeps on it (a wait for a
// signal is a sleep of one millisecond); after each sleep it runs OnSleep
// (when set) with the new time, so that a scripted peer can deliver its
// bytes at the right moment. Threads that sleep at once all move the one
// clock (OnSleep then runs on each of them, and is set before they start).
class TManualTimeSource : public TTimeSource {
public:
    explicit TManualTimeSource(uint32_t Start = 1000) : FNow(Start) {}
    uint32_t Tick() override { return FNow.load(); }
    void Sleep(uint32_t Ms) override
    {
        const uint32_t now = FNow.fetch_add(Ms == 0 ? 1 : Ms) + (Ms == 0 ? 1 : Ms);
        if (OnSleep)
            OnSleep(now);
    }
    void Advance(uint32_t Ms) { FNow += Ms; }

    std::function<void(uint32_t Now)> OnSleep;

private:
    std::atomic<uint32_t> FNow;
};

// Installs a time source for the lifetime of the object.
class TScopedTimeSource {
public:
    explicit TScopedTimeSource(TTimeSource* Source) { SetTimeSource(Source); }
    ~TScopedTimeSource() { SetTimeSource(nullptr); }
    TScopedTimeSource(const TScopedTimeSource&) = delete;
    TScopedTimeSource& operator=(const TScopedTimeSource&) = delete;
};

}  // namespace kelvo
