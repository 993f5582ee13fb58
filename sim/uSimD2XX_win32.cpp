#include <windows.h>

#include "uSimD2XX.h"

namespace kelvo::simd2xx {

void SignalDriverEvent(void* Param, bool /*SignalOnly*/)
{
    // A Windows event has no "signal only": it stays set until a wait takes it.
    SetEvent(static_cast<HANDLE>(Param));
}

}  // namespace kelvo::simd2xx

namespace {

// Once loaded, the library stays in the process. Built with MinGW, it
// carries its own runtime, whose list of thread-key destructors does not
// survive being unloaded and loaded again while the process's threads come
// and go (the next thread to end then runs a destructor of the old copy);
// tests bind and release the driver many times in one process.
struct TPinned {
    TPinned()
    {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&SignalDriverEventAddress), &self);
    }
    static void SignalDriverEventAddress() {}
} gPinned;

}  // namespace
