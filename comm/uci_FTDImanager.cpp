#include "uci_FTDImanager.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "AfComPortCore.h"
#include "uByteString.h"
#include "uExceptions.h"
#include "uLogUtils.h"
#include "uci_FTDIcore.h"
#include "uci_FTDImanager_os.h"
#include "uci_ISerialPortInterface.h"

namespace kelvo {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr uint16_t kHighestComPort = 255;

const TLogSender& ManagerSender()
{
    static const TLogSender sender("TFTDIManager");
    return sender;
}

}  // namespace

TFTDIManager::TFTDIManager()
{
    FWatch = ftdimanager::StartPlugWatch(*this);
}

TFTDIManager::~TFTDIManager()
{
    SetOnArrival(nullptr);
    SetOnRemoval(nullptr);
    FWatch.reset();
    Guard guard(FLock);
    ClearList();
}

void TFTDIManager::ClearList()
{
    std::vector<IntfPtr<ICommunicationInterface>> items;
    items.swap(FList);
    FIndex = -1;
    for (auto& item : items) {
        // An open device that only the list and its own reader hold would
        // never be freed (nor its chip opened again).
        if (auto* device = dynamic_cast<TFTDIDevice*>(item.get()))
            device->ReleaseIfOrphaned(0);
        item = nullptr;
    }
}

int32_t TFTDIManager::Refresh()
{
    Guard guard(FLock);
    ClearList();
    for (uint16_t n = 1; n <= kHighestComPort; ++n) {
        if (ProbeComPort(n) == cpsNotFound)
            continue;
        IntfPtr<TSerialPortInterface> port = MakeIntf<TSerialPortInterface>("comport=" + std::to_string(n));
        FList.emplace_back(port->AsInterface());
    }
    uint32_t count = 0;
    const FT_STATUS status = FTW_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    if (status != FT_OK) {
        ShowFTError("GetFTDeviceCount", status);
        return -1;
    }
    for (uint32_t i = count; i-- > 0;) {
        IntfPtr<TFTDIDevice> device =
            MakeIntf<TFTDIDevice>(TFTDIDevice::TFromIndex{static_cast<int32_t>(i)}, std::string());
        FList.emplace_back(device->AsInterface());
    }
    return 0;
}

void TFTDIManager::Lock()
{
    FLock.lock();
}

void TFTDIManager::Unlock()
{
    FLock.unlock();
}

int32_t TFTDIManager::Count()
{
    Guard guard(FLock);
    return static_cast<int32_t>(FList.size());
}

void TFTDIManager::First(IntfPtr<ICommunicationInterface>& Device)
{
    Guard guard(FLock);
    FIndex = 0;
    Device = FList.empty() ? nullptr : FList[0];
}

void TFTDIManager::Next(IntfPtr<ICommunicationInterface>& Device)
{
    Guard guard(FLock);
    ++FIndex;
    Device = FIndex >= 0 && static_cast<size_t>(FIndex) < FList.size() ? FList[static_cast<size_t>(FIndex)] : nullptr;
}

void TFTDIManager::SetOnArrival(const TCiNotifyEvent& Handler)
{
    std::lock_guard<std::mutex> g(FHandlerSync);
    FOnArrival = Handler;
}

TCiNotifyEvent TFTDIManager::GetOnArrival()
{
    std::lock_guard<std::mutex> g(FHandlerSync);
    return FOnArrival;
}

void TFTDIManager::SetOnRemoval(const TCiNotifyEvent& Handler)
{
    std::lock_guard<std::mutex> g(FHandlerSync);
    FOnRemoval = Handler;
}

TCiNotifyEvent TFTDIManager::GetOnRemoval()
{
    std::lock_guard<std::mutex> g(FHandlerSync);
    return FOnRemoval;
}

IntfPtr<ICommunicationInterface> TFTDIManager::Find(const std::string& Name)
{
    std::string name;
    for (const auto& item : FList) {
        item->GetName(name);
        if (name == Name)
            return item;
    }
    return nullptr;
}

void TFTDIManager::Arrival(const std::string& Name)
{
    Guard guard(FLock);
    Log("Arrival " + Name, ManagerSender());
    IntfPtr<ICommunicationInterface> device = Find(Name);
    if (device) {
        device->SetPresent(true);
    } else if (Name.compare(0, 3, "COM") == 0) {
        IntfPtr<TSerialPortInterface> port = MakeIntf<TSerialPortInterface>(Name);
        device = IntfPtr<ICommunicationInterface>(port->AsInterface());
        FList.push_back(device);
    } else {
        IntfPtr<TFTDIDevice> usb = MakeIntf<TFTDIDevice>(TFTDIDevice::TFromSerialNumber{Name}, std::string());
        device = IntfPtr<ICommunicationInterface>(usb->AsInterface());
        FList.push_back(device);
    }
    if (TCiNotifyEvent handler = GetOnArrival())
        handler(device.get());
}

void TFTDIManager::Removal(const std::string& Name)
{
    Guard guard(FLock);
    Log("Removal " + Name, ManagerSender());
    IntfPtr<ICommunicationInterface> device = Find(Name);
    if (device)
        device->SetPresent(false);
    if (TCiNotifyEvent handler = GetOnRemoval())
        handler(device.get());
}

bool TFTDIManager::DeliverDeviceChange(uintptr_t Event, const void* Record)
{
    return FWatch && FWatch->Deliver(Event, Record);
}

// ---- Names of plug events ------------------------------------------------------

std::string DevicePathSerialNumber(const std::string& Path)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t hash = Path.find('#', start);
        pieces.push_back(Path.substr(start, hash == std::string::npos ? std::string::npos : hash - start));
        if (hash == std::string::npos)
            break;
        start = hash + 1;
    }
    if (pieces.size() < 3)
        throw ERangeError("List index (2) out of bounds: device path \"" + Path + "\" names no serial number");
    return pieces[2];
}

std::optional<std::string> PortsFolderEntryName(const std::string& FileName, bool WithUsb)
{
    if (FileName.size() > 3 && FileName.compare(0, 3, "com") == 0) {
        const std::string digits = FileName.substr(3);
        if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0')
            return std::nullopt;
        return "COM" + digits;
    }
    if (WithUsb && FileName.size() > 4 && FileName.compare(0, 4, "usb-") == 0)
        return FileName.substr(4);
    return std::nullopt;
}

std::optional<TDeviceEvent> ParseDeviceEvent(const char* Data, size_t Size)
{
    // "ACTION@DEVPATH" first, then KEY=VALUE fields, each zero-terminated.
    // Other senders (udev's own records) start differently.
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < Size) {
        size_t n = 0;
        while (i + n < Size && Data[i + n] != '\0')
            ++n;
        fields.emplace_back(Data + i, n);
        i += n + 1;
    }
    if (fields.empty() || fields[0].find('@') == std::string::npos)
        return std::nullopt;
    TDeviceEvent e;
    for (size_t f = 1; f < fields.size(); ++f) {
        const size_t eq = fields[f].find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = fields[f].substr(0, eq);
        const std::string value = fields[f].substr(eq + 1);
        if (key == "ACTION")
            e.Action = value;
        else if (key == "DEVPATH")
            e.DevPath = value;
        else if (key == "SUBSYSTEM")
            e.Subsystem = value;
        else if (key == "DEVTYPE")
            e.DevType = value;
        else if (key == "DEVNAME")
            e.DevName = value;
        else if (key == "PRODUCT")
            e.Product = value;
    }
    if (e.Action.empty())
        return std::nullopt;
    return e;
}

int ComNumberOfNode(const std::string& DevName)
{
    if (DevName.empty())
        return 0;
    const std::string node = DevName[0] == '/' ? DevName : "/dev/" + DevName;
    for (int n = 1; n <= kHighestComPort; ++n) {
        const std::string name = AfComPortDeviceName(n);
        if (name.empty())
            break;
        if (name == node)
            return n;
    }
    return 0;
}

bool IsFTDIUsbDevice(const TDeviceEvent& Event)
{
    if (Event.Subsystem != "usb" || Event.DevType != "usb_device")
        return false;
    unsigned vendor = 0;
    return std::sscanf(Event.Product.c_str(), "%x/", &vendor) == 1 && vendor == 0x0403;
}

// ---- Kernel device events on Linux ----------------------------------------------

namespace {

// The first line of a small sysfs attribute, without its line end.
std::string FirstLine(const std::filesystem::path& File)
{
    std::ifstream in(File);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

}  // namespace

TKernelPlugTracker::TKernelPlugTracker(std::string SysRoot, std::string DevRoot, bool WithUsb, TNodeReady NodeReady)
    : FSysRoot(std::move(SysRoot)), FDevRoot(std::move(DevRoot)), FWithUsb(WithUsb), FNodeReady(std::move(NodeReady))
{
}

size_t TKernelPlugTracker::LearnPresent()
{
    namespace fs = std::filesystem;
    if (!FWithUsb)
        return 0;
    std::error_code ec;
    const fs::path root = fs::canonical(FSysRoot, ec);
    if (ec)
        return 0;
    const std::string rootText = root.generic_string();
    size_t found = 0;
    // One link per USB device and interface, into the devices tree.
    for (const auto& entry : fs::directory_iterator(root / "bus" / "usb" / "devices", ec)) {
        if (FirstLine(entry.path() / "idVendor") != "0403")
            continue;
        const std::string serial = FirstLine(entry.path() / "serial");
        std::error_code ec2;
        const std::string path = fs::canonical(entry.path(), ec2).generic_string();
        if (serial.empty() || ec2 || path.compare(0, rootText.size(), rootText) != 0)
            continue;
        // As DEVPATH names it: "/devices/...".
        FUsbSerials[path.substr(rootText.size())] = serial;
        ++found;
    }
    return found;
}

std::string TKernelPlugTracker::ReadSerial(const std::string& DevPath) const
{
    return FirstLine(std::filesystem::path(FSysRoot + DevPath) / "serial");
}

std::string TKernelPlugTracker::SerialOf(const std::string& DevPath) const
{
    const auto it = FUsbSerials.find(DevPath);
    return it == FUsbSerials.end() ? std::string() : it->second;
}

std::vector<TKernelPlugTracker::TPlug> TKernelPlugTracker::Event(const TDeviceEvent& E, uint32_t Now)
{
    if (E.Action != "add" && E.Action != "remove")
        return {};
    const bool arrived = E.Action == "add";
    TPlug plug{arrived, std::string()};
    if (E.Subsystem == "tty") {
        const int n = ComNumberOfNode(E.DevName);
        if (n == 0)
            return {};
        plug.Name = "COM" + std::to_string(n);
    } else if (FWithUsb && IsFTDIUsbDevice(E)) {
        if (arrived) {
            plug.Name = ReadSerial(E.DevPath);
            if (plug.Name.empty())
                return {};  // D2XX opens a chip by its serial number: one without cannot be used
            FUsbSerials[E.DevPath] = plug.Name;
        } else {
            const auto it = FUsbSerials.find(E.DevPath);
            if (it == FUsbSerials.end())
                return {};
            plug.Name = it->second;
            FUsbSerials.erase(it);
        }
    } else {
        return {};
    }
    // Whatever was held for this device is over.
    for (size_t i = 0; i < FHeld.size();) {
        if (FHeld[i].DevPath == E.DevPath && FHeld[i].Plug.Name == plug.Name)
            FHeld.erase(FHeld.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
    if (!arrived || E.DevName.empty())
        return {plug};
    const std::string node = E.DevName[0] == '/' ? E.DevName : FDevRoot + "/" + E.DevName;
    if (!FNodeReady || FNodeReady(node))
        return {plug};
    FHeld.push_back(THeld{plug, E.DevPath, node, Now, Now + kLookMs});
    return {};
}

std::vector<TKernelPlugTracker::TPlug> TKernelPlugTracker::Due(uint32_t Now)
{
    std::vector<TPlug> out;
    for (size_t i = 0; i < FHeld.size();) {
        THeld& h = FHeld[i];
        if (static_cast<int32_t>(Now - h.NextLook) < 0) {
            ++i;
            continue;
        }
        if (FNodeReady(h.Node) || Now - h.Since >= kHoldMs) {
            out.push_back(h.Plug);
            FHeld.erase(FHeld.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            h.NextLook = Now + kLookMs;
            ++i;
        }
    }
    return out;
}

int TKernelPlugTracker::NextLookMs(uint32_t Now) const
{
    int next = -1;
    for (const THeld& h : FHeld) {
        const int32_t wait = static_cast<int32_t>(h.NextLook - Now);
        const int ms = wait < 0 ? 0 : wait;
        if (next < 0 || ms < next)
            next = ms;
    }
    return next;
}

}  // namespace kelvo
