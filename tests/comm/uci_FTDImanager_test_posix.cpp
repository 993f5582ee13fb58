// Plug events on Linux: the ports folder watch end to end (a simulated
// module appearing as a COM port, a simulated USB device plugged and
// pulled), and the reading of the kernel's device events.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "FTDIManagerRecorder.h"
#include "SimD2XX.h"
#include "uMainThreadQueue.h"
#include "uSimPty.h"
#include "uci_FTDIcore.h"

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

// ---- the kernel's events on a real PC ---------------------------------------------

namespace {

// Kernel device events as `udevadm monitor --kernel --property` shows them
// for an FT232R plugged into and pulled out of a PC (the header line, then
// one KEY=VALUE line each), made into the zero-separated record the
// kernel's socket delivers.
std::string Recorded(const std::string& Text)
{
    std::string out;
    size_t start = 0;
    while (start < Text.size()) {
        const size_t end = Text.find('\n', start);
        out += Text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        out += '\0';
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return out;
}

const char* const kRemoveFT232R = R"(remove@/devices/pci0000:00/0000:00:14.0/usb1/1-2
ACTION=remove
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2
SUBSYSTEM=usb
DEVNAME=bus/usb/001/004
DEVTYPE=usb_device
PRODUCT=403/6001/600
TYPE=0/0/0
BUSNUM=001
DEVNUM=004
SEQNUM=5120
MAJOR=189
MINOR=3)";

const char* const kRemoveInterface = R"(remove@/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0
ACTION=remove
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0
SUBSYSTEM=usb
DEVTYPE=usb_interface
PRODUCT=403/6001/600
TYPE=0/0/0
INTERFACE=255/255/255
MODALIAS=usb:v0403p6001d0600dc00dsc00dp00icFFiscFFipFFin00
SEQNUM=5118)";

const char* const kAddFT232R = R"(add@/devices/pci0000:00/0000:00:14.0/usb1/1-4
ACTION=add
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4
SUBSYSTEM=usb
MAJOR=189
MINOR=5
DEVNAME=bus/usb/001/006
DEVTYPE=usb_device
PRODUCT=403/6001/600
TYPE=0/0/0
BUSNUM=001
DEVNUM=006
SEQNUM=5131)";

const char* const kRemoveAddedFT232R = R"(remove@/devices/pci0000:00/0000:00:14.0/usb1/1-4
ACTION=remove
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4
SUBSYSTEM=usb
DEVNAME=bus/usb/001/006
DEVTYPE=usb_device
PRODUCT=403/6001/600
TYPE=0/0/0
BUSNUM=001
DEVNUM=006
SEQNUM=5140)";

const char* const kAddTtyUSB0 = R"(add@/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB0/tty/ttyUSB0
ACTION=add
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB0/tty/ttyUSB0
SUBSYSTEM=tty
MAJOR=188
MINOR=0
DEVNAME=ttyUSB0
SEQNUM=5136)";

const char* const kRemoveTtyUSB0 = R"(remove@/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB0/tty/ttyUSB0
ACTION=remove
DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB0/tty/ttyUSB0
SUBSYSTEM=tty
MAJOR=188
MINOR=0
DEVNAME=ttyUSB0
SEQNUM=5139)";

TDeviceEvent EventOf(const char* Text)
{
    const std::string record = Recorded(Text);
    auto e = ParseDeviceEvent(record.data(), record.size());
    EXPECT_TRUE(e) << Text;
    return e.value_or(TDeviceEvent{});
}

// A sysfs tree as a PC has it, in a folder of its own: the root hub, an
// FT232R with serial FT12AB34 at 1-2 with its interface, a mouse at 1-3,
// each device reached from bus/usb/devices through a link.
class TFakeSysfs {
public:
    TFakeSysfs() = default;
    ~TFakeSysfs()
    {
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
    }

    // A USB device at <hub>/<Port> with these attributes, and its link.
    void Device(const std::string& Port, const std::string& Vendor, const std::string& Serial)
    {
        const auto dir = Hub / Port;
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "idVendor") << Vendor << "\n";
        std::ofstream(dir / "idProduct") << "6001\n";
        if (!Serial.empty())
            std::ofstream(dir / "serial") << Serial << "\n";
        Link(Port, dir);
    }
    // The root hub (vendor 1d6b), a USB device too.
    void RootHub()
    {
        std::filesystem::create_directories(Hub);
        std::ofstream(Hub / "idVendor") << "1d6b\n";
        std::ofstream(Hub / "serial") << "0000:00:14.0\n";
        Link("usb1", Hub);
    }
    void Interface(const std::string& Port, const std::string& Name)
    {
        const auto dir = Hub / Port / Name;
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "bInterfaceClass") << "ff\n";
        Link(Name, dir);
    }

    std::filesystem::path Root = MakeDir();
    std::filesystem::path Hub = Root / "devices/pci0000:00/0000:00:14.0/usb1";

private:
    static std::filesystem::path MakeDir()
    {
        auto dir = std::filesystem::temp_directory_path() / ("kelvo-sysfs-" + std::to_string(::getpid()) + "-"
                                                             + std::to_string(std::rand()));
        std::filesystem::create_directories(dir / "bus/usb/devices");
        return dir;
    }
    void Link(const std::string& Name, const std::filesystem::path& Target)
    {
        std::filesystem::create_directory_symlink(std::filesystem::relative(Target, Root / "bus/usb/devices"),
                                                  Root / "bus/usb/devices" / Name);
    }
};

using TPlug = TKernelPlugTracker::TPlug;

}  // namespace

TEST(FTDIManagerKernelEvents, TheRemovalOfAChipPresentAtStartIsReportedByItsSerialNumber)
{
    TFakeSysfs sys;
    sys.RootHub();
    sys.Device("1-2", "0403", "FT12AB34");
    sys.Interface("1-2", "1-2:1.0");
    sys.Device("1-3", "046d", "MOUSE1");
    TKernelPlugTracker tracker(sys.Root.string(), "/dev", true, [](const std::string&) { return true; });
    EXPECT_EQ(tracker.LearnPresent(), 1u);
    EXPECT_EQ(tracker.SerialOf("/devices/pci0000:00/0000:00:14.0/usb1/1-2"), "FT12AB34");

    // The interface goes first, then the device: one removal, by serial number.
    EXPECT_TRUE(tracker.Event(EventOf(kRemoveInterface), 1000).empty());
    EXPECT_EQ(tracker.Event(EventOf(kRemoveFT232R), 1000), (std::vector<TPlug>{{false, "FT12AB34"}}));
    EXPECT_TRUE(tracker.Event(EventOf(kRemoveFT232R), 1000).empty()) << "reported once";

    // One plugged in later is learnt from its add event and its folder.
    sys.Device("1-4", "0403", "FTNEW42");
    EXPECT_EQ(tracker.Event(EventOf(kAddFT232R), 2000), (std::vector<TPlug>{{true, "FTNEW42"}}));
    std::filesystem::remove_all(sys.Hub / "1-4");  // gone from sysfs before its event is read
    EXPECT_EQ(tracker.Event(EventOf(kRemoveAddedFT232R), 3000), (std::vector<TPlug>{{false, "FTNEW42"}}));
}

TEST(FTDIManagerKernelEvents, WithoutTheLibraryChipsAreNotFollowed)
{
    TFakeSysfs sys;
    sys.Device("1-2", "0403", "FT12AB34");
    TKernelPlugTracker tracker(sys.Root.string(), "/dev", false, [](const std::string&) { return true; });
    EXPECT_EQ(tracker.LearnPresent(), 0u);
    EXPECT_TRUE(tracker.Event(EventOf(kRemoveFT232R), 1000).empty());
    EXPECT_EQ(tracker.Event(EventOf(kAddTtyUSB0), 1000), (std::vector<TPlug>{{true, "COM33"}}));
}

TEST(FTDIManagerKernelEvents, AnArrivalWaitsUntilUdevHasLetUsIntoItsNode)
{
    TFakeSysfs sys;
    sys.Device("1-4", "0403", "FTNEW42");
    std::set<std::string> ready;
    std::vector<std::string> asked;
    TKernelPlugTracker tracker(sys.Root.string(), "/dev", true, [&](const std::string& Node) {
        asked.push_back(Node);
        return ready.count(Node) > 0;
    });
    tracker.LearnPresent();
    // The kernel's events come before udev has set the nodes' permissions.
    EXPECT_TRUE(tracker.Event(EventOf(kAddFT232R), 1000).empty());
    EXPECT_TRUE(tracker.Event(EventOf(kAddTtyUSB0), 1001).empty());
    EXPECT_EQ(asked, (std::vector<std::string>{"/dev/bus/usb/001/006", "/dev/ttyUSB0"}));
    EXPECT_EQ(tracker.NextLookMs(1001), int(TKernelPlugTracker::kLookMs) - 1);
    EXPECT_TRUE(tracker.Due(1020).empty());
    EXPECT_EQ(asked.size(), 2u) << "not looked at before its time";
    EXPECT_TRUE(tracker.Due(1060).empty());
    ready.insert("/dev/ttyUSB0");
    EXPECT_EQ(tracker.Due(1120), (std::vector<TPlug>{{true, "COM33"}}));
    ready.insert("/dev/bus/usb/001/006");
    EXPECT_EQ(tracker.Due(1180), (std::vector<TPlug>{{true, "FTNEW42"}}));
    EXPECT_EQ(tracker.NextLookMs(1180), -1);

    // A node that never lets us in: the arrival goes on after 2 s all the same.
    EXPECT_EQ(tracker.Event(EventOf(kRemoveTtyUSB0), 2000), (std::vector<TPlug>{{false, "COM33"}}));
    ready.clear();
    EXPECT_TRUE(tracker.Event(EventOf(kAddTtyUSB0), 3000).empty());
    EXPECT_TRUE(tracker.Due(3000 + TKernelPlugTracker::kHoldMs - 10).empty());
    EXPECT_EQ(tracker.Due(3000 + TKernelPlugTracker::kHoldMs + 40), (std::vector<TPlug>{{true, "COM33"}}));

    // Pulled out before the node opened: the held arrival goes, the removal is told.
    EXPECT_TRUE(tracker.Event(EventOf(kAddTtyUSB0), 6000).empty());
    EXPECT_EQ(tracker.Event(EventOf(kRemoveTtyUSB0), 6010), (std::vector<TPlug>{{false, "COM33"}}));
    EXPECT_TRUE(tracker.Due(9000).empty());
    EXPECT_EQ(tracker.NextLookMs(9000), -1);
}

TEST(FTDIManagerKernelEvents, TheRemovalReachesTheOwnerWithTheListedDeviceClosed)
{
    // What the window's logic and kelvoctl watch get: OnRemoval with the
    // device the list holds (the window returns to the search when it is
    // the connected one), closed by force.
    TMainThreadQueue::Init();
    TSimD2XX sim;
    sim.Plug("FT12AB34");
    TFTDIManager manager;
    ASSERT_EQ(manager.Refresh(), 0);
    IntfPtr<ICommunicationInterface> device;
    for (manager.First(device); device; manager.Next(device))
        if (Supports<IFTDISerialPortInterface>(device))
            break;
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->Open());
    TPlugRecorder plugs;
    plugs.Attach(manager);

    TFakeSysfs sys;
    sys.Device("1-2", "0403", "FT12AB34");
    TKernelPlugTracker tracker(sys.Root.string(), "/dev", true, [](const std::string&) { return true; });
    tracker.LearnPresent();
    for (const TPlug& plug : tracker.Event(EventOf(kRemoveFT232R), 1000))
        plug.Arrived ? manager.Arrival(plug.Name) : manager.Removal(plug.Name);
    EXPECT_EQ(plugs.Events, std::vector<std::string>{"-FT12AB34"});
    ASSERT_EQ(plugs.Devices.size(), 1u);
    EXPECT_EQ(plugs.Devices[0].get(), device.get());
    EXPECT_FALSE(device->GetActive());
    EXPECT_FALSE(device->GetPresent());
    TPlugRecorder::Detach(manager);
}
