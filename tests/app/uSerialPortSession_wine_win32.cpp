// The whole path on Windows: session, serial port channel, component and the
// Win32 engine, against the simulator on a pseudo-terminal. Under Wine a COM
// port is a link in the prefix's dosdevices folder; the native kelvo-sim
// (named by KELVO_SIM_PROGRAM) makes that link. Skipped elsewhere.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "uKelvoSession.h"
#include "uMainThreadQueue.h"
#include "uci_ISerialPortInterface.h"

using namespace kelvo;

namespace {

constexpr int kPort = 6;

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// Runs a command line of the host system, detached.
bool RunOnHost(const std::string& Script)
{
    std::string cmd = "/bin/sh -c \"" + Script + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

bool WaitFor(TComPortStatus Wanted, bool Equal, int Ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (std::chrono::steady_clock::now() < end) {
        if ((ProbeComPort(kPort) == Wanted) == Equal)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class WineSessionTest : public ::testing::Test {
protected:
    void Serve(uint32_t Speed)
    {
        const char* prefix = std::getenv("WINEPREFIX");
        const char* sim = std::getenv("KELVO_SIM_PROGRAM");
        if (!UnderWine() || !prefix || !*prefix || !sim || !*sim)
            GTEST_SKIP() << "needs Wine, its prefix and KELVO_SIM_PROGRAM";
        TMainThreadQueue::Init();
        FPrefix = prefix;
        FWrites = FPrefix + "/sim-writes.log";
        const std::string pidFile = FPrefix + "/sim.pid";
        RunOnHost("rm -f '" + FWrites + "'; '" + sim + "' --wine-prefix '" + FPrefix + "' --port " +
                  std::to_string(kPort) + " --model rs --speed " + std::to_string(Speed) + " -q -w '" + FWrites +
                  "' </dev/null >/dev/null 2>&1 & echo $! > '" + pidFile + "'");
        if (!WaitFor(cpsNotFound, false, 10000))
            GTEST_SKIP() << "kelvo-sim did not appear as COM" << kPort;
    }

    void TearDown() override { Stop(); }

    void Stop()
    {
        if (!FPrefix.empty())
            RunOnHost("kill $(cat '" + FPrefix + "/sim.pid') 2>/dev/null; true");
        WaitFor(cpsNotFound, true, 5000);
        TMainThreadQueue::Drain();
    }

    // The simulator's write log, read through Wine's view of the host's
    // file system.
    std::vector<std::string> WriteLog() const
    {
        std::ifstream in("Z:" + FWrites);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                lines.push_back(line);
        return lines;
    }

    std::string FPrefix;
    std::string FWrites;
};

}  // namespace

TEST_F(WineSessionTest, ProbeIdentifyAndSaveThroughTheWin32Engine)
{
    for (const int32_t speed : {9600, 115200}) {
        Serve(speed);
        if (IsSkipped())
            return;
        TKelvoSession session;
        auto port = MakeIntf<TSerialPortInterface>("comport=" + std::to_string(kPort));
        TKelvorec probe;
        // 9600 is tried first, then 115200.
        ASSERT_TRUE(session.ProbeInterface(port->AsInterface(), probe, true)) << speed;
        EXPECT_EQ(probe.Model, kModelKelvoRS);
        EXPECT_EQ(port->GetBaudRate(), speed);

        session.CurrentInterface = IntfPtr<ICommunicationInterface>(port->AsInterface());
        ASSERT_TRUE(session.ReadModule()) << session.LastError();
        EXPECT_EQ(session.ModuleRecord.Info.SpeedCode, speed == 9600 ? 6 : 10);
        EXPECT_EQ(session.ModuleRecord.Info.SerialText, "0042.xx.xx/0256");

        session.EditedChannels[1].Unit = "V";
        ASSERT_TRUE(session.SaveChanges()) << session.LastError();
        EXPECT_EQ(WriteLog(), (std::vector<std::string>{"1E 01 02 13 56 20 20 20 20"})) << speed;
        EXPECT_EQ(session.ModuleRecord.Channels[1].Unit, "V    ");
        EXPECT_TRUE(port->Close(false));
        Stop();
    }
}
