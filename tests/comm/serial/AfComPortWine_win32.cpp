// The Windows backend against a real serial line: under Wine a COM port is
// a link in the prefix's dosdevices folder, so a small native far end
// (pty_far_end.py) puts a pseudo-terminal there and echoes what it gets.
// On Windows itself (no Wine, no far end) these tests are skipped.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "AfComPort.h"
#include "TestWait.h"
#include "uMainThreadQueue.h"

#ifndef KELVO_SERIAL_TEST_DIR
#define KELVO_SERIAL_TEST_DIR "."
#endif

namespace kelvo::test {
namespace {

constexpr int kPort = 42;

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

double CpuSeconds()
{
    FILETIME c, e, k, u;
    GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
    auto sec = [](FILETIME f) { return (uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 1e7; };
    return sec(k) + sec(u);
}

class WineLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* prefix = std::getenv("WINEPREFIX");
        if (!UnderWine() || !prefix || !*prefix)
            GTEST_SKIP() << "needs Wine and its prefix for a far end";
        TMainThreadQueue::Init();
        const std::string link = std::string(prefix) + "/dosdevices/com" + std::to_string(kPort);
        // Detached through the shell: the far end is no Windows process, and
        // Wine need not follow it.
        std::string cmd = std::string("/bin/sh -c \"/usr/bin/python3 ") + KELVO_SERIAL_TEST_DIR + "/pty_far_end.py '" +
                          link + "' </dev/null >/dev/null 2>&1 &\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            GTEST_SKIP() << "cannot start the native far end";
        CloseHandle(pi.hThread);
        FHelper = pi.hProcess;
        if (!WaitUntil([] { return AfProbeComPort(kPort) != ppNotFound; }, 10000))
            GTEST_SKIP() << "the far end did not appear";
    }
    void TearDown() override
    {
        if (FHelper)
            CloseHandle(FHelper);
        // The far end leaves by itself when told (or after a minute).
    }
    HANDLE FHelper = nullptr;
};

TEST_F(WineLineTest, EchoThroughTheWin32Engine)
{
    TWakeSignal arrived;
    TAfComPort port("Wine");
    port.Core().SetArrivalSignal(&arrived);
    port.SetComNumber(kPort);
    port.SetUserBaudRate(115200);
    std::string got;
    std::vector<uint32_t> errors;
    port.OnDataRecived = [&](TAfComPort* P, uint32_t) {
        RawByteString s;
        P->ReadString(s);
        got += s;
    };
    port.OnLineError = [&](TAfComPort*, uint32_t e) { errors.push_back(e); };
    port.Open();
    ASSERT_TRUE(port.IsOpen());
    // (Wine does not keep serial devices exclusive, so a second opener is
    // not refused here as it is on Windows.)

    const std::string msg("ping\0pong", 9);
    port.WriteString(msg);
    // The event thread tells of the echo before the main thread takes it.
    EXPECT_TRUE(WaitForSignal(arrived, GetTickCount32() + 5000));
    EXPECT_TRUE(TMainThreadQueue::DrainUntil([&] { return got.size() >= msg.size(); }, 5000));
    EXPECT_EQ(got, msg);

    // A bigger block, sent in pieces by the write thread.
    std::string block;
    for (int i = 0; i < 1500; ++i)
        block += static_cast<char>('A' + i % 26);
    got.clear();
    port.WriteString(block);
    EXPECT_TRUE(TMainThreadQueue::DrainUntil([&] { return got.size() >= block.size(); }, 10000));
    EXPECT_EQ(got, block);

    // The far end vanishes.
    port.WriteString(std::string(1, '\x01'));
    EXPECT_TRUE(WaitUntil([] { return AfProbeComPort(kPort) == ppNotFound; }, 5000));
    const double cpu0 = CpuSeconds();
    TMainThreadQueue::DrainFor(1000);
    EXPECT_LT(CpuSeconds() - cpu0, 0.3) << "a dead line must not keep a thread busy";
    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_FALSE(port.IsOpen());
}

TEST(WinPort, MissingPortsAreInvalidNumbers)
{
    TAfComPortCore core;
    try {
        core.OpenComPort(250);
        FAIL() << "opened COM250";
    } catch (const EAfComPortCoreError& e) {
        EXPECT_STREQ(e.what(), "Invalid port number (COM250)");
    }
    EXPECT_FALSE(core.Opened());
    EXPECT_EQ(AfProbeComPort(250), ppNotFound);
    EXPECT_EQ(AfComPortDeviceName(7), "\\\\.\\COM7");
}

}  // namespace
}  // namespace kelvo::test
