#include "AfSafeSync.h"

#include <exception>
#include <mutex>

#include "AfComPortCore.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"

namespace kelvo {

namespace {

struct TSlot {
    uint32_t Id = 0;  // 0: free
    bool Enabled = false;
    TAfSafeSyncEvent Handler;
};

struct TTable {
    std::mutex Lock;
    TSlot Slots[AfSafeSyncSlots];
    uint32_t NextId = 1;
    bool Initialised = false;
};

TTable& T()
{
    static TTable t;
    return t;
}

// Under the table's lock.
int Find(uint32_t Id)
{
    if (Id == 0)
        return -1;
    for (int i = 0; i < AfSafeSyncSlots; ++i)
        if (T().Slots[i].Id == Id)
            return i;
    return -1;
}

}  // namespace

uint32_t SyncRegister(TAfSafeSyncEvent Handler)
{
    bool first = false;
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> g(T().Lock);
        for (auto& slot : T().Slots) {
            if (slot.Id == 0) {
                slot.Id = T().NextId++;
                if (T().NextId == 0)
                    T().NextId = 1;
                slot.Enabled = false;
                slot.Handler = std::move(Handler);
                id = slot.Id;
                break;
            }
        }
        if (id != 0 && !T().Initialised) {
            T().Initialised = true;
            first = true;
        }
    }
    if (first) {
        TMainThreadQueue::Init();
        afsync::BackendInit();
    }
    return id;
}

void SyncUnregister(uint32_t Id)
{
    TAfSafeSyncEvent dropped;
    int index;
    {
        std::lock_guard<std::mutex> g(T().Lock);
        index = Find(Id);
        if (index < 0)
            return;
        TSlot& slot = T().Slots[index];
        dropped = std::move(slot.Handler);
        slot = TSlot{};
    }
    afsync::BackendCancel(index);
}

void SyncEnable(uint32_t Id, bool Enabled)
{
    int index;
    {
        std::lock_guard<std::mutex> g(T().Lock);
        index = Find(Id);
        if (index < 0)
            return;
        T().Slots[index].Enabled = Enabled;
    }
    if (!Enabled)
        afsync::BackendCancel(index);
}

bool SyncCall(uint32_t Id, uint32_t Timeout)
{
    int index;
    {
        std::lock_guard<std::mutex> g(T().Lock);
        index = Find(Id);
        if (index < 0 || !T().Slots[index].Enabled)
            return false;
    }
    const bool delivered = afsync::BackendSend(index, Id, Timeout);
    std::lock_guard<std::mutex> g(T().Lock);
    const int now = Find(Id);
    return delivered && now >= 0 && T().Slots[now].Enabled;
}

void afsync::Dispatch(uint32_t Id)
{
    TAfSafeSyncEvent handler;
    {
        std::lock_guard<std::mutex> g(T().Lock);
        const int index = Find(Id);
        if (index < 0 || !T().Slots[index].Enabled)
            return;
        handler = T().Slots[index].Handler;
    }
    if (!handler)
        return;
    try {
        handler();
    } catch (const EAfAbort&) {
    } catch (const std::exception& e) {
        ShowMessage(e.what());
    } catch (...) {
        ShowMessage("Unknown exception");
    }
}

}  // namespace kelvo
