#include "uConnectionString.h"

#include <cctype>
#include <limits>

#include "uExceptions.h"

namespace kelvo {

namespace {

bool IsItemEnd(char C)
{
    return C == ';' || C == '\r' || C == '\n';
}

// A quoted value from the opening quote at S[At]: up to the closing quote,
// "" standing for one quote. False when no closing quote comes (the value
// is then read as it stands, as before quoting existed).
bool ReadQuoted(const std::string& S, size_t At, std::string& Value, size_t& After)
{
    Value.clear();
    size_t from = At + 1;
    for (;;) {
        const size_t quote = S.find('"', from);
        if (quote == std::string::npos)
            return false;
        Value.append(S, from, quote - from);
        if (quote + 1 < S.size() && S[quote + 1] == '"') {
            Value += '"';
            from = quote + 2;
            continue;
        }
        After = quote + 1;
        return true;
    }
}

}  // namespace

TConnectionString::TConnectionString(const std::string& S)
{
    // ";" and every kind of line break (CR, LF, CR LF) end an item, except
    // inside a quoted value.
    const size_t n = S.size();
    size_t i = 0;
    while (i < n) {
        size_t eq = i;
        while (eq < n && S[eq] != '=' && !IsItemEnd(S[eq]))
            ++eq;
        if (eq == n || S[eq] != '=') {
            i = eq + 1;  // an empty item, or one without "=": no key
            continue;
        }
        std::string value;
        size_t end = eq + 1;
        if (end < n && S[end] == '"' && !ReadQuoted(S, end, value, end))
            value.clear();  // never closed: read as it stands
        // Anything after the closing quote, up to the item's end, as it stands.
        const size_t rawFrom = end;
        while (end < n && !IsItemEnd(S[end]))
            ++end;
        value.append(S, rawFrom, end - rawFrom);
        FItems.emplace_back(S.substr(i, eq - i), std::move(value));
        i = end + 1;
    }
}

bool ConnectionValueNeedsQuotes(const std::string& Value)
{
    return (!Value.empty() && Value[0] == '"') || Value.find_first_of(";\r\n") != std::string::npos;
}

std::string ConnectionValue(const std::string& Value)
{
    if (!ConnectionValueNeedsQuotes(Value))
        return Value;
    std::string quoted = "\"";
    for (char c : Value) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    quoted += '"';
    return quoted;
}

bool TConnectionString::Has(const std::string& Key) const
{
    return Value(Key).has_value();
}

std::optional<std::string> TConnectionString::Value(const std::string& Key) const
{
    const std::string key = UpperCaseAscii(Key);
    for (const auto& [k, v] : FItems)
        if (UpperCaseAscii(k) == key)
            return v;
    return std::nullopt;
}

std::optional<int64_t> TConnectionString::IntValue(const std::string& Key, int64_t Min, int64_t Max) const
{
    const auto text = Value(Key);
    if (!text)
        return std::nullopt;
    const int64_t v = StrToInt64Strict(*text);
    if (v < Min || v > Max)
        throw ERangeError("Value " + std::to_string(v) + " of \"" + Key + "\" is out of range ("
                          + std::to_string(Min) + ".." + std::to_string(Max) + ")");
    return v;
}

std::optional<bool> TConnectionString::BoolValue(const std::string& Key) const
{
    const auto text = Value(Key);
    if (!text)
        return std::nullopt;
    return StrToBoolText(*text);
}

namespace {

bool TryStrToInt64(const std::string& Text, int64_t& Result)
{
    size_t i = 0;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
        negative = Text[i] == '-';
        ++i;
    }
    if (i == Text.size())
        return false;
    // Accumulate as a negative number so that the minimum fits.
    int64_t value = 0;
    for (; i < Text.size(); ++i) {
        const char c = Text[i];
        if (c < '0' || c > '9')
            return false;
        const int digit = c - '0';
        if (value < (std::numeric_limits<int64_t>::min() + digit) / 10)
            return false;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<int64_t>::min())
            return false;
        value = -value;
    }
    Result = value;
    return true;
}

}  // namespace

int64_t StrToInt64Strict(const std::string& Text)
{
    int64_t v = 0;
    if (!TryStrToInt64(Text, v))
        throw EConvertError("'" + Text + "' is not a valid integer value");
    return v;
}

bool StrToBoolText(const std::string& Text)
{
    const std::string upper = UpperCaseAscii(Text);
    if (upper == "TRUE")
        return true;
    if (upper == "FALSE")
        return false;
    // A whole number of any length: on unless every digit is 0.
    size_t i = (!Text.empty() && (Text[0] == '-' || Text[0] == '+')) ? 1 : 0;
    if (i < Text.size()) {
        bool nonZero = false;
        size_t j = i;
        for (; j < Text.size() && Text[j] >= '0' && Text[j] <= '9'; ++j)
            nonZero |= Text[j] != '0';
        if (j == Text.size())
            return nonZero;
    }
    throw EConvertError("'" + Text + "' is not a valid boolean value");
}

std::optional<uint8_t> ParseStopBitsText(const std::string& Text)
{
    const std::string v = UpperCaseAscii(Text);
    if (v == "1" || v == "ONE")
        return 0;
    if (v == "1.5" || v == "1,5" || v == "ONEANDHALF")
        return 1;
    if (v == "2" || v == "TWO")
        return 2;
    return std::nullopt;
}

const char* StopBitsName(uint8_t Code)
{
    switch (Code) {
    case 1: return "OneAndHalf";
    case 2: return "Two";
    default: return "One";
    }
}

std::optional<uint8_t> ParseParityText(const std::string& Text)
{
    static const char* const names[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
    const std::string v = UpperCaseAscii(Text);
    for (uint8_t i = 0; i < 5; ++i)
        if (v == names[i])
            return i;
    return std::nullopt;
}

const char* ParityName(uint8_t Code)
{
    static const char* const names[] = {"None", "Odd", "Even", "Mark", "Space"};
    return Code < 5 ? names[Code] : "None";
}

bool IsActiveText(const std::string& Text)
{
    return Text == "1" || UpperCaseAscii(Text) == "TRUE";
}

}  // namespace kelvo
