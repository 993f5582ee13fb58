#include <gtest/gtest.h>

#include <vector>

#include "uConversionUtils.h"
#include "uExceptions.h"
#include "uKelvoxx.h"
#include "uMessageSink.h"

using namespace kelvo;

namespace {

// Records what the decoders would have shown in message boxes.
struct MessageRecorder {
    std::vector<std::string> got;
    TScopedMessageSink scope{[this](const std::string& t) { got.push_back(t); }};
};

std::string DecodeError(bool watch, const RawByteString& data)
{
    TKelvorec rec;
    try {
        if (watch)
            DecodeChannelWatch(rec, data);
        else
            DecodeChannelConfig(rec, data);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

RawByteString ValueBlock(uint8_t channel, uint8_t status, const char* text)
{
    return Bytes({channel, status, 0x12, 0x34}) + FloatToStrBin(10.0f) + text;
}

}  // namespace

TEST(KelvoDecode, ChannelConfigItemsLandInTheirFieldsWithTheirWidths)
{
    MessageRecorder messages;
    TKelvorec rec;
    ASSERT_TRUE(DecodeChannelConfig(rec, FromHex("01 02 13 6D 41 20 20 20")));
    EXPECT_EQ(rec.Channels[1].Number, 2);
    EXPECT_EQ(rec.Channels[1].Unit, "mA   ");
    EXPECT_EQ(rec.Channels[0], TChannelConfig{});

    // Every item of channel 3, each value directly followed by the next code.
    const RawByteString list = FromHex("01 03") + "\x11" + "Teplota kotle        " +
                               "\x12" + "4..20 mA       " + "\x13" + "degC " + "\x14" + "mA   " +
                               "\x15\x02" + "\x16" + FloatToStrBin(0.0016f) + "\x17" +
                               "0.0016    " + "\x18" + FloatToStrBin(4.0f) + "\x19" +
                               "4.000     " + FromHex("20 01");
    ASSERT_TRUE(DecodeChannelConfig(rec, list));
    const TChannelConfig& c = rec.Channels[2];
    EXPECT_EQ(c.Number, 3);
    EXPECT_EQ(c.Name, "Teplota kotle        ");
    EXPECT_EQ(c.RangeText, "4..20 mA       ");
    EXPECT_EQ(c.Unit, "degC ");
    EXPECT_EQ(c.Unit2, "mA   ");
    EXPECT_EQ(c.Decimals, 2);
    EXPECT_EQ(c.Slope, 0.0016f);
    EXPECT_EQ(c.SlopeText, "0.0016    ");
    EXPECT_EQ(c.Offset, 4.0f);
    EXPECT_EQ(c.OffsetText, "4.000     ");
    EXPECT_EQ(c.Sensor4to20mA, 1);
    EXPECT_FALSE(c.HasGain);

    ASSERT_TRUE(DecodeChannelConfig(rec, FromHex("01 03 1A 03")));
    EXPECT_TRUE(rec.Channels[2].HasGain);
    EXPECT_EQ(rec.Channels[2].GainCode, 3);
    EXPECT_EQ(GainText(rec.Channels[2].GainCode), "8x");
    // A later list for the channel without the gain item clears HasGain.
    ASSERT_TRUE(DecodeChannelConfig(rec, FromHex("01 03 15 01")));
    EXPECT_FALSE(rec.Channels[2].HasGain);
    // A text cut short is taken as far as it goes; a missing byte value is 0.
    ASSERT_TRUE(DecodeChannelConfig(rec, FromHex("01 04 13 56")));
    EXPECT_EQ(rec.Channels[3].Unit, "V");
    ASSERT_TRUE(DecodeChannelConfig(rec, FromHex("01 03 15")));
    EXPECT_EQ(rec.Channels[2].Decimals, 0);
    EXPECT_TRUE(messages.got.empty());
}

TEST(KelvoDecode, WatchItemsAndTheCodesEachListSkips)
{
    MessageRecorder messages;
    TKelvorec rec;
    const RawByteString list = FromHex("01 04 12 81 13") + FloatToStrBin(10.0f) + "\x14" +
                               "10.0      " + "\x15" + FloatToStrBin(-2.5f) + "\x16" +
                               "-2.5      " + "\x17" + FloatToStrBin(0.5f) + "\x18" +
                               "0.5       " + FromHex("20 05 1B 07 21 09 1A 01");
    ASSERT_TRUE(DecodeChannelWatch(rec, list));
    const TChannelWatch& w = rec.Watch[3];
    EXPECT_EQ(w.Number, 4);
    EXPECT_EQ(w.WatchFlags, 0x81);
    EXPECT_EQ(w.Upper, 10.0f);
    EXPECT_EQ(w.UpperText, "10.0      ");
    EXPECT_EQ(w.Lower, -2.5f);
    EXPECT_EQ(w.LowerText, "-2.5      ");
    EXPECT_EQ(w.Hysteresis, 0.5f);
    EXPECT_EQ(w.HysteresisText, "0.5       ");
    EXPECT_TRUE(w.ExtraFlag);
    EXPECT_TRUE(messages.got.empty());  // 20 05, 1B 07, 21 09 skipped silently
    ASSERT_TRUE(DecodeChannelWatch(rec, FromHex("01 04 1A 02")));
    EXPECT_FALSE(rec.Watch[3].ExtraFlag);
    EXPECT_EQ(rec.Channels[3], TChannelConfig{});  // a watch list never touches channels

    // The same 20 05 in a configuration list is the 4-20 mA flag.
    ASSERT_TRUE(DecodeChannelConfig(rec, FromHex("01 01 20 05")));
    EXPECT_EQ(rec.Channels[0].Sensor4to20mA, 5);
}

TEST(KelvoDecode, UnknownCodesAreReportedAndOnlyTheirCodeByteDropped)
{
    MessageRecorder messages;
    TKelvorec rec;
    // 0x30 is unknown; the following 15 02 is still read as an item.
    ASSERT_TRUE(DecodeChannelConfig(rec, FromHex("01 01 30 15 02 0A 10 FF")));
    EXPECT_EQ(rec.Channels[0].Decimals, 2);
    // 0x11 (name) and 0x19 are configuration items, unknown in a watch list.
    ASSERT_TRUE(DecodeChannelWatch(rec, FromHex("01 02 11 19 12 80")));
    EXPECT_EQ(rec.Watch[1].WatchFlags, 0x80);
    EXPECT_EQ(messages.got,
              (std::vector<std::string>{"A Unknown param #48 (30)", "A Unknown param #10 (0A)",
                                        "A Unknown param #16 (10)", "A Unknown param #255 (FF)",
                                        "B Unknown param #17 (11)", "B Unknown param #25 (19)"}));
}

TEST(KelvoDecode, MalformedListsFailWithTheirErrors)
{
    MessageRecorder messages;
    const std::string strbin = "StrBin must be 4 chars length";
    for (bool watch : {false, true}) {
        EXPECT_NE(DecodeError(watch, FromHex("12 80")), "") << watch;     // before any channel
        EXPECT_NE(DecodeError(watch, FromHex("01 05 12 80")), "") << watch;
        EXPECT_NE(DecodeError(watch, FromHex("01 00")), "") << watch;
        EXPECT_NE(DecodeError(watch, FromHex("01")), "") << watch;        // missing -> channel 0
        EXPECT_EQ(DecodeError(watch, FromHex(watch ? "01 01 13 41 20" : "01 01 16 41 20")), strbin)
            << watch;
        EXPECT_EQ(DecodeError(watch, FromHex("01 01 17 41 20 00 00 01 02")), "") << watch;
    }
    EXPECT_NE(DecodeError(false, FromHex("01 01 1A")), "");  // gain byte missing
    EXPECT_EQ(DecodeError(true, FromHex("01 01 1A")), "");   // watch flag reads as 0
    EXPECT_EQ(DecodeError(true, FromHex("1B 00 20")), "");   // skipped codes need no channel
    TKelvorec rec;
    EXPECT_THROW(DecodeChannelConfig(rec, FromHex("01 07")), ERangeError);
    EXPECT_EQ(rec, TKelvorec{});
}

TEST(KelvoDecode, MeasuredValueBlocks)
{
    TKelvoChannelRecountedValue v;
    DecodeRecountedValue(ValueBlock(2, 0x84, "  12.34 mA"), v);
    EXPECT_EQ(v.Channel, 2);
    EXPECT_TRUE(v.Valid);
    EXPECT_TRUE(v.Overrange);
    EXPECT_EQ(v.Raw, 0x1234);
    EXPECT_EQ(v.Value, 10.0);
    EXPECT_EQ(v.Text, "  12.34 mA");
    TRecountedValueView view = ViewOfRecountedValue(v);
    EXPECT_EQ(view.Text, "OVR ");
    EXPECT_EQ(view.Color, 255u);
    EXPECT_TRUE(view.FrameRed);

    DecodeRecountedValue(ValueBlock(1, 0x80, "     3.000"), v);
    EXPECT_FALSE(v.Overrange);
    view = ViewOfRecountedValue(v);
    EXPECT_EQ(view.Text, "     3.000");
    EXPECT_EQ(view.Color, 6450567u);
    EXPECT_FALSE(view.FrameRed);

    DecodeRecountedValue(ValueBlock(1, 0x04, "     3.000"), v);  // overrange but not valid
    EXPECT_EQ(ViewOfRecountedValue(v).Text, "-");

    for (size_t n : {0, 1, 17, 19}) {
        v.Valid = true;
        try {
            DecodeRecountedValue(RawByteString(n, '\x80'), v);
            ADD_FAILURE() << n;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Invalid value data length");
        }
        EXPECT_FALSE(v.Valid);
    }
}

TEST(KelvoDecode, ValuesReplyFillsSlotsByPosition)
{
    std::array<TKelvoChannelRecountedValue, 4> slots{};
    const RawByteString reply = ValueBlock(4, 0x80, "aaaaaaaaaa") + ValueBlock(3, 0x80, "bbbbbbbbbb") +
                                ValueBlock(2, 0x00, "cccccccccc") + ValueBlock(1, 0x80, "dddddddddd");
    DecodeRecountedValues(reply, slots);
    EXPECT_EQ(slots[0].Channel, 4);
    EXPECT_EQ(slots[0].Text, "aaaaaaaaaa");
    EXPECT_TRUE(slots[1].Valid);
    EXPECT_FALSE(slots[2].Valid);
    EXPECT_EQ(slots[3].Text, "dddddddddd");
    EXPECT_TRUE(slots[3].Valid);

    // 40 bytes: two whole blocks; the cut third and the missing fourth stay invalid.
    DecodeRecountedValues(reply.substr(0, 40), slots);
    EXPECT_TRUE(slots[0].Valid && slots[1].Valid);
    EXPECT_FALSE(slots[2].Valid || slots[3].Valid);
    DecodeRecountedValues(reply + "extra", slots);
    EXPECT_TRUE(slots[3].Valid);
    DecodeRecountedValues("", slots);
    for (const auto& s : slots)
        EXPECT_FALSE(s.Valid);
}

TEST(KelvoDecode, SpeedsModelsAndTexts)
{
    const uint32_t speeds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (uint8_t code = 0; code < 12; ++code) {
        EXPECT_EQ(SpeedCodeToBaudRate(code), speeds[code]);
        EXPECT_EQ(BaudRateToSpeedCode(speeds[code]), code);
    }
    EXPECT_EQ(SpeedCodeToBaudRate(12), 0u);
    EXPECT_EQ(BaudRateToSpeedCode(14400), std::nullopt);

    EXPECT_EQ(ModelFromIdentification("KelvoUSB 1.03"), kModelKelvoUSB);
    EXPECT_EQ(ModelFromIdentification("KelvoETH RS485"), kModelKelvoETH);
    EXPECT_EQ(ModelFromIdentification("tarnel rs"), kModelTarnel);
    EXPECT_EQ(ModelFromIdentification("KelvoRS v2"), kModelKelvoRS);
    EXPECT_EQ(ModelFromIdentification("Kelvo"), kModelOther);
    EXPECT_EQ(ModelName(kModelKelvoRS), "KelvoRS");
    EXPECT_EQ(ModelName(9), "");
    EXPECT_TRUE(IsKelvoFamilyReply("KelvoUSB 1.03"));
    EXPECT_TRUE(IsKelvoFamilyReply("tarnel 2"));
    EXPECT_FALSE(IsKelvoFamilyReply("KELVO USB"));  // the family name counts in its exact case
    EXPECT_FALSE(IsKelvoFamilyReply("Acme USB meter"));

    EXPECT_EQ(TrimText(std::string("\r\n \x01KelvoRS 1.0 \t\0", 18)), "KelvoRS 1.0");
    EXPECT_EQ(TrimText("   "), "");
    EXPECT_EQ(UpperCaseText("Tarnel \xE8"), "TARNEL \xE8");
    EXPECT_EQ(FitText("abc", 5), "abc  ");
    EXPECT_EQ(FitText("abcdefg", 5), "abcde");
    EXPECT_EQ(FormatSerialText(42, 256), "0042.xx.xx/0256");
    EXPECT_EQ(FormatSerialText(65535, 7), "65535.xx.xx/0007");
    EXPECT_EQ(GainText(0), "1x");
    EXPECT_EQ(GainText(7), "128x");
    EXPECT_EQ(GainText(8), "");
}
