// The port settings dialog on POSIX: the system has none. The window brings
// its own port dialog; until then there is nothing to confirm.

#include "AfComPort.h"

namespace kelvo::afport {

bool RunConfigDialog(intptr_t /*Handle*/, int /*ComNumber*/, TAfDCB& /*Dcb*/)
{
    return false;
}

}  // namespace kelvo::afport
