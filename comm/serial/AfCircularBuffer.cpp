#include "AfCircularBuffer.h"

#include <cstring>

namespace kelvo {

TAfCircularBuffer::TAfCircularBuffer(uint32_t Capacity)
    : FData(new uint8_t[Capacity > 0 ? Capacity : 1]), FCapacity(Capacity)
{
}

void TAfCircularBuffer::Clear()
{
    FReadIndex = 0;
    FWriteIndex = 0;
    FFull = false;
}

uint32_t TAfCircularBuffer::Count() const
{
    if (FFull)
        return FCapacity;
    if (FWriteIndex < FReadIndex)
        return FWriteIndex + FCapacity - FReadIndex;
    return FWriteIndex - FReadIndex;
}

uint32_t TAfCircularBuffer::ContiguousCount() const
{
    if (FFull || FWriteIndex < FReadIndex)
        return FCapacity - FReadIndex;
    return FWriteIndex - FReadIndex;
}

bool TAfCircularBuffer::Remove(uint32_t n)
{
    if (n > Count())
        return false;
    if (n == 0)
        return true;
    FReadIndex = static_cast<uint32_t>((uint64_t(FReadIndex) + n) % FCapacity);
    FFull = false;
    return true;
}

bool TAfCircularBuffer::Write(const void* Data, uint32_t n)
{
    if (n < 1 || n > FreeSpace())
        return false;
    const auto* src = static_cast<const uint8_t*>(Data);
    const uint32_t first = n < FCapacity - FWriteIndex ? n : FCapacity - FWriteIndex;
    std::memcpy(FData.get() + FWriteIndex, src, first);
    if (n > first)
        std::memcpy(FData.get(), src + first, n - first);
    FWriteIndex = static_cast<uint32_t>((uint64_t(FWriteIndex) + n) % FCapacity);
    FFull = FReadIndex == FWriteIndex;
    return true;
}

}  // namespace kelvo
