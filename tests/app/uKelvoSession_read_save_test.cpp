// Reading a whole module and saving a working copy, against the simulator's
// request and write logs.
#include "SimSessionFixture.h"
#include "uConversionUtils.h"
#include "uVerdel97.h"

using namespace kelvo;
using kelvo::testing::SimSessionTest;

namespace {

// Instruction and data of every applied write, 0xE4 excluded.
std::vector<std::pair<uint8_t, RawByteString>> Writes(const TSimModule& m)
{
    std::vector<std::pair<uint8_t, RawByteString>> out;
    for (const auto& w : m.WriteLog())
        out.emplace_back(w.Instruction, w.Data);
    return out;
}

// Instructions of every frame the module heard, in order.
std::vector<uint8_t> Instructions(const std::vector<TSimRequest>& log)
{
    std::vector<uint8_t> out;
    for (const auto& r : log)
        out.push_back(r.Instruction);
    return out;
}

}  // namespace

TEST_F(SimSessionTest, ReadModuleFillsTheRecordAndTheWorkingCopy)
{
    Connect();
    ASSERT_TRUE(Session.ReadModule()) << Session.LastError();
    const TKelvorec& rec = Session.ModuleRecord;
    EXPECT_EQ(rec.Model, kModelKelvoUSB);
    EXPECT_EQ(rec.Info.Identification, TrimText(SimIdentificationText(TSimModel::KelvoUSB)));
    EXPECT_EQ(rec.Info.Address, 1);
    EXPECT_EQ(rec.Info.SpeedCode, 6);
    EXPECT_EQ(rec.Info.ProductCode, 42);
    EXPECT_EQ(rec.Info.SerialNumber, 256);
    EXPECT_EQ(rec.Info.SerialText, "0042.xx.xx/0256");
    const TSimSettings sim = Module->Settings();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rec.Channels[i].Number, i + 1);
        EXPECT_EQ(rec.Channels[i].Name, SimText(sim.Channels[i].Name, kChannelNameWidth));
        EXPECT_EQ(rec.Channels[i].Sensor4to20mA, sim.Channels[i].Sensor4to20mA);
        EXPECT_EQ(rec.Watch[i].Number, i + 1);
    }
    EXPECT_FALSE(Session.WorkingCopyDiffers());
    EXPECT_TRUE(Messages.empty());
    // Every read was confirmed: two requests each, all to 254.
    const auto log = Requests();
    EXPECT_EQ(log.size(), 30u);
    for (const auto& r : log)
        EXPECT_EQ(r.Address, 0xFE);
}

TEST_F(SimSessionTest, ReadModuleFailuresAreReportedNotRaised)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Faults.Unstable = true;
    Connect(settings);
    EXPECT_FALSE(Session.ReadModule());
    EXPECT_EQ(Session.LastError(), "Device not responding ($F3)");
    EXPECT_EQ(Requests().size(), 10u);  // five attempts of two reads

    settings.Faults = {};
    settings.Faults.EverySecond = true;
    Connect(settings);
    EXPECT_FALSE(Session.ReadModule());
    EXPECT_EQ(Session.LastError(), "Device not responding ($F3)");

    settings.Faults = {};
    settings.Faults.VanishAfter = 8;  // gone in the middle of the channel lists
    Connect(settings);
    EXPECT_FALSE(Session.ReadModule());
    EXPECT_EQ(Session.LastError(), "Device not responding ($1F)");
}

TEST_F(SimSessionTest, ASpeedCodeOutsideTheTableIsKeptAndGivenBackUnchanged)
{
    TSimSettings settings = DefaultSimSettings();
    settings.SpeedCode = 12;
    settings.LineSpeed = 9600;
    Connect(settings);
    ASSERT_TRUE(Session.ReadModule()) << Session.LastError();
    EXPECT_EQ(Session.ModuleRecord.Info.SpeedCode, 12);

    // A new address alone: the speed byte is the module's own code, never
    // one that would move it to another speed (code 0 is 110 bit/s).
    Module->ClearLogs();
    Session.EditedAddress = 5;
    ASSERT_TRUE(Session.SaveChanges()) << Session.LastError();
    EXPECT_EQ(Writes(*Module), (std::vector<std::pair<uint8_t, RawByteString>>{{0xE0, Bytes({0x05, 0x0C})}}));
    EXPECT_EQ(Module->LineSpeed(), 9600u);
    EXPECT_EQ(Session.ModuleRecord.Info.Address, 5);
}

TEST_F(SimSessionTest, UnchangedWorkingCopySendsNothingAndStillRereads)
{
    Connect();
    ASSERT_TRUE(Session.ReadModule());
    Module->ClearLogs();
    Mark();
    EXPECT_TRUE(Session.SaveChanges());
    EXPECT_TRUE(Writes(*Module).empty());
    const auto log = Requests();
    ASSERT_EQ(log.size(), 30u);
    EXPECT_EQ(log[0].Instruction, kInstrIdentify);  // no 0xE4 before it
    EXPECT_GE(Elapsed(), 100u + 30u * 25u + 100u);
}

TEST_F(SimSessionTest, SaveSendsOnlyTheChangedGroupEachAfterWriteEnable)
{
    Connect();
    ASSERT_TRUE(Session.ReadModule());
    Module->ClearLogs();

    Session.EditedChannels[1].Unit = "V";                        // channel 2 unit
    Session.EditedWatches[0].Upper = 10.0f;                      // channel 1 upper limit
    Session.EditedWatches[3].WatchFlags |= kWatchOnFlag;         // channel 4 watching on
    const uint8_t flags4 = Session.EditedWatches[3].WatchFlags;
    ASSERT_TRUE(Session.WorkingCopyDiffers());
    ASSERT_TRUE(Session.SaveChanges()) << Session.LastError();

    const auto writes = Writes(*Module);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], std::make_pair(kInstrWriteChannelWatch, Bytes({0x01, 0x01, 0x13, 0x41, 0x20, 0x00, 0x00})));
    EXPECT_EQ(writes[1], std::make_pair(kInstrWriteChannelConfig, Bytes({0x01, 0x02, 0x13, 'V', ' ', ' ', ' ', ' '})));
    EXPECT_EQ(writes[2], std::make_pair(kInstrWriteChannelWatch, Bytes({0x01, 0x04, 0x12, flags4})));

    // On the line: E4 before every write, every write to the module's own
    // address with nothing else in between, then the re-read.
    const auto log = Requests();
    const std::vector<uint8_t> expected = {0xE4, 0x1C, 0xE4, 0x1E, 0xE4, 0x1C};
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(Instructions({log.begin(), log.begin() + 6}), expected);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(log[i].Address, 1);
    EXPECT_EQ(log.size(), 6u + 30u);

    // The re-read reset the working copy to what the module now holds.
    EXPECT_FALSE(Session.WorkingCopyDiffers());
    EXPECT_EQ(Session.ModuleRecord.Channels[1].Unit, "V    ");
    EXPECT_FLOAT_EQ(Session.ModuleRecord.Watch[0].Upper, 10.0f);
}

TEST_F(SimSessionTest, SaveOfANewAddressSendsItLastAndEverythingToTheOldOne)
{
    // The simulated module takes a new address at once: every write after
    // it would go unheard.
    Connect();
    ASSERT_TRUE(Session.ReadModule());
    Module->ClearLogs();
    Session.EditedAddress = 5;
    Session.EditedChannels[0].Name = "Tank";
    Session.EditedChannels[1].Unit = "V";
    ASSERT_TRUE(Session.SaveChanges()) << Session.LastError();

    const auto log = Requests();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(Instructions({log.begin(), log.begin() + 6}), (std::vector<uint8_t>{0xE4, 0x2B, 0xE4, 0x1E, 0xE4, 0xE0}));
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(log[i].Address, 1) << i;
    EXPECT_EQ(log[5].Data, Bytes({0x05, 0x06}));
    EXPECT_EQ(Writes(*Module).size(), 3u);
    EXPECT_EQ(Session.ModuleRecord.Info.Address, 5);
    EXPECT_EQ(TrimText(Session.ModuleRecord.Channels[0].Name), "Tank");
    EXPECT_EQ(Session.ModuleRecord.Channels[1].Unit, "V    ");
}

TEST_F(SimSessionTest, SpeedChangeSwitchesTheLineOnlyOnKelvoRS)
{
    // KelvoRS: E0 goes out, the channel follows the module to 115200 and the
    // re-read talks at the new speed.
    Connect(DefaultSimSettings(TSimModel::KelvoRS));
    ASSERT_TRUE(Session.ReadModule());
    Module->ClearLogs();
    Session.EditedSpeedCode = 10;
    ASSERT_TRUE(Session.SaveChanges()) << Session.LastError();
    EXPECT_EQ(Writes(*Module), (std::vector<std::pair<uint8_t, RawByteString>>{{0xE0, Bytes({0x01, 0x0A})}}));
    EXPECT_EQ(Channel->GetBaudRate(), 115200);
    EXPECT_EQ(Session.ModuleRecord.Info.SpeedCode, 10);

    // KelvoUSB: a changed speed alone sends nothing and the line stays.
    Connect(DefaultSimSettings(TSimModel::KelvoUSB));
    ASSERT_TRUE(Session.ReadModule());
    Module->ClearLogs();
    Session.EditedSpeedCode = 10;
    EXPECT_TRUE(Session.SaveChanges());
    EXPECT_TRUE(Writes(*Module).empty());
    EXPECT_EQ(Channel->GetBaudRate(), 9600);
    EXPECT_EQ(Session.ModuleRecord.Info.SpeedCode, 6);
}

TEST_F(SimSessionTest, SaveGoesOnWhenWritesAreNotAnswered)
{
    Connect();
    ASSERT_TRUE(Session.ReadModule());
    Module->ClearLogs();
    TSimFaults faults;
    faults.Silent = true;
    Module->SetFaults(faults);
    Session.EditedChannels[0].Name = "Tank";
    Session.EditedChannels[2].Decimals = 3;
    EXPECT_FALSE(Session.SaveChanges());  // the re-read fails on the silent module
    // Both groups went out; then each of the five attempts of the first
    // read failed at its first request.
    EXPECT_EQ(Instructions(Requests()), (std::vector<uint8_t>{0xE4, 0x2B, 0xE4, 0x1E, 0xF3, 0xF3, 0xF3, 0xF3, 0xF3}));
    EXPECT_EQ(Session.LastError(), "Device not responding ($F3)");
}

TEST_F(SimSessionTest, WithoutASuccessfulReadNothingIsSaved)
{
    // Never read: the working copy describes no module.
    Connect();
    Session.EditedUserData = "x";
    EXPECT_FALSE(Session.SaveChanges());
    EXPECT_TRUE(Requests().empty());

    // Read, then a read that fails half-way: what the first one read is
    // gone from the record and the working copy, and a save sends nothing.
    ASSERT_TRUE(Session.ReadModule());
    ASSERT_NE(Session.ModuleRecord.Info.SerialNumber, 0);
    TSimFaults unstable;
    unstable.Unstable = true;
    Module->SetFaults(unstable);
    EXPECT_FALSE(Session.ReadModule());
    EXPECT_FALSE(Session.ModuleRead());
    EXPECT_EQ(Session.ModuleRecord.Info.SerialNumber, 0);
    EXPECT_EQ(Session.ModuleRecord.Info.Address, 0);
    EXPECT_EQ(Session.EditedAddress, 0);
    Module->SetFaults({});
    Module->ClearLogs();
    Session.EditedUserData = "x";
    EXPECT_FALSE(Session.SaveChanges());
    EXPECT_TRUE(Requests().empty());
}
