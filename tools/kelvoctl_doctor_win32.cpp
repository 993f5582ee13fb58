// The doctor's facts on Windows: the user, COM ports opened and closed
// again, the loaded ftd2xx.dll. Windows has no device groups, and its FTDI
// driver serves the COM port and the D2XX library alike.
#include "kelvoctl_doctor.h"

#include <windows.h>

#include "kelvoctl_console.h"

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

std::string LoadedLibraryFile(const std::string& Name)
{
    std::string file;
    if (HMODULE m = GetModuleHandleA(Name.c_str())) {
        char path[MAX_PATH];
        const DWORD n = GetModuleFileNameA(m, path, sizeof path);
        if (n > 0 && n < sizeof path)
            file.assign(path, n);
    }
    return file;
}

std::string LibraryLoadFailure(const std::string& Name)
{
    // Looked for as a file only: no code of it runs.
    if (HMODULE m = LoadLibraryExA(Name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
        FreeLibrary(m);
        return "the file is there, but it does not load as a library";
    }
    return SystemErrorText(int(GetLastError()));
}

}  // namespace kelvo::ctl
