// Counted objects: construction and destruction that hand the object out,
// failed construction, references dropped on many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "CountedProbe.h"

using namespace kelvo;
using kelvo::testing::gDestroyed;
using kelvo::testing::TProbe;

TEST(CountedObject, ConstructionAndDestructionHandOutThemselvesSafely)
{
    gDestroyed = 0;
    TProbe* p = CreateObject<TProbe>();
    EXPECT_EQ(p->RefCount(), 0);  // alive, not yet referenced
    EXPECT_EQ(gDestroyed, 0);
    {
        IntfPtr<IUnknown> first(static_cast<IUnknown*>(p));
        EXPECT_EQ(p->RefCount(), 1);
        IntfPtr<IUnknown> second = first;
        EXPECT_EQ(p->RefCount(), 2);
    }
    // The reference taken inside BeforeDestruction did not free it twice.
    EXPECT_EQ(gDestroyed, 1);
    EXPECT_EQ(TProbe::Kept2, 1);

    void* obj = reinterpret_cast<void*>(1);
    IntfPtr<TProbe> q = MakeIntf<TProbe>();
    EXPECT_EQ(q->QueryInterface(TGUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, &obj), E_NOINTERFACE);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(q->QueryInterface(IUnknown::IID, &obj), S_OK);
    EXPECT_EQ(q->RefCount(), 2);
    static_cast<IUnknown*>(obj)->Release();
    q.reset();
    EXPECT_EQ(gDestroyed, 2);
}

TEST(CountedObject, FailedConstructionFreesOrLeavesToTheHolder)
{
    gDestroyed = 0;
    EXPECT_THROW(MakeIntf<TProbe>(2), std::runtime_error);
    EXPECT_EQ(gDestroyed, 1);  // nobody holds it: freed, not leaked

    gDestroyed = 0;
    EXPECT_THROW(MakeIntf<TProbe>(1), std::runtime_error);
    // Someone kept a reference during construction: the object lives on
    // with them and dies with their last reference.
    EXPECT_EQ(gDestroyed, 0);
    ASSERT_TRUE(TProbe::Kept);
    TProbe::Kept.reset();
    EXPECT_EQ(gDestroyed, 1);
}

TEST(CountedObject, ReferencesDroppedOnManyThreadsDestroyOnce)
{
    gDestroyed = 0;
    IntfPtr<TProbe> shared = MakeIntf<TProbe>();
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, copy = shared]() mutable {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < 5000; ++i) {
                IntfPtr<TProbe> a = copy;
                IntfPtr<IUnknown> b = Supports<IUnknown>(a);
            }
            copy.reset();  // one of these may be the last reference
        });
    shared.reset();
    go = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(gDestroyed, 1);
}
