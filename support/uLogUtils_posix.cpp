// The diagnostic log on POSIX systems (Linux): /proc for the program file
// and the thread's start time, plain file descriptors for the file.

#include "uLogUtils_os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace kelvo::logos {

std::filesystem::path ProgramDirectory()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    buf[n] = '\0';
    return std::filesystem::path(buf).parent_path();
}

std::filesystem::path UserLogDirectory()
{
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::filesystem::path(state) / "kelvosetup";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::filesystem::path(home) / ".local" / "state" / "kelvosetup";
    return {};
}

TLogDateTime LocalNow()
{
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    time_t secs = ts.tv_sec;
    ::localtime_r(&secs, &tm);
    TLogDateTime t;
    t.Year = tm.tm_year + 1900;
    t.Month = tm.tm_mon + 1;
    t.Day = tm.tm_mday;
    t.Hour = tm.tm_hour;
    t.Minute = tm.tm_min;
    t.Second = tm.tm_sec;
    t.Millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
}

uint64_t CurrentThreadId()
{
    return static_cast<uint64_t>(::syscall(SYS_gettid));
}

namespace {

// Boot time of the system in seconds since the epoch ("btime" of /proc/stat).
std::optional<long long> BootTime()
{
    std::ifstream in("/proc/stat");
    std::string key;
    while (in >> key) {
        if (key == "btime") {
            long long v = 0;
            if (in >> v)
                return v;
            return std::nullopt;
        }
        in.ignore(1 << 20, '\n');
    }
    return std::nullopt;
}

// Start of the thread in clock ticks after boot (field 22 of its stat line).
std::optional<unsigned long long> ThreadStartTicks(uint64_t Tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(Tid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return std::nullopt;
    // The command name in parentheses may contain blanks: count the fields
    // after its closing parenthesis, which is field 2.
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22; ++i)
        if (!(rest >> field))
            return std::nullopt;
    try {
        return std::stoull(field);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> CurrentThreadCreationUtc()
{
    std::optional<unsigned long long> ticks = ThreadStartTicks(CurrentThreadId());
    std::optional<long long> boot = BootTime();
    long hz = ::sysconf(_SC_CLK_TCK);
    if (!ticks || !boot || hz <= 0)
        return std::nullopt;
    time_t created = static_cast<time_t>(*boot + static_cast<long long>(*ticks / static_cast<unsigned long long>(hz)));
    struct tm tm {};
    if (!::gmtime_r(&created, &tm))
        return std::string();
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return std::string(text);
}

TCreateResult CreateNewFile(const std::filesystem::path& Name, TFileHandle& File)
{
    int fd = ::open(Name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == EEXIST ? TCreateResult::Exists : TCreateResult::Failed;
    File = fd;
    return TCreateResult::Created;
}

bool WriteAndFlush(TFileHandle File, std::string_view Data)
{
    ssize_t n;
    do {
        n = ::write(static_cast<int>(File), Data.data(), Data.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(Data.size()))
        return false;
    return ::fdatasync(static_cast<int>(File)) == 0;
}

void CloseFile(TFileHandle File)
{
    ::close(static_cast<int>(File));
}

}  // namespace kelvo::logos
