// The parts of kelvoctl that need no port: settings and their limits, the
// working copy they change, backup files, speed lists, texts and tables.
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
#include "kelvoctl_json.h"
#include "kelvoctl_keys.h"
#include "kelvoctl_parallel.h"
#include "kelvoctl_report.h"
#include "kelvoctl_table.h"
#include "kelvoctl_text.h"
#include "uConversionUtils.h"
#include "uEditorLimits.h"
#include "uMainThreadQueue.h"

using namespace kelvo;
using namespace kelvo::ctl;

namespace {

TChannelConfig Channel(uint8_t N, const char* Name, const char* Unit, float Min, float Max)
{
    TChannelConfig c;
    c.Number = N;
    c.Name = FitText(Name, kChannelNameWidth);
    c.Unit = FitText(Unit, kUnitWidth);
    c.RangeText = FitText("0-10 V", kRangeTextWidth);
    c.Decimals = 1;
    RangeToCoefficients(Min, Max, kRangeSpan, c.Offset, c.Slope);
    c.Sensor4to20mA = 2;
    return c;
}

// A module as a read leaves it: channel 1 with a 4-20 mA option, channel 3
// with gain, channel 4 not reported.
TKelvorec SampleRecord(uint8_t Model = kModelKelvoUSB)
{
    TKelvorec r;
    r.Model = Model;
    r.Info.Identification = "KelvoUSB 4AI v1.07";
    r.Info.UserData = "Hala 3";
    r.Info.SpeedCode = 6;
    r.Info.Address = 1;
    r.Info.ProductCode = 42;
    r.Info.SerialNumber = 256;
    r.Info.SerialText = "0042.xx.xx/0256";
    r.Channels[0] = Channel(1, "Tlak", "bar", 0, 10);
    r.Channels[0].Sensor4to20mA = 1;
    r.Channels[1] = Channel(2, "Teplota", "C", -50, 150);
    r.Channels[1].Sensor4to20mA = 0;
    r.Channels[2] = Channel(3, "Vlhkost", "%", 0, 100);
    r.Channels[2].HasGain = true;
    r.Channels[2].GainCode = 2;
    for (uint8_t i = 0; i < 3; ++i) {
        r.Watch[i].Number = i + 1;
        r.Watch[i].WatchFlags = 0x01;  // a bit the program must keep
        r.Watch[i].Upper = 0.1f;
        r.Watch[i].Lower = -7.25f;
        r.Watch[i].Hysteresis = 1e-7f;
    }
    return r;
}

struct Session {
    explicit Session(TKelvorec Record = SampleRecord())
    {
        S.ModuleRecord = std::move(Record);
        S.ResetWorkingCopy();
    }
    std::vector<TChange> Apply(std::vector<std::string> Args)
    {
        std::vector<TAssignment> a;
        for (const auto& s : Args)
            a.push_back(ParseAssignment(s));
        return ApplyAssignments(S, a);
    }
    TKelvoSession S;
};

std::string ErrorOf(const std::string& Assignment)
{
    try {
        ParseAssignment(Assignment);
    } catch (const EUsageError& e) {
        return e.Message();
    }
    return "";
}

}  // namespace

TEST(KelvoctlKeys, KeysAreNamedAndFoundInAnyCase)
{
    EXPECT_EQ(ParseKey("ch2.unit"), (TKey{TKeyField::Unit, 2}));
    EXPECT_EQ(ParseKey("CH4.Hyst"), (TKey{TKeyField::Hysteresis, 4}));
    EXPECT_EQ(ParseKey("Address"), (TKey{TKeyField::Address, 0}));
    EXPECT_EQ((TKey{TKeyField::RangeMin, 3}).Name(), "ch3.min");
    for (const char* bad : {"ch0.unit", "ch5.unit", "unit", "ch1.address", "ch1.", "ch12.unit", "", "ch1unit"})
        EXPECT_THROW(ParseKey(bad), EUsageError) << bad;
    EXPECT_THROW(ParseAssignment("ch1.unit"), EUsageError);
    EXPECT_THROW(ParseAssignment("=5"), EUsageError);
    // An empty value is a value: an empty unit.
    EXPECT_EQ(ParseAssignment("ch1.unit=").Text, "");
    // A value may contain "=".
    EXPECT_EQ(ParseAssignment("userdata=a=b").Text, "a=b");
    // Each key once per listing, module keys first.
    const auto keys = AllKeys();
    EXPECT_EQ(keys.size(), 3u + 4u * 11u);
    EXPECT_EQ(keys.front().Name(), "address");
    EXPECT_EQ(keys.back().Name(), "ch4.hyst");
}

TEST(KelvoctlKeys, ValuesAreHeldToTheEditorsLimits)
{
    // Accepted at the edges, refused just past them.
    for (const char* ok : {"ch1.upper=10000", "ch1.lower=-10000", "ch1.hyst=0", "ch2.min=-99999999",
                           "ch2.max=99999999", "ch1.decimals=0", "ch1.decimals=2", "address=0", "address=253",
                           "speed=300", "speed=230400", "ch1.gain=1x", "ch1.gain=128", "ch1.gain=16X"})
        EXPECT_EQ(ErrorOf(ok), "") << ok;
    for (const char* bad : {"ch1.upper=10000.01", "ch1.lower=-10001", "ch1.hyst=1e5", "ch2.min=-100000008",
                            "ch2.max=1e9", "ch2.max=100000000", "ch2.max=99999999.5", "ch1.decimals=3", "ch1.decimals=-1", "ch1.decimals=1.5",
                            "address=254", "address=-1", "speed=110", "speed=12345", "speed=", "ch1.gain=3x",
                            "ch1.gain=256", "ch1.gain=0", "ch1.watch=maybe", "ch1.sensor="})
        EXPECT_NE(ErrorOf(bad), "") << bad;
    EXPECT_EQ(ErrorOf("ch1.upper=20000"), "ch1.upper: 20000 is outside -10000 ... 10000");
    EXPECT_EQ(ErrorOf("ch1.decimals=-1"), "ch1.decimals: -1 is outside 0 ... 2");
    EXPECT_EQ(ErrorOf("ch1.decimals=1.5"), "ch1.decimals: \"1.5\" is not a whole number");
    // A limit as a module stores it comes only from a backup of one.
    EXPECT_NO_THROW(ParseSetting("ch2.max", "100000000", TValueSource::Backup));
    EXPECT_THROW(ParseSetting("ch2.max", "100000008", TValueSource::Backup), EUsageError);

    // Numbers as people write them, and nothing else.
    EXPECT_DOUBLE_EQ(ParseAssignment("ch1.upper=1,5").Number, 1.5);
    EXPECT_DOUBLE_EQ(ParseAssignment("ch1.upper=+2.5").Number, 2.5);
    EXPECT_DOUBLE_EQ(ParseAssignment("ch1.upper= -3 ").Number, -3);
    EXPECT_DOUBLE_EQ(ParseAssignment("ch1.upper=1e3").Number, 1000);
    for (const char* bad : {"ch1.upper=", "ch1.upper=nan", "ch1.upper=inf", "ch1.upper=0x10", "ch1.upper=1.2.3",
                            "ch1.upper=5V", "ch1.upper=+-5", "ch1.upper=--5", "ch1.upper=1 000"})
        EXPECT_NE(ErrorOf(bad), "") << bad;
    EXPECT_EQ(ParseAssignment("ch1.gain=8x").Number, 3);
    EXPECT_EQ(ParseAssignment("ch1.watch=ON").Switch, true);
    EXPECT_EQ(ParseAssignment("ch1.sensor=0").Switch, false);

    // Texts: counted in characters of the module, trimmed, UTF-8 in.
    EXPECT_EQ(ErrorOf("ch1.name=" + std::string(20, 'x')), "");
    EXPECT_NE(ErrorOf("ch1.name=" + std::string(21, 'x')), "");
    EXPECT_EQ(ErrorOf("ch1.name=  " + std::string(20, 'x') + "  "), "");
    EXPECT_EQ(ErrorOf("ch1.name=Žluťoučký kůň úpěl ď"), "");  // 20 letters, 29 bytes
    EXPECT_NE(ErrorOf("ch1.name=Žluťoučký kůň úpěl ďó"), "");
    EXPECT_EQ(ParseAssignment("ch1.unit=°C").Text, "\xB0" "C");
    EXPECT_EQ(ParseAssignment("ch1.unit= V ").Text, "V");
    EXPECT_NE(ErrorOf("ch1.unit=m³"), "");          // no such letter in the module's code page
    EXPECT_NE(ErrorOf("ch1.unit=\xC3"), "");        // not UTF-8
    EXPECT_NE(ErrorOf("ch1.unit=kWh/m2"), "");       // six characters
    EXPECT_EQ(ErrorOf("userdata=" + std::string(16, 'u')), "");
    EXPECT_NE(ErrorOf("userdata=" + std::string(17, 'u')), "");
    // Control characters are refused, wherever they are.
    EXPECT_EQ(ErrorOf("userdata=a\tb"),
              "userdata: \"a?b\" holds a control character (a tab at character 2): only printable characters are allowed");
    for (const char* bad : {"ch1.name=x\x01", "ch1.unit=\x7F", "userdata=\nx", "ch2.name=Teplota\r"})
        EXPECT_NE(ErrorOf(bad).find("control character"), std::string::npos) << bad;
}

TEST(KelvoctlKeys, ValuesTheModuleCannotHoldAreRefusedWithTheNearest)
{
    TKelvorec r = SampleRecord();
    RangeToCoefficients(1000000, 1000000, kRangeSpan, r.Channels[1].Offset, r.Channels[1].Slope);
    // 1000001 is held exactly, and shown so.
    Session s(r);
    ASSERT_EQ(s.Apply({"ch2.max=1000001"}).size(), 1u);
    EXPECT_EQ(KeyValueText(s.S.WorkingRecord(), {TKeyField::RangeMax, 2}), "1000001");

    struct TCase {
        const char* Assignment;
        const char* Nearest;
    };
    for (const TCase& c : std::vector<TCase>{
             {"ch2.max=99999999", "99999990"},   // stored as 100000000, beyond the limit
             {"ch2.min=-99999999", "-99999990"},
             {"ch3.max=3", "-1.76562"},          // with a minimum of -99999992 the slope steps by 9.8
         }) {
        TKelvorec wide = r;
        RangeToCoefficients(-99999992, 100, kRangeSpan, wide.Channels[2].Offset, wide.Channels[2].Slope);
        Session refused(wide);
        try {
            refused.Apply({c.Assignment});
            ADD_FAILURE() << c.Assignment;
        } catch (const ENotHoldable& e) {
            EXPECT_EQ(e.Nearest(), c.Nearest) << e.Message();
        }
        EXPECT_FALSE(refused.S.WorkingCopyDiffers()) << c.Assignment;

        // Asked for, the nearest is taken, and it is within the limits.
        Session nearest(wide);
        std::vector<TAssignment> a{ParseAssignment(c.Assignment)};
        const auto changes = ApplyAssignments(nearest.S, a, TApplyOptions{true});
        ASSERT_EQ(changes.size(), 1u) << c.Assignment;
        EXPECT_EQ(changes[0].New, c.Nearest);
        EXPECT_EQ(changes[0].Asked, std::string(c.Assignment).substr(8));
        float min = 0, max = 0;
        const TChannelConfig& ch = nearest.S.EditedChannels[a[0].Key.Channel - 1];
        CoefficientsToRange(ch.Offset, ch.Slope, kRangeSpan, min, max);
        EXPECT_TRUE(SingleWithin(min, kRangeEditorLimits) && SingleWithin(max, kRangeEditorLimits)) << c.Assignment;
    }

    // A backup's value beyond the limits stands where the module holds it,
    // and is refused where it would change the module; so is a control
    // character.
    TKelvorec edge = r;
    RangeToCoefficients(0, 99999999, kRangeSpan, edge.Channels[1].Offset, edge.Channels[1].Slope);
    edge.Info.UserData = "a\tb";
    const std::vector<TAssignment> backup{ParseSetting("ch2.max", "100000000", TValueSource::Backup),
                                          ParseSetting("userdata", "a\tb", TValueSource::Backup)};
    Session same(edge);
    EXPECT_TRUE(ApplyAssignments(same.S, backup).empty());
    Session other(r);
    EXPECT_THROW(ApplyAssignments(other.S, {backup[0]}), ENotHoldable);
    EXPECT_THROW(ApplyAssignments(other.S, {backup[1]}), EUsageError);
    EXPECT_FALSE(other.S.WorkingCopyDiffers());
}

TEST(KelvoctlKeys, OnlyValuesThatDifferChangeTheWorkingCopy)
{
    Session s;
    // What the module holds already, in the form kelvoctl shows it.
    auto changes = s.Apply({"ch1.name=Tlak", "ch1.unit=bar", "ch2.min=-50", "ch2.max=150", "ch3.gain=4x",
                            "ch1.sensor=on", "ch1.watch=off", "ch1.upper=0.1", "ch1.hyst=1e-7", "address=1",
                            "userdata= Hala 3 ", "ch1.decimals=1"});
    EXPECT_TRUE(changes.empty());
    EXPECT_FALSE(s.S.WorkingCopyDiffers());

    changes = s.Apply({"ch2.unit=V"});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].Key.Name(), "ch2.unit");
    EXPECT_EQ(changes[0].Old, "C");
    EXPECT_EQ(changes[0].New, "V");
    EXPECT_EQ(s.S.EditedChannels[1].Unit, "V    ");
    // Nothing else moved: the save sends exactly the one item.
    EXPECT_EQ(BuildSaveCommands(s.S.WorkingRecord(), s.S.ModuleRecord),
              (std::vector<TKelvoWriteCommand>{{0x1E, Bytes({0x01, 0x02, 0x13, 'V', ' ', ' ', ' ', ' '}), ""}}));

    // Set and set back is no change; of two values for one key the later wins.
    Session t;
    EXPECT_TRUE(t.Apply({"ch1.unit=V", "ch1.unit=bar"}).empty());
    changes = t.Apply({"ch1.decimals=0", "ch1.decimals=2"});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].Old, "1");
    EXPECT_EQ(changes[0].New, "2");
}

TEST(KelvoctlKeys, EditsLandInTheWorkingCopyAsTheEditorsStoreThem)
{
    Session s;
    s.Apply({"ch1.min=4", "ch1.max=20"});
    EXPECT_EQ(s.S.EditedChannels[0].Offset, 4.0f);
    EXPECT_EQ(s.S.EditedChannels[0].Slope, 0.0016f);
    EXPECT_EQ(KeyValueText(s.S.WorkingRecord(), {TKeyField::RangeMin, 1}), "4");
    EXPECT_EQ(KeyValueText(s.S.WorkingRecord(), {TKeyField::RangeMax, 1}), "20");

    // The order of the two ends does not matter.
    Session r;
    r.Apply({"ch1.max=20", "ch1.min=4"});
    EXPECT_EQ(r.S.EditedChannels[0].Offset, 4.0f);
    EXPECT_EQ(r.S.EditedChannels[0].Slope, 0.0016f);

    // One end alone keeps the other as shown.
    s.Apply({"ch2.max=100"});
    EXPECT_EQ(s.S.EditedChannels[1].Offset, -50.0f);
    EXPECT_EQ(s.S.EditedChannels[1].Slope, 0.015f);
    // A range of no width is allowed.
    s.Apply({"ch3.max=0"});
    EXPECT_EQ(s.S.EditedChannels[2].Slope, 0.0f);

    // Watching is bit 7; the module's other flag bits stay.
    s.Apply({"ch2.watch=on"});
    EXPECT_EQ(s.S.EditedWatches[1].WatchFlags, 0x81);
    s.Apply({"ch2.watch=off"});
    EXPECT_EQ(s.S.EditedWatches[1].WatchFlags, 0x01);
    s.Apply({"ch1.sensor=off", "ch3.gain=128x", "ch1.upper=10", "ch1.name=Tlak 2"});
    EXPECT_EQ(s.S.EditedChannels[0].Sensor4to20mA, 2);
    EXPECT_EQ(s.S.EditedChannels[2].GainCode, 7);
    EXPECT_EQ(s.S.EditedWatches[0].Upper, 10.0f);
    EXPECT_EQ(s.S.EditedChannels[0].Name, FitText("Tlak 2", kChannelNameWidth));
    // The record as read is never touched.
    EXPECT_EQ(s.S.ModuleRecord, SampleRecord());
}

TEST(KelvoctlKeys, ChangesTheModuleCannotTakeAreRefusedWithNothingApplied)
{
    const std::vector<std::vector<std::string>> refused{
        {"ch1.unit=V", "address=5"},   // not a KelvoRS
        {"ch1.unit=V", "speed=19200"},
        {"ch1.unit=V", "ch1.gain=2x"}, // channel 1 has no gain
        {"ch1.unit=V", "ch2.sensor=on"}, // channel 2 has no 4-20 mA option
        {"ch1.unit=V", "ch4.name=X"},  // channel 4 not reported
        {"ch1.unit=V", "ch4.name="},   // ... not even with a value it "holds"
    };
    for (const auto& args : refused) {
        Session s;
        EXPECT_THROW(s.Apply(args), EUsageError) << args[1];
        EXPECT_FALSE(s.S.WorkingCopyDiffers()) << args[1];
    }
    // The same values are fine where they apply, and unchanged ones always.
    Session rs(SampleRecord(kModelKelvoRS));
    EXPECT_EQ(rs.Apply({"address=5", "speed=19200"}).size(), 2u);
    EXPECT_EQ(rs.S.EditedAddress, 5);
    EXPECT_EQ(rs.S.EditedSpeedCode, 7);
    Session usb;
    EXPECT_TRUE(usb.Apply({"address=1", "speed=9600"}).empty());
}

TEST(KelvoctlKeys, ChangesNotTakenAreFoundInTheRecordReadBack)
{
    Session s;
    const auto changes = s.Apply({"ch2.unit=V", "ch1.max=20", "userdata=Neu"});
    const TKelvorec wanted = s.S.WorkingRecord();
    TKelvorec got = wanted;
    got.Channels[1].Unit = "V";  // read back without padding: taken
    EXPECT_TRUE(ChangesNotTaken(wanted, got, changes).empty());
    got.Channels[0].Slope = s.S.ModuleRecord.Channels[0].Slope;
    got.Info.UserData = "Hala 3";
    const auto missed = ChangesNotTaken(wanted, got, changes);
    ASSERT_EQ(missed.size(), 2u);
    EXPECT_EQ(missed[0].Key.Name(), "ch1.max");
    EXPECT_EQ(missed[0].Old, "10");
    EXPECT_EQ(missed[0].New, "20");
    EXPECT_EQ(missed[1].Old, "Hala 3");
}

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
