#include "uci_ISerialPortInterface.h"

#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

#include "AfComPort.h"
#include "uConnectionString.h"
#include "uExceptions.h"

namespace kelvo {

void* TSerialPortCoreInterface::GetInterface(const TGUID& IID)
{
    if (IID == ISerialPortInterface::IID)
        return static_cast<ISerialPortInterface*>(this);
    return TCommunicationInterface::GetInterface(IID);
}

void TSerialPortCoreInterface::SetBaudRate(int32_t Rate)
{
    if (Rate < 0)
        throw ERangeError("Baud rate " + std::to_string(Rate) + " is out of range");
    // 10 bits per character (start, 8 data, stop). A rate of 0 means the
    // speed is not known: no character time rather than an infinite one,
    // which would make every deadline of a query meaningless.
    FCharTime = Rate == 0 ? 0.0 : 1000.0 / Rate * 10.0;
}

void TSerialPortCoreInterface::GetConnectionString(std::string& S)
{
    S = "baudrate=" + std::to_string(GetBaudRate());
    S += ";databits=" + std::to_string(GetDataBits());
    S += std::string(";stopbits=") + StopBitsName(GetStopBits());
    S += std::string(";parity=") + ParityName(GetParity());
    S += std::string(";dtr=") + BoolToConnText(GetDTR());
    S += std::string(";rts=") + BoolToConnText(GetRTS());
    // Only when set: every other string stays as it always was.
    if (GetLineGapMs() != kDefaultLineGapMs)
        S += ";line_gap=" + std::to_string(GetLineGapMs());
}

bool TSerialPortCoreInterface::ApplySerialCore(const std::string& S)
{
    const TConnectionString cs(S);
    if (auto v = cs.IntValue("baudrate", 0, std::numeric_limits<int32_t>::max()))
        SetBaudRate(static_cast<int32_t>(*v));
    if (auto v = cs.IntValue("databits", 0, 255))
        SetDataBits(static_cast<uint8_t>(*v));
    if (auto v = cs.Value("stopbits"))
        if (auto code = ParseStopBitsText(*v))
            SetStopBits(*code);
    if (auto v = cs.Value("parity"))
        if (auto code = ParseParityText(*v))
            SetParity(*code);
    if (auto v = cs.BoolValue("dtr"))
        SetDTR(*v);
    if (auto v = cs.BoolValue("rts"))
        SetRTS(*v);
    if (auto v = cs.IntValue("line_gap", 0, 60000))
        SetLineGapMs(static_cast<uint32_t>(*v));
    const auto active = cs.Value("active");
    return active && IsActiveText(*active);
}

void TSerialPortCoreInterface::SetConnectionString(const std::string& S)
{
    const bool open = ApplySerialCore(S);
    NotifyChanged();
    if (open)
        Open();
}

// ---- TSerialPortInterface --------------------------------------------------

namespace {

IntfPtr<ICommunicationInterface> CreateSerialPortInterface(const std::string& ConnectionString)
{
    IntfPtr<TSerialPortInterface> port = MakeIntf<TSerialPortInterface>(ConnectionString);
    return IntfPtr<ICommunicationInterface>(port->AsInterface());
}

// Registered for the whole run of the program.
const TProviderRegistration SerialPortRegistration(&TSerialPortInterface::Class, "SERIAL_PORT");

constexpr uint32_t kPortBufferSize = 10000000;
constexpr uint32_t kDefaultBaudRate = 9600;

using Guard = std::lock_guard<std::recursive_mutex>;

}  // namespace

const TCommunicationInterfaceClass TSerialPortInterface::Class{"TSerialPortInterface", &CreateSerialPortInterface};

TSerialPortInterface::TSerialPortInterface(const std::string& ConnectionString)
    : TSerialPortCoreInterface(ConnectionString)
{
    SetUpPort();
}

TSerialPortInterface::TSerialPortInterface(IXMLElement* XMLNode, IUnknown* Parent)
    : TSerialPortCoreInterface(XMLNode, Parent)
{
    SetUpPort();
}

void TSerialPortInterface::SetUpPort()
{
    FPort = std::make_shared<TAfComPort>();
    FPort->SetBaudRate(brUser);
    FPort->SetUserBaudRate(kDefaultBaudRate);
    FPort->SetOutBufSize(kPortBufferSize);
    FPort->SetInBufSize(kPortBufferSize);

    // The component raises these on the main thread.
    FPort->OnPortOpen = [this](TAfComPort*) { NotifyOpened(); };
    FPort->OnPortClose = [this](TAfComPort*) { NotifyClosed(); };
    FPort->OnDataRecived = [this](TAfComPort*, uint32_t) { NotifyDataAvailable(nullptr); };
    FPort->OnCTSChanged = [this](TAfComPort* p) { NotifyLineChange(LineCTS, p->CTS()); };
    FPort->OnDSRChanged = [this](TAfComPort* p) { NotifyLineChange(LineDSR, p->DSR()); };
    FPort->OnRINGDetected = [this](TAfComPort* p) { NotifyLineChange(LineRing, p->RING()); };
    FPort->OnRLSDChanged = [this](TAfComPort* p) { NotifyLineChange(LineRLSD, p->RLSD()); };
    // The engine's event thread tells of arriving bytes at once, also while
    // the main thread sits in a Query and cannot take the event itself.
    FPort->Core().SetArrivalSignal(&FArrived);
    FSignalsArrival = true;
}

TSerialPortInterface::~TSerialPortInterface()
{
    if (!FPort)
        return;
    // The handlers go first: nobody is told about a close that happens while
    // the channel itself is being taken apart.
    FPort->OnPortOpen = nullptr;
    FPort->OnPortClose = nullptr;
    FPort->OnDataRecived = nullptr;
    FPort->OnCTSChanged = nullptr;
    FPort->OnDSRChanged = nullptr;
    FPort->OnRINGDetected = nullptr;
    FPort->OnRLSDChanged = nullptr;
    FPort->Core().SetArrivalSignal(nullptr);
    try {
        if (FPort->IsOpen())
            FPort->Close();
    } catch (...) {
        // A port that fails to close is freed all the same.
    }
    FPort.reset();
}

bool TSerialPortInterface::GetActive()
{
    return FPort && FPort->IsOpen();
}

bool TSerialPortInterface::Open()
{
    Guard guard(FLock);
    try {
        SetBaudRate(GetBaudRate());
        if (!FPort)
            return false;
        FPort->Open();
        return FPort->IsOpen();
    } catch (...) {
        return false;
    }
}

bool TSerialPortInterface::Close(bool /*Force*/)
{
    Guard guard(FLock);
    if (!FPort || !FPort->IsOpen())
        return false;
    FPort->Close();
    return !FPort->IsOpen();
}

int32_t TSerialPortInterface::Write(const RawByteString& Data)
{
    Guard guard(FLock);
    DataTrace(TraceSent, Data);
    if (FPort && !Data.empty())
        FPort->WriteString(Data);
    return static_cast<int32_t>(Data.size());
}

void TSerialPortInterface::Read(RawByteString& Data)
{
    Guard guard(FLock);
    Data.clear();
    if (FPort)
        FPort->ReadString(Data);
    DataTrace(TraceReceived, Data);
}

int32_t TSerialPortInterface::InQueueCount()
{
    if (!FPort)
        return 0;
    const int32_t n = FPort->InQueueCount();
    if (n < 0)
        throw ERangeError("Receive queue count " + std::to_string(n) + " is out of range");
    return n;
}

void TSerialPortInterface::GetName(std::string& Name)
{
    Name = FPortName;
}

void TSerialPortInterface::SetPresent(bool Value)
{
    TSerialPortCoreInterface::SetPresent(Value);
    if (!Value)
        Close(true);
}

bool TSerialPortInterface::ShowSetupDialog()
{
    if (!FPort || !FPort->ExecuteConfigDialog())
        return false;
    NotifyChanged();
    return true;
}

bool TSerialPortInterface::HasSetupDialog()
{
    return true;
}

void TSerialPortInterface::GetConnectionString(std::string& S)
{
    TSerialPortCoreInterface::GetConnectionString(S);
    if (FPort) {
        if (!S.empty())
            S += ';';
        S += "comport=" + std::to_string(FPort->ComNumber());
    }
}

void TSerialPortInterface::UpdatePortName()
{
    const uint16_t n = FPort ? FPort->ComNumber() : 0;
    FPortName = n == 0 ? "COM unknown" : "COM" + std::to_string(n);
}

void TSerialPortInterface::SetConnectionString(const std::string& S)
{
    const TConnectionString cs(S);
    std::optional<int64_t> number = cs.IntValue("comport", 0, 65535);
    if (!number && S.size() >= 3 && UpperCaseAscii(S.substr(0, 3)) == "COM") {
        // The bare port name: "COM3" and nothing else.
        try {
            const int64_t v = StrToInt64Strict(S.substr(3));
            if (v >= 0 && v <= 65535)
                number = v;
        } catch (const EConvertError&) {
        }
    }
    if (number && FPort) {
        try {
            FPort->SetComNumber(static_cast<uint16_t>(*number));
        } catch (...) {
            // The number is taken even when the port does not open again
            // under it: the name must say which port this channel is now.
            UpdatePortName();
            throw;
        }
    }
    UpdatePortName();
    TSerialPortCoreInterface::SetConnectionString(S);
    NotifyChanged();
}

int32_t TSerialPortInterface::GetBaudRate()
{
    if (!FPort)
        return 0;
    if (FPort->BaudRate() == brUser)
        return static_cast<int32_t>(FPort->UserBaudRate());
    return static_cast<int32_t>(AfBaudrateValue(FPort->BaudRate()));
}

void TSerialPortInterface::SetBaudRate(int32_t Rate)
{
    if (Rate < 0)
        throw ERangeError("Baud rate " + std::to_string(Rate) + " is out of range");
    if (!FPort)
        return;
    FPort->SetBaudRate(brUser);
    FPort->SetUserBaudRate(static_cast<uint32_t>(Rate));
    NotifyChanged();
}

uint8_t TSerialPortInterface::GetDataBits()
{
    return FPort ? static_cast<uint8_t>(FPort->Databits() + 4) : 8;
}

void TSerialPortInterface::SetDataBits(uint8_t Value)
{
    if (Value < 4 || Value > 8)
        throw ERangeError("Data bits " + std::to_string(Value) + " out of range (4..8)");
    if (!FPort)
        return;
    FPort->SetDatabits(static_cast<TAfDatabits>(Value - 4));
    NotifyChanged();
}

bool TSerialPortInterface::GetDTR()
{
    return FPort && FPort->DTR();
}

bool TSerialPortInterface::GetRTS()
{
    return FPort && FPort->RTS();
}

bool TSerialPortInterface::GetCTS()
{
    return FPort && FPort->IsOpen() && FPort->CTS();
}

bool TSerialPortInterface::GetDSR()
{
    return FPort && FPort->IsOpen() && FPort->DSR();
}

void TSerialPortInterface::SetDTR(bool Value)
{
    Guard guard(FLock);
    if (FPort)
        FPort->SetDTR(Value);
}

void TSerialPortInterface::SetRTS(bool Value)
{
    Guard guard(FLock);
    if (FPort)
        FPort->SetRTS(Value);
}

uint8_t TSerialPortInterface::GetStopBits()
{
    return FPort ? static_cast<uint8_t>(FPort->Stopbits()) : 0;
}

void TSerialPortInterface::SetStopBits(uint8_t Value)
{
    if (Value > sbTwo)
        throw ERangeError("Stop bits code " + std::to_string(Value) + " out of range (0..2)");
    if (!FPort)
        return;
    FPort->SetStopbits(static_cast<TAfStopbits>(Value));
    NotifyChanged();
}

uint8_t TSerialPortInterface::GetParity()
{
    return FPort ? static_cast<uint8_t>(FPort->Parity()) : 0;
}

void TSerialPortInterface::SetParity(uint8_t Value)
{
    if (Value > paSpace)
        throw ERangeError("Parity code " + std::to_string(Value) + " out of range (0..4)");
    if (!FPort)
        return;
    FPort->SetParity(static_cast<TAfParity>(Value));
    NotifyChanged();
}

void TSerialPortInterface::PurgeRx()
{
    Guard guard(FLock);
    if (FPort)
        FPort->PurgeRx();
}

void TSerialPortInterface::PurgeTx()
{
    Guard guard(FLock);
    if (FPort)
        FPort->PurgeTx();
}

int32_t TSerialPortInterface::GetOutBufSize()
{
    return FPort ? static_cast<int32_t>(FPort->OutBufSize()) : 0;
}

void TSerialPortInterface::SetOutBufSize(int32_t Value)
{
    if (FPort && Value >= 0)
        FPort->SetOutBufSize(static_cast<uint32_t>(Value));
}

int32_t TSerialPortInterface::GetInBufSize()
{
    return FPort ? static_cast<int32_t>(FPort->InBufSize()) : 0;
}

void TSerialPortInterface::SetInBufSize(int32_t Value)
{
    if (FPort && Value >= 0)
        FPort->SetInBufSize(static_cast<uint32_t>(Value));
}

TComPortStatus ProbeComPort(uint16_t Number)
{
    switch (AfProbeComPort(Number)) {
    case ppAvailable: return cpsFree;
    case ppNotFound: return cpsNotFound;
    default: return cpsInUse;
    }
}

}  // namespace kelvo
