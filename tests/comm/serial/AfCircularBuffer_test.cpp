#include "AfCircularBuffer.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo {
namespace {

std::string Drain(TAfCircularBuffer& b)
{
    std::string out;
    while (b.Count() > 0) {
        const uint32_t n = b.ContiguousCount();
        out.append(reinterpret_cast<const char*>(b.ReadPointer()), n);
        EXPECT_TRUE(b.Remove(n));
    }
    return out;
}

TEST(AfCircularBuffer, FullRingTellsItselfFromEmpty)
{
    TAfCircularBuffer b(8);
    EXPECT_EQ(b.Count(), 0u);
    EXPECT_FALSE(b.Full());
    ASSERT_TRUE(b.Write("ABCDEFGH", 8));
    EXPECT_EQ(b.ReadIndex(), 0u);
    EXPECT_EQ(b.WriteIndex(), 0u);
    EXPECT_TRUE(b.Full());
    EXPECT_EQ(b.Count(), 8u);
    EXPECT_EQ(b.FreeSpace(), 0u);
    EXPECT_EQ(b.ContiguousCount(), 8u);
    EXPECT_FALSE(b.Write("I", 1));
    EXPECT_TRUE(b.Remove(8));
    EXPECT_EQ(b.Count(), 0u);
    EXPECT_FALSE(b.Full());
}

TEST(AfCircularBuffer, WrapsAroundInTwoPieces)
{
    TAfCircularBuffer b(8);
    ASSERT_TRUE(b.Write("xxxxxxAB", 8));
    ASSERT_TRUE(b.Remove(6));  // ReadIndex 6, two bytes held, WriteIndex 0
    EXPECT_EQ(b.ReadIndex(), 6u);
    EXPECT_EQ(b.WriteIndex(), 0u);
    EXPECT_EQ(b.Count(), 2u);
    ASSERT_TRUE(b.Write("CDEF", 4));  // lands at 0..3
    EXPECT_EQ(b.WriteIndex(), 4u);
    EXPECT_EQ(b.ContiguousCount(), 2u);  // 6 and 7 only
    EXPECT_EQ(b.Count(), 6u);
    EXPECT_EQ(b.FreeSpace(), 2u);
    EXPECT_EQ(Drain(b), "ABCDEF");
}

TEST(AfCircularBuffer, RefusedWritesAndRemovesChangeNothing)
{
    TAfCircularBuffer b(8);
    ASSERT_TRUE(b.Write("abc", 3));
    EXPECT_FALSE(b.Write("", 0));
    EXPECT_FALSE(b.Write("123456", 6));  // only 5 free: all or nothing
    EXPECT_FALSE(b.Remove(4));
    EXPECT_EQ(b.Count(), 3u);
    EXPECT_EQ(b.WriteIndex(), 3u);
    EXPECT_EQ(b.ReadIndex(), 0u);
    EXPECT_TRUE(b.Remove(0));
    EXPECT_EQ(Drain(b), "abc");
}

TEST(AfCircularBuffer, KeepsOrderOverManyWraps)
{
    TAfCircularBuffer b(7);
    std::string in, out;
    unsigned char next = 0;
    for (int round = 0; round < 200; ++round) {
        const uint32_t n = 1 + round % 5;
        if (b.FreeSpace() >= n) {
            std::string chunk;
            for (uint32_t i = 0; i < n; ++i)
                chunk += static_cast<char>(next++);
            ASSERT_TRUE(b.Write(chunk.data(), n));
            in += chunk;
        }
        // Take part of a contiguous run, as a partial write would.
        const uint32_t take = (b.ContiguousCount() + 1) / 2;
        out.append(reinterpret_cast<const char*>(b.ReadPointer()), take);
        ASSERT_TRUE(b.Remove(take));
        ASSERT_EQ(b.Count() + b.FreeSpace(), 7u);
    }
    out += Drain(b);
    EXPECT_EQ(out, in);
}

TEST(AfCircularBuffer, ClearEmptiesAFullRing)
{
    TAfCircularBuffer b(4);
    ASSERT_TRUE(b.Write("wxyz", 4));
    b.Clear();
    EXPECT_EQ(b.Count(), 0u);
    EXPECT_FALSE(b.Full());
    EXPECT_EQ(b.ReadIndex(), 0u);
    EXPECT_TRUE(b.Write("ab", 2));
    EXPECT_EQ(Drain(b), "ab");
}

}  // namespace
}  // namespace kelvo
