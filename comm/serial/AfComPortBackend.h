#pragma once
// Internal: what the port core needs from the operating system. One
// implementation per system (AfComPortCore_win32.cpp, AfComPortCore_posix.cpp);
// tests install their own port through SetPortBackendFactory.
//
// The shape follows the Win32 overlapped model: an operation either
// completes at once or is pending and completes later, which a wait notices.

#include <cstdint>
#include <functional>
#include <memory>

#include "AfComPortCore.h"

namespace kelvo::afcore {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// A waitable event, manual- or auto-reset (an auto-reset event is consumed
// by the wait that returns it).
class TAfSignal {
public:
    explicit TAfSignal(bool ManualReset);
    ~TAfSignal();
    TAfSignal(const TAfSignal&) = delete;
    TAfSignal& operator=(const TAfSignal&) = delete;

    void Set();
    void Reset();
    // True when signalled within Ms (kInfinite: no limit).
    bool WaitFor(uint32_t Ms);
    bool ManualReset() const { return FManual; }
    // False when the system could not create it (no descriptors, no
    // handles): nothing could ever wake a wait on it.
    bool Valid() const;
    // HANDLE on Windows, a file descriptor (cast) on POSIX.
    intptr_t Native() const { return FNative; }
    // POSIX: takes the signal if it is set (auto-reset semantics); true when
    // it was set. Manual-reset signals are only looked at.
    bool TryConsume();

private:
    bool FManual;
    intptr_t FNative;
};

// Waits until one of the signals is set and returns its index (the lowest
// one when several are), consuming it when it is auto-reset; -1 after Ms.
int WaitAny(TAfSignal* const* Signals, int Count, uint32_t Ms);

enum class TAfOpenResult { Ok, NotFound, Failed };
enum class TAfIo { Done, Pending, Failed };

// What ended a wait of the event thread.
enum class TAfEventWait { Stop, Line, OutEmpty, Timeout };
// What ended a wait of the write thread for its pending write.
enum class TAfWriteWait { Stop, Flush, Done };

// One open port. Calls come from three threads: the owner's (open, close,
// reads, purges, status), the event thread (LineWait*, EventWait, ClearError)
// and the write thread (Write*). An implementation guards its own state;
// the core guarantees that reads and ClearError never overlap.
class TAfPortBackend {
public:
    virtual ~TAfPortBackend() = default;

    virtual TAfOpenResult Open(int Number) = 0;
    // Reads return at once with what has arrived; writes have no timeout.
    virtual bool SetTimeouts() = 0;
    virtual bool Setup(uint32_t InBufSize, uint32_t OutBufSize) = 0;
    // Also wakes a pending line wait (it completes with mask 0).
    virtual bool SetMask(uint32_t Mask) = 0;
    virtual bool SetState(const TAfDCB& Dcb) = 0;
    virtual bool GetState(TAfDCB& Dcb) = 0;
    virtual void CloseHandle() = 0;
    virtual intptr_t NativeHandle() const = 0;

    virtual bool Purge(uint32_t Flags) = 0;
    virtual bool ClearError(uint32_t& Errors, TAfComStat& Status) = 0;
    // Bytes read (at most Count, possibly 0), -1 when the system call failed.
    virtual int32_t Read(void* Buffer, uint32_t Count) = 0;
    virtual bool Escape(uint32_t Code) = 0;
    virtual uint32_t ModemStatus() = 0;

    // Event thread: starts waiting for a line event. Done fills Mask at once.
    virtual TAfIo LineWaitStart(uint32_t& Mask) = 0;
    // Waits for Stop, OutEmpty or (when LinePending) the line event.
    virtual TAfEventWait EventWait(TAfSignal& Stop, TAfSignal& OutEmpty, bool LinePending, uint32_t Ms) = 0;
    // After EventWait returned Line: the event's mask without waiting; false
    // when the wait failed. Ends the pending wait either way.
    virtual bool LineWaitResult(uint32_t& Mask) = 0;

    // Write thread: starts sending Count bytes (Count > 0). Done: Written is
    // what went out (possibly fewer than Count).
    virtual TAfIo WriteStart(const void* Buffer, uint32_t Count, uint32_t& Written) = 0;
    virtual TAfWriteWait WriteWait(TAfSignal& Stop, TAfSignal& Flush) = 0;
    // After WriteWait returned Done: completes the pending write.
    virtual TAfIo WriteResult(uint32_t& Written) = 0;
    // The pending write is given up (flush, stop): afterwards the backend no
    // longer touches its buffer.
    virtual void WriteAbandon() = 0;
};

std::unique_ptr<TAfPortBackend> CreateSystemPortBackend();

using TAfBackendFactory = std::function<std::unique_ptr<TAfPortBackend>()>;
// Installs a factory for the ports opened from now on (nullptr: the
// system's). For tests.
void SetPortBackendFactory(TAfBackendFactory Factory);
std::unique_ptr<TAfPortBackend> CreatePortBackend();

// Names the calling thread for debuggers and tools (the short name where the
// system limits the length).
void NameCurrentThread(const char* FullName, const char* ShortName);
// An identity of the calling thread that SetThreadPriorityOf understands.
intptr_t CurrentThreadToken();
// Best effort: failures (no privilege) are ignored.
void SetThreadPriorityOf(intptr_t Token, TThreadPriority Priority);

}  // namespace kelvo::afcore
