#include <gtest/gtest.h>

#include "uExceptions.h"
#include "uVerdel97.h"

using namespace kelvo;

namespace {
const char* kBadPacket = "Incorrect PACKET (Verdel format 97)!";

std::string ParseError(const RawByteString& s)
{
    TVerdelFormat97 f;
    try {
        ParseVerdel97Packet(s, f);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}
}  // namespace

TEST(Verdel97, BuildsTheIdentificationAndMeasurementRequests)
{
    EXPECT_EQ(ToHex(BuildVerdel97Packet(0xFE, 0x01, 0xF3, "")), "2A 61 00 05 FE 01 F3 7D 0D");
    EXPECT_EQ(ToHex(BuildVerdel97Packet(0xFE, 0x01, 0x58, Bytes({0x00}))),
              "2A 61 00 06 FE 01 58 00 17 0D");
    EXPECT_EQ(Verdel97CheckSum(""), 0xFF);
    EXPECT_EQ(Verdel97CheckSum(Bytes({0xFF, 0x01})), 0xFF);  // sum wraps modulo 256
    EXPECT_EQ(Verdel97CheckSum(RawByteString(65535, '\x01')), 0x00);
    EXPECT_THROW(Verdel97CheckSum(RawByteString(65536, '\0')), ERangeError);
}

TEST(Verdel97, DataHoldsAnyByteAndOnlyTheLengthDelimits)
{
    const RawByteString data = Bytes({0x0D, 0x2A, 0x00, 0x61, 0x0D});
    const RawByteString frame = BuildVerdel97Packet(0x07, 0x01, 0x1F, data);
    EXPECT_EQ(frame.size(), 14u);
    EXPECT_EQ(frame.substr(7, 5), data);
    EXPECT_EQ(CheckVerdel97Packet(frame), 0);
    TVerdelFormat97 f;
    ParseVerdel97Packet(frame, f);
    EXPECT_EQ(f.Prefix, '*');
    EXPECT_EQ(f.Format, 'a');
    EXPECT_EQ(f.Length, 10);
    EXPECT_EQ(f.Address, 0x07);
    EXPECT_EQ(f.Signature, 0x01);
    EXPECT_EQ(f.Code, 0x1F);
    EXPECT_EQ(f.Data, data);
    EXPECT_EQ(f.CheckSum, ByteAt(frame, 12));
    EXPECT_EQ(f.Terminator, 0x0D);
}

TEST(Verdel97, CheckReportsTheFirstFailingTest)
{
    const RawByteString good = FromHex("2A 61 00 06 FE 01 58 00 17 0D");
    for (size_t n = 0; n <= 7; ++n)
        EXPECT_EQ(CheckVerdel97Packet(good.substr(0, n)), 1) << n;
    EXPECT_EQ(CheckVerdel97Packet(good), 0);
    EXPECT_EQ(CheckVerdel97Packet(RawByteString(1, '\0') + good), 2);  // stray byte: no resynchronisation
    EXPECT_EQ(CheckVerdel97Packet(FromHex("2B 61 00 06 FE 01 58 00 17 0D")), 2);
    EXPECT_EQ(CheckVerdel97Packet(FromHex("2A 62 00 06 FE 01 58 00 17 0D")), 3);
    EXPECT_EQ(CheckVerdel97Packet(good + '\x0D'), 4);
    EXPECT_EQ(CheckVerdel97Packet(good.substr(0, good.size() - 1)), 4);
    EXPECT_EQ(CheckVerdel97Packet(FromHex("2A 61 01 06 FE 01 58 00 17 0D")), 4);  // high length byte
    EXPECT_EQ(CheckVerdel97Packet(FromHex("2A 61 00 06 FE 01 58 00 18 0D")), 5);
    EXPECT_EQ(CheckVerdel97Packet(FromHex("2A 61 00 06 FE 01 58 00 18 0A")), 5);  // 5 before 6
    EXPECT_EQ(CheckVerdel97Packet(FromHex("2A 61 00 06 FE 01 58 00 17 0A")), 6);
}

TEST(Verdel97, AReplyIsHopelessOnlyWhenNoBytesCanCompleteIt)
{
    const RawByteString good = FromHex("2A 61 00 06 FE 01 58 00 17 0D");
    const struct {
        RawByteString Reply;
        bool Hopeless;
    } cases[] = {
        {"", false},
        {good.substr(0, 1), false},
        {good.substr(0, 3), false},
        {good.substr(0, 9), false},                    // one byte short
        {good, false},                                 // complete and valid
        {FromHex("2A 61 00 04 FE 01 71 0D"), false},  // checks, although it will not parse
        {RawByteString(1, '\0') + good, true},         // stray byte first
        {"$GPGGA", true},
        {FromHex("2A 62"), true},
        {good + '\x0D', true},                         // longer than announced
        {FromHex("2A 61 00 03"), true},                // announces less than any frame
        {FromHex("2A 61 00 06 FE 01 58 00 18 0D"), true},  // full size, wrong checksum
        {FromHex("2A 61 00 06 FE 01 58 00 17 0A"), true},  // full size, wrong terminator
    };
    for (const auto& c : cases)
        EXPECT_EQ(Verdel97ReplyHopeless(c.Reply), c.Hopeless) << ToHex(c.Reply);
}

TEST(Verdel97, ParseRejectsWhatCannotBeAFrame)
{
    // Checks 0 (length 4, correct sum, terminator) but holds no code byte room.
    const RawByteString eight = FromHex("2A 61 00 04 FE 01 71 0D");
    ASSERT_EQ(CheckVerdel97Packet(eight), 0);
    EXPECT_EQ(ParseError(eight), kBadPacket);

    TVerdelFormat97 f;
    f.Terminator = 0x0D;
    EXPECT_THROW(ParseVerdel97Packet(FromHex("2A 61 00 05 FE 01 F3 7D"), f), Exception);
    EXPECT_EQ(f.Terminator, 0);
    EXPECT_EQ(ParseError(""), kBadPacket);
    EXPECT_EQ(ParseError(FromHex("2A 61 00 09 FE 01 F3 00 7D 0D")), kBadPacket);  // cut short

    // A reply with no data; address, signature and code are copied as they are.
    ParseVerdel97Packet(BuildVerdel97Packet(0x05, 0x99, 0x06, ""), f);
    EXPECT_EQ(f.Length, 5);
    EXPECT_TRUE(f.Data.empty());
    EXPECT_EQ(f.Address, 0x05);
    EXPECT_EQ(f.Signature, 0x99);
    EXPECT_EQ(f.Code, 0x06);
}

TEST(Verdel97, LargestDataIsBuiltAndAcceptedAndOneMoreIsRefused)
{
    EXPECT_THROW(BuildVerdel97Packet(0, 1, 2, RawByteString(65531, 'x')), ERangeError);
    RawByteString data(65530, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    const RawByteString frame = BuildVerdel97Packet(0xFE, 1, 0x1F, data);
    ASSERT_EQ(frame.size(), 65539u);
    EXPECT_EQ(ToHex(frame.substr(2, 2)), "FF FF");
    EXPECT_EQ(CheckVerdel97Packet(frame), 0);
    TVerdelFormat97 f;
    ParseVerdel97Packet(frame, f);
    EXPECT_EQ(f.Length, 65535);
    EXPECT_EQ(f.Data, data);
}
