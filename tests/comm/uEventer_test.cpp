#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "uEventer.h"
#include "CountedProbe.h"

using namespace kelvo;
using kelvo::testing::gDestroyed;
using kelvo::testing::TProbe;

// ---- handler lists -------------------------------------------------------

namespace {

struct TRecorder {
    std::vector<std::string>* Log;
    std::string Name;
    TeventerDescentEvent* List = nullptr;
    TRecorder* Extra = nullptr;  // added or removed by Act
    enum { None, RemoveSelf, AddExtra, Raise } Act = None;

    void On(IUnknown*, int32_t Depth)
    {
        Log->push_back(Name + std::to_string(Depth));
        if (Act == RemoveSelf)
            List->RemoveHandler(Handler());
        else if (Act == AddExtra && Extra) {
            List->AddHandler(Extra->Handler());
            Act = None;
        } else if (Act == Raise)
            throw std::runtime_error("handler failed");
    }
    TDescentEvent Handler() { return TDescentEvent::Of<&TRecorder::On>(this); }
};

}  // namespace

TEST(Eventer, RegistrationOrderDuplicatesAndRemoval)
{
    std::vector<std::string> log;
    TeventerDescentEvent list;
    list.Fire(nullptr, 0);  // empty: nothing happens
    TRecorder a{&log, "a"}, b{&log, "b"};
    list.AddHandler(a.Handler());
    list.AddHandler(b.Handler());
    list.AddHandler(a.Handler());
    list.Fire(nullptr, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "a1"}));

    // The first equal entry goes; a handler of another object is not equal.
    log.clear();
    TRecorder other{&log, "x"};
    list.RemoveHandler(other.Handler());
    list.RemoveHandler(a.Handler());
    list.Fire(nullptr, 2);
    EXPECT_EQ(log, (std::vector<std::string>{"b2", "a2"}));
    EXPECT_EQ(list.Count(), 2u);
}

TEST(Eventer, HandlersChangingTheListDuringTheFanOut)
{
    std::vector<std::string> log;
    TeventerDescentEvent list;
    TRecorder a{&log, "a", &list}, b{&log, "b", &list}, c{&log, "c", &list}, d{&log, "d", &list};

    // A removes itself: B moves into its slot and is skipped, C runs.
    a.Act = TRecorder::RemoveSelf;
    list.AddHandler(a.Handler());
    list.AddHandler(b.Handler());
    list.AddHandler(c.Handler());
    list.Fire(nullptr, 0);
    EXPECT_EQ(log, (std::vector<std::string>{"a0", "c0"}));

    // B adds D: D runs in the same fan-out, after the others.
    log.clear();
    b.Act = TRecorder::AddExtra;
    b.Extra = &d;
    list.Fire(nullptr, 0);
    EXPECT_EQ(log, (std::vector<std::string>{"b0", "c0", "d0"}));

    // A raising handler neither stops the others nor reaches the caller.
    log.clear();
    b.Act = TRecorder::Raise;
    EXPECT_NO_THROW(list.Fire(nullptr, 0));
    EXPECT_EQ(log, (std::vector<std::string>{"b0", "c0", "d0"}));
}

namespace {

struct TDropper {
    IntfPtr<TProbe>* Holder;
    int32_t SeenAfterDrop = -1;
    void On(IUnknown* Node, int32_t)
    {
        Holder->reset();  // the last reference outside the fan-out
        SeenAfterDrop = static_cast<TMyInterfacedObject*>(dynamic_cast<TProbe*>(Node))->RefCount();
    }
};

}  // namespace

TEST(Eventer, InterfaceArgumentIsHeldForTheFanOut)
{
    gDestroyed = 0;
    IntfPtr<TProbe> holder = MakeIntf<TProbe>();
    TDropper dropper{&holder};
    TeventerDescentEvent list;
    list.AddHandler(TDescentEvent::Of<&TDropper::On>(&dropper));
    list.Fire(static_cast<IUnknown*>(holder.get()), 0);
    EXPECT_EQ(dropper.SeenAfterDrop, 1);  // still alive inside the handler
    EXPECT_EQ(gDestroyed, 1);             // and gone after the fan-out
}

namespace {

struct TBlocker {
    std::atomic<bool> Entered{false};
    std::atomic<bool> Release{false};
    std::atomic<int> Calls{0};
    void On(IUnknown*, int32_t)
    {
        ++Calls;
        Entered = true;
        while (!Release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

struct TCounter {
    std::atomic<int> Calls{0};
    void On(IUnknown*, int32_t) { ++Calls; }
};

}  // namespace

TEST(Eventer, RegistrationFromAnotherThreadWaitsForTheFanOut)
{
    TeventerDescentEvent list;
    TBlocker blocker;
    TCounter late;
    list.AddHandler(TDescentEvent::Of<&TBlocker::On>(&blocker));
    std::thread firing([&] { list.Fire(nullptr, 0); });
    while (!blocker.Entered)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::atomic<bool> added{false};
    std::thread registering([&] {
        list.AddHandler(TDescentEvent::Of<&TCounter::On>(&late));
        added = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(added);  // held up by the running fan-out
    blocker.Release = true;
    firing.join();
    registering.join();
    EXPECT_TRUE(added);
    EXPECT_EQ(late.Calls, 0);  // it came after that fan-out had finished
    list.Fire(nullptr, 0);
    EXPECT_EQ(late.Calls, 1);
}

TEST(Eventer, FanOutsAndRegistrationsOnSeveralThreads)
{
    TeventerDescentEvent list;
    TCounter counters[4];
    std::atomic<bool> stop{false};
    std::thread firing([&] {
        while (!stop)
            list.Fire(nullptr, 0);
    });
    std::thread changing([&] {
        for (int i = 0; i < 2000; ++i) {
            TCounter& c = counters[i % 4];
            list.AddHandler(TDescentEvent::Of<&TCounter::On>(&c));
            if (i % 3 == 0)
                list.RemoveHandler(TDescentEvent::Of<&TCounter::On>(&c));
        }
    });
    changing.join();
    stop = true;
    firing.join();
    // 2000 added, 667 removed again.
    EXPECT_EQ(list.Count(), 1333u);
}
