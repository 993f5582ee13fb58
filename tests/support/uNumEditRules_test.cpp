#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "uNumEditRules.h"

using namespace kelvo;

namespace {

const TNumberFormat Czech{",", "\xC2\xA0"};  // decimal comma, no-break space between thousands
const TNumberFormat English{".", ","};

}  // namespace

TEST(IntEditRules, ValidateCorrectsOrReports)
{
    struct Case {
        const char* Text;
        bool AutoCorrect;
        int32_t Value;  // stored value afterwards
        bool Result;
        bool Message;
    };
    const Case cases[] = {
        {"5", true, 2, true, false},      // clamped to the maximum
        {"-", true, 0, true, false},      // not a number: starts from 0
        {"-7x", true, 0, true, false},    // leading number -7, clamped
        {"1", false, 1, true, false},     // valid: stored, no message
        {"7", false, 0, true, true},      // a number out of range: reported, focus free
        {"abc", false, 0, false, true},   // not a number: reported, focus kept
        {"99999999999", false, 0, false, true},  // beyond 32 bits is no number
    };
    for (const Case& c : cases) {
        TIntEditRules r;
        r.SetMaxValue(2);
        const TNumValidation v = r.Validate(c.Text, c.AutoCorrect, false);
        EXPECT_EQ(r.Value(), c.Value) << c.Text;
        EXPECT_EQ(v.Result, c.Result) << c.Text;
        EXPECT_EQ(v.ShowRangeMessage, c.Message) << c.Text;
    }
    TIntEditRules r;
    r.SetMaxValue(2);
    EXPECT_EQ(r.RangeMessage("Hodnota"), "Hodnota musí být v rozmezí od 0 do 2!");
}

TEST(IntEditRules, LimitsPinAndStepsSaturate)
{
    TIntEditRules r;
    r.SetValue(50);
    r.SetMinValue(200);  // above MaxValue 100: pinned to it
    EXPECT_EQ(r.MinValue(), 100);
    EXPECT_EQ(r.Value(), 100);
    r.SetIncrement(0);   // ignored
    EXPECT_EQ(r.Increment(), 1);

    TIntEditRules wide;
    wide.SetMaxValue(std::numeric_limits<int32_t>::max());
    wide.SetMinValue(std::numeric_limits<int32_t>::min());
    wide.SetIncrement(std::numeric_limits<int32_t>::max());
    wide.SetPageMult(std::numeric_limits<int32_t>::max());
    wide.Step("5", false, true, true);  // far beyond 64 bits: clamped, no overflow
    EXPECT_EQ(wide.Value(), std::numeric_limits<int32_t>::max());
    wide.Step("junk", true, false, false);  // text no number: the stored value steps
    EXPECT_EQ(wide.Value(), 0);
}

TEST(DoubleEditRules, StepsByIncrementCtrlAndPage)
{
    struct Case {
        double Start;
        bool Page, Ctrl;
        double Expected;
    };
    const Case cases[] = {{9995, true, false, 10000}, {0, false, true, 10}, {0, true, true, 100}, {0, false, false, 1}};
    for (const Case& c : cases) {
        TDoubleEditRules r;
        r.SetMaxValue(10000);
        r.SetMinValue(-10000);
        r.SetValue(c.Start);
        r.Step(r.Format(English), English, false, c.Page, c.Ctrl);
        EXPECT_EQ(r.Value(), c.Expected) << c.Start;
    }
}

TEST(DoubleEditRules, ParsesTheLocaleForm)
{
    struct Case {
        const char* Text;
        const TNumberFormat* Fmt;
        bool Ok;
        double Value;
    };
    const Case cases[] = {
        {"1,25", &Czech, true, 1.25},
        {"1.25", &Czech, false, 0},              // the other separator is not this locale's
        {"-12\xC2\xA0" "345,5", &Czech, true, -12345.5},  // as dbManual writes it
        {"1,5", &English, false, 0},              // a comma in the wrong place is no grouping
        {"1,234.5", &English, true, 1234.5},
        {"1E20", &English, true, 1e20},
        {" 3 ", &English, true, 3},
        {"1e999", &English, false, 0},
        {"inf", &English, false, 0},
        {"-", &English, false, 0},
        {",5", &Czech, true, 0.5},
    };
    for (const Case& c : cases) {
        const auto v = TDoubleEditRules::Parse(c.Text, *c.Fmt);
        EXPECT_EQ(v.has_value(), c.Ok) << c.Text;
        if (v && c.Ok) {
            EXPECT_DOUBLE_EQ(*v, c.Value) << c.Text;
        }
    }
}

TEST(DoubleEditRules, FormatsByBehaviourAndReadsItBack)
{
    struct Case {
        double Value;
        TDecimalBehaviour Behaviour;
        int Decimals;
        const char* Text;
    };
    const Case cases[] = {
        {0.1, TDecimalBehaviour::dbAuto, 2, "0,1"},
        {-0.0, TDecimalBehaviour::dbAuto, 2, "0"},
        {1e20, TDecimalBehaviour::dbAuto, 2, "1E20"},
        {0.00001, TDecimalBehaviour::dbAuto, 2, "1E-5"},
        {1234567.5, TDecimalBehaviour::dbManual, 2, "1\xC2\xA0" "234\xC2\xA0" "567,50"},
        {-0.001, TDecimalBehaviour::dbManual, 2, "0,00"},
        {2.5, TDecimalBehaviour::dbRemember, 3, "2,500"},
    };
    for (const Case& c : cases) {
        TDoubleEditRules r;
        r.SetMaxValue(1e30);
        r.SetMinValue(-1e30);
        r.SetBehaviour(c.Behaviour);
        r.SetDecimals(static_cast<int16_t>(c.Decimals));
        r.SetValue(c.Value);
        EXPECT_EQ(r.Format(Czech), c.Text) << c.Value;
        // What the field shows validates back to the same value: a
        // grouped manual value is not lost on leaving the field.
        const double shown = r.Value();
        EXPECT_TRUE(r.Validate(r.Format(Czech), Czech, true, false).Stored);
        EXPECT_NEAR(r.Value(), shown, 0.01) << c.Text;
    }
}

TEST(DoubleEditRules, ValidateRemembersDecimalsAndCorrects)
{
    TDoubleEditRules r;
    r.SetMaxValue(100);
    r.SetMinValue(-100);
    r.SetBehaviour(TDecimalBehaviour::dbRemember);
    EXPECT_TRUE(r.Validate("1,250", Czech, true, false).Result);
    EXPECT_EQ(r.Decimals(), 3);
    EXPECT_EQ(r.Format(Czech), "1,250");

    r.SetBehaviour(TDecimalBehaviour::dbAuto);
    r.Validate("", Czech, false, false);  // empty counts as 0
    EXPECT_EQ(r.Value(), 0);
    r.SetValue(5);
    TNumValidation v = r.Validate("x", Czech, true, true);  // not a number: 0
    EXPECT_TRUE(v.Beep);
    EXPECT_EQ(r.Value(), 0);
    v = r.Validate("500", Czech, false, false);
    EXPECT_TRUE(v.ShowRangeMessage);
    EXPECT_TRUE(v.Result);
    EXPECT_EQ(r.RangeMessage("Hodnota", Czech), "Hodnota musí být v rozmezí od -100,00 do 100,00!");

    // Default limits 0..0 pin the value; NaN never gets in.
    TDoubleEditRules pinned;
    pinned.SetValue(7);
    EXPECT_EQ(pinned.Value(), 0);
    pinned.SetMaxValue(10);
    pinned.SetValue(std::nan(""));
    EXPECT_EQ(pinned.Value(), 0);
    pinned.SetMinValue(std::nan(""));
    EXPECT_EQ(pinned.MinValue(), 0);
}
