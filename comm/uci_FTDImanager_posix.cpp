// Plug events on Linux. A thread of the manager waits for them and posts
// each one to the main-thread queue:
//  - while KELVO_PORTS_DIR is set, an inotify watch on that folder: links
//    comN and entries usb-<serial> appearing or vanishing;
//  - otherwise the kernel's device events (the uevent socket udev itself
//    listens to): tty nodes that a COM number maps to, and while D2XX is
//    bound FTDI USB devices, named by the serial number their sysfs folder
//    gives - for the chips present at start and on arrival - and remembered
//    for their removal. An arrival is passed on once its node lets us in
//    (udev sets its permissions after the kernel's event), at the latest
//    after 2 s (TKernelPlugTracker).
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "uMainThreadQueue.h"
#include "uTickUtils.h"
#include "uci_FTDIdirect.h"
#include "uci_FTDImanager.h"
#include "uci_FTDImanager_os.h"

namespace kelvo::ftdimanager {

namespace {

constexpr int kRetryWatchMs = 1000;

class TPosixPlugWatch : public TPlugWatch {
public:
    explicit TPosixPlugWatch(TFTDIManager& Manager)
        : FManager(Manager), FWithUsb(FTDirectLoaded()),
          FKernel("/sys", "/dev", FWithUsb, [](const std::string& Node) { return ::access(Node.c_str(), R_OK | W_OK) == 0; })
    {
        if (const char* dir = std::getenv("KELVO_PORTS_DIR"); dir && *dir)
            FDir = dir;
        if (::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0)
            FWake[0] = FWake[1] = -1;
        if (!FDir.empty()) {
            FInotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
            AddFolderWatch();
        } else {
            FNetlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
            if (FNetlink >= 0) {
                sockaddr_nl addr{};
                addr.nl_family = AF_NETLINK;
                addr.nl_groups = 1;  // the kernel's own events
                if (::bind(FNetlink, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                    ::close(FNetlink);
                    FNetlink = -1;
                }
            }
            // After the socket is bound: a chip that goes after this look
            // is known, one that comes after it is an event.
            if (FNetlink >= 0)
                FKernel.LearnPresent();
        }
        if (FWake[0] >= 0 && (FInotify >= 0 || FNetlink >= 0))
            FThread = std::thread([this] { Run(); });
    }

    ~TPosixPlugWatch() override
    {
        if (FThread.joinable()) {
            FRunning = false;
            const char c = 0;
            while (::write(FWake[1], &c, 1) < 0 && errno == EINTR) {
            }
            FThread.join();
        }
        // Events posted but not run yet name a manager that is going.
        TMainThreadQueue::Cancel(Tag());
        for (int fd : {FWake[0], FWake[1], FInotify, FNetlink})
            if (fd >= 0)
                ::close(fd);
    }

private:
    uintptr_t Tag() const { return reinterpret_cast<uintptr_t>(&FManager); }

    void Post(bool Arrived, const std::string& Name)
    {
        TFTDIManager* manager = &FManager;
        TMainThreadQueue::Post(
            [manager, Arrived, Name] {
                if (Arrived)
                    manager->Arrival(Name);
                else
                    manager->Removal(Name);
            },
            Tag());
    }

    void AddFolderWatch()
    {
        if (FInotify < 0 || FWatchFd >= 0)
            return;
        FWatchFd = ::inotify_add_watch(FInotify, FDir.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO);
    }

    void Run()
    {
        const int events = FInotify >= 0 ? FInotify : FNetlink;
        while (FRunning) {
            pollfd fds[2] = {{FWake[0], POLLIN, 0}, {events, POLLIN, 0}};
            const int timeout = FInotify >= 0 ? (FWatchFd < 0 ? kRetryWatchMs : -1) : FKernel.NextLookMs(GetTickCount32());
            const int n = ::poll(fds, 2, timeout);
            if (n < 0 && errno != EINTR)
                break;
            if (fds[0].revents & POLLIN)
                continue;  // FRunning tells whether to go on
            if (FInotify >= 0) {
                AddFolderWatch();  // the folder may have appeared meanwhile
                if (fds[1].revents & POLLIN)
                    ReadFolderEvents();
            } else {
                if (fds[1].revents & POLLIN)
                    ReadDeviceEvents();
                for (const auto& plug : FKernel.Due(GetTickCount32()))
                    Post(plug.Arrived, plug.Name);
            }
        }
    }

    void ReadFolderEvents()
    {
        alignas(inotify_event) char buf[8192];
        for (;;) {
            const ssize_t got = ::read(FInotify, buf, sizeof buf);
            if (got <= 0)
                return;
            for (ssize_t i = 0; i < got;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + i);
                i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if (e->mask & IN_IGNORED) {
                    FWatchFd = -1;  // the folder went; watch again when it is back
                    continue;
                }
                if (e->len == 0)
                    continue;
                const bool arrived = (e->mask & (IN_CREATE | IN_MOVED_TO)) != 0;
                if (auto name = PortsFolderEntryName(e->name, FWithUsb))
                    Post(arrived, *name);
            }
        }
    }

    void ReadDeviceEvents()
    {
        char buf[8192];
        for (;;) {
            const ssize_t got = ::recv(FNetlink, buf, sizeof buf, 0);
            if (got <= 0)
                return;
            auto e = ParseDeviceEvent(buf, static_cast<size_t>(got));
            if (!e)
                continue;
            for (const auto& plug : FKernel.Event(*e, GetTickCount32()))
                Post(plug.Arrived, plug.Name);
        }
    }

    TFTDIManager& FManager;
    const bool FWithUsb;
    std::string FDir;
    int FWake[2] = {-1, -1};
    int FInotify = -1;
    int FWatchFd = -1;
    int FNetlink = -1;
    TKernelPlugTracker FKernel;  // on the watch thread once it runs
    std::atomic<bool> FRunning{true};
    std::thread FThread;
};

}  // namespace

std::unique_ptr<TPlugWatch> StartPlugWatch(TFTDIManager& Manager)
{
    return std::make_unique<TPosixPlugWatch>(Manager);
}

}  // namespace kelvo::ftdimanager
