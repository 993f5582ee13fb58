// A module's settings by name: keys, values held to the editors' limits
// and to what the module can hold, and the working copy they change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SampleModule.h"
#include "uEditorLimits.h"
#include "uModuleSettings.h"

using namespace kelvo;
using kelvo::testing::SampleRecord;
using Session = kelvo::testing::TSampleSession;

namespace {

std::string ErrorOf(const std::string& Assignment)
{
    try {
        ParseAssignment(Assignment);
    } catch (const ESettingError& e) {
        return e.Message();
    }
    return "";
}

}  // namespace

TEST(ModuleSettings, KeysAreNamedAndFoundInAnyCase)
{
    EXPECT_EQ(ParseKey("ch2.unit"), (TKey{TKeyField::Unit, 2}));
    EXPECT_EQ(ParseKey("CH4.Hyst"), (TKey{TKeyField::Hysteresis, 4}));
    EXPECT_EQ(ParseKey("Address"), (TKey{TKeyField::Address, 0}));
    EXPECT_EQ((TKey{TKeyField::RangeMin, 3}).Name(), "ch3.min");
    for (const char* bad : {"ch0.unit", "ch5.unit", "unit", "ch1.address", "ch1.", "ch12.unit", "", "ch1unit"})
        EXPECT_THROW(ParseKey(bad), ESettingError) << bad;
    EXPECT_THROW(ParseAssignment("ch1.unit"), ESettingError);
    EXPECT_THROW(ParseAssignment("=5"), ESettingError);
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

TEST(ModuleSettings, ValuesAreHeldToTheEditorsLimits)
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
    EXPECT_THROW(ParseSetting("ch2.max", "100000008", TValueSource::Backup), ESettingError);

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

TEST(ModuleSettings, ValuesTheModuleCannotHoldAreRefusedWithTheNearest)
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
    EXPECT_THROW(ApplyAssignments(other.S, {backup[1]}), ESettingError);
    EXPECT_FALSE(other.S.WorkingCopyDiffers());
}

TEST(ModuleSettings, OnlyValuesThatDifferChangeTheWorkingCopy)
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

TEST(ModuleSettings, EditsLandInTheWorkingCopyAsTheEditorsStoreThem)
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

TEST(ModuleSettings, ChangesTheModuleCannotTakeAreRefusedWithNothingApplied)
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
        EXPECT_THROW(s.Apply(args), ESettingError) << args[1];
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

TEST(ModuleSettings, ChangesNotTakenAreFoundInTheRecordReadBack)
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
