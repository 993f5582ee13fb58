#include "AfPortAccess.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kelvo {

std::optional<TAfNodeAccess> AfNodeAccess(const std::string& Node)
{
    struct stat st;
    if (::stat(Node.c_str(), &st) != 0)
        return std::nullopt;
    TAfNodeAccess a;
    const passwd* p = ::getpwuid(st.st_uid);
    a.Owner = p ? p->pw_name : std::to_string(st.st_uid);
    const group* g = ::getgrgid(st.st_gid);
    a.Group = g ? g->gr_name : std::to_string(st.st_gid);
    a.GroupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0;
    a.Mode = static_cast<unsigned>(st.st_mode & 07777);
    return a;
}

std::string AfNodeHolders(const std::string& Node)
{
    struct stat node;
    if (::stat(Node.c_str(), &node) != 0)
        return {};
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return {};
    std::string out;
    const pid_t self = ::getpid();
    while (const dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const std::string fdDir = "/proc/" + std::string(e->d_name) + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue;
        bool holds = false;
        while (const dirent* f = ::readdir(fds)) {
            struct stat st;
            if (f->d_name[0] != '.' && ::stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == node.st_rdev) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds)
            continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + std::string(e->d_name) + "/comm"), name);
        out += (out.empty() ? "" : ", ") + (name.empty() ? std::string("a program") : name) + " (pid " +
               std::to_string(pid) + ")";
    }
    ::closedir(proc);
    return out;
}

std::string AfSystemErrorText(int Error)
{
    return std::strerror(Error);
}

}  // namespace kelvo
