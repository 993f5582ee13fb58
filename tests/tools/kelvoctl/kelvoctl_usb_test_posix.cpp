// kelvoctl with USB modules: the simulated D2XX library named by
// KELVO_FTD2XX, its devices plugged in and out through the ports folder.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "KelvoctlRun.h"
#include "SimD2XX.h"

using kelvo::ctltest::Line;
using kelvo::testing::TSimD2XX;

namespace {

struct TRun {
    int Status = -1;
    std::string Out;
};

TRun Ctl(const std::string& Args)
{
    TRun r;
    FILE* p = ::popen((std::string(KELVOCTL_EXE) + " " + Args + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        r.Out.append(buf, n);
    const int st = ::pclose(p);
    r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

class KelvoctlUsbTest : public ::testing::Test {
protected:
    void SetUp() override { kelvo::testing::SetEnv("KELVO_FTD2XX", KELVO_FTD2XX_SIM); }
    void TearDown() override { kelvo::testing::UnsetEnv("KELVO_FTD2XX"); }
    TSimD2XX Sim{KELVO_FTD2XX_SIM, false};
};

}  // namespace

TEST_F(KelvoctlUsbTest, PortsSearchAndReadReachUsbModules)
{
    Sim.Plug("FTB2", "description=Second\nmodel=rs\nspeed=9600");
    Sim.Plug("FTA1", "description=First\nserial=77");
    TRun r = Ctl("ports");
    ASSERT_EQ(r.Status, 0) << r.Out;
    // Devices from the highest driver index down.
    EXPECT_LT(Line(r.Out, "USB:FTB2").find("Second"), std::string::npos) << r.Out;
    EXPECT_LT(r.Out.find("USB:FTB2"), r.Out.find("USB:FTA1")) << r.Out;

    r = Ctl("search");
    ASSERT_EQ(r.Status, 0) << r.Out;
    EXPECT_NE(Line(r.Out, "USB:FTB2").find(" KelvoRS "), std::string::npos) << r.Out;
    const std::string usb = Line(r.Out, "USB:FTA1");
    EXPECT_NE(usb.find(" KelvoUSB "), std::string::npos) << r.Out;
    EXPECT_NE(usb.find(" 0077 "), std::string::npos) << r.Out;
    EXPECT_NE(usb.find(" 115200 bit/s "), std::string::npos) << r.Out;

    r = Ctl("read usb:FTA1 --speed 115200");
    ASSERT_EQ(r.Status, 0) << r.Out;
    EXPECT_NE(r.Out.find("USB:FTA1 at 115200 bit/s"), std::string::npos) << r.Out;

    r = Ctl("read USB:NOPE");
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Out.find("USB:NOPE: the USB device cannot be opened"), std::string::npos) << r.Out;
    EXPECT_EQ(Ctl("read USB:").Status, 2);
}

TEST_F(KelvoctlUsbTest, WatchPrintsArrivalsRemovalsAndTheModuleFound)
{
    std::string out;
    // Generous pauses: the program must be watching before the plug, and
    // have probed before the pull.
    std::thread watcher([&] { out = Ctl("watch --probe --seconds 7").Out; });
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    Sim.Plug("FTW1", "model=eth");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    Sim.Unplug("FTW1");
    watcher.join();
    const size_t arrived = out.find("arrived   USB:FTW1");
    const size_t found = out.find("KelvoETH at 115200 bit/s");
    const size_t removed = out.find("removed   USB:FTW1");
    ASSERT_NE(arrived, std::string::npos) << out;
    ASSERT_NE(found, std::string::npos) << out;
    ASSERT_NE(removed, std::string::npos) << out;
    EXPECT_LT(arrived, found);
    EXPECT_LT(found, removed);
}

TEST_F(KelvoctlUsbTest, WatchNamesTheRemovalOfAModulePluggedInBeforeItStarted)
{
    Sim.Plug("FTW0", "model=usb");
    std::string out;
    std::thread watcher([&] { out = Ctl("watch --seconds 4").Out; });
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    Sim.Unplug("FTW0");
    watcher.join();
    EXPECT_NE(out.find("removed   USB:FTW0"), std::string::npos) << out;
    EXPECT_EQ(out.find("(not listed)"), std::string::npos) << out;
}
