#include "uci_ICommunicationInterface.h"

#include <cctype>
#include <cmath>

#include "uByteString.h"
#include "uTerminalForwarder.h"
#include "uTickUtils.h"

namespace kelvo {

namespace {

const char* const AttrConnectionString = "connectionstring";

// Holds FLock of a channel for a scope, released on every exit.
class TChannelLock {
public:
    explicit TChannelLock(std::recursive_mutex& Lock) : FLock(Lock) { FLock.lock(); }
    ~TChannelLock() { FLock.unlock(); }
    TChannelLock(const TChannelLock&) = delete;
    TChannelLock& operator=(const TChannelLock&) = delete;

private:
    std::recursive_mutex& FLock;
};

}  // namespace

// ---- Construction -------------------------------------------------------

TCommunicationInterface::TCommunicationInterface(const std::string& ConnectionString)
    : TNodedInterface(nullptr, nullptr), FInitConnectionString(ConnectionString)
{
}

TCommunicationInterface::TCommunicationInterface(IXMLElement* XMLNode, IUnknown* Parent)
    : TNodedInterface(nullptr, nullptr), FInitFromXML(true), FInitXMLNode(XMLNode), FInitParent(Parent)
{
}

TCommunicationInterface::~TCommunicationInterface()
{
    delete FOpenEvents.exchange(nullptr);
    delete FCloseEvents.exchange(nullptr);
    delete FDataAvailableEvents.exchange(nullptr);
    delete FLineChangeEvents.exchange(nullptr);
    delete FChangeEvents.exchange(nullptr);
}

void TCommunicationInterface::AfterConstruction()
{
    // The node part first: class name, enabled, fresh GUID, "created".
    TNodedInterface::AfterConstruction();
    std::string connectionString = std::move(FInitConnectionString);
    IntfPtr<IXMLElement> element = std::move(FInitXMLNode);
    IntfPtr<IUnknown> parent = std::move(FInitParent);
    if (FInitFromXML) {
        LoadFromXML(element.get(), true, true);
        SetParent(parent.get());
    } else if (!connectionString.empty()) {
        SetConnectionString(connectionString);
    }
}

void* TCommunicationInterface::GetInterface(const TGUID& IID)
{
    if (IID == ICommunicationInterface::IID)
        return static_cast<ICommunicationInterface*>(this);
    if (IID == ICommunicationInterfaceCore::IID)
        return static_cast<ICommunicationInterfaceCore*>(this);
    return TNodedInterface::GetInterface(IID);
}

void TCommunicationInterface::LoadFromXML(IXMLElement* Element, bool Assign, bool TakeGUID)
{
    TNodedInterface::LoadFromXML(Element, Assign, TakeGUID);
    if (Element && Element->HasAttribute(AttrConnectionString))
        SetConnectionString(Element->GetAttribute(AttrConnectionString));
}

void TCommunicationInterface::SaveToXML()
{
    TNodedInterface::SaveToXML();
    IntfPtr<IXMLElement> element;
    GetXMLNode(element);
    if (element) {
        std::string s;
        GetConnectionString(s);
        element->SetAttribute(AttrConnectionString, s);
    }
}

// ---- Single handlers and lists -------------------------------------------

template <class L>
L* TCommunicationInterface::LazyList(std::atomic<L*>& List)
{
    L* list = List.load(std::memory_order_acquire);
    if (list)
        return list;
    L* fresh = new L;
    if (List.compare_exchange_strong(list, fresh, std::memory_order_acq_rel))
        return fresh;
    delete fresh;  // another thread was first
    return list;
}

void TCommunicationInterface::SetOnDataAvailable(const TCiNotifyEvent& Handler)
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    FOnDataAvailable = Handler;
}

TCiNotifyEvent TCommunicationInterface::GetOnDataAvailable()
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    return FOnDataAvailable;
}

TeventerCiNotify* TCommunicationInterface::DataAvailableEvents()
{
    return LazyList(FDataAvailableEvents);
}

TCiNotifyEvent TCommunicationInterface::GetOnOpen()
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    return FOnOpen;
}

void TCommunicationInterface::SetOnOpen(const TCiNotifyEvent& Handler)
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    FOnOpen = Handler;
}

TeventerCiNotify* TCommunicationInterface::OpenEvents()
{
    return LazyList(FOpenEvents);
}

TCiNotifyEvent TCommunicationInterface::GetOnClose()
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    return FOnClose;
}

void TCommunicationInterface::SetOnClose(const TCiNotifyEvent& Handler)
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    FOnClose = Handler;
}

TeventerCiNotify* TCommunicationInterface::CloseEvents()
{
    return LazyList(FCloseEvents);
}

TCiLineChangeEvent TCommunicationInterface::GetOnLineChange()
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    return FOnLineChange;
}

void TCommunicationInterface::SetOnLineChange(const TCiLineChangeEvent& Handler)
{
    std::lock_guard<std::mutex> guard(FHandlerSync);
    FOnLineChange = Handler;
}

TeventerCiNotify* TCommunicationInterface::ChangeEvents()
{
    return LazyList(FChangeEvents);
}

TeventerCiNotifyChangeEvent* TCommunicationInterface::LineChangeEvents()
{
    return LazyList(FLineChangeEvents);
}

// ---- Notifications --------------------------------------------------------

void TCommunicationInterface::NotifyDataAvailable(ICommunicationInterface* Sender)
{
    try {
        IntfPtr<ICommunicationInterface> sender(Sender ? Sender : AsInterface());
        if (TCiNotifyEvent handler = GetOnDataAvailable())
            handler(sender.get());
        if (TeventerCiNotify* list = FDataAvailableEvents.load(std::memory_order_acquire))
            list->Fire(sender.get());
    } catch (...) {
    }
}

void TCommunicationInterface::NotifyOpened()
{
    try {
        IntfPtr<ICommunicationInterface> self(AsInterface());
        if (TeventerCiNotify* list = FOpenEvents.load(std::memory_order_acquire))
            list->Fire(self.get());
        if (TCiNotifyEvent handler = GetOnOpen())
            handler(self.get());
    } catch (...) {
    }
}

void TCommunicationInterface::NotifyClosed()
{
    try {
        IntfPtr<ICommunicationInterface> self(AsInterface());
        if (TeventerCiNotify* list = FCloseEvents.load(std::memory_order_acquire))
            list->Fire(self.get());
        if (TCiNotifyEvent handler = GetOnClose())
            handler(self.get());
    } catch (...) {
    }
}

void TCommunicationInterface::NotifyLineChange(int32_t Line, bool State)
{
    try {
        IntfPtr<ICommunicationInterface> self(AsInterface());
        if (TeventerCiNotifyChangeEvent* list = FLineChangeEvents.load(std::memory_order_acquire))
            list->Fire(self.get(), Line, State);
        if (TCiLineChangeEvent handler = GetOnLineChange())
            handler(self.get(), Line, State);
    } catch (...) {
    }
}

void TCommunicationInterface::NotifyChanged()
{
    try {
        IntfPtr<ICommunicationInterface> self(AsInterface());
        if (TeventerCiNotify* list = FChangeEvents.load(std::memory_order_acquire))
            list->Fire(self.get());
    } catch (...) {
    }
}

// ---- Channel operations -----------------------------------------------------

void TCommunicationInterface::SetActive(bool Value)
{
    if (Value == GetActive())
        return;
    if (Value)
        Open();
    else
        Close(false);
}

bool TCommunicationInterface::Open()
{
    FCharTime = 10.0;
    return false;
}

bool TCommunicationInterface::Close(bool /*Force*/)
{
    return false;
}

void TCommunicationInterface::Read(RawByteString& Data)
{
    Data.clear();
}

bool TCommunicationInterface::GetPresent()
{
    return FPresent;
}

void TCommunicationInterface::SetPresent(bool Value)
{
    FPresent = Value;
}

void TCommunicationInterface::GetDescription(std::string& Text)
{
    GetName(Text);
}

bool TCommunicationInterface::ShowSetupDialog()
{
    return false;
}

bool TCommunicationInterface::HasSetupDialog()
{
    return false;
}

void TCommunicationInterface::GetConnectionString(std::string& S)
{
    S.clear();
}

void TCommunicationInterface::SetConnectionString(const std::string& /*S*/)
{
    NotifyChanged();
}

double TCommunicationInterface::GetCharTime()
{
    return FCharTime;
}

void TCommunicationInterface::PurgeRx() {}

void TCommunicationInterface::PurgeTx() {}

bool TCommunicationInterface::TryLock()
{
    return FLock.try_lock();
}

void TCommunicationInterface::Lock()
{
    FLock.lock();
}

void TCommunicationInterface::Unlock()
{
    FLock.unlock();
}

// ---- Request and reply ------------------------------------------------------

namespace {
std::atomic<bool> gQueryCancel{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from signal handlers");

// A cancel request only sets a flag (a signal handler can do no more), so a
// Query asleep until bytes arrive looks at it this often.
constexpr uint32_t kCancelLookMs = 40;
}  // namespace

void RequestQueryCancel() noexcept
{
    gQueryCancel.store(true, std::memory_order_relaxed);
}

void ClearQueryCancel() noexcept
{
    gQueryCancel.store(false, std::memory_order_relaxed);
}

namespace {
thread_local const std::atomic<bool>* tThreadCancel = nullptr;
}  // namespace

bool QueryCancelRequested() noexcept
{
    if (gQueryCancel.load(std::memory_order_relaxed))
        return true;
    const std::atomic<bool>* own = tThreadCancel;
    return own && own->load(std::memory_order_relaxed);
}

const std::atomic<bool>* SetThreadQueryCancel(const std::atomic<bool>* Flag) noexcept
{
    const std::atomic<bool>* before = tThreadCancel;
    tThreadCancel = Flag;
    return before;
}

void TCommunicationInterface::Query(const RawByteString& Request, int32_t Timeout, RawByteString& Reply,
                                    TReplyCheck Check, TReplyHopeless Hopeless)
{
    Reply.clear();
    TChannelLock lock(FLock);
    if (!GetActive() || QueryCancelRequested())
        return;
    // No purge: bytes that arrived before the request begin the reply.
    QueryPrepareRx();
    QueryPrepareTx();
    SleepMs(1);
    Write(Request);

    const double charTime = FCharTime;
    const int64_t lineTime = static_cast<int64_t>(std::ceil((static_cast<double>(Request.size()) + 5) * charTime));
    // Once bytes come, each chunk gives the line this long to go on.
    const uint32_t quiet = static_cast<uint32_t>(std::ceil(charTime * 10)) + FLineGapMs;
    uint32_t deadline = GetTickCount32() + static_cast<uint32_t>(static_cast<int64_t>(Timeout) + lineTime);
    // Once the reply cannot become complete any more, the deadline stays
    // where the chunk that showed it put it: a device that never stops
    // talking must not hold the exchange for ever. What still arrives until
    // then is taken, so that the tail of a late frame does not begin the
    // next exchange's reply.
    bool hopeless = false;
    TWakeSignal* arrived = FSignalsArrival ? &FArrived : nullptr;
    for (;;) {
        if (arrived) {
            // Until the first tick past the deadline, or the next look at
            // the cancel request, which nothing can signal.
            const uint32_t now = GetTickCount32();
            uint32_t until = deadline + 1;
            if (static_cast<int32_t>(until - now) > static_cast<int32_t>(kCancelLookMs))
                until = now + kCancelLookMs;
            WaitForSignal(*arrived, until);
        } else {
            SleepMs(1);
        }
        if (InQueueCount() != 0) {
            RawByteString chunk;
            Read(chunk);
            // A driver that reports bytes it then does not deliver must not
            // keep the exchange alive for ever.
            if (!chunk.empty()) {
                Reply += chunk;
                if (!hopeless) {
                    deadline = GetTickCount32() + quiet;
                    hopeless = Hopeless && Hopeless(Reply);
                }
            }
        }
        // Signed difference: correct across the wrap of the tick counter.
        if (static_cast<int32_t>(GetTickCount32() - deadline) > 0 || QueryCancelRequested())
            break;
        if (Check && Check(Reply) == 0)
            break;
    }
}

// ---- Software receive buffer ------------------------------------------------

void TCommunicationInterface::PollReceived()
{
    if (InQueueCount() != 0) {
        RawByteString chunk;
        Read(chunk);
        FReceived += chunk;
    }
}

int32_t TCommunicationInterface::ReceivedCount(bool Poll)
{
    if (Poll)
        PollReceived();
    return static_cast<int32_t>(FReceived.size());
}

void TCommunicationInterface::ExtractReceived(int32_t Count, RawByteString& Data)
{
    Data.clear();
    PollReceived();
    if (Count < 0 || static_cast<size_t>(Count) >= FReceived.size()) {
        Data.swap(FReceived);
        FReceived.clear();
    } else if (Count != 0) {
        Data = FReceived.substr(0, static_cast<size_t>(Count));
        FReceived.erase(0, static_cast<size_t>(Count));
    }
}

void TCommunicationInterface::PeekReceived(int32_t Count, RawByteString& Data)
{
    Data.clear();
    PollReceived();
    if (Count < 0 || static_cast<size_t>(Count) >= FReceived.size())
        Data = FReceived;
    else if (Count != 0)
        Data = FReceived.substr(0, static_cast<size_t>(Count));
}

// ---- Data trace ---------------------------------------------------------------

namespace {

std::mutex gTraceMutex;
TDataTraceEvent gTraceHandler;
std::atomic<bool> gTraceSet{false};  // the one test per transfer when tracing is off
std::atomic<TTerminalSink> gTerminalSink{nullptr};

class TTerminalForwarder {
public:
    void Trace(ICommunicationInterface* /*Channel*/, const RawByteString& Data, uint8_t Direction)
    {
        if (Data.empty() || !(GetDataTraceHandler() == TerminalForwarderHandler()))
            return;
        RawByteString payload;
        payload.reserve(Data.size() + 1);
        payload.push_back(static_cast<char>(Direction));
        payload += Data;
        if (TTerminalSink sink = gTerminalSink.load(std::memory_order_acquire))
            sink(payload);
        else
            ForwardToTerminal(payload);
    }
};

TTerminalForwarder gForwarder;

}  // namespace

void SetDataTraceHandler(const TDataTraceEvent& Handler)
{
    std::lock_guard<std::mutex> guard(gTraceMutex);
    gTraceHandler = Handler;
    gTraceSet.store(static_cast<bool>(Handler), std::memory_order_release);
}

TDataTraceEvent GetDataTraceHandler()
{
    std::lock_guard<std::mutex> guard(gTraceMutex);
    return gTraceHandler;
}

TDataTraceEvent TerminalForwarderHandler()
{
    return TDataTraceEvent::Of<&TTerminalForwarder::Trace>(&gForwarder);
}

void TCommunicationInterface::DataTrace(uint8_t Direction, const RawByteString& Data)
{
    if (!gTraceSet.load(std::memory_order_acquire))
        return;
    try {
        if (TDataTraceEvent handler = GetDataTraceHandler())
            handler(AsInterface(), Data, Direction);
    } catch (...) {
    }
}

bool CommandLineWantsDataTrace(const std::vector<std::string>& Params)
{
    for (const std::string& p : Params) {
        std::string s = NormalizedSwitch(p);
        if (s == "DST" || s == "STD")
            return true;
    }
    return false;
}

void InitDataTrace(int argc, const char* const* argv)
{
    std::vector<std::string> params;
    for (int i = 0; i < argc; ++i)
        if (argv[i])
            params.emplace_back(argv[i]);
    if (CommandLineWantsDataTrace(params))
        SetDataTraceHandler(TerminalForwarderHandler());
}

TTerminalSink SetTerminalSink(TTerminalSink Sink)
{
    return gTerminalSink.exchange(Sink, std::memory_order_acq_rel);
}

}  // namespace kelvo
