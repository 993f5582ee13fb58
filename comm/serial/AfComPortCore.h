#pragma once
// The serial port engine: one COM port opened for overlapped I/O, with an
// event thread that waits for line events and polls the receive queue, and a
// write thread that sends the output ring. Everything the event thread
// notices reaches the owner through one callback (kind + 32-bit value).
//
// The callback runs on a third thread, the hand-over thread, one event at a
// time: the owner hands events on to the main thread and waits for it, and
// the main thread may be busy for long (in the middle of an exchange, which
// waits for bytes). Meanwhile the event thread goes on watching the line:
// it raises the arrival signal for every piece that comes, and what it
// notices is merged, as a driver merges events nobody waited for, and
// handed over next.
//
// The thread loops live here; the system calls they make are in the
// backends (AfComPortCore_win32.cpp, AfComPortCore_posix.cpp).

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AfCircularBuffer.h"
#include "uExceptions.h"
#include "uTickUtils.h"

namespace kelvo {

// Raised by the core for every failure of its own (opening, configuring).
class EAfComPortCoreError : public Exception {
public:
    using Exception::Exception;
};

// The silent kind: cancels an operation without anything being reported.
// Worker threads and the main-thread hand-over drop it quietly.
class EAfAbort : public Exception {
public:
    EAfAbort() : Exception("Operation aborted") {}
};

// Communication event mask bits (the values of the Windows EV_ flags).
constexpr uint32_t AfEvRxChar = 0x0001;
constexpr uint32_t AfEvRxFlag = 0x0002;
constexpr uint32_t AfEvTxEmpty = 0x0004;
constexpr uint32_t AfEvCts = 0x0008;
constexpr uint32_t AfEvDsr = 0x0010;
constexpr uint32_t AfEvRlsd = 0x0020;
constexpr uint32_t AfEvBreak = 0x0040;
constexpr uint32_t AfEvErr = 0x0080;
constexpr uint32_t AfEvRing = 0x0100;
// What the core waits for: RXCHAR, CTS, DSR, RLSD, BREAK, ERR, RING.
constexpr uint32_t AfDefaultEventMask = 0x01F9;

// Communication error flags (the values of the Windows CE_ flags).
constexpr uint32_t AfCeRxOver = 0x0001;
constexpr uint32_t AfCeOverrun = 0x0002;
constexpr uint32_t AfCeRxParity = 0x0004;
constexpr uint32_t AfCeFrame = 0x0008;
constexpr uint32_t AfCeBreak = 0x0010;
constexpr uint32_t AfCeTxFull = 0x0100;
// The device stopped answering (adapter unplugged, far end of a pty closed).
constexpr uint32_t AfCeIOE = 0x0400;

// Modem status bits (MS_..._ON).
constexpr uint32_t AfMsCtsOn = 0x0010;
constexpr uint32_t AfMsDsrOn = 0x0020;
constexpr uint32_t AfMsRingOn = 0x0040;
constexpr uint32_t AfMsRlsdOn = 0x0080;

// Purge flags (PURGE_...).
constexpr uint32_t AfPurgeTxAbort = 0x0001;
constexpr uint32_t AfPurgeRxAbort = 0x0002;
constexpr uint32_t AfPurgeTxClear = 0x0004;
constexpr uint32_t AfPurgeRxClear = 0x0008;

// Escape codes for EscapeFunction (the values of EscapeCommFunction's).
constexpr uint32_t AfSetXOff = 1;
constexpr uint32_t AfSetXOn = 2;
constexpr uint32_t AfSetRts = 3;
constexpr uint32_t AfClrRts = 4;
constexpr uint32_t AfSetDtr = 5;
constexpr uint32_t AfClrDtr = 6;
constexpr uint32_t AfSetBreak = 8;
constexpr uint32_t AfClrBreak = 9;

// DCB flag bits (the bit fields of the Windows DCB's flag word).
constexpr uint32_t AfDcbBinary = 0x0001;
constexpr uint32_t AfDcbParity = 0x0002;
constexpr uint32_t AfDcbOutxCtsFlow = 0x0004;
constexpr uint32_t AfDcbOutxDsrFlow = 0x0008;
constexpr uint32_t AfDcbDtrControlEnable = 0x0010;
constexpr uint32_t AfDcbDtrControlHandshake = 0x0020;
constexpr uint32_t AfDcbDtrControlMask = 0x0030;
constexpr uint32_t AfDcbDsrSensitivity = 0x0040;
constexpr uint32_t AfDcbTXContinueOnXoff = 0x0080;
constexpr uint32_t AfDcbOutX = 0x0100;
constexpr uint32_t AfDcbInX = 0x0200;
constexpr uint32_t AfDcbErrorChar = 0x0400;
constexpr uint32_t AfDcbNull = 0x0800;
constexpr uint32_t AfDcbRtsControlEnable = 0x1000;
constexpr uint32_t AfDcbRtsControlHandshake = 0x2000;
constexpr uint32_t AfDcbRtsControlMask = 0x3000;
constexpr uint32_t AfDcbAbortOnError = 0x4000;

// The 28-byte Windows DCB, byte for byte.
struct TAfDCB {
    uint32_t DCBlength = 0;
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;   // 0 one, 1 one and a half, 2 two
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};
static_assert(sizeof(TAfDCB) == 28, "TAfDCB must have the layout of the Windows DCB");

// What ClearCommError reports besides the error word (COMSTAT).
struct TAfComStat {
    uint32_t Flags = 0;     // fCtsHold … fTxim bits
    uint32_t cbInQue = 0;   // bytes waiting in the receive queue
    uint32_t cbOutQue = 0;  // bytes not yet sent by the driver
};

enum TAfCoreEvent : uint8_t {
    ceOutFree = 0,       // the write ring has been sent completely; value 0
    ceLineEvent = 1,     // a communication event; value = the EV_ mask
    ceNeedReadData = 2,  // the poll found received bytes; value = their count
    ceException = 3,     // a worker failed; the exception travels separately
};

enum TThreadPriority : uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical,
};

class TAfComPortCore;

// The owner's handler. For ceException, Error holds the exception (its
// ownership passes to the handler) and Data is 0; otherwise Error is empty.
using TAfCoreEventHandler =
    std::function<void(TAfComPortCore* Sender, TAfCoreEvent Kind, uint32_t Data, std::exception_ptr Error)>;

// Result of AfProbeComPort, with the numbers the port probe reports.
enum TAfPortPresence : int {
    ppUnavailable = 0,  // present, but cannot be opened (in use, no access, …)
    ppAvailable = 1,    // present and could be opened (and was closed again)
    ppNotFound = 2,     // no such port
};

// Why a port could not be opened, as far as the system tells.
enum TAfOpenFailure : uint8_t {
    ofNone = 0,      // it could be opened
    ofNotFound,      // no such port (no node, no UART behind a legacy node)
    ofAccessDenied,  // the user may not open it
    ofInUse,         // another program (or another port object) holds it
    ofNotSerial,     // the node is not a terminal
    ofOther,         // anything else; SystemError says what
};
struct TAfOpenError {
    TAfOpenFailure Reason = ofNone;
    int SystemError = 0;  // errno or GetLastError of the failing call, 0 when none
};

// Tries to open COM<Number> the way the core does and closes it again. Why,
// when given, learns why it could not be opened.
TAfPortPresence AfProbeComPort(int Number, TAfOpenError* Why = nullptr);

// The system's device name of COM<Number> ("\\.\COM3"; on POSIX the node the
// COM number maps to, e.g. "/dev/ttyS2" or "$KELVO_PORTS_DIR/com3"); empty
// when the number maps to nothing.
std::string AfComPortDeviceName(int Number);

namespace afcore {
class TAfPortBackend;
class TAfSignal;
struct TAfWorker;
}  // namespace afcore

class TAfComPortCore {
public:
    TAfComPortCore();
    ~TAfComPortCore();
    TAfComPortCore(const TAfComPortCore&) = delete;
    TAfComPortCore& operator=(const TAfComPortCore&) = delete;

    // False when already open. Raises EAfComPortCoreError on every failure,
    // and the port is then closed.
    bool OpenComPort(int Number);
    void Close();

    // Appends to the write ring; never blocks on the line. False when not
    // active or when the block does not fit as a whole.
    bool WriteData(const void* Buffer, uint32_t Count);
    // What the driver already holds, at most Count bytes; -1 when not active
    // or when the read failed.
    int32_t ReadData(void* Buffer, uint32_t Count);
    // Receive/transmit queue state; all zero when not active. Errors found
    // are added to the error word.
    void ComStat(TAfComStat& Status);
    // The error word, cleared in the same step; 0 when not active.
    uint32_t TakeErrors();
    // Free bytes in the write ring; 0 when not active.
    uint32_t OutFree();
    bool PurgeRx();
    // The write thread's flush: false when it does not answer within 2000 ms.
    bool PurgeTx();
    bool EscapeFunction(uint32_t Code);
    uint32_t ModemStatus();

    // Applied at once when active (a refusal re-reads the port's state into
    // the copy and raises "Error setting parameters from DCB").
    void SetDCB(const TAfDCB& Dcb);
    TAfDCB DCB() const;

    uint32_t InBufSize() const { return FInBufSize; }
    void SetInBufSize(uint32_t Value) { FInBufSize = Value; }
    uint32_t OutBufSize() const { return FOutBufSize; }
    void SetOutBufSize(uint32_t Value) { FOutBufSize = Value; }
    TThreadPriority EventThreadPriority() const { return FEventPriority; }
    void SetEventThreadPriority(TThreadPriority Value);
    TThreadPriority WriteThreadPriority() const { return FWritePriority; }
    void SetWriteThreadPriority(TThreadPriority Value);

    void SetOnEvent(TAfCoreEventHandler Handler);
    // Raised by the event thread as soon as it learns that bytes arrived
    // (a line event with EV_RXCHAR, or its poll finding bytes), before and
    // whatever becomes of the event's hand-over. It must outlive the open
    // port, or be taken away (nullptr) first.
    void SetArrivalSignal(TWakeSignal* Signal) { FArrived = Signal; }

    int ComNumber() const { return FComNumber; }
    uint32_t EventMask() const { return FEventMask; }
    bool Opened() const { return FOpened.load(); }
    bool Active() const { return FActive.load(); }
    // The native port handle (HANDLE or file descriptor), -1 when closed.
    intptr_t Handle() const;

private:
    void OpenSequence();
    void CloseSequence();
    bool Flush();
    void AckFlush();
    std::unique_ptr<afcore::TAfWorker> NewWorker();
    void StartWorker(afcore::TAfWorker& W, void (TAfComPortCore::*Loop)(), TThreadPriority Priority);
    void StopWorker(std::unique_ptr<afcore::TAfWorker>& W);
    struct TEventNote {
        TAfCoreEvent Kind;
        uint32_t Value;
        std::exception_ptr Error;
    };
    // The event thread's side of the hand-over.
    struct THandOverState {
        bool Busy = false;                // an event is with the hand-over thread
        std::vector<TEventNote> Waiting;  // noticed meanwhile, merged, in order
    };

    void EventLoop();
    void WriteLoop();
    void HandOverLoop();
    void Report(TAfCoreEvent Kind, uint32_t Value, std::exception_ptr Error = nullptr);
    void WorkerFailed(std::exception_ptr Error, bool HasCallback);
    void EventThreadFailed(std::exception_ptr Error, THandOverState& H);
    bool LockReadForWorker();
    void Deliver(THandOverState& H, TEventNote Note);
    void HandOverDone(THandOverState& H);
    void FinishHandOvers(THandOverState& H);
    void BytesArrived();
    void DispatchLineEvent(uint32_t Mask, bool& PollOnly, THandOverState& H);
    void ReportLineFailure(bool& Reported, THandOverState& H);
    void WorkerComStat(TAfComStat& Status);
    void ApplyPriority(afcore::TAfWorker* W, TThreadPriority Priority);

    int FComNumber = 0;
    uint32_t FEventMask = AfDefaultEventMask;
    std::atomic<bool> FOpened{false};
    std::atomic<bool> FActive{false};
    uint32_t FErrors = 0;  // under FReadLock
    uint32_t FInBufSize = 8192;
    uint32_t FOutBufSize = 4096;
    TThreadPriority FEventPriority = tpNormal;
    TThreadPriority FWritePriority = tpHigher;
    TAfDCB FDCB{};

    std::unique_ptr<afcore::TAfPortBackend> FBackend;

    // Read lock: error word, reads, receive purges, the whole close.
    mutable std::recursive_mutex FReadLock;
    // Write lock: the write ring and the transmit flush.
    std::mutex FWriteLock;
    std::unique_ptr<TAfCircularBuffer> FRing;  // exists while the write thread does
    // From a flush request until the ring is cleared (or the flush gave up),
    // the write thread takes nothing new from the ring. Under FWriteLock.
    bool FFlushing = false;
    // One flush at a time; each carries a ticket, and an acknowledge counts
    // only for the tickets issued before it, so the late answer to a flush
    // that timed out never stands in for the next one.
    std::mutex FFlushLock;
    std::atomic<uint32_t> FFlushTicket{0};
    std::atomic<uint32_t> FFlushAcked{0};

    std::mutex FCallbackLock;
    TAfCoreEventHandler FOnEvent;       // the owner's handler
    TAfCoreEventHandler FEventThreadCb;  // the event thread's copy

    std::unique_ptr<afcore::TAfSignal> FStarted;    // auto-reset
    std::unique_ptr<afcore::TAfSignal> FOutEmpty;   // auto-reset
    std::unique_ptr<afcore::TAfSignal> FFlushReq;   // auto-reset
    std::unique_ptr<afcore::TAfSignal> FFlushAck;   // auto-reset
    std::unique_ptr<afcore::TAfSignal> FDataReady;  // auto-reset

    std::unique_ptr<afcore::TAfSignal> FHandOverReady;  // auto-reset: an event for the hand-over thread
    std::unique_ptr<afcore::TAfSignal> FHandOverDone;   // auto-reset: it has been handed over
    std::mutex FHandOverLock;
    TEventNote FHandOverNote{};  // under FHandOverLock
    std::atomic<TWakeSignal*> FArrived{nullptr};

    std::unique_ptr<afcore::TAfWorker> FEventThread;
    std::unique_ptr<afcore::TAfWorker> FWriteThread;
    std::unique_ptr<afcore::TAfWorker> FHandOverThread;
};

}  // namespace kelvo
