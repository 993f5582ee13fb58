#include "uci_FTDIcore.h"

#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "uConnectionString.h"
#include "uLogUtils.h"
#include "uMessageSink.h"
#include "uTickUtils.h"
#include "uci_FTDIcore_os.h"

namespace kelvo {

// The reader thread of one open device. It holds a counted reference to
// the device, so the device lives while its reader runs. Normally Close ends
// it (terminate flag and stop event) and waits for it; a Close on the
// reader's own thread (from a data-available handler, or an unplug noticed
// by the reader) instead lets it free itself when it ends.
//
// It also raises the device's arrival signal whenever it learns of bytes
// (the driver's event, or its own look at the queue): that needs no lock,
// so a Query waiting on the device hears of them at once.
//
// It calls the driver on its own, so it holds a use of the binding from
// its construction to the end of its thread (UnbindFTDirect waits for it).
class TFTDIDevicecore {
public:
    TFTDIDevicecore(IFTDISerialPortInterface* Device, TWakeSignal& Arrived) : FDevice(Device), FArrived(Arrived)
    {
        FTDirectUseBegin();
        Arm(Device->GetHandle());
        FThread = std::thread([this] { Run(); });
    }
    ~TFTDIDevicecore()
    {
        if (FThread.joinable())
            FThread.join();
    }
    TFTDIDevicecore(const TFTDIDevicecore&) = delete;
    TFTDIDevicecore& operator=(const TFTDIDevicecore&) = delete;

    // Asks the driver to set the receive event for Handle; false when it
    // refused (the reader then polls, and cannot tell of arrivals at once).
    bool Arm(FT_HANDLE Handle)
    {
        const FT_STATUS status =
            FTW_SetEventNotification(Handle, FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS, FEvents.DriverParam());
        FArmed = status == FT_OK;
        if (!FArmed)
            ReportArmFailure(status);
        return FArmed;
    }
    bool Armed() const { return FArmed; }

    bool OnOwnThread() const { return FThread.get_id() == std::this_thread::get_id(); }
    void RequestRx() { FEvents.SetRx(); }

    // Ends the thread and waits for it (not on the reader's own thread).
    void TerminateAndWait()
    {
        FTerminated = true;
        FEvents.SetStop();
        if (FThread.joinable())
            FThread.join();
    }

    // On the reader's own thread: it ends after the current pass and frees
    // itself.
    void TerminateAndFreeOnExit()
    {
        FTerminated = true;
        FFreeOnExit = true;
        FThread.detach();
    }

private:
    // A refused event notification (a library without it refuses every
    // open, and a probe opens once per speed) is shown once per device, by
    // its serial number, and program run; every other time it is logged.
    void ReportArmFailure(FT_STATUS Status)
    {
        static std::mutex lock;
        static std::set<std::string> shown;
        std::string serial;
        if (FDevice)
            FDevice->GetSerialNumber(serial);
        bool first = false;
        {
            std::lock_guard<std::mutex> g(lock);
            first = shown.insert(serial).second;
        }
        if (first)
            ShowMessage(std::to_string(Status));
        else
            Log("FT_SetEventNotification failed on " + serial + " (shown before); the reader polls", ReaderSender(),
                static_cast<int32_t>(Status));
    }

    static const TLogSender& ReaderSender()
    {
        static const TLogSender sender("TFTDIDevicecore");
        return sender;
    }

    void Run()
    {
        ftdicore::RaiseThreadPriority();
        using TWake = ftdicore::TReaderEvents::TWake;
        // pending: the receive event said bytes came - announce them. look:
        // a wake that may mean bytes (a driver that only signals) - look at
        // the queue.
        bool pending = false;
        bool look = false;
        while (!FTerminated) {
            if (FDevice && FDevice->TryLock()) {
                look = false;
                try {
                    if (pending || FDevice->InQueueCount() > 0) {
                        if (!pending)
                            FArrived.Raise();  // found without an event
                        pending = false;
                        FDevice->NotifyDataAvailable();
                    }
                } catch (...) {
                }
                FDevice->Unlock();
            } else {
                SleepMs(0);
            }
            if (FTerminated)
                break;
            const TWake wake = FEvents.Wait(pending || look ? 1 : 100);
            if (wake == TWake::Stop)
                break;
            if (wake == TWake::Rx) {
                FArrived.Raise();
                pending = true;
            } else if (wake == TWake::Signalled) {
                // The Query that holds the lock looks at the queue itself.
                FArrived.Raise();
                look = true;
            } else if (look) {
                // A signal without iVar is lost when it comes while nobody
                // waits: until the queue has been looked at, have the Query
                // that holds the lock look every millisecond.
                FArrived.Raise();
            }
        }
        if (FFreeOnExit) {
            // The last reference to the device may go here; the device no
            // longer knows this reader.
            FDevice = nullptr;
            delete this;
        }
        FTDirectUseEnd();  // the last use of the binding (nothing of this object after a delete)
    }

    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFreeOnExit{false};
    bool FArmed = false;
    ftdicore::TReaderEvents FEvents;
    IntfPtr<IFTDISerialPortInterface> FDevice;
    TWakeSignal& FArrived;  // the device's: it lives while FDevice does
    std::thread FThread;
};

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

IntfPtr<ICommunicationInterface> CreateFTDIDevice(const std::string& ConnectionString)
{
    IntfPtr<TFTDIDevice> device = MakeIntf<TFTDIDevice>(ConnectionString);
    return IntfPtr<ICommunicationInterface>(device->AsInterface());
}

const TProviderRegistration FTDIRegistration(&TFTDIDevice::Class, "FTD_USB");

std::atomic<TFTDIDevice::TSetupDialog> gSetupDialog{nullptr};

const TLogSender& DeviceSender()
{
    static const TLogSender sender("TFTDIDevice");
    return sender;
}

// A zero-terminated text in a buffer the driver filled, never read past
// the buffer's end.
std::string BufferText(const char* Buffer, size_t Size)
{
    size_t n = 0;
    while (n < Size && Buffer[n] != '\0')
        ++n;
    return std::string(Buffer, n);
}

}  // namespace

const TCommunicationInterfaceClass TFTDIDevice::Class{"TFTDIDevice", &CreateFTDIDevice};

TFTDIDevice::TFTDIDevice(TFromIndex Index, const std::string& Caption) : TSerialPortCoreInterface(std::string())
{
    FDeviceIndex = Index.Index;
    QueryDetails();
    FCaption = Caption;
}

TFTDIDevice::TFTDIDevice(TFromSerialNumber SerialNumber, const std::string& Caption)
    : TSerialPortCoreInterface(std::string()), FCaption(Caption), FSerialNumber(std::move(SerialNumber.SerialNumber))
{
}

TFTDIDevice::TFTDIDevice(const std::string& ConnectionString) : TSerialPortCoreInterface(ConnectionString) {}

TFTDIDevice::~TFTDIDevice()
{
    {
        Guard guard(FLock);
        Close(false);
    }
    SleepMs(10);
}

void* TFTDIDevice::GetInterface(const TGUID& IID)
{
    if (IID == IFTDISerialPortInterface::IID)
        return static_cast<IFTDISerialPortInterface*>(this);
    return TSerialPortCoreInterface::GetInterface(IID);
}

bool TFTDIDevice::QueryDetails()
{
    uint32_t count = 0;
    FT_STATUS status = FTW_CreateDeviceInfoList(&count);
    if (status != FT_OK) {
        ReportError("GetFTDeviceSerialNo", status);
        return false;
    }
    uint32_t flags = 0, type = 0, id = 0, location = 0;
    char serial[FTSerialNumberSize] = {};
    char description[FTDescriptionSize] = {};
    FT_HANDLE handle = nullptr;
    status = FTW_GetDeviceInfoDetail(static_cast<uint32_t>(FDeviceIndex), &flags, &type, &id, &location, serial,
                                     description, &handle);
    if (status != FT_OK) {
        ReportError("GetFTDeviceSerialNo", status);
        return false;
    }
    FSerialNumber = BufferText(serial, sizeof serial);
    FDescription = BufferText(description, sizeof description);
    return true;
}

bool FTStatusMeansGone(FT_STATUS Status)
{
    return Status == FT_IO_ERROR || Status == FT_INVALID_HANDLE || Status == FT_DEVICE_NOT_FOUND;
}

void TFTDIDevice::ReportError(const char* Label, FT_STATUS Status)
{
    if (Status == FT_OK)
        return;
    Log(std::string(Label) + " failed on " + FSerialNumber, DeviceSender(), static_cast<int32_t>(Status));
    // Drivers report a vanished chip in more than one way; on an open
    // device each of them means the handle is dead, so the device closes by
    // force (an FT_Close the dead handle refuses must not keep its reader).
    // A closed device has nothing to close.
    if (FTStatusMeansGone(Status))
        Close(true);
}

// ---- Open and close ----------------------------------------------------------

bool TFTDIDevice::GetActive()
{
    return FHandle.load() != nullptr;
}

bool TFTDIDevice::Open()
{
    Guard guard(FLock);
    if (FHandle.load() != nullptr || FSerialNumber.empty())
        return false;
    FT_HANDLE handle = nullptr;
    const FT_STATUS status = FTW_OpenEx(const_cast<char*>(FSerialNumber.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &handle);
    if (status != FT_OK || !handle) {
        ReportError("Open_USB_Device_By_Serial_Number", status);
        return false;
    }
    FHandle = handle;
    FTW_ResetDevice(handle);
    if (!FReader)
        FReader = new TFTDIDevicecore(this, FArrived);
    else
        FReader->Arm(handle);  // left running by a close the driver refused
    FSignalsArrival = FReader->Armed();
    SetBaudRate(FBaudRate);
    // The baud rate can meet an unplugged chip and close the device again.
    if (!GetActive())
        return false;
    TCommunicationInterface::NotifyOpened();
    return true;
}

void TFTDIDevice::StopReader()
{
    TFTDIDevicecore* reader = FReader;
    if (!reader)
        return;
    FReader = nullptr;
    if (reader->OnOwnThread()) {
        reader->TerminateAndFreeOnExit();
        SleepMs(1);
    } else {
        reader->TerminateAndWait();
        delete reader;
    }
}

bool TFTDIDevice::Close(bool Force)
{
    Guard guard(FLock);
    if (FHandle.load() == nullptr)
        return true;
    FT_HANDLE handle = FHandle.exchange(nullptr);
    const FT_STATUS status = FTW_Close(handle);
    const bool ok = status == FT_OK;
    if (!ok && !Force && !FTStatusMeansGone(status)) {
        // The driver keeps the device: the reader goes on (the next Open
        // reuses it; UnbindFTDirect waits for it or refuses).
        ReportError("FT_Close", status);
        return false;
    }
    if (!ok)
        ReportError("FT_Close", status);  // logged; the handle is closed here
    StopReader();
    TCommunicationInterface::NotifyClosed();
    return ok;
}

void TFTDIDevice::ReleaseIfOrphaned(int32_t Others)
{
    Guard guard(FLock);
    if (!FReader)
        return;
    // The reference being dropped, the caller's others and the reader's.
    if (RefCount() - Others - 1 > 1)
        return;
    if (GetActive())
        Close(true);
    StopReader();
}

void TFTDIDevice::SetPresent(bool Value)
{
    TSerialPortCoreInterface::SetPresent(Value);
    Close(true);
    if (!Value)
        FHandle = nullptr;
}

// ---- Data ----------------------------------------------------------------------

int32_t TFTDIDevice::Write(const RawByteString& Data)
{
    Guard guard(FLock);
    FT_HANDLE handle = FHandle.load();
    if (!handle || Data.empty())
        return 0;
    DataTrace(TraceSent, Data);
    uint32_t written = 0;
    const FT_STATUS status = FTW_Write(handle, Data.data(), static_cast<uint32_t>(Data.size()), &written);
    if (status != FT_OK) {
        ReportError("FT_WRITE", status);
        return 0;
    }
    return static_cast<int32_t>(written > Data.size() ? Data.size() : written);
}

void TFTDIDevice::Read(RawByteString& Data)
{
    Data.clear();
    Guard guard(FLock);
    FT_HANDLE handle = FHandle.load();
    if (!handle)
        return;
    uint32_t queued = 0;
    FT_STATUS status = FTW_GetQueueStatus(handle, &queued);
    if (status != FT_OK) {
        ReportError("FT_GetQueueStatus", status);
    } else {
        if (queued > 0) {
            Data.resize(queued);
            uint32_t got = 0;
            status = FTW_Read(handle, Data.data(), queued, &got);
            Data.resize(got < queued ? got : queued);
            if (status != FT_OK)
                ReportError("FR_Read", status);
        }
        handle = FHandle.load();
        uint32_t more = 0;
        if (handle && FTW_GetQueueStatus(handle, &more) == FT_OK && more > 0 && FReader)
            FReader->RequestRx();
    }
    DataTrace(TraceReceived, Data);
}

int32_t TFTDIDevice::InQueueCount()
{
    Guard guard(FLock);
    FT_HANDLE handle = FHandle.load();
    if (!handle)
        return 0;
    uint32_t n = 0;
    const FT_STATUS status = FTW_GetQueueStatus(handle, &n);
    if (status != FT_OK) {
        ReportError("FT_GetQueueStatus", status);
        return 0;
    }
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

// ---- Names and connection string ---------------------------------------------

void TFTDIDevice::GetName(std::string& Name)
{
    Name = FSerialNumber;
}

void TFTDIDevice::GetDescription(std::string& Text)
{
    Text = FDescription;
}

bool TFTDIDevice::HasSetupDialog()
{
    return true;
}

void TFTDIDevice::SetSetupDialog(TSetupDialog Dialog)
{
    gSetupDialog = Dialog;
}

bool TFTDIDevice::ShowSetupDialog()
{
    TSetupDialog dialog = gSetupDialog.load();
    if (!dialog || !dialog(*this))
        return false;
    NotifyChanged();
    return true;
}

void TFTDIDevice::GetConnectionString(std::string& S)
{
    std::string core;
    TSerialPortCoreInterface::GetConnectionString(core);
    // Quoted when it holds ";" or a line break, so that it reads back whole.
    S = "provider=FTD_USB;serial_number=" + ConnectionValue(FSerialNumber);
    if (!core.empty())
        S += ";" + core;
}

void TFTDIDevice::SetConnectionString(const std::string& S)
{
    const TConnectionString cs(S);
    const bool wasActive = GetActive();
    SetActive(false);
    if (auto v = cs.Value("serial_number"))
        FSerialNumber = *v;
    SetActive(wasActive);
    TSerialPortCoreInterface::SetConnectionString(S);
    NotifyChanged();
}

// ---- Line settings -------------------------------------------------------------

int32_t TFTDIDevice::GetBaudRate()
{
    return FBaudRate;
}

void TFTDIDevice::SetBaudRate(int32_t Rate)
{
    TSerialPortCoreInterface::SetBaudRate(Rate);  // range check and character time
    {
        Guard guard(FLock);
        FT_HANDLE handle = FHandle.load();
        FT_STATUS status = FT_OK;
        if (handle)
            status = FTW_SetBaudRate(handle, static_cast<uint32_t>(Rate));
        if (status != FT_OK)
            ReportError("FT_SetBaudRate", status);
        else
            FBaudRate = Rate;
    }
    NotifyChanged();
}

void TFTDIDevice::SetDataFormat(uint8_t& Field, uint8_t Value)
{
    const uint8_t old = Field;
    Field = Value;
    const FT_STATUS status = FTW_SetDataCharacteristics(FHandle.load(), FDataBits, FStopBits, FParity);
    if (status != FT_OK) {
        Field = old;
        ReportError("FT_SetDataCharacteristics", status);
    }
    NotifyChanged();
}

uint8_t TFTDIDevice::GetDataBits()
{
    return FDataBits;
}

void TFTDIDevice::SetDataBits(uint8_t Value)
{
    SetDataFormat(FDataBits, Value);
}

uint8_t TFTDIDevice::GetStopBits()
{
    return FStopBits;
}

void TFTDIDevice::SetStopBits(uint8_t Value)
{
    SetDataFormat(FStopBits, Value);
}

uint8_t TFTDIDevice::GetParity()
{
    return FParity;
}

void TFTDIDevice::SetParity(uint8_t Value)
{
    SetDataFormat(FParity, Value);
}

bool TFTDIDevice::GetDTR()
{
    return FDTR;
}

void TFTDIDevice::SetDTR(bool Value)
{
    FT_HANDLE handle = FHandle.load();
    const FT_STATUS status = Value ? FTW_SetDtr(handle) : FTW_ClrDtr(handle);
    if (status != FT_OK)
        ReportError("FT_SetDTR/FT_ClrDTR", status);
    else
        FDTR = Value;
}

bool TFTDIDevice::GetRTS()
{
    return FRTS;
}

void TFTDIDevice::SetRTS(bool Value)
{
    Guard guard(FLock);
    FT_HANDLE handle = FHandle.load();
    const FT_STATUS status = Value ? FTW_SetRts(handle) : FTW_ClrRts(handle);
    if (status != FT_OK)
        ReportError("FT_SetRTS/FT_ClrRTS", status);
    else
        FRTS = Value;
}

bool TFTDIDevice::GetCTS()
{
    return false;
}

bool TFTDIDevice::GetDSR()
{
    return false;
}

void TFTDIDevice::PurgeRx()
{
    ReportError("FT_Purge RX", FTW_Purge(FHandle.load(), FT_PURGE_RX));
}

void TFTDIDevice::PurgeTx()
{
    ReportError("FT_Purge TX", FTW_Purge(FHandle.load(), FT_PURGE_TX));
}

int32_t TFTDIDevice::GetOutBufSize()
{
    return 0;
}

void TFTDIDevice::SetOutBufSize(int32_t) {}

int32_t TFTDIDevice::GetInBufSize()
{
    return 0;
}

void TFTDIDevice::SetInBufSize(int32_t) {}

// ---- USB operations --------------------------------------------------------------

void TFTDIDevice::GetSerialNumber(std::string& S)
{
    S = FSerialNumber;
}

void TFTDIDevice::GetUSBDescription(std::string& S)
{
    S = FDescription;
}

int32_t TFTDIDevice::GetDeviceIndex()
{
    return FDeviceIndex;
}

void TFTDIDevice::GetCaption(std::string& S)
{
    S = FCaption;
}

FT_HANDLE TFTDIDevice::GetHandle()
{
    return FHandle.load();
}

void TFTDIDevice::NotifyDataAvailable()
{
    TCommunicationInterface::NotifyDataAvailable(nullptr);
}

bool TFTDIDevice::ResetDevice()
{
    FT_HANDLE handle = FHandle.load();
    return handle && FTW_ResetDevice(handle) == FT_OK;
}

bool TFTDIDevice::EraseEE()
{
    FT_HANDLE handle = FHandle.load();
    return handle && FTW_EraseEE(handle) == FT_OK;
}

}  // namespace kelvo
