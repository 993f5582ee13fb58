#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "uConversionUtils.h"
#include "uExceptions.h"

using namespace kelvo;

TEST(ConversionUtils, StrBinIsABigEndianSingle)
{
    EXPECT_EQ(StrBinToFloat(Bytes({0x41, 0x20, 0x00, 0x00})), 10.0f);
    EXPECT_EQ(ToHex(FloatToStrBin(10.0f)), "41 20 00 00");
    EXPECT_EQ(StrBinToFloat(Bytes({0xC0, 0x20, 0x00, 0x00})), -2.5f);
    EXPECT_EQ(StrBinToFloat(Bytes({0x3A, 0xD1, 0xB7, 0x17})), 0.0016f);
    EXPECT_EQ(ToHex(FloatToStrBin(0.0016f)), "3A D1 B7 17");
    // A NaN read from a module goes back with the same bits.
    const RawByteString nan = Bytes({0x7F, 0xC0, 0x12, 0x34});
    EXPECT_TRUE(std::isnan(StrBinToFloat(nan)));
    EXPECT_EQ(FloatToStrBin(StrBinToFloat(nan)), nan);
    for (size_t n : {0, 1, 3, 5, 8}) {
        try {
            StrBinToFloat(RawByteString(n, '\x41'));
            ADD_FAILURE() << n;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "StrBin must be 4 chars length");
        }
    }
}

TEST(ConversionUtils, RangeAndCoefficientsConvertBothWays)
{
    float minimum = 0, maximum = 0;
    CoefficientsToRange(4, 0.0016f, 10000, minimum, maximum);
    EXPECT_EQ(minimum, 4.0f);
    EXPECT_FLOAT_EQ(maximum, 20.0f);
    float offset = 0, slope = 0;
    RangeToCoefficients(4, 20, 10000, offset, slope);
    EXPECT_EQ(offset, 4.0f);
    EXPECT_FLOAT_EQ(slope, 0.0016f);
    RangeToCoefficients(-50, 150, 10000, offset, slope);
    EXPECT_EQ(offset, -50.0f);
    EXPECT_FLOAT_EQ(slope, 0.02f);

    offset = slope = 7;
    try {
        RangeToCoefficients(1, 2, 0, offset, slope);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Range can't be zero");
    }
    EXPECT_EQ(offset, 1.0f);
    EXPECT_EQ(slope, 7.0f);

    // Results beyond single precision are infinities, not undefined casts.
    const float big = std::numeric_limits<float>::max();
    CoefficientsToRange(big, big, 10000, minimum, maximum);
    EXPECT_EQ(maximum, std::numeric_limits<float>::infinity());
    RangeToCoefficients(-1e300, 1e300, 1, offset, slope);
    EXPECT_EQ(offset, -std::numeric_limits<float>::infinity());
    EXPECT_EQ(slope, std::numeric_limits<float>::infinity());
    EXPECT_TRUE(SameSingle(std::nanf(""), std::nanf("")));
    EXPECT_TRUE(SameSingle(0.0f, -0.0f));
    EXPECT_FALSE(SameSingle(1.0f, std::nextafter(1.0f, 2.0f)));
}
