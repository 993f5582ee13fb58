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
#include <functional>
#include <map>
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

// What the Linux watch makes of the kernel's device events, apart from the
// socket they come on (the watch is in uci_FTDImanager_posix.cpp; tests
// feed this recorded events and a sysfs tree of their own):
//  - FTDI chips are named by their serial number, which only their sysfs
//    folder tells (a remove event no longer can): the ones present when
//    the watch starts are learnt from <SysRoot>/bus/usb/devices (idVendor
//    0403 and serial), later ones from their add event, so that the
//    removal of either is reported;
//  - an arrival is held until its device node (/dev/<DEVNAME>) lets this
//    user read and write it: the kernel's event comes before udev has set
//    the node's owner, group or ACL, and a probe made then fails for a
//    normal user. It is looked at every kLookMs and passed on at the
//    latest after kHoldMs (a node that never opens for us fails its probe
//    as before). A removal drops a held arrival of the same device.
class TKernelPlugTracker {
public:
    static constexpr uint32_t kLookMs = 50;
    static constexpr uint32_t kHoldMs = 2000;

    struct TPlug {
        bool Arrived = false;
        std::string Name;  // "COM33", or an FTDI chip's serial number
        bool operator==(const TPlug&) const = default;
    };
    // Whether this user may open the node at Path for reading and writing.
    using TNodeReady = std::function<bool(const std::string& Path)>;

    TKernelPlugTracker(std::string SysRoot, std::string DevRoot, bool WithUsb, TNodeReady NodeReady);

    // Learns the FTDI chips present now; their count.
    size_t LearnPresent();
    // One event at tick Now: what to report at once (arrivals whose node
    // is ready, removals).
    std::vector<TPlug> Event(const TDeviceEvent& E, uint32_t Now);
    // Held arrivals that are ready, or held long enough, by tick Now.
    std::vector<TPlug> Due(uint32_t Now);
    // Milliseconds until Due has something to look at; -1 when nothing is held.
    int NextLookMs(uint32_t Now) const;

    // The serial number learnt for the USB device at a sysfs path
    // ("/devices/.../1-2"), empty when none is known.
    std::string SerialOf(const std::string& DevPath) const;

private:
    struct THeld {
        TPlug Plug;
        std::string DevPath;
        std::string Node;
        uint32_t Since = 0;
        uint32_t NextLook = 0;
    };
    std::string ReadSerial(const std::string& DevPath) const;

    std::string FSysRoot;
    std::string FDevRoot;
    bool FWithUsb;
    TNodeReady FNodeReady;
    std::map<std::string, std::string> FUsbSerials;  // sysfs path -> serial number
    std::vector<THeld> FHeld;
};

}  // namespace kelvo
