#include "uTickUtils.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kelvo {

namespace {

std::atomic<TTimeSource*> gSource{nullptr};

using Clock = std::chrono::steady_clock;

int64_t RealMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Signed distance from tick A to tick B: correct across the counter's wrap.
int32_t TicksFrom(uint32_t A, uint32_t B)
{
    return static_cast<int32_t>(B - A);
}

// The moment the real tick counter reaches Tick (the counter is the steady
// clock's milliseconds, so that is the start of that millisecond).
Clock::time_point RealTickTime(uint32_t Tick)
{
    const int64_t now = RealMs();
    return Clock::time_point(std::chrono::milliseconds(now + TicksFrom(static_cast<uint32_t>(now), Tick)));
}

}  // namespace

uint32_t GetTickCount32()
{
    if (TTimeSource* s = gSource.load(std::memory_order_acquire))
        return s->Tick();
    return static_cast<uint32_t>(static_cast<uint64_t>(RealMs()));
}

void SleepMs(uint32_t Ms)
{
    if (TTimeSource* s = gSource.load(std::memory_order_acquire)) {
        s->Sleep(Ms);
        return;
    }
    if (Ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

void TTimeSource::WaitFor(TWakeSignal& /*Signal*/, uint32_t /*Until*/)
{
    Sleep(1);
}

bool TWakeSignal::PendingLocked(uint32_t Now) const
{
    return FRaised || (FScheduled && TicksFrom(FDue, Now) >= 0);
}

bool TWakeSignal::TakeLocked(uint32_t Now)
{
    if (!PendingLocked(Now))
        return false;
    FRaised = false;
    if (FScheduled && TicksFrom(FDue, Now) >= 0)
        FScheduled = false;
    return true;
}

void TWakeSignal::Raise()
{
    {
        std::lock_guard<std::mutex> g(FLock);
        FRaised = true;
    }
    FWake.notify_all();
}

void TWakeSignal::RaiseAt(uint32_t Tick)
{
    {
        std::lock_guard<std::mutex> g(FLock);
        if (FScheduled && TicksFrom(FDue, Tick) >= 0)
            return;  // an earlier one is pending
        FScheduled = true;
        FDue = Tick;
    }
    FWake.notify_all();  // a wait must learn the earlier time
}

bool TWakeSignal::Pending()
{
    const uint32_t now = GetTickCount32();
    std::lock_guard<std::mutex> g(FLock);
    return PendingLocked(now);
}

bool TWakeSignal::Take()
{
    const uint32_t now = GetTickCount32();
    std::lock_guard<std::mutex> g(FLock);
    return TakeLocked(now);
}

bool WaitForSignal(TWakeSignal& Signal, uint32_t Until)
{
    if (TTimeSource* s = gSource.load(std::memory_order_acquire)) {
        s->WaitFor(Signal, Until);
        return Signal.Take();
    }
    std::unique_lock<std::mutex> lock(Signal.FLock);
    for (;;) {
        const uint32_t now = static_cast<uint32_t>(static_cast<uint64_t>(RealMs()));
        if (Signal.TakeLocked(now))
            return true;
        if (TicksFrom(Until, now) >= 0)
            return false;
        uint32_t wakeAt = Until;
        if (Signal.FScheduled && TicksFrom(Signal.FDue, wakeAt) > 0)
            wakeAt = Signal.FDue;
        Signal.FWake.wait_until(lock, RealTickTime(wakeAt));
    }
}

void SetTimeSource(TTimeSource* Source)
{
    gSource.store(Source, std::memory_order_release);
}

}  // namespace kelvo
