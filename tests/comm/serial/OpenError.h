#pragma once
// What opening COM<Number> on a core raised, or "(no error)".

#include <string>

#include "AfComPortCore.h"

namespace kelvo::test {

inline std::string OpenError(TAfComPortCore& Core, int Number)
{
    try {
        Core.OpenComPort(Number);
    } catch (const EAfComPortCoreError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace kelvo::test
