#include "uLogUtils.h"
#include "uByteString.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "uLogUtils_os.h"

namespace kelvo {

namespace {

// Highest counter tried for one day's file name; reaching it means the
// directory is unusable, and the line is dropped.
constexpr int MaxFileCounter = 100000;

std::atomic<bool> gEnabled{false};
std::atomic<bool> gClosing{false};
std::atomic<TLogClock*> gClock{nullptr};
// The thread that ran the program's static initialisation (and, later, the
// one that called LogStartup): lines from it carry no thread fields.
std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};

struct TLogState {
    std::mutex Lock;
    logos::TFileHandle File = logos::NoFile;
    std::filesystem::path FileName;
    int64_t FileDay = 0;
    std::filesystem::path Directory;  // set by tests; empty = program's
};

// Never destroyed, so that the shut-down at program exit and log calls from
// other static destructors still find it.
TLogState& State()
{
    static TLogState* state = new TLogState;
    return *state;
}

// Closes the file when the program ends.
struct TLogFinaliser {
    ~TLogFinaliser() { LogShutdown(); }
} gFinaliser;

void CloseOpenFile(TLogState& s)
{
    if (s.File != logos::NoFile)
        logos::CloseFile(s.File);
    s.File = logos::NoFile;
    s.FileName.clear();
}

std::filesystem::path DirectoryOf(const TLogState& s)
{
    if (!s.Directory.empty())
        return s.Directory;
    return logos::ProgramDirectory();
}

// Creates the first free yyyymmdd_N.log of the day in Dir; false when Dir
// takes no file.
bool OpenNewFileIn(TLogState& s, const std::filesystem::path& dir, const TLogDateTime& Now, int64_t Today);

// Creates the first free yyyymmdd_N.log of the day in the log directory.
// The program's folder of an installed program takes no files: its log then
// goes to the user's own folder for logs (not when a directory was set).
void OpenNewFile(TLogState& s, const TLogDateTime& Now, int64_t Today)
{
    if (OpenNewFileIn(s, DirectoryOf(s), Now, Today) || !s.Directory.empty())
        return;
    const std::filesystem::path user = logos::UserLogDirectory();
    if (user.empty())
        return;
    std::error_code ec;
    std::filesystem::create_directories(user, ec);
    OpenNewFileIn(s, user, Now, Today);
}

bool OpenNewFileIn(TLogState& s, const std::filesystem::path& dir, const TLogDateTime& Now, int64_t Today)
{
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d_", Now.Year % 10000, Now.Month % 100, Now.Day % 100);
    for (int n = 0; n < MaxFileCounter; ++n) {
        std::filesystem::path name = dir / (std::string(date) + std::to_string(n) + ".log");
        logos::TFileHandle f = logos::NoFile;
        switch (logos::CreateNewFile(name, f)) {
        case logos::TCreateResult::Created:
            s.File = f;
            s.FileName = name;
            s.FileDay = Today;
            return true;
        case logos::TCreateResult::Exists:
            continue;
        case logos::TCreateResult::Failed:
            return false;
        }
    }
    return false;
}

TLogDateTime CurrentTime()
{
    if (TLogClock* c = gClock.load(std::memory_order_acquire))
        return c->Now();
    return logos::LocalNow();
}

// ";<id>;<creation time>" for threads other than the main thread, computed
// once per thread.
const std::string& ThreadFields()
{
    thread_local bool ready = false;
    thread_local std::string fields;
    if (!ready) {
        if (std::this_thread::get_id() != gMainThread.load(std::memory_order_acquire)) {
            fields = ";" + std::to_string(logos::CurrentThreadId());
            if (std::optional<std::string> created = logos::CurrentThreadCreationUtc())
                fields += ";" + *created;
        }
        ready = true;
    }
    return fields;
}

// The lines this thread keeps instead of writing them (a TLogHold).
thread_local std::vector<std::string>* tHeld = nullptr;

// Writes Lines (formatted, without line ends) as one block, under the lock,
// into the file of the day.
void WriteLines(const std::vector<std::string>& Lines, const TLogDateTime& Now) noexcept
{
    try {
        TLogState& s = State();
        std::lock_guard<std::mutex> guard(s.Lock);
        if (gClosing.load(std::memory_order_acquire))
            return;
        int64_t today = LogDayNumber(Now.Year, Now.Month, Now.Day);
        if (s.File == logos::NoFile || today != s.FileDay) {
            CloseOpenFile(s);
            OpenNewFile(s, Now, today);
        }
        if (s.File == logos::NoFile)
            return;
        std::string block;
        for (const std::string& line : Lines)
            block += line + "\r\n";
        logos::WriteAndFlush(s.File, block);
    } catch (...) {
        // The log never interrupts the work it records.
    }
}

void WriteLine(std::string_view Message, const TLogSender* Sender, int32_t Number, int32_t Level) noexcept
{
    if (!gEnabled.load(std::memory_order_acquire) || gClosing.load(std::memory_order_acquire))
        return;
    try {
        const TLogDateTime now = CurrentTime();
        std::string line = FormatLogLine(now, Message, Sender, Number, Level);
        if (tHeld) {
            tHeld->push_back(std::move(line));
            return;
        }
        WriteLines({std::move(line)}, now);
    } catch (...) {
        // The log never interrupts the work it records.
    }
}


}  // namespace

int64_t LogDayNumber(int Year, int Month, int Day)
{
    // Days from civil date, counted from 1970-01-01.
    const int64_t y = static_cast<int64_t>(Year) - (Month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = (Month + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + Day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

namespace {

// Appends Text with every byte below 0x20 written as \xNN: a device text
// carrying CR LF must not start a line of its own in the log.
void AppendLogText(std::string& Line, std::string_view Text)
{
    static const char digits[] = "0123456789ABCDEF";
    for (const char c : Text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20) {
            Line += c;
        } else {
            Line += "\\x";
            Line += digits[b >> 4];
            Line += digits[b & 0x0F];
        }
    }
}

}  // namespace

std::string FormatLogLine(const TLogDateTime& Time, std::string_view Message, const TLogSender* Sender,
                          int32_t Number, int32_t Level)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d:%03d", Time.Hour % 100, Time.Minute % 100,
                  Time.Second % 100, Time.Millisecond % 1000);
    std::string line = stamp;
    line += ';';
    AppendLogText(line, Message);
    if (Sender) {
        line += ';';
        AppendLogText(line, Sender->ClassName);
        if (Sender->IsComponent) {
            line += '(';
            AppendLogText(line, Sender->ComponentName);
            line += ')';
        }
    }
    if (Number != 0)
        line += ";" + std::to_string(Number);
    if (Level != 0)
        line += ";" + std::to_string(Level);
    line += ThreadFields();
    return line;
}

TLogHold::TLogHold() : FOuter(tHeld)
{
    tHeld = &FLines;
}

TLogHold::~TLogHold()
{
    tHeld = FOuter;
    // Lines nobody took are not lost: the outer hold gets them, else the file.
    if (FOuter)
        FOuter->insert(FOuter->end(), FLines.begin(), FLines.end());
    else
        LogWriteLines(FLines);
}

std::vector<std::string> TLogHold::Take()
{
    std::vector<std::string> out;
    out.swap(FLines);
    return out;
}

void LogWriteLines(const std::vector<std::string>& Lines) noexcept
{
    if (Lines.empty() || !gEnabled.load(std::memory_order_acquire) || gClosing.load(std::memory_order_acquire))
        return;
    try {
        WriteLines(Lines, CurrentTime());
    } catch (...) {
    }
}

void Log(std::string_view Message, int32_t Number, int32_t Level) noexcept
{
    WriteLine(Message, nullptr, Number, Level);
}

void Log(std::string_view Message, const TLogSender& Sender, int32_t Number, int32_t Level) noexcept
{
    WriteLine(Message, &Sender, Number, Level);
}

bool LogEnabled() noexcept
{
    return gEnabled.load(std::memory_order_acquire) && !gClosing.load(std::memory_order_acquire);
}

bool IsDebugSwitch(std::string_view Arg)
{
    return NormalizedSwitch(Arg) == "DEBUG";
}

void LogStartup(int argc, const char* const* argv) noexcept
{
    try {
        std::vector<std::string> args;
        for (int i = 0; i < argc && argv; ++i)
            if (argv[i])
                args.emplace_back(argv[i]);
        LogStartup(args);
    } catch (...) {
    }
}

void LogStartup(const std::vector<std::string>& Args) noexcept
{
    gMainThread.store(std::this_thread::get_id(), std::memory_order_release);
    for (const std::string& a : Args)
        if (IsDebugSwitch(a))
            gEnabled.store(true, std::memory_order_release);
}

void LogShutdown() noexcept
{
    gClosing.store(true, std::memory_order_release);
    try {
        TLogState& s = State();
        std::lock_guard<std::mutex> guard(s.Lock);
        CloseOpenFile(s);
    } catch (...) {
    }
}

void SetLogClock(TLogClock* Clock) noexcept
{
    gClock.store(Clock, std::memory_order_release);
}

void SetLogEnabled(bool Enabled) noexcept
{
    gEnabled.store(Enabled, std::memory_order_release);
}

void SetLogDirectory(const std::filesystem::path& Dir) noexcept
{
    try {
        TLogState& s = State();
        std::lock_guard<std::mutex> guard(s.Lock);
        CloseOpenFile(s);
        s.Directory = Dir;
    } catch (...) {
    }
}

std::filesystem::path LogDirectory()
{
    TLogState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return DirectoryOf(s);
}

std::filesystem::path LogFileName()
{
    TLogState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    return s.FileName;
}

void LogResetForTests() noexcept
{
    try {
        TLogState& s = State();
        std::lock_guard<std::mutex> guard(s.Lock);
        CloseOpenFile(s);
        s.Directory.clear();
        gEnabled.store(false, std::memory_order_release);
        gClosing.store(false, std::memory_order_release);
        gClock.store(nullptr, std::memory_order_release);
    } catch (...) {
    }
}

}  // namespace kelvo
