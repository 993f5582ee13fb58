// The parts of kelvoctl that need no port: speed lists, texts, tables and
// the pool of workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kelvoctl_args.h"
#include "SampleModule.h"
#include "kelvoctl_parallel.h"
#include "kelvoctl_report.h"
#include "kelvoctl_table.h"
#include "kelvoctl_text.h"
#include "uConversionUtils.h"
#include "uMainThreadQueue.h"

using namespace kelvo;
using namespace kelvo::ctl;
using kelvo::testing::SampleRecord;

TEST(KelvoctlArgs, PortsAndSpeedLists)
{
    EXPECT_EQ(ParsePortName("COM5"), 5);
    EXPECT_EQ(ParsePortName("com255"), 255);
    EXPECT_EQ(ParsePortName("12"), 12);
    for (const char* bad : {"COM0", "COM256", "COM", "COMX", "", "COM-1", "/dev/ttyS0", "COM1a"})
        EXPECT_THROW(ParsePortName(bad), EUsageError) << bad;
    // Ports also by their device names; a node waits for its COM number.
    EXPECT_EQ(ParseInterfaceName("\\\\.\\COM5").Port, 5);
    EXPECT_EQ(ParseInterfaceName("/dev/ttyUSB0").Node, "/dev/ttyUSB0");
    EXPECT_EQ(ParseInterfaceName("usb:FT1").Text(), "USB:FT1");
    for (const char* bad : {"\\\\.\\LPT1", "dev/ttyS0", "USB:"})
        EXPECT_THROW(ParseInterfaceName(bad), EUsageError) << bad;

    EXPECT_EQ(ParseSpeedList("9600,115200"), (std::set<int32_t>{9600, 115200}));
    EXPECT_EQ(ParseSpeedList(" 19200 "), (std::set<int32_t>{19200}));
    EXPECT_EQ(ParseSpeedList("300, 230400,300"), (std::set<int32_t>{300, 230400}));
    EXPECT_EQ(ParseSpeedList("ALL").size(), 11u);
    for (const char* bad : {"", "9600,", ",9600", "110", "9601", "fast", "9600;19200"})
        EXPECT_THROW(ParseSpeedList(bad), EUsageError) << bad;
}

TEST(KelvoctlText, ModuleBytesAndUtf8)
{
    // Every byte survives the trip, the undefined ones included.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string utf8 = ModuleTextToUtf8(all);
    EXPECT_EQ(Utf8Length(utf8), 256u);
    EXPECT_EQ(Utf8ToModuleText(utf8), all);

    EXPECT_EQ(ModuleTextToUtf8("\xC8\xE8\x8A\x9A\xEC\xF8"), "ČčŠšěř");
    EXPECT_EQ(Utf8ToModuleText("Průtok €"), "Pr\xF9tok \x80");
    std::string why;
    EXPECT_FALSE(Utf8ToModuleText("Füße ✓", &why));
    EXPECT_NE(why.find("✓"), std::string::npos);
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80", "a\x80" "b"})
        EXPECT_FALSE(Utf8ToModuleText(bad)) << bad;

    EXPECT_EQ(PrintableText("a\tb\x1B[2J\xC2\x81č"), "a?b?[2J?č");
    EXPECT_EQ(PrintableText("x\xC3"), "x?");
}

TEST(KelvoctlReport, TablesLineUpAndCsvQuotes)
{
    TTextTable t({"Ch", "Name", "Max"});
    t.AlignRight(2);
    t.AddRow({"1", "Průtok", "150"});
    t.AddRow({"2", "X\tY", "5"});
    t.AddRow({"3"});
    EXPECT_EQ(t.Render(),
              "Ch  Name    Max\n"
              "--  ------  ---\n"
              "1   Průtok  150\n"
              "2   X?Y       5\n"
              "3\n");
    EXPECT_EQ(RenderPairs({{"Model", "KelvoRS"}, {"User data", ""}}), "Model      KelvoRS\nUser data\n");

}

TEST(KelvoctlReport, MeasuredValuesShowAsThePageShowsThem)
{
    std::array<TKelvoChannelRecountedValue, 4> v{};
    v[0].Valid = true;
    v[0].Text = "     12.50";
    v[1].Valid = true;
    v[1].Overrange = true;
    v[1].Text = "  99999.00";
    v[2].Valid = false;
    v[2].Text = "      1.00";
    v[3].Valid = false;
    v[3].Overrange = true;
    EXPECT_EQ(MeasureCells(v), (std::vector<std::string>{"12.50", "OVR ", "-", "-"}));

    const TKelvorec r = SampleRecord();
    EXPECT_EQ(MeasureHeadings(r), (std::vector<std::string>{"Time", "1 Tlak [bar]", "2 Teplota [C]",
                                                            "3 Vlhkost [%]", "4"}));
    const auto j = MeasureJson("t", true, r, v);
    EXPECT_EQ(j["values"][1]["display"], "OVR ");
    EXPECT_TRUE(j["values"][1]["overrange"].get<bool>());
    EXPECT_TRUE(j["values"][2]["value"].is_null());
    EXPECT_FALSE(j["values"][3]["overrange"].get<bool>());
}

TEST(KelvoctlParallel, ResultsComeInOrderWhileTheWorkOverlaps)
{
    TMainThreadQueue::Init();
    // Item 0 finishes last; the others wait for one another, so they can
    // only finish when they run at the same time.
    std::atomic<int> running{0}, most{0}, started{0};
    auto raise = [&most](int Now) {
        for (int m = most; m < Now && !most.compare_exchange_weak(m, Now);) {
        }
    };
    std::vector<size_t> order;
    std::vector<size_t> finishedBefore;
    std::atomic<size_t> finished{0};
    ctl::RunInParallel(
        4, 0,
        [&](size_t i) {
            ++started;
            raise(++running);
            while (started < 4)
                std::this_thread::yield();
            if (i == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            // The workers may hand work to the main thread, which keeps serving it.
            TMainThreadQueue::Send([] {}, 5000);
            --running;
            ++finished;
        },
        [&](size_t i) {
            order.push_back(i);
            finishedBefore.push_back(finished);
        });
    EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2, 3}));
    EXPECT_EQ(most, 4);
    EXPECT_EQ(finishedBefore.front(), 4u);  // 0 was reported only once it had finished

    // Jobs bounds the threads; an item's exception comes out after all ran.
    running = most = 0;
    std::atomic<int> ran{0};
    EXPECT_THROW(ctl::RunInParallel(
                     6, 2,
                     [&](size_t i) {
                         raise(++running);
                         std::this_thread::sleep_for(std::chrono::milliseconds(5));
                         --running;
                         ++ran;
                         if (i == 1)
                             throw std::runtime_error("item 1");
                     },
                     [](size_t) {}),
                 std::runtime_error);
    EXPECT_EQ(ran, 6);
    EXPECT_LE(most, 2);
}
