#pragma once
// A module served by the native simulator as a COM port of the Wine prefix:
// under Wine a COM port is a link in the prefix's dosdevices folder, which
// the native kelvo-sim (named by KELVO_SIM_PROGRAM) makes. Fixtures that
// use it skip themselves elsewhere.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "uMainThreadQueue.h"
#include "uci_ISerialPortInterface.h"

namespace kelvo::testing {

constexpr int kPort = 6;

inline bool UnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// Runs a command line of the host system, detached.
inline bool RunOnHost(const std::string& Script)
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

inline bool WaitFor(TComPortStatus Wanted, bool Equal, int Ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (std::chrono::steady_clock::now() < end) {
        if ((ProbeComPort(kPort) == Wanted) == Equal)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class TWineSimModule : public ::testing::Test {
protected:
    // Serves a KelvoRS at Speed on COM<kPort>; skips the test without Wine.
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

}  // namespace kelvo::testing
