#pragma once
// Connection strings: the textual identity and settings of a channel, items
// of the form key=value separated by ";" or line breaks. Keys are matched
// without regard to letter case and the first occurrence of a key counts;
// nothing is trimmed, so blanks belong to keys and values. An item without
// "=" carries no key.
//
// A value that begins with a double quote is quoted: it runs to the next
// quote that is not doubled, "" standing for one quote, and may hold ";"
// and line breaks ("serial_number=\"AB;CD\"" is AB;CD). Whatever follows
// the closing quote up to the item's end is appended as it stands; a quote
// that is never closed is no quoting (the value ends at the separator, as
// it always did). Writers quote only a value that needs it
// (ConnectionValue), so every string whose values hold no ";", no line
// break and no leading quote reads and is written exactly as before.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "uByteString.h"

namespace kelvo {

class TConnectionString {
public:
    explicit TConnectionString(const std::string& S);

    // True when some item's key equals Key, ignoring letter case.
    bool Has(const std::string& Key) const;
    // The value of the first item with that key, or nothing.
    std::optional<std::string> Value(const std::string& Key) const;

    // The value as a decimal integer within [Min, Max]. A value that is not a
    // decimal integer raises EConvertError, one outside the range ERangeError.
    // Absent keys give nothing.
    std::optional<int64_t> IntValue(const std::string& Key, int64_t Min, int64_t Max) const;
    // The value as Boolean text; text that is not Boolean raises EConvertError.
    std::optional<bool> BoolValue(const std::string& Key) const;

    const std::vector<std::pair<std::string, std::string>>& Items() const { return FItems; }

private:
    std::vector<std::pair<std::string, std::string>> FItems;
};

// Value as a writer puts it after "key=": as it stands, or quoted when it
// holds ";", CR or LF or begins with a double quote. Reading the result
// gives Value back exactly.
std::string ConnectionValue(const std::string& Value);
bool ConnectionValueNeedsQuotes(const std::string& Value);

// Strict decimal integer: an optional sign and at least one digit, nothing
// else. Raises EConvertError ("'x' is not a valid integer value").
int64_t StrToInt64Strict(const std::string& Text);

// Boolean text: a number (0 off, anything else on) or True/False in any
// letter case. Raises EConvertError ("'x' is not a valid boolean value").
bool StrToBoolText(const std::string& Text);

// Booleans as connection strings write them: "0" off, "-1" on.
inline const char* BoolToConnText(bool Value) { return Value ? "-1" : "0"; }

// Stop bits: 0 one, 1 one and a half, 2 two. The parser accepts "1"/"ONE",
// "1.5"/"1,5"/"ONEANDHALF", "2"/"TWO" in any case and gives nothing for
// other text (the setting stays as it was).
std::optional<uint8_t> ParseStopBitsText(const std::string& Text);
const char* StopBitsName(uint8_t Code);  // "One", "OneAndHalf", "Two"

// Parity: 0 none, 1 odd, 2 even, 3 mark, 4 space; names in any case.
std::optional<uint8_t> ParseParityText(const std::string& Text);
const char* ParityName(uint8_t Code);  // "None", "Odd", "Even", "Mark", "Space"

// "active" opens the channel for "TRUE" in any case or exactly "1".
bool IsActiveText(const std::string& Text);

}  // namespace kelvo
