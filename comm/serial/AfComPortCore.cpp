#include "AfComPortCore.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>

#include "AfComPortBackend.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"

namespace kelvo {

namespace afcore {

// One worker thread and what it shares with the core.
struct TAfWorker {
    TAfSignal Stop{true};
    std::atomic<bool> Terminated{false};
    std::atomic<intptr_t> Token{0};
    std::thread Thread;
};

namespace {
std::mutex& FactoryLock()
{
    static std::mutex m;
    return m;
}
TAfBackendFactory& Factory()
{
    static TAfBackendFactory f;
    return f;
}
}  // namespace

void SetPortBackendFactory(TAfBackendFactory F)
{
    std::lock_guard<std::mutex> g(FactoryLock());
    Factory() = std::move(F);
}

std::unique_ptr<TAfPortBackend> CreatePortBackend()
{
    TAfBackendFactory f;
    {
        std::lock_guard<std::mutex> g(FactoryLock());
        f = Factory();
    }
    return f ? f() : CreateSystemPortBackend();
}

}  // namespace afcore

using namespace afcore;

namespace {

std::string FormatNumber(const char* Format, int Number)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, Format, Number);
    return buf;
}

[[noreturn]] void Fail(const char* Message)
{
    throw EAfComPortCoreError(Message);
}

constexpr uint32_t kPollMs = 200;
constexpr uint32_t kStartWaitMs = 3000;
constexpr uint32_t kFlushWaitMs = 2000;

}  // namespace

TAfComPortCore::TAfComPortCore()
    : FStarted(std::make_unique<TAfSignal>(false)),
      FOutEmpty(std::make_unique<TAfSignal>(false)),
      FFlushReq(std::make_unique<TAfSignal>(false)),
      FFlushAck(std::make_unique<TAfSignal>(false)),
      FDataReady(std::make_unique<TAfSignal>(false)),
      FHandOverReady(std::make_unique<TAfSignal>(false)),
      FHandOverDone(std::make_unique<TAfSignal>(false))
{
}

TAfComPortCore::~TAfComPortCore()
{
    try {
        Close();
    } catch (...) {
    }
}

void TAfComPortCore::SetOnEvent(TAfCoreEventHandler Handler)
{
    std::lock_guard<std::mutex> g(FCallbackLock);
    FOnEvent = std::move(Handler);
}

intptr_t TAfComPortCore::Handle() const
{
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    return FBackend ? FBackend->NativeHandle() : -1;
}

bool TAfComPortCore::OpenComPort(int Number)
{
    if (FOpened)
        return false;
    if (Number <= 0)
        throw EAfComPortCoreError(FormatNumber("Invalid port number (COM%d)", Number));
    FComNumber = Number;

    std::unique_ptr<TAfPortBackend> backend = CreatePortBackend();
    switch (backend->Open(Number)) {
    case TAfOpenResult::Ok:
        break;
    case TAfOpenResult::NotFound:
        throw EAfComPortCoreError(FormatNumber("Invalid port number (COM%d)", Number));
    case TAfOpenResult::Failed:
        throw EAfComPortCoreError(FormatNumber("Can't open device COM%d", Number));
    }
    FBackend = std::move(backend);
    try {
        OpenSequence();
    } catch (...) {
        CloseSequence();
        throw;
    }
    return true;
}

void TAfComPortCore::OpenSequence()
{
    if (!FBackend->SetTimeouts())
        Fail("Error setting timeouts");
    if (!FBackend->Setup(FInBufSize, FOutBufSize))
        Fail("Error initializing buffers");
    if (!FBackend->SetMask(FEventMask))
        Fail(" Error setting EventMask");
    if (!FBackend->SetState(FDCB)) {
        FBackend->GetState(FDCB);
        Fail("Error setting parameters from DCB");
    }
    {
        std::lock_guard<std::recursive_mutex> g(FReadLock);
        FErrors = 0;
    }

    {
        std::lock_guard<std::mutex> g(FWriteLock);
        FRing = std::make_unique<TAfCircularBuffer>(FOutBufSize);
    }
    FFlushReq->Reset();
    FFlushAck->Reset();
    FDataReady->Reset();
    FWriteThread = NewWorker();
    StartWorker(*FWriteThread, &TAfComPortCore::WriteLoop, FWritePriority);

    FActive = true;

    {
        std::lock_guard<std::mutex> g(FCallbackLock);
        FEventThreadCb = FOnEvent;
    }
    FHandOverReady->Reset();
    FHandOverDone->Reset();
    FHandOverThread = NewWorker();
    StartWorker(*FHandOverThread, &TAfComPortCore::HandOverLoop, FEventPriority);
    FEventThread = NewWorker();
    StartWorker(*FEventThread, &TAfComPortCore::EventLoop, FEventPriority);

    FOpened = true;
}

// A worker whose events could not all be created could never be stopped:
// the open fails instead.
std::unique_ptr<TAfWorker> TAfComPortCore::NewWorker()
{
    auto w = std::make_unique<TAfWorker>();
    for (const TAfSignal* s : {&w->Stop, FStarted.get(), FOutEmpty.get(), FFlushReq.get(), FFlushAck.get(),
                               FDataReady.get(), FHandOverReady.get(), FHandOverDone.get()})
        if (!s->Valid())
            Fail("Error creating threads");
    return w;
}

void TAfComPortCore::StartWorker(TAfWorker& W, void (TAfComPortCore::*Loop)(), TThreadPriority Priority)
{
    FStarted->Reset();
    try {
        W.Thread = std::thread(Loop, this);
    } catch (const std::system_error&) {
        Fail("Error creating threads");
    }
    if (!FStarted->WaitFor(kStartWaitMs))
        Fail("Error creating threads");
    ApplyPriority(&W, Priority);
}

void TAfComPortCore::ApplyPriority(TAfWorker* W, TThreadPriority Priority)
{
    if (W && W->Token.load() != 0)
        SetThreadPriorityOf(W->Token.load(), Priority);
}

void TAfComPortCore::SetEventThreadPriority(TThreadPriority Value)
{
    FEventPriority = Value;
    ApplyPriority(FEventThread.get(), Value);
    ApplyPriority(FHandOverThread.get(), Value);
}

void TAfComPortCore::SetWriteThreadPriority(TThreadPriority Value)
{
    FWritePriority = Value;
    ApplyPriority(FWriteThread.get(), Value);
}

void TAfComPortCore::Close()
{
    if (FOpened)
        CloseSequence();
    FOpened = false;
}

void TAfComPortCore::StopWorker(std::unique_ptr<TAfWorker>& W)
{
    if (!W)
        return;
    W->Terminated = true;
    W->Stop.Set();
    if (W->Thread.joinable())
        W->Thread.join();
    W.reset();
}

void TAfComPortCore::CloseSequence()
{
    if (!FBackend)
        return;
    FActive = false;
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    FBackend->Purge(AfPurgeTxAbort | AfPurgeRxAbort | AfPurgeTxClear | AfPurgeRxClear);

    if (FWriteThread) {
        Flush();
        StopWorker(FWriteThread);
    }
    {
        std::lock_guard<std::mutex> w(FWriteLock);
        FRing.reset();
    }

    if (FEventThread) {
        {
            std::lock_guard<std::mutex> c(FCallbackLock);
            FEventThreadCb = nullptr;  // nothing more is reported
        }
        FEventThread->Terminated = true;
        FBackend->SetMask(0);  // completes a pending line wait
        FBackend->Purge(AfPurgeRxAbort | AfPurgeRxClear);
        StopWorker(FEventThread);
    }
    // Last: a hand-over still on its way has nobody left to hand to.
    StopWorker(FHandOverThread);

    FBackend->CloseHandle();
    FBackend.reset();
    FOpened = false;
}

// The write thread acknowledges only where it holds no pointer into the
// ring and has no write on its way; from then on it takes nothing from the
// ring until the flush has cleared it. So nothing purged goes out after the
// purge, and no block is sent from a ring that was emptied under it.
bool TAfComPortCore::Flush()
{
    std::lock_guard<std::mutex> one(FFlushLock);
    {
        std::lock_guard<std::mutex> g(FWriteLock);
        FFlushing = true;
    }
    const uint32_t ticket = FFlushTicket.fetch_add(1) + 1;
    auto answered = [&] { return static_cast<int32_t>(FFlushAcked.load() - ticket) >= 0; };
    FFlushReq->Set();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFlushWaitMs);
    while (!answered()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !FFlushAck->WaitFor(static_cast<uint32_t>(left)))
            break;
    }

    std::lock_guard<std::mutex> g(FWriteLock);
    FFlushing = false;
    if (!answered()) {
        // Given up: the request is withdrawn and the ring goes on as it was.
        FFlushReq->Reset();
        if (FRing && FRing->Count() > 0)
            FDataReady->Set();
        return false;
    }
    FDataReady->Reset();
    if (FRing)
        FRing->Clear();
    return FBackend && FBackend->Purge(AfPurgeTxAbort | AfPurgeTxClear);
}

// Write thread, at a point where nothing of the ring is in its hands.
void TAfComPortCore::AckFlush()
{
    FFlushAcked.store(FFlushTicket.load());
    FFlushAck->Set();
}

bool TAfComPortCore::WriteData(const void* Buffer, uint32_t Count)
{
    if (!FActive)
        return false;
    std::lock_guard<std::mutex> g(FWriteLock);
    if (!FRing || !FRing->Write(Buffer, Count))
        return false;
    FDataReady->Set();
    return true;
}

int32_t TAfComPortCore::ReadData(void* Buffer, uint32_t Count)
{
    if (!FActive)
        return -1;
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    if (!FActive || !FBackend)
        return -1;
    return FBackend->Read(Buffer, Count);  // -1: the read failed
}

void TAfComPortCore::ComStat(TAfComStat& Status)
{
    Status = TAfComStat{};
    if (!FActive)
        return;
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    if (!FActive || !FBackend)
        return;
    uint32_t errors = 0;
    if (!FBackend->ClearError(errors, Status))
        Status = TAfComStat{};
    FErrors |= errors;
}

uint32_t TAfComPortCore::TakeErrors()
{
    if (!FActive)
        return 0;
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    const uint32_t e = FErrors;
    FErrors = 0;
    return e;
}

uint32_t TAfComPortCore::OutFree()
{
    if (!FActive)
        return 0;
    std::lock_guard<std::mutex> g(FWriteLock);
    return FRing ? FRing->FreeSpace() : 0;
}

bool TAfComPortCore::PurgeRx()
{
    if (!FActive)
        return false;
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    return FActive && FBackend && FBackend->Purge(AfPurgeRxAbort | AfPurgeRxClear);
}

bool TAfComPortCore::PurgeTx()
{
    if (!FActive)
        return false;
    return Flush();
}

bool TAfComPortCore::EscapeFunction(uint32_t Code)
{
    if (!FActive)
        return false;
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    return FActive && FBackend && FBackend->Escape(Code);
}

uint32_t TAfComPortCore::ModemStatus()
{
    if (!FActive)
        return 0;
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    return FActive && FBackend ? FBackend->ModemStatus() : 0;
}

void TAfComPortCore::SetDCB(const TAfDCB& Dcb)
{
    std::lock_guard<std::recursive_mutex> g(FReadLock);
    FDCB = Dcb;
    if (FActive && FBackend && !FBackend->SetState(FDCB)) {
        FBackend->GetState(FDCB);
        Fail("Error setting parameters from DCB");
    }
}

TAfDCB TAfComPortCore::DCB() const
{
    return FDCB;
}

// ---------------------------------------------------------------------------
// Worker threads

// The event thread's poll must not wait for the read lock while a close
// holds it and waits for this very thread to end: it gives up instead.
bool TAfComPortCore::LockReadForWorker()
{
    while (!FReadLock.try_lock()) {
        if (!FActive || (FEventThread && FEventThread->Terminated))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void TAfComPortCore::WorkerComStat(TAfComStat& Status)
{
    Status = TAfComStat{};
    if (!FActive || !LockReadForWorker())
        return;
    std::lock_guard<std::recursive_mutex> g(FReadLock, std::adopt_lock);
    uint32_t errors = 0;
    if (FActive && FBackend && FBackend->ClearError(errors, Status))
        FErrors |= errors;
    else
        Status = TAfComStat{};
}

void TAfComPortCore::Report(TAfCoreEvent Kind, uint32_t Value, std::exception_ptr Error)
{
    TAfCoreEventHandler cb;
    {
        std::lock_guard<std::mutex> g(FCallbackLock);
        cb = FEventThreadCb;
    }
    if (!cb)
        return;
    try {
        cb(this, Kind, Value, Error);
    } catch (const EAfAbort&) {
    } catch (...) {
        if (Kind != ceException)
            WorkerFailed(std::current_exception(), true);
        else
            WorkerFailed(std::current_exception(), false);
    }
}

void TAfComPortCore::WorkerFailed(std::exception_ptr Error, bool HasCallback)
{
    try {
        std::rethrow_exception(Error);
    } catch (const EAfAbort&) {
        return;
    } catch (...) {
    }
    if (HasCallback) {
        bool set;
        {
            std::lock_guard<std::mutex> g(FCallbackLock);
            set = static_cast<bool>(FEventThreadCb);
        }
        if (set) {
            Report(ceException, 0, Error);
            return;
        }
    }
    // No one to hand it to: the user sees it, from the main thread.
    std::string text;
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "Unknown exception in a serial port thread";
    }
    TMainThreadQueue::Post([text] { ShowMessage(text); });
}

void TAfComPortCore::BytesArrived()
{
    if (TWakeSignal* signal = FArrived.load())
        signal->Raise();
}

// Event thread: the event goes to the hand-over thread, or, while that one
// is busy, waits, merged with those of its kind that wait already: line
// events into one mask, polls into the latest count, drained rings into one.
void TAfComPortCore::Deliver(THandOverState& H, TEventNote Note)
{
    if (H.Busy) {
        if (Note.Kind != ceException) {
            for (TEventNote& w : H.Waiting) {
                if (w.Kind != Note.Kind)
                    continue;
                if (Note.Kind == ceLineEvent)
                    w.Value |= Note.Value;
                else if (Note.Kind == ceNeedReadData)
                    w.Value = Note.Value;
                return;
            }
        }
        H.Waiting.push_back(std::move(Note));
        return;
    }
    {
        std::lock_guard<std::mutex> g(FHandOverLock);
        FHandOverNote = std::move(Note);
    }
    H.Busy = true;
    FHandOverReady->Set();
}

// Event thread: the hand-over thread is done with its event; the next one
// that waited goes.
void TAfComPortCore::HandOverDone(THandOverState& H)
{
    H.Busy = false;
    if (H.Waiting.empty())
        return;
    TEventNote next = std::move(H.Waiting.front());
    H.Waiting.erase(H.Waiting.begin());
    Deliver(H, std::move(next));
}

// Event thread, ending: what waits is still handed over, unless the port
// closes meanwhile.
void TAfComPortCore::FinishHandOvers(THandOverState& H)
{
    TAfSignal* waitSet[2] = {&FEventThread->Stop, FHandOverDone.get()};
    while (H.Busy) {
        if (WaitAny(waitSet, 2, kInfinite) != 1)
            return;
        HandOverDone(H);
    }
}

void TAfComPortCore::EventThreadFailed(std::exception_ptr Error, THandOverState& H)
{
    try {
        std::rethrow_exception(Error);
    } catch (const EAfAbort&) {
        return;
    } catch (...) {
    }
    bool set;
    {
        std::lock_guard<std::mutex> g(FCallbackLock);
        set = static_cast<bool>(FEventThreadCb);
    }
    if (!set) {
        WorkerFailed(Error, false);  // the user sees it
        return;
    }
    Deliver(H, {ceException, 0, Error});
    FinishHandOvers(H);
}

void TAfComPortCore::DispatchLineEvent(uint32_t Mask, bool& PollOnly, THandOverState& H)
{
    if (Mask == 0) {
        PollOnly = true;  // the mask was taken away: rely on the poll from now on
        return;
    }
    if (Mask & AfEvRxChar)
        BytesArrived();
    Deliver(H, {ceLineEvent, Mask, nullptr});
}

// The port stopped answering the line-event wait (adapter unplugged, far
// end gone): say so once per failure, as a communication error, then live
// on the poll.
void TAfComPortCore::ReportLineFailure(bool& Reported, THandOverState& H)
{
    if (Reported)
        return;
    Reported = true;
    if (FActive && LockReadForWorker()) {
        std::lock_guard<std::recursive_mutex> g(FReadLock, std::adopt_lock);
        FErrors |= AfCeIOE;
    }
    if (FEventMask & AfEvErr)
        Deliver(H, {ceLineEvent, AfEvErr, nullptr});
}

void TAfComPortCore::EventLoop()
{
    TAfWorker& self = *FEventThread;
    NameCurrentThread("{AfComPortCore} TAfComPortEventThread", "AfComPortEvent");
    self.Token = CurrentThreadToken();
    FOutEmpty->Reset();
    bool armed = false;           // a line wait is outstanding
    bool pollOnly = false;        // do not start line waits any more
    bool retryArm = false;        // ... until the next poll (after a failure)
    bool failureReported = false;  // until line waits work again
    THandOverState handOver;
    FStarted->Set();

    while (!self.Terminated) {
        try {
            if (!armed && !pollOnly) {
                uint32_t mask = 0;
                switch (FBackend->LineWaitStart(mask)) {
                case TAfIo::Done:
                    failureReported = false;
                    DispatchLineEvent(mask, pollOnly, handOver);
                    continue;
                case TAfIo::Pending:
                    armed = true;
                    break;
                case TAfIo::Failed:
                    // Retried at the next poll, not at once: a dead port
                    // fails every time and would keep the thread spinning.
                    pollOnly = true;
                    retryArm = true;
                    ReportLineFailure(failureReported, handOver);
                    break;
                }
            }
            // While an event is being handed over, the end of that takes
            // the place of the drained ring, whose news waits in its signal.
            TAfSignal& second = handOver.Busy ? *FHandOverDone : *FOutEmpty;
            switch (FBackend->EventWait(self.Stop, second, armed, kPollMs)) {
            case TAfEventWait::Stop:
                self.Terminated = true;
                break;
            case TAfEventWait::Line: {
                armed = false;
                uint32_t mask = 0;
                if (FBackend->LineWaitResult(mask)) {
                    failureReported = false;
                    DispatchLineEvent(mask, pollOnly, handOver);
                } else {
                    pollOnly = true;
                    retryArm = true;
                    ReportLineFailure(failureReported, handOver);
                }
                break;
            }
            case TAfEventWait::OutEmpty:
                if (handOver.Busy)
                    HandOverDone(handOver);
                else
                    Deliver(handOver, {ceOutFree, 0, nullptr});
                break;
            case TAfEventWait::Timeout: {
                // A line wait that has stood a whole poll works again: the
                // next failure is news.
                if (armed)
                    failureReported = false;
                TAfComStat status;
                WorkerComStat(status);
                if (status.cbInQue > 0) {
                    BytesArrived();
                    Deliver(handOver, {ceNeedReadData, status.cbInQue, nullptr});
                }
                if (retryArm) {
                    retryArm = false;
                    pollOnly = false;
                }
                break;
            }
            }
        } catch (const EAfAbort&) {
        } catch (...) {
            EventThreadFailed(std::current_exception(), handOver);
            break;
        }
    }
}

// Hands the event thread's events to the owner, one at a time: each call
// may wait long for the main thread, and the event thread must not.
void TAfComPortCore::HandOverLoop()
{
    TAfWorker& self = *FHandOverThread;
    NameCurrentThread("{AfComPortCore} TAfComPortHandOverThread", "AfComPortHand");
    self.Token = CurrentThreadToken();
    TAfSignal* waitSet[2] = {&self.Stop, FHandOverReady.get()};
    FStarted->Set();

    while (!self.Terminated) {
        if (WaitAny(waitSet, 2, kInfinite) != 1)
            break;
        TEventNote note{};
        {
            std::lock_guard<std::mutex> g(FHandOverLock);
            std::swap(note, FHandOverNote);
        }
        try {
            Report(note.Kind, note.Value, note.Error);
        } catch (...) {
        }
        FHandOverDone->Set();
    }
}

void TAfComPortCore::WriteLoop()
{
    TAfWorker& self = *FWriteThread;
    NameCurrentThread("{AfComPortCore} TAfComPortWriteThread", "AfComPortWrite");
    self.Token = CurrentThreadToken();
    TAfSignal* waitSet[3] = {&self.Stop, FFlushReq.get(), FDataReady.get()};
    FStarted->Set();

    while (!self.Terminated) {
        try {
            const int which = WaitAny(waitSet, 3, kInfinite);
            if (which == 0) {
                self.Terminated = true;
                break;
            }
            if (which == 1) {
                AckFlush();
                continue;
            }
            if (which != 2)
                continue;

            const uint8_t* data = nullptr;
            uint32_t count = 0;
            {
                std::lock_guard<std::mutex> g(FWriteLock);
                if (FRing && !FFlushing) {
                    count = FRing->ContiguousCount();
                    data = FRing->ReadPointer();
                }
            }
            if (count == 0)
                continue;

            uint32_t written = 0;
            TAfIo state = FBackend->WriteStart(data, count, written);
            bool abandoned = false;
            while (state == TAfIo::Pending) {
                const TAfWriteWait w = FBackend->WriteWait(self.Stop, *FFlushReq);
                if (w == TAfWriteWait::Stop) {
                    self.Terminated = true;
                    FBackend->WriteAbandon();
                    abandoned = true;
                    break;
                }
                if (w == TAfWriteWait::Flush) {
                    bool wanted;
                    {
                        std::lock_guard<std::mutex> g(FWriteLock);
                        wanted = FFlushing;
                    }
                    if (!wanted)
                        continue;  // a flush that gave up already: the write goes on
                    // Given up before the acknowledge, so that the flush's
                    // purge finds nothing of the ring still on its way.
                    FBackend->WriteAbandon();
                    AckFlush();
                    abandoned = true;
                    break;
                }
                state = FBackend->WriteResult(written);
            }
            if (abandoned || state != TAfIo::Done)
                continue;  // a failed write leaves the bytes for the next signal

            // Exactly what went out leaves the ring; the rest follows in the
            // next pass, so a partial write never sends its head twice.
            std::lock_guard<std::mutex> g(FWriteLock);
            if (!FRing)
                continue;
            if (written > count)
                written = count;
            if (written > 0)
                FRing->Remove(written);
            if (FRing->Count() == 0)
                FOutEmpty->Set();
            else if (written > 0)
                FDataReady->Set();
        } catch (const EAfAbort&) {
        } catch (...) {
            WorkerFailed(std::current_exception(), false);
            break;
        }
    }
}

}  // namespace kelvo
