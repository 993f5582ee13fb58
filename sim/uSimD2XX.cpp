// The simulated D2XX library (see uSimD2XX.h for what it serves and how it
// is told). One serving thread per open device delivers the module's
// output when it is due and sets the program's event.
#include "uSimD2XX.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "uByteString.h"
#include "uSimModule.h"
#include "uVerdel97.h"
#include "uci_FTDIdirect.h"

using namespace kelvo;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kDefaultLineSpeed = 115200;
constexpr uint8_t kWriteEnable = 0xE4;
constexpr uint8_t kBroadcast = 0xFE;
constexpr FT_STATUS kOtherError = 18;  // FT_OTHER_ERROR

using Clock = std::chrono::steady_clock;

uint32_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(Clock::now().time_since_epoch()).count());
}

std::string Trim(const std::string& S)
{
    const auto b = S.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    return S.substr(b, S.find_last_not_of(" \t\r\n") - b + 1);
}

unsigned long Number(const std::string& S, unsigned long Default)
{
    char* end = nullptr;
    const unsigned long v = std::strtoul(S.c_str(), &end, 10);
    return end && end != S.c_str() && *end == '\0' ? v : Default;
}

// What an entry file says about its device.
struct TEntry {
    std::string Description = "Kelvo USB module";
    TSimSettings Settings = DefaultSimSettings(TSimModel::KelvoUSB);
    long UnplugAfterReads = -1;
    size_t ShortReads = 0;
    FT_STATUS UnplugStatus = FT_IO_ERROR;  // what calls on the unplugged device return
    long CloseRefusals = 0;
    std::vector<RawByteString> Writes;  // instruction + data
};

void ApplyFaults(TSimFaults& F, const std::string& List)
{
    size_t start = 0;
    while (start <= List.size()) {
        const size_t comma = List.find(',', start);
        const std::string item = Trim(List.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        const size_t colon = item.find(':');
        const std::string name = item.substr(0, colon);
        const std::string arg = colon == std::string::npos ? std::string() : item.substr(colon + 1);
        if (name == "silent")
            F.Silent = true;
        else if (name == "slow")
            F.SlowLine = true;
        else if (name == "stray-byte")
            F.StrayByte = true;
        else if (name == "bad-checksum")
            F.BadChecksum = true;
        else if (name == "unstable")
            F.Unstable = true;
        else if (name == "every-second")
            F.EverySecond = true;
        else if (name == "chunks")
            F.ChunkSize = Number(arg, 8);
        else if (name == "vanish-after")
            F.VanishAfter = static_cast<int32_t>(Number(arg, 0));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

TEntry ReadEntry(const fs::path& Path)
{
    TEntry e;
    uint32_t speed = kDefaultLineSpeed;
    std::ifstream in(Path, std::ios::binary);
    std::vector<std::string> channels;
    TSimFaults faults;
    for (std::string line; std::getline(in, line);) {
        line = Trim(line);
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        TSimSettings& s = e.Settings;
        if (key == "description") {
            e.Description = value.substr(0, FTDescriptionSize - 1);
        } else if (key == "model") {
            if (auto m = ParseSimModel(value)) {
                const TSimSettings fresh = DefaultSimSettings(*m);
                s.Model = fresh.Model;
                s.Channels = fresh.Channels;
            }
        } else if (key == "speed") {
            speed = static_cast<uint32_t>(Number(value, kDefaultLineSpeed));
        } else if (key == "address") {
            s.Address = static_cast<uint8_t>(std::min<unsigned long>(Number(value, 1), 253));
        } else if (key == "serial") {
            s.SerialNumber = static_cast<uint16_t>(Number(value, 256));
        } else if (key == "product") {
            s.ProductCode = static_cast<uint16_t>(Number(value, 42));
        } else if (key == "user") {
            s.UserData = value;
        } else if (key == "reply-delay") {
            s.ReplyDelayMs = static_cast<uint32_t>(Number(value, 0));
        } else if (key == "channel") {
            channels.push_back(value);
        } else if (key == "faults") {
            ApplyFaults(faults, value);
        } else if (key == "unplug-after-reads") {
            e.UnplugAfterReads = static_cast<long>(Number(value, 0));
        } else if (key == "short-reads") {
            e.ShortReads = Number(value, 0);
        } else if (key == "unplug-status") {
            e.UnplugStatus = static_cast<FT_STATUS>(Number(value, FT_IO_ERROR));
        } else if (key == "close-refusals") {
            e.CloseRefusals = static_cast<long>(Number(value, 0));
        } else if (key == "write") {
            try {
                e.Writes.push_back(FromHex(value));
            } catch (...) {
            }
        }
    }
    TSimSettings& s = e.Settings;
    s.SpeedCode = 10;
    s.LineSpeed = speed;
    for (uint8_t c = 0; c < 12; ++c)
        if (SimSpeedOfCode(c) == speed) {
            s.SpeedCode = c;
            s.LineSpeed = 0;
        }
    for (const std::string& c : channels) {
        try {
            ApplySimChannelOption(s, c);
        } catch (...) {
        }
    }
    s.Faults = faults;
    return e;
}

fs::path PortsDir()
{
    const char* dir = std::getenv("KELVO_PORTS_DIR");
    return dir && *dir ? fs::path(dir) : fs::path();
}

// The serial numbers of the devices present, in ascending order.
std::vector<std::string> PresentSerials()
{
    std::vector<std::string> serials;
    const fs::path dir = PortsDir();
    std::error_code ec;
    if (dir.empty() || !fs::is_directory(dir, ec))
        return serials;
    for (const auto& item : fs::directory_iterator(dir, ec)) {
        const std::string name = item.path().filename().string();
        if (name.size() > 4 && name.compare(0, 4, "usb-") == 0 && name.size() - 4 < FTSerialNumberSize)
            serials.push_back(name.substr(4));
    }
    std::sort(serials.begin(), serials.end());
    return serials;
}

fs::path EntryPath(const std::string& Serial)
{
    return PortsDir() / ("usb-" + Serial);
}

// One open device.
struct TOpen {
    std::string Serial;
    fs::path Entry;
    std::unique_ptr<TSimModule> Module;
    TEntry Setup;
    uint32_t Baud = 9600;
    uint8_t Bits = 8, Stop = 0, Parity = 0;
    RawByteString Rx;
    uint32_t EventMask = 0;
    void* EventParam = nullptr;
    bool SignalOnly = false;  // KELVO_FTD2XX_SIM_EVENTS=signal when the event was set
    long Reads = 0;
    long CloseCalls = 0;
    int BlockedReads = 0;  // FT_Read calls waiting for bytes
    bool Unplugged = false;
    bool Stopping = false;
    std::condition_variable Wake;
    std::condition_variable Queued;  // bytes queued, unplugged or closing
    std::thread Server;
};

std::mutex gLock;
std::map<FT_HANDLE, std::unique_ptr<TOpen>> gOpen;
std::vector<std::string> gInfoList;
uintptr_t gNextHandle = 0;
std::atomic<int64_t> gLastQueuedMicros{0};
std::atomic<int64_t> gOverReads{0};

uint32_t ReadCapMs()
{
    const char* v = std::getenv("KELVO_FTD2XX_SIM_READ_CAP_MS");
    return static_cast<uint32_t>(v && *v ? Number(v, 10000) : 10000);
}

// A handle that does not fit in 32 bits wherever pointers are wider, so a
// program that truncates one fails at once.
FT_HANDLE NewHandle()
{
    const uintptr_t base = sizeof(void*) > 4 ? uintptr_t(0x5A5A00000000ull) : uintptr_t(0x5A000000u);
    return reinterpret_cast<FT_HANDLE>(base + (++gNextHandle) * 0x10);
}

TOpen* Find(FT_HANDLE Handle)
{
    auto it = gOpen.find(Handle);
    return it == gOpen.end() ? nullptr : it->second.get();
}

// False (and the device gone for good) once its entry has vanished.
bool StillThere(TOpen& D)
{
    if (!D.Unplugged) {
        std::error_code ec;
        if (!fs::exists(D.Entry, ec))
            D.Unplugged = true;
    }
    return !D.Unplugged;
}

uint32_t HeardSpeed(const TOpen& D)
{
    return D.Bits == 8 && D.Stop == 0 && D.Parity == 0 ? D.Baud : 0;
}

// The module of an entry, with the writes it applied in earlier runs.
std::unique_ptr<TSimModule> MakeModule(TOpen& D)
{
    auto module = std::make_unique<TSimModule>(D.Setup.Settings);
    uint32_t t = NowMs();
    for (const RawByteString& w : D.Setup.Writes) {
        if (w.empty())
            continue;
        module->Feed(BuildVerdel97Packet(kBroadcast, 0x01, kWriteEnable, {}), module->LineSpeed(), t += 100);
        module->Feed(BuildVerdel97Packet(kBroadcast, 0x01, ByteAt(w, 0), w.substr(1)), module->LineSpeed(), t += 100);
    }
    module->DiscardOutput();
    module->ClearLogs();
    const fs::path entry = D.Entry;
    module->OnRequest = [entry](const TSimRequest& R) {
        if (R.Outcome != TSimOutcome::Applied)
            return;
        std::ofstream out(entry, std::ios::binary | std::ios::app);
        RawByteString w(1, static_cast<char>(R.Instruction));
        w += R.Data;
        std::string hex = ToHex(w);
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        out << "\nwrite=" << hex << "\n";
    };
    return module;
}

void Serve(TOpen* D)
{
    std::unique_lock<std::mutex> lock(gLock);
    while (!D->Stopping) {
        if (auto due = D->Module->NextDue()) {
            const int32_t wait = static_cast<int32_t>(*due - NowMs());
            if (wait > 0)
                D->Wake.wait_for(lock, std::chrono::milliseconds(wait));
        } else {
            D->Wake.wait(lock);
        }
        if (D->Stopping)
            break;
        RawByteString out = D->Module->Poll(NowMs());
        if (out.empty() || D->Unplugged)
            continue;
        D->Rx += out;
        gLastQueuedMicros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
        D->Queued.notify_all();
        if ((D->EventMask & FT_EVENT_RXCHAR) && D->EventParam)
            simd2xx::SignalDriverEvent(D->EventParam, D->SignalOnly);
    }
}

}  // namespace

#ifdef _WIN32
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

SIM_EXPORT int64_t KelvoSimD2XX_LastQueuedMicros()
{
    return gLastQueuedMicros;
}

SIM_EXPORT int64_t KelvoSimD2XX_OverReads()
{
    return gOverReads;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_ListDevices(void* Arg1, void* Arg2, uint32_t Flags)
{
    (void)Arg2;
    if (const char* fail = std::getenv("KELVO_FTD2XX_SIM_COUNT_STATUS"); fail && *fail)
        return static_cast<FT_STATUS>(std::strtoul(fail, nullptr, 10));
    if (Flags != FT_LIST_NUMBER_ONLY || !Arg1)
        return FT_INVALID_PARAMETER;
    *static_cast<uint32_t*>(Arg1) = static_cast<uint32_t>(PresentSerials().size());
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_CreateDeviceInfoList(uint32_t* NumDevices)
{
    std::lock_guard<std::mutex> g(gLock);
    gInfoList = PresentSerials();
    if (NumDevices)
        *NumDevices = static_cast<uint32_t>(gInfoList.size());
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_GetDeviceInfoDetail(uint32_t Index, uint32_t* Flags, uint32_t* Type,
                                                            uint32_t* ID, uint32_t* LocId, void* SerialNumber,
                                                            void* Description, FT_HANDLE* Handle)
{
    std::lock_guard<std::mutex> g(gLock);
    if (Index >= gInfoList.size())
        return FT_DEVICE_NOT_FOUND;
    const std::string& serial = gInfoList[Index];
    FT_HANDLE open = nullptr;
    for (const auto& [h, d] : gOpen)
        if (d->Serial == serial)
            open = h;
    const TEntry entry = ReadEntry(EntryPath(serial));
    if (Flags)
        *Flags = open ? 1 : 0;
    if (Type)
        *Type = 5;
    if (ID)
        *ID = 0x04036001;
    if (LocId)
        *LocId = Index + 1;
    if (SerialNumber)
        std::memcpy(SerialNumber, serial.c_str(), serial.size() + 1);
    if (Description)
        std::memcpy(Description, entry.Description.c_str(), entry.Description.size() + 1);
    if (Handle)
        *Handle = open;
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_OpenEx(void* Arg, uint32_t Flags, FT_HANDLE* Handle)
{
    if (!Arg || !Handle || Flags != FT_OPEN_BY_SERIAL_NUMBER)
        return FT_INVALID_PARAMETER;
    const std::string serial(static_cast<const char*>(Arg));
    const auto present = PresentSerials();
    if (std::find(present.begin(), present.end(), serial) == present.end())
        return FT_DEVICE_NOT_FOUND;
    std::lock_guard<std::mutex> g(gLock);
    for (const auto& item : gOpen)
        if (item.second->Serial == serial)
            return FT_DEVICE_NOT_OPENED;  // in use
    auto d = std::make_unique<TOpen>();
    d->Serial = serial;
    d->Entry = EntryPath(serial);
    d->Setup = ReadEntry(d->Entry);
    d->Module = MakeModule(*d);
    TOpen* raw = d.get();
    const FT_HANDLE h = NewHandle();
    gOpen[h] = std::move(d);
    raw->Server = std::thread([raw] { Serve(raw); });
    *Handle = h;
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_Close(FT_HANDLE Handle)
{
    std::unique_ptr<TOpen> d;
    {
        std::unique_lock<std::mutex> g(gLock);
        auto it = gOpen.find(Handle);
        if (it == gOpen.end())
            return FT_INVALID_HANDLE;
        if (it->second->CloseCalls++ < it->second->Setup.CloseRefusals)
            return kOtherError;  // refused: the device stays open in the driver
        d = std::move(it->second);
        gOpen.erase(it);
        d->Stopping = true;
        d->Wake.notify_all();
        d->Queued.notify_all();
        // A read blocked on another thread returns first.
        d->Queued.wait(g, [&] { return d->BlockedReads == 0; });
    }
    d->Server.join();
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_ResetDevice(FT_HANDLE Handle)
{
    std::lock_guard<std::mutex> g(gLock);
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!StillThere(*d))
        return d->Setup.UnplugStatus;
    d->Rx.clear();
    d->Module->DiscardOutput();
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_SetBaudRate(FT_HANDLE Handle, uint32_t BaudRate)
{
    std::lock_guard<std::mutex> g(gLock);
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!StillThere(*d))
        return d->Setup.UnplugStatus;
    if (BaudRate < 183 || BaudRate > 3000000)
        return FT_INVALID_PARAMETER;
    d->Baud = BaudRate;
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_SetDataCharacteristics(FT_HANDLE Handle, uint8_t WordLength,
                                                               uint8_t StopBits, uint8_t Parity)
{
    std::lock_guard<std::mutex> g(gLock);
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!StillThere(*d))
        return d->Setup.UnplugStatus;
    if ((WordLength != 7 && WordLength != 8) || StopBits > 2 || Parity > 4)
        return FT_INVALID_PARAMETER;
    d->Bits = WordLength;
    d->Stop = StopBits;
    d->Parity = Parity;
    return FT_OK;
}

namespace {

FT_STATUS LineCall(FT_HANDLE Handle)
{
    std::lock_guard<std::mutex> g(gLock);
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    return StillThere(*d) ? FT_OK : d->Setup.UnplugStatus;
}

}  // namespace

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_SetDtr(FT_HANDLE Handle)
{
    return LineCall(Handle);
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_ClrDtr(FT_HANDLE Handle)
{
    return LineCall(Handle);
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_SetRts(FT_HANDLE Handle)
{
    return LineCall(Handle);
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_ClrRts(FT_HANDLE Handle)
{
    return LineCall(Handle);
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_Purge(FT_HANDLE Handle, uint32_t Mask)
{
    std::lock_guard<std::mutex> g(gLock);
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!StillThere(*d))
        return d->Setup.UnplugStatus;
    if (Mask & FT_PURGE_RX) {
        d->Rx.clear();
        d->Module->DiscardOutput();
    }
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_GetQueueStatus(FT_HANDLE Handle, uint32_t* RxBytes)
{
    std::lock_guard<std::mutex> g(gLock);
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!StillThere(*d))
        return d->Setup.UnplugStatus;
    if (RxBytes)
        *RxBytes = static_cast<uint32_t>(d->Rx.size());
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_Read(FT_HANDLE Handle, void* Buffer, uint32_t BytesToRead,
                                             uint32_t* BytesReturned)
{
    std::unique_lock<std::mutex> g(gLock);
    if (BytesReturned)
        *BytesReturned = 0;
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!StillThere(*d))
        return d->Setup.UnplugStatus;
    if (d->Setup.UnplugAfterReads >= 0 && d->Reads >= d->Setup.UnplugAfterReads) {
        // Pulled out while reading: the device and its entry are gone.
        d->Unplugged = true;
        std::error_code ec;
        fs::remove(d->Entry, ec);
        return d->Setup.UnplugStatus;
    }
    if (d->Rx.size() < BytesToRead) {
        // No time-outs were set: the driver waits for the bytes asked for.
        const auto cap = Clock::now() + std::chrono::milliseconds(ReadCapMs());
        ++d->BlockedReads;
        bool capped = false;
        while (d->Rx.size() < BytesToRead && !d->Stopping && StillThere(*d)) {
            if (Clock::now() >= cap) {
                capped = true;
                break;
            }
            // The entry's removal is not signalled: look again now and then.
            d->Queued.wait_for(g, std::chrono::milliseconds(20));
        }
        --d->BlockedReads;
        d->Queued.notify_all();
        if (capped) {
            ++gOverReads;
            std::fprintf(stderr,
                         "simulated D2XX: FT_Read asked for %u bytes of %s with %zu queued and none came for %u ms; "
                         "the real driver would wait here for ever\n",
                         BytesToRead, d->Serial.c_str(), d->Rx.size(), ReadCapMs());
        }
        if (d->Stopping)
            return FT_INVALID_HANDLE;  // closed meanwhile
        if (!StillThere(*d))
            return d->Setup.UnplugStatus;
    }
    size_t n = std::min<size_t>(BytesToRead, d->Rx.size());
    if (d->Setup.ShortReads > 0)
        n = std::min(n, d->Setup.ShortReads);
    if (n > 0 && Buffer)
        std::memcpy(Buffer, d->Rx.data(), n);
    d->Rx.erase(0, n);
    ++d->Reads;
    if (BytesReturned)
        *BytesReturned = static_cast<uint32_t>(n);
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_Write(FT_HANDLE Handle, const void* Buffer, uint32_t BytesToWrite,
                                              uint32_t* BytesWritten)
{
    std::lock_guard<std::mutex> g(gLock);
    if (BytesWritten)
        *BytesWritten = 0;
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if (!StillThere(*d))
        return d->Setup.UnplugStatus;
    if (!Buffer && BytesToWrite > 0)
        return FT_INVALID_PARAMETER;
    d->Module->Feed(std::string_view(static_cast<const char*>(Buffer), BytesToWrite), HeardSpeed(*d), NowMs());
    d->Wake.notify_all();
    if (BytesWritten)
        *BytesWritten = BytesToWrite;
    return FT_OK;
}

#ifndef KELVO_SIM_D2XX_PARTIAL
// The partial build of the library lacks these two, as an old or stripped
// driver might.
SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_SetEventNotification(FT_HANDLE Handle, uint32_t Mask, void* Param)
{
    std::lock_guard<std::mutex> g(gLock);
    TOpen* d = Find(Handle);
    if (!d)
        return FT_INVALID_HANDLE;
    d->EventMask = Mask;
    d->EventParam = Param;
    const char* events = std::getenv("KELVO_FTD2XX_SIM_EVENTS");
    d->SignalOnly = events && std::string(events) == "signal";
    return FT_OK;
}

SIM_EXPORT FT_STATUS KELVO_D2XX_CALL FT_EraseEE(FT_HANDLE Handle)
{
    return LineCall(Handle);
}
#endif
