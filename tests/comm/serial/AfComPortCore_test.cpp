// The port core against a scripted backend: open sequence failures, the
// write thread, the event thread's reports and its behaviour on a dead port.

#include "AfComPortCore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakePortBackend.h"
#include "OpenError.h"
#include "TestWait.h"

namespace kelvo::test {
namespace {

struct TReport {
    TAfCoreEvent Kind;
    uint32_t Data;
    std::thread::id Thread;
    std::string Error;
};

class CoreTest : public ::testing::Test {
protected:
    TFakePortScope Fake;
    std::shared_ptr<TFakeWire>& W = Fake.Wire;
    std::mutex Lock;
    std::vector<TReport> Reports;
    std::function<void(TAfCoreEvent, uint32_t)> Extra;

    void Listen(TAfComPortCore& Core)
    {
        Core.SetOnEvent([this](TAfComPortCore*, TAfCoreEvent Kind, uint32_t Data, std::exception_ptr Error) {
            std::string text;
            if (Error) {
                try {
                    std::rethrow_exception(Error);
                } catch (const std::exception& e) {
                    text = e.what();
                }
            }
            {
                std::lock_guard<std::mutex> g(Lock);
                Reports.push_back({Kind, Data, std::this_thread::get_id(), text});
            }
            std::function<void(TAfCoreEvent, uint32_t)> extra;
            {
                std::lock_guard<std::mutex> g(Lock);
                extra = Extra;
            }
            if (extra)
                extra(Kind, Data);
        });
    }
    void SetExtra(std::function<void(TAfCoreEvent, uint32_t)> F)
    {
        std::lock_guard<std::mutex> g(Lock);
        Extra = std::move(F);
    }
    size_t CountOf(TAfCoreEvent Kind, uint32_t Data)
    {
        std::lock_guard<std::mutex> g(Lock);
        size_t n = 0;
        for (auto& r : Reports)
            if (r.Kind == Kind && r.Data == Data)
                ++n;
        return n;
    }
    std::vector<TReport> Snapshot()
    {
        std::lock_guard<std::mutex> g(Lock);
        return Reports;
    }
};

TEST_F(CoreTest, OpenFailuresNameTheStepAndLeaveThePortClosed)
{
    TAfComPortCore core;
    EXPECT_EQ(OpenError(core, 0), "Invalid port number (COM0)");
    EXPECT_EQ(OpenError(core, -3), "Invalid port number (COM-3)");

    W->OpenResult = TAfOpenResult::NotFound;
    EXPECT_EQ(OpenError(core, 7), "Invalid port number (COM7)");
    W->OpenResult = TAfOpenResult::Failed;
    EXPECT_EQ(OpenError(core, 12), "Can't open device COM12");
    W->OpenResult = TAfOpenResult::Ok;

    struct {
        bool TFakeWire::*Flag;
        const char* Message;
    } steps[] = {
        {&TFakeWire::FailTimeouts, "Error setting timeouts"},
        {&TFakeWire::FailSetup, "Error initializing buffers"},
        {&TFakeWire::FailMask, " Error setting EventMask"},
        {&TFakeWire::FailState, "Error setting parameters from DCB"},
    };
    for (auto& step : steps) {
        (*W).*step.Flag = true;
        const int closesBefore = W->Closes;
        EXPECT_EQ(OpenError(core, 3), step.Message);
        EXPECT_FALSE(core.Opened());
        EXPECT_FALSE(core.Active());
        EXPECT_EQ(core.Handle(), -1);
        EXPECT_EQ(W->Closes, closesBefore + 1) << step.Message;  // the handle went back
        (*W).*step.Flag = false;
    }
    // After all that the port still opens normally.
    EXPECT_TRUE(core.OpenComPort(3));
    EXPECT_TRUE(core.Opened());
    EXPECT_TRUE(core.Active());
    core.Close();
    EXPECT_FALSE(core.Opened());
}

TEST_F(CoreTest, RefusedDcbIsReadBackFromThePort)
{
    TAfComPortCore core;
    ASSERT_TRUE(core.OpenComPort(1));
    TAfDCB good{};
    good.DCBlength = 28;
    good.BaudRate = 9600;
    core.SetDCB(good);
    EXPECT_EQ(W->State.BaudRate, 9600u);

    W->FailState = true;
    TAfDCB bad = good;
    bad.BaudRate = 1;
    try {
        core.SetDCB(bad);
        FAIL() << "no error";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Error setting parameters from DCB");
    }
    EXPECT_EQ(core.DCB().BaudRate, 9600u);  // what the port kept
}

TEST_F(CoreTest, OpenCloseCyclesAndTheClosedCore)
{
    TAfComPortCore core;
    Listen(core);
    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(core.OpenComPort(4));
        EXPECT_FALSE(core.OpenComPort(4));  // already open
        EXPECT_EQ(core.ComNumber(), 4);
        EXPECT_EQ(core.Handle(), 42);
        ASSERT_TRUE(core.WriteData("ping", 4));
        core.Close();
        core.Close();
        ASSERT_FALSE(core.Opened());
    }
    EXPECT_EQ(W->Opens, 25);
    EXPECT_EQ(W->Closes, 25);

    char buf[4];
    TAfComStat st;
    st.cbInQue = 99;
    core.ComStat(st);
    EXPECT_EQ(st.cbInQue, 0u);
    EXPECT_EQ(st.cbOutQue, 0u);
    EXPECT_EQ(core.ReadData(buf, 4), -1);
    EXPECT_FALSE(core.WriteData("x", 1));
    EXPECT_EQ(core.OutFree(), 0u);
    EXPECT_EQ(core.TakeErrors(), 0u);
    EXPECT_FALSE(core.PurgeRx());
    EXPECT_FALSE(core.PurgeTx());
    EXPECT_FALSE(core.EscapeFunction(AfSetDtr));
    EXPECT_EQ(core.ModemStatus(), 0u);
}

TEST_F(CoreTest, PartialWritesSendEveryByteExactlyOnce)
{
    W->MaxChunk = 3;  // the line takes three bytes at a time
    TAfComPortCore core;
    core.SetOutBufSize(10);
    Listen(core);
    ASSERT_TRUE(core.OpenComPort(2));

    std::string expected;
    for (int block = 0; block < 30; ++block) {
        std::string data;
        for (int i = 0; i < 1 + block % 7; ++i)
            data += static_cast<char>('a' + (block * 7 + i) % 26);
        // The ring holds 10 bytes: wait for room, then the block must fit.
        ASSERT_TRUE(WaitUntil([&] { return core.OutFree() >= data.size(); }));
        ASSERT_TRUE(core.WriteData(data.data(), static_cast<uint32_t>(data.size())));
        expected += data;
    }
    ASSERT_TRUE(WaitUntil([&] { return W->Sent().size() >= expected.size(); }));
    EXPECT_EQ(W->Sent(), expected);
    // No write asked for more than one contiguous run of the ring.
    {
        std::lock_guard<std::mutex> g(W->Lock);
        for (uint32_t n : W->WriteSizes)
            EXPECT_LE(n, 10u);
    }
    EXPECT_TRUE(WaitUntil([&] { return CountOf(ceOutFree, 0) > 0; }));
    EXPECT_EQ(core.OutFree(), 10u);
    core.Close();
}

TEST_F(CoreTest, PendingPartialWritesToo)
{
    W->MaxChunk = 4;
    W->PendingWrites = true;
    W->WriteReady.Set();  // every pending write completes at once
    TAfComPortCore core;
    core.SetOutBufSize(64);
    ASSERT_TRUE(core.OpenComPort(2));
    const std::string data = "The quick brown fox jumps over the lazy dog";
    ASSERT_TRUE(core.WriteData(data.data(), static_cast<uint32_t>(data.size())));
    ASSERT_TRUE(WaitUntil([&] { return W->Sent().size() >= data.size(); }));
    EXPECT_EQ(W->Sent(), data);
    core.Close();
}

TEST_F(CoreTest, ABlockLargerThanTheRingIsRefusedWhole)
{
    W->PendingWrites = true;  // nothing leaves the ring meanwhile
    TAfComPortCore core;
    core.SetOutBufSize(16);
    ASSERT_TRUE(core.OpenComPort(2));
    const std::string big(17, 'x');
    EXPECT_FALSE(core.WriteData(big.data(), 17));
    EXPECT_EQ(core.OutFree(), 16u);
    EXPECT_FALSE(core.WriteData("", 0));
    EXPECT_TRUE(core.WriteData(big.data(), 16));
    core.Close();  // abandons the pending write
    EXPECT_TRUE(W->Sent().empty());
}

TEST_F(CoreTest, FlushOfAStuckWriterGivesUpAfterTwoSeconds)
{
    TAfComPortCore core;
    ASSERT_TRUE(core.OpenComPort(2));
    W->BlockWrites = true;
    ASSERT_TRUE(core.WriteData("stuck", 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // writer is inside its write now
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(core.PurgeTx());
    const auto took = MsSince(start);
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 4000);

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        W->BlockWrites = false;
    });
    core.Close();
    release.join();
    EXPECT_FALSE(core.Opened());

    // A writer that answers flushes at once.
    ASSERT_TRUE(core.OpenComPort(2));
    W->PendingWrites = true;
    ASSERT_TRUE(core.WriteData("abc", 3));
    const auto start2 = std::chrono::steady_clock::now();
    EXPECT_TRUE(core.PurgeTx());
    EXPECT_LT(MsSince(start2), 1000);
    EXPECT_EQ(core.OutFree(), core.OutBufSize());
    core.Close();
}

TEST_F(CoreTest, EventThreadReportsLineEventsAndPolledData)
{
    TAfComPortCore core;
    Listen(core);
    ASSERT_TRUE(core.OpenComPort(5));
    {
        std::lock_guard<std::mutex> g(W->Lock);
        EXPECT_EQ(W->Mask, AfDefaultEventMask);
    }

    W->Receive("abc", AfEvRxChar | AfEvCts);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ceLineEvent, AfEvRxChar | AfEvCts) == 1; }));
    // Bits outside the mask do not reach the owner.
    W->Line(AfEvTxEmpty | AfEvDsr);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ceLineEvent, AfEvDsr) == 1; }));

    // Nobody reads: the 200 ms poll reports the waiting bytes.
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ceNeedReadData, 3) >= 1; }, 1500));
    char buf[8];
    EXPECT_EQ(core.ReadData(buf, 8), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    // Bytes without an event are found by the poll too.
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->Rx = "zz";
    }
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ceNeedReadData, 2) >= 1; }, 1500));

    for (auto& r : Snapshot())
        EXPECT_NE(r.Thread, std::this_thread::get_id());

    // Errors gathered by the status query wait for TakeErrors.
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->Errors = AfCeFrame;
    }
    TAfComStat st;
    core.ComStat(st);
    EXPECT_EQ(st.cbInQue, 2u);
    EXPECT_EQ(core.TakeErrors() & AfCeFrame, AfCeFrame);
    EXPECT_EQ(core.TakeErrors(), 0u);

    core.Close();
    const size_t after = Snapshot().size();
    W->Receive("late");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Snapshot().size(), after);  // nothing after close
}

TEST_F(CoreTest, ArrivalsAreSignalledWhileAHandOverWaitsAndWhatCameMeanwhileFollows)
{
    TWakeSignal arrived;
    std::atomic<bool> ownerBusy{true};  // as a main thread in the middle of an exchange
    TAfComPortCore core;
    core.SetArrivalSignal(&arrived);
    Listen(core);
    SetExtra([&](TAfCoreEvent Kind, uint32_t) {
        while (Kind == ceLineEvent && ownerBusy)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_TRUE(core.OpenComPort(5));

    W->Receive("a", AfEvRxChar);
    EXPECT_TRUE(WaitForSignal(arrived, GetTickCount32() + 1500));
    ASSERT_TRUE(WaitUntil([&] { return CountOf(ceLineEvent, AfEvRxChar) == 1; }));  // with the owner now
    W->Receive("b", AfEvRxChar | AfEvCts);
    EXPECT_TRUE(WaitForSignal(arrived, GetTickCount32() + 1500)) << "told while the owner has not taken the first";
    W->Receive("c", AfEvRxChar | AfEvDsr);
    EXPECT_TRUE(WaitForSignal(arrived, GetTickCount32() + 1500));

    ownerBusy = false;
    EXPECT_TRUE(WaitUntil([&] { return CountOf(ceLineEvent, AfEvRxChar | AfEvCts | AfEvDsr) == 1; }));
    core.Close();
    core.SetArrivalSignal(nullptr);
}

TEST_F(CoreTest, ADeadPortIsReportedOncePerFailureAndDoesNotSpin)
{
    TAfComPortCore core;
    Listen(core);
    ASSERT_TRUE(core.OpenComPort(5));
    W->EventWaits = 0;
    W->LineStarts = 0;
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->LineWaitFails = true;
    }
    W->Line(AfEvRxChar);  // the pending wait completes with a failure
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // About five polls a second, not thousands of retries.
    EXPECT_LT(W->EventWaits.load(), 20);
    EXPECT_LT(W->LineStarts.load(), 20);
    EXPECT_EQ(CountOf(ceLineEvent, AfEvErr), 1u);
    EXPECT_NE(core.TakeErrors() & AfCeIOE, 0u);

    // The port comes back, and its waits work for a while; a failure after
    // that is news again.
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->LineWaitFails = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->LineWaitFails = true;
    }
    W->Line(AfEvRxChar);
    EXPECT_TRUE(WaitUntil([&] { return CountOf(ceLineEvent, AfEvErr) == 2; }));

    // Back again: line events flow.
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->LineWaitFails = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    W->Receive("x", AfEvRxChar);
    EXPECT_TRUE(WaitUntil([&] { return CountOf(ceLineEvent, AfEvRxChar) == 1; }));

    const auto start = std::chrono::steady_clock::now();
    core.Close();
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(CoreTest, AFailingHandlerGetsItsExceptionBackAndEventsGoOn)
{
    TAfComPortCore core;
    Listen(core);
    SetExtra([](TAfCoreEvent Kind, uint32_t Data) {
        if (Kind == ceLineEvent && Data == AfEvCts)
            throw Exception("handler broke");
    });
    ASSERT_TRUE(core.OpenComPort(5));
    W->Line(AfEvCts);
    ASSERT_TRUE(WaitUntil([&] {
        for (auto& r : Snapshot())
            if (r.Kind == ceException && r.Error == "handler broke")
                return true;
        return false;
    }));
    W->Line(AfEvDsr);
    EXPECT_TRUE(WaitUntil([&] { return CountOf(ceLineEvent, AfEvDsr) == 1; }));

    // A silent abort is no failure at all.
    SetExtra([](TAfCoreEvent Kind, uint32_t) {
        if (Kind == ceLineEvent)
            throw EAfAbort();
    });
    const size_t before = Snapshot().size();
    W->Line(AfEvRing);
    ASSERT_TRUE(WaitUntil([&] { return Snapshot().size() > before; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto& r : Snapshot())
        EXPECT_FALSE(r.Kind == ceException && r.Error != "handler broke");
    core.Close();
}

}  // namespace
}  // namespace kelvo::test
