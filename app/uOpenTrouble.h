#pragma once
// Why an interface could not be opened, in facts a window or a command can
// word for the user: no permission (and the group whose members may open
// it), in use (and by which program), not a serial port, or the system's
// own words. It only looks: the port is tried the way a connect opens it
// and closed again.

#include <string>

#include "uci_ICommunicationInterface.h"

namespace kelvo {

struct TOpenTrouble {
    enum class TKind : uint8_t { None, NoPermission, InUse, NotSerial, Other };
    TKind Kind = TKind::None;
    std::string Group;    // NoPermission: the group to join (empty: none would do)
    std::string Holders;  // InUse: "minicom (pid 1234)" (empty: not known)
    std::string Detail;   // Other: the system's words
};

// What keeps Interface from opening now; Kind None when it opens (or
// nothing can be told). A USB device that does not open is InUse: the
// driver does not say more.
TOpenTrouble OpenTroubleOf(ICommunicationInterface* Interface);

}  // namespace kelvo
