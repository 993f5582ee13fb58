// The doctor's facts on Windows: the user, COM ports opened and closed
// again, the loaded ftd2xx.dll. Windows has no device groups, and its FTDI
// driver serves the COM port and the D2XX library alike.
#include "kelvoctl_doctor.h"

#include <windows.h>

#include "kelvoctl_console.h"
#include "uci_FTDIdirect.h"

namespace kelvo::ctl {

TUserFacts CurrentUser()
{
    TUserFacts u;
    char name[256];
    DWORD size = sizeof name;
    u.Name = GetUserNameA(name, &size) ? std::string(name) : std::string("?");
    return u;
}

TNodeFacts NodeFacts(const std::string& Path, bool /*Serial*/)
{
    TNodeFacts f;
    f.Node = Path;
    // Opened without sharing to see whether it opens, and closed again:
    // nothing set on the line, nothing sent.
    HANDLE h = CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        f.Access = TNodeAccess::Opened;
        return f;
    }
    const DWORD err = GetLastError();
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: f.Access = TNodeAccess::Missing; break;
    // What Windows answers for a COM port another program holds.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: f.Access = TNodeAccess::InUse; break;
    default:
        f.Access = TNodeAccess::Failed;
        f.Error = SystemErrorText(int(err));
        break;
    }
    return f;
}

TLibraryFacts LibraryFacts()
{
    TLibraryFacts l;
    l.Wanted = ftdirect::EnvironmentValue("KELVO_FTD2XX");
    l.FromEnvironment = !l.Wanted.empty();
    if (!l.FromEnvironment)
        l.Wanted = ftdirect::DefaultLibraryName();
    l.Loaded = FTDirectLoaded();
    if (l.Loaded) {
        if (HMODULE m = GetModuleHandleA(l.Wanted.c_str())) {
            char file[MAX_PATH];
            const DWORD n = GetModuleFileNameA(m, file, sizeof file);
            if (n > 0 && n < sizeof file)
                l.File.assign(file, n);
        }
        return l;
    }
    // Looked for as a file only: no code of it runs.
    if (HMODULE m = LoadLibraryExA(l.Wanted.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
        FreeLibrary(m);
        l.Error = "the file is there, but it does not load as a library";
    } else {
        l.Error = SystemErrorText(int(GetLastError()));
    }
    return l;
}

}  // namespace kelvo::ctl
