// The serial port channel for real: a simulated module served on a
// pseudo-terminal, linked as a COM port, reached through the serial port
// engine and component. Real time throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "AfComPort.h"
#include "MainLogicFixture.h"
#include "ScopedEnvDir.h"
#include "uKelvoSession.h"
#include "uMainThreadQueue.h"
#include "uSimPty.h"
#include "uci_ISerialPortInterface.h"

using namespace kelvo;
namespace fs = std::filesystem;

namespace {

// A temporary ports folder as KELVO_PORTS_DIR for the whole test.
struct PortsDir : kelvo::testing::TScopedEnvDir {
    PortsDir() : TScopedEnvDir("KELVO_PORTS_DIR", "kelvo-ports") {}
    std::string Path() const { return Dir.string(); }
};

struct Counter {
    int Opened = 0;
    int Closed = 0;
    void OnOpen(ICommunicationInterface*) { ++Opened; }
    void OnClose(ICommunicationInterface*) { ++Closed; }
};

class SerialSessionTest : public ::testing::Test {
protected:
    void SetUp() override { TMainThreadQueue::Init(); }

    void Serve(TSimSettings Settings, unsigned Port = 5)
    {
        Module = std::make_unique<TSimModule>(std::move(Settings));
        Pty = std::make_unique<TSimPty>(*Module);
        TSimPtyOptions options;
        options.LinkDir = Ports.Path();
        options.PortNumber = Port;
        Pty->Start(options);
    }

    void TearDown() override
    {
        if (Pty)
            Pty->Stop();
        TMainThreadQueue::Drain();
    }

    PortsDir Ports;
    std::unique_ptr<TSimModule> Module;
    std::unique_ptr<TSimPty> Pty;
};

std::vector<std::pair<uint8_t, RawByteString>> Writes(const TSimModule& m)
{
    std::vector<std::pair<uint8_t, RawByteString>> out;
    for (const auto& w : m.WriteLog())
        out.emplace_back(w.Instruction, w.Data);
    return out;
}

}  // namespace

TEST_F(SerialSessionTest, ChannelFromAPortNumberAndItsString)
{
    auto port = MakeIntf<TSerialPortInterface>("comport=3");
    EXPECT_EQ(port->PortName(), "COM3");
    EXPECT_EQ(port->GetBaudRate(), 9600);
    std::string cs;
    port->GetConnectionString(cs);
    EXPECT_EQ(cs, "baudrate=9600;databits=8;stopbits=One;parity=None;dtr=-1;rts=-1;comport=3");
    EXPECT_FALSE(port->GetActive());

    // The bare name selects the port; followed by other items it does not.
    port->SetConnectionString("com12");
    EXPECT_EQ(port->PortName(), "COM12");
    port->SetConnectionString("com7;baudrate=19200");
    EXPECT_EQ(port->PortName(), "COM12");
    EXPECT_EQ(port->GetBaudRate(), 19200);
    EXPECT_THROW(port->SetConnectionString("comport=65536"), ERangeError);
    EXPECT_THROW(port->SetConnectionString("comport=x"), EConvertError);

    auto unknown = MakeIntf<TSerialPortInterface>();
    EXPECT_EQ(unknown->PortName(), "COM unknown");
    unknown->GetConnectionString(cs);
    EXPECT_EQ(cs.substr(cs.size() - 10), ";comport=0");

    // Data bits map onto the component's enumeration; no character time.
    port->SetDataBits(7);
    EXPECT_EQ(port->Port()->Databits(), db7);
    EXPECT_EQ(port->GetDataBits(), 7);
    EXPECT_THROW(port->SetDataBits(9), ERangeError);
    for (int rate : {300, 9600, 115200})
        port->SetBaudRate(rate);
    EXPECT_EQ(port->GetCharTime(), 0.0);

    // The provider registry knows the class from the start.
    bool registered = false;
    for (const auto& e : RegisteredProviders())
        registered |= e.ProviderClass == &TSerialPortInterface::Class && e.ProviderName == "SERIAL_PORT";
    EXPECT_TRUE(registered);
}

TEST_F(SerialSessionTest, OpenCloseAndProbeOfMissingAndPresentPorts)
{
    auto missing = MakeIntf<TSerialPortInterface>("comport=9");
    EXPECT_FALSE(missing->Open());
    EXPECT_FALSE(missing->Close(false));
    EXPECT_EQ(ProbeComPort(9), cpsNotFound);

    Serve(DefaultSimSettings());
    EXPECT_EQ(ProbeComPort(5), cpsFree);
    auto port = MakeIntf<TSerialPortInterface>("comport=5");
    Counter counter;
    port->OpenEvents()->AddHandler(TCiNotifyEvent::Of<&Counter::OnOpen>(&counter));
    port->CloseEvents()->AddHandler(TCiNotifyEvent::Of<&Counter::OnClose>(&counter));
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(port->Open()) << cycle;
        EXPECT_TRUE(port->GetActive());
        EXPECT_FALSE(port->GetCTS());  // a pty has no modem lines
        EXPECT_TRUE(port->Close(false));
        EXPECT_FALSE(port->GetActive());
        EXPECT_FALSE(port->Close(false));
    }
    TMainThreadQueue::DrainUntil([&] { return counter.Closed >= 3; }, 3000);
    EXPECT_EQ(counter.Opened, 3);
    EXPECT_EQ(counter.Closed, 3);

    // Removal of the device closes an open port and says so.
    ASSERT_TRUE(port->Open());
    port->SetPresent(false);
    EXPECT_FALSE(port->GetActive());
    TMainThreadQueue::DrainUntil([&] { return counter.Closed >= 4; }, 3000);
    EXPECT_EQ(counter.Closed, 4);
    port->OpenEvents()->RemoveHandler(TCiNotifyEvent::Of<&Counter::OnOpen>(&counter));
    port->CloseEvents()->RemoveHandler(TCiNotifyEvent::Of<&Counter::OnClose>(&counter));
}

TEST_F(SerialSessionTest, IdentifiesAndSavesAtBothDefaultSpeeds)
{
    for (uint8_t code : {uint8_t(6), uint8_t(10)}) {
        TSimSettings settings = DefaultSimSettings(TSimModel::KelvoRS);
        settings.SpeedCode = code;
        Serve(settings);
        TKelvoSession session;
        auto port = MakeIntf<TSerialPortInterface>("comport=5");
        TKelvorec probe;
        ASSERT_TRUE(session.ProbeInterface(port->AsInterface(), probe, true)) << int(code);
        EXPECT_EQ(probe.Model, kModelKelvoRS);
        EXPECT_EQ(port->GetBaudRate(), int32_t(SpeedCodeToBaudRate(code)));
        session.CurrentInterface = IntfPtr<ICommunicationInterface>(port->AsInterface());
        ASSERT_TRUE(session.ReadModule()) << session.LastError();
        EXPECT_EQ(session.ModuleRecord.Info.SpeedCode, code);

        session.EditedChannels[1].Unit = "V";
        ASSERT_TRUE(session.SaveChanges()) << session.LastError();
        EXPECT_EQ(Writes(*Module), (std::vector<std::pair<uint8_t, RawByteString>>{
                                       {0x1E, Bytes({0x01, 0x02, 0x13, 'V', ' ', ' ', ' ', ' '})}}));
        port->Close(false);
        Pty->Stop();
        TMainThreadQueue::Drain();
    }
}

TEST_F(SerialSessionTest, WrongSpeedIsNotUnderstood)
{
    TSimSettings settings = DefaultSimSettings();
    settings.SpeedCode = 10;
    Serve(settings);
    TKelvoSession session;
    auto port = MakeIntf<TSerialPortInterface>("comport=5;active=1");
    ASSERT_TRUE(port->GetActive());
    uint8_t model = 55;
    EXPECT_FALSE(session.ProbeAtSpeed(port->AsInterface(), 9600, "", model));
    EXPECT_EQ(model, 55);
    EXPECT_TRUE(session.ProbeAtSpeed(port->AsInterface(), 115200, "", model));
    EXPECT_EQ(model, kModelKelvoUSB);
}

TEST_F(SerialSessionTest, ModuleVanishingMidReadFailsTheReadAndLeavesThePortConsistent)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Faults.VanishAfter = 5;
    Serve(settings);
    TKelvoSession session;
    auto port = MakeIntf<TSerialPortInterface>("comport=5;active=1");
    ASSERT_TRUE(port->GetActive());
    session.CurrentInterface = IntfPtr<ICommunicationInterface>(port->AsInterface());
    EXPECT_FALSE(session.ReadModule());
    EXPECT_EQ(session.LastError().rfind("Device not responding", 0), 0u) << session.LastError();
    // Whatever the engine made of the hang-up, closing works and ends in a
    // closed port.
    port->Close(true);
    EXPECT_FALSE(port->GetActive());
}

TEST_F(SerialSessionTest, ALateReplyIsNotTakenForAModuleAtTheNextSpeed)
{
    // The module at 9600 answers only after the probe's 250 ms, while the
    // probe already tries 115200, which the module does not understand.
    TSimSettings settings = DefaultSimSettings();
    settings.ReplyDelayMs = 300;
    Serve(settings);
    TKelvoSession session;
    std::vector<TReplyFault> faults;
    session.OnReply = [&](uint8_t, TReplyFault Fault, const RawByteString&) { faults.push_back(Fault); };
    auto port = MakeIntf<TSerialPortInterface>("comport=5");
    TKelvorec probe;
    EXPECT_FALSE(session.ProbeInterface(port->AsInterface(), probe, true));
    EXPECT_NE(std::find(faults.begin(), faults.end(), TReplyFault::Unconfirmed), faults.end());
    port->Close(false);
    Pty->Stop();

    // In time, it is found at its speed.
    settings.ReplyDelayMs = 150;
    Serve(settings);
    EXPECT_TRUE(session.ProbeInterface(port->AsInterface(), probe, true));
    EXPECT_EQ(port->GetBaudRate(), 9600);
    port->Close(false);
}

TEST_F(SerialSessionTest, AWindowSearchThatFindsNothingSaysWhichPortsWouldNotOpenAndWhy)
{
    Serve(DefaultSimSettings(TSimModel::KelvoRS));
    // Another program holds COM5.
    auto other = MakeIntf<TSerialPortInterface>("comport=5");
    ASSERT_TRUE(other->Open());
    TFixedInterfaces source;
    auto port = MakeIntf<TSerialPortInterface>("comport=5");
    source.Items.emplace_back(port->AsInterface());
    kelvo::testing::TRecordingView view;
    TMainLogic logic(source, view);
    logic.ScanCIs();
    EXPECT_TRUE(logic.FoundRows().empty());
    ASSERT_FALSE(view.Notices.empty());
    EXPECT_EQ(view.Notices.back().first, TNotice::NoModuleFound);
    ASSERT_EQ(view.Unusable.size(), 1u);
    EXPECT_EQ(view.Unusable[0].Interface, "COM5");
    EXPECT_EQ(view.Unusable[0].Trouble.Kind, TOpenTrouble::TKind::InUse);
    other->Close(false);

    // Free again: found, nothing to explain.
    logic.ScanCIs();
    EXPECT_EQ(logic.FoundRows().size(), 1u);
}
