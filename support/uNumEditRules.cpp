#include "uNumEditRules.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace kelvo {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool StartsWith(std::string_view s, size_t pos, std::string_view what)
{
    return !what.empty() && s.substr(pos, what.size()) == what;
}

// The integer part of a number: plain digits, or digits grouped by three
// with Sep ("12 345 678"). Appends the digits to Out and moves Pos past
// them; false when the grouping is broken.
bool ReadIntegerPart(std::string_view s, size_t& pos, std::string_view sep, std::string& out)
{
    size_t group = 0;
    bool grouped = false;
    while (pos < s.size()) {
        if (IsDigit(s[pos])) {
            out += s[pos++];
            ++group;
        } else if (!sep.empty() && StartsWith(s, pos, sep) && pos + sep.size() < s.size()
                   && IsDigit(s[pos + sep.size()])) {
            // A separator after the first group (1..3 digits) or after a
            // group of exactly three.
            if (group == 0 || group > 3 || (grouped && group != 3))
                return false;
            grouped = true;
            group = 0;
            pos += sep.size();
        } else {
            break;
        }
    }
    return !grouped || group == 3;
}

std::string ReplaceAll(std::string s, std::string_view from, std::string_view to)
{
    if (from.empty() || from == to)
        return s;
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
        s.replace(pos, from.size(), to);
    return s;
}

int64_t ClampToInt64(double v)
{
    // Far enough outside 32 bits for any clamp to see which side it is on.
    constexpr double lo = -4.0e18, hi = 4.0e18;
    if (std::isnan(v))
        return 0;
    return static_cast<int64_t>(v < lo ? lo : v > hi ? hi : v);
}

// The number a text starts with: optional blanks and sign, then digits up
// to the first other character; 0 without digits, saturated at 32 bits.
int64_t LeadingNumber(std::string_view s)
{
    size_t pos = 0;
    while (pos < s.size() && IsBlank(s[pos]))
        ++pos;
    bool negative = false;
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '+'))
        negative = s[pos++] == '-';
    int64_t v = 0;
    while (pos < s.size() && IsDigit(s[pos])) {
        v = v * 10 + (s[pos++] - '0');
        if (v > int64_t{1} << 32)
            break;
    }
    return negative ? -v : v;
}

size_t CountCodePoints(std::string_view s)
{
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

double StepFactor(bool Page, bool Ctrl, double PageMult)
{
    return (Ctrl ? 10.0 : 1.0) * (Page ? PageMult : 1.0);
}

}  // namespace

// --- formatting -------------------------------------------------------------

std::string FormatGeneral(double V, const TNumberFormat& Fmt)
{
    if (V == 0 || !std::isfinite(V))
        return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15G", V);
    std::string s = buf;
    // "1.5E+17" -> "1.5E17", "1E-05" -> "1E-5"
    if (size_t e = s.find('E'); e != std::string::npos) {
        std::string mantissa = s.substr(0, e);
        std::string exp = s.substr(e + 1);
        bool negative = !exp.empty() && exp[0] == '-';
        if (!exp.empty() && (exp[0] == '-' || exp[0] == '+'))
            exp.erase(0, 1);
        exp.erase(0, std::min(exp.find_first_not_of('0'), exp.size() - 1));
        s = mantissa + "E" + (negative ? "-" : "") + exp;
    }
    return ReplaceAll(s, ".", Fmt.DecimalSeparator);
}

std::string FormatFixed(double V, int Decimals, bool Grouped, const TNumberFormat& Fmt)
{
    if (!std::isfinite(V))
        return "0";
    Decimals = Decimals < 0 ? 0 : Decimals > 18 ? 18 : Decimals;
    // 15 significant digits first, as the field keeps no more.
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.14e", V);
    const double v15 = std::strtod(buf, nullptr);
    if (std::fabs(v15) >= 1e15)
        return FormatGeneral(v15, Fmt);
    std::snprintf(buf, sizeof buf, "%.*f", Decimals, v15);
    std::string s = buf;
    bool negative = !s.empty() && s[0] == '-';
    if (negative)
        s.erase(0, 1);
    if (s.find_first_not_of("0.") == std::string::npos)
        negative = false;  // no "-0,00"
    const size_t point = s.find('.');
    std::string intPart = s.substr(0, point);
    std::string fracPart = point == std::string::npos ? std::string() : s.substr(point + 1);
    if (Grouped && !Fmt.ThousandSeparator.empty()) {
        std::string g;
        for (size_t i = 0; i < intPart.size(); ++i) {
            if (i > 0 && (intPart.size() - i) % 3 == 0)
                g += Fmt.ThousandSeparator;
            g += intPart[i];
        }
        intPart = g;
    }
    std::string result = negative ? "-" : "";
    result += intPart;
    if (!fracPart.empty())
        result += Fmt.DecimalSeparator + fracPart;
    return result;
}

// --- whole numbers ------------------------------------------------------------

void TIntEditRules::SetMinValue(int32_t V)
{
    FMin = V > FMax ? FMax : V;
    SetValue(FValue);
}

void TIntEditRules::SetMaxValue(int32_t V)
{
    FMax = V < FMin ? FMin : V;
    SetValue(FValue);
}

void TIntEditRules::SetValue(int64_t V)
{
    if (FMin == FMax)
        V = FMin;
    else if (V < FMin)
        V = FMin;
    else if (V > FMax)
        V = FMax;
    FValue = static_cast<int32_t>(V);
}

void TIntEditRules::SetIncrement(int32_t V)
{
    if (V > 0)
        FIncrement = V;
}

std::optional<int32_t> TIntEditRules::Parse(std::string_view Text)
{
    std::string_view s = TrimBlanks(Text);
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return std::nullopt;
    for (char c : s)
        if (!IsDigit(c))
            return std::nullopt;
    int64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    if (negative)
        v = -v;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(v);
}

std::string TIntEditRules::Format() const
{
    return std::to_string(FValue);
}

void TIntEditRules::Step(std::string_view Text, bool Down, bool Page, bool Ctrl)
{
    if (auto v = Parse(Text))
        SetValue(*v);
    // In doubles: Increment × 10 × PageMult can leave 64 bits; the clamp
    // below takes it back into the limits either way.
    const double delta = static_cast<double>(FIncrement) * StepFactor(Page, Ctrl, FPageMult);
    SetValue(ClampToInt64(static_cast<double>(FValue) + (Down ? -delta : delta)));
}

TNumValidation TIntEditRules::Validate(std::string_view Text, bool AutoCorrect, bool FailureBeep)
{
    TNumValidation r;
    const std::optional<int32_t> v = Parse(Text);
    if (v && InRange(*v)) {
        SetValue(*v);
        r.Stored = true;
        return r;
    }
    r.Beep = FailureBeep;
    if (AutoCorrect) {
        SetValue(v ? *v : LeadingNumber(Text));
        r.Stored = true;
    } else {
        r.ShowRangeMessage = true;
        r.Result = v.has_value();
    }
    return r;
}

std::string TIntEditRules::RangeMessage(std::string_view ShowName) const
{
    return std::string(ShowName) + " musí být v rozmezí od " + std::to_string(FMin) + " do " + std::to_string(FMax)
           + "!";
}

TValueSign TIntEditRules::Sign() const
{
    return FValue < 0 ? TValueSign::Negative : FValue == 0 ? TValueSign::Zero : TValueSign::Positive;
}

// --- floating-point numbers ---------------------------------------------------------

void TDoubleEditRules::SetMinValue(double V)
{
    if (std::isnan(V))
        return;
    FMin = V > FMax ? FMax : V;
    SetValue(FValue);
}

void TDoubleEditRules::SetMaxValue(double V)
{
    if (std::isnan(V))
        return;
    FMax = V < FMin ? FMin : V;
    SetValue(FValue);
}

void TDoubleEditRules::SetValue(double V)
{
    if (FMax != FMin) {
        if (!(V >= FMin))  // also NaN
            V = FMin;
        else if (V > FMax)
            V = FMax;
    } else {
        V = FMin;
    }
    FValue = V;
}

void TDoubleEditRules::SetIncrement(double V)
{
    if (V > 0)
        FIncrement = V;
}

std::optional<double> TDoubleEditRules::Parse(std::string_view Text, const TNumberFormat& Fmt)
{
    const std::string_view s = TrimBlanks(Text);
    std::string plain;  // the number in the "C" form from_chars reads
    size_t pos = 0;
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '+')) {
        if (s[pos] == '-')
            plain += '-';
        ++pos;
    }
    const std::string_view group =
        Fmt.ThousandSeparator == Fmt.DecimalSeparator ? std::string_view() : std::string_view(Fmt.ThousandSeparator);
    const size_t digitsStart = plain.size();
    if (!ReadIntegerPart(s, pos, group, plain))
        return std::nullopt;
    bool anyDigit = plain.size() > digitsStart;
    if (StartsWith(s, pos, Fmt.DecimalSeparator)) {
        pos += Fmt.DecimalSeparator.size();
        plain += '.';
        while (pos < s.size() && IsDigit(s[pos])) {
            plain += s[pos++];
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return std::nullopt;
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        plain += 'e';
        ++pos;
        if (pos < s.size() && (s[pos] == '-' || s[pos] == '+'))
            plain += s[pos++];
        const size_t expStart = pos;
        while (pos < s.size() && IsDigit(s[pos]))
            plain += s[pos++];
        if (pos == expStart)
            return std::nullopt;
    }
    if (pos != s.size())
        return std::nullopt;
    double v = 0;
    auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), v);
    if (end != plain.data() + plain.size())
        return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Underflow reads as 0; overflow does not convert.
        const bool tiny = plain.find("e-") != std::string::npos;
        if (!tiny)
            return std::nullopt;
        v = 0;
    } else if (ec != std::errc() || !std::isfinite(v)) {
        return std::nullopt;
    }
    return v;
}

std::string TDoubleEditRules::Format(const TNumberFormat& Fmt) const
{
    if (FBehaviour == TDecimalBehaviour::dbAuto)
        return FormatGeneral(FValue, Fmt);
    return FormatFixed(FValue, FDecimals, true, Fmt);
}

void TDoubleEditRules::Step(std::string_view Text, const TNumberFormat& Fmt, bool Down, bool Page, bool Ctrl)
{
    if (auto v = Parse(Text, Fmt))
        SetValue(*v);
    const double delta = FIncrement * StepFactor(Page, Ctrl, FPageMult);
    SetValue(FValue + (Down ? -delta : delta));
}

TNumValidation TDoubleEditRules::Validate(std::string_view Text, const TNumberFormat& Fmt, bool AutoCorrect,
                                          bool FailureBeep)
{
    if (FBehaviour == TDecimalBehaviour::dbRemember) {
        const size_t sep = Fmt.DecimalSeparator.empty() ? std::string_view::npos : Text.find(Fmt.DecimalSeparator);
        const size_t after =
            sep == std::string_view::npos ? 0 : CountCodePoints(Text.substr(sep + Fmt.DecimalSeparator.size()));
        FDecimals = static_cast<int16_t>(after > 18 ? 18 : after);
    }
    TNumValidation r;
    const std::optional<double> v = Text.empty() ? std::optional<double>(0.0) : Parse(Text, Fmt);
    if (v && InRange(*v)) {
        SetValue(*v);
        r.Stored = true;
        return r;
    }
    r.Beep = FailureBeep;
    if (AutoCorrect) {
        SetValue(v.value_or(0.0));
        r.Stored = true;
    } else {
        r.ShowRangeMessage = true;
        r.Result = v.has_value();
    }
    return r;
}

std::string TDoubleEditRules::RangeMessage(std::string_view ShowName, const TNumberFormat& Fmt) const
{
    return std::string(ShowName) + " musí být v rozmezí od " + FormatFixed(FMin, 2, false, Fmt) + " do "
           + FormatFixed(FMax, 2, false, Fmt) + "!";
}

TValueSign TDoubleEditRules::Sign() const
{
    return FValue < 0 ? TValueSign::Negative : FValue == 0 ? TValueSign::Zero : TValueSign::Positive;
}

}  // namespace kelvo
