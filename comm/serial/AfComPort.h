#pragma once
// The serial port component: line settings as properties, turned into a
// Windows DCB image; open/close, reads and writes through the port core;
// and the core's events delivered as user-level events on the main thread
// (safe sync). Only OnNonSyncEvent runs on the engine's own thread (its
// hand-over thread, which passes the event thread's events on).

#include <atomic>
#include <bitset>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "AfComPortCore.h"
#include "uByteString.h"

namespace kelvo {

// Raised by the component ("<name> - <message> ").
class EAfComPortError : public Exception {
public:
    using Exception::Exception;
};

enum TAfBaudrate : uint8_t {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br230400,
    br256000,
    br460800,
    br921600,
    brUser,  // UserBaudRate applies
};

// The bit rate of a standard value; 0 for brUser.
uint32_t AfBaudrateValue(TAfBaudrate Rate);

enum TAfDatabits : uint8_t { db4, db5, db6, db7, db8 };
enum TAfParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TAfStopbits : uint8_t { sbOne, sbOneAndHalf, sbTwo };
enum TAfFlowControl : uint8_t { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };
enum TAfComOption : uint8_t {
    coParityCheck,
    coDsrSensitivity,
    coIgnoreXOff,
    coErrorChar,
    coStripNull,
    coBreakControl,
};

// A set of TAfComOption.
class TAfComOptions {
public:
    TAfComOptions() = default;
    TAfComOptions(std::initializer_list<TAfComOption> Options)
    {
        for (TAfComOption o : Options)
            FBits.set(o);
    }
    bool Has(TAfComOption O) const { return FBits.test(O); }
    void Include(TAfComOption O) { FBits.set(O); }
    void Exclude(TAfComOption O) { FBits.reset(O); }
    bool Empty() const { return FBits.none(); }
    friend bool operator==(const TAfComOptions&, const TAfComOptions&) = default;

private:
    std::bitset<6> FBits;
};

// The DCB flags of the flow-control modes and of the options.
uint32_t AfFlowControlFlags(TAfFlowControl Flow);
uint32_t AfComOptionFlag(TAfComOption Option);

class TAfComPort;
using TAfNotifyEvent = std::function<void(TAfComPort* Sender)>;
using TAfDataRecivedEvent = std::function<void(TAfComPort* Sender, uint32_t Count)>;
using TAfLineErrorEvent = std::function<void(TAfComPort* Sender, uint32_t Errors)>;
using TAfCoreEventEvent = std::function<void(TAfComPort* Sender, TAfCoreEvent EventKind, uint32_t Data)>;

// The window shows the busy cursor while a port opens (Busy true, then
// false); nothing is shown when no hook is set.
void SetAfBusyCursorHook(std::function<void(bool Busy)> Hook);

// May be held by a shared_ptr: its main-thread dispatch then keeps it alive
// while the handlers run, so a handler may drop the last reference to its
// owner (and with it to the component).
class TAfComPort : public std::enable_shared_from_this<TAfComPort> {
public:
    explicit TAfComPort(std::string Name = {});
    virtual ~TAfComPort();
    TAfComPort(const TAfComPort&) = delete;
    TAfComPort& operator=(const TAfComPort&) = delete;

    const std::string& Name() const { return FName; }
    void SetName(std::string Value) { FName = std::move(Value); }

    // Nothing when already open; open failures raise the core's
    // EAfComPortCoreError and OnPortOpen is then not raised.
    void Open();
    // Also when not open: OnPortClose is raised either way.
    void Close();
    bool IsOpen() const;
    intptr_t Handle() const;

    // Exactly Count bytes, or "Read data error".
    void ReadData(void* Buffer, uint32_t Count);
    // Every byte waiting in the receive queue (empty while closing); a read
    // that fails raises "Read data error".
    void ReadString(RawByteString& Data);
    // Into the write ring; "Write data error [requested: %d, free: %d]" when
    // the ring refuses the block (too big, or the port is not open).
    void WriteData(const void* Buffer, uint32_t Count);
    void WriteString(const RawByteString& Data);
    int32_t InQueueCount();
    int32_t OutFree();
    void PurgeRx();
    void PurgeTx();

    bool CTS();
    bool DSR();
    bool RING();
    bool RLSD();

    // The system's port settings dialog; true when the user confirmed (the
    // settings are then taken over).
    bool ExecuteConfigDialog();
    [[noreturn]] void RaiseError(const std::string& Message) const;

    // Takes a DCB (from the settings dialog) into the properties, all or
    // nothing: when the open port refuses it, nothing changes.
    void DCBReadBack(const TAfDCB& Dcb);
    // After loading stored settings: open when AutoOpen, else rebuild the DCB.
    void Loaded();

    // Properties.
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool Value) { FAutoOpen = Value; }
    TAfBaudrate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TAfBaudrate Value);
    uint16_t ComNumber() const { return FComNumber; }
    void SetComNumber(uint16_t Value);
    TAfDatabits Databits() const { return FDatabits; }
    void SetDatabits(TAfDatabits Value);
    bool DTR() const { return FDTR; }
    void SetDTR(bool Value);
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    void SetEventThreadPriority(TThreadPriority Value);
    TAfFlowControl FlowControl() const { return FFlowControl; }
    void SetFlowControl(TAfFlowControl Value);
    uint32_t InBufSize() const { return FInBufSize; }
    void SetInBufSize(uint32_t Value);
    TAfComOptions Options() const { return FOptions; }
    void SetOptions(TAfComOptions Value);
    uint32_t OutBufSize() const { return FOutBufSize; }
    void SetOutBufSize(uint32_t Value);
    TAfParity Parity() const { return FParity; }
    void SetParity(TAfParity Value);
    bool RTS() const { return FRTS; }
    void SetRTS(bool Value);
    TAfStopbits Stopbits() const { return FStopbits; }
    void SetStopbits(TAfStopbits Value);
    uint32_t UserBaudRate() const { return FUserBaudRate; }
    void SetUserBaudRate(uint32_t Value);
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    void SetWriteThreadPriority(TThreadPriority Value);
    char XOnChar() const { return FXOnChar; }
    void SetXOnChar(char Value);
    char XOffChar() const { return FXOffChar; }
    void SetXOffChar(char Value);
    uint16_t XOnLim() const { return FXOnLim; }
    void SetXOnLim(uint16_t Value);
    uint16_t XOffLim() const { return FXOffLim; }
    void SetXOffLim(uint16_t Value);

    // The DCB image built from the properties.
    const TAfDCB& DCB() const { return FDCB; }
    TAfComPortCore& Core() { return *FCore; }

    // Events (main thread, except OnNonSyncEvent).
    TAfDataRecivedEvent OnDataRecived;
    TAfLineErrorEvent OnLineError;
    TAfNotifyEvent OnCTSChanged;
    TAfNotifyEvent OnDSRChanged;
    TAfNotifyEvent OnRLSDChanged;
    TAfNotifyEvent OnRINGDetected;
    TAfNotifyEvent OnOutBufFree;
    TAfNotifyEvent OnPortOpen;
    TAfNotifyEvent OnPortClose;
    TAfCoreEventEvent OnSyncEvent;
    // Every event except ceException, on the engine's hand-over thread;
    // when set, those events no longer reach the main thread.
    TAfCoreEventEvent OnNonSyncEvent;

private:
    void UpdateDCB();
    TAfDCB BuildDCB() const;
    void TakeDCB(const TAfDCB& Dcb);
    void CoreEvent(TAfCoreEvent Kind, uint32_t Data, std::exception_ptr Error);
    void MainThreadDispatch();
    void UpdateXOnXOff(TAfFlowControl Flow, uint32_t InSize);
    void CheckClosed() const;

    std::string FName;
    bool FAutoOpen = false;
    TAfBaudrate FBaudRate = br115200;
    uint16_t FComNumber = 0;
    TAfDatabits FDatabits = db8;
    bool FDTR = true;
    TThreadPriority FEventThreadPriority = tpNormal;
    TAfFlowControl FFlowControl = fwNone;
    uint32_t FInBufSize = 4096;
    TAfComOptions FOptions;
    uint32_t FOutBufSize = 2048;
    TAfParity FParity = paNone;
    bool FRTS = true;
    TAfStopbits FStopbits = sbOne;
    uint32_t FUserBaudRate = 0;
    TThreadPriority FWriteThreadPriority = tpHighest;
    char FXOnChar = 17;
    char FXOffChar = 19;
    uint16_t FXOnLim = 0;
    uint16_t FXOffLim = 0;

    TAfDCB FDCB{};
    bool FDeferDCB = false;  // the image is rebuilt but not handed to the port
    std::unique_ptr<TAfComPortCore> FCore;
    uint32_t FSyncId = 0;
    std::atomic<bool> FClosing{false};
    std::atomic<bool> FDestroying{false};

    // The event being delivered to the main thread.
    std::mutex FEventLock;
    TAfCoreEvent FEventKind = ceOutFree;
    uint32_t FEventData = 0;
    std::exception_ptr FEventError;
};

namespace afport {
// Backend (AfComPort_win32.cpp, AfComPort_posix.cpp): runs the system's port
// settings dialog on Dcb for the open port Handle (or, when Handle is -1, for
// COM<ComNumber>); true when the user confirmed, Dcb then holds the result.
bool RunConfigDialog(intptr_t Handle, int ComNumber, TAfDCB& Dcb);
}  // namespace afport

}  // namespace kelvo
