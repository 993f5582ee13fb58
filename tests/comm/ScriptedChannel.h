#pragma once
// A channel for tests: implements the abstract operations of
// TCommunicationInterface on a timetable instead of a driver.
//
//   auto ch = MakeIntf<TScriptedChannel>();
//   ch->Open();
//   ch->Preload(Bytes({0xEE}));                     // waiting before the request
//   ch->ReplyAfterWrite({{20, Bytes({0x2A, 0x61})}, // 20 ms after the next Write
//                        {45, Bytes({0x00})}});
//   ch->Query(request, 500, reply);
//
// Times come from GetTickCount32, so a test may drive them with a
// TManualTimeSource. Write and Read take the channel lock like the real
// implementations and call DataTrace; every Write is logged with its time.
// The channel is safe to use from several threads.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "uTickUtils.h"
#include "uci_ICommunicationInterface.h"

namespace kelvo::test {

struct TScriptChunk {
    uint32_t AtMs;  // after the Write that armed the script
    RawByteString Data;
};

struct TWrittenData {
    uint32_t Tick;
    RawByteString Data;
};

class TScriptedChannel : public TCommunicationInterface {
public:
    explicit TScriptedChannel(const std::string& ConnectionString = std::string())
        : TCommunicationInterface(ConnectionString)
    {
    }
    TScriptedChannel(IXMLElement* XMLNode, IUnknown* Parent) : TCommunicationInterface(XMLNode, Parent) {}

    // ---- script ----
    // Bytes that are waiting in the driver now.
    void Preload(const RawByteString& Data)
    {
        std::lock_guard<std::mutex> g(FMutex);
        FPending.push_back({0, Data, true});
    }
    // Forgets every byte not read yet, and the armed script.
    void DropPending()
    {
        std::lock_guard<std::mutex> g(FMutex);
        FPending.clear();
        FArmed.clear();
    }
    // Chunks that arrive at the given times after the next Write.
    void ReplyAfterWrite(std::vector<TScriptChunk> Chunks)
    {
        std::lock_guard<std::mutex> g(FMutex);
        FArmed = std::move(Chunks);
    }
    // Whether Query may sleep until Arrive raises the arrival signal.
    void SignalArrivals(bool On) { FSignalsArrival = On; }
    // Bytes that arrive now, told by the arrival signal.
    void Arrive(const RawByteString& Data)
    {
        Preload(Data);
        FArrived.Raise();
    }
    void SetCharTime(double Ms) { FCharTime = Ms; }
    void SetChannelName(const std::string& Name)
    {
        std::lock_guard<std::mutex> g(FMutex);
        FChannelName = Name;
    }

    std::atomic<bool> ThrowOnWrite{false};
    std::atomic<bool> ThrowOnRead{false};
    // InQueueCount claims this many bytes that Read then does not deliver.
    std::atomic<int32_t> PhantomQueue{0};

    // ---- log ----
    std::vector<TWrittenData> Writes()
    {
        std::lock_guard<std::mutex> g(FMutex);
        return FWrites;
    }
    std::vector<std::string> AppliedConnectionStrings()
    {
        std::lock_guard<std::mutex> g(FMutex);
        return FApplied;
    }
    std::atomic<int> OpenCalls{0};
    std::atomic<int> CloseCalls{0};
    std::atomic<int> PurgeCalls{0};
    std::atomic<int> ReadCalls{0};

    // ---- TCommunicationInterface ----
    bool GetActive() override { return FOpen; }
    bool Open() override
    {
        std::lock_guard<std::recursive_mutex> l(FLock);
        ++OpenCalls;
        FOpen = true;
        NotifyOpened();
        return true;
    }
    bool Close(bool /*Force*/) override
    {
        std::lock_guard<std::recursive_mutex> l(FLock);
        ++CloseCalls;
        if (!FOpen)
            return false;
        FOpen = false;
        NotifyClosed();
        return true;
    }
    int32_t Write(const RawByteString& Data) override
    {
        std::lock_guard<std::recursive_mutex> l(FLock);
        DataTrace(TraceSent, Data);
        if (ThrowOnWrite)
            throw std::runtime_error("write failed");
        std::lock_guard<std::mutex> g(FMutex);
        uint32_t now = GetTickCount32();
        FWrites.push_back({now, Data});
        for (TScriptChunk& c : FArmed)
            FPending.push_back({now + c.AtMs, std::move(c.Data), false});
        FArmed.clear();
        return static_cast<int32_t>(Data.size());
    }
    void Read(RawByteString& Data) override
    {
        std::lock_guard<std::recursive_mutex> l(FLock);
        ++ReadCalls;
        if (ThrowOnRead)
            throw std::runtime_error("read failed");
        Data.clear();
        {
            std::lock_guard<std::mutex> g(FMutex);
            uint32_t now = GetTickCount32();
            size_t i = 0;
            while (i < FPending.size()) {
                if (Due(FPending[i], now)) {
                    Data += FPending[i].Data;
                    FPending.erase(FPending.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
        }
        DataTrace(TraceReceived, Data);
    }
    int32_t InQueueCount() override
    {
        std::lock_guard<std::mutex> g(FMutex);
        uint32_t now = GetTickCount32();
        size_t n = 0;
        for (const TPending& p : FPending)
            if (Due(p, now))
                n += p.Data.size();
        return static_cast<int32_t>(n) + PhantomQueue;
    }
    void GetName(std::string& Name) override
    {
        std::lock_guard<std::mutex> g(FMutex);
        Name = FChannelName;
    }
    void GetConnectionString(std::string& S) override
    {
        std::lock_guard<std::mutex> g(FMutex);
        S = FConnectionString;
    }
    void SetConnectionString(const std::string& S) override
    {
        {
            std::lock_guard<std::mutex> g(FMutex);
            FApplied.push_back(S);
            FConnectionString = S;
        }
        TCommunicationInterface::SetConnectionString(S);
    }
    void PurgeRx() override { ++PurgeCalls; }
    void PurgeTx() override { ++PurgeCalls; }

private:
    struct TPending {
        uint32_t At;
        RawByteString Data;
        bool Waiting;  // there already, whatever the clock says
    };
    static bool Due(const TPending& p, uint32_t now) { return p.Waiting || static_cast<int32_t>(now - p.At) >= 0; }

    std::mutex FMutex;
    std::atomic<bool> FOpen{false};
    std::vector<TPending> FPending;
    std::vector<TScriptChunk> FArmed;
    std::vector<TWrittenData> FWrites;
    std::vector<std::string> FApplied;
    std::string FConnectionString;
    std::string FChannelName = "SCRIPTED";
};

}  // namespace kelvo::test
