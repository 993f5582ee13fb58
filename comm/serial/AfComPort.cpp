#include "AfComPort.h"

#include <cstdio>
#include <tuple>

#include "AfSafeSync.h"

namespace kelvo {

namespace {

constexpr uint32_t kBaudValues[] = {110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200,
                                    38400, 56000, 57600, 115200, 128000, 230400, 256000, 460800, 921600};
static_assert(sizeof kBaudValues / sizeof kBaudValues[0] == brUser);

constexpr uint32_t kSyncTimeoutMs = 2000;

std::mutex& CursorLock()
{
    static std::mutex m;
    return m;
}
std::function<void(bool)>& CursorHook()
{
    static std::function<void(bool)> h;
    return h;
}

void BusyCursor(bool Busy)
{
    std::function<void(bool)> hook;
    {
        std::lock_guard<std::mutex> g(CursorLock());
        hook = CursorHook();
    }
    if (hook) {
        try {
            hook(Busy);
        } catch (...) {
        }
    }
}

// The DCB's XOn/XOff limits are 16-bit: a receive buffer larger than that
// (the channel's are 10,000,000 bytes) gets the largest limit there is.
uint16_t Clamp16(int64_t Value)
{
    return static_cast<uint16_t>(Value < 0 ? 0 : Value > 0xFFFF ? 0xFFFF : Value);
}

// Copies of the values a tuple of references refers to.
template <class... T>
std::tuple<T...> Values(const std::tuple<T&...>& Refs)
{
    return Refs;
}

// Resets the closing flag however Close ends.
struct TClosingScope {
    std::atomic<bool>& Flag;
    explicit TClosingScope(std::atomic<bool>& F) : Flag(F) { Flag = true; }
    ~TClosingScope() { Flag = false; }
};

}  // namespace

uint32_t AfBaudrateValue(TAfBaudrate Rate)
{
    return Rate < brUser ? kBaudValues[Rate] : 0;
}

uint32_t AfFlowControlFlags(TAfFlowControl Flow)
{
    switch (Flow) {
    case fwXOnXOff: return AfDcbOutX | AfDcbInX;
    case fwRtsCts: return AfDcbOutxCtsFlow | AfDcbRtsControlHandshake;
    case fwDtrDsr: return AfDcbOutxDsrFlow | AfDcbDtrControlHandshake;
    case fwNone: break;
    }
    return 0;
}

uint32_t AfComOptionFlag(TAfComOption Option)
{
    switch (Option) {
    case coParityCheck: return AfDcbParity;
    case coDsrSensitivity: return AfDcbDsrSensitivity;
    case coIgnoreXOff: return AfDcbTXContinueOnXoff;
    case coErrorChar: return AfDcbErrorChar;
    case coStripNull: return AfDcbNull;
    case coBreakControl: return AfDcbAbortOnError;
    }
    return 0;
}

void SetAfBusyCursorHook(std::function<void(bool Busy)> Hook)
{
    std::lock_guard<std::mutex> g(CursorLock());
    CursorHook() = std::move(Hook);
}

TAfComPort::TAfComPort(std::string Name) : FName(std::move(Name))
{
    FSyncId = SyncRegister([this] { MainThreadDispatch(); });
    FCore = std::make_unique<TAfComPortCore>();
    FCore->SetOnEvent([this](TAfComPortCore*, TAfCoreEvent Kind, uint32_t Data, std::exception_ptr Error) {
        CoreEvent(Kind, Data, std::move(Error));
    });
    FDCB = BuildDCB();
}

TAfComPort::~TAfComPort()
{
    FDestroying = true;
    SyncUnregister(FSyncId);
    FCore.reset();  // closes the port
}

// ---------------------------------------------------------------------------
// DCB

TAfDCB TAfComPort::BuildDCB() const
{
    TAfDCB d{};
    d.DCBlength = sizeof(TAfDCB);
    d.BaudRate = FBaudRate == brUser ? FUserBaudRate : AfBaudrateValue(FBaudRate);
    d.ByteSize = static_cast<uint8_t>(4 + FDatabits);
    d.Parity = FParity;
    d.StopBits = FStopbits;
    d.XonChar = FXOnChar;
    d.XoffChar = FXOffChar;
    d.XonLim = FXOnLim;
    d.XoffLim = FXOffLim;
    uint32_t flags = AfDcbBinary | AfFlowControlFlags(FFlowControl);
    for (int o = coParityCheck; o <= coBreakControl; ++o)
        if (FOptions.Has(static_cast<TAfComOption>(o)))
            flags |= AfComOptionFlag(static_cast<TAfComOption>(o));
    if (FDTR && FFlowControl != fwDtrDsr)
        flags |= AfDcbDtrControlEnable;
    if (FRTS && FFlowControl != fwRtsCts)
        flags |= AfDcbRtsControlEnable;
    d.Flags = flags;
    return d;
}

void TAfComPort::UpdateDCB()
{
    FDCB = BuildDCB();
    if (IsOpen() && !FDeferDCB) {
        try {
            FCore->SetDCB(FDCB);
        } catch (...) {
            FDCB = FCore->DCB();  // what the port kept
            throw;
        }
    }
}

// All or nothing: the dialog's settings are taken into the properties
// without reaching the port, then go to it as one DCB. When the port refuses
// that, every property is as it was before and the image is what the port
// kept.
void TAfComPort::DCBReadBack(const TAfDCB& Dcb)
{
    if (Dcb.DCBlength != sizeof(TAfDCB))
        RaiseError("Error setting parameters from DCB");
    auto settings = [this] {
        return std::tie(FBaudRate, FUserBaudRate, FDatabits, FParity, FStopbits, FFlowControl, FOptions, FXOnChar,
                        FXOffChar, FXOnLim, FXOffLim);
    };
    const auto before = Values(settings());
    FDeferDCB = true;
    try {
        TakeDCB(Dcb);
        FDeferDCB = false;
        UpdateDCB();
    } catch (...) {
        FDeferDCB = false;
        settings() = before;
        if (!IsOpen())
            FDCB = BuildDCB();
        throw;
    }
}

void TAfComPort::TakeDCB(const TAfDCB& Dcb)
{
    FDCB = Dcb;

    TAfBaudrate rate = brUser;
    for (int b = br110; b < brUser; ++b) {
        if (kBaudValues[b] == Dcb.BaudRate) {
            rate = static_cast<TAfBaudrate>(b);
            break;
        }
    }
    if (rate != brUser) {
        SetBaudRate(rate);
    } else {
        SetBaudRate(brUser);
        SetUserBaudRate(Dcb.BaudRate);
    }
    SetDatabits(Dcb.ByteSize >= 4 && Dcb.ByteSize <= 8 ? static_cast<TAfDatabits>(Dcb.ByteSize - 4) : db8);
    SetParity(Dcb.Parity <= paSpace ? static_cast<TAfParity>(Dcb.Parity) : paNone);
    SetStopbits(Dcb.StopBits <= sbTwo ? static_cast<TAfStopbits>(Dcb.StopBits) : sbOne);

    TAfFlowControl flow = fwNone;
    for (TAfFlowControl f : {fwDtrDsr, fwRtsCts, fwXOnXOff, fwNone}) {
        const uint32_t need = AfFlowControlFlags(f);
        if ((Dcb.Flags & need) == need) {
            flow = f;
            break;
        }
    }
    SetFlowControl(flow);

    TAfComOptions options;
    for (int o = coParityCheck; o <= coBreakControl; ++o)
        if (Dcb.Flags & AfComOptionFlag(static_cast<TAfComOption>(o)))
            options.Include(static_cast<TAfComOption>(o));
    SetOptions(options);

    SetXOnChar(Dcb.XonChar);
    SetXOffChar(Dcb.XoffChar);
    SetXOnLim(Dcb.XonLim);
    SetXOffLim(Dcb.XoffLim);
}

// ---------------------------------------------------------------------------
// Properties

void TAfComPort::CheckClosed() const
{
    if (IsOpen())
        RaiseError("Port is not closed");
}

// XOn/XOff limits follow the flow control and the receive buffer: a
// quarter of the buffer and the rest, each clamped into 16 bits.
void TAfComPort::UpdateXOnXOff(TAfFlowControl Flow, uint32_t InSize)
{
    uint16_t on = 0;
    uint16_t off = 0;
    if (Flow != fwNone) {
        on = Clamp16(InSize / 4);
        off = Clamp16(int64_t(InSize) - InSize / 4);
    }
    FXOnLim = on;
    FXOffLim = off;
}

void TAfComPort::SetBaudRate(TAfBaudrate Value)
{
    if (Value == FBaudRate)
        return;
    FBaudRate = Value;
    if (Value != brUser)
        FUserBaudRate = 0;
    UpdateDCB();
}

void TAfComPort::SetUserBaudRate(uint32_t Value)
{
    if (Value == FUserBaudRate)
        return;
    FUserBaudRate = Value;
    FBaudRate = brUser;
    UpdateDCB();
}

void TAfComPort::SetComNumber(uint16_t Value)
{
    if (Value == FComNumber)
        return;
    if (IsOpen()) {
        Close();
        FComNumber = Value;
        Open();
    } else {
        FComNumber = Value;
    }
}

void TAfComPort::SetDatabits(TAfDatabits Value)
{
    if (Value == FDatabits)
        return;
    FDatabits = Value;
    UpdateDCB();
}

void TAfComPort::SetDTR(bool Value)
{
    if (Value == FDTR)
        return;
    FCore->EscapeFunction(Value ? AfSetDtr : AfClrDtr);
    FDTR = Value;
    // The line changes through the escape; the image follows quietly, so the
    // next open starts with the line as it was asked for.
    FDCB = BuildDCB();
}

void TAfComPort::SetRTS(bool Value)
{
    if (Value == FRTS)
        return;
    FCore->EscapeFunction(Value ? AfSetRts : AfClrRts);
    FRTS = Value;
    FDCB = BuildDCB();
}

void TAfComPort::SetEventThreadPriority(TThreadPriority Value)
{
    FEventThreadPriority = Value;
}

void TAfComPort::SetWriteThreadPriority(TThreadPriority Value)
{
    FWriteThreadPriority = Value;
}

void TAfComPort::SetFlowControl(TAfFlowControl Value)
{
    if (Value == FFlowControl)
        return;
    UpdateXOnXOff(Value, FInBufSize);
    FFlowControl = Value;
    UpdateDCB();
}

void TAfComPort::SetInBufSize(uint32_t Value)
{
    if (Value == FInBufSize)
        return;
    CheckClosed();
    UpdateXOnXOff(FFlowControl, Value);
    FInBufSize = Value;
}

void TAfComPort::SetOutBufSize(uint32_t Value)
{
    if (Value == FOutBufSize)
        return;
    CheckClosed();
    FOutBufSize = Value;
}

void TAfComPort::SetOptions(TAfComOptions Value)
{
    if (Value == FOptions)
        return;
    FOptions = Value;
    UpdateDCB();
}

void TAfComPort::SetParity(TAfParity Value)
{
    if (Value == FParity)
        return;
    FParity = Value;
    UpdateDCB();
}

void TAfComPort::SetStopbits(TAfStopbits Value)
{
    if (Value == FStopbits)
        return;
    FStopbits = Value;
    UpdateDCB();
}

void TAfComPort::SetXOnChar(char Value)
{
    if (Value == FXOnChar)
        return;
    FXOnChar = Value;
    UpdateDCB();
}

void TAfComPort::SetXOffChar(char Value)
{
    if (Value == FXOffChar)
        return;
    FXOffChar = Value;
    UpdateDCB();
}

void TAfComPort::SetXOnLim(uint16_t Value)
{
    if (Value == FXOnLim)
        return;
    const uint16_t off = Clamp16(int64_t(FInBufSize) - Value);
    FXOnLim = Value;
    FXOffLim = off;
}

void TAfComPort::SetXOffLim(uint16_t Value)
{
    if (Value == FXOffLim)
        return;
    const uint16_t on = Clamp16(int64_t(FInBufSize) - Value);
    FXOffLim = Value;
    FXOnLim = on;
}

void TAfComPort::Loaded()
{
    if (FAutoOpen)
        Open();
    else
        UpdateDCB();
}

// ---------------------------------------------------------------------------
// Open, close, I/O

bool TAfComPort::IsOpen() const
{
    return FCore && FCore->Opened();
}

intptr_t TAfComPort::Handle() const
{
    return FCore ? FCore->Handle() : -1;
}

void TAfComPort::Open()
{
    if (IsOpen())
        return;
    SyncEnable(FSyncId, true);
    FCore->SetDCB(FDCB);
    FCore->SetInBufSize(FInBufSize);
    FCore->SetOutBufSize(FOutBufSize);
    FCore->SetEventThreadPriority(FEventThreadPriority);
    FCore->SetWriteThreadPriority(FWriteThreadPriority);
    FClosing = false;
    BusyCursor(true);
    try {
        FCore->OpenComPort(FComNumber);
    } catch (...) {
        BusyCursor(false);
        throw;
    }
    BusyCursor(false);
    if (OnPortOpen)
        OnPortOpen(this);
}

void TAfComPort::Close()
{
    TClosingScope closing(FClosing);
    SyncEnable(FSyncId, false);  // no further event reaches the main thread
    FCore->Close();
    if (OnPortClose)
        OnPortClose(this);
}

void TAfComPort::RaiseError(const std::string& Message) const
{
    throw EAfComPortError(FName + " - " + Message + " ");
}

void TAfComPort::ReadData(void* Buffer, uint32_t Count)
{
    if (FClosing)
        return;
    if (FCore->ReadData(Buffer, Count) != static_cast<int32_t>(Count))
        RaiseError("Read data error");
}

void TAfComPort::ReadString(RawByteString& Data)
{
    Data.clear();
    if (FClosing)
        return;
    TAfComStat status;
    FCore->ComStat(status);
    if (status.cbInQue == 0)
        return;
    Data.resize(status.cbInQue);
    const int32_t n = FCore->ReadData(Data.data(), status.cbInQue);
    if (n < 0) {
        Data.clear();
        RaiseError("Read data error");
    }
    // Only what was read: the rest of the buffer holds nothing received.
    Data.resize(static_cast<size_t>(n));
}

void TAfComPort::WriteData(const void* Buffer, uint32_t Count)
{
    if (FClosing)
        return;
    if (!FCore->WriteData(Buffer, Count)) {
        char text[96];
        std::snprintf(text, sizeof text, "Write data error [requested: %d, free: %d]", static_cast<int>(Count),
                      static_cast<int>(FCore->OutFree()));
        RaiseError(text);
    }
}

void TAfComPort::WriteString(const RawByteString& Data)
{
    if (!Data.empty())
        WriteData(Data.data(), static_cast<uint32_t>(Data.size()));
}

int32_t TAfComPort::InQueueCount()
{
    TAfComStat status;
    FCore->ComStat(status);
    return static_cast<int32_t>(status.cbInQue);
}

int32_t TAfComPort::OutFree()
{
    return static_cast<int32_t>(FCore->OutFree());
}

void TAfComPort::PurgeRx()
{
    if (!FClosing)
        FCore->PurgeRx();
}

void TAfComPort::PurgeTx()
{
    if (!FClosing)
        FCore->PurgeTx();
}

bool TAfComPort::CTS() { return (FCore->ModemStatus() & AfMsCtsOn) != 0; }
bool TAfComPort::DSR() { return (FCore->ModemStatus() & AfMsDsrOn) != 0; }
bool TAfComPort::RING() { return (FCore->ModemStatus() & AfMsRingOn) != 0; }
bool TAfComPort::RLSD() { return (FCore->ModemStatus() & AfMsRlsdOn) != 0; }

bool TAfComPort::ExecuteConfigDialog()
{
    TAfDCB dcb = FDCB;
    if (!afport::RunConfigDialog(IsOpen() ? Handle() : -1, FComNumber, dcb))
        return false;
    DCBReadBack(dcb);
    return true;
}

// ---------------------------------------------------------------------------
// Events

// On the engine's hand-over thread, one event at a time.
void TAfComPort::CoreEvent(TAfCoreEvent Kind, uint32_t Data, std::exception_ptr Error)
{
    if (FClosing || FDestroying)
        return;
    if (Kind != ceException && OnNonSyncEvent) {
        OnNonSyncEvent(this, Kind, Data);
        return;
    }
    {
        std::lock_guard<std::mutex> g(FEventLock);
        FEventKind = Kind;
        FEventData = Data;
        FEventError = std::move(Error);
    }
    if (!SyncCall(FSyncId, kSyncTimeoutMs))
        throw EAfAbort();  // closing: the event is dropped quietly
}

namespace {

// A handler is called through a copy: the handler may detach itself (its
// owner goes away inside it) without destroying the code that runs.
template <class F, class... A>
void Raise(const F& Handler, A... Args)
{
    if (F h = Handler)
        h(Args...);
}

}  // namespace

// On the main thread, through safe sync.
void TAfComPort::MainThreadDispatch()
{
    if (FClosing || FDestroying)
        return;
    // A handler may release the owner and with it this component: it lives
    // on until its dispatch is done (closed, its handlers detached).
    const std::shared_ptr<TAfComPort> keep = weak_from_this().lock();
    TAfCoreEvent kind;
    uint32_t data;
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> g(FEventLock);
        kind = FEventKind;
        data = FEventData;
        error = std::move(FEventError);
        FEventError = nullptr;
    }
    Raise(OnSyncEvent, this, kind, data);
    switch (kind) {
    case ceOutFree:
        Raise(OnOutBufFree, this);
        break;
    case ceLineEvent: {
        if (data & AfEvRxChar) {
            TAfComStat status;
            FCore->ComStat(status);
            Raise(OnDataRecived, this, status.cbInQue);
        }
        const uint32_t errors = FCore->TakeErrors();
        if (data & AfEvErr)
            Raise(OnLineError, this, errors);
        if (data & AfEvCts)
            Raise(OnCTSChanged, this);
        if (data & AfEvDsr)
            Raise(OnDSRChanged, this);
        if (data & AfEvRing)
            Raise(OnRINGDetected, this);
        if (data & AfEvRlsd)
            Raise(OnRLSDChanged, this);
        break;
    }
    case ceNeedReadData:
        Raise(OnDataRecived, this, data);
        break;
    case ceException:
        if (error)
            std::rethrow_exception(error);
        break;
    }
}

}  // namespace kelvo
