#pragma once
// Values as kelvoctl reads them from its command line: port names, speed
// lists, line speeds (numbers and switches as people write them come from
// uNumberText).

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "uExceptions.h"
#include "uNumberText.h"

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

// Ctrl+C or SIGTERM ended the command: exit status 130. InJsonOutput: the
// command's JSON document, with "interrupted": true and what was done,
// has been printed already, so no second document is printed for it.
class EInterrupted : public Exception {
public:
    explicit EInterrupted(std::string Message, bool InJsonOutput = false)
        : Exception(std::move(Message)), FInJsonOutput(InJsonOutput)
    {
    }
    bool InJsonOutput() const { return FInJsonOutput; }

private:
    bool FInJsonOutput;
};

// Raises EUsageError when the folder File would be created in does not
// exist ("values/x.csv" in a missing "values"); nothing for an empty File.
void RequireFolderOf(const std::string& File);

// Where kelvoctl talks to a module: a COM port, or an FTDI USB device by
// its serial number.
struct TInterfaceName {
    uint16_t Port = 0;      // COM port, when UsbSerial is empty
    std::string UsbSerial;  // USB device
    // A device node ("/dev/ttyUSB0") as the user gave it, until it is
    // matched to its COM number (Port).
    std::string Node;
    // "COM5", "USB:FT12AB34"; the node while it has no number.
    std::string Text() const;
};

// "COM5", "com5", "5", "\\.\COM5", "USB:FT12AB34" (the prefix in any case)
// or a device node, an absolute path ("/dev/ttyUSB0"). Raises EUsageError
// otherwise (an empty or over-long serial number included).
TInterfaceName ParseInterfaceName(std::string_view Text);

// The line speeds a search may try, in bit/s, lowest first.
const std::vector<int32_t>& SearchSpeedChoices();

// "9600,115200", "19200", "all": speeds to search at. Blanks around the
// items are allowed. Raises EUsageError for an empty list and for a speed
// that is not one of SearchSpeedChoices().
std::set<int32_t> ParseSpeedList(std::string_view Text);

// A line speed as kelvoctl writes it everywhere: "9600 bit/s".
std::string SpeedText(int64_t BitsPerSecond);

}  // namespace kelvo::ctl
