#include "kelvoctl_console.h"

#include "AfPortAccess.h"

#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

namespace kelvo::ctl {

namespace {

std::string ToUtf8(const wchar_t* Text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, Text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, Text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv)
{
    int n = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide || n != argc) {
        // Not the command line main() was given: keep what it was given.
        if (wide)
            LocalFree(wide);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i)
        args.push_back(ToUtf8(wide[i]));
    LocalFree(wide);
    return args;
}

void PrepareConsole()
{
    SetConsoleOutputCP(CP_UTF8);
}

bool StderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

std::string ResolvedNode(const std::string& Path)
{
    return Path;
}

bool NodePresent(const std::string& /*Path*/)
{
    return true;
}

std::string SystemErrorText(int Error)
{
    return AfSystemErrorText(Error);
}

bool SameNode(const std::string& A, const std::string& B)
{
    return _stricmp(A.c_str(), B.c_str()) == 0;
}

std::string NodeAccessAdvice(const std::string& /*Node*/)
{
    return {};
}

std::string NodeHolders(const std::string& Node)
{
    return AfNodeHolders(Node);
}

}  // namespace kelvo::ctl
