// Plug events on Linux: the ports folder watch end to end (a simulated
// module appearing as a COM port, a simulated USB device plugged and
// pulled), and the reading of the kernel's device events.
#include <gtest/gtest.h>

#include <filesystem>

#include "FTDIManagerRecorder.h"
#include "SimD2XX.h"
#include "uMainThreadQueue.h"
#include "uSimPty.h"

using namespace kelvo;
using kelvo::testing::TPlugRecorder;
using kelvo::testing::TSimD2XX;

TEST(FTDIManagerPlug, PortsFolderEntriesReachTheMainThreadAsArrivalsAndRemovals)
{
    TMainThreadQueue::Init();
    TSimD2XX sim;
    TFTDIManager manager;
    TPlugRecorder plugs;
    plugs.Attach(manager);
    auto waitFor = [&](size_t n) {
        return TMainThreadQueue::DrainUntil([&] { return plugs.Events.size() >= n; }, 5000);
    };

    TSimModule module;
    TSimPty pty(module);
    TSimPtyOptions options;
    options.LinkDir = sim.Dir.string();
    options.PortNumber = 5;
    pty.Start(options);
    ASSERT_TRUE(waitFor(1));
    EXPECT_EQ(plugs.Events, std::vector<std::string>{"+COM5"});
    ASSERT_TRUE(plugs.Devices[0]);
    EXPECT_TRUE(plugs.Devices[0]->Open()) << "the arrived port is the simulator's";
    plugs.Devices[0]->Close(false);

    sim.Plug("FTX1");
    ASSERT_TRUE(waitFor(2));
    sim.Unplug("FTX1");
    pty.Stop();
    ASSERT_TRUE(waitFor(4));
    EXPECT_EQ(plugs.Events, (std::vector<std::string>{"+COM5", "+FTX1", "-FTX1", "-COM5"}));
    // Hidden and temporary files of the folder are no devices.
    std::filesystem::create_symlink("/dev/null", sim.Dir / ".com9.tmp1");
    TMainThreadQueue::DrainFor(100);
    EXPECT_EQ(plugs.Events.size(), 4u);
    TPlugRecorder::Detach(manager);
    TMainThreadQueue::Drain();
}

TEST(FTDIManagerPlug, WithoutTheLibraryUsbEntriesAreNoDevices)
{
    TMainThreadQueue::Init();
    TSimD2XX sim(KELVO_FTD2XX_SIM, false);
    TFTDIManager manager;
    TPlugRecorder plugs;
    plugs.Attach(manager);
    sim.Plug("FTX2");
    std::filesystem::create_symlink("/dev/null", sim.Dir / "com2");
    ASSERT_TRUE(TMainThreadQueue::DrainUntil([&] { return !plugs.Events.empty(); }, 5000));
    TMainThreadQueue::DrainFor(100);
    EXPECT_EQ(plugs.Events, std::vector<std::string>{"+COM2"});
    TPlugRecorder::Detach(manager);
}

namespace {

// A kernel device event: its fields, each ended by a zero byte.
std::string Uevent(std::initializer_list<const char*> Fields)
{
    std::string out;
    for (const char* f : Fields) {
        out += f;
        out += '\0';
    }
    return out;
}

}  // namespace

TEST(FTDIManagerPlug, KernelDeviceEvents)
{
    const std::string tty = Uevent({"add@/devices/x/ttyUSB0/tty/ttyUSB0", "ACTION=add", "DEVPATH=/devices/x/tty/ttyUSB0",
                                    "SUBSYSTEM=tty", "DEVNAME=ttyUSB0"});
    auto e = ParseDeviceEvent(tty.data(), tty.size());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Action, "add");
    EXPECT_EQ(e->Subsystem, "tty");
    EXPECT_EQ(e->DevName, "ttyUSB0");

    const std::string usb = Uevent({"remove@/devices/x/1-1", "ACTION=remove", "SUBSYSTEM=usb", "DEVTYPE=usb_device",
                                    "PRODUCT=403/6001/600"});
    e = ParseDeviceEvent(usb.data(), usb.size());
    ASSERT_TRUE(e);
    EXPECT_TRUE(IsFTDIUsbDevice(*e));
    e->Product = "67b/2303/300";
    EXPECT_FALSE(IsFTDIUsbDevice(*e));
    // udev's own records (they start with "libudev") are not the kernel's.
    const std::string udev("libudev\0\xfe\xed\xca\xfe", 12);
    EXPECT_FALSE(ParseDeviceEvent(udev.data(), udev.size()));

    TSimD2XX sim(KELVO_FTD2XX_SIM, false);  // restores the ports folder afterwards
    kelvo::testing::UnsetEnv("KELVO_PORTS_DIR");
    EXPECT_EQ(ComNumberOfNode("ttyS0"), 1);
    EXPECT_EQ(ComNumberOfNode("ttyUSB0"), 33);
    EXPECT_EQ(ComNumberOfNode("ttyACM31"), 96);
    EXPECT_EQ(ComNumberOfNode("ttyUSB32"), 0);
    EXPECT_EQ(ComNumberOfNode("pts/3"), 0);
}
