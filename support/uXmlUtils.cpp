#include "uXmlUtils.h"
#include "uByteString.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>

namespace kelvo {

namespace {


bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

[[noreturn]] void NotConvertible(std::string_view Text, const char* What)
{
    throw EConvertError("'" + std::string(Text) + "' is not a valid " + What);
}

bool ParseInteger(std::string_view Text, int64_t& Value)
{
    std::string_view s = TrimBlanksAndControls(Text);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    if (s.empty())
        return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), Value, 10);
    return ec == std::errc() && end == s.data() + s.size();
}

// Digits, at most one decimal separator (the locale's) and an optional
// exponent: nothing that strtod would also take, such as "inf", "nan" or
// hexadecimal forms.
bool ParseFloat(std::string_view Text, double& Value)
{
    std::string s(TrimBlanksAndControls(Text));
    const std::string sep = LocaleDecimalSeparator();
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        ++i, ++digits;
    if (s.compare(i, sep.size(), sep) == 0) {
        i += sep.size();
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        size_t expDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i, ++expDigits;
        if (expDigits == 0)
            return false;
    }
    if (i != s.size())
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v))
        return false;
    Value = v;
    return true;
}

}  // namespace

// --- TXmlValue -------------------------------------------------------------------

std::string TXmlValue::AsString() const
{
    switch (Kind()) {
    case TKind::Text:
        return std::get<std::string>(FValue);
    case TKind::Boolean:
        return XmlBoolText(std::get<bool>(FValue));
    case TKind::Integer:
        return std::to_string(std::get<int64_t>(FValue));
    case TKind::Float: {
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::get<double>(FValue));
        if (ec != std::errc())
            throw EConvertError("Cannot convert a number to text");
        return NormaliseDecimalSeparator(std::string_view(buf, static_cast<size_t>(end - buf)));
    }
    case TKind::Null:
        throw EConvertError("Cannot convert Null to text");
    case TKind::Empty:
        break;
    }
    throw EConvertError("Cannot convert Empty to text");
}

bool TXmlValue::AsBoolean() const
{
    switch (Kind()) {
    case TKind::Boolean:
        return std::get<bool>(FValue);
    case TKind::Integer:
        return std::get<int64_t>(FValue) != 0;
    case TKind::Float:
        return std::get<double>(FValue) != 0.0;
    case TKind::Text: {
        const std::string& t = std::get<std::string>(FValue);
        std::string_view s = TrimBlanksAndControls(t);
        if (EqualsIgnoreCase(s, "true"))
            return true;
        if (EqualsIgnoreCase(s, "false"))
            return false;
        int64_t n = 0;
        if (ParseInteger(s, n))
            return n != 0;
        NotConvertible(t, "Boolean value");
    }
    case TKind::Null:
    case TKind::Empty:
        break;
    }
    throw EConvertError("Cannot convert " + std::string(IsNull() ? "Null" : "Empty") + " to a Boolean value");
}

int64_t TXmlValue::AsInteger() const
{
    switch (Kind()) {
    case TKind::Integer:
        return std::get<int64_t>(FValue);
    case TKind::Boolean:
        return std::get<bool>(FValue) ? 1 : 0;
    case TKind::Float: {
        double r = std::nearbyint(std::get<double>(FValue));
        if (!(r >= -9.2233720368547758e18 && r < 9.2233720368547758e18))
            throw EConvertError("Number out of the range of whole numbers");
        return static_cast<int64_t>(r);
    }
    case TKind::Text: {
        const std::string& t = std::get<std::string>(FValue);
        int64_t n = 0;
        if (!ParseInteger(t, n))
            NotConvertible(t, "integer value");
        return n;
    }
    case TKind::Null:
    case TKind::Empty:
        break;
    }
    throw EConvertError("Cannot convert " + std::string(IsNull() ? "Null" : "Empty") + " to an integer value");
}

double TXmlValue::AsDouble() const
{
    switch (Kind()) {
    case TKind::Float:
        return std::get<double>(FValue);
    case TKind::Integer:
        return static_cast<double>(std::get<int64_t>(FValue));
    case TKind::Boolean:
        return std::get<bool>(FValue) ? 1.0 : 0.0;
    case TKind::Text: {
        const std::string& t = std::get<std::string>(FValue);
        double v = 0;
        if (!ParseFloat(t, v))
            NotConvertible(t, "floating point value");
        return v;
    }
    case TKind::Null:
    case TKind::Empty:
        break;
    }
    throw EConvertError("Cannot convert " + std::string(IsNull() ? "Null" : "Empty") + " to a floating point value");
}

// --- helpers ---------------------------------------------------------------------

std::string LocaleDecimalSeparator()
{
    const std::lconv* lc = std::localeconv();
    if (lc && lc->decimal_point && *lc->decimal_point)
        return lc->decimal_point;
    return ".";
}

std::string NormaliseDecimalSeparator(std::string_view Text)
{
    const std::string sep = LocaleDecimalSeparator();
    std::string out;
    out.reserve(Text.size());
    for (char c : Text) {
        if (c == '.' || c == ',')
            out += sep;
        else
            out += c;
    }
    return out;
}

bool TryGetAttribute(IXMLElement* Element, const std::string& Name, std::string& Value) noexcept
{
    try {
        if (!Element || !Element->HasAttribute(Name))
            return false;
        std::string text = Element->GetAttribute(Name);
        Value = std::move(text);
        return true;
    } catch (...) {
        return false;
    }
}

TXmlValue GetAttributeDef(IXMLElement* Element, const std::string& Name, const TXmlValue& Default,
                          bool NormaliseDecimal)
{
    TXmlValue result = Default;
    if (Element && Element->HasAttribute(Name))
        result = TXmlValue(Element->GetAttribute(Name));
    if (result.IsNull())
        throw Exception("Variant is Null !!!! ***");
    if (result.IsEmpty())
        throw Exception("Variant is Empty !!!! ***");
    if (NormaliseDecimal && result.Kind() == TXmlValue::TKind::Text)
        result = TXmlValue(NormaliseDecimalSeparator(result.AsString()));
    return result;
}

std::string GetAttributeText(IXMLElement* Element, const std::string& Name, const std::string& Default)
{
    return GetAttributeDef(Element, Name, TXmlValue(Default)).AsString();
}

bool GetAttributeBool(IXMLElement* Element, const std::string& Name, bool Default)
{
    return GetAttributeDef(Element, Name, TXmlValue(Default)).AsBoolean();
}

int64_t GetAttributeInt(IXMLElement* Element, const std::string& Name, int64_t Default)
{
    return GetAttributeDef(Element, Name, TXmlValue(Default)).AsInteger();
}

double GetAttributeFloat(IXMLElement* Element, const std::string& Name, double Default)
{
    return GetAttributeDef(Element, Name, TXmlValue(Default), true).AsDouble();
}

std::string XmlBoolText(bool Value)
{
    return Value ? "true" : "false";
}

}  // namespace kelvo
