// The reader's events on Windows: two event objects, the driver sets the
// receive event itself.
#include <windows.h>

#include "uci_FTDIcore_os.h"

namespace kelvo::ftdicore {

struct TReaderEvents::TImpl {
    HANDLE Stop = nullptr;  // manual reset
    HANDLE Rx = nullptr;    // auto reset
};

TReaderEvents::TReaderEvents() : F(std::make_unique<TImpl>())
{
    F->Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    F->Rx = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

TReaderEvents::~TReaderEvents()
{
    if (F->Stop)
        CloseHandle(F->Stop);
    if (F->Rx)
        CloseHandle(F->Rx);
}

void* TReaderEvents::DriverParam()
{
    return F->Rx;
}

void TReaderEvents::SetRx()
{
    SetEvent(F->Rx);
}

void TReaderEvents::SetStop()
{
    SetEvent(F->Stop);
}

TReaderEvents::TWake TReaderEvents::Wait(uint32_t Ms)
{
    HANDLE handles[2] = {F->Stop, F->Rx};
    switch (WaitForMultipleObjects(2, handles, FALSE, Ms)) {
    case WAIT_OBJECT_0: return TWake::Stop;
    case WAIT_OBJECT_0 + 1: return TWake::Rx;
    default: return TWake::Timeout;
    }
}

void RaiseThreadPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

}  // namespace kelvo::ftdicore
