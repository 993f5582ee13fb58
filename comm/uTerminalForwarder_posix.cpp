// Terminal forwarding on POSIX systems: one datagram per message to the
// listener's local socket. Sending never blocks: a listener that does not
// keep up loses messages instead of stalling the channel that traced them.

#include "uTerminalForwarder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kelvo {

std::string TerminalSocketPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        std::string dir = runtime;
        if (dir.back() != '/')
            dir += '/';
        return dir + TerminalWindowClass;
    }
    return std::string("/tmp/") + TerminalWindowClass + "-" + std::to_string(::getuid());
}

void ForwardToTerminal(const RawByteString& Payload)
{
    if (Payload.empty())
        return;
    try {
        const std::string path = TerminalSocketPath();
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path)
            return;
        // Only a socket of our own user gets the traffic: in a shared folder
        // such as /tmp someone else could have put one at that name.
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid())
            return;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

        int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return;
        ssize_t sent;
        do {
            sent = ::sendto(fd, Payload.data(), Payload.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } while (sent < 0 && errno == EINTR);
        ::close(fd);
    } catch (...) {
        // Tracing must never disturb the channel.
    }
}

}  // namespace kelvo
