// The parts of kelvoctl that need no port: backup files, speed lists,
// texts and tables.
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
#include "kelvoctl_json.h"
#include "uModuleSettings.h"
#include "kelvoctl_parallel.h"
#include "kelvoctl_report.h"
#include "kelvoctl_table.h"
#include "kelvoctl_text.h"
#include "uConversionUtils.h"
#include "uEditorLimits.h"
#include "uMainThreadQueue.h"

using namespace kelvo;
using namespace kelvo::ctl;
using kelvo::testing::SampleRecord;
using Session = kelvo::testing::TSampleSession;

TEST(KelvoctlBackup, ABackupRestoredOntoItsModuleChangesNothing)
{
    TKelvorec r = SampleRecord();
    // Values whose decimal form is not short: 0.1f, 1e-7f, an offset with
    // many digits, a name in Czech and bytes the code page leaves undefined.
    r.Channels[0].Offset = 123456.79f;
    r.Channels[0].Slope = 0.000123f;
    r.Channels[1].Name = FitText("Teplota \xE8\x81", kChannelNameWidth);
    r.Watch[2].Upper = -0.0f;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> any(-10000, 10000);
    r.Watch[1].Lower = any(rng);
    r.Watch[1].Hysteresis = any(rng);

    const std::string text = BackupJson(r).dump(2);
    const TBackup b = ParseBackup(text);
    EXPECT_EQ(b.Model, "KelvoUSB");
    Session s(r);
    EXPECT_TRUE(ApplyAssignments(s.S, b.Settings).empty()) << text;
    EXPECT_FALSE(s.S.WorkingCopyDiffers());

    // What the module lacks is null and skipped; the document says where it
    // came from.
    const auto doc = nlohmann::json::parse(text);
    EXPECT_TRUE(doc["settings"]["ch4"].is_null());
    EXPECT_TRUE(doc["settings"]["ch1"]["gain"].is_null());
    EXPECT_TRUE(doc["settings"]["ch2"]["sensor"].is_null());
    EXPECT_EQ(doc["settings"]["ch3"]["gain"], "4x");
    EXPECT_EQ(doc["settings"]["ch2"]["min"], -50);
    EXPECT_EQ(doc["settings"]["ch1"]["hyst"], 1e-7);
    EXPECT_EQ(doc["serial"], "0042.xx.xx/0256");

    // Onto another module of the model it changes what differs.
    TKelvorec other = SampleRecord();
    other.Channels[1].Unit = FitText("K", kUnitWidth);
    other.Info.UserData = "jinde";
    Session o(other);
    const auto changes = ApplyAssignments(o.S, b.Settings);
    std::vector<std::string> keys;
    for (const auto& c : changes)
        keys.push_back(c.Key.Name());
    EXPECT_EQ(keys, (std::vector<std::string>{"userdata", "ch1.min", "ch1.max", "ch2.name", "ch2.unit",
                                              "ch2.lower", "ch2.hyst", "ch3.upper"}));
    EXPECT_EQ(o.S.EditedChannels[1].Name, r.Channels[1].Name);
    EXPECT_EQ(o.S.EditedChannels[0].Offset, r.Channels[0].Offset);
}

TEST(KelvoctlBackup, AnythingButAValidBackupIsRefused)
{
    const std::string good = BackupJson(SampleRecord()).dump();
    EXPECT_NO_THROW(ParseBackup(good));
    auto with = [&](const std::function<void(nlohmann::json&)>& Edit) {
        auto j = nlohmann::json::parse(good);
        Edit(j);
        return j.dump();
    };
    const std::vector<std::pair<std::string, std::string>> bad{
        {"", "empty"},
        {"{\"kelvoctl\": \"backup\"", "cut short"},
        {"[1, 2]", "an array"},
        {"\"x\"", "a string"},
        {with([](auto& j) { j.erase("kelvoctl"); }), "no kind"},
        {with([](auto& j) { j["kelvoctl"] = "other"; }), "other kind"},
        {with([](auto& j) { j["version"] = 2; }), "newer version"},
        {with([](auto& j) { j["version"] = "1"; }), "version as text"},
        {with([](auto& j) { j.erase("model"); }), "no model"},
        {with([](auto& j) { j["settings"] = nullptr; }), "no settings"},
        {with([](auto& j) { j["settings"]["colour"] = "red"; }), "unknown setting"},
        {with([](auto& j) { j["settings"]["ch1"]["colour"] = "red"; }), "unknown channel setting"},
        {with([](auto& j) { j["settings"]["ch1"] = 5; }), "channel not an object"},
        {with([](auto& j) { j["settings"]["ch1"]["upper"] = 20000; }), "out of limits"},
        {with([](auto& j) { j["settings"]["ch1"]["name"] = 7; }), "name a number"},
        {with([](auto& j) { j["settings"]["ch1"]["upper"] = true; }), "limit a switch"},
        {with([](auto& j) { j["settings"]["ch1"]["upper"] = nlohmann::json::array(); }), "limit a list"},
        {with([](auto& j) { j["settings"]["address"] = 1.5; }), "address not whole"},
        {with([](auto& j) { j["settings"]["ch1"]["unit"] = "\u00B3"; }), "character the module lacks"},
        {"{\"kelvoctl\":\"backup\",\"version\":1,\"model\":\"\xFF\",\"settings\":{}}", "invalid UTF-8"},
    };
    for (const auto& [text, why] : bad)
        EXPECT_THROW(ParseBackup(text), EUsageError) << why;

    // Switches may be true/false, numbers may be text; null is skipped.
    // The settings come in the order of the key list, whatever the file's.
    const TBackup b = ParseBackup(with([](auto& j) {
        auto& s = j["settings"];
        s["ch1"]["upper"] = "2,5";
        s["ch1"]["watch"] = true;
        s["ch1"]["name"] = nullptr;
        s["ch2"] = nullptr;
        const auto address = s["address"];
        s.erase("address");
        s["address"] = address;
    }));
    std::vector<std::string> keys;
    for (const auto& a : b.Settings)
        keys.push_back(a.Key.Name());
    EXPECT_EQ(keys.front(), "address");
    EXPECT_EQ(std::find(keys.begin(), keys.end(), "ch1.name"), keys.end());
    EXPECT_EQ(std::count_if(keys.begin(), keys.end(), [](const std::string& k) { return k.rfind("ch2.", 0) == 0; }), 0);
    const auto at = [&](const std::string& Key) { return b.Settings[std::find(keys.begin(), keys.end(), Key) - keys.begin()]; };
    EXPECT_TRUE(at("ch1.watch").Switch);
    EXPECT_EQ(at("ch1.upper").Number, 2.5);
    EXPECT_LT(std::find(keys.begin(), keys.end(), "ch1.watch"), std::find(keys.begin(), keys.end(), "ch1.upper"));

    // A file that lacks a setting is refused, and says which.
    for (const auto& [edit, what] : std::vector<std::pair<std::function<void(nlohmann::json&)>, std::string>>{
             {[](auto& j) { j["settings"].erase("ch2"); }, "ch2"},
             {[](auto& j) { j["settings"]["ch1"].erase("unit"); }, "ch1.unit"},
             {[](auto& j) { j["settings"].erase("speed"); }, "speed"},
         }) {
        try {
            ParseBackup(with(edit));
            ADD_FAILURE() << what;
        } catch (const EUsageError& e) {
            EXPECT_NE(e.Message().find("incomplete (missing: " + what + ")"), std::string::npos) << e.Message();
        }
    }
}

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
