// The device manager: its list, arrivals and removals, against the
// simulated D2XX library.
#include <gtest/gtest.h>

#include <filesystem>

#include "FTDIManagerRecorder.h"
#include "SimD2XX.h"
#include "uExceptions.h"
#include "uMessageSink.h"
#include "uci_FTDIcore.h"

using namespace kelvo;
using kelvo::testing::Names;
using kelvo::testing::TPlugRecorder;
using kelvo::testing::TSimD2XX;

namespace {

// COM ports of the list (on Linux: links in the ports folder; under Wine
// there is no way to add one, so only the USB part is checked there).
void AddComPort(TSimD2XX& Sim, int Number)
{
#ifdef _WIN32
    (void)Sim;
    (void)Number;
#else
    std::filesystem::create_symlink("/dev/null", Sim.Dir / ("com" + std::to_string(Number)));
#endif
}

#ifdef _WIN32
std::vector<std::string> Tail(std::vector<std::string> V, size_t N)
{
    return V.size() <= N ? V : std::vector<std::string>(V.end() - long(N), V.end());
}
#endif

class FTDIManagerTest : public ::testing::Test {
protected:
    void TearDown() override { TPlugRecorder::Detach(Manager); }

    TSimD2XX Sim;
    std::vector<std::string> Shown;
    TScopedMessageSink Sink{[this](const std::string& t) { Shown.push_back(t); }};
    TFTDIManager Manager;
    TPlugRecorder Plugs;
};

}  // namespace

TEST_F(FTDIManagerTest, ListsComPortsAscendingThenUsbDevicesFromTheHighestIndex)
{
    AddComPort(Sim, 3);
    AddComPort(Sim, 1);
    Sim.Plug("FTA");
    Sim.Plug("FTB");
    EXPECT_EQ(Manager.Refresh(), 0);
    const auto names = Names(Manager);
#ifdef _WIN32
    EXPECT_EQ(Tail(names, 2), (std::vector<std::string>{"FTB", "FTA"}));
#else
    EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM3", "FTB", "FTA"}));
#endif
    EXPECT_EQ(Manager.Count(), int32_t(names.size()));
    IntfPtr<ICommunicationInterface> d;
    Manager.First(d);
    for (int i = 0; i < Manager.Count(); ++i)
        Manager.Next(d);
    EXPECT_FALSE(d) << "past the end";
    EXPECT_TRUE(Shown.empty());
}

TEST_F(FTDIManagerTest, WithoutTheLibraryTheUsbPartIsEmptyAndNothingIsShown)
{
    UnbindFTDirect();
    Sim.Plug("FTA");
    AddComPort(Sim, 2);
    EXPECT_EQ(Manager.Refresh(), -1);
    const auto names = Names(Manager);
#ifndef _WIN32
    EXPECT_EQ(names, std::vector<std::string>{"COM2"});
#endif
    for (const auto& n : names)
        EXPECT_EQ(n.compare(0, 3, "COM"), 0) << n;
    EXPECT_TRUE(Shown.empty());
}

TEST_F(FTDIManagerTest, ACountFailureIsShownOnceAndKeepsTheComPorts)
{
    AddComPort(Sim, 4);
    Sim.Plug("FTA");
    kelvo::testing::SetEnv("KELVO_FTD2XX_SIM_COUNT_STATUS", "4");
    EXPECT_EQ(Manager.Refresh(), -1);
    EXPECT_EQ(Shown, std::vector<std::string>{"GetFTDeviceCount - General IO Error..."});
#ifndef _WIN32
    EXPECT_EQ(Names(Manager), std::vector<std::string>{"COM4"});
#endif
}

TEST_F(FTDIManagerTest, ArrivalsAndRemovalsByName)
{
    Sim.Plug("FTA");
    ASSERT_EQ(Manager.Refresh(), 0);
    Plugs.Attach(Manager);
    const int32_t before = Manager.Count();

    // Listed already: no new entry; the device is marked present.
    Manager.Arrival("FTA");
    EXPECT_EQ(Manager.Count(), before);
    ASSERT_EQ(Plugs.Devices.size(), 1u);
    EXPECT_TRUE(Plugs.Devices[0]->GetPresent());

    // New names: a serial port for "COM...", else a USB device.
    Manager.Arrival("COM7");
    Manager.Arrival("FTNEW");
    EXPECT_EQ(Manager.Count(), before + 2);
    std::string cs;
    Plugs.Devices[1]->GetConnectionString(cs);
    EXPECT_EQ(cs.substr(cs.size() - 10), ";comport=7");
    EXPECT_TRUE(Supports<IFTDISerialPortInterface>(Plugs.Devices[2]));

    // Removal of an open device closes it and keeps the entry.
    ASSERT_TRUE(Plugs.Devices[0]->Open());
    int closed = 0;
    struct TOnClose {
        int* Count;
        void Closed(ICommunicationInterface*) { ++*Count; }
    } onClose{&closed};
    Plugs.Devices[0]->SetOnClose(TCiNotifyEvent::Of<&TOnClose::Closed>(&onClose));
    Manager.Removal("FTA");
    EXPECT_FALSE(Plugs.Devices[0]->GetActive());
    EXPECT_FALSE(Plugs.Devices[0]->GetPresent());
    EXPECT_EQ(closed, 1);
    Plugs.Devices[0]->SetOnClose(nullptr);
    Manager.Removal("NEVER");
    EXPECT_EQ(Manager.Count(), before + 2);
    EXPECT_EQ(Plugs.Events, (std::vector<std::string>{"+FTA", "+COM7", "+FTNEW", "-FTA", "-"}));
}

TEST_F(FTDIManagerTest, RefreshFreesAnOpenDeviceThatOnlyTheListHeld)
{
    Sim.Plug("FTA");
    ASSERT_EQ(Manager.Refresh(), 0);
    IntfPtr<ICommunicationInterface> d;
    for (Manager.First(d); d; Manager.Next(d))
        if (Supports<IFTDISerialPortInterface>(d))
            break;
    ASSERT_TRUE(d);
    ASSERT_TRUE(d->Open());
    d = nullptr;
    ASSERT_EQ(Manager.Refresh(), 0);
    // Had the old device stayed open, the chip would be in use.
    IntfPtr<ICommunicationInterface> again;
    for (Manager.First(again); again; Manager.Next(again))
        if (Supports<IFTDISerialPortInterface>(again))
            break;
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->Open());
    again->Close(false);
}

TEST(FTDIManagerNames, PortsFolderEntriesAndDevicePaths)
{
    struct TCase {
        const char* File;
        bool WithUsb;
        const char* Name;  // nullptr: no device
    };
    for (const TCase& c : std::initializer_list<TCase>{{"com5", true, "COM5"},
                                                        {"com255", false, "COM255"},
                                                        {"com", true, nullptr},
                                                        {"com05", true, nullptr},
                                                        {"com5x", true, nullptr},
                                                        {".com5.tmp42", true, nullptr},
                                                        {"usb-FT12AB", true, "FT12AB"},
                                                        {"usb-FT12AB", false, nullptr},
                                                        {"usb-", true, nullptr}}) {
        const auto name = PortsFolderEntryName(c.File, c.WithUsb);
        EXPECT_EQ(name.value_or("(none)"), c.Name ? c.Name : "(none)") << c.File;
    }
    EXPECT_EQ(DevicePathSerialNumber("\\\\?\\USB#VID_0403&PID_6001#FT12AB34#{219d0508-57a8-4ff5-97a1-bd86587c6c7e}"),
              "FT12AB34");
    EXPECT_THROW(DevicePathSerialNumber("\\\\?\\USB#VID_0403"), ERangeError);
}
