// The main-thread queue: who runs what, on which thread, and what a sender
// sees when the main thread is late or the call is withdrawn.

#include "uMainThreadQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "TestWait.h"
#include "uExceptions.h"
#include "uMessageSink.h"

namespace kelvo::test {
namespace {

TEST(MainThreadQueue, PostedCallsRunInOrderOnTheMainThreadWhenDrained)
{
    TMainThreadQueue::Init();
    ASSERT_TRUE(TMainThreadQueue::IsMainThread());
    TMainThreadQueue::Drain();

    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread worker([&] {
        EXPECT_FALSE(TMainThreadQueue::IsMainThread());
        for (int i = 0; i < 3; ++i)
            TMainThreadQueue::Post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        // A worker cannot drain: nothing runs here.
        EXPECT_EQ(TMainThreadQueue::Drain(), 0u);
    });
    worker.join();
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(TMainThreadQueue::Pending(), 3u);
    EXPECT_EQ(TMainThreadQueue::Drain(), 3u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (auto id : threads)
        EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(MainThreadQueue, DrainRunsOnlyWhatWasQueuedWhenItStarted)
{
    TMainThreadQueue::Init();
    int runs = 0;
    std::function<void()> again;
    again = [&] {
        if (++runs < 3)
            TMainThreadQueue::Post([&] { again(); });
    };
    TMainThreadQueue::Post([&] { again(); });
    EXPECT_EQ(TMainThreadQueue::Drain(), 1u);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(TMainThreadQueue::Pending(), 1u);
    EXPECT_EQ(TMainThreadQueue::Drain(), 1u);
    EXPECT_EQ(TMainThreadQueue::Drain(), 1u);
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(TMainThreadQueue::Pending(), 0u);
}

TEST(MainThreadQueue, SendWaitsForTheMainThread)
{
    TMainThreadQueue::Init();
    // On the main thread itself the call runs at once.
    bool inline_ran = false;
    EXPECT_EQ(TMainThreadQueue::Send([&] { inline_ran = true; }, 10), TSendResult::Done);
    EXPECT_TRUE(inline_ran);

    std::atomic<int> ranOn{0};
    std::atomic<bool> returned{false};
    TSendResult result = TSendResult::TimedOut;
    const auto main = std::this_thread::get_id();
    std::thread worker([&] {
        result = TMainThreadQueue::Send([&] { ranOn = std::this_thread::get_id() == main ? 1 : 2; }, 5000);
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([] { return TMainThreadQueue::Pending() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(returned);  // still waiting for us
    EXPECT_TRUE(TMainThreadQueue::DrainUntil([&] { return returned.load(); }, 3000));
    worker.join();
    EXPECT_EQ(result, TSendResult::Done);
    EXPECT_EQ(ranOn.load(), 1);
}

TEST(MainThreadQueue, AWaitForPostedNewsAsksOnlyWhenACallRanOrTheTimeIsUp)
{
    TMainThreadQueue::Init();
    TMainThreadQueue::Drain();
    // Nothing posted: Done() is asked at the start and at the end only, not
    // every few ms (a long wait of a command-line tool costs no CPU).
    int asked = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TMainThreadQueue::DrainUntilPosted([&] { return ++asked, false; }, 200));
    EXPECT_GE(MsSince(start), 190);
    EXPECT_LE(asked, 3);

    // A worker sets its flag, then posts: the wait ends then, not at its limit.
    std::atomic<bool> flag{false};
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        flag = true;
        TMainThreadQueue::Post(TMainThreadQueue::Nothing);
    });
    const auto posted = std::chrono::steady_clock::now();
    EXPECT_TRUE(TMainThreadQueue::DrainUntilPosted([&] { return flag.load(); }, 5000));
    EXPECT_LT(MsSince(posted), 2500);
    worker.join();
}

TEST(MainThreadQueue, SendersWaitingAtOnceEachReturnWhenTheirOwnCallRan)
{
    TMainThreadQueue::Init();
    TMainThreadQueue::Drain();
    constexpr int kSenders = 8;
    std::atomic<int> returned{0};
    std::vector<int> ran(kSenders, 0);
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i)
        senders.emplace_back([&, i] {
            EXPECT_EQ(TMainThreadQueue::Send([&ran, i] { ++ran[size_t(i)]; }, 5000), TSendResult::Done);
            EXPECT_EQ(ran[size_t(i)], 1);  // its own call, not another's, has run
            ++returned;
        });
    ASSERT_TRUE(WaitUntil([] { return TMainThreadQueue::Pending() == kSenders; }));
    // Each sender is woken by the end of its own call: none waits out its
    // time-out.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(TMainThreadQueue::DrainUntil([&] { return returned.load() == kSenders; }, 5000));
    EXPECT_LT(MsSince(start), 2500);
    for (std::thread& t : senders)
        t.join();
}

TEST(MainThreadQueue, ALateMainThreadNeverRunsAWithdrawnCall)
{
    TMainThreadQueue::Init();
    std::atomic<bool> ran{false};
    TSendResult result = TSendResult::Done;
    std::thread worker([&] {
        const auto start = std::chrono::steady_clock::now();
        result = TMainThreadQueue::Send([&] { ran = true; }, 150);
        EXPECT_GE(MsSince(start), 140);
    });
    worker.join();
    EXPECT_EQ(result, TSendResult::TimedOut);
    TMainThreadQueue::Drain();
    EXPECT_FALSE(ran);
    EXPECT_EQ(TMainThreadQueue::Pending(), 0u);
}

TEST(MainThreadQueue, CancelReleasesWaitingSendersOfThatTagOnly)
{
    TMainThreadQueue::Init();
    static char tagA, tagB;
    std::atomic<int> ranA{0}, ranB{0};
    TSendResult a = TSendResult::Done;
    TSendResult b = TSendResult::Done;
    std::thread wa([&] { a = TMainThreadQueue::Send([&] { ++ranA; }, 5000, reinterpret_cast<uintptr_t>(&tagA)); });
    std::thread wb([&] { b = TMainThreadQueue::Send([&] { ++ranB; }, 5000, reinterpret_cast<uintptr_t>(&tagB)); });
    ASSERT_TRUE(WaitUntil([] { return TMainThreadQueue::Pending() == 2; }));
    const auto start = std::chrono::steady_clock::now();
    TMainThreadQueue::Cancel(reinterpret_cast<uintptr_t>(&tagA));
    wa.join();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(a, TSendResult::Cancelled);
    EXPECT_EQ(TMainThreadQueue::Pending(), 1u);
    TMainThreadQueue::DrainUntil([&] { return ranB.load() == 1; }, 3000);
    wb.join();
    EXPECT_EQ(b, TSendResult::Done);
    EXPECT_EQ(ranA.load(), 0);
}

TEST(MainThreadQueue, FailingCallsAreReportedAndTheRestStillRuns)
{
    TMainThreadQueue::Init();
    std::vector<std::string> shown;
    TScopedMessageSink sink([&](const std::string& t) { shown.push_back(t); });
    int after = 0;
    TMainThreadQueue::Post([] { throw Exception("broken call"); });
    TMainThreadQueue::Post([] { throw 42; });
    TMainThreadQueue::Post([&] { ++after; });
    EXPECT_EQ(TMainThreadQueue::Drain(), 3u);
    EXPECT_EQ(after, 1);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], "broken call");
}

TEST(MainThreadQueue, WakeUpHookHearsEveryPost)
{
    TMainThreadQueue::Init();
    std::atomic<int> wakes{0};
    TMainThreadQueue::SetWakeUp([&] { ++wakes; });
    std::thread worker([] {
        TMainThreadQueue::Post([] {});
        TMainThreadQueue::Post([] {});
    });
    worker.join();
    TMainThreadQueue::SetWakeUp(nullptr);
    EXPECT_EQ(wakes.load(), 2);
    EXPECT_EQ(TMainThreadQueue::DrainFor(20), 2u);
}

}  // namespace
}  // namespace kelvo::test
