#include <gtest/gtest.h>

#include <cmath>

#include "uConversionUtils.h"
#include "uKelvoxx.h"

using namespace kelvo;

namespace {

// A module as it might be read: every channel configured, address 1 at 9600.
TKelvorec ReadRecord(uint8_t model = kModelKelvoUSB)
{
    TKelvorec r;
    r.Model = model;
    r.Info.Identification = "KelvoUSB 1.0";
    r.Info.UserData = "Kotelna 2";
    r.Info.Address = 1;
    r.Info.SpeedCode = 6;
    for (uint8_t i = 1; i <= 4; ++i) {
        TChannelConfig& c = r.Channels[i - 1];
        c.Number = i;
        c.Name = FitText("Kanal " + std::to_string(i), 21);
        c.RangeText = FitText("0..10 V", 15);
        c.Unit = "mA   ";
        c.Decimals = 1;
        c.Slope = 0.001f;
        c.SlopeText = FitText("0.001", 10);
        c.Offset = 0;
        c.OffsetText = FitText("0", 10);
        c.Sensor4to20mA = 2;
        TChannelWatch& w = r.Watch[i - 1];
        w.Number = i;
        w.WatchFlags = 0x01;
        w.Upper = 5;
        w.UpperText = FitText("5", 10);
    }
    return r;
}

std::string Commands(const TKelvorec& working, const TKelvorec& device)
{
    std::string out;
    for (const TKelvoWriteCommand& c : BuildSaveCommands(working, device)) {
        out += (out.empty() ? "" : " | ") + ToHex(Bytes({c.Instruction})) + ": " + ToHex(c.Data);
        if (!c.ConnectionStringAfter.empty())
            out += " then " + c.ConnectionStringAfter;
    }
    return out;
}

}  // namespace

TEST(KelvoChanges, UnchangedCopySendsNothing)
{
    const TKelvorec device = ReadRecord();
    EXPECT_EQ(Commands(device, device), "");
    // Fields the module never takes back are ignored.
    TKelvorec working = device;
    working.Model = 4;
    working.Info.Identification = "x";
    working.Info.UserData = "  Kotelna 2\r\n";     // same after trimming
    working.Channels[0].Name = "Kanal 1";          // same after trimming
    working.Channels[0].Unit2 = "V";
    working.Channels[0].HasGain = true;
    working.Channels[0].GainCode = 5;              // module reported no gain
    working.Channels[1].Number = 9;
    working.Watch[2].ExtraFlag = true;
    working.Info.SpeedCode = 10;                   // speed alone, not a KelvoRS
    EXPECT_EQ(Commands(working, device), "");
    // A NaN read from the module is not "changed" just because NaN != NaN.
    TKelvorec nanDevice = device;
    nanDevice.Channels[2].Slope = StrBinToFloat(Bytes({0x7F, 0xC0, 0, 0}));
    nanDevice.Watch[2].Lower = nanDevice.Channels[2].Slope;
    EXPECT_EQ(Commands(nanDevice, nanDevice), "");
}

TEST(KelvoChanges, SingleChangesGiveTheirCommands)
{
    const TKelvorec device = ReadRecord();
    TKelvorec w = device;
    w.Channels[1].Unit = "V";
    EXPECT_EQ(Commands(w, device), "1E: 01 02 13 56 20 20 20 20");

    w = device;
    w.Watch[0].Upper = 10.0f;
    EXPECT_EQ(Commands(w, device), "1C: 01 01 13 41 20 00 00");

    w = device;
    w.Watch[3].WatchFlags |= kWatchOnFlag;
    EXPECT_EQ(Commands(w, device), "1C: 01 04 12 81");

    w = device;
    w.Info.Address = 5;
    EXPECT_EQ(Commands(w, device), "E0: 05 06");
    TKelvorec unknownSpeed = device;  // a reported code that names no speed, not edited: given back as it was
    unknownSpeed.Info.SpeedCode = 12;
    TKelvorec w12 = unknownSpeed;
    w12.Info.Address = 5;
    EXPECT_EQ(Commands(w12, unknownSpeed), "E0: 05 0C");
    w.Info.SpeedCode = 7;
    EXPECT_EQ(Commands(w, device), "E0: 05 07 then baudrate=19200");

    w = device;
    w.Channels[2].Name = "Tlak";
    std::string name = "2B: 03 54 6C 61 6B";  // [3] "Tlak" and 17 spaces
    for (int k = 0; k < 17; ++k)
        name += " 20";
    EXPECT_EQ(Commands(w, device), name);

    w = device;
    w.Channels[3].Sensor4to20mA = 1;
    EXPECT_EQ(Commands(w, device), "1A: 04 01");

    w = device;
    w.Info.UserData = "  Nova data, delsi nez 16 znaku";
    const auto cmds = BuildSaveCommands(w, device);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].Instruction, kInstrWriteUserData);
    EXPECT_EQ(cmds[0].Data, std::string(1, '\0') + "Nova data, delsi");
}

TEST(KelvoChanges, SpeedGoesToAKelvoRSAndGainOnlyWhereReported)
{
    const TKelvorec device = ReadRecord(kModelKelvoRS);
    TKelvorec w = device;
    w.Info.SpeedCode = 10;
    EXPECT_EQ(Commands(w, device), "E0: 01 0A then baudrate=115200");
    w.Info.SpeedCode = 12;  // not in the table
    EXPECT_EQ(Commands(w, device), "E0: 01 0C then baudrate=0");

    TKelvorec withGain = device;
    withGain.Channels[0].HasGain = true;
    w = withGain;
    w.Channels[0].GainCode = 4;
    EXPECT_EQ(Commands(w, withGain), "1E: 01 01 1A 04");
}

TEST(KelvoChanges, ListsKeepTheirOrderAndTheSaveItsSequence)
{
    TKelvorec device = ReadRecord(kModelKelvoRS);
    device.Channels[0].HasGain = true;
    TKelvorec w = device;
    TChannelConfig& c = w.Channels[0];
    c.RangeText = "4..20 mA";
    c.Unit = "degC";
    c.Decimals = 2;
    c.Slope = 0.0016f;
    c.SlopeText = "0.0016";
    c.Offset = 4;
    c.OffsetText = "4";
    c.GainCode = 1;
    TChannelWatch& wt = w.Watch[0];
    wt.WatchFlags = 0x80;
    wt.Upper = 10;
    wt.UpperText = "10";
    wt.Lower = -2.5f;
    wt.LowerText = "-2.5";
    wt.Hysteresis = 0.5f;
    wt.HysteresisText = "0.5";
    EXPECT_EQ(ToHex(BuildChannelConfigChanges(c, device.Channels[0])),
              "12 " + ToHex(FitText("4..20 mA", 15)) + " 13 " + ToHex("degC ") + " 15 02 16 3A D1 B7 17 17 " +
                  ToHex(FitText("0.0016", 10)) + " 18 40 80 00 00 19 " + ToHex(FitText("4", 10)) + " 1A 01");
    EXPECT_EQ(ToHex(BuildChannelWatchChanges(wt, device.Watch[0])),
              "12 80 13 41 20 00 00 14 " + ToHex(FitText("10", 10)) + " 15 C0 20 00 00 16 " +
                  ToHex(FitText("-2.5", 10)) + " 17 3F 00 00 00 18 " + ToHex(FitText("0.5", 10)));

    // The whole save: user data, channel by channel, and the communication
    // settings last (a module may take a new address or speed at once).
    w.Info.Address = 3;
    w.Info.SpeedCode = 7;
    w.Info.UserData = "U";
    w.Channels[0].Name = "A";
    w.Channels[0].Sensor4to20mA = 1;
    w.Channels[3].Name = "D";
    std::vector<uint8_t> order;
    for (const auto& cmd : BuildSaveCommands(w, device))
        order.push_back(cmd.Instruction);
    EXPECT_EQ(order, (std::vector<uint8_t>{0xE2, 0x2B, 0x1E, 0x1A, 0x1C, 0x2B, 0xE0}));
}
