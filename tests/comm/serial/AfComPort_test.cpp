// The port component: properties and the DCB they make, the error texts,
// and its events arriving on the main thread in their order.

#include "AfComPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FakePortBackend.h"
#include "TestWait.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"

namespace kelvo::test {
namespace {

std::string ErrorOf(const std::function<void()>& F)
{
    try {
        F();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(AfComPortSettings, DefaultsAndTheirDcb)
{
    TAfComPort port;
    EXPECT_FALSE(port.AutoOpen());
    EXPECT_EQ(port.BaudRate(), br115200);
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.Databits(), db8);
    EXPECT_TRUE(port.DTR());
    EXPECT_TRUE(port.RTS());
    EXPECT_EQ(port.EventThreadPriority(), tpNormal);
    EXPECT_EQ(port.WriteThreadPriority(), tpHighest);
    EXPECT_EQ(port.FlowControl(), fwNone);
    EXPECT_EQ(port.InBufSize(), 4096u);
    EXPECT_EQ(port.OutBufSize(), 2048u);
    EXPECT_TRUE(port.Options().Empty());
    EXPECT_EQ(port.Parity(), paNone);
    EXPECT_EQ(port.Stopbits(), sbOne);
    EXPECT_EQ(port.UserBaudRate(), 0u);
    EXPECT_EQ(port.XOnChar(), 17);
    EXPECT_EQ(port.XOffChar(), 19);
    EXPECT_EQ(port.XOnLim(), 0);
    EXPECT_EQ(port.XOffLim(), 0);
    EXPECT_FALSE(port.IsOpen());

    const TAfDCB& d = port.DCB();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, 0);
    EXPECT_EQ(d.StopBits, 0);
    EXPECT_EQ(d.Flags, AfDcbBinary | AfDcbDtrControlEnable | AfDcbRtsControlEnable);
    EXPECT_EQ(d.XonChar, 17);
    EXPECT_EQ(d.XoffChar, 19);
    EXPECT_EQ(d.ErrorChar, 0);
    EXPECT_EQ(d.EofChar, 0);
    EXPECT_EQ(d.EvtChar, 0);
}

TEST(AfComPortSettings, BaudRateAndUserBaudRate)
{
    TAfComPort port;
    port.SetUserBaudRate(1234);
    EXPECT_EQ(port.BaudRate(), brUser);
    EXPECT_EQ(port.DCB().BaudRate, 1234u);
    port.SetBaudRate(br9600);
    EXPECT_EQ(port.UserBaudRate(), 0u);
    EXPECT_EQ(port.DCB().BaudRate, 9600u);
    const uint32_t expected[] = {110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200,
                                 38400, 56000, 57600, 115200, 128000, 230400, 256000, 460800, 921600};
    for (int b = br110; b < brUser; ++b) {
        port.SetBaudRate(static_cast<TAfBaudrate>(b));
        EXPECT_EQ(port.DCB().BaudRate, expected[b]);
    }
    port.SetDatabits(db5);
    port.SetParity(paSpace);
    port.SetStopbits(sbTwo);
    EXPECT_EQ(port.DCB().ByteSize, 5);
    EXPECT_EQ(port.DCB().Parity, 4);
    EXPECT_EQ(port.DCB().StopBits, 2);
}

TEST(AfComPortSettings, FlowControlOptionsAndLinesInTheDcb)
{
    TAfComPort port;
    port.SetFlowControl(fwRtsCts);
    uint32_t f = port.DCB().Flags;
    EXPECT_EQ(f & AfDcbRtsControlMask, AfDcbRtsControlHandshake);
    EXPECT_TRUE(f & AfDcbOutxCtsFlow);
    EXPECT_EQ(f & AfDcbDtrControlMask, AfDcbDtrControlEnable);

    port.SetFlowControl(fwDtrDsr);
    f = port.DCB().Flags;
    EXPECT_EQ(f & 0x28u, 0x28u);
    EXPECT_EQ(f & AfDcbDtrControlMask, AfDcbDtrControlHandshake);
    EXPECT_EQ(f & AfDcbRtsControlMask, AfDcbRtsControlEnable);

    port.SetFlowControl(fwXOnXOff);
    EXPECT_EQ(port.DCB().Flags & 0x300u, 0x300u);

    port.SetFlowControl(fwNone);
    EXPECT_EQ(port.DCB().Flags, AfDcbBinary | AfDcbDtrControlEnable | AfDcbRtsControlEnable);

    const std::pair<TAfComOption, uint32_t> options[] = {
        {coParityCheck, 0x2}, {coDsrSensitivity, 0x40}, {coIgnoreXOff, 0x80},
        {coErrorChar, 0x400}, {coStripNull, 0x800},     {coBreakControl, 0x4000},
    };
    for (auto [o, flag] : options) {
        port.SetOptions(TAfComOptions{o});
        EXPECT_EQ(port.DCB().Flags, AfDcbBinary | AfDcbDtrControlEnable | AfDcbRtsControlEnable | flag);
    }
    port.SetOptions({});

    // Lines off while closed: the next open must not raise them.
    port.SetDTR(false);
    port.SetRTS(false);
    EXPECT_EQ(port.DCB().Flags, AfDcbBinary);
}

TEST(AfComPortSettings, XOnXOffLimitsFollowFlowControlAndBuffer)
{
    TAfComPort port;
    port.SetFlowControl(fwXOnXOff);
    EXPECT_EQ(port.XOnLim(), 1024);
    EXPECT_EQ(port.XOffLim(), 3072);
    EXPECT_EQ(port.DCB().XonLim, 1024);
    EXPECT_EQ(port.DCB().XoffLim, 3072);
    port.SetInBufSize(1001);
    EXPECT_EQ(port.XOnLim(), 250);  // fraction dropped
    EXPECT_EQ(port.XOffLim(), 751);
    port.SetXOnLim(100);
    EXPECT_EQ(port.XOffLim(), 901);
    port.SetXOffLim(1000);
    EXPECT_EQ(port.XOnLim(), 1);

    port.SetFlowControl(fwNone);
    EXPECT_EQ(port.XOnLim(), 0);
    EXPECT_EQ(port.XOffLim(), 0);

    // The channel's 10,000,000-byte buffer: each limit is clamped into the
    // DCB's 16 bits.
    port.SetInBufSize(10000000);
    port.SetFlowControl(fwRtsCts);
    EXPECT_EQ(port.XOnLim(), 65535);
    EXPECT_EQ(port.XOffLim(), 65535);
    EXPECT_EQ(port.DCB().XonLim, 65535);
    EXPECT_TRUE(port.DCB().Flags & AfDcbOutxCtsFlow);
    port.SetXOnLim(5);
    EXPECT_EQ(port.XOffLim(), 65535);
    port.SetInBufSize(100);
    port.SetXOffLim(1000);
    EXPECT_EQ(port.XOnLim(), 0);
}

TEST(AfComPortSettings, DcbReadBack)
{
    TAfComPort port("Port7");
    TAfDCB d = port.DCB();
    d.Flags = AfDcbBinary | AfDcbOutX | AfDcbInX | AfDcbOutxCtsFlow | AfDcbRtsControlHandshake | AfDcbNull |
              AfDcbParity;
    d.BaudRate = 57600;
    d.ByteSize = 7;
    d.Parity = 2;
    d.StopBits = 1;
    d.XonChar = 'a';
    d.XoffChar = 'b';
    port.DCBReadBack(d);
    EXPECT_EQ(port.FlowControl(), fwRtsCts);
    EXPECT_EQ(port.BaudRate(), br57600);
    EXPECT_EQ(port.Databits(), db7);
    EXPECT_EQ(port.Parity(), paEven);
    EXPECT_EQ(port.Stopbits(), sbOneAndHalf);
    EXPECT_EQ(port.Options(), (TAfComOptions{coStripNull, coParityCheck}));
    EXPECT_EQ(port.XOnChar(), 'a');
    EXPECT_EQ(port.XOffChar(), 'b');

    d.Flags = AfDcbBinary | AfDcbOutxDsrFlow | AfDcbDtrControlHandshake | AfDcbOutX | AfDcbInX;
    d.BaudRate = 1234;
    d.ByteSize = 9;
    d.Parity = 7;
    d.StopBits = 3;
    port.DCBReadBack(d);
    EXPECT_EQ(port.FlowControl(), fwDtrDsr);
    EXPECT_EQ(port.BaudRate(), brUser);
    EXPECT_EQ(port.UserBaudRate(), 1234u);
    EXPECT_EQ(port.Databits(), db8);
    EXPECT_EQ(port.Parity(), paNone);
    EXPECT_EQ(port.Stopbits(), sbOne);
    EXPECT_EQ(port.DCB().BaudRate, 1234u);
    EXPECT_EQ(port.DCB().ByteSize, 8);  // rebuilt from the properties

    d.Flags = AfDcbBinary;
    port.DCBReadBack(d);
    EXPECT_EQ(port.FlowControl(), fwNone);

    d.DCBlength = 27;
    EXPECT_EQ(ErrorOf([&] { port.DCBReadBack(d); }), "Port7 - Error setting parameters from DCB ");

    // No port behind number 0: no dialog is shown and nothing is taken over.
    const TAfDCB image = port.DCB();
    EXPECT_FALSE(port.ExecuteConfigDialog());
    EXPECT_EQ(std::memcmp(&image, &port.DCB(), sizeof image), 0);
    EXPECT_EQ(port.BaudRate(), brUser);
}

class AfComPortTest : public ::testing::Test {
protected:
    TFakePortScope Fake;
    std::shared_ptr<TFakeWire>& W = Fake.Wire;
    std::vector<std::string> Log;
    std::vector<std::thread::id> Threads;

    void SetUp() override { TMainThreadQueue::Init(); }

    void Hook(TAfComPort& P)
    {
        auto note = [this](std::string s) {
            Log.push_back(std::move(s));
            Threads.push_back(std::this_thread::get_id());
        };
        P.OnSyncEvent = [note](TAfComPort*, TAfCoreEvent k, uint32_t d) {
            note("sync " + std::to_string(k) + " " + std::to_string(d));
        };
        P.OnDataRecived = [note](TAfComPort*, uint32_t n) { note("data " + std::to_string(n)); };
        P.OnLineError = [note](TAfComPort*, uint32_t e) { note("error " + std::to_string(e)); };
        P.OnCTSChanged = [note](TAfComPort*) { note("cts"); };
        P.OnDSRChanged = [note](TAfComPort*) { note("dsr"); };
        P.OnRINGDetected = [note](TAfComPort*) { note("ring"); };
        P.OnRLSDChanged = [note](TAfComPort*) { note("rlsd"); };
        P.OnOutBufFree = [note](TAfComPort*) { note("outfree"); };
        P.OnPortOpen = [note](TAfComPort*) { note("open"); };
        P.OnPortClose = [note](TAfComPort*) { note("close"); };
    }
    // Until the event thread waits for us inside the hand-over.
    static void WaitForHandOver()
    {
#ifdef _WIN32
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a window message: not visible
#else
        ASSERT_TRUE(WaitUntil([] { return TMainThreadQueue::Pending() == 1; }));
#endif
    }
    bool Drain(size_t Entries) { return TMainThreadQueue::DrainUntil([&] { return Log.size() >= Entries; }, 3000); }
};

TEST_F(AfComPortTest, ErrorTextsCarryTheName)
{
    TAfComPort port("COMX");
    EXPECT_EQ(ErrorOf([&] { port.RaiseError("boom"); }), "COMX - boom ");
    EXPECT_EQ(ErrorOf([&] { port.WriteString("a"); }), "COMX - Write data error [requested: 1, free: 0] ");
    port.WriteString("");  // nothing at all

    port.SetComNumber(3);
    ASSERT_NO_THROW(port.Open());
    EXPECT_EQ(ErrorOf([&] { port.SetInBufSize(100); }), "COMX - Port is not closed ");
    EXPECT_EQ(ErrorOf([&] { port.SetOutBufSize(100); }), "COMX - Port is not closed ");
    EXPECT_EQ(port.InBufSize(), 4096u);
    const std::string big(3000, 'x');
    EXPECT_EQ(ErrorOf([&] { port.WriteString(big); }), "COMX - Write data error [requested: 3000, free: 2048] ");

    W->Receive("abc", 0);
    char buf[8];
    EXPECT_EQ(ErrorOf([&] { port.ReadData(buf, 4); }), "COMX - Read data error ");
    port.Close();
}

TEST_F(AfComPortTest, ReadStringReturnsOnlyWhatWasReadAndFailsWithTheRead)
{
    TAfComPort port;
    port.SetComNumber(3);
    port.Open();
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->Rx = "0123456789";
        W->ReadLimit = 4;  // the driver hands out less than it announced
    }
    RawByteString s;
    port.ReadString(s);
    EXPECT_EQ(s, "0123");
    port.ReadString(s);
    EXPECT_EQ(s, "4567");
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->ReadLimit = 0xFFFFFFFF;
    }
    EXPECT_EQ(port.InQueueCount(), 2);
    port.ReadString(s);
    EXPECT_EQ(s, "89");
    port.ReadString(s);
    EXPECT_EQ(s, "");
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->Rx = "lost";
        W->ReadFails = true;  // an adapter that went away
    }
    EXPECT_EQ(ErrorOf([&] { port.ReadString(s); }), " - Read data error ");
    port.Close();
    port.ReadString(s);
    EXPECT_EQ(s, "");
}

TEST_F(AfComPortTest, OpenFailureAndCloseNotifications)
{
    TAfComPort port;
    Hook(port);
    port.SetComNumber(9);
    W->OpenResult = TAfOpenResult::NotFound;
    EXPECT_EQ(ErrorOf([&] { port.Open(); }), "Invalid port number (COM9)");
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(Log.empty());  // no OnPortOpen
    port.Close();
    EXPECT_EQ(Log, (std::vector<std::string>{"close"}));

    W->OpenResult = TAfOpenResult::Ok;
    port.Open();
    EXPECT_TRUE(port.IsOpen());
    // A new number while open: closed, and opened again on the new one.
    port.SetComNumber(10);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Core().ComNumber(), 10);
    EXPECT_EQ(Log, (std::vector<std::string>{"close", "open", "close", "open"}));
    port.Close();
}

TEST_F(AfComPortTest, SettingsReachAnOpenPortAndRefusalsRestoreTheImage)
{
    TAfComPort port;
    port.SetComNumber(1);
    port.SetBaudRate(br9600);
    port.SetDTR(false);  // while closed
    port.Open();
    {
        std::lock_guard<std::mutex> g(W->Lock);
        EXPECT_EQ(W->State.BaudRate, 9600u);
        EXPECT_EQ(W->State.Flags & AfDcbDtrControlMask, 0u);
        EXPECT_EQ(W->InSize, 4096u);
        EXPECT_EQ(W->OutSize, 2048u);
    }
    port.SetUserBaudRate(250000);
    {
        std::lock_guard<std::mutex> g(W->Lock);
        EXPECT_EQ(W->State.BaudRate, 250000u);
    }
    port.SetRTS(false);
    port.SetDTR(true);
    {
        std::lock_guard<std::mutex> g(W->Lock);
        EXPECT_EQ(W->Escapes, (std::vector<uint32_t>{AfClrRts, AfSetDtr}));
        W->FailState = true;
    }
    EXPECT_EQ(ErrorOf([&] { port.SetParity(paOdd); }), "Error setting parameters from DCB");
    EXPECT_EQ(port.Parity(), paOdd);         // the property keeps the request
    EXPECT_EQ(port.DCB().Parity, 0);         // the image is what the port kept
    EXPECT_EQ(port.DCB().BaudRate, 250000u);
    port.Close();
}

TEST_F(AfComPortTest, ADialogsSettingsReachAnOpenPortWholeOrNotAtAll)
{
    TAfComPort port;
    port.SetInBufSize(10000000);
    port.SetComNumber(1);
    port.Open();
    TAfDCB d = port.DCB();
    d.BaudRate = 57600;
    d.ByteSize = 7;
    d.Parity = 2;
    d.Flags |= AfDcbOutX | AfDcbInX;
    const TAfDCB before = port.DCB();
    W->FailState = true;
    EXPECT_EQ(ErrorOf([&] { port.DCBReadBack(d); }), "Error setting parameters from DCB");
    EXPECT_EQ(port.BaudRate(), br115200);
    EXPECT_EQ(port.Databits(), db8);
    EXPECT_EQ(port.Parity(), paNone);
    EXPECT_EQ(port.FlowControl(), fwNone);
    EXPECT_EQ(port.XOnLim(), 0);
    EXPECT_EQ(port.DCB().BaudRate, before.BaudRate);

    W->FailState = false;
    const int calls = W->StateCalls;
    port.DCBReadBack(d);
    EXPECT_EQ(W->StateCalls, calls + 1);  // one DCB, not one per setting
    EXPECT_EQ(W->State.BaudRate, 57600u);
    EXPECT_EQ(W->State.Parity, 2);
    EXPECT_EQ(W->State.XonLim, 65535);
    EXPECT_EQ(port.FlowControl(), fwXOnXOff);
    port.Close();
}

TEST_F(AfComPortTest, LineEventReachesMainThreadInOrder)
{
    TAfComPort port;
    Hook(port);
    port.SetComNumber(2);
    port.Open();
    Log.clear();
    Threads.clear();
    {
        std::lock_guard<std::mutex> g(W->Lock);
        W->Errors = AfCeFrame;
    }
    const uint32_t mask = AfEvRxChar | AfEvCts | AfEvErr | AfEvDsr | AfEvRing | AfEvRlsd | AfEvBreak;
    W->Receive("hello", mask);
    // Nothing happens until the main thread looks.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(Log.empty());
    ASSERT_TRUE(Drain(7));
    const std::vector<std::string> expected = {
        "sync 1 " + std::to_string(mask), "data 5", "error " + std::to_string(AfCeFrame), "cts", "dsr", "ring",
        "rlsd"};
    EXPECT_EQ(Log, expected);
    for (auto id : Threads)
        EXPECT_EQ(id, std::this_thread::get_id());

    // The poll's report carries its count; writing drains into OutBufFree.
    Log.clear();
    ASSERT_TRUE(Drain(2));
    EXPECT_EQ(Log[0], "sync 2 5");
    EXPECT_EQ(Log[1], "data 5");
    RawByteString s;
    port.ReadString(s);
    EXPECT_EQ(s, "hello");
    TMainThreadQueue::DrainFor(300);
    Log.clear();
    port.WriteString("out");
    ASSERT_TRUE(Drain(2));
    EXPECT_EQ(Log, (std::vector<std::string>{"sync 0 0", "outfree"}));
    EXPECT_EQ(W->Sent(), "out");
    port.Close();
}

TEST_F(AfComPortTest, NonSyncEventsStayOnTheEventThread)
{
    TAfComPort port;
    Hook(port);
    std::atomic<int> onEventThread{0};
    const auto main = std::this_thread::get_id();
    port.OnNonSyncEvent = [&](TAfComPort*, TAfCoreEvent k, uint32_t d) {
        if (k == ceLineEvent && d == AfEvCts && std::this_thread::get_id() != main)
            ++onEventThread;
    };
    port.SetComNumber(2);
    port.Open();
    Log.clear();
    W->Line(AfEvCts);
    ASSERT_TRUE(WaitUntil([&] { return onEventThread.load() == 1; }));
    TMainThreadQueue::DrainFor(100);
    EXPECT_TRUE(Log.empty());
    port.Close();
}

TEST_F(AfComPortTest, WorkerFailureIsShownOnTheMainThread)
{
    std::vector<std::string> shown;
    TScopedMessageSink sink([&](const std::string& t) { shown.push_back(t); });
    TAfComPort port;
    std::vector<int> kinds;
    port.OnSyncEvent = [&](TAfComPort*, TAfCoreEvent k, uint32_t) { kinds.push_back(k); };
    port.OnNonSyncEvent = [&](TAfComPort*, TAfCoreEvent k, uint32_t) {
        if (k == ceLineEvent)
            throw Exception("event handler failed");
    };
    port.SetComNumber(2);
    port.Open();
    W->Line(AfEvCts);
    ASSERT_TRUE(TMainThreadQueue::DrainUntil([&] { return !shown.empty(); }, 3000));
    EXPECT_EQ(shown[0], "event handler failed");
    EXPECT_EQ(kinds, (std::vector<int>{ceException}));
    port.Close();
}

TEST_F(AfComPortTest, CloseDropsAnEventStillOnItsWay)
{
    TAfComPort port;
    Hook(port);
    port.SetComNumber(2);
    port.Open();
    Log.clear();
    W->Receive("x", AfEvRxChar);
    WaitForHandOver();
    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(MsSince(start), 1000);  // released at once, not after 2 s
    TMainThreadQueue::DrainFor(50);
    EXPECT_EQ(Log, (std::vector<std::string>{"close"}));

    // And the component can go while the event thread waits for it.
    auto p2 = std::make_unique<TAfComPort>();
    p2->SetComNumber(2);
    p2->Open();
    W->Receive("y", AfEvRxChar);
    WaitForHandOver();
    p2.reset();
    TMainThreadQueue::DrainFor(50);
}

TEST_F(AfComPortTest, AHandlerMayCloseThePort)
{
    TAfComPort port;
    long long closeMs = -1;
    port.OnDataRecived = [&](TAfComPort* P, uint32_t) {
        const auto start = std::chrono::steady_clock::now();
        P->Close();  // the event thread is waiting for this very handler
        closeMs = MsSince(start);
    };
    port.SetComNumber(2);
    port.Open();
    W->Receive("bye", AfEvRxChar);
    ASSERT_TRUE(TMainThreadQueue::DrainUntil([&] { return closeMs >= 0; }, 5000));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_LT(closeMs, 1000);
}

}  // namespace
}  // namespace kelvo::test
