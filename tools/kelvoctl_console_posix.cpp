#include "kelvoctl_console.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kelvo::ctl {

std::vector<std::string> Utf8Arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareConsole()
{
}

bool StderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

std::string ResolvedNode(const std::string& Path)
{
    char buf[PATH_MAX];
    if (::realpath(Path.c_str(), buf))
        return buf;
    return Path;
}

bool NodePresent(const std::string& Path)
{
    struct stat st;
    return ::stat(Path.c_str(), &st) == 0;
}

std::string SystemErrorText(int Error)
{
    return std::strerror(Error);
}

bool SameNode(const std::string& A, const std::string& B)
{
    struct stat a, b;
    if (::stat(A.c_str(), &a) != 0 || ::stat(B.c_str(), &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string NodeAccessAdvice(const std::string& Node)
{
    struct stat st;
    if (::stat(Node.c_str(), &st) != 0)
        return {};
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        if (const group* g = ::getgrgid(st.st_gid); g && g->gr_gid != 0)
            return "add your user to the group " + std::string(g->gr_name) + " (and log in again)";
    }
    const passwd* p = ::getpwuid(st.st_uid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "only " + std::string(p ? p->pw_name : "its owner") + " may open it (mode " + mode + ")";
}

std::string NodeHolders(const std::string& Node)
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

}  // namespace kelvo::ctl
