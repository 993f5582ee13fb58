#include "uSimPty.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "uExceptions.h"

namespace kelvo {

namespace {

uint32_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string Errno(const std::string& What)
{
    return What + ": " + std::strerror(errno);
}

void CloseFd(int& Fd)
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

std::string ReadLink(const std::string& Path)
{
    char buf[4096];
    ssize_t n = ::readlink(Path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

TSimPty::TSimPty(TSimModule& Module) : FModule(Module) {}

TSimPty::~TSimPty()
{
    Stop();
}

void TSimPty::Start(const TSimPtyOptions& Options)
{
    if (FThread.joinable())
        throw Exception("the simulated port is already running");
    FOptions = Options;
    FHungUp = false;
    try {
        FMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (FMaster < 0)
            throw Exception(Errno("cannot create a pseudo-terminal"));
        ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
        if (::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0)
            throw Exception(Errno("cannot unlock the pseudo-terminal"));
        char name[256];
        if (::ptsname_r(FMaster, name, sizeof name) != 0)
            throw Exception(Errno("cannot name the pseudo-terminal"));
        int flags = ::fcntl(FMaster, F_GETFL);
        ::fcntl(FMaster, F_SETFL, flags | O_NONBLOCK);

        // Our own handle on the slave: it keeps the terminal's settings
        // between the program's sessions and spares the master the endless
        // hang-up condition a pty without an open slave reports.
        FSlave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (FSlave < 0)
            throw Exception(Errno(std::string("cannot open ") + name));
        struct termios t {};
        if (::tcgetattr(FSlave, &t) == 0) {
            ::cfmakeraw(&t);
            ::cfsetispeed(&t, B9600);
            ::cfsetospeed(&t, B9600);
            ::tcsetattr(FSlave, TCSANOW, &t);
        }

        if (::pipe(FWake) != 0)
            throw Exception(Errno("cannot create the wake-up pipe"));
        for (int fd : FWake) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }

        std::string link;
        unsigned number = 0;
        if (!Options.LinkDir.empty()) {
            const std::string& dir = Options.LinkDir;
            if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
                throw Exception(Errno("cannot create " + dir));
            if (Options.PortNumber != 0) {
                number = Options.PortNumber;
                link = dir + "/com" + std::to_string(number);
                struct stat st {};
                if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
                    throw Exception(link + " exists and is not a link");
                // A new link under a temporary name, renamed over the old one:
                // the port is never missing for a program watching the folder.
                std::string tmp = dir + "/.com" + std::to_string(number) + ".tmp" + std::to_string(::getpid());
                ::unlink(tmp.c_str());
                if (::symlink(name, tmp.c_str()) != 0)
                    throw Exception(Errno("cannot create " + tmp));
                if (::rename(tmp.c_str(), link.c_str()) != 0) {
                    int e = errno;
                    ::unlink(tmp.c_str());
                    errno = e;
                    throw Exception(Errno("cannot create " + link));
                }
            } else {
                for (unsigned n = 1; n <= 255 && number == 0; ++n) {
                    std::string path = dir + "/com" + std::to_string(n);
                    if (::symlink(name, path.c_str()) == 0) {
                        number = n;
                        link = path;
                    } else if (errno != EEXIST) {
                        throw Exception(Errno("cannot create " + path));
                    }
                }
                if (number == 0)
                    throw Exception("no free port number in " + dir);
            }
        }
        {
            std::lock_guard lock(FLock);
            FSlaveName = name;
            FLinkPath = link;
            FPortNumber = number;
        }
        FRunning = true;
        FThread = std::thread([this] { Serve(); });
    } catch (...) {
        FRunning = false;
        CloseAll();
        throw;
    }
}

void TSimPty::Stop()
{
    if (FThread.joinable()) {
        FRunning = false;
        char c = 0;
        while (::write(FWake[1], &c, 1) < 0 && errno == EINTR) {
        }
        FThread.join();
    }
    CloseAll();
}

bool TSimPty::Running() const
{
    return FRunning;
}

bool TSimPty::HungUp() const
{
    return FHungUp;
}

std::string TSimPty::SlaveName() const
{
    std::lock_guard lock(FLock);
    return FSlaveName;
}

std::string TSimPty::LinkPath() const
{
    std::lock_guard lock(FLock);
    return FLinkPath;
}

unsigned TSimPty::PortNumber() const
{
    std::lock_guard lock(FLock);
    return FPortNumber;
}

void TSimPty::RemoveLink()
{
    std::lock_guard lock(FLock);
    // Only our own link: someone may have taken the name meanwhile.
    if (!FLinkPath.empty() && ReadLink(FLinkPath) == FSlaveName)
        ::unlink(FLinkPath.c_str());
    FLinkPath.clear();
    FPortNumber = 0;
}

void TSimPty::HangUp()
{
    // Link and state first: whoever sees the line die sees them gone too.
    RemoveLink();
    FModule.DiscardOutput();
    FHungUp = true;
    CloseFd(FSlave);
    CloseFd(FMaster);
}

void TSimPty::CloseAll()
{
    RemoveLink();
    CloseFd(FSlave);
    CloseFd(FMaster);
    CloseFd(FWake[0]);
    CloseFd(FWake[1]);
    std::lock_guard lock(FLock);
    FSlaveName.clear();
}

void TSimPty::Serve()
{
    // Due output the pty would not take yet; a device that talks on its
    // own starts at once, not only once the host has written.
    RawByteString pending = FModule.Poll(NowMs());
    char buf[4096];
    while (FRunning) {
        bool open = FMaster >= 0;
        int timeout = -1;
        if (open) {
            if (auto due = FModule.NextDue()) {
                int32_t wait = static_cast<int32_t>(*due - NowMs());
                timeout = wait > 0 ? wait : 0;
            }
        }
        struct pollfd fds[2] = {{FWake[0], POLLIN, 0}, {FMaster, short(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0}};
        int n = ::poll(fds, open ? 2 : 1, timeout);
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0 && (fds[0].revents & POLLIN)) {
            while (::read(FWake[0], buf, sizeof buf) > 0) {
            }
            continue;  // FRunning tells whether to go on
        }
        if (!open)
            continue;

        if (n > 0 && (fds[1].revents & POLLIN)) {
            for (;;) {
                ssize_t got = ::read(FMaster, buf, sizeof buf);
                if (got <= 0)
                    break;
                RawByteString bytes(buf, static_cast<size_t>(got));
                // The speed the program set when it wrote these bytes.
                uint32_t speed = SimTerminalSpeed(FSlave);
                if (FOptions.OnTraffic)
                    FOptions.OnTraffic(true, bytes);
                FModule.Feed(bytes, speed, NowMs());
            }
        } else if (n > 0 && (fds[1].revents & (POLLHUP | POLLERR))) {
            // Not expected while we hold the slave; never spin on it.
            ::poll(fds, 1, 10);
        }

        RawByteString due = FModule.Poll(NowMs());
        if (!due.empty()) {
            if (FOptions.OnTraffic)
                FOptions.OnTraffic(false, due);
            pending += due;
        }
        while (!pending.empty()) {
            ssize_t put = ::write(FMaster, pending.data(), pending.size());
            if (put <= 0)
                break;  // full (the program does not read): wait for room
            pending.erase(0, static_cast<size_t>(put));
        }

        if (FOptions.HangUpWhenGone && FModule.Gone() && pending.empty() && !FModule.NextDue()) {
            // A hang-up flushes what the program has not read yet: let the
            // cut reply reach it first. Written bytes take a moment to show
            // in the slave's queue, so it must stay empty a while (at most a
            // second is spent on this).
            uint32_t since = NowMs();
            uint32_t emptySince = since;
            while (FRunning && NowMs() - since < 1000) {
                int unread = 0;
                if (::ioctl(FSlave, FIONREAD, &unread) != 0)
                    break;
                if (unread > 0)
                    emptySince = NowMs();
                else if (NowMs() - emptySince >= 30)
                    break;
                struct pollfd wake = {FWake[0], POLLIN, 0};
                ::poll(&wake, 1, 5);
            }
            HangUp();
        }
    }
}

}  // namespace kelvo
