// The window's flows on Windows, where most technicians run it: the search
// through the device manager, connecting, saving and measuring, on the
// Win32 serial engine against the simulator on a COM port of the Wine
// prefix and on the simulated ftd2xx.dll. Skipped elsewhere.
#include "MainLogicFixture.h"
#include "SimD2XX.h"
#include "WineSimModule_win32.h"
#include "uci_FTDImanager.h"

using namespace kelvo;
using kelvo::testing::TRecordingView;

namespace {

class WineWindowLogic : public kelvo::testing::TWineSimModule {
protected:
    int RowOf(const std::string& Interface) const
    {
        const auto& rows = Logic->FoundRows();
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].find("|" + Interface + "|") != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }

    kelvo::testing::TSimD2XX Sim;
    std::unique_ptr<TFTDIManager> Manager;
    std::unique_ptr<TDeviceManagerSource> Source;
    TRecordingView View;
    std::unique_ptr<TMainLogic> Logic;
};

}  // namespace

TEST_F(WineWindowLogic, SearchConnectSaveAndMeasureOnAComPortAndAUsbModule)
{
    Serve(9600);
    if (IsSkipped())
        return;
    Sim.Plug("FT77", "model=usb\nspeed=115200\nserial=77");
    Manager = std::make_unique<TFTDIManager>();
    Source = std::make_unique<TDeviceManagerSource>(*Manager);
    Logic = std::make_unique<TMainLogic>(*Source, View);
    Logic->Start();

    Logic->ScanCIs();
    const int com = RowOf("COM" + std::to_string(kelvo::testing::kPort));
    const int usb = RowOf("USB");
    ASSERT_GE(com, 0) << ::testing::PrintToString(Logic->FoundRows());
    ASSERT_GE(usb, 0) << ::testing::PrintToString(Logic->FoundRows());
    EXPECT_EQ(Logic->FoundRows()[static_cast<size_t>(usb)], "KelvoUSB|USB|0077");

    // The COM port: a change saved through the Win32 engine, the values polled.
    Logic->Connect(com);
    ASSERT_EQ(Logic->Page(), TPage::Measure);
    Logic->ShowChannelTab(2);
    Logic->EditChannelUnit("V");
    Logic->SaveChanges();
    EXPECT_EQ(WriteLog(), (std::vector<std::string>{"1E 01 02 13 56 20 20 20 20"}));
    ASSERT_FALSE(View.Notices.empty());
    EXPECT_EQ(View.Notices.back().first, TNotice::Saved);
    Logic->ShowMeasuringTab();
    Logic->MeasureTick();
    Logic->AwaitTick();
    EXPECT_NE(View.Measured[0].Value, "-");

    // The USB module: the same through the D2XX library.
    Logic->Disconnect();
    Logic->Connect(usb);
    ASSERT_EQ(Logic->Page(), TPage::Measure);
    Logic->ShowCommunicationTab();
    Logic->EditUserData("Hala 3");
    Logic->SaveChanges();
    EXPECT_EQ(View.Notices.back().first, TNotice::Saved);
    EXPECT_NE(Sim.Entry("FT77").find("write="), std::string::npos);
    Logic->Disconnect();
    EXPECT_EQ(Logic->Page(), TPage::Search);
    Logic.reset();
    Manager.reset();
}
