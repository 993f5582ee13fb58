#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "kelvoctl_args.h"
#include "kelvoctl_mqtt_wait.h"

namespace kelvo::ctl {

TSocketWait::TSocketWait()
{
    if (::pipe(FPipe) != 0)
        throw EStepFailed("cannot create the broker link's wake-up pipe");
    for (int fd : FPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

TSocketWait::~TSocketWait()
{
    ::close(FPipe[0]);
    ::close(FPipe[1]);
}

void TSocketWait::Wake()
{
    const char byte = 1;
    // A full pipe wakes the thread all the same.
    [[maybe_unused]] const ssize_t n = ::write(FPipe[1], &byte, 1);
}

void TSocketWait::Wait(std::vector<TSocketWatch>& Sockets, int TimeoutMs)
{
    std::vector<pollfd> fds{{FPipe[0], POLLIN, 0}};
    for (const TSocketWatch& s : Sockets)
        fds.push_back({s.Socket, static_cast<short>(POLLIN | (s.WantWrite ? POLLOUT : 0)), 0});
    if (::poll(fds.data(), fds.size(), TimeoutMs) <= 0)
        return;
    if (fds[0].revents & POLLIN) {
        char buf[64];
        while (::read(FPipe[0], buf, sizeof buf) > 0) {
        }
    }
    for (size_t i = 0; i < Sockets.size(); ++i) {
        const short r = fds[i + 1].revents;
        Sockets[i].Readable = (r & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
        Sockets[i].Writable = (r & POLLOUT) != 0;
    }
}

}  // namespace kelvo::ctl
