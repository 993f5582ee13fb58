// The session through the FTDI device and the simulated D2XX library at
// 115200 bit/s, as the window connects to a USB module: the manager's list,
// the probe, a full identification, a save, and unplugs along the way.
#include <gtest/gtest.h>

#include "SimD2XX.h"
#include "uKelvoSession.h"
#include "uMainThreadQueue.h"
#include "uci_FTDIcore.h"
#include "uci_FTDImanager.h"

using namespace kelvo;
using kelvo::testing::TSimD2XX;

namespace {

class FTDISessionTest : public ::testing::Test {
protected:
    IntfPtr<ICommunicationInterface> UsbDevice()
    {
        EXPECT_EQ(Manager.Refresh(), 0);
        IntfPtr<ICommunicationInterface> d;
        for (Manager.First(d); d; Manager.Next(d))
            if (Supports<IFTDISerialPortInterface>(d))
                return d;
        return nullptr;
    }

    // The writes the module applied, as the library keeps them in the entry.
    std::vector<std::string> Writes(const std::string& Serial) const
    {
        std::vector<std::string> w;
        const std::string entry = Sim.Entry(Serial);
        for (size_t at = entry.find("write="); at != std::string::npos; at = entry.find("write=", at + 1))
            w.push_back(entry.substr(at + 6, entry.find('\n', at) - at - 6));
        return w;
    }

    TSimD2XX Sim;
    TFTDIManager Manager;
    TKelvoSession Session;
};

// The line speed of every request sent, in order.
struct TSpeedTrace {
    std::vector<int32_t> Speeds;
    void Trace(ICommunicationInterface* Channel, const RawByteString&, uint8_t Direction)
    {
        if (Direction == TraceSent)
            if (auto s = Supports<ISerialPortInterface>(Channel))
                Speeds.push_back(s->GetBaudRate());
    }
};

}  // namespace

TEST_F(FTDISessionTest, ProbesAt115200FirstThenReadsAndSavesTheModule)
{
    Sim.Plug("FT115", "model=usb\nspeed=115200\nserial=321");
    auto device = UsbDevice();
    ASSERT_TRUE(device);
    TSpeedTrace trace;
    SetDataTraceHandler(TDataTraceEvent::Of<&TSpeedTrace::Trace>(&trace));
    TKelvorec probe;
    const bool found = Session.ProbeInterface(device.get(), probe, true);
    SetDataTraceHandler(nullptr);
    ASSERT_TRUE(found);
    EXPECT_EQ(probe.Model, kModelKelvoUSB);
    ASSERT_FALSE(trace.Speeds.empty());
    EXPECT_EQ(trace.Speeds, std::vector<int32_t>{115200}) << "FTDI devices are tried at 115200 first";

    Session.CurrentInterface = device;
    ASSERT_TRUE(Session.ReadModule()) << Session.LastError();
    EXPECT_EQ(Session.ModuleRecord.Info.SerialText, "0042.xx.xx/0321");
    EXPECT_EQ(Session.ModuleRecord.Info.SpeedCode, 10);

    Session.EditedChannels[1].Unit = "V";
    ASSERT_TRUE(Session.SaveChanges()) << Session.LastError();
    EXPECT_EQ(Session.ModuleRecord.Channels[1].Unit, "V    ");
    EXPECT_EQ(Writes("FT115"), std::vector<std::string>{"1E0102135620202020"});
    device->Close(false);
}

TEST_F(FTDISessionTest, UnplugDuringASaveEndsItWithoutAWriteNobodyAskedFor)
{
    // Pulled after the identification's reads and two more.
    Sim.Plug("FTPULL", "unplug-after-reads=32");
    auto device = UsbDevice();
    ASSERT_TRUE(device);
    Session.CurrentInterface = device;
    Session.CurrentBaudRate = 115200;
    ASSERT_TRUE(device->Open());
    ASSERT_TRUE(Session.ReadModule()) << Session.LastError();
    Session.EditedChannels[0].Name = "Novy";
    Session.EditedChannels[1].Unit = "V";
    Session.EditedUserData = "Hala 9";
    EXPECT_FALSE(Session.SaveChanges());
    EXPECT_FALSE(device->GetActive());
    EXPECT_FALSE(Sim.Present("FTPULL"));
    // Whatever reached the module before the unplug was asked for.
    for (const std::string& w : Writes("FTPULL"))
        EXPECT_TRUE(w.rfind("2B01", 0) == 0 || w.rfind("1E0102", 0) == 0 || w.rfind("E200", 0) == 0) << w;

    // The manager hears of it (here: told directly) and marks the device gone.
    Manager.Removal("FTPULL");
    EXPECT_FALSE(device->GetPresent());
}
