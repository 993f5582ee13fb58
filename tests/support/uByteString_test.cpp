#include <gtest/gtest.h>

#include "uByteString.h"
#include "uExceptions.h"

using namespace kelvo;

TEST(ByteString, HexRoundTripKeepsEveryByteValue)
{
    RawByteString all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(FromHex(ToHex(all)), all);
    EXPECT_EQ(ToHex(Bytes({0x2A, 0x00, 0x0D})), "2A 00 0D");
    EXPECT_EQ(ToHex(""), "");
    EXPECT_EQ(FromHex("2a6100 0d"), Bytes({0x2A, 0x61, 0x00, 0x0D}));
}

TEST(ByteString, MalformedHexIsAConversionError)
{
    EXPECT_THROW(FromHex("2A 6"), EConvertError);
    EXPECT_THROW(FromHex("zz"), EConvertError);
}
