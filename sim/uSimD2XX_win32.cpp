#include <windows.h>

#include "uSimD2XX.h"

namespace kelvo::simd2xx {

void SignalDriverEvent(void* Param)
{
    SetEvent(static_cast<HANDLE>(Param));
}

}  // namespace kelvo::simd2xx
