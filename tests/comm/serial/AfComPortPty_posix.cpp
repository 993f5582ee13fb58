// The POSIX backend against pseudo-terminals: the test holds the master side
// and plays the far end; the slave is linked as comN in a private ports
// folder, the way COM numbers map to device nodes.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "AfComPort.h"
#include "AfComPortBackend.h"
#include "AfComPortCore.h"
#include "FakePortBackend.h"
#include "OpenError.h"
#include "TestWait.h"
#include "uMainThreadQueue.h"

namespace kelvo::afcore {
uint32_t GetBaudRate(int Fd);  // AfComPortSpeed_posix.cpp
size_t UnmarkErrors(int& State, char* Data, size_t Count, bool& Marked);  // AfComPortCore_posix.cpp
}

namespace kelvo::test {
namespace {

class PtyTest : public ::testing::Test {
protected:
    std::string Dir;
    int Master = -1;
    std::string Slave;

    void SetUp() override
    {
        TMainThreadQueue::Init();
        char tmpl[] = "/tmp/kelvo-ports-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        Dir = tmpl;
        setenv("KELVO_PORTS_DIR", Dir.c_str(), 1);
        OpenPty(5);
    }
    void TearDown() override
    {
        if (Master >= 0)
            close(Master);
        unsetenv("KELVO_PORTS_DIR");
        std::filesystem::remove_all(Dir);
    }
    void OpenPty(int Number)
    {
        Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(Master, 0);
        ASSERT_EQ(grantpt(Master), 0);
        ASSERT_EQ(unlockpt(Master), 0);
        Slave = ptsname(Master);
        const std::string link = Dir + "/com" + std::to_string(Number);
        std::filesystem::remove(link);
        std::filesystem::create_symlink(Slave, link);
    }
    void FarWrite(const std::string& Data)
    {
        size_t done = 0;
        while (done < Data.size()) {
            const ssize_t n = write(Master, Data.data() + done, Data.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Reads until Count bytes arrived or Ms passed.
    std::string FarRead(size_t Count, int Ms = 3000)
    {
        std::string got;
        const auto start = std::chrono::steady_clock::now();
        while (got.size() < Count && MsSince(start) < Ms) {
            char buf[4096];
            const ssize_t n = read(Master, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return got;
    }
    static double CpuSeconds()
    {
        rusage u;
        getrusage(RUSAGE_SELF, &u);
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    static TAfDCB Dcb(uint32_t Rate)
    {
        TAfComPort settings;
        settings.SetUserBaudRate(Rate);
        return settings.DCB();
    }
};

TEST_F(PtyTest, BytesTravelBothWaysAndSpeedsReachTheLine)
{
    // With a ports folder, only its links are ports; without one, the
    // system's node ranges.
    EXPECT_EQ(AfComPortDeviceName(5), Dir + "/com5");
    EXPECT_EQ(AfComPortDeviceName(2), Dir + "/com2");
    EXPECT_EQ(AfProbeComPort(2), ppNotFound);
    {
        const std::string saved = Dir;
        unsetenv("KELVO_PORTS_DIR");
        EXPECT_EQ(AfComPortDeviceName(33), "/dev/ttyUSB0");
        EXPECT_EQ(AfComPortDeviceName(2), "/dev/ttyS1");
        EXPECT_EQ(AfComPortDeviceName(96), "/dev/ttyACM31");
        EXPECT_EQ(AfComPortDeviceName(97), "");
        setenv("KELVO_PORTS_DIR", saved.c_str(), 1);
    }

    TAfComPortCore core;
    core.SetDCB(Dcb(9600));
    ASSERT_TRUE(core.OpenComPort(5));
    EXPECT_GE(core.Handle(), 0);
    EXPECT_EQ(afcore::GetBaudRate(Master), 9600u);  // the master sees the slave's settings
    core.SetDCB(Dcb(115200));
    EXPECT_EQ(afcore::GetBaudRate(Master), 115200u);
    core.SetDCB(Dcb(12345));  // not a standard rate
    EXPECT_EQ(afcore::GetBaudRate(Master), 12345u);

    ASSERT_TRUE(core.WriteData("hello\0x", 7));
    EXPECT_EQ(FarRead(7), std::string("hello\0x", 7));

    FarWrite(std::string("wor\0ld\n\r", 8));
    TAfComStat st;
    ASSERT_TRUE(WaitUntil([&] {
        core.ComStat(st);
        return st.cbInQue == 8;
    }));
    char buf[16];
    EXPECT_EQ(core.ReadData(buf, 16), 8);
    EXPECT_EQ(std::string(buf, 8), std::string("wor\0ld\n\r", 8));  // raw: nothing translated

    // A pseudo-terminal has no modem lines: all off, and setting them is fine.
    EXPECT_EQ(core.ModemStatus(), 0u);
    EXPECT_TRUE(core.EscapeFunction(AfClrDtr));
    EXPECT_TRUE(core.EscapeFunction(AfSetRts));
    EXPECT_TRUE(core.PurgeRx());
    EXPECT_TRUE(core.PurgeTx());
    core.Close();
}

TEST_F(PtyTest, BytesWithFramingErrorsAreDeliveredAsReceived)
{
    TAfComPortCore core;
    core.SetDCB(Dcb(9600));
    ASSERT_TRUE(core.OpenComPort(5));
    termios t;
    ASSERT_EQ(tcgetattr(Master, &t), 0);  // the slave's settings
    EXPECT_FALSE(t.c_iflag & IGNPAR) << "bytes with errors would be dropped";
    EXPECT_TRUE(t.c_iflag & PARMRK);
    // The tty marks them, and doubles a real 0xFF; both are undone.
    FarWrite("a\xffz");
    char buf[8];
    ASSERT_TRUE(WaitUntil([&] {
        TAfComStat st;
        core.ComStat(st);
        return st.cbInQue == 3;
    }));
    EXPECT_EQ(core.ReadData(buf, 8), 3);
    EXPECT_EQ(std::string(buf, 3), "a\xffz");
    core.Close();

    // Marks split anywhere between two reads.
    const std::string marked("a\xff\x00" "b\xff\xff" "c", 7);
    for (size_t cut = 0; cut <= marked.size(); ++cut) {
        int state = 0;
        bool errors = false;
        std::string first = marked.substr(0, cut), second = marked.substr(cut);
        first.resize(afcore::UnmarkErrors(state, first.data(), first.size(), errors));
        second.resize(afcore::UnmarkErrors(state, second.data(), second.size(), errors));
        EXPECT_EQ(first + second, "ab\xff" "c") << cut;
        EXPECT_TRUE(errors) << cut;
    }
}

TEST(PosixPort, NoDescriptorsForItsEventsFailsTheOpen)
{
    TFakePortScope fake;
    TAfComPortCore core;
    // Once with descriptors: the sanitizers' first checks of these types
    // need some themselves.
    ASSERT_TRUE(core.OpenComPort(3));
    core.Close();
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest = dup(0);  // the next descriptor a new event would get
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    std::exception_ptr failure;
    try {
        core.OpenComPort(3);
    } catch (...) {
        failure = std::current_exception();
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(failure);
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Error creating threads");
    }
    EXPECT_FALSE(core.Opened());
    EXPECT_TRUE(core.OpenComPort(3));  // and again with them
    core.Close();
}

TEST_F(PtyTest, MissingAndBusyPorts)
{
    TAfComPortCore a, b;
    a.SetDCB(Dcb(9600));
    b.SetDCB(Dcb(9600));
    EXPECT_EQ(OpenError(a, 250), "Invalid port number (COM250)");
    std::filesystem::create_symlink("/dev/pts/no-such-pty", Dir + "/com6");
    EXPECT_EQ(OpenError(a, 6), "Invalid port number (COM6)");
    EXPECT_EQ(AfProbeComPort(6), ppNotFound);
    EXPECT_EQ(AfProbeComPort(250), ppNotFound);
    EXPECT_EQ(AfProbeComPort(5), ppAvailable);

    ASSERT_TRUE(a.OpenComPort(5));
    EXPECT_EQ(OpenError(b, 5), "Can't open device COM5");
    EXPECT_EQ(AfProbeComPort(5), ppUnavailable);
    a.Close();
    EXPECT_EQ(AfProbeComPort(5), ppAvailable);

    // Held by another program.
    const int other = open(Slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenError(b, 5), "Can't open device COM5");
    close(other);
    ASSERT_TRUE(b.OpenComPort(5));
    b.Close();
}

TEST_F(PtyTest, OpenCloseCycles)
{
    TAfComPortCore core;
    core.SetDCB(Dcb(115200));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(core.OpenComPort(5)) << i;
        const std::string msg = "cycle" + std::to_string(i);
        ASSERT_TRUE(core.WriteData(msg.data(), static_cast<uint32_t>(msg.size())));
        EXPECT_EQ(FarRead(msg.size()), msg);
        core.Close();
        EXPECT_FALSE(core.Opened());
    }
}

TEST_F(PtyTest, LargeWritesLeaveInOrderAcrossPartialWrites)
{
    TAfComPortCore core;
    core.SetOutBufSize(300000);
    core.SetDCB(Dcb(921600));
    ASSERT_TRUE(core.OpenComPort(5));
    std::mt19937 rng(7);
    std::string data(256 * 1024, '\0');
    for (auto& c : data)
        c = static_cast<char>(rng());
    // Several blocks; the pty holds only a few KB, so the writes are cut
    // short again and again while the far end reads slowly.
    for (size_t off = 0; off < data.size(); off += 65536)
        ASSERT_TRUE(core.WriteData(data.data() + off, 65536));
    const std::string big(300000, 'x');
    EXPECT_FALSE(core.WriteData(big.data(), static_cast<uint32_t>(big.size())));  // more than fits
    std::string got;
    const auto start = std::chrono::steady_clock::now();
    while (got.size() < data.size() && MsSince(start) < 20000) {
        got += FarRead(1, 5);
        if (got.size() % 7 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes lost, doubled or reordered";
    core.Close();
}

TEST_F(PtyTest, PurgedBytesNeverLeaveAndNothingLeavesTwice)
{
    // The far end holds our output back with XOFF; what is purged meanwhile
    // must never arrive, and what is written after the purge arrives once.
    TAfComPortCore core;
    TAfComPort settings;
    settings.SetFlowControl(fwXOnXOff);
    core.SetDCB(settings.DCB());
    ASSERT_TRUE(core.OpenComPort(5));
    for (int round = 0; round < 15; ++round) {
        FarWrite("\x13");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(core.WriteData("AAAA", 4));
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3 == 2 ? 5 : 0));
        ASSERT_TRUE(core.PurgeTx());
        ASSERT_TRUE(core.WriteData("BB", 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        FarWrite("\x11");
        std::string got = FarRead(2);
        got += FarRead(8, 50);
        EXPECT_EQ(got, "BB") << "round " << round;
    }
    core.Close();
}

TEST_F(PtyTest, DataEventsReachTheMainThreadAndAnIdlePortCostsNothing)
{
    TWakeSignal arrived;
    TAfComPort port;
    port.Core().SetArrivalSignal(&arrived);
    port.SetComNumber(5);
    port.SetUserBaudRate(115200);
    std::string received;
    std::thread::id where;
    port.OnDataRecived = [&](TAfComPort* P, uint32_t) {
        RawByteString s;
        P->ReadString(s);
        received += s;
        where = std::this_thread::get_id();
    };
    port.Open();
    // Each piece is told of at once, while the main thread has taken no
    // event yet.
    FarWrite("measured ");
    EXPECT_TRUE(WaitForSignal(arrived, GetTickCount32() + 1500));
    FarWrite("values");
    EXPECT_TRUE(WaitForSignal(arrived, GetTickCount32() + 1500));
    ASSERT_TRUE(TMainThreadQueue::DrainUntil([&] { return received.size() >= 15; }, 3000));
    EXPECT_EQ(received, "measured values");
    EXPECT_EQ(where, std::this_thread::get_id());

    const double cpu0 = CpuSeconds();
    TMainThreadQueue::DrainFor(1000);
    EXPECT_LT(CpuSeconds() - cpu0, 0.1) << "an idle port must not keep a thread busy";
    port.Close();
}

TEST_F(PtyTest, FarEndVanishingMidReadClosesCleanly)
{
    TAfComPort port;
    port.SetComNumber(5);
    std::vector<uint32_t> lineErrors;
    std::string received;
    port.OnLineError = [&](TAfComPort*, uint32_t e) { lineErrors.push_back(e); };
    port.OnDataRecived = [&](TAfComPort* P, uint32_t) {
        RawByteString s;
        P->ReadString(s);
        received += s;
    };
    int closes = 0;
    port.OnPortClose = [&](TAfComPort*) { ++closes; };
    port.Open();
    FarWrite("half a rep");
    ASSERT_TRUE(TMainThreadQueue::DrainUntil([&] { return received.size() >= 10; }, 3000));
    close(Master);  // unplugged
    Master = -1;
    ASSERT_TRUE(TMainThreadQueue::DrainUntil([&] { return !lineErrors.empty(); }, 3000));
    EXPECT_NE(lineErrors[0] & AfCeIOE, 0u);

    const double cpu0 = CpuSeconds();
    TMainThreadQueue::DrainFor(1000);
    EXPECT_LT(CpuSeconds() - cpu0, 0.1) << "a dead port must not spin";
    EXPECT_EQ(lineErrors.size(), 1u);  // said once
    RawByteString s;
    port.ReadString(s);
    EXPECT_EQ(s, "");
    EXPECT_NO_THROW(port.WriteString("anyone there?"));  // queued; the line is gone

    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(MsSince(start), 2500);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(received, "half a rep");

    // The adapter comes back (a new pty under the same number).
    OpenPty(5);
    port.Open();
    port.WriteString("again");
    EXPECT_EQ(FarRead(5), "again");
    port.Close();
}

TEST_F(PtyTest, WorkerThreadsCarryTheirNames)
{
    auto names = [] {
        std::string all;
        for (auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            FILE* f = fopen((task.path() / "comm").c_str(), "r");
            if (!f)
                continue;
            char buf[32] = {};
            if (fgets(buf, sizeof buf, f))
                all += buf;
            fclose(f);
        }
        return all;
    };
    TAfComPortCore core;
    core.SetDCB(Dcb(9600));
    ASSERT_TRUE(core.OpenComPort(5));
    const std::string open = names();
    EXPECT_NE(open.find("AfComPortEvent"), std::string::npos);
    EXPECT_NE(open.find("AfComPortWrite"), std::string::npos);
    core.Close();
    EXPECT_EQ(names().find("AfComPort"), std::string::npos);  // both ended
}

TEST(PosixWait, TimeoutsAreSleptNotSpun)
{
    afcore::TAfSignal signal(false);
    afcore::TAfSignal* set[1] = {&signal};
    auto threadCpu = [] {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec + t.tv_nsec / 1e9;
    };
    const double cpu0 = threadCpu();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(afcore::WaitAny(set, 1, 2), -1);
    const double wall = MsSince(start) / 1000.0;
    EXPECT_GE(wall, 0.19);
    // Waiting is sleeping: a fraction of a millisecond left must not be
    // polled away in a loop.
    EXPECT_LT(threadCpu() - cpu0, wall / 10);
    signal.Set();
    EXPECT_EQ(afcore::WaitAny(set, 1, 1000), 0);
    EXPECT_EQ(afcore::WaitAny(set, 1, 0), -1);  // auto-reset: taken
}

}  // namespace
}  // namespace kelvo::test
