// The whole path on Windows: session, serial port channel, component and the
// Win32 engine, against the simulator on a pseudo-terminal. Skipped
// elsewhere.
#include "WineSimModule_win32.h"
#include "uKelvoSession.h"

using namespace kelvo;

using WineSessionTest = kelvo::testing::TWineSimModule;
using kelvo::testing::kPort;

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
