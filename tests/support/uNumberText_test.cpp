// Numbers as people write them, and singles written back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "uNumberText.h"

using namespace kelvo;

TEST(NumberText, FloatsAreShownAsSinglesAndWrittenExactlyWhereNeeded)
{
    // Shown with the precision of a single, in plain notation.
    EXPECT_EQ(FloatText(1.5000001f), "1.5");
    EXPECT_EQ(FloatText(999.99994f), "1000");
    EXPECT_EQ(FloatText(99999999.0f), "100000000");
    EXPECT_EQ(FloatText(-1e-7f), "-0.0000001");
    EXPECT_EQ(FloatText(-0.0f), "0");
    EXPECT_EQ(ExactFloatText(999.99994f), "999.99994");
    EXPECT_EQ(ExactFloatText(0.2f), "0.2");
    EXPECT_EQ(ExactFloatText(1e20f), "100000000000000000000");
    std::mt19937 rng(1);
    std::uniform_int_distribution<uint32_t> bits;
    for (int i = 0; i < 20000; ++i) {
        const uint32_t b = bits(rng);
        float f;
        std::memcpy(&f, &b, sizeof f);
        if (!std::isfinite(f))
            continue;
        const auto back = ParseDecimal(ExactFloatText(f));
        ASSERT_TRUE(back) << ExactFloatText(f);
        ASSERT_EQ(static_cast<float>(*back), f) << ExactFloatText(f);
    }
}
