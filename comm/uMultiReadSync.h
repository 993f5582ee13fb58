#pragma once
// A multi-reader/single-writer lock for the properties and links of a node.
//
// Many threads may read at once; one thread writes. The writer may take the
// write lock again (every BeginWrite needs its own EndWrite) and may take
// read locks while it writes. A thread that reads may go on to write: it
// waits until the other readers are gone, and its own read locks do not hold
// up another thread that wants to write meanwhile. BeginWrite therefore
// reports whether another writer finished a write between the call and the
// moment the lock was granted (false), so that a caller knows that what it
// read before may have changed.
//
// Waiting writers go first: a thread that does not hold the lock yet waits
// with new reads while a writer waits.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvo {

class TMultiReadExclusiveWriteSynchronizer {
public:
    TMultiReadExclusiveWriteSynchronizer() = default;
    TMultiReadExclusiveWriteSynchronizer(const TMultiReadExclusiveWriteSynchronizer&) = delete;
    TMultiReadExclusiveWriteSynchronizer& operator=(const TMultiReadExclusiveWriteSynchronizer&) = delete;

    void BeginRead();
    void EndRead();
    // True when no other writer came in between (always true when the thread
    // already writes).
    bool BeginWrite();
    void EndWrite();

private:
    struct TReader {
        std::thread::id Thread;
        int Count;
        bool WaitsToWrite;  // its reads do not block other writers
    };
    TReader* FindReader(std::thread::id Id);
    bool OthersRead(std::thread::id Id) const;

    std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<TReader> FReaders;
    std::thread::id FWriter;
    int FWriteDepth = 0;
    int FWaitingWriters = 0;
    uint64_t FRevision = 0;  // completed write sections
};

}  // namespace kelvo
