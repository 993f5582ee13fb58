// The system's port settings dialog (CommConfigDialogA).

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "AfComPort.h"

namespace kelvo::afport {

static_assert(sizeof(COMMCONFIG) == 52, "COMMCONFIG has the size the dialog expects");

bool RunConfigDialog(intptr_t Handle, int ComNumber, TAfDCB& Dcb)
{
    COMMCONFIG cc;
    std::memset(&cc, 0, sizeof cc);
    DWORD size = sizeof cc;
    char name[32];
    std::snprintf(name, sizeof name, "COM%d", ComNumber);
    const BOOL filled = Handle != -1 ? GetCommConfig(reinterpret_cast<HANDLE>(Handle), &cc, &size)
                                     : GetDefaultCommConfigA(name, &cc, &size);
    std::memcpy(&cc.dcb, &Dcb, sizeof(TAfDCB));
    cc.dwSize = sizeof cc;
    if (!filled)
        return false;
    if (!CommConfigDialogA(name, GetActiveWindow(), &cc))
        return false;
    std::memcpy(static_cast<void*>(&Dcb), &cc.dcb, sizeof(TAfDCB));
    return true;
}

}  // namespace kelvo::afport
