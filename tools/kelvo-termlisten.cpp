// kelvo-termlisten: shows the module traffic that KelvoSetup forwards when
// started with the DST (or STD) switch. It is the Linux stand-in for the
// Verdel terminal window: it binds the local socket the program sends to
// and prints one line per message:
//
//   14:03:07.215 -> 2A FE 00 F3 ... | *...
//
// time of arrival, direction ("->" sent to the module, "<-" received from
// it, or the raw direction byte in hex when it is neither), the data in hex
// and as text (bytes outside printable ASCII shown as "."). Ends on Ctrl+C
// or SIGTERM and removes its socket.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "uByteString.h"
#include "uTerminalForwarder.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    int saved = errno;
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
    errno = saved;
}

void PrintHelp(const char* self)
{
    std::printf(
        "Usage: %s [--help]\n"
        "\n"
        "Shows the traffic KelvoSetup forwards to the terminal when it runs with\n"
        "the DST or STD switch: one line per message with the time, the direction\n"
        "(-> sent to the module, <- received from it), the bytes in hex and as text.\n"
        "\n"
        "Listens on %s\n"
        "(the folder is $XDG_RUNTIME_DIR, or /tmp when that is not set).\n"
        "Stop it with Ctrl+C.\n",
        self, kelvo::TerminalSocketPath().c_str());
}

std::string TimeOfDay()
{
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    time_t secs = ts.tv_sec;
    ::localtime_r(&secs, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ts.tv_nsec / 1000000));
    return buf;
}

std::string FormatMessage(const std::string& Time, const kelvo::RawByteString& Payload)
{
    std::string line = Time + " ";
    if (Payload.empty())
        return line + "(empty)";
    uint8_t dir = kelvo::ByteAt(Payload, 0);
    if (dir == 1)
        line += "->";
    else if (dir == 2)
        line += "<-";
    else
        line += kelvo::ToHex(Payload.substr(0, 1));
    std::string_view data = std::string_view(Payload).substr(1);
    line += " " + kelvo::ToHex(data) + " | ";
    for (char c : data) {
        unsigned char b = static_cast<unsigned char>(c);
        line += (b >= 0x20 && b < 0x7F) ? c : '.';
    }
    return line;
}

// Binds a datagram socket at Path. A socket file left behind by a listener
// that is gone is replaced; a live listener or a file of another kind is
// left alone.
int BindListener(const std::string& Path, struct stat& Bound)
{
    sockaddr_un addr{};
    if (Path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "kelvo-termlisten: socket path too long: %s\n", Path.c_str());
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, Path.c_str(), Path.size() + 1);

    struct stat st {};
    if (::lstat(Path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            std::fprintf(stderr, "kelvo-termlisten: %s exists and is not a socket\n", Path.c_str());
            return -1;
        }
        int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool alive = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0)
            ::close(probe);
        if (alive) {
            std::fprintf(stderr, "kelvo-termlisten: another listener is running on %s\n", Path.c_str());
            return -1;
        }
        ::unlink(Path.c_str());
    }

    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("kelvo-termlisten: socket");
        return -1;
    }
    // Only our own user may send to us.
    mode_t old = ::umask(077);
    int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::umask(old);
    if (rc != 0) {
        std::fprintf(stderr, "kelvo-termlisten: cannot bind %s: %s\n", Path.c_str(), std::strerror(errno));
        ::close(fd);
        return -1;
    }
    ::lstat(Path.c_str(), &Bound);
    return fd;
}

// Removes the socket file unless someone else has replaced it meanwhile.
void RemoveSocketFile(const std::string& Path, const struct stat& Bound)
{
    struct stat st {};
    if (::lstat(Path.c_str(), &st) == 0 && st.st_ino == Bound.st_ino && st.st_dev == Bound.st_dev)
        ::unlink(Path.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintHelp(argv[0]);
            return 0;
        }
        std::fprintf(stderr, "kelvo-termlisten: unknown argument '%s' (see --help)\n", argv[i]);
        return 2;
    }

    if (::pipe(gSignalPipe) != 0) {
        std::perror("kelvo-termlisten: pipe");
        return 1;
    }
    ::fcntl(gSignalPipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(gSignalPipe[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(gSignalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const std::string path = kelvo::TerminalSocketPath();
    struct stat bound {};
    int fd = BindListener(path, bound);
    if (fd < 0)
        return 1;
    std::fprintf(stderr, "kelvo-termlisten: listening on %s\n", path.c_str());

    // Datagrams of Unix sockets can be large; a frame is far smaller.
    std::string buf(256 * 1024, '\0');
    int status = 0;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {gSignalPipe[0], POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::perror("kelvo-termlisten: poll");
            status = 1;
            break;
        }
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        ssize_t got = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            std::perror("kelvo-termlisten: recv");
            status = 1;
            break;
        }
        size_t len = static_cast<size_t>(got) < buf.size() ? static_cast<size_t>(got) : buf.size();
        std::string line = FormatMessage(TimeOfDay(), buf.substr(0, len));
        if (static_cast<size_t>(got) > buf.size())
            line += " (truncated)";
        line += '\n';
        if (std::fputs(line.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
            // Nobody reads our output any more.
            status = 1;
            break;
        }
    }
    ::close(fd);
    RemoveSocketFile(path, bound);
    return status;
}
