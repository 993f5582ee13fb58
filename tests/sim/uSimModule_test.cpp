#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "uExceptions.h"
#include "uSimModule.h"
#include "uVerdel97.h"

using namespace kelvo;

namespace {

RawByteString Request(uint8_t Instruction, const RawByteString& Data = {}, uint8_t Address = 0xFE)
{
    return BuildVerdel97Packet(Address, 0x01, Instruction, Data);
}

RawByteString Joined(const TSimSchedule& Schedule)
{
    RawByteString all;
    for (const TSimChunk& c : Schedule)
        all += c.Bytes;
    return all;
}

// One request, its reply checked and split. Empty Frame when nothing came.
struct TReply {
    RawByteString Frame;
    TVerdelFormat97 Parsed;
    bool Valid = false;
};

TReply Ask(TSimModule& M, uint8_t Instruction, const RawByteString& Data = {}, uint8_t Address = 0xFE,
           uint32_t Speed = 9600, uint32_t Now = 1000)
{
    TReply r;
    r.Frame = Joined(M.Serve(Request(Instruction, Data, Address), Speed, Now));
    r.Valid = !r.Frame.empty() && CheckVerdel97Packet(r.Frame) == 0;
    if (r.Valid)
        ParseVerdel97Packet(r.Frame, r.Parsed);
    return r;
}

RawByteString Spaces(size_t N)
{
    return RawByteString(N, ' ');
}

TSimSettings Plain(TSimModel Model = TSimModel::KelvoUSB)
{
    TSimSettings s = DefaultSimSettings(Model);
    s.Address = 1;
    s.SpeedCode = 6;
    return s;
}

}  // namespace

TEST(SimModule, IdentifiesAsItsModel)
{
    struct {
        TSimModel Model;
        const char* Text;
    } cases[] = {{TSimModel::KelvoUSB, "KelvoUSB 4AI v1.07"},
                 {TSimModel::KelvoETH, "KelvoETH 4AI v1.12"},
                 {TSimModel::KelvoRS, "KelvoRS485 4AI v1.05"},
                 {TSimModel::Tarnel, "Tarnel 4AI v2.01"},
                 {TSimModel::Foreign, "Verdel DataLogger v3.0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        TSimSettings s = Plain(c.Model);
        s.Address = 9;
        TSimModule m(s);
        // The probe exactly as it travels on the line.
        RawByteString reply = Joined(m.Serve(FromHex("2A 61 00 05 FE 01 F3 7D 0D"), 9600, 0));
        ASSERT_EQ(CheckVerdel97Packet(reply), 0) << ToHex(reply);
        TVerdelFormat97 f;
        ParseVerdel97Packet(reply, f);
        EXPECT_EQ(f.Data, c.Text);
        EXPECT_EQ(f.Address, 9);  // replies come from the module's own address
        EXPECT_EQ(f.Signature, 0x01);
        EXPECT_EQ(f.Code, 0xF3);
    }

    // A device of another family answers the identification only.
    TSimModule foreign(Plain(TSimModel::Foreign));
    TReply r = Ask(foreign, 0x1F, Bytes({1}));
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Parsed.Code, kSimRefusedCode);
    EXPECT_TRUE(r.Parsed.Data.empty());

    TSimSettings own = Plain();
    own.Identification = "KelvoUSB special";
    TSimModule m(own);
    EXPECT_EQ(Ask(m, 0xF3).Parsed.Data, "KelvoUSB special");
}

TEST(SimModule, ReportsChannelsAsItemLists)
{
    TSimSettings s = Plain();
    TSimChannel& c = s.Channels[1];
    c.Name = "Teplota";
    c.RangeText = "0-10 V";
    c.Unit = "C";
    c.Unit2 = "degC";
    c.Decimals = 1;
    c.Slope = 10.0f;
    c.SlopeText = "0.02";
    c.Offset = -2.0f;
    c.OffsetText = "-50";
    c.HasGain = true;
    c.GainCode = 3;
    c.Sensor4to20mA = 2;
    c.WatchFlags = 0x81;
    c.Upper = 10.0f;
    c.UpperText = "90.0";
    c.Lower = 1.0f;
    c.LowerText = "-20.0";
    c.Hysteresis = 0.5f;
    c.HysteresisText = "2.0";
    c.ExtraFlag = true;
    s.Channels[2].HasGain = false;
    TSimModule m(s);

    RawByteString config = FromHex("01 02 11") + "Teplota" + Spaces(14) + "\x12" + "0-10 V" + Spaces(9) +
                           "\x13" + "C" + Spaces(4) + "\x14" + "degC " + FromHex("15 01 16 41 20 00 00 17") +
                           "0.02" + Spaces(6) + FromHex("18 C0 00 00 00 19") + "-50" + Spaces(7) +
                           FromHex("1A 03 20 02");
    TReply r = Ask(m, 0x1F, Bytes({2}));
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(ToHex(r.Parsed.Data), ToHex(config));

    RawByteString watch = FromHex("01 02 12 81 13 41 20 00 00 14") + "90.0" + Spaces(6) +
                          FromHex("15 3F 80 00 00 16") + "-20.0" + Spaces(5) + FromHex("17 3F 00 00 00 18") +
                          "2.0" + Spaces(7) + FromHex("1A 01");
    r = Ask(m, 0x1D, Bytes({2}));
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(ToHex(r.Parsed.Data), ToHex(watch));

    // A channel without a gain stage reports no gain item.
    RawByteString third = Ask(m, 0x1F, Bytes({3})).Parsed.Data;
    EXPECT_EQ(third.find(FromHex("1A")), RawByteString::npos) << ToHex(third);

    // Channel 0 asks for all four lists, in channel order.
    for (uint8_t instr : {uint8_t(0x1F), uint8_t(0x1D)}) {
        RawByteString all;
        for (uint8_t i = 1; i <= 4; ++i)
            all += Ask(m, instr, Bytes({i})).Parsed.Data;
        EXPECT_EQ(Ask(m, instr, Bytes({0})).Parsed.Data, all);
        // Channels it does not have, or no channel at all, are refused.
        EXPECT_EQ(Ask(m, instr, Bytes({5})).Parsed.Code, kSimRefusedCode);
        EXPECT_EQ(Ask(m, instr).Parsed.Code, kSimRefusedCode);
    }
}

TEST(SimModule, ReportsFlagsSettingsUserAndProductionData)
{
    TSimSettings s = Plain();
    s.Address = 7;
    s.SpeedCode = 10;
    s.UserData = "Hala 3";
    s.ProductCode = 42;
    s.SerialNumber = 256;
    s.Channels[0].Sensor4to20mA = 1;
    s.Channels[1].Sensor4to20mA = 2;
    s.Channels[2].Sensor4to20mA = 2;
    s.Channels[3].Sensor4to20mA = 1;
    TSimModule m(s);
    EXPECT_EQ(ToHex(Ask(m, 0x1B, {}, 0xFE, 115200).Parsed.Data), "01 01 02 02 03 02 04 01");
    EXPECT_EQ(ToHex(Ask(m, 0xF0, {}, 0xFE, 115200).Parsed.Data), "07 0A");
    EXPECT_EQ(Ask(m, 0xF2, {}, 0xFE, 115200).Parsed.Data, "Hala 3          ");
    EXPECT_EQ(ToHex(Ask(m, 0xFA, {}, 0xFE, 115200).Parsed.Data), "00 2A 01 00");
    // An instruction it does not know is refused, not ignored.
    TReply r = Ask(m, 0x77, {}, 0xFE, 115200);
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Parsed.Code, kSimRefusedCode);
    EXPECT_EQ(m.RequestLog().back().Outcome, TSimOutcome::Unknown);
}

TEST(SimModule, AppliesWritesOnlyRightAfterWriteEnable)
{
    TSimModule m(Plain());
    const RawByteString unitV = FromHex("01 02 13 56 20 20 20 20");

    // Without 0xE4 nothing is applied.
    TReply r = Ask(m, 0x1E, unitV, 1);
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Parsed.Code, kSimRefusedCode);
    EXPECT_EQ(m.Settings().Channels[1].Unit, "C");
    EXPECT_TRUE(m.WriteLog().empty());

    // 0xE4, then the write: applied and visible in the next read.
    EXPECT_EQ(Ask(m, 0xE4, {}, 1).Parsed.Code, 0xE4);
    r = Ask(m, 0x1E, unitV, 1);
    EXPECT_EQ(r.Parsed.Code, 0x1E);
    EXPECT_EQ(m.Settings().Channels[1].Unit, "V    ");
    RawByteString list = Ask(m, 0x1F, Bytes({2})).Parsed.Data;
    EXPECT_NE(list.find(FromHex("13 56 20 20 20 20 14")), RawByteString::npos) << ToHex(list);

    // The enable is used up by the write ...
    EXPECT_EQ(Ask(m, 0x1A, Bytes({1, 2}), 1).Parsed.Code, kSimRefusedCode);
    // ... and by any read between it and the write.
    Ask(m, 0xE4, {}, 1);
    Ask(m, 0xF3);
    EXPECT_EQ(Ask(m, 0x1A, Bytes({1, 2}), 1).Parsed.Code, kSimRefusedCode);
    EXPECT_EQ(m.Settings().Channels[0].Sensor4to20mA, 1);

    // A frame for another module on the line does not count as a request.
    Ask(m, 0xE4, {}, 1);
    Ask(m, 0xF3, {}, 33);
    EXPECT_EQ(Ask(m, 0x1A, Bytes({1, 2}), 1).Parsed.Code, 0x1A);
    EXPECT_EQ(m.Settings().Channels[0].Sensor4to20mA, 2);

    // The rest of a save, each write behind its own 0xE4.
    const RawByteString upper = FromHex("01 01 13 41 20 00 00");
    const RawByteString watchOn = FromHex("01 04 12 80");
    const RawByteString name = Bytes({3}) + "Tlak" + Spaces(17);
    const RawByteString user = Bytes({0}) + "Linka 2" + Spaces(9);
    const RawByteString comm = Bytes({5, 6});
    for (auto [instr, data] : {std::pair{uint8_t(0x1C), upper}, std::pair{uint8_t(0x1C), watchOn},
                               std::pair{uint8_t(0x2B), name}, std::pair{uint8_t(0xE2), user},
                               std::pair{uint8_t(0xE0), comm}}) {
        Ask(m, 0xE4, {}, 1);
        EXPECT_EQ(Ask(m, instr, data, 1).Parsed.Code, instr);
    }
    TSimSettings now = m.Settings();
    EXPECT_EQ(now.Channels[0].Upper, 10.0f);
    EXPECT_EQ(now.Channels[3].WatchFlags, 0x80);
    EXPECT_EQ(now.Channels[2].Name, "Tlak" + Spaces(17));
    EXPECT_EQ(now.UserData, "Linka 2" + Spaces(9));
    EXPECT_EQ(now.Address, 5);

    std::vector<TSimWrite> expected = {{0x1E, unitV},   {0x1A, Bytes({1, 2})}, {0x1C, upper}, {0x1C, watchOn},
                                       {0x2B, name},    {0xE2, user},          {0xE0, comm}};
    EXPECT_EQ(m.WriteLog(), expected);
}

TEST(SimModule, RefusesMalformedWritesAsAWhole)
{
    TSimModule m(Plain());
    TSimSettings before = m.Settings();
    auto refused = [&](uint8_t Instr, const RawByteString& Data) {
        Ask(m, 0xE4, {}, 1);
        return Ask(m, Instr, Data, 1).Parsed.Code == kSimRefusedCode;
    };
    // A good unit item followed by a code the module does not know.
    EXPECT_TRUE(refused(0x1E, FromHex("01 02 13 56 20 20 20 20 33 00")));
    EXPECT_TRUE(refused(0x1E, FromHex("13 56 20 20 20 20")));           // no channel item first
    EXPECT_TRUE(refused(0x1E, FromHex("01 05 15 02")));                 // channel 5
    EXPECT_TRUE(refused(0x1E, FromHex("01 02 16 41 20")));              // float cut short
    EXPECT_TRUE(refused(0x1E, FromHex("01 01 1A 03")));                 // channel 1 has no gain stage
    EXPECT_TRUE(refused(0x1E, FromHex("01 03 1A 08")));                 // gain beyond 128x
    EXPECT_TRUE(refused(0x1C, FromHex("01 01 11") + Spaces(21)));       // config item in a watch list
    EXPECT_TRUE(refused(0xE0, Bytes({254, 6})));                        // not a module address
    EXPECT_TRUE(refused(0xE0, Bytes({5, 12})));                         // no such speed
    EXPECT_TRUE(refused(0xE0, Bytes({5})));
    EXPECT_TRUE(refused(0xE2, Bytes({1}) + "x"));
    EXPECT_TRUE(refused(0x2B, Bytes({0}) + "x"));
    EXPECT_TRUE(refused(0x1A, Bytes({2, 3})));
    EXPECT_TRUE(m.WriteLog().empty());
    TSimSettings after = m.Settings();
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(after.Channels[i].Unit, before.Channels[i].Unit);
        EXPECT_EQ(after.Channels[i].GainCode, before.Channels[i].GainCode);
        EXPECT_EQ(after.Channels[i].Decimals, before.Channels[i].Decimals);
    }
    EXPECT_EQ(after.Address, 1);

    // Several channels in one list are fine; the gain of a channel that has
    // a gain stage can be set.
    EXPECT_FALSE(refused(0x1E, FromHex("01 03 1A 05 15 02 01 04 15 00")));
    EXPECT_EQ(m.Settings().Channels[2].GainCode, 5);
    EXPECT_EQ(m.Settings().Channels[2].Decimals, 2);
    EXPECT_EQ(m.Settings().Channels[3].Decimals, 0);
}

TEST(SimModule, ListensToItsOwnAddressAndBroadcastOnly)
{
    TSimModule m(Plain());
    EXPECT_TRUE(Ask(m, 0xF3, {}, 1).Valid);
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFE).Valid);
    EXPECT_TRUE(Ask(m, 0xF3, {}, 2).Frame.empty());
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFF).Frame.empty());
    EXPECT_EQ(m.RequestLog().back().Outcome, TSimOutcome::OtherAddress);

    // A new address takes effect after the reply to its write: the reply
    // still comes from 1, later requests to 1 are for someone else.
    Ask(m, 0xE4, {}, 1);
    TReply r = Ask(m, 0xE0, Bytes({5, 6}), 1);
    EXPECT_EQ(r.Parsed.Address, 1);
    EXPECT_TRUE(Ask(m, 0xE4, {}, 1).Frame.empty());
    EXPECT_TRUE(Ask(m, 0xF3, {}, 5).Valid);
    EXPECT_EQ(ToHex(Ask(m, 0xF0).Parsed.Data), "05 06");
}

TEST(SimModule, UnderstandsOnlyItsOwnLineSpeed)
{
    TSimModule m(Plain(TSimModel::KelvoRS));
    EXPECT_EQ(m.LineSpeed(), 9600u);
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFE, 19200).Frame.empty());
    EXPECT_EQ(m.RequestLog().back().Outcome, TSimOutcome::Garbled);
    EXPECT_EQ(m.RequestLog().back().LineSpeed, 19200u);
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFE, 4800).Frame.empty());
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFE, 0).Frame.empty());
    // A UART copes with a speed that is a little off.
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFE, 9750).Valid);
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFE, 9450).Valid);

    // Half a request at the right speed, the rest at a wrong one: nothing.
    RawByteString probe = Request(0xF3);
    EXPECT_TRUE(m.Serve(probe.substr(0, 4), 9600, 2000).empty());
    EXPECT_TRUE(m.Serve(probe.substr(4), 19200, 2001).empty());
    EXPECT_TRUE(m.Serve(probe.substr(4), 9600, 2002).empty());
    EXPECT_TRUE(Ask(m, 0xF3, {}, 0xFE, 9600, 2003).Valid);

    // A written speed code moves the module to its speed after the reply.
    Ask(m, 0xE4, {}, 1);
    EXPECT_TRUE(Ask(m, 0xE0, Bytes({1, 10}), 1).Valid);
    EXPECT_EQ(m.LineSpeed(), 115200u);
    EXPECT_TRUE(Ask(m, 0xF0, {}, 0xFE, 9600).Frame.empty());
    EXPECT_EQ(ToHex(Ask(m, 0xF0, {}, 0xFE, 115200).Parsed.Data), "01 0A");

    // A module can report a code it does not run at.
    TSimSettings odd = Plain();
    odd.SpeedCode = 12;
    odd.LineSpeed = 57600;
    TSimModule o(odd);
    EXPECT_EQ(ToHex(Ask(o, 0xF0, {}, 0xFE, 57600).Parsed.Data), "01 0C");
    EXPECT_TRUE(Ask(o, 0xF0, {}, 0xFE, 9600).Frame.empty());
}

TEST(SimModule, FindsRequestsInTheByteStream)
{
    TSimModule m(Plain());
    RawByteString probe = Request(0xF3);

    // In pieces: answered once, when the last piece is in.
    EXPECT_TRUE(m.Serve(probe.substr(0, 3), 9600, 100).empty());
    EXPECT_TRUE(m.Serve(probe.substr(3, 3), 9600, 101).empty());
    EXPECT_FALSE(m.Serve(probe.substr(6), 9600, 102).empty());

    // Noise before a frame (a "*" among it), two frames in one piece.
    TSimSchedule s = m.Serve(FromHex("00 FF 2A 13") + probe + Request(0xF0), 9600, 200);
    RawByteString both = Joined(s);
    RawByteString first = both.substr(0, both.size() - 11);
    EXPECT_EQ(CheckVerdel97Packet(first), 0);
    EXPECT_EQ(CheckVerdel97Packet(both.substr(first.size())), 0);
    auto log = m.RequestLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3].Outcome, TSimOutcome::Garbled);
    EXPECT_EQ(ToHex(log[log.size() - 3].Bytes), "00 FF 2A 13");

    // A frame with a wrong checksum is no request.
    RawByteString bad = probe;
    bad[7] = static_cast<char>(bad[7] ^ 0x10);
    EXPECT_TRUE(m.Serve(bad, 9600, 300).empty());

    // A request that stopped half way is forgotten when the line goes
    // quiet, so it cannot swallow the next one.
    RawByteString longRequest = Request(0xE2, RawByteString(40, 'x'), 1);
    EXPECT_TRUE(m.Serve(longRequest.substr(0, 10), 9600, 400).empty());
    EXPECT_FALSE(m.Serve(probe, 9600, 500).empty());
}

TEST(SimModule, QueuesOutputByTime)
{
    TSimSettings s = Plain();
    s.Faults.ChunkSize = 5;
    s.Faults.ChunkPauseMs = 30;
    TSimModule m(s);
    const uint32_t t0 = 0xFFFFFFF0u;  // the counter wraps during the reply
    m.Feed(Request(0xF0), 9600, t0);  // 11-byte reply: 5 + 5 + 1
    ASSERT_TRUE(m.NextDue().has_value());
    EXPECT_EQ(*m.NextDue(), t0);
    RawByteString got = m.Poll(t0);
    EXPECT_EQ(got.size(), 5u);
    EXPECT_EQ(*m.NextDue(), t0 + 30);
    EXPECT_TRUE(m.Poll(t0 + 29).empty());
    // A second request while the first reply is still going out waits for
    // its end.
    m.Feed(Request(0xF3), 9600, t0 + 20);
    got += m.Poll(t0 + 59);
    EXPECT_EQ(got.size(), 10u);
    got += m.Poll(t0 + 60);
    EXPECT_EQ(CheckVerdel97Packet(got.substr(0, 11)), 0);
    got += m.Poll(t0 + 10000);
    EXPECT_EQ(CheckVerdel97Packet(got.substr(11)), 0);
    EXPECT_FALSE(m.NextDue().has_value());

    m.Feed(Request(0xF3), 9600, 5);
    m.DiscardOutput();
    EXPECT_TRUE(m.Poll(100000).empty());
}

TEST(SimModule, LiveValuesMoveAndShowTheirState)
{
    TSimSettings s = Plain();
    s.Channels[1].Live = TSimLiveMode::Overrange;
    s.Channels[2].Live = TSimLiveMode::Invalid;
    s.Channels[3].LiveCenter = 9000;
    s.Channels[3].LiveSwing = 3000;  // leaves the range for part of its period
    TSimModule m(s);

    TReply a = Ask(m, 0x58, Bytes({0}), 0xFE, 9600, 1000);
    ASSERT_TRUE(a.Valid);
    ASSERT_EQ(a.Parsed.Data.size(), 72u);
    for (uint8_t i = 0; i < 4; ++i)
        EXPECT_EQ(ByteAt(a.Parsed.Data, 18 * i), i + 1);
    const RawByteString& d = a.Parsed.Data;
    EXPECT_EQ(ByteAt(d, 1) & 0x84, 0x80);   // channel 1 valid
    EXPECT_EQ(ByteAt(d, 19), 0x84);         // channel 2 overranged
    EXPECT_EQ(ByteAt(d, 37) & 0x80, 0x00);  // channel 3 invalid

    // The float, the count and the text of a block tell the same value.
    const TSimChannel& c = s.Channels[0];
    uint16_t raw = uint16_t(ByteAt(d, 2) << 8 | ByteAt(d, 3));
    uint32_t bits = uint32_t(ByteAt(d, 4)) << 24 | uint32_t(ByteAt(d, 5)) << 16 | uint32_t(ByteAt(d, 6)) << 8 |
                    ByteAt(d, 7);
    float value;
    std::memcpy(&value, &bits, 4);
    EXPECT_NEAR(value, c.Offset + c.Slope * raw, c.Slope);
    std::string text = d.substr(8, 10);
    EXPECT_EQ(text.size(), 10u);
    EXPECT_EQ(text.find(','), std::string::npos);
    EXPECT_NEAR(std::strtod(text.c_str(), nullptr), value, 0.006) << text;

    // Two reads a few seconds apart differ; over one period channel 4 is
    // overranged some of the time and in range the rest.
    TReply b = Ask(m, 0x58, Bytes({0}), 0xFE, 9600, 4000);
    EXPECT_NE(a.Parsed.Data.substr(0, 18), b.Parsed.Data.substr(0, 18));
    int over = 0, inRange = 0;
    for (uint32_t t = 0; t < s.Channels[3].LivePeriodMs; t += 500) {
        uint8_t status = ByteAt(Ask(m, 0x58, Bytes({0}), 0xFE, 9600, t).Parsed.Data, 55);
        ((status & 0x04) ? over : inRange)++;
    }
    EXPECT_GT(over, 0);
    EXPECT_GT(inRange, 0);
}

TEST(SimFaults, SilenceStraysAndBrokenChecksums)
{
    TSimSettings s = Plain();
    s.Faults.Silent = true;
    TSimModule m(s);
    EXPECT_TRUE(Ask(m, 0xF3).Frame.empty());
    // A silent module hears nothing, so it applies nothing either.
    Ask(m, 0xE4, {}, 1);
    Ask(m, 0x1A, Bytes({1, 2}), 1);
    EXPECT_TRUE(m.WriteLog().empty());
    EXPECT_EQ(m.RequestLog().back().Outcome, TSimOutcome::Dropped);

    TSimFaults stray;
    stray.StrayByte = true;
    stray.StrayValue = 0x55;
    m.SetFaults(stray);
    RawByteString r = Ask(m, 0xF3).Frame;
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(ByteAt(r, 0), 0x55);
    EXPECT_EQ(CheckVerdel97Packet(r), 2);
    EXPECT_EQ(CheckVerdel97Packet(r.substr(1)), 0);

    TSimFaults sum;
    sum.BadChecksum = true;
    m.SetFaults(sum);
    r = Ask(m, 0xF3).Frame;
    EXPECT_EQ(CheckVerdel97Packet(r), 5);
    EXPECT_EQ(ByteAt(r, r.size() - 1), 0x0D);
}

TEST(SimFaults, UnstableAndEverySecondReplies)
{
    TSimSettings s = Plain();
    s.Faults.Unstable = true;
    TSimModule m(s);
    for (uint8_t instr : {uint8_t(0xF3), uint8_t(0x1F), uint8_t(0xF0), uint8_t(0xFA)}) {
        RawByteString data = instr == 0x1F ? Bytes({1}) : RawByteString();
        TReply a = Ask(m, instr, data), b = Ask(m, instr, data), c = Ask(m, instr, data);
        ASSERT_TRUE(a.Valid && b.Valid && c.Valid);
        EXPECT_NE(a.Parsed.Data, b.Parsed.Data);
        EXPECT_NE(b.Parsed.Data, c.Parsed.Data);
        EXPECT_EQ(a.Parsed.Data.size(), b.Parsed.Data.size());
    }

    TSimSettings e = Plain();
    e.Faults.EverySecond = true;
    TSimModule half(e);
    EXPECT_TRUE(Ask(half, 0xF3).Valid);
    EXPECT_TRUE(Ask(half, 0xF3).Frame.empty());
    EXPECT_TRUE(Ask(half, 0xF3).Valid);
    EXPECT_TRUE(Ask(half, 0xF3).Frame.empty());
    // Frames for other modules do not count.
    Ask(half, 0xF3, {}, 40);
    EXPECT_TRUE(Ask(half, 0xF3).Valid);
}

TEST(SimFaults, ChunksPausesAndSlowLine)
{
    TSimSettings s = Plain();
    s.ReplyDelayMs = 3;
    s.Faults.ChunkSize = 4;
    s.Faults.ChunkPauseMs = 30;
    TSimModule m(s);
    TSimSchedule sched = m.Serve(Request(0xF0), 9600, 0);  // 11 bytes
    ASSERT_EQ(sched.size(), 3u);
    EXPECT_EQ(sched[0], (TSimChunk{3, Joined(sched).substr(0, 4)}));
    EXPECT_EQ(sched[1].DelayMs, 30u);
    EXPECT_EQ(sched[1].Bytes.size(), 4u);
    EXPECT_EQ(sched[2].DelayMs, 30u);
    EXPECT_EQ(sched[2].Bytes.size(), 3u);
    EXPECT_EQ(CheckVerdel97Packet(Joined(sched)), 0);

    // On a slow line the bytes leave at the line's pace: 10 bits a byte.
    for (uint8_t code : {uint8_t(1), uint8_t(6), uint8_t(10)}) {
        TSimSettings slow = Plain();
        slow.SpeedCode = code;
        slow.Faults.SlowLine = true;
        TSimModule sm(slow);
        uint32_t speed = SimSpeedOfCode(code);
        SCOPED_TRACE(speed);
        TSimSchedule p = sm.Serve(Request(0x58, Bytes({0})), speed, 0);  // 81-byte reply
        uint32_t total = 0;
        for (const TSimChunk& c : p)
            total += c.DelayMs;
        EXPECT_EQ(total, uint32_t(std::ceil(81 * 10000.0 / speed)));
        EXPECT_EQ(CheckVerdel97Packet(Joined(p)), 0);
        if (speed == 300) {
            EXPECT_EQ(p.size(), 81u);  // each byte on its own, 33-34 ms apart
            EXPECT_GE(p[1].DelayMs, 33u);
            EXPECT_LE(p[1].DelayMs, 34u);
        }
    }
}

TEST(SimFaults, VanishesInTheMiddleOfAReply)
{
    TSimSettings s = Plain();
    s.Faults.VanishAfter = 2;
    TSimModule m(s);
    EXPECT_TRUE(Ask(m, 0xF3).Valid);
    EXPECT_TRUE(Ask(m, 0xF0).Valid);
    EXPECT_FALSE(m.Gone());
    RawByteString cut = Ask(m, 0xF3).Frame;
    EXPECT_TRUE(m.Gone());
    RawByteString whole = Joined(TSimModule(Plain()).Serve(Request(0xF3), 9600, 0));
    ASSERT_FALSE(cut.empty());
    EXPECT_LT(cut.size(), whole.size());
    EXPECT_EQ(cut, whole.substr(0, cut.size()));
    EXPECT_NE(CheckVerdel97Packet(cut), 0);
    EXPECT_TRUE(Ask(m, 0xF3).Frame.empty());
    m.Revive();
    EXPECT_TRUE(Ask(m, 0xF3).Valid);
}

TEST(SimSettings, ChannelOptionsAndModels)
{
    TSimSettings s = DefaultSimSettings();
    ApplySimChannelOption(s, "2:name=Tlak 2,unit=bar,min=4,max=20,gain=3,sensor=on,watch=on,upper=10,live=invalid");
    const TSimChannel& c = s.Channels[1];
    EXPECT_EQ(c.Name, "Tlak 2");
    EXPECT_EQ(c.Unit, "bar");
    EXPECT_FLOAT_EQ(c.Offset, 4);
    EXPECT_FLOAT_EQ(c.Slope, 0.0016f);
    EXPECT_TRUE(c.HasGain);
    EXPECT_EQ(c.GainCode, 3);
    EXPECT_EQ(c.Sensor4to20mA, 1);
    EXPECT_EQ(c.WatchFlags & 0x80, 0x80);
    EXPECT_EQ(c.Upper, 10.0f);
    EXPECT_EQ(c.Live, TSimLiveMode::Invalid);
    ApplySimChannelOption(s, "2:gain=none,sensor=2,watch=off,max=24");
    EXPECT_FALSE(c.HasGain);
    EXPECT_EQ(c.Sensor4to20mA, 2);
    EXPECT_EQ(c.WatchFlags & 0x80, 0);
    EXPECT_FLOAT_EQ(c.Offset + c.Slope * 10000, 24);

    for (const char* bad : {"5:name=x", "0:name=x", "name=x", "1:bogus=1", "1:min=abc", "1:gain=8",
                            "1:decimals=-1", "1:sensor=maybe", "1:upper=1e300", "1:period=0", "1:name"})
        EXPECT_THROW(ApplySimChannelOption(s, bad), EConvertError) << bad;

    EXPECT_EQ(ParseSimModel("RS"), TSimModel::KelvoRS);
    EXPECT_EQ(ParseSimModel("KelvoETH"), TSimModel::KelvoETH);
    EXPECT_EQ(ParseSimModel("tarnel"), TSimModel::Tarnel);
    EXPECT_FALSE(ParseSimModel("kelvo").has_value());
    EXPECT_EQ(SimSpeedOfCode(0), 110u);
    EXPECT_EQ(SimSpeedOfCode(11), 230400u);
    EXPECT_EQ(SimSpeedOfCode(12), 0u);
}
