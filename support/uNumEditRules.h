#pragma once
// The rules of the numeric edit fields, without any widget: how a text is
// read as a number, how the value is kept within its limits, how keys and
// arrows step it, how an entry is validated, and how the value is written
// back as text. The fields of uIntEdit and uDoubleEdit hold one of these
// and only show and forward; tests drive the rules directly.
//
// Texts are UTF-8. The separators come from the caller (the fields pass the
// user's locale), so the rules themselves depend on no locale.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// The separators numbers are written with.
struct TNumberFormat {
    std::string DecimalSeparator = ".";
    std::string ThousandSeparator = ",";
};

// What Validate decided about an entry.
struct TNumValidation {
    // Validate's result: true when the value now stands (the entry was
    // valid or has been corrected); with the range message, whether the
    // text was a number at all (a text that is not keeps the focus).
    bool Result = true;
    // The entry was invalid and the field asks for a beep.
    bool Beep = false;
    // The entry was invalid and not corrected: show RangeMessage.
    bool ShowRangeMessage = false;
    // The stored value was set (the field rewrites its text).
    bool Stored = false;
};

// Sign of a value, for the colouring of the text.
enum class TValueSign { Negative, Zero, Positive };

// The whole-number field: 32-bit signed value within MinValue..MaxValue.
class TIntEditRules {
public:
    int32_t MinValue() const { return FMin; }
    int32_t MaxValue() const { return FMax; }
    int32_t Value() const { return FValue; }
    int32_t Increment() const { return FIncrement; }
    int32_t PageMult() const { return FPageMult; }

    // MinValue not above MaxValue and MaxValue not below MinValue; the
    // stored value is clamped again afterwards.
    void SetMinValue(int32_t V);
    void SetMaxValue(int32_t V);
    // Clamped into the limits; equal limits pin the value to them.
    void SetValue(int64_t V);
    // Only values greater than 0 are taken.
    void SetIncrement(int32_t V);
    void SetPageMult(int32_t V) { FPageMult = V; }

    // A whole number: optional blanks, an optional sign, decimal digits,
    // within 32 bits. Anything else does not convert.
    static std::optional<int32_t> Parse(std::string_view Text);
    // What Value reads from a text: the number, or 0 when it does not convert.
    static int32_t ValueFromText(std::string_view Text) { return Parse(Text).value_or(0); }

    // The value in decimal.
    std::string Format() const;

    // One step of the arrows or keys: the value is first taken from Text
    // (kept when Text is not a number), then moved by Increment times 10
    // with Ctrl and times PageMult with Page, and clamped.
    void Step(std::string_view Text, bool Down, bool Page, bool Ctrl);

    // Leaving the field or Enter. A valid entry is stored; an invalid one
    // is clamped and stored with AutoCorrect (a text that is not a whole
    // number starts from the number its leading sign and digits make, 0
    // when there are none), else reported.
    TNumValidation Validate(std::string_view Text, bool AutoCorrect, bool FailureBeep);

    // "<ShowName> musí být v rozmezí od <min> do <max>!"
    std::string RangeMessage(std::string_view ShowName) const;

    TValueSign Sign() const;

private:
    bool InRange(int64_t V) const { return FMin == FMax || (V >= FMin && V <= FMax); }

    int32_t FMin = 0;
    int32_t FMax = 100;
    int32_t FValue = 0;
    int32_t FIncrement = 1;
    int32_t FPageMult = 10;
};

enum class TDecimalBehaviour { dbManual, dbAuto, dbRemember };

// The floating-point field: a double within MinValue..MaxValue (both 0 by
// default, which pins the value to 0 until limits are set).
class TDoubleEditRules {
public:
    double MinValue() const { return FMin; }
    double MaxValue() const { return FMax; }
    double Value() const { return FValue; }
    double Increment() const { return FIncrement; }
    uint16_t PageMult() const { return FPageMult; }
    int16_t Decimals() const { return FDecimals; }
    TDecimalBehaviour Behaviour() const { return FBehaviour; }

    // As for whole numbers; a NaN limit is ignored.
    void SetMinValue(double V);
    void SetMaxValue(double V);
    // Clamped; a NaN goes to MinValue.
    void SetValue(double V);
    // Only values greater than 0 are taken.
    void SetIncrement(double V);
    void SetPageMult(uint16_t V) { FPageMult = V; }
    void SetDecimals(int16_t V) { FDecimals = V; }
    void SetBehaviour(TDecimalBehaviour V) { FBehaviour = V; }

    // A decimal number with the format's decimal separator, optionally
    // grouped in thousands with its thousand separator (as Format writes
    // it with dbManual), optionally with an exponent; blanks around it are
    // ignored. Infinite results do not convert.
    static std::optional<double> Parse(std::string_view Text, const TNumberFormat& Fmt);
    static double ValueFromText(std::string_view Text, const TNumberFormat& Fmt)
    {
        return Parse(Text, Fmt).value_or(0.0);
    }

    // dbAuto: the shortest general form (up to 15 significant digits,
    // exponent form for very large or small values, "1E20");
    // dbManual, dbRemember: 15 significant digits with Decimals places and
    // thousands grouping ("12 345,50").
    std::string Format(const TNumberFormat& Fmt) const;

    void Step(std::string_view Text, const TNumberFormat& Fmt, bool Down, bool Page, bool Ctrl);

    // With dbRemember, Decimals first becomes the number of characters
    // after the decimal separator. An empty text is 0; an invalid entry is
    // clamped with AutoCorrect (a text that is not a number becomes 0).
    TNumValidation Validate(std::string_view Text, const TNumberFormat& Fmt, bool AutoCorrect, bool FailureBeep);

    // "<ShowName> musí být v rozmezí od <min> do <max>!", limits with two
    // decimals.
    std::string RangeMessage(std::string_view ShowName, const TNumberFormat& Fmt) const;

    TValueSign Sign() const;

private:
    bool InRange(double V) const { return FMin == FMax || (V >= FMin && V <= FMax); }

    double FMin = 0;
    double FMax = 0;
    double FValue = 0;
    double FIncrement = 1;
    uint16_t FPageMult = 10;
    int16_t FDecimals = 2;
    TDecimalBehaviour FBehaviour = TDecimalBehaviour::dbAuto;
};

// Formatting helpers the rules use, also used by the fields' messages.
// The general form of a double with up to 15 significant digits.
std::string FormatGeneral(double V, const TNumberFormat& Fmt);
// Fixed Decimals places (0..18), thousands grouped when Grouped.
std::string FormatFixed(double V, int Decimals, bool Grouped, const TNumberFormat& Fmt);

}  // namespace kelvo
