// Configuration (backup) files: written from a record, read back whole,
// and refused when they are anything but a complete, valid backup.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SampleModule.h"
#include "uModuleBackup.h"

using namespace kelvo;
using kelvo::testing::SampleRecord;
using Session = kelvo::testing::TSampleSession;

TEST(ModuleBackup, ABackupRestoredOntoItsModuleChangesNothing)
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

TEST(ModuleBackup, AnythingButAValidBackupIsRefused)
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
        EXPECT_THROW(ParseBackup(text), EBackupError) << why;

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
        } catch (const EBackupError& e) {
            EXPECT_NE(e.Message().find("incomplete (missing: " + what + ")"), std::string::npos) << e.Message();
        }
    }
}

TEST(ModuleBackup, AddressAndSpeedGoOnlyOntoTheirModuleUnlessTaken)
{
    TKelvorec rs = SampleRecord(kModelKelvoRS);
    TKelvorec source = rs;
    source.Info.Address = 7;
    source.Channels[0].Unit = FitText("V", kUnitWidth);
    const TBackup backup = ParseBackup(BackupJson(source).dump());
    auto keys = [](const std::vector<TAssignment>& Settings) {
        std::vector<std::string> out;
        for (const TAssignment& a : Settings)
            if (a.Key.IsCommSetting())
                out.push_back(a.Key.Name());
        return out;
    };
    const std::vector<std::string> comm{"address", "speed"};

    struct TCase {
        const char* What;
        std::string DeviceSerial;
        uint8_t Model;
        bool Answer;
        size_t Asked;
        std::vector<std::string> Comm;
        size_t Skipped;
    };
    for (const TCase& c : std::vector<TCase>{
             {"its own module", source.Info.SerialText, kModelKelvoRS, false, 0, comm, 0},
             {"another module, taken", "0042.xx.xx/0999", kModelKelvoRS, true, 1, comm, 0},
             {"another module, left alone", "0042.xx.xx/0999", kModelKelvoRS, false, 1, {}, 1},
         }) {
        TKelvorec device = rs;
        device.Info.SerialText = c.DeviceSerial;
        size_t asked = 0;
        std::vector<TSkipped> skipped;
        const auto settings = BackupSettingsFor(
            backup, device,
            [&](const TBackup&, const TKelvorec&, const std::vector<TSkipped>& AtStake) {
                ++asked;
                EXPECT_EQ(AtStake.size(), 1u);  // the speed is the same
                return c.Answer;
            },
            skipped);
        EXPECT_EQ(asked, c.Asked) << c.What;
        EXPECT_EQ(keys(settings), c.Comm) << c.What;
        ASSERT_EQ(skipped.size(), c.Skipped) << c.What;
        if (!skipped.empty()) {
            EXPECT_EQ(skipped[0].Key, "address");
            EXPECT_EQ(skipped[0].Backup, "7");
            EXPECT_EQ(skipped[0].Module, "1");
        }
        EXPECT_EQ(settings.size() - keys(settings).size(), backup.Settings.size() - 2) << c.What;
    }

    // A backup that does not say which module it is of is of another one,
    // even for a module that does not say either.
    TBackup anonymous = backup;
    anonymous.Serial.clear();
    TKelvorec unnamed = rs;
    unnamed.Info.SerialText.clear();
    std::vector<TSkipped> left;
    EXPECT_TRUE(keys(BackupSettingsFor(anonymous, unnamed, nullptr, left)).empty());
    EXPECT_EQ(left.size(), 1u);

    // Nothing at stake: nobody is asked.
    TKelvorec same = source;
    same.Info.SerialText = "0042.xx.xx/0999";
    std::vector<TSkipped> skipped;
    BackupSettingsFor(backup, same, [](auto&&...) -> bool { throw std::logic_error("asked"); }, skipped);

    // Onto another model than a KelvoRS address and speed are only
    // recorded: never loaded, nobody asked.
    TKelvorec usb = SampleRecord();
    TKelvorec usbSource = usb;
    usbSource.Info.Address = 7;
    const auto usbSettings = BackupSettingsFor(ParseBackup(BackupJson(usbSource).dump()), usb,
                                               [](auto&&...) -> bool { throw std::logic_error("asked"); }, skipped);
    EXPECT_TRUE(keys(usbSettings).empty());
    EXPECT_TRUE(skipped.empty());

    // Another model is refused whole.
    EXPECT_THROW(BackupSettingsFor(backup, SampleRecord(kModelKelvoUSB), nullptr, skipped), EBackupOfAnotherModel);
}
