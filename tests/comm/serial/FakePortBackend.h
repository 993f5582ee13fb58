#pragma once
// A port backend whose far end is the test: it decides what each step of the
// open sequence answers, what arrives, how much each write takes, and it
// records what went out and how often the threads woke up.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AfComPortBackend.h"

namespace kelvo::test {

using namespace kelvo::afcore;

struct TFakeWire {
    std::mutex Lock;
    // Open sequence.
    TAfOpenResult OpenResult = TAfOpenResult::Ok;
    bool FailTimeouts = false;
    bool FailSetup = false;
    bool FailMask = false;
    bool FailState = false;
    TAfDCB State{};        // the port's current settings
    int StateCalls = 0;
    uint32_t InSize = 0, OutSize = 0;
    uint32_t Mask = 0;
    bool Closed = false;
    int Opens = 0, Closes = 0;
    // Receive side.
    std::string Rx;
    uint32_t ReadLimit = 0xFFFFFFFF;  // at most this many bytes per read
    bool ReadFails = false;           // the system's read call fails
    uint32_t Errors = 0;
    uint32_t Modem = 0;
    uint32_t LineMask = 0;   // line event waiting to be delivered
    bool LineWaitFails = false;
    bool MaskCleared = false;
    TAfSignal LineSignal{true};
    // Send side.
    std::string Tx;
    uint32_t MaxChunk = 0;      // 0: every write takes everything
    bool PendingWrites = false;  // writes complete only after WriteReady
    TAfSignal WriteReady{true};
    std::atomic<bool> BlockWrites{false};  // WriteStart hangs while set
    std::vector<uint32_t> WriteSizes;     // Count of every write started
    std::vector<uint32_t> Escapes;
    // Wake-ups of the event thread.
    std::atomic<int> EventWaits{0};
    std::atomic<int> LineStarts{0};

    void Receive(const std::string& Data, uint32_t Mask = AfEvRxChar)
    {
        std::lock_guard<std::mutex> g(Lock);
        Rx += Data;
        if (Mask) {
            LineMask |= Mask;
            LineSignal.Set();
        }
    }
    void Line(uint32_t Mask)
    {
        std::lock_guard<std::mutex> g(Lock);
        LineMask |= Mask;
        LineSignal.Set();
    }
    std::string Sent()
    {
        std::lock_guard<std::mutex> g(Lock);
        return Tx;
    }
};

class TFakePort final : public TAfPortBackend {
public:
    explicit TFakePort(std::shared_ptr<TFakeWire> Wire) : W(std::move(Wire)) {}

    TAfOpenResult Open(int) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        if (W->OpenResult == TAfOpenResult::Ok) {
            ++W->Opens;
            W->Closed = false;
            W->MaskCleared = false;
        }
        return W->OpenResult;
    }
    bool SetTimeouts() override { return !W->FailTimeouts; }
    bool Setup(uint32_t In, uint32_t Out) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->InSize = In;
        W->OutSize = Out;
        return !W->FailSetup;
    }
    bool SetMask(uint32_t Mask) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        if (W->FailMask)
            return false;
        W->Mask = Mask;
        if (Mask == 0) {
            W->MaskCleared = true;
            W->LineSignal.Set();
        }
        return true;
    }
    bool SetState(const TAfDCB& Dcb) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        ++W->StateCalls;
        if (W->FailState)
            return false;
        W->State = Dcb;
        return true;
    }
    bool GetState(TAfDCB& Dcb) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        Dcb = W->State;
        return true;
    }
    void CloseHandle() override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->Closed = true;
        ++W->Closes;
    }
    intptr_t NativeHandle() const override { return 42; }
    bool Purge(uint32_t Flags) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        if (Flags & AfPurgeRxClear)
            W->Rx.clear();
        return true;
    }
    bool ClearError(uint32_t& Errors, TAfComStat& Status) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        Errors = W->Errors;
        W->Errors = 0;
        Status = TAfComStat{};
        Status.cbInQue = static_cast<uint32_t>(W->Rx.size());
        return true;
    }
    int32_t Read(void* Buffer, uint32_t Count) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        if (W->ReadFails)
            return -1;
        uint32_t n = static_cast<uint32_t>(W->Rx.size());
        if (n > Count)
            n = Count;
        if (n > W->ReadLimit)
            n = W->ReadLimit;
        W->Rx.copy(static_cast<char*>(Buffer), n);
        W->Rx.erase(0, n);
        return static_cast<int32_t>(n);
    }
    bool Escape(uint32_t Code) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->Escapes.push_back(Code);
        return true;
    }
    uint32_t ModemStatus() override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        return W->Modem;
    }

    TAfIo LineWaitStart(uint32_t&) override
    {
        ++W->LineStarts;
        std::lock_guard<std::mutex> g(W->Lock);
        return W->LineWaitFails ? TAfIo::Failed : TAfIo::Pending;
    }
    TAfEventWait EventWait(TAfSignal& Stop, TAfSignal& OutEmpty, bool LinePending, uint32_t Ms) override
    {
        ++W->EventWaits;
        if (LinePending) {
            TAfSignal* set[3] = {&Stop, &W->LineSignal, &OutEmpty};
            switch (WaitAny(set, 3, Ms)) {
            case 0: return TAfEventWait::Stop;
            case 1: return TAfEventWait::Line;
            case 2: return TAfEventWait::OutEmpty;
            default: return TAfEventWait::Timeout;
            }
        }
        TAfSignal* set[2] = {&Stop, &OutEmpty};
        switch (WaitAny(set, 2, Ms)) {
        case 0: return TAfEventWait::Stop;
        case 1: return TAfEventWait::OutEmpty;
        default: return TAfEventWait::Timeout;
        }
    }
    bool LineWaitResult(uint32_t& Mask) override
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->LineSignal.Reset();
        if (W->MaskCleared) {
            Mask = 0;
            return true;
        }
        Mask = W->LineMask & W->Mask;
        W->LineMask = 0;
        return !W->LineWaitFails;
    }

    TAfIo WriteStart(const void* Buffer, uint32_t Count, uint32_t& Written) override
    {
        while (W->BlockWrites)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        {
            std::lock_guard<std::mutex> g(W->Lock);
            W->WriteSizes.push_back(Count);
        }
        FBuf = static_cast<const char*>(Buffer);
        FCount = Count;
        if (W->PendingWrites)
            return TAfIo::Pending;
        return Take(Written);
    }
    TAfWriteWait WriteWait(TAfSignal& Stop, TAfSignal& Flush) override
    {
        TAfSignal* set[3] = {&Stop, &Flush, &W->WriteReady};
        switch (WaitAny(set, 3, kInfinite)) {
        case 0: return TAfWriteWait::Stop;
        case 1: return TAfWriteWait::Flush;
        default: return TAfWriteWait::Done;
        }
    }
    TAfIo WriteResult(uint32_t& Written) override { return Take(Written); }
    void WriteAbandon() override { FBuf = nullptr; }

private:
    TAfIo Take(uint32_t& Written)
    {
        std::lock_guard<std::mutex> g(W->Lock);
        uint32_t n = FCount;
        if (W->MaxChunk && n > W->MaxChunk)
            n = W->MaxChunk;
        W->Tx.append(FBuf, n);
        Written = n;
        return TAfIo::Done;
    }

    std::shared_ptr<TFakeWire> W;
    const char* FBuf = nullptr;
    uint32_t FCount = 0;
};

// Installs the fake for every port opened while it lives.
class TFakePortScope {
public:
    TFakePortScope() : Wire(std::make_shared<TFakeWire>())
    {
        auto w = Wire;
        SetPortBackendFactory([w] { return std::make_unique<TFakePort>(w); });
    }
    ~TFakePortScope() { SetPortBackendFactory(nullptr); }
    std::shared_ptr<TFakeWire> Wire;
};

}  // namespace kelvo::test
