#pragma once
// Numbers and switches as people write them, in settings, on command lines
// and in files, and numbers written back the same way. Everything is
// independent of the process locale: "1.5" and "1,5" are the same number
// everywhere.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// A decimal number: optional sign, digits, "." or "," as the decimal
// separator, optional exponent. Nothing for anything else, also for
// infinities and NaN.
std::optional<double> ParseDecimal(std::string_view Text);

// A whole decimal number without sign (leading zeros allowed).
std::optional<int64_t> ParseWhole(std::string_view Text);

// "on", "off", "1", "0", "yes", "no", "true", "false" in any case.
std::optional<bool> ParseSwitch(std::string_view Text);

// A single in short: at most six significant digits, what a
// single holds faithfully, in plain notation: 1.5000001f -> "1.5",
// 999.99994f -> "1000", 1e8f -> "100000000", 1e-7f -> "0.0000001".
std::string FloatText(float Value);

// The shortest plain decimal text that reads back as exactly the same
// single: 0.2f -> "0.2", 999.99994f -> "999.99994".
std::string ExactFloatText(float Value);

// A limit or any other double, plain, up to ten significant digits.
std::string NumberText(double Value);

// ASCII lower case.
std::string LowerCase(std::string_view Text);
// Text without the blanks and tabs around it.
std::string_view TrimBlanks(std::string_view Text);

}  // namespace kelvo
