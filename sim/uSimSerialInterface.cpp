#include "uSimSerialInterface.h"

#include <mutex>

#include "uExceptions.h"
#include "uTickUtils.h"

namespace kelvo {

TSimSerialInterface::TSimSerialInterface(std::shared_ptr<TSimModule> Module, std::string Name,
                                         const std::string& ConnectionString)
    : TSerialPortCoreInterface(ConnectionString), FModule(std::move(Module)), FName(std::move(Name))
{
    TSerialPortCoreInterface::SetBaudRate(FBaudRate);
    FSignalsArrival = true;
}

TSimSerialInterface::~TSimSerialInterface() = default;

bool TSimSerialInterface::GetActive()
{
    return FOpen;
}

bool TSimSerialInterface::Open()
{
    {
        std::lock_guard<std::recursive_mutex> guard(FLock);
        if (FOpen)
            return true;
        if (FOpenFails)
            return false;
        FRx.clear();
        FOpen = true;
    }
    NotifyOpened();
    return true;
}

bool TSimSerialInterface::Close(bool /*Force*/)
{
    {
        std::lock_guard<std::recursive_mutex> guard(FLock);
        if (!FOpen)
            return false;
        FOpen = false;
        FRx.clear();
        FModule->DiscardOutput();
    }
    NotifyClosed();
    return true;
}

uint32_t TSimSerialInterface::HeardLineSpeed() const
{
    // A frame sent with another character format is noise to the module.
    if (FDataBits != 8 || FParity != 0 || FStopBits != 0)
        return 0;
    return static_cast<uint32_t>(FBaudRate.load());
}

int32_t TSimSerialInterface::Write(const RawByteString& Data)
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    DataTrace(TraceSent, Data);
    if (!FOpen)
        return 0;
    ++FWriteCount;
    if (!Data.empty()) {
        FModule->Feed(Data, HeardLineSpeed(), GetTickCount32());
        SignalNextArrival();
    }
    return static_cast<int32_t>(Data.size());
}

// The module's output becomes readable on its schedule: the arrival signal
// is set to go off when the next piece is due.
void TSimSerialInterface::SignalNextArrival()
{
    if (std::optional<uint32_t> due = FModule->NextDue())
        FArrived.RaiseAt(*due);
}

void TSimSerialInterface::Collect()
{
    if (FOpen) {
        FRx += FModule->Poll(GetTickCount32());
        SignalNextArrival();
    }
}

void TSimSerialInterface::Read(RawByteString& Data)
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (FReadFails)
        throw Exception(FName + " - Read data error ");
    Collect();
    Data.swap(FRx);
    FRx.clear();
    DataTrace(TraceReceived, Data);
}

int32_t TSimSerialInterface::InQueueCount()
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    Collect();
    return static_cast<int32_t>(FRx.size());
}

void TSimSerialInterface::GetName(std::string& Name)
{
    Name = FName;
}

void TSimSerialInterface::SetPresent(bool Value)
{
    TSerialPortCoreInterface::SetPresent(Value);
    if (!Value)
        Close(true);
}

int32_t TSimSerialInterface::GetBaudRate()
{
    return FBaudRate;
}

void TSimSerialInterface::SetBaudRate(int32_t Rate)
{
    TSerialPortCoreInterface::SetBaudRate(Rate);  // range check and character time
    FBaudRate = Rate;
    NotifyChanged();
}

void TSimSerialInterface::SetDataBits(uint8_t Value)
{
    FDataBits = Value;
    NotifyChanged();
}

void TSimSerialInterface::SetStopBits(uint8_t Value)
{
    FStopBits = Value;
    NotifyChanged();
}

void TSimSerialInterface::SetParity(uint8_t Value)
{
    FParity = Value;
    NotifyChanged();
}

void TSimSerialInterface::PurgeRx()
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    Collect();
    FRx.clear();
}

}  // namespace kelvo
