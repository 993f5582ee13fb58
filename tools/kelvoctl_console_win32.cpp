#include "kelvoctl_console.h"

#include <windows.h>
#include <shellapi.h>

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

}  // namespace kelvo::ctl
