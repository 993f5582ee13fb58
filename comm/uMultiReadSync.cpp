#include "uMultiReadSync.h"

#include <algorithm>

namespace kelvo {

TMultiReadExclusiveWriteSynchronizer::TReader* TMultiReadExclusiveWriteSynchronizer::FindReader(std::thread::id Id)
{
    for (TReader& r : FReaders)
        if (r.Thread == Id)
            return &r;
    return nullptr;
}

bool TMultiReadExclusiveWriteSynchronizer::OthersRead(std::thread::id Id) const
{
    return std::any_of(FReaders.begin(), FReaders.end(),
                       [&](const TReader& r) { return r.Thread != Id && r.Count > 0 && !r.WaitsToWrite; });
}

void TMultiReadExclusiveWriteSynchronizer::BeginRead()
{
    std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(FMutex);
    if (TReader* r = FindReader(me)) {
        // Nested read: never waits, or a waiting writer would wait for us.
        ++r->Count;
        return;
    }
    if (FWriter != me)
        FChanged.wait(lock, [&] { return FWriteDepth == 0 && FWaitingWriters == 0; });
    FReaders.push_back(TReader{me, 1, false});
}

void TMultiReadExclusiveWriteSynchronizer::EndRead()
{
    std::thread::id me = std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = std::find_if(FReaders.begin(), FReaders.end(), [&](const TReader& r) { return r.Thread == me; });
    if (it == FReaders.end())
        return;  // unbalanced EndRead: nothing to release
    if (--it->Count == 0) {
        FReaders.erase(it);
        FChanged.notify_all();
    }
}

bool TMultiReadExclusiveWriteSynchronizer::BeginWrite()
{
    std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(FMutex);
    if (FWriteDepth > 0 && FWriter == me) {
        ++FWriteDepth;
        return true;
    }
    uint64_t seen = FRevision;
    TReader* mine = FindReader(me);
    if (mine) {
        mine->WaitsToWrite = true;
        FChanged.notify_all();  // another upgrading writer may now go
    }
    ++FWaitingWriters;
    FChanged.wait(lock, [&] { return FWriteDepth == 0 && !OthersRead(me); });
    --FWaitingWriters;
    if ((mine = FindReader(me)) != nullptr)
        mine->WaitsToWrite = false;
    FWriter = me;
    FWriteDepth = 1;
    return FRevision == seen;
}

void TMultiReadExclusiveWriteSynchronizer::EndWrite()
{
    std::lock_guard<std::mutex> lock(FMutex);
    if (FWriteDepth == 0 || FWriter != std::this_thread::get_id())
        return;  // not the writer: nothing to release
    if (--FWriteDepth == 0) {
        FWriter = std::thread::id();
        ++FRevision;
        FChanged.notify_all();
    }
}

}  // namespace kelvo

