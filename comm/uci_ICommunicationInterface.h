#pragma once
// The byte channel to a module, as the rest of the program sees it: open,
// close, write, read, one request with its reply (Query), a connection
// string, notifications, and the channel lock.
//
// TCommunicationInterface is the abstract base of the serial port and the
// FTDI device: it holds the notification plumbing, the per-channel recursive
// lock, the software receive buffer, the request/reply exchange and the data
// trace that forwards all traffic to an external terminal window.
//
// Locking: FLock serialises all channel access. Query holds it for a whole
// exchange; implementations take it in Open, Close, Write and Read, so a
// second thread cannot talk to the channel in the middle of an exchange. The
// buffered reads and the handler getters and setters take no channel lock
// and are meant for one thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "uByteString.h"
#include "uEventer.h"
#include "uTickUtils.h"
#include "uiNodedInterface.h"

namespace kelvo {

// Decides whether the reply collected so far is complete: 0 ends the wait,
// anything else goes on waiting. CheckVerdel97Packet has this shape.
using TReplyCheck = uint16_t (*)(const RawByteString& Reply);

// Decides whether the reply collected so far can never become complete,
// whatever follows (a foreign device, a line full of noise): true ends the
// patience of Query. Verdel97ReplyHopeless has this shape.
using TReplyHopeless = bool (*)(const RawByteString& Reply);

// Modem lines carried by the line-change notification.
constexpr int32_t LineRLSD = 0;  // carrier detect changed; state: carrier present
constexpr int32_t LineCTS = 1;
constexpr int32_t LineDSR = 3;
constexpr int32_t LineRing = 4;

// Directions of the data trace.
constexpr uint8_t TraceSent = 1;
constexpr uint8_t TraceReceived = 2;

class ICommunicationInterfaceCore : public virtual IUnknown {
public:
    static constexpr TGUID IID{0x76A7FD53, 0x30E9, 0x4F5A, {0x9B, 0x92, 0x90, 0xAC, 0x61, 0xE1, 0x9E, 0xA0}};

    virtual void SetOnDataAvailable(const TCiNotifyEvent& Handler) = 0;
    virtual TCiNotifyEvent GetOnDataAvailable() = 0;
    virtual TeventerCiNotify* DataAvailableEvents() = 0;
    // Opens or closes unless the channel already is in that state.
    virtual void SetActive(bool Value) = 0;
    virtual bool GetActive() = 0;
    virtual bool Open() = 0;
    virtual bool Close(bool Force) = 0;
    // The number of bytes the driver accepted.
    virtual int32_t Write(const RawByteString& Data) = 0;
    // Every byte waiting in the driver, possibly none; never waits.
    virtual void Read(RawByteString& Data) = 0;
    virtual int32_t InQueueCount() = 0;
    virtual bool GetPresent() = 0;
    virtual void SetPresent(bool Value) = 0;
    // "COM3", "COM unknown", or the USB serial number.
    virtual void GetName(std::string& Name) = 0;
    virtual void GetDescription(std::string& Text) = 0;
    virtual bool ShowSetupDialog() = 0;
    virtual bool HasSetupDialog() = 0;
    virtual void GetConnectionString(std::string& S) = 0;
    // Applies the keys present in S, leaves the other settings alone.
    virtual void SetConnectionString(const std::string& S) = 0;

protected:
    ~ICommunicationInterfaceCore() = default;
};

class ICommunicationInterface : public virtual ICommunicationInterfaceCore {
public:
    static constexpr TGUID IID{0xA08B3416, 0x51DC, 0x4315, {0x94, 0x0D, 0xD6, 0x11, 0x0F, 0x11, 0x41, 0x64}};

    virtual TCiNotifyEvent GetOnOpen() = 0;
    virtual void SetOnOpen(const TCiNotifyEvent& Handler) = 0;
    virtual TeventerCiNotify* OpenEvents() = 0;
    virtual TCiNotifyEvent GetOnClose() = 0;
    virtual void SetOnClose(const TCiNotifyEvent& Handler) = 0;
    virtual TeventerCiNotify* CloseEvents() = 0;
    virtual TCiLineChangeEvent GetOnLineChange() = 0;
    virtual void SetOnLineChange(const TCiLineChangeEvent& Handler) = 0;
    // Settings or connection string changed (there is no single handler).
    virtual TeventerCiNotify* ChangeEvents() = 0;
    virtual TeventerCiNotifyChangeEvent* LineChangeEvents() = 0;
    // Sends Request and collects what comes back, under the channel lock.
    // It looks at the line every millisecond or, on a channel that tells of
    // arriving bytes, sleeps until they come or a deadline is due; the
    // deadlines are the same either way, in ticks of the millisecond
    // counter. Never reports a timeout: the caller judges Reply. Each chunk that
    // arrives gives the line another quiet period (ten character times plus
    // the line gap, 50 ms unless the connection string's "line_gap" says
    // otherwise) - until Hopeless (when
    // given) says the reply can no longer become complete; from then on the
    // exchange ends one quiet period after that chunk, however much more
    // the line sends.
    virtual void Query(const RawByteString& Request, int32_t Timeout, RawByteString& Reply,
                       TReplyCheck Check = nullptr, TReplyHopeless Hopeless = nullptr) = 0;
    virtual void ExtractReceived(int32_t Count, RawByteString& Data) = 0;
    virtual int32_t ReceivedCount(bool Poll) = 0;
    virtual void PeekReceived(int32_t Count, RawByteString& Data) = 0;
    // Milliseconds per character on the line (0 when unknown).
    virtual double GetCharTime() = 0;
    virtual void PurgeRx() = 0;
    virtual void PurgeTx() = 0;
    virtual bool TryLock() = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

protected:
    ~ICommunicationInterface() = default;
};

class TCommunicationInterface : public TNodedInterface, public virtual ICommunicationInterface {
public:
    // Name = class name, enabled, fresh GUID; once the object is built, a
    // non-empty ConnectionString is applied through the most derived
    // SetConnectionString. Subclasses set up their own fields in their
    // constructors; the string is applied after those have run.
    explicit TCommunicationInterface(const std::string& ConnectionString = std::string());
    // As above with an empty string, then LoadFromXML(XMLNode, true, true)
    // (which applies its "connectionstring" attribute) and SetParent(Parent).
    TCommunicationInterface(IXMLElement* XMLNode, IUnknown* Parent);
    ~TCommunicationInterface() override;

    // ICommunicationInterfaceCore
    void SetOnDataAvailable(const TCiNotifyEvent& Handler) override;
    TCiNotifyEvent GetOnDataAvailable() override;
    TeventerCiNotify* DataAvailableEvents() override;
    void SetActive(bool Value) override;
    bool GetActive() override = 0;
    // Base: sets the character time to 10 ms and fails.
    bool Open() override;
    bool Close(bool Force) override;
    int32_t Write(const RawByteString& Data) override = 0;
    void Read(RawByteString& Data) override;
    int32_t InQueueCount() override = 0;
    bool GetPresent() override;
    void SetPresent(bool Value) override;
    // Answers for the node name too: on a channel, GetName is the channel's
    // name ("COM3", a serial number); FName stays the node's own name for
    // FindByName and the XML element.
    void GetName(std::string& Name) override = 0;
    void GetDescription(std::string& Text) override;
    bool ShowSetupDialog() override;
    bool HasSetupDialog() override;
    void GetConnectionString(std::string& S) override;
    void SetConnectionString(const std::string& S) override;

    // ICommunicationInterface
    TCiNotifyEvent GetOnOpen() override;
    void SetOnOpen(const TCiNotifyEvent& Handler) override;
    TeventerCiNotify* OpenEvents() override;
    TCiNotifyEvent GetOnClose() override;
    void SetOnClose(const TCiNotifyEvent& Handler) override;
    TeventerCiNotify* CloseEvents() override;
    TCiLineChangeEvent GetOnLineChange() override;
    void SetOnLineChange(const TCiLineChangeEvent& Handler) override;
    TeventerCiNotify* ChangeEvents() override;
    TeventerCiNotifyChangeEvent* LineChangeEvents() override;
    void Query(const RawByteString& Request, int32_t Timeout, RawByteString& Reply,
               TReplyCheck Check = nullptr, TReplyHopeless Hopeless = nullptr) override;
    void ExtractReceived(int32_t Count, RawByteString& Data) override;
    int32_t ReceivedCount(bool Poll) override;
    void PeekReceived(int32_t Count, RawByteString& Data) override;
    double GetCharTime() override;
    void PurgeRx() override;
    void PurgeTx() override;
    bool TryLock() override;
    void Lock() override;
    void Unlock() override;

    // TNodedInterface: also the "connectionstring" attribute.
    void LoadFromXML(IXMLElement* Element, bool Assign, bool TakeGUID) override;
    void SaveToXML() override;

    // Raised by the implementations. Every one swallows what its handlers
    // raise. Data available: the single handler, then the list (an exception
    // of the single handler skips the list for that event); opened, closed,
    // line change: the list, then the single handler; changed: the list.
    void NotifyDataAvailable(ICommunicationInterface* Sender = nullptr);
    void NotifyOpened();
    void NotifyClosed();
    void NotifyLineChange(int32_t Line, bool State);
    void NotifyChanged();

    // Hands Data to the process-wide trace handler (when one is set);
    // Direction is TraceSent or TraceReceived. Implementations call it in
    // Write before sending and in Read after receiving.
    virtual void DataTrace(uint8_t Direction, const RawByteString& Data);

    ICommunicationInterface* AsInterface() { return static_cast<ICommunicationInterface*>(this); }

    // The pause (ms) after a chunk that ends a reply, beyond ten character
    // times: 50, as a serial line allows between two bytes of one frame. A
    // bridge that pauses longer inside a reply needs more.
    static constexpr uint32_t kDefaultLineGapMs = 50;
    uint32_t GetLineGapMs() const { return FLineGapMs; }
    void SetLineGapMs(uint32_t Ms) { FLineGapMs = Ms; }

protected:
    void AfterConstruction() override;
    void* GetInterface(const TGUID& IID) override;

    // Called by Query before it writes; nothing here. Query never purges.
    virtual void QueryPrepareRx() {}
    virtual void QueryPrepareTx() {}

    // The receive side's word that bytes arrived. An implementation whose
    // receive side can tell raises FArrived from there, on whatever thread
    // learns of the bytes, after they can be read; while FSignalsArrival is
    // set, Query sleeps until it is raised or a deadline is due instead of
    // looking at the line every millisecond.
    TWakeSignal FArrived;
    std::atomic<bool> FSignalsArrival{false};

    // Milliseconds per character; the serial core derives it from the baud
    // rate (1000 / rate * 10).
    std::atomic<double> FCharTime{0.0};
    std::atomic<uint32_t> FLineGapMs{kDefaultLineGapMs};
    std::atomic<bool> FPresent{false};
    RawByteString FReceived;
    std::recursive_mutex FLock;

private:
    void PollReceived();
    template <class L>
    L* LazyList(std::atomic<L*>& List);

    std::mutex FHandlerSync;  // keeps a handler from being read half-written
    TCiNotifyEvent FOnDataAvailable;
    TCiNotifyEvent FOnOpen;
    TCiNotifyEvent FOnClose;
    TCiLineChangeEvent FOnLineChange;
    std::atomic<TeventerCiNotify*> FOpenEvents{nullptr};
    std::atomic<TeventerCiNotify*> FCloseEvents{nullptr};
    std::atomic<TeventerCiNotify*> FDataAvailableEvents{nullptr};
    std::atomic<TeventerCiNotifyChangeEvent*> FLineChangeEvents{nullptr};
    std::atomic<TeventerCiNotify*> FChangeEvents{nullptr};

    // What the constructors leave for AfterConstruction.
    std::string FInitConnectionString;
    bool FInitFromXML = false;
    IntfPtr<IXMLElement> FInitXMLNode;
    IntfPtr<IUnknown> FInitParent;
};

// ---- Giving up exchanges --------------------------------------------------

// A process-wide request to give up: every Query looks at it at each step
// (a Query that sleeps until bytes arrive wakes for it at least every 40
// ms) and, once it is set, ends as an exchange that got no (complete)
// reply, before writing when it was set before. Lock-free, so a signal
// handler may set it. It stays set until cleared.
void RequestQueryCancel() noexcept;
void ClearQueryCancel() noexcept;
// True when the process-wide request is set, or the calling thread's own
// flag (below).
bool QueryCancelRequested() noexcept;

// A flag of the calling thread's own that gives up its exchanges as the
// process-wide request does, and only them: one of several threads, each
// on its own channel, can end its work (its port vanished) while the
// others go on. Another thread may set the flag; it must outlive its use.
// Returns the flag that was in force before (nullptr: none), to be put
// back.
const std::atomic<bool>* SetThreadQueryCancel(const std::atomic<bool>* Flag) noexcept;

// ---- Data trace ---------------------------------------------------------

// The process-wide trace handler: (channel, data, direction). Empty at start.
using TDataTraceEvent = TMethod<ICommunicationInterface*, const RawByteString&, uint8_t>;

void SetDataTraceHandler(const TDataTraceEvent& Handler);
TDataTraceEvent GetDataTraceHandler();

// The built-in handler that forwards every non-empty transfer to the
// terminal window: a direction byte followed by the data.
TDataTraceEvent TerminalForwarderHandler();

// True when one of the parameters (the program path at index 0 included),
// trimmed of blanks, with one leading "/" or "-" dropped and upper-cased, is
// "DST" or "STD".
bool CommandLineWantsDataTrace(const std::vector<std::string>& Params);

// Scans the command line at program start and, when it asks for it, makes
// the terminal forwarder the trace handler. main() calls it before any
// channel exists.
void InitDataTrace(int argc, const char* const* argv);

// Where the forwarder's payloads go; ForwardToTerminal by default. Tests
// install a recorder; an empty sink restores the default. Returns the sink
// that was installed before.
using TTerminalSink = void (*)(const RawByteString& Payload);
TTerminalSink SetTerminalSink(TTerminalSink Sink);

}  // namespace kelvo
