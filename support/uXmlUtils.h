#pragma once
// Reading XML attributes with defaults. The readers work on any element
// behind the abstract IXMLElement (the libxml2 element of uXmlDocument, or
// a test's own), and accept an absent element: the default then applies.
//
// Two kinds of read:
//  - a presence read (TryGetAttribute): whether the attribute exists and,
//    if so, its text; it never raises;
//  - a read with default (GetAttributeDef and the typed readers): the
//    attribute's text when it exists, else the default. A result that is
//    Null or Empty raises, so a caller can demand an attribute by giving
//    TXmlValue::Null() (or nothing) as the default.
//
// Numbers in attributes may be written with "." or "," as decimal
// separator; the readers can turn both into the separator of the current C
// locale, which is what the number conversion then expects.

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "uiXmlElement.h"
#include "uExceptions.h"

namespace kelvo {

// A value read from or defaulted for an attribute.
class TXmlValue {
public:
    enum class TKind { Empty, Null, Text, Boolean, Integer, Float };

    TXmlValue() = default;  // Empty: no value at all
    static TXmlValue Null()
    {
        TXmlValue v;
        v.FValue = TNull{};
        return v;
    }
    TXmlValue(std::string Text) : FValue(std::move(Text)) {}
    TXmlValue(const char* Text) : FValue(std::string(Text ? Text : "")) {}
    TXmlValue(bool Value) : FValue(Value) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    TXmlValue(T Value) : FValue(static_cast<int64_t>(Value))
    {
    }
    TXmlValue(double Value) : FValue(Value) {}

    TKind Kind() const { return static_cast<TKind>(FValue.index()); }
    bool IsEmpty() const { return Kind() == TKind::Empty; }
    bool IsNull() const { return Kind() == TKind::Null; }

    // Conversions. Text converts as follows: Boolean from "true"/"false" in
    // any letter case or a whole number (0 false, anything else true);
    // Integer from a decimal whole number; Float from a decimal number with
    // the locale's decimal separator and an optional exponent. Blanks around
    // the text are ignored. Text that does not convert raises EConvertError;
    // so does every conversion of an Empty or Null value.
    std::string AsString() const;
    bool AsBoolean() const;
    int64_t AsInteger() const;
    double AsDouble() const;

    friend bool operator==(const TXmlValue& a, const TXmlValue& b) { return a.FValue == b.FValue; }

private:
    struct TNull {
        friend bool operator==(TNull, TNull) { return true; }
    };
    std::variant<std::monostate, TNull, std::string, bool, int64_t, double> FValue;
};

// The decimal separator of the current C locale ("." in the "C" locale).
std::string LocaleDecimalSeparator();

// Text with every "." and "," replaced by the locale's decimal separator.
std::string NormaliseDecimalSeparator(std::string_view Text);

// Presence read: true and the attribute's text in Value when Element has
// the attribute; false (Value untouched) otherwise. Never raises.
bool TryGetAttribute(IXMLElement* Element, const std::string& Name, std::string& Value) noexcept;

// Read with default. With NormaliseDecimal a text result gets the locale's
// decimal separator. Raises Exception "Variant is Null !!!! ***" or
// "Variant is Empty !!!! ***" when the result is Null or Empty.
TXmlValue GetAttributeDef(IXMLElement* Element, const std::string& Name, const TXmlValue& Default,
                          bool NormaliseDecimal = false);

// Typed reads with default; text that does not convert raises EConvertError.
std::string GetAttributeText(IXMLElement* Element, const std::string& Name, const std::string& Default);
bool GetAttributeBool(IXMLElement* Element, const std::string& Name, bool Default);
int64_t GetAttributeInt(IXMLElement* Element, const std::string& Name, int64_t Default);
// Accepts "." and "," as decimal separator whatever the locale.
double GetAttributeFloat(IXMLElement* Element, const std::string& Name, double Default);

// The text form the readers take back for a Boolean: "true" or "false".
std::string XmlBoolText(bool Value);

}  // namespace kelvo
