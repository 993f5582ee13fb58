// The doctor's facts on Linux: the user and the groups in effect, device
// nodes opened and closed again, the D2XX library from the dynamic loader.
#include "kelvoctl_doctor.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <link.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "kelvoctl_console.h"

namespace kelvo::ctl {

namespace {

namespace fs = std::filesystem;

std::string GroupName(gid_t Gid)
{
    const group* g = ::getgrgid(Gid);
    return g ? std::string(g->gr_name) : std::to_string(Gid);
}

std::string FirstLine(const fs::path& File)
{
    std::string line;
    std::ifstream in(File);
    std::getline(in, line);
    return line;
}

// The kernel's word on a legacy serial node: its UART type 0 is "none".
bool SysfsSaysNoUart(const std::string& Node)
{
    const fs::path type = fs::path("/sys/class/tty") / fs::path(Node).filename() / "type";
    std::error_code ec;
    return fs::exists(type, ec) && FirstLine(type) == "0";
}

TNodeAccess AccessOf(int Err, bool Serial)
{
    switch (Err) {
    case EACCES:
    case EPERM: return TNodeAccess::NoPermission;
    case EBUSY: return TNodeAccess::InUse;  // another opener made it exclusive
    case ENOENT:
    case ENOTDIR:
    case ENODEV: return TNodeAccess::Missing;
    case ENXIO:
    case EIO: return Serial ? TNodeAccess::NoUart : TNodeAccess::Missing;
    default: return TNodeAccess::Failed;
    }
}

}  // namespace

TUserFacts CurrentUser()
{
    TUserFacts u;
    const uid_t uid = ::geteuid();
    const passwd* pw = ::getpwuid(uid);
    u.Name = pw ? pw->pw_name : std::to_string(uid);
    u.Root = uid == 0;
    u.HasGroups = true;
    std::vector<gid_t> gids(size_t(std::max(0, ::getgroups(0, nullptr))));
    const int n = ::getgroups(int(gids.size()), gids.data());
    gids.resize(size_t(std::max(0, n)));
    gids.insert(gids.begin(), ::getegid());
    for (gid_t g : gids)
        if (std::find(u.Groups.begin(), u.Groups.end(), GroupName(g)) == u.Groups.end())
            u.Groups.push_back(GroupName(g));
    if (pw) {
        int count = 64;
        std::vector<gid_t> listed(static_cast<size_t>(count));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, listed.data(), &count) < 0) {
            listed.resize(size_t(count));
            ::getgrouplist(pw->pw_name, pw->pw_gid, listed.data(), &count);
        }
        listed.resize(size_t(std::max(0, count)));
        for (gid_t g : listed)
            u.ListedGroups.push_back(GroupName(g));
    }
    return u;
}

TNodeFacts NodeFacts(const std::string& Path, bool Serial)
{
    TNodeFacts f;
    f.Node = ResolvedNode(Path);
    struct stat st;
    if (::stat(Path.c_str(), &st) != 0) {
        f.Access = TNodeAccess::Missing;
        return f;
    }
    const passwd* pw = ::getpwuid(st.st_uid);
    f.Owner = pw ? pw->pw_name : std::to_string(st.st_uid);
    f.Group = GroupName(st.st_gid);
    f.Mode = unsigned(st.st_mode & 07777);
    // Unix 98 pseudo-terminal slaves: majors 136-143.
    f.Pseudo = S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    if (Serial && SysfsSaysNoUart(f.Node)) {
        f.Access = TNodeAccess::NoUart;
        return f;
    }
    // Opened to see whether it opens, and closed again: no exclusive mode,
    // no lock kept, nothing set on the line, nothing sent.
    int fd;
    do {
        fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        f.Access = AccessOf(err, Serial);
        f.Error = SystemErrorText(err);
        if (f.Access == TNodeAccess::InUse)
            f.Holders = NodeHolders(f.Node);
        return f;
    }
    f.Access = TNodeAccess::Opened;
    if (Serial) {
        struct serial_struct ss;
        std::memset(&ss, 0, sizeof ss);
        if (!::isatty(fd)) {
            f.Access = TNodeAccess::NotSerial;
        } else if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type == PORT_UNKNOWN) {
            f.Access = TNodeAccess::NoUart;
        } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            // KelvoSetup's programs lock the ports they hold.
            if (errno == EWOULDBLOCK)
                f.Access = TNodeAccess::InUse;
        } else {
            ::flock(fd, LOCK_UN);
        }
    }
    ::close(fd);
    if (f.Access == TNodeAccess::Opened || f.Access == TNodeAccess::InUse)
        f.Holders = NodeHolders(f.Node);
    return f;
}

std::string LoadedLibraryFile(const std::string& Name)
{
    std::string file;
    // The binding's own handle, counted once more and released again.
    if (void* h = ::dlopen(Name.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        link_map* map = nullptr;
        if (::dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name)
            file = ResolvedNode(map->l_name);
        ::dlclose(h);
    }
    return file;
}

std::string LibraryLoadFailure(const std::string& Name)
{
    ::dlerror();
    if (void* h = ::dlopen(Name.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        ::dlclose(h);
        return "it loads now; it did not when the program started";
    }
    const char* e = ::dlerror();
    return e ? e : "";
}

}  // namespace kelvo::ctl
