#include "uMainThreadQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "uMessageSink.h"

namespace kelvo {

namespace {

enum class TState { Queued, Running, Done, Withdrawn };

struct TItem {
    TMainThreadQueue::TCall Call;
    uintptr_t Tag = 0;
    TState State = TState::Queued;
    bool Cancelled = false;
    bool Released = false;  // the sender need not wait for the end (running call)
    // The sender waits on this (under the queue's lock) for a change of
    // State or Released: one per call, so that the end of one call wakes its
    // own sender only, not every thread that is sending.
    std::condition_variable Finished;
};

struct TQueue {
    std::mutex Lock;
    std::condition_variable Arrived;   // a call was queued (DrainFor waits on it)
    std::deque<std::shared_ptr<TItem>> Items;
    std::vector<std::shared_ptr<TItem>> Running;
    std::thread::id Main;
    bool HasMain = false;
    std::function<void()> WakeUp;
    std::function<void(uint32_t)> Pump;
};

TQueue& Q()
{
    static TQueue q;
    return q;
}

using Clock = std::chrono::steady_clock;

void ReportFailure(std::exception_ptr e)
{
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        ShowMessage(ex.what());
    } catch (...) {
        ShowMessage("Unknown exception");
    }
}

void RunItem(const std::shared_ptr<TItem>& item)
{
    try {
        if (item->Call)
            item->Call();
    } catch (...) {
        ReportFailure(std::current_exception());
    }
    TQueue& q = Q();
    {
        std::lock_guard<std::mutex> g(q.Lock);
        item->State = TState::Done;
        item->Call = nullptr;  // captured state goes now, on the main thread
        for (auto it = q.Running.begin(); it != q.Running.end(); ++it) {
            if (*it == item) {
                q.Running.erase(it);
                break;
            }
        }
    }
    item->Finished.notify_all();
}

// Takes the next queued call, or nothing.
std::shared_ptr<TItem> TakeNext()
{
    TQueue& q = Q();
    std::lock_guard<std::mutex> g(q.Lock);
    while (!q.Items.empty()) {
        std::shared_ptr<TItem> item = std::move(q.Items.front());
        q.Items.pop_front();
        if (item->State == TState::Queued) {
            item->State = TState::Running;
            q.Running.push_back(item);
            return item;
        }
    }
    return nullptr;
}

bool CallerIsMain()
{
    TQueue& q = Q();
    std::lock_guard<std::mutex> g(q.Lock);
    if (!q.HasMain) {
        q.Main = std::this_thread::get_id();
        q.HasMain = true;
    }
    return q.Main == std::this_thread::get_id();
}

void Wake()
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> g(Q().Lock);
        hook = Q().WakeUp;
    }
    Q().Arrived.notify_all();
    if (hook) {
        try {
            hook();
        } catch (...) {
        }
    }
}

}  // namespace

void TMainThreadQueue::Init()
{
    CallerIsMain();
}

void TMainThreadQueue::SetMainThread(std::thread::id Id)
{
    std::lock_guard<std::mutex> g(Q().Lock);
    Q().Main = Id;
    Q().HasMain = true;
}

bool TMainThreadQueue::IsMainThread()
{
    std::lock_guard<std::mutex> g(Q().Lock);
    return Q().HasMain && Q().Main == std::this_thread::get_id();
}

void TMainThreadQueue::Post(TCall Call, uintptr_t Tag)
{
    auto item = std::make_shared<TItem>();
    item->Call = std::move(Call);
    item->Tag = Tag;
    {
        std::lock_guard<std::mutex> g(Q().Lock);
        Q().Items.push_back(std::move(item));
    }
    Wake();
}

TSendResult TMainThreadQueue::Send(TCall Call, uint32_t TimeoutMs, uintptr_t Tag)
{
    if (IsMainThread()) {
        try {
            if (Call)
                Call();
        } catch (...) {
            ReportFailure(std::current_exception());
        }
        return TSendResult::Done;
    }
    TQueue& q = Q();
    auto item = std::make_shared<TItem>();
    item->Call = std::move(Call);
    item->Tag = Tag;
    {
        std::lock_guard<std::mutex> g(q.Lock);
        q.Items.push_back(item);
    }
    Wake();

    std::unique_lock<std::mutex> g(q.Lock);
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    item->Finished.wait_until(g, deadline, [&] {
        return item->State == TState::Done || item->State == TState::Withdrawn || item->Released;
    });
    if (item->Released && item->State == TState::Running)
        return TSendResult::Cancelled;
    switch (item->State) {
    case TState::Done:
        return TSendResult::Done;
    case TState::Withdrawn:
        return item->Cancelled ? TSendResult::Cancelled : TSendResult::TimedOut;
    case TState::Queued: {
        // Not started: take it back, so it never runs after its sender gave up.
        item->State = TState::Withdrawn;
        TCall dropped = std::move(item->Call);
        g.unlock();
        return TSendResult::TimedOut;
    }
    case TState::Running:
        break;
    }
    return TSendResult::TimedOut;
}

void TMainThreadQueue::Cancel(uintptr_t Tag)
{
    if (Tag == 0)
        return;
    TQueue& q = Q();
    std::deque<TCall> dropped;  // destroyed outside the lock
    std::vector<std::shared_ptr<TItem>> told;
    {
        std::lock_guard<std::mutex> g(q.Lock);
        for (auto& item : q.Items) {
            if (item->Tag == Tag && item->State == TState::Queued) {
                item->State = TState::Withdrawn;
                item->Cancelled = true;
                dropped.push_back(std::move(item->Call));
                told.push_back(item);
            }
        }
        // A call of this tag that is running just now (the main thread
        // cancels from inside it): its sender stops waiting too.
        for (auto& item : q.Running)
            if (item->Tag == Tag) {
                item->Released = true;
                told.push_back(item);
            }
    }
    for (auto& item : told)
        item->Finished.notify_all();
}

void TMainThreadQueue::SetWakeUp(std::function<void()> Hook)
{
    std::lock_guard<std::mutex> g(Q().Lock);
    Q().WakeUp = std::move(Hook);
}

void TMainThreadQueue::SetPlatformPump(std::function<void(uint32_t MaxWaitMs)> Pump)
{
    std::lock_guard<std::mutex> g(Q().Lock);
    Q().Pump = std::move(Pump);
}

size_t TMainThreadQueue::Drain()
{
    if (!CallerIsMain())
        return 0;
    std::function<void(uint32_t)> pump;
    size_t budget;
    {
        std::lock_guard<std::mutex> g(Q().Lock);
        pump = Q().Pump;
        budget = Q().Items.size();
    }
    if (pump)
        pump(0);
    size_t n = 0;
    // Only what is queued now: a call that posts another does not keep the
    // loop going for ever.
    while (budget-- > 0) {
        std::shared_ptr<TItem> item = TakeNext();
        if (!item)
            break;
        RunItem(item);
        ++n;
    }
    return n;
}

namespace {

// Drains until Done() or the deadline; counts the calls run into *Count.
bool DrainUntilCounting(const std::function<bool()>& Done, uint32_t Ms, size_t* Count, bool LookAgain)
{
    if (!CallerIsMain())
        return Done();
    TQueue& q = Q();
    const auto deadline = Clock::now() + std::chrono::milliseconds(Ms);
    for (;;) {
        *Count += TMainThreadQueue::Drain();
        if (Done())
            return true;
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        std::function<void(uint32_t)> pump;
        {
            std::lock_guard<std::mutex> g(q.Lock);
            pump = q.Pump;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        // Done() may depend on other threads too: look again every few ms.
        // Window messages do not wake our condition variable either.
        const uint32_t cap = (LookAgain || pump) ? 5 : 0xFFFFFFFFu;
        const auto slice = static_cast<uint32_t>(left < cap ? left : cap);
        if (pump) {
            pump(slice);
        } else {
            std::unique_lock<std::mutex> g(q.Lock);
            q.Arrived.wait_for(g, std::chrono::milliseconds(slice), [&] {
                for (auto& item : q.Items)
                    if (item->State == TState::Queued)
                        return true;
                return false;
            });
        }
    }
}

}  // namespace

size_t TMainThreadQueue::DrainFor(uint32_t Ms)
{
    size_t n = 0;
    DrainUntilCounting([] { return false; }, Ms, &n, false);
    return n;
}

bool TMainThreadQueue::DrainUntil(const std::function<bool()>& Done, uint32_t Ms)
{
    size_t n = 0;
    return DrainUntilCounting(Done, Ms, &n, true);
}

bool TMainThreadQueue::DrainUntilPosted(const std::function<bool()>& Done, uint32_t Ms)
{
    size_t n = 0;
    return DrainUntilCounting(Done, Ms, &n, false);
}

size_t TMainThreadQueue::Pending()
{
    std::lock_guard<std::mutex> g(Q().Lock);
    size_t n = 0;
    for (auto& item : Q().Items)
        if (item->State == TState::Queued)
            ++n;
    return n;
}

}  // namespace kelvo
