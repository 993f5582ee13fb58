#include "uOpenTrouble.h"

#include "AfComPortCore.h"
#include "AfPortAccess.h"
#include "uConnectionString.h"
#include "uKelvoSession.h"

namespace kelvo {

TOpenTrouble OpenTroubleOf(ICommunicationInterface* Interface)
{
    TOpenTrouble t;
    if (!Interface)
        return t;
    if (TKelvoSession::IsFTDIDevice(Interface)) {
        if (!Interface->GetActive())
            t.Kind = TOpenTrouble::TKind::InUse;
        return t;
    }
    std::string connection;
    Interface->GetConnectionString(connection);
    std::optional<int64_t> port;
    try {
        port = TConnectionString(connection).IntValue("comport", 1, 65535);
    } catch (const std::exception&) {
    }
    if (!port)
        return t;
    TAfOpenError why;
    AfProbeComPort(static_cast<int>(*port), &why);
    const std::string node = AfComPortDeviceName(static_cast<int>(*port));
    switch (why.Reason) {
    case ofNone:
    case ofNotFound:
        break;
    case ofAccessDenied: {
        t.Kind = TOpenTrouble::TKind::NoPermission;
        if (const auto access = AfNodeAccess(node); access && access->GroupMayOpen)
            t.Group = access->Group;
        break;
    }
    case ofInUse:
        t.Kind = TOpenTrouble::TKind::InUse;
        t.Holders = AfNodeHolders(node);
        break;
    case ofNotSerial:
        t.Kind = TOpenTrouble::TKind::NotSerial;
        break;
    case ofOther:
        t.Kind = TOpenTrouble::TKind::Other;
        t.Detail = why.SystemError ? AfSystemErrorText(why.SystemError) : std::string();
        break;
    }
    return t;
}

}  // namespace kelvo
