#pragma once
// The binding to FTDI's D2XX driver library, loaded at run time: ftd2xx.dll
// on Windows, libftd2xx.so on Linux, or the library the environment
// variable KELVO_FTD2XX names (the simulated one in tests and the demo, an
// unusual install). The library is optional: without it every wrapper
// returns FTStatusNotBound and the program works with COM ports only.
//
// Every wrapper takes the arguments of the D2XX function of the same name
// and returns its status. A driver handle is pointer-sized: it is kept and
// passed as FT_HANDLE everywhere, never as a 32-bit number.
//
// BindFTDirect runs once on the main thread when the program starts, before
// any device exists; UnbindFTDirect when it ends, after every device is
// closed. In between the entries do not change, and the wrappers may be
// called from any thread. The reader threads of open devices call them on
// their own: each one holds a use of the binding while it lives, and
// unbinding waits for them, or refuses (the library then stays loaded)
// while one still runs - a device whose FT_Close the driver refused keeps
// its reader.

#include <cstdint>
#include <string>

#ifdef _WIN32
#define KELVO_D2XX_CALL __stdcall
#else
#define KELVO_D2XX_CALL
#endif

namespace kelvo {

using FT_HANDLE = void*;
using FT_STATUS = uint32_t;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
// Ours: the library or the entry point is not there.
constexpr FT_STATUS FTStatusNotBound = 0xFFFF;

constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr uint32_t FT_LIST_NUMBER_ONLY = 0x80000000u;
constexpr uint32_t FT_PURGE_RX = 1;
constexpr uint32_t FT_PURGE_TX = 2;
constexpr uint32_t FT_EVENT_RXCHAR = 1;
constexpr uint32_t FT_EVENT_MODEM_STATUS = 2;

// Buffer sizes FT_GetDeviceInfoDetail fills (zero-terminated texts).
constexpr size_t FTSerialNumberSize = 16;
constexpr size_t FTDescriptionSize = 64;

// The entries in the order they are bound.
enum class TFTEntry : int {
    Write, Open, Close, Read, SetBaudRate, SetDataCharacteristics, SetFlowControl, ResetDevice,
    SetDtr, ClrDtr, SetRts, ClrRts, GetModemStatus, SetChars, Purge, SetTimeouts, GetQueueStatus,
    ListDevices, ListDevices2, ListDevices3, OpenEx, GetDeviceInfoList, CreateDeviceInfoList,
    GetDeviceInfoDetail, SetEventNotification, EraseEE, EE_Read, EE_Program,
    Count
};

// The name looked up for an entry ("FT_Write"; the three list forms share
// "FT_ListDevices").
const char* FTEntryName(TFTEntry Entry);

// Loads the library and binds every entry it has; a name it lacks leaves
// that entry empty. Path empty: KELVO_FTD2XX when set, else the system's
// library name. An earlier binding is released first. True when a library
// was loaded.
bool BindFTDirect(const std::string& Path = std::string());
// Releases the library; every entry is empty afterwards. While a user of
// the binding (a reader thread) lives, waits at most WaitMs for it to end;
// if one is still there, logs it and refuses: nothing changes and the
// result is false.
bool UnbindFTDirect(uint32_t WaitMs = 1000);
bool FTDirectLoaded();
bool FTDirectEntryBound(TFTEntry Entry);

// A thread that calls the wrappers on its own (a device's reader) holds a
// use of the binding from before its first call to after its last.
void FTDirectUseBegin();
void FTDirectUseEnd();
int32_t FTDirectUsers();

// The wrappers. Unbound: FTStatusNotBound, nothing called.
FT_STATUS FTW_Write(FT_HANDLE Handle, const void* Buffer, uint32_t BytesToWrite, uint32_t* BytesWritten);
FT_STATUS FTW_Close(FT_HANDLE Handle);
FT_STATUS FTW_Read(FT_HANDLE Handle, void* Buffer, uint32_t BytesToRead, uint32_t* BytesReturned);
FT_STATUS FTW_SetBaudRate(FT_HANDLE Handle, uint32_t BaudRate);
FT_STATUS FTW_SetDataCharacteristics(FT_HANDLE Handle, uint8_t WordLength, uint8_t StopBits, uint8_t Parity);
// Also FTStatusNotBound, without calling the driver, for a zero handle.
FT_STATUS FTW_ResetDevice(FT_HANDLE Handle);
FT_STATUS FTW_SetDtr(FT_HANDLE Handle);
FT_STATUS FTW_ClrDtr(FT_HANDLE Handle);
FT_STATUS FTW_SetRts(FT_HANDLE Handle);
FT_STATUS FTW_ClrRts(FT_HANDLE Handle);
FT_STATUS FTW_Purge(FT_HANDLE Handle, uint32_t Mask);
FT_STATUS FTW_GetQueueStatus(FT_HANDLE Handle, uint32_t* RxBytes);
// The first of the three forms: (pointer to the count, null, FT_LIST_NUMBER_ONLY).
FT_STATUS FTW_ListDevices(void* Arg1, void* Arg2, uint32_t Flags);
FT_STATUS FTW_OpenEx(void* Arg, uint32_t Flags, FT_HANDLE* Handle);
FT_STATUS FTW_CreateDeviceInfoList(uint32_t* NumDevices);
FT_STATUS FTW_GetDeviceInfoDetail(uint32_t Index, uint32_t* Flags, uint32_t* Type, uint32_t* ID, uint32_t* LocId,
                                  void* SerialNumber, void* Description, FT_HANDLE* Handle);
// Param: on Windows the event to set; on Linux the driver's condition
// variable record (TFTEventRecord, uci_FTDIdirect_posix.h).
FT_STATUS FTW_SetEventNotification(FT_HANDLE Handle, uint32_t Mask, void* Param);
FT_STATUS FTW_EraseEE(FT_HANDLE Handle);

// " - Device Not Found....": the text a status is shown with, after its
// prefix. Statuses without a text of their own are named by number.
std::string FTStatusText(FT_STATUS Status);

// Shows Prefix + the status text through the message sink; nothing for
// FT_OK, nor for FTStatusNotBound (a machine without the library never
// sees a driver error).
void ShowFTError(const std::string& Prefix, FT_STATUS Status);

namespace ftdirect {
// Backend (uci_FTDIdirect_posix.cpp, uci_FTDIdirect_win32.cpp).
using TLibrary = void*;
// The library file used when neither a path nor KELVO_FTD2XX names one.
const char* DefaultLibraryName();
std::string EnvironmentValue(const char* Name);
TLibrary LoadLibraryFile(const std::string& Path);
void* LibrarySymbol(TLibrary Library, const char* Name);
void FreeLibraryFile(TLibrary Library);
}  // namespace ftdirect

}  // namespace kelvo
