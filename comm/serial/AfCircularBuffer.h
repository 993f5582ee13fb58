#pragma once
// A byte ring of fixed capacity: callers append whole blocks, the consumer
// reads contiguous runs straight from the storage and removes what it has
// used. Not locked: the owner guards it.

#include <cstdint>
#include <memory>

namespace kelvo {

class TAfCircularBuffer {
public:
    explicit TAfCircularBuffer(uint32_t Capacity);
    TAfCircularBuffer(const TAfCircularBuffer&) = delete;
    TAfCircularBuffer& operator=(const TAfCircularBuffer&) = delete;

    void Clear();
    uint32_t Capacity() const { return FCapacity; }
    uint32_t Count() const;
    uint32_t FreeSpace() const { return FCapacity - Count(); }
    // Bytes readable from ReadPointer() without wrapping.
    uint32_t ContiguousCount() const;
    const uint8_t* ReadPointer() const { return FData.get() + FReadIndex; }
    // Drops n bytes from the front; false (nothing changes) when n > Count().
    bool Remove(uint32_t n);
    // Appends all n bytes or none: false when n < 1 or n > FreeSpace().
    bool Write(const void* Data, uint32_t n);

    uint32_t ReadIndex() const { return FReadIndex; }
    uint32_t WriteIndex() const { return FWriteIndex; }
    bool Full() const { return FFull; }

private:
    std::unique_ptr<uint8_t[]> FData;
    uint32_t FCapacity;
    uint32_t FReadIndex = 0;
    uint32_t FWriteIndex = 0;
    bool FFull = false;
};

}  // namespace kelvo
