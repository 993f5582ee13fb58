#include "kelvoctl_console.h"

#include "AfPortAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    return AfSystemErrorText(Error);
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
    const std::optional<TAfNodeAccess> a = AfNodeAccess(Node);
    if (!a)
        return {};
    if (a->GroupMayOpen)
        return "add your user to the group " + a->Group + " (and log in again)";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", a->Mode);
    return "only " + a->Owner + " may open it (mode " + mode + ")";
}

std::string NodeHolders(const std::string& Node)
{
    return AfNodeHolders(Node);
}

}  // namespace kelvo::ctl
