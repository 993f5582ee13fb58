// Safe sync: the slot table and the synchronous hand-over to the main thread.

#include "AfSafeSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "AfComPortCore.h"
#include "TestWait.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"

namespace kelvo::test {
namespace {

TEST(AfSafeSync, SixtyFourSlotsWithIdsCountingUp)
{
    std::vector<uint32_t> ids;
    for (;;) {
        const uint32_t id = SyncRegister([] {});
        if (id == 0)
            break;
        ids.push_back(id);
        ASSERT_LE(ids.size(), 64u);
    }
    // Other tests may hold slots of their own just now; none do here.
    EXPECT_EQ(ids.size(), 64u);
    for (size_t i = 1; i < ids.size(); ++i)
        EXPECT_GT(ids[i], ids[i - 1]);
    SyncUnregister(ids[10]);
    const uint32_t again = SyncRegister([] {});
    EXPECT_GT(again, ids.back());  // a freed slot gets a new id
    EXPECT_EQ(SyncRegister([] {}), 0u);
    SyncUnregister(again);
    for (uint32_t id : ids)
        SyncUnregister(id);
    EXPECT_FALSE(SyncCall(ids[0], 10));  // gone
}

TEST(AfSafeSync, CallsRunOnTheMainThreadOnlyWhileEnabled)
{
    std::atomic<int> runs{0};
    std::thread::id ranOn;
    const uint32_t id = SyncRegister([&] {
        ranOn = std::this_thread::get_id();
        ++runs;
    });
    ASSERT_NE(id, 0u);
    // Registered disabled.
    bool result = true;
    std::thread w1([&] { result = SyncCall(id, 2000); });
    w1.join();
    EXPECT_FALSE(result);

    SyncEnable(id, true);
    std::atomic<bool> done{false};
    std::thread w2([&] {
        result = SyncCall(id, 2000);
        done = true;
    });
    EXPECT_TRUE(TMainThreadQueue::DrainUntil([&] { return done.load(); }, 3000));
    w2.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // A main thread that does not answer: the caller gets on after the
    // timeout, and the slot being enabled still counts as delivered.
    const auto start = std::chrono::steady_clock::now();
    std::thread w3([&] { result = SyncCall(id, 200); });
    w3.join();
    EXPECT_GE(MsSince(start), 190);
    EXPECT_TRUE(result);
    TMainThreadQueue::DrainFor(50);
    SyncUnregister(id);
}

TEST(AfSafeSync, DisablingReleasesAWaitingCaller)
{
    std::atomic<int> runs{0};
    const uint32_t id = SyncRegister([&] { ++runs; });
    SyncEnable(id, true);
    std::atomic<bool> done{false};
    bool result = true;
    std::thread w([&] {
        result = SyncCall(id, 2000);
        done = true;
    });
    // The caller waits for us; give it time to get there.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SyncEnable(id, false);
    w.join();
    EXPECT_FALSE(result);
    TMainThreadQueue::DrainFor(20);
    EXPECT_EQ(runs.load(), 0);
    SyncUnregister(id);
}

TEST(AfSafeSync, HandlerFailuresAreShownButAbortsAreSilent)
{
    std::vector<std::string> shown;
    TScopedMessageSink sink([&](const std::string& t) { shown.push_back(t); });
    bool abort = false;
    const uint32_t id = SyncRegister([&] {
        if (abort)
            throw EAfAbort();
        throw Exception("handler failed");
    });
    SyncEnable(id, true);
    for (bool a : {false, true}) {
        abort = a;
        std::atomic<bool> done{false};
        std::thread w([&] {
            SyncCall(id, 2000);
            done = true;
        });
        TMainThreadQueue::DrainUntil([&] { return done.load(); }, 3000);
        w.join();
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "handler failed");
    SyncUnregister(id);
}

}  // namespace
}  // namespace kelvo::test
