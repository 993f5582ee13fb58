#pragma once
// Time for the protocol and the channels: a 32-bit millisecond tick counter
// (wraps after about 49.7 days, like the system's) and a millisecond sleep.
// Deadlines are computed with these two only, so a test can install its own
// time source and step through a deadline without waiting for it.

#include <cstdint>
#include <functional>

namespace kelvo {

// A replacement clock for tests. Sleep must advance what Tick returns.
class TTimeSource {
public:
    virtual ~TTimeSource() = default;
    virtual uint32_t Tick() = 0;
    virtual void Sleep(uint32_t Ms) = 0;
};

// Milliseconds since an arbitrary start, modulo 2^32.
uint32_t GetTickCount32();

// Sleeps at least Ms milliseconds (0 yields the processor).
void SleepMs(uint32_t Ms);

// CPU time the whole process has used so far, all threads, user and
// system, in microseconds: what waiting costs, for tests and benchmarks.
uint64_t ProcessCpuMicros();

// Installs Source for the whole process (nullptr restores the real clock).
// Meant for tests; the caller keeps ownership and must restore before the
// source dies.
void SetTimeSource(TTimeSource* Source);

// A time source that moves only when someone sleeps on it; after each sleep
// it runs OnSleep (when set) with the new time, so that a scripted peer can
// deliver its bytes at the right moment. For single-threaded tests.
class TManualTimeSource : public TTimeSource {
public:
    explicit TManualTimeSource(uint32_t Start = 1000) : FNow(Start) {}
    uint32_t Tick() override { return FNow; }
    void Sleep(uint32_t Ms) override
    {
        FNow += (Ms == 0 ? 1 : Ms);
        if (OnSleep)
            OnSleep(FNow);
    }
    void Advance(uint32_t Ms) { FNow += Ms; }

    std::function<void(uint32_t Now)> OnSleep;

private:
    uint32_t FNow;
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
