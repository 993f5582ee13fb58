#pragma once
// The device manager: the list of every channel through which a module
// might be reached - one serial port per COM port present, then one FTDI
// device per chip the D2XX driver reports - and the plug events that add
// to it or mark its entries gone.
//
// One manager exists while the program runs; it is created and used on the
// main thread. Plug events reach it there and become OnArrival/OnRemoval:
//  - Windows: WM_DEVICECHANGE at a hidden window of the manager (COM ports,
//    and the D2XX device interface class registered for);
//  - Linux: the kernel's device events for tty nodes (COMn by the node the
//    number maps to) and, while D2XX is bound, for FTDI USB devices (by
//    their serial number); while KELVO_PORTS_DIR is set, a watch on that
//    folder instead: a link comN is COM port N, an entry usb-<serial> the
//    FTDI device with that serial number. The watch runs on a thread of its
//    own and posts each event to the main-thread queue, so the events run
//    when the main thread drains it.
//
// The list has its own recursive lock; the module search holds it from
// before Refresh until its iteration ends, and Arrival/Removal take it too.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "uEventer.h"
#include "uci_ICommunicationInterface.h"

namespace kelvo {

namespace ftdimanager {
class TPlugWatch;
}

class TFTDIManager {
public:
    // Starts following plug events (on the calling thread, the main one).
    TFTDIManager();
    // Clears the handlers, stops following plug events and releases the list.
    ~TFTDIManager();
    TFTDIManager(const TFTDIManager&) = delete;
    TFTDIManager& operator=(const TFTDIManager&) = delete;

    // Rebuilds the list: COM1-COM255 that exist (free or in use), ascending,
    // then the D2XX devices from the highest driver index down to 0. 0 on
    // success; -1 when the driver could not count its devices (the COM
    // ports are listed all the same, and a driver error is shown unless the
    // library is missing). Opens nothing.
    int32_t Refresh();

    void Lock();
    void Unlock();
    int32_t Count();
    // Iteration: the first entry (empty for an empty list), then the next
    // one after each call (empty past the end).
    void First(IntfPtr<ICommunicationInterface>& Device);
    void Next(IntfPtr<ICommunicationInterface>& Device);

    void SetOnArrival(const TCiNotifyEvent& Handler);
    TCiNotifyEvent GetOnArrival();
    void SetOnRemoval(const TCiNotifyEvent& Handler);
    TCiNotifyEvent GetOnRemoval();

    // A channel named Name arrived: the entry of that name is marked present
    // (a USB device is closed by force), or a new one is appended - a serial
    // port for a name beginning with "COM", else an FTDI device with that
    // serial number; then OnArrival with it.
    void Arrival(const std::string& Name);
    // The entry named Name is marked not present (closing it by force);
    // then OnRemoval with it, or with an empty reference for a name never
    // listed. The entry stays in the list.
    void Removal(const std::string& Name);

    // Feeds one device-change record to the manager's message window, as
    // Windows delivers it (Event: the message's wParam, Record: its lParam,
    // a DEV_BROADCAST_HDR or null). True when it was delivered; always
    // false where plug events are not window messages.
    bool DeliverDeviceChange(uintptr_t Event, const void* Record);

private:
    IntfPtr<ICommunicationInterface> Find(const std::string& Name);
    void ClearList();

    std::recursive_mutex FLock;
    std::vector<IntfPtr<ICommunicationInterface>> FList;
    int32_t FIndex = -1;
    std::mutex FHandlerSync;
    TCiNotifyEvent FOnArrival;
    TCiNotifyEvent FOnRemoval;
    std::unique_ptr<ftdimanager::TPlugWatch> FWatch;
};

// --- the names plug events carry --------------------------------------------

// The serial number in a device interface path: its third "#"-separated
// piece ("\\?\USB#VID_0403&PID_6001#FT12AB34#{...}" -> "FT12AB34"). A path
// with fewer pieces raises ERangeError.
std::string DevicePathSerialNumber(const std::string& Path);

// The channel name of an entry of the ports folder: "com5" -> "COM5",
// "usb-FT12AB34" -> "FT12AB34" (only while WithUsb); nothing for anything
// else (temporary and hidden files included).
std::optional<std::string> PortsFolderEntryName(const std::string& FileName, bool WithUsb);

// One kernel device event ("add@/devices/...\0ACTION=add\0SUBSYSTEM=tty\0...").
struct TDeviceEvent {
    std::string Action;     // "add", "remove", ...
    std::string DevPath;    // "/devices/..."
    std::string Subsystem;  // "tty", "usb"
    std::string DevType;    // "usb_device"
    std::string DevName;    // "ttyUSB0", "bus/usb/001/004"
    std::string Product;    // "403/6001/600": vendor/product/release in hex
};
std::optional<TDeviceEvent> ParseDeviceEvent(const char* Data, size_t Size);

// The COM number whose device node is /dev/<DevName> ("ttyUSB0" -> 33); 0
// for a node no COM number maps to.
int ComNumberOfNode(const std::string& DevName);

// True for the USB device event of an FTDI chip (vendor 0403).
bool IsFTDIUsbDevice(const TDeviceEvent& Event);

}  // namespace kelvo
