#pragma once
// The diagnostic log: a plain-text trace of the module search and connection
// for service work, written beside the program. It is off unless the
// program was started with the "DEBUG" switch; a call while it is off costs
// one flag test.
//
// One file per run and day, named yyyymmdd_N.log (N the first free counter
// from 0); a run that passes midnight continues in a file of the new date.
// Each line: time "hh:nn:ss:zzz", message, sender, number and level when
// not 0, and for threads other than the main thread the thread identifier
// and its creation time (UTC), separated by ";" and ended by CR LF. Every
// line is written with one write and flushed to disk at once, so the file
// survives a crash of the program. Logging never raises and never reports
// errors: a line that cannot be written is dropped.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// Who logged a line: a class name and, for components (windows and their
// parts), the component name, written as "TfMain(fMain)".
struct TLogSender {
    explicit TLogSender(std::string_view ClassName) : ClassName(ClassName) {}
    TLogSender(std::string_view ClassName, std::string_view ComponentName)
        : ClassName(ClassName), ComponentName(ComponentName), IsComponent(true)
    {
    }

    std::string_view ClassName;
    std::string_view ComponentName;
    bool IsComponent = false;
};

// Appends one line when logging is enabled.
void Log(std::string_view Message, int32_t Number = 0, int32_t Level = 0) noexcept;
void Log(std::string_view Message, const TLogSender& Sender, int32_t Number = 0, int32_t Level = 0) noexcept;

// True when lines are written; callers may skip building expensive messages.
bool LogEnabled() noexcept;

// Keeps the lines the calling thread logs while it lives, instead of
// writing them, each formatted when it was logged; Take hands them over
// and LogWriteLines writes them as one block. Work done on several threads
// at once (a search of every interface) so logs each part's lines
// together, in the parts' order, as it would have working on one after the
// other. Holds nest; lines not taken when a hold ends go to the hold
// around it, else into the file.
class TLogHold {
public:
    TLogHold();
    ~TLogHold();
    TLogHold(const TLogHold&) = delete;
    TLogHold& operator=(const TLogHold&) = delete;
    std::vector<std::string> Take();

private:
    std::vector<std::string> FLines;
    std::vector<std::string>* FOuter;
};

// Writes lines a TLogHold kept, in one piece.
void LogWriteLines(const std::vector<std::string>& Lines) noexcept;

// --- start-up and shut-down -------------------------------------------------

// True for an argument that switches the log on: trimmed, one leading "/"
// or "-" dropped, "DEBUG" in any letter case.
bool IsDebugSwitch(std::string_view Arg);

// Called by main() before anything logs: enables the log when any argument
// (the program path at index 0 included) is the switch. Once enabled the
// log stays enabled.
void LogStartup(int argc, const char* const* argv) noexcept;
void LogStartup(const std::vector<std::string>& Args) noexcept;

// Closes the file; every later call does nothing. Also runs at program exit.
void LogShutdown() noexcept;

// --- for tests and tools ------------------------------------------------------

// Date and local time of day as the log sees them.
struct TLogDateTime {
    int Year = 1970;
    int Month = 1;  // 1..12
    int Day = 1;    // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

// A replacement for the system's local time, so that a test can cross
// midnight without waiting for it.
class TLogClock {
public:
    virtual ~TLogClock() = default;
    virtual TLogDateTime Now() = 0;
};

// Installs Clock (nullptr restores the system clock). The caller keeps
// ownership and must restore before the clock dies.
void SetLogClock(TLogClock* Clock) noexcept;

// Switches logging on or off regardless of the command line.
void SetLogEnabled(bool Enabled) noexcept;

// Writes files into Dir instead of the program's directory (empty restores
// it). The open file is closed; the next line starts a file in Dir.
void SetLogDirectory(const std::filesystem::path& Dir) noexcept;

// The directory files go to: the one set above, else the program's.
std::filesystem::path LogDirectory();

// Full name of the open log file; empty while none is open.
std::filesystem::path LogFileName();

// Back to the state at program start: disabled, not closing, no file, the
// program's directory and the system clock.
void LogResetForTests() noexcept;

// The line Log would write (without the line end), for the given time.
// Exposed so the format can be checked without a file.
std::string FormatLogLine(const TLogDateTime& Time, std::string_view Message, const TLogSender* Sender,
                          int32_t Number, int32_t Level);

// Whole days since 1970-01-01 of a calendar date (proleptic Gregorian).
int64_t LogDayNumber(int Year, int Month, int Day);

}  // namespace kelvo
