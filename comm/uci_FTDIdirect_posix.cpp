// The D2XX library on POSIX systems: dlopen and dlsym.
#include <dlfcn.h>

#include <cstdlib>

#include "uci_FTDIdirect.h"

namespace kelvo::ftdirect {

const char* DefaultLibraryName()
{
    return "libftd2xx.so";
}

std::string EnvironmentValue(const char* Name)
{
    const char* v = std::getenv(Name);
    return v ? std::string(v) : std::string();
}

TLibrary LoadLibraryFile(const std::string& Path)
{
    return ::dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* LibrarySymbol(TLibrary Library, const char* Name)
{
    return ::dlsym(Library, Name);
}

void FreeLibraryFile(TLibrary Library)
{
    ::dlclose(Library);
}

}  // namespace kelvo::ftdirect
