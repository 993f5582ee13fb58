#include "uNumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace kelvo {

std::string_view TrimBlanks(std::string_view Text)
{
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
        Text.remove_prefix(1);
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t'))
        Text.remove_suffix(1);
    return Text;
}

std::string LowerCase(std::string_view Text)
{
    std::string out(Text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::optional<double> ParseDecimal(std::string_view Text)
{
    std::string s(TrimBlanks(Text));
    if (s.size() > 1 && s[0] == '+' && s[1] != '-')
        s.erase(0, 1);
    std::replace(s.begin(), s.end(), ',', '.');
    // Only what a person writes as a number: from_chars would also take
    // "inf", "nan" and hexadecimal digits.
    if (s.empty() || s.find_first_not_of("0123456789.+-eE") != std::string::npos)
        return std::nullopt;
    double d = 0;
    const char* end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, d, std::chars_format::general);
    if (ec != std::errc() || p != end || !std::isfinite(d))
        return std::nullopt;
    return d;
}

std::optional<int64_t> ParseWhole(std::string_view Text)
{
    Text = TrimBlanks(Text);
    if (Text.empty() || Text.size() > 18 || Text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    int64_t v = 0;
    auto [p, ec] = std::from_chars(Text.data(), Text.data() + Text.size(), v);
    if (ec != std::errc() || p != Text.data() + Text.size())
        return std::nullopt;
    return v;
}

std::optional<bool> ParseSwitch(std::string_view Text)
{
    const std::string v = LowerCase(TrimBlanks(Text));
    if (v == "on" || v == "1" || v == "yes" || v == "true")
        return true;
    if (v == "off" || v == "0" || v == "no" || v == "false")
        return false;
    return std::nullopt;
}

namespace {

// "-1.2345e+03" (to_chars' or printf's scientific form) in plain notation:
// "-1234.5". Trailing zeros of the fraction are dropped; "-0" is "0".
std::string PlainFromScientific(std::string_view Sci)
{
    const bool negative = !Sci.empty() && Sci.front() == '-';
    if (negative)
        Sci.remove_prefix(1);
    const size_t e = Sci.find_first_of("eE");
    int exponent = 0;
    if (e != std::string_view::npos) {
        std::from_chars(Sci.data() + e + 1 + (Sci[e + 1] == '+' ? 1 : 0), Sci.data() + Sci.size(), exponent);
        Sci = Sci.substr(0, e);
    }
    std::string digits;
    for (char c : Sci)
        if (c != '.')
            digits += c;
    // The value is 0.digits * 10^(exponent + 1).
    int point = exponent + 1;
    while (digits.size() > 1 && digits.front() == '0' && point > 1) {
        digits.erase(0, 1);
        --point;
    }
    std::string out;
    if (point <= 0)
        out = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    else if (static_cast<size_t>(point) >= digits.size())
        out = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
    else
        out = digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
    if (out.find('.') != std::string::npos) {
        while (out.back() == '0')
            out.pop_back();
        if (out.back() == '.')
            out.pop_back();
    }
    if (out.find_first_not_of("0.") == std::string::npos)
        return "0";
    return negative ? "-" + out : out;
}

}  // namespace

std::string FloatText(float Value)
{
    if (!std::isfinite(Value))
        return "?";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.5e", static_cast<double>(Value));
    return PlainFromScientific(buf);
}

std::string ExactFloatText(float Value)
{
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::scientific);
    if (ec != std::errc() || !std::isfinite(Value))
        return "?";
    return PlainFromScientific(std::string_view(buf, static_cast<size_t>(p - buf)));
}

std::string NumberText(double Value)
{
    if (!std::isfinite(Value))
        return "?";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9e", Value);
    return PlainFromScientific(buf);
}

}  // namespace kelvo
