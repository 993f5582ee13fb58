#pragma once
// Values as kelvoctl reads them from its command line and its backup files:
// port names, speed lists, numbers and switches, and the way it writes
// numbers back. Everything is independent of the process locale: "1.5" and
// "1,5" are the same number everywhere.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "uExceptions.h"

namespace kelvo::ctl {

// A wrong command line or input file: kelvoctl exits with status 2, and
// nothing has been written to a module.
class EUsageError : public Exception {
public:
    using Exception::Exception;
};

// A step that failed while talking to a module or a file: exit status 1.
// InJsonOutput: the command's JSON document carries the error already, so
// no second document is printed for it.
class EStepFailed : public Exception {
public:
    explicit EStepFailed(std::string Message, bool InJsonOutput = false)
        : Exception(std::move(Message)), FInJsonOutput(InJsonOutput)
    {
    }
    bool InJsonOutput() const { return FInJsonOutput; }

private:
    bool FInJsonOutput;
};

// "COM5", "com5" or "5" -> 5 (1-255). Raises EUsageError otherwise.
uint16_t ParsePortName(std::string_view Text);

// Where kelvoctl talks to a module: a COM port, or an FTDI USB device by
// its serial number.
struct TInterfaceName {
    uint16_t Port = 0;      // COM port, when UsbSerial is empty
    std::string UsbSerial;  // USB device
    // "COM5", "USB:FT12AB34".
    std::string Text() const;
};

// "COM5", "com5", "5" or "USB:FT12AB34" (the prefix in any case). Raises
// EUsageError otherwise (an empty or over-long serial number included).
TInterfaceName ParseInterfaceName(std::string_view Text);

// The line speeds a search may try, in bit/s, lowest first.
const std::vector<int32_t>& SearchSpeedChoices();

// "9600,115200", "19200", "all": speeds to search at. Blanks around the
// items are allowed. Raises EUsageError for an empty list and for a speed
// that is not one of SearchSpeedChoices().
std::set<int32_t> ParseSpeedList(std::string_view Text);

// A decimal number: optional sign, digits, "." or "," as the decimal
// separator, optional exponent. Nothing for anything else, also for
// infinities and NaN.
std::optional<double> ParseDecimal(std::string_view Text);

// A whole decimal number without sign (leading zeros allowed).
std::optional<int64_t> ParseWhole(std::string_view Text);

// "on", "off", "1", "0", "yes", "no", "true", "false" in any case.
std::optional<bool> ParseSwitch(std::string_view Text);

// The shortest decimal text that reads back as the same single-precision
// value: 0.2f -> "0.2", 10.0f -> "10", 1e-7f -> "1e-07".
std::string FloatText(float Value);

// ASCII lower case.
std::string LowerCase(std::string_view Text);

}  // namespace kelvo::ctl
