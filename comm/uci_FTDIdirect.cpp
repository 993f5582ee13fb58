#include "uci_FTDIdirect.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "uLogUtils.h"
#include "uMessageSink.h"

namespace kelvo {

namespace {

constexpr std::array<const char*, static_cast<size_t>(TFTEntry::Count)> kEntryNames{
    "FT_Write", "FT_Open", "FT_Close", "FT_Read", "FT_SetBaudRate", "FT_SetDataCharacteristics",
    "FT_SetFlowControl", "FT_ResetDevice", "FT_SetDtr", "FT_ClrDtr", "FT_SetRts", "FT_ClrRts",
    "FT_GetModemStatus", "FT_SetChars", "FT_Purge", "FT_SetTimeouts", "FT_GetQueueStatus",
    "FT_ListDevices", "FT_ListDevices", "FT_ListDevices", "FT_OpenEx", "FT_GetDeviceInfoList",
    "FT_CreateDeviceInfoList", "FT_GetDeviceInfoDetail", "FT_SetEventNotification", "FT_EraseEE",
    "FT_EE_Read", "FT_EE_Program"};

struct TBinding {
    ftdirect::TLibrary Library = nullptr;
    std::array<void*, static_cast<size_t>(TFTEntry::Count)> Entries{};
};

TBinding& Binding()
{
    static TBinding b;
    return b;
}

// The users of the binding (reader threads) and their end.
struct TUsers {
    std::mutex Lock;
    std::condition_variable Ended;
    int32_t Count = 0;
};

TUsers& Users()
{
    static TUsers u;
    return u;
}

template <class F>
F* Entry(TFTEntry E)
{
    return reinterpret_cast<F*>(Binding().Entries[static_cast<size_t>(E)]);
}

using FHandleOnly = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE);

FT_STATUS CallHandleOnly(TFTEntry E, FT_HANDLE Handle)
{
    auto* f = Entry<FHandleOnly>(E);
    return f ? f(Handle) : FTStatusNotBound;
}

}  // namespace

const char* FTEntryName(TFTEntry E)
{
    const auto i = static_cast<size_t>(E);
    return i < kEntryNames.size() ? kEntryNames[i] : "";
}

bool BindFTDirect(const std::string& Path)
{
    if (!UnbindFTDirect())
        return false;
    std::string path = Path;
    if (path.empty())
        path = ftdirect::EnvironmentValue("KELVO_FTD2XX");
    if (path.empty())
        path = ftdirect::DefaultLibraryName();
    TBinding& b = Binding();
    b.Library = ftdirect::LoadLibraryFile(path);
    if (!b.Library)
        return false;
    for (size_t i = 0; i < kEntryNames.size(); ++i)
        b.Entries[i] = ftdirect::LibrarySymbol(b.Library, kEntryNames[i]);
    return true;
}

void FTDirectUseBegin()
{
    std::lock_guard<std::mutex> g(Users().Lock);
    ++Users().Count;
}

void FTDirectUseEnd()
{
    TUsers& u = Users();
    std::lock_guard<std::mutex> g(u.Lock);
    --u.Count;
    u.Ended.notify_all();
}

int32_t FTDirectUsers()
{
    std::lock_guard<std::mutex> g(Users().Lock);
    return Users().Count;
}

bool UnbindFTDirect(uint32_t WaitMs)
{
    // Held to the end: no user begins while the entries go.
    TUsers& u = Users();
    std::unique_lock<std::mutex> g(u.Lock);
    if (!u.Ended.wait_for(g, std::chrono::milliseconds(WaitMs), [&] { return u.Count <= 0; })) {
        Log("UnbindFTDirect refused: a reader thread still calls the driver", TLogSender("FTDirect"), u.Count);
        return false;
    }
    TBinding& b = Binding();
    b.Entries.fill(nullptr);
    if (b.Library)
        ftdirect::FreeLibraryFile(b.Library);
    b.Library = nullptr;
    return true;
}

bool FTDirectLoaded()
{
    return Binding().Library != nullptr;
}

bool FTDirectEntryBound(TFTEntry E)
{
    return Binding().Entries[static_cast<size_t>(E)] != nullptr;
}

FT_STATUS FTW_Write(FT_HANDLE Handle, const void* Buffer, uint32_t BytesToWrite, uint32_t* BytesWritten)
{
    using F = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE, const void*, uint32_t, uint32_t*);
    auto* f = Entry<F>(TFTEntry::Write);
    return f ? f(Handle, Buffer, BytesToWrite, BytesWritten) : FTStatusNotBound;
}

FT_STATUS FTW_Close(FT_HANDLE Handle)
{
    return CallHandleOnly(TFTEntry::Close, Handle);
}

FT_STATUS FTW_Read(FT_HANDLE Handle, void* Buffer, uint32_t BytesToRead, uint32_t* BytesReturned)
{
    using F = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE, void*, uint32_t, uint32_t*);
    auto* f = Entry<F>(TFTEntry::Read);
    return f ? f(Handle, Buffer, BytesToRead, BytesReturned) : FTStatusNotBound;
}

FT_STATUS FTW_SetBaudRate(FT_HANDLE Handle, uint32_t BaudRate)
{
    using F = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE, uint32_t);
    auto* f = Entry<F>(TFTEntry::SetBaudRate);
    return f ? f(Handle, BaudRate) : FTStatusNotBound;
}

FT_STATUS FTW_SetDataCharacteristics(FT_HANDLE Handle, uint8_t WordLength, uint8_t StopBits, uint8_t Parity)
{
    using F = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE, uint8_t, uint8_t, uint8_t);
    auto* f = Entry<F>(TFTEntry::SetDataCharacteristics);
    return f ? f(Handle, WordLength, StopBits, Parity) : FTStatusNotBound;
}

FT_STATUS FTW_ResetDevice(FT_HANDLE Handle)
{
    if (!Handle)
        return FTStatusNotBound;
    return CallHandleOnly(TFTEntry::ResetDevice, Handle);
}

FT_STATUS FTW_SetDtr(FT_HANDLE Handle)
{
    return CallHandleOnly(TFTEntry::SetDtr, Handle);
}

FT_STATUS FTW_ClrDtr(FT_HANDLE Handle)
{
    return CallHandleOnly(TFTEntry::ClrDtr, Handle);
}

FT_STATUS FTW_SetRts(FT_HANDLE Handle)
{
    return CallHandleOnly(TFTEntry::SetRts, Handle);
}

FT_STATUS FTW_ClrRts(FT_HANDLE Handle)
{
    return CallHandleOnly(TFTEntry::ClrRts, Handle);
}

FT_STATUS FTW_Purge(FT_HANDLE Handle, uint32_t Mask)
{
    using F = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE, uint32_t);
    auto* f = Entry<F>(TFTEntry::Purge);
    return f ? f(Handle, Mask) : FTStatusNotBound;
}

FT_STATUS FTW_GetQueueStatus(FT_HANDLE Handle, uint32_t* RxBytes)
{
    using F = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE, uint32_t*);
    auto* f = Entry<F>(TFTEntry::GetQueueStatus);
    return f ? f(Handle, RxBytes) : FTStatusNotBound;
}

FT_STATUS FTW_ListDevices(void* Arg1, void* Arg2, uint32_t Flags)
{
    using F = FT_STATUS KELVO_D2XX_CALL(void*, void*, uint32_t);
    auto* f = Entry<F>(TFTEntry::ListDevices);
    return f ? f(Arg1, Arg2, Flags) : FTStatusNotBound;
}

FT_STATUS FTW_OpenEx(void* Arg, uint32_t Flags, FT_HANDLE* Handle)
{
    using F = FT_STATUS KELVO_D2XX_CALL(void*, uint32_t, FT_HANDLE*);
    auto* f = Entry<F>(TFTEntry::OpenEx);
    return f ? f(Arg, Flags, Handle) : FTStatusNotBound;
}

FT_STATUS FTW_CreateDeviceInfoList(uint32_t* NumDevices)
{
    using F = FT_STATUS KELVO_D2XX_CALL(uint32_t*);
    auto* f = Entry<F>(TFTEntry::CreateDeviceInfoList);
    return f ? f(NumDevices) : FTStatusNotBound;
}

FT_STATUS FTW_GetDeviceInfoDetail(uint32_t Index, uint32_t* Flags, uint32_t* Type, uint32_t* ID, uint32_t* LocId,
                                  void* SerialNumber, void* Description, FT_HANDLE* Handle)
{
    using F = FT_STATUS KELVO_D2XX_CALL(uint32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*, void*, void*,
                                        FT_HANDLE*);
    auto* f = Entry<F>(TFTEntry::GetDeviceInfoDetail);
    return f ? f(Index, Flags, Type, ID, LocId, SerialNumber, Description, Handle) : FTStatusNotBound;
}

FT_STATUS FTW_SetEventNotification(FT_HANDLE Handle, uint32_t Mask, void* Param)
{
    using F = FT_STATUS KELVO_D2XX_CALL(FT_HANDLE, uint32_t, void*);
    auto* f = Entry<F>(TFTEntry::SetEventNotification);
    return f ? f(Handle, Mask, Param) : FTStatusNotBound;
}

FT_STATUS FTW_EraseEE(FT_HANDLE Handle)
{
    return CallHandleOnly(TFTEntry::EraseEE, Handle);
}

std::string FTStatusText(FT_STATUS Status)
{
    switch (Status) {
    case FT_OK: return std::string();
    case FT_INVALID_HANDLE: return " - Invalid Handle...";
    case FT_DEVICE_NOT_FOUND: return " - Device Not Found....";
    case FT_DEVICE_NOT_OPENED: return " - Device Not Opened...";
    case FT_IO_ERROR: return " - General IO Error...";
    case FT_INSUFFICIENT_RESOURCES: return " - Insufficient Resources...";
    case FT_INVALID_PARAMETER: return " - Invalid Parameter ...";
    case FTStatusNotBound: return " - Ftdi Direct Driver DLL not found...";
    default: return " - Unknown Status " + std::to_string(Status) + "...";
    }
}

void ShowFTError(const std::string& Prefix, FT_STATUS Status)
{
    if (Status == FT_OK)
        return;
    const std::string text = Prefix + FTStatusText(Status);
    if (Status == FTStatusNotBound)
        return;
    ShowMessage(text);
}

}  // namespace kelvo
