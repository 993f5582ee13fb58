#include <gtest/gtest.h>

#include "uMessageSink.h"
#include "uTickUtils.h"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace kelvo;

TEST(TickUtils, InstalledSourceDrivesTickAndSleep)
{
    TManualTimeSource clock(0xFFFFFFF0u);
    std::vector<uint32_t> seen;
    clock.OnSleep = [&](uint32_t now) { seen.push_back(now); };
    {
        TScopedTimeSource scope(&clock);
        EXPECT_EQ(GetTickCount32(), 0xFFFFFFF0u);
        SleepMs(20);  // wraps like the system counter
        EXPECT_EQ(GetTickCount32(), 4u);
    }
    EXPECT_EQ(seen, std::vector<uint32_t>{4u});
    // The real clock is back and moves forward on its own.
    uint32_t a = GetTickCount32();
    SleepMs(5);
    EXPECT_GE(static_cast<uint32_t>(GetTickCount32() - a), 4u);
}

TEST(TickUtils, WaitForSignalEndsAtARaiseAtItsDueTickOrAtUntil)
{
    TWakeSignal s;
    auto since = [](uint32_t start) { return static_cast<uint32_t>(GetTickCount32() - start); };

    // A raise that came before the wait is kept for it, and taken.
    s.Raise();
    EXPECT_TRUE(s.Pending());
    EXPECT_TRUE(WaitForSignal(s, GetTickCount32() + 5000));
    EXPECT_FALSE(s.Pending());

    // Nothing comes: the wait lasts until Until.
    uint32_t start = GetTickCount32();
    EXPECT_FALSE(WaitForSignal(s, start + 30));
    EXPECT_GE(since(start), 30u);

    // A due tick ends it then, however far Until is; the earlier of two stays.
    start = GetTickCount32();
    s.RaiseAt(start + 30);
    s.RaiseAt(start + 4000);
    EXPECT_TRUE(WaitForSignal(s, start + 5000));
    EXPECT_GE(since(start), 30u);
    EXPECT_LT(since(start), 3000u);

    // Raised by another thread in the middle of the wait.
    start = GetTickCount32();
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        s.Raise();
    });
    EXPECT_TRUE(WaitForSignal(s, start + 5000));
    EXPECT_LT(since(start), 3000u);
    raiser.join();

    // On an installed source each wait is one step of a millisecond.
    TManualTimeSource clock(100);
    TScopedTimeSource scope(&clock);
    s.Raise();
    EXPECT_TRUE(WaitForSignal(s, 1000));
    EXPECT_EQ(clock.Tick(), 101u);
    EXPECT_FALSE(WaitForSignal(s, 1000));
    s.RaiseAt(103);
    EXPECT_TRUE(WaitForSignal(s, 1000));
    EXPECT_EQ(clock.Tick(), 103u);
}

TEST(MessageSink, RecordsAndRestoresAndSwallowsSinkErrors)
{
    std::vector<std::string> got;
    {
        TScopedMessageSink scope([&](const std::string& t) { got.push_back(t); });
        ShowMessage("one");
        {
            TScopedMessageSink inner([](const std::string&) { throw std::runtime_error("x"); });
            EXPECT_NO_THROW(ShowMessage("lost"));
        }
        ShowMessage("two");
    }
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
}
