// Safe sync through the main-thread message queue, which the window drains
// from its event loop (and tests drain themselves).

#include "AfSafeSync.h"
#include "uMainThreadQueue.h"

namespace kelvo::afsync {

namespace {
// One address per slot: the queue's tags for the calls of that slot.
char gSlotTags[AfSafeSyncSlots];

uintptr_t Tag(int Index) { return reinterpret_cast<uintptr_t>(&gSlotTags[Index]); }
}  // namespace

void BackendInit() {}

bool BackendSend(int Index, uint32_t Id, uint32_t Timeout)
{
    TMainThreadQueue::Send([Id] { Dispatch(Id); }, Timeout, Tag(Index));
    return true;
}

void BackendCancel(int Index)
{
    TMainThreadQueue::Cancel(Tag(Index));
}

}  // namespace kelvo::afsync
