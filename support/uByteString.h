#pragma once
// Byte strings: frames, item lists, replies and channel data. One type
// throughout; it holds any byte value, 0 included, and knows its length.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kelvo {

using RawByteString = std::string;

// Builds a byte string from byte values, e.g. Bytes({0x2A, 0x61, 0x00}).
RawByteString Bytes(std::initializer_list<uint8_t> values);

// "2A 61 00 05": upper-case hex, one space between bytes; empty for empty.
std::string ToHex(std::string_view data);

// Parses hex text with or without blanks ("2A6100", "2a 61 00"); raises
// EConvertError on an odd number of digits or a non-hex character.
RawByteString FromHex(std::string_view text);

// The value of one hex digit (either case), -1 for any other character.
int HexDigitValue(char c);

// Text without the blanks and control characters (every byte up to 0x20)
// at either end.
std::string_view TrimBlanksAndControls(std::string_view Text);

// ASCII upper case; other bytes unchanged.
std::string UpperCaseAscii(std::string_view Text);

// A command-line switch as the program compares it: trimmed, one leading
// "/" or "-" dropped, upper case ("/debug " -> "DEBUG").
std::string NormalizedSwitch(std::string_view Param);

// The byte at position i as an unsigned value (no bounds check: callers
// check the size first).
inline uint8_t ByteAt(std::string_view data, size_t i) { return static_cast<uint8_t>(data[i]); }

}  // namespace kelvo
