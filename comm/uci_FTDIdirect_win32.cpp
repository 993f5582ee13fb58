// The D2XX library on Windows: LoadLibraryA and GetProcAddress. Without a
// path, ftd2xx.dll is found the usual way (beside the program first).
#include <windows.h>

#include "uci_FTDIdirect.h"

namespace kelvo::ftdirect {

const char* DefaultLibraryName()
{
    return "ftd2xx.dll";
}

std::string EnvironmentValue(const char* Name)
{
    char buf[4096];
    const DWORD n = GetEnvironmentVariableA(Name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

TLibrary LoadLibraryFile(const std::string& Path)
{
    // No "cannot find the DLL" box of the system's own.
    const UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE m = LoadLibraryA(Path.c_str());
    SetErrorMode(old);
    return reinterpret_cast<TLibrary>(m);
}

void* LibrarySymbol(TLibrary Library, const char* Name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(Library), Name));
}

void FreeLibraryFile(TLibrary Library)
{
    FreeLibrary(static_cast<HMODULE>(Library));
}

}  // namespace kelvo::ftdirect
