#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeXmlElement.h"
#include "ScriptedChannel.h"
#include "SimD2XX.h"
#include "serial/FakePortBackend.h"
#include "uMainThreadQueue.h"
#include "uTickUtils.h"
#include "uci_FTDIcore.h"
#include "uci_ICommunicationInterface.h"
#include "uci_ISerialPortInterface.h"

using namespace kelvo;
using kelvo::test::TFakeXMLElement;
using kelvo::test::TScriptedChannel;

namespace {

const double CharTime9600 = 1000.0 / 9600 * 10;  // 1.04 ms

uint16_t AtLeastFour(const RawByteString& Reply)
{
    return Reply.size() >= 4 ? 0 : 1;
}

struct TQueryRun {
    int64_t SinceWrite = -1;  // ms from the Write to the return
    RawByteString Reply;
};

// Runs one Query on the injected clock. A loop that would never end fails
// the test instead of hanging it.
TQueryRun RunQuery(TScriptedChannel& Ch, const RawByteString& Request, int32_t Timeout, TReplyCheck Check = nullptr,
                   TReplyHopeless Hopeless = nullptr)
{
    TManualTimeSource clock(50000);
    clock.OnSleep = [](uint32_t now) {
        if (now > 50000 + 60000)
            throw std::runtime_error("Query did not end");
    };
    TScopedTimeSource scope(&clock);
    TQueryRun run;
    size_t writesBefore = Ch.Writes().size();
    Ch.Query(Request, Timeout, run.Reply, Check, Hopeless);
    std::vector<kelvo::test::TWrittenData> w = Ch.Writes();
    if (w.size() > writesBefore)
        run.SinceWrite = static_cast<int64_t>(clock.Tick()) - w.back().Tick;
    return run;
}

IntfPtr<TScriptedChannel> OpenChannel()
{
    IntfPtr<TScriptedChannel> ch = MakeIntf<TScriptedChannel>();
    ch->Open();
    return ch;
}

}  // namespace

TEST(Query, DeadlinesOfASilentLineAndOfALineThatGoesQuiet)
{
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    const RawByteString req = Bytes({1, 2, 3});

    // Silent: Timeout plus the line time of the request and five bytes.
    TQueryRun run = RunQuery(*ch, req, 100);
    EXPECT_EQ(run.Reply, "");
    EXPECT_EQ(run.SinceWrite, 101);  // the first tick past the deadline
    ch->SetCharTime(CharTime9600);
    EXPECT_EQ(RunQuery(*ch, req, 100).SinceWrite, 100 + 9 + 1);  // ceil(8 x 1.04) = 9

    // A burst, then quiet: 50 ms (plus ten characters) after the last chunk,
    // long before Timeout.
    ch->SetCharTime(0);
    ch->ReplyAfterWrite({{20, "abc"}});
    run = RunQuery(*ch, req, 1000);
    EXPECT_EQ(run.Reply, "abc");
    EXPECT_EQ(run.SinceWrite, 20 + 50 + 1);
    ch->SetCharTime(CharTime9600);
    ch->ReplyAfterWrite({{20, "abc"}});
    EXPECT_EQ(RunQuery(*ch, req, 1000).SinceWrite, 20 + 61 + 1);

    // Chunks 30 ms apart keep the exchange going past Timeout.
    ch->SetCharTime(0);
    std::vector<kelvo::test::TScriptChunk> chunks;
    RawByteString all;
    for (uint32_t i = 1; i <= 10; ++i) {
        chunks.push_back({30 * i, std::string(1, static_cast<char>('0' + i % 10))});
        all += chunks.back().Data;
    }
    ch->ReplyAfterWrite(chunks);
    run = RunQuery(*ch, req, 100);
    EXPECT_EQ(run.Reply, all);
    EXPECT_EQ(run.SinceWrite, 300 + 50 + 1);

    // A reply split by a pause longer than the quiet period is cut there;
    // a longer line gap waits for its rest.
    ch->ReplyAfterWrite({{20, "ab"}, {20 + 120, "cd"}});
    EXPECT_EQ(RunQuery(*ch, req, 1000).Reply, "ab");
    ch->DropPending();
    ch->SetLineGapMs(150);
    ch->ReplyAfterWrite({{20, "ab"}, {20 + 120, "cd"}});
    run = RunQuery(*ch, req, 1000);
    EXPECT_EQ(run.Reply, "abcd");
    EXPECT_EQ(run.SinceWrite, 140 + 150 + 1);
    ch->SetLineGapMs(TCommunicationInterface::kDefaultLineGapMs);

    // A negative Timeout shortens the first deadline.
    EXPECT_EQ(RunQuery(*ch, req, -50).SinceWrite, 1);
}

TEST(Query, CheckEndsAtOnceAndEarlierBytesLeadTheReply)
{
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    ch->ReplyAfterWrite({{10, "ab"}, {20, "cd"}, {30, "ef"}});
    TQueryRun run = RunQuery(*ch, "q", 1000, &AtLeastFour);
    EXPECT_EQ(run.Reply, "abcd");
    EXPECT_EQ(run.SinceWrite, 20);

    // Nothing is purged before the request.
    ch->DropPending();  // "ef" has not been read
    ch->Preload(Bytes({0xEE}));
    ch->ReplyAfterWrite({{5, "reply"}});
    run = RunQuery(*ch, "q", 1000);
    EXPECT_EQ(run.Reply, "\xEE" "reply");
    EXPECT_EQ(ch->PurgeCalls, 0);

    // A driver that claims bytes it never delivers does not keep the
    // exchange alive past its deadline.
    ch->PhantomQueue = 3;
    run = RunQuery(*ch, "q", 100);
    EXPECT_EQ(run.Reply, "");
    EXPECT_EQ(run.SinceWrite, 101);
}

namespace {

// A reply is complete as "abcd" and beyond saving once it holds an 'x'.
uint16_t IsAbcd(const RawByteString& Reply)
{
    return Reply == "abcd" ? 0 : 1;
}
bool HoldsAnX(const RawByteString& Reply)
{
    return Reply.find('x') != RawByteString::npos;
}

}  // namespace

TEST(Query, AReplyBeyondSavingStopsMovingTheDeadline)
{
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    // A line that never stops talking: a chunk every 20 ms for 10 s.
    std::vector<kelvo::test::TScriptChunk> chatter;
    for (uint32_t t = 20; t <= 10000; t += 20)
        chatter.push_back({t, "x"});
    ch->ReplyAfterWrite(chatter);
    TQueryRun run = RunQuery(*ch, "q", 30000, &IsAbcd, &HoldsAnX);
    // One quiet period after the first chunk, whatever came after it; what
    // arrived until then was taken.
    EXPECT_EQ(run.SinceWrite, 20 + 50 + 1);
    EXPECT_EQ(run.Reply, "xxx");
    ch->DropPending();

    // Good bytes first: the chunk that spoils the reply fixes the deadline.
    ch->SetCharTime(CharTime9600);
    ch->ReplyAfterWrite({{10, "ab"}, {40, "x"}, {80, "cd"}, {130, "ef"}});
    run = RunQuery(*ch, "q", 1000, &IsAbcd, &HoldsAnX);
    EXPECT_EQ(run.SinceWrite, 40 + 61 + 1);
    EXPECT_EQ(run.Reply, "abxcd");
    ch->DropPending();

    // While the reply can still grow, chunks keep the exchange going.
    ch->SetCharTime(0);
    ch->ReplyAfterWrite({{40, "a"}, {80, "b"}, {120, "c"}, {160, "d"}});
    run = RunQuery(*ch, "q", 100, &IsAbcd, &HoldsAnX);
    EXPECT_EQ(run.Reply, "abcd");
    EXPECT_EQ(run.SinceWrite, 160);
}

TEST(Query, ACancelRequestEndsTheExchangeAtTheNextStep)
{
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    ch->ReplyAfterWrite({{10, "ab"}});
    TManualTimeSource clock(50000);
    clock.OnSleep = [](uint32_t now) {
        if (now == 50000 + 30)
            RequestQueryCancel();
    };
    RawByteString reply;
    {
        TScopedTimeSource scope(&clock);
        ch->Query("q", 5000, reply, &IsAbcd);
        EXPECT_EQ(clock.Tick(), 50000u + 30u);  // not the 5 s time-out
        EXPECT_EQ(reply, "ab");
        // Still set: the next exchange does not even write.
        ch->Query("q", 5000, reply, &IsAbcd);
    }
    ClearQueryCancel();
    EXPECT_EQ(ch->Writes().size(), 1u);
    EXPECT_EQ(reply, "");
}

TEST(Query, AThreadsOwnCancelFlagEndsOnlyThatThreadsExchanges)
{
    std::atomic<bool> own{true};
    bool otherSees = true;
    EXPECT_EQ(SetThreadQueryCancel(&own), nullptr);
    std::thread([&] { otherSees = QueryCancelRequested(); }).join();
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    RawByteString reply;
    ch->Query("q", 5000, reply, &IsAbcd);
    EXPECT_TRUE(QueryCancelRequested());
    EXPECT_EQ(SetThreadQueryCancel(nullptr), &own);
    EXPECT_FALSE(otherSees);
    EXPECT_TRUE(ch->Writes().empty());
    EXPECT_FALSE(QueryCancelRequested());
}

namespace {

// A clock in microseconds for single-threaded tests of waits: a sleep or a
// wait for a signal moves it straight to the next thing that can happen (a
// scripted event, the next whole millisecond, the end of the wait), so a
// test sees to the microsecond when a wait ended, and no real time passes.
class TEventClock : public TTimeSource {
public:
    explicit TEventClock(uint64_t StartUs) : FUs(StartUs) {}
    uint64_t Us() const { return FUs; }
    void At(uint64_t Us, std::function<void()> Event) { FEvents.emplace(Us, std::move(Event)); }

    uint32_t Tick() override { return static_cast<uint32_t>(FUs / 1000); }
    void Sleep(uint32_t Ms) override { RunTo(FUs + std::max<uint32_t>(Ms, 1) * 1000ull, nullptr); }
    void WaitFor(TWakeSignal& Signal, uint32_t Until) override { RunTo(uint64_t(Until) * 1000, &Signal); }

private:
    void RunTo(uint64_t End, TWakeSignal* Signal)
    {
        while (FUs < End && !(Signal && Signal->Pending())) {
            if (FUs > 60'000'000'000ull)
                throw std::runtime_error("the wait did not end");
            uint64_t next = std::min(End, (FUs / 1000 + 1) * 1000);
            if (!FEvents.empty() && FEvents.begin()->first < next)
                next = std::max(FUs, FEvents.begin()->first);
            FUs = next;
            while (!FEvents.empty() && FEvents.begin()->first <= FUs) {
                std::function<void()> event = std::move(FEvents.begin()->second);
                FEvents.erase(FEvents.begin());
                event();
            }
        }
    }

    uint64_t FUs;
    std::multimap<uint64_t, std::function<void()>> FEvents;
};

}  // namespace

TEST(Query, WaitsForTheArrivalSignalAndEndsWhenItDidBefore)
{
    // The clock starts at tick 50000; Query writes one millisecond later.
    constexpr uint64_t kWriteUs = 50'001'000;
    struct {
        const char* Case;
        bool Signalled;
        const char* Arriving;  // at 20.3 ms after the write, or nothing
        TReplyCheck Check;
        int32_t Timeout;
        uint64_t EndsUs;  // after the write
    } rows[] = {
        {"complete frame, signalled: at once", true, "abcd", &AtLeastFour, 1000, 20'300},
        {"complete frame, polled: the next look", false, "abcd", &AtLeastFour, 1000, 21'000},
        {"silent, signalled: the tick past the deadline", true, nullptr, nullptr, 100, 101'000},
        {"quiet after a chunk, signalled", true, "abc", nullptr, 1000, 71'000},
        {"quiet after a chunk, polled", false, "abc", nullptr, 1000, 72'000},
    };
    for (const auto& row : rows) {
        IntfPtr<TScriptedChannel> ch = OpenChannel();
        ch->SignalArrivals(row.Signalled);
        TEventClock clock(50'000'000);
        if (row.Arriving)
            clock.At(kWriteUs + 20'300, [&] { ch->Arrive(row.Arriving); });
        RawByteString reply;
        {
            TScopedTimeSource scope(&clock);
            ch->Query("q", row.Timeout, reply, row.Check);
        }
        ASSERT_EQ(ch->Writes().size(), 1u) << row.Case;
        EXPECT_EQ(ch->Writes()[0].Tick, kWriteUs / 1000) << row.Case;
        EXPECT_EQ(reply, row.Arriving ? row.Arriving : "") << row.Case;
        EXPECT_EQ(clock.Us() - kWriteUs, row.EndsUs) << row.Case;
    }

    // A cancel request raises no signal: a signalled wait looks for it
    // within a few tens of milliseconds all the same.
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    ch->SignalArrivals(true);
    TEventClock clock(50'000'000);
    clock.At(kWriteUs + 30'000, [] { RequestQueryCancel(); });
    RawByteString reply;
    {
        TScopedTimeSource scope(&clock);
        ch->Query("q", 5000, reply, &AtLeastFour);
    }
    ClearQueryCancel();
    EXPECT_GE(clock.Us() - kWriteUs, 30'000u);
    EXPECT_LE(clock.Us() - kWriteUs, 30'000u + 50'000u);
}

// ThreadSanitizer's own background thread costs about one per cent of a
// core; a loop that wakes every millisecond costs several times more.
#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kQuietCpuPercent = 3;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr uint64_t kQuietCpuPercent = 3;
#else
constexpr uint64_t kQuietCpuPercent = 1;
#endif
#else
constexpr uint64_t kQuietCpuPercent = 1;
#endif

// A USB module that never answers, and a COM port whose line stays silent:
// while Query waits, neither its loop nor the channel's threads keep a core
// busy. The figure is the whole process's, so a one-off burst from outside
// the exchange (the emulator's own threads, a loaded machine) can land in
// it; a wait that polls costs in every exchange. The cheapest of up to
// three exchanges is judged.
TEST(Query, ASilentLineCostsNoCpuWhileQueryWaits)
{
    TMainThreadQueue::Init();
    kelvo::testing::TSimD2XX sim;
    sim.Plug("FTQUIET", "faults=silent");
    kelvo::test::TFakePortScope fake;
    const std::function<IntfPtr<ICommunicationInterface>()> channels[] = {
        [] { return IntfPtr<ICommunicationInterface>(
                 MakeIntf<TFTDIDevice>(TFTDIDevice::TFromSerialNumber{"FTQUIET"}, "")->AsInterface()); },
        [] { return IntfPtr<ICommunicationInterface>(MakeIntf<TSerialPortInterface>("comport=3")->AsInterface()); },
    };
    for (const auto& make : channels) {
        IntfPtr<ICommunicationInterface> ch = make();
        std::string name;
        ch->GetName(name);
        ASSERT_TRUE(ch->Open()) << name;
        std::string tried;
        bool quiet = false;
        for (int attempt = 0; attempt < 3 && !quiet; ++attempt) {
            RawByteString reply;
            const uint64_t cpu0 = ProcessCpuMicros();
            const auto start = std::chrono::steady_clock::now();
            ch->Query("q", 2000, reply, &AtLeastFour);
            const auto wallUs =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
            const uint64_t cpuUs = ProcessCpuMicros() - cpu0;
            ASSERT_EQ(reply, "") << name;
            ASSERT_GE(wallUs, 2000 * 1000) << name;
            quiet = cpuUs * 100 < static_cast<uint64_t>(wallUs) * kQuietCpuPercent;
            tried += " " + std::to_string(cpuUs) + " us in " + std::to_string(wallUs) + " us;";
        }
        EXPECT_TRUE(quiet) << name << ": under " << kQuietCpuPercent << " % of a core; CPU used:" << tried;
        ch->Close(false);
        TMainThreadQueue::Drain();
    }
}

TEST(Query, ClosedChannelAndFailingDriver)
{
    IntfPtr<TScriptedChannel> ch = MakeIntf<TScriptedChannel>();
    RawByteString reply = "stale";
    TManualTimeSource clock;
    {
        TScopedTimeSource scope(&clock);
        ch->Query("q", 1000, reply);
    }
    EXPECT_EQ(reply, "");
    EXPECT_TRUE(ch->Writes().empty());
    EXPECT_EQ(clock.Tick(), 1000u);  // returned at once

    auto lockIsFree = [&] {
        bool taken = false;
        std::thread other([&] {
            taken = ch->TryLock();
            if (taken)
                ch->Unlock();
        });
        other.join();
        return taken;
    };
    ch->Open();
    ch->ThrowOnWrite = true;
    EXPECT_THROW(ch->Query("q", 100, reply), std::runtime_error);
    EXPECT_TRUE(lockIsFree());
    ch->ThrowOnWrite = false;
    ch->ThrowOnRead = true;
    ch->ReplyAfterWrite({{0, "x"}});
    EXPECT_THROW(ch->Query("q", 100, reply), std::runtime_error);
    EXPECT_TRUE(lockIsFree());
}

TEST(Query, HoldsTheChannelLockForTheWholeExchange)
{
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    ch->ReplyAfterWrite({{150, "reply"}});
    RawByteString reply;
    std::thread querying([&] { ch->Query("request", 2000, reply); });
    while (ch->Writes().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::atomic<bool> tried{false}, got{true};
    std::thread probing([&] {
        got = ch->TryLock();
        if (got)
            ch->Unlock();
        tried = true;
    });
    std::thread writing([&] { ch->Write("other"); });
    probing.join();
    writing.join();
    querying.join();

    EXPECT_TRUE(tried);
    EXPECT_FALSE(got);
    EXPECT_EQ(reply, "reply");
    std::vector<kelvo::test::TWrittenData> w = ch->Writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].Data, "request");
    EXPECT_EQ(w[1].Data, "other");
    // The other thread's write waited for the end of the exchange (the
    // reply came 150 ms after the request, the line was quiet 50 ms later).
    EXPECT_GE(static_cast<int32_t>(w[1].Tick - w[0].Tick), 150);
}

// ---- notifications ------------------------------------------------------------

namespace {

struct TNotifyLog {
    std::vector<std::string> Log;
    ICommunicationInterface* LastSender = nullptr;
    bool Throw = false;
    IntfPtr<ICommunicationInterface> Kept;

    void Note(const std::string& What, ICommunicationInterface* Sender)
    {
        Log.push_back(What);
        LastSender = Sender;
        if (Throw)
            throw std::runtime_error(What);
    }
    void Single(ICommunicationInterface* S) { Note("single", S); }
    void List(ICommunicationInterface* S) { Note("list", S); }
    void Other(ICommunicationInterface* S) { Note("other", S); }
    void Keep(ICommunicationInterface* S) { Kept = S; }
    void SingleLine(ICommunicationInterface* S, int32_t L, bool St)
    {
        Note("single" + std::to_string(L) + (St ? "on" : "off"), S);
    }
    void ListLine(ICommunicationInterface* S, int32_t L, bool St)
    {
        Note("list" + std::to_string(L) + (St ? "on" : "off"), S);
    }
};

}  // namespace

TEST(Notifications, OrderOfSingleHandlersAndLists)
{
    IntfPtr<TScriptedChannel> ch = MakeIntf<TScriptedChannel>();
    ICommunicationInterface* self = ch->AsInterface();
    TNotifyLog n, other;
    auto single = TCiNotifyEvent::Of<&TNotifyLog::Single>(&n);
    auto list = TCiNotifyEvent::Of<&TNotifyLog::List>(&n);

    // Nothing registered and no list requested: nothing happens.
    ch->NotifyOpened();
    ch->NotifyDataAvailable();
    ch->NotifyLineChange(1, true);

    EXPECT_EQ(ch->OpenEvents(), ch->OpenEvents());
    ch->SetOnOpen(single);
    ch->SetOnClose(TCiNotifyEvent::Of<&TNotifyLog::Other>(&n));
    EXPECT_TRUE(ch->GetOnOpen() == single);
    EXPECT_TRUE(ch->GetOnClose() == TCiNotifyEvent::Of<&TNotifyLog::Other>(&n));
    ch->OpenEvents()->AddHandler(list);
    ch->Open();
    EXPECT_EQ(n.Log, (std::vector<std::string>{"list", "single"}));
    EXPECT_EQ(n.LastSender, self);

    n.Log.clear();
    ch->SetOnClose(single);
    ch->CloseEvents()->AddHandler(list);
    ch->Close(false);
    EXPECT_EQ(n.Log, (std::vector<std::string>{"list", "single"}));

    n.Log.clear();
    ch->SetOnDataAvailable(single);
    ch->DataAvailableEvents()->AddHandler(list);
    ch->NotifyDataAvailable();
    EXPECT_EQ(n.Log, (std::vector<std::string>{"single", "list"}));
    EXPECT_EQ(n.LastSender, self);
    IntfPtr<TScriptedChannel> ch2 = MakeIntf<TScriptedChannel>();
    ch->NotifyDataAvailable(ch2->AsInterface());
    EXPECT_EQ(n.LastSender, ch2->AsInterface());

    n.Log.clear();
    ch->SetOnLineChange(TCiLineChangeEvent::Of<&TNotifyLog::SingleLine>(&n));
    ch->LineChangeEvents()->AddHandler(TCiLineChangeEvent::Of<&TNotifyLog::ListLine>(&n));
    ch->NotifyLineChange(LineDSR, true);
    EXPECT_EQ(n.Log, (std::vector<std::string>{"list3on", "single3on"}));

    // OnChange has a list only; applying a connection string raises it.
    n.Log.clear();
    ch->ChangeEvents()->AddHandler(list);
    ch->SetConnectionString("baudrate=9600");
    EXPECT_EQ(n.Log, (std::vector<std::string>{"list"}));

    // A raising single data handler skips the list for that event; a raising
    // list handler does not stop the next one. Nothing reaches the caller.
    n.Log.clear();
    n.Throw = true;
    ch->DataAvailableEvents()->AddHandler(TCiNotifyEvent::Of<&TNotifyLog::Other>(&other));
    EXPECT_NO_THROW(ch->NotifyDataAvailable());
    EXPECT_EQ(n.Log, (std::vector<std::string>{"single"}));
    EXPECT_TRUE(other.Log.empty());
    ch->SetOnDataAvailable(nullptr);
    n.Log.clear();
    EXPECT_NO_THROW(ch->NotifyDataAvailable());
    EXPECT_EQ(n.Log, (std::vector<std::string>{"list"}));
    EXPECT_EQ(other.Log, (std::vector<std::string>{"other"}));
    n.Log.clear();
    EXPECT_NO_THROW(ch->Open());  // the raising list handler, then the raising single one
    EXPECT_EQ(n.Log, (std::vector<std::string>{"list", "single"}));
}

TEST(Notifications, HandlerMayKeepTheChannel)
{
    TNotifyLog n;
    IntfPtr<TScriptedChannel> ch = MakeIntf<TScriptedChannel>();
    ch->OpenEvents()->AddHandler(TCiNotifyEvent::Of<&TNotifyLog::Keep>(&n));
    ch->Open();
    ICommunicationInterface* raw = ch->AsInterface();
    ch.reset();
    ASSERT_EQ(n.Kept.get(), raw);
    EXPECT_TRUE(n.Kept->GetActive());
    n.Kept.reset();  // the last reference
}

// ---- construction, state, buffer ----------------------------------------------

namespace {

// Only what the base leaves abstract.
class TBareChannel : public TCommunicationInterface {
public:
    bool GetActive() override { return false; }
    int32_t Write(const RawByteString& Data) override { return static_cast<int32_t>(Data.size()); }
    int32_t InQueueCount() override { return 0; }
    void GetName(std::string& Name) override { Name = "bare"; }
};

}  // namespace

TEST(Channel, ConstructorsApplyTheConnectionStringOnTheFinishedObject)
{
    IntfPtr<TBareChannel> bare = MakeIntf<TBareChannel>();
    std::string s;
    bare->GetDescription(s);
    EXPECT_EQ(s, "bare");
    EXPECT_FALSE(bare->GetPresent());
    EXPECT_EQ(bare->GetCharTime(), 0.0);
    EXPECT_FALSE(bare->HasSetupDialog());
    EXPECT_FALSE(bare->ShowSetupDialog());
    EXPECT_FALSE(bare->Open());
    EXPECT_EQ(bare->GetCharTime(), 10.0);
    EXPECT_FALSE(bare->Close(true));
    bare->GetConnectionString(s);
    EXPECT_EQ(s, "");
    IntfPtr<INodedInterface> found;
    EXPECT_TRUE(bare->FindByName("TBareChannel", found));  // the node name is the class name
    EXPECT_TRUE(Supports<ICommunicationInterface>(found));

    EXPECT_TRUE(MakeIntf<TScriptedChannel>()->AppliedConnectionStrings().empty());
    IntfPtr<TScriptedChannel> ch = MakeIntf<TScriptedChannel>("baudrate=9600;comport=3");
    EXPECT_EQ(ch->AppliedConnectionStrings(), std::vector<std::string>{"baudrate=9600;comport=3"});

    // From an element: its GUID and connection string, under the parent.
    IntfPtr<TBareChannel> parent = MakeIntf<TBareChannel>();
    IntfPtr<TFakeXMLElement> e = MakeIntf<TFakeXMLElement>();
    const std::string guid = "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}";
    e->SetAttribute("GUID", guid);
    e->SetAttribute("name", "line 1");
    e->SetAttribute("connectionstring", "baudrate=19200");
    IntfPtr<TScriptedChannel> x = MakeIntf<TScriptedChannel>(e.get(), static_cast<IUnknown*>(parent->AsInterface()));
    EXPECT_EQ(x->AppliedConnectionStrings(), std::vector<std::string>{"baudrate=19200"});
    x->GetGUIDString(s);
    EXPECT_EQ(s, guid);
    EXPECT_EQ(parent->ChildCount(), 1);
    EXPECT_TRUE(parent->FindByName("line 1", found));

    x->SetConnectionString("baudrate=38400");
    x->SaveToXML();
    EXPECT_EQ(e->GetAttribute("connectionstring"), "baudrate=38400");
    parent->ClearTree();
}

TEST(Channel, SetActiveAndTheSoftwareReceiveBuffer)
{
    IntfPtr<TScriptedChannel> ch = MakeIntf<TScriptedChannel>();
    ch->SetActive(false);
    EXPECT_EQ(ch->CloseCalls, 0);
    ch->SetActive(true);
    ch->SetActive(true);
    EXPECT_EQ(ch->OpenCalls, 1);
    ch->SetActive(false);
    EXPECT_EQ(ch->CloseCalls, 1);

    ch->Preload("ABCDEF");
    EXPECT_EQ(ch->ReceivedCount(false), 0);
    EXPECT_EQ(ch->ReceivedCount(true), 6);
    RawByteString d;
    for (int32_t n : {-1, 0, 2, 6, 9}) {
        ch->PeekReceived(n, d);
        EXPECT_EQ(d, n == 0 ? "" : n == 2 ? "AB" : "ABCDEF") << n;
        EXPECT_EQ(ch->ReceivedCount(false), 6);
    }
    ch->ExtractReceived(0, d);
    EXPECT_EQ(d, "");
    EXPECT_EQ(ch->ReceivedCount(false), 6);
    ch->ExtractReceived(2, d);
    EXPECT_EQ(d, "AB");
    ch->ExtractReceived(4, d);  // n >= length: everything
    EXPECT_EQ(d, "CDEF");
    EXPECT_EQ(ch->ReceivedCount(false), 0);
    ch->Preload("XY");
    ch->ExtractReceived(-1, d);  // polls the driver first
    EXPECT_EQ(d, "XY");
}

// ---- data trace ------------------------------------------------------------------

namespace {

std::vector<RawByteString> gPayloads;
void RecordPayload(const RawByteString& Payload)
{
    gPayloads.push_back(Payload);
}

struct TTraceRecorder {
    std::vector<std::string> Log;
    void Trace(ICommunicationInterface*, const RawByteString& Data, uint8_t Direction)
    {
        Log.push_back(std::to_string(Direction) + Data);
    }
    void Fail(ICommunicationInterface*, const RawByteString&, uint8_t) { throw std::runtime_error("trace"); }
};

// Puts the trace handler and the terminal sink back after a test.
struct TTraceScope {
    TTraceScope() : FSink(SetTerminalSink(&RecordPayload)) { gPayloads.clear(); }
    ~TTraceScope()
    {
        SetDataTraceHandler(nullptr);
        SetTerminalSink(FSink);
    }
    TTerminalSink FSink;
};

}  // namespace

TEST(DataTrace, CommandLineSwitches)
{
    using V = std::vector<std::string>;
    EXPECT_TRUE(CommandLineWantsDataTrace(V{"KelvoSetup", "/dst"}));
    EXPECT_TRUE(CommandLineWantsDataTrace(V{"KelvoSetup", "-Std"}));
    EXPECT_TRUE(CommandLineWantsDataTrace(V{"KelvoSetup", "  STD \t"}));
    EXPECT_TRUE(CommandLineWantsDataTrace(V{"DST"}));  // the program path counts too
    EXPECT_TRUE(CommandLineWantsDataTrace(V{"x", "DEBUG", " -dst"}));
    EXPECT_FALSE(CommandLineWantsDataTrace(V{"KelvoSetup", "DSTX"}));
    EXPECT_FALSE(CommandLineWantsDataTrace(V{"KelvoSetup", "//DST"}));
    EXPECT_FALSE(CommandLineWantsDataTrace(V{"KelvoSetup", "-/STD"}));
    EXPECT_FALSE(CommandLineWantsDataTrace(V{"KelvoSetup", "D ST"}));
    EXPECT_FALSE(CommandLineWantsDataTrace(V{}));

    TTraceScope scope;
    const char* off[] = {"KelvoSetup", "DEBUG"};
    InitDataTrace(2, off);
    EXPECT_FALSE(GetDataTraceHandler());
    const char* on[] = {"KelvoSetup", "/dst"};
    InitDataTrace(2, on);
    EXPECT_TRUE(GetDataTraceHandler() == TerminalForwarderHandler());
}

TEST(DataTrace, ForwarderPayloads)
{
    TTraceScope scope;
    IntfPtr<TScriptedChannel> ch = OpenChannel();
    ch->Write("abc");
    EXPECT_TRUE(gPayloads.empty());  // tracing off

    SetDataTraceHandler(TerminalForwarderHandler());
    ch->Write(Bytes({0x2A, 0x00, 0x0D}));
    RawByteString d;
    ch->Read(d);  // nothing waiting: no message
    ch->Preload("xy");
    ch->Read(d);
    ASSERT_EQ(gPayloads.size(), 2u);
    EXPECT_EQ(gPayloads[0], Bytes({1, 0x2A, 0x00, 0x0D}));
    EXPECT_EQ(gPayloads[1], "\x02xy");

    // One message per transfer of a Query: the request and each chunk.
    gPayloads.clear();
    ch->ReplyAfterWrite({{0, "r"}});
    ch->Query("q", 200, d);
    EXPECT_EQ(gPayloads, (std::vector<RawByteString>{"\x01q", "\x02r"}));

    // The forwarder acts only while it is the trace handler.
    gPayloads.clear();
    TTraceRecorder rec;
    SetDataTraceHandler(TDataTraceEvent::Of<&TTraceRecorder::Trace>(&rec));
    ch->Write("w");
    TerminalForwarderHandler()(ch->AsInterface(), "w", 1);
    EXPECT_TRUE(gPayloads.empty());
    EXPECT_EQ(rec.Log, std::vector<std::string>{"1w"});

    // A failing trace handler does not break the transfer.
    SetDataTraceHandler(TDataTraceEvent::Of<&TTraceRecorder::Fail>(&rec));
    EXPECT_EQ(ch->Write("abcd"), 4);
}
