#include <gtest/gtest.h>

#include "uMessageSink.h"
#include "uTickUtils.h"

#include <stdexcept>
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
