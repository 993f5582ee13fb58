// The window's decisions and flows against simulated modules on in-process
// channels, on a manual clock, through a view that records what the window
// would show.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <memory>

#include "MainLogicFixture.h"
#include "SimD2XX.h"
#include "uLogUtils.h"
#include "uMainLogic.h"
#include "uci_FTDImanager.h"
#include "uSimSerialInterface.h"
#include "uTickUtils.h"

using namespace kelvo;
using kelvo::testing::MainLogicTest;
using kelvo::testing::TRecordingView;
using kelvo::testing::TListSource;

TEST_F(MainLogicTest, StartShowsTheEmptySearchPage)
{
    Logic.Start();
    EXPECT_EQ(View.Page(), TPage::Search);
    EXPECT_FALSE(View.Timer);
    EXPECT_EQ(View.Header, THeaderImage::XX);
    EXPECT_FALSE(View.ListVisible);
    EXPECT_EQ(View.Selected, -1);
    // Nothing to connect to: nothing happens.
    Logic.Connect(0);
    Logic.Connect(-1);
    EXPECT_EQ(View.Page(), TPage::Search);
}

TEST_F(MainLogicTest, SearchListsEachModuleAtItsCheckedSpeed)
{
    AddModule(DefaultSimSettings(TSimModel::KelvoUSB));
    TSimSettings rs = DefaultSimSettings(TSimModel::KelvoRS);
    rs.SpeedCode = 7;  // 19200, not checked at start
    rs.SerialNumber = 77;
    AddModule(rs);
    TSimSettings silent = DefaultSimSettings();
    silent.Faults.Silent = true;
    AddModule(silent);
    Logic.Start();

    Logic.ScanCIs();
    EXPECT_EQ(View.Pages[1], TPage::Searching);
    EXPECT_EQ(View.Page(), TPage::Search);
    EXPECT_EQ(Logic.FoundRows(), (std::vector<std::string>{"KelvoUSB|SIM1|0256"}));
    EXPECT_EQ(View.Progress.back(), std::make_pair(30, 30));
    EXPECT_EQ(Source.LockDepth(), 0);  // unlocked again
    EXPECT_TRUE(View.ListVisible);
    EXPECT_EQ(View.Selected, 0);
    // Each port put back as it was: closed, at its old speed.
    for (auto& ch : Channels) {
        EXPECT_FALSE(ch->GetActive());
        EXPECT_EQ(ch->GetBaudRate(), 9600);
    }

    Logic.SetSearchSpeed(19200, true);
    Logic.ScanCIs();
    EXPECT_EQ(Logic.FoundRows(), (std::vector<std::string>{"KelvoUSB|SIM1|0256", "KelvoRS|SIM2|0077"}));
    EXPECT_EQ(View.Selected, 1);

    // Open settings hide the list; a search closes them again.
    Logic.ToggleSearchSettings();
    EXPECT_TRUE(View.SettingsOpen);
    EXPECT_FALSE(View.ListVisible);
    Logic.ToggleSearchSettings();
    EXPECT_TRUE(View.ListVisible);
}

TEST_F(MainLogicTest, AClickDuringTheSearchsClosingWaitStartsNothing)
{
    auto module = AddModule(DefaultSimSettings());
    int nested = 0;
    View.OnProcessMessages = [&] {
        ++nested;
        const size_t heard = module->RequestLog().size();
        Logic.ScanCIs();
        Logic.Connect(0);
        EXPECT_EQ(module->RequestLog().size(), heard);
    };
    Logic.ScanCIs();
    EXPECT_GE(nested, 10);  // a second in 100 ms steps
    EXPECT_EQ(View.Page(), TPage::Search);
}

TEST_F(MainLogicTest, ConnectMeasureAndTheTimerFollowThePage)
{
    TSimSettings settings = DefaultSimSettings(TSimModel::KelvoRS);
    settings.UserData = " Hala 3 ";
    settings.Channels[1].Live = TSimLiveMode::Overrange;
    settings.Channels[2].Live = TSimLiveMode::Invalid;
    auto module = AddModule(settings);
    SearchAndConnect();
    EXPECT_TRUE(View.Timer);
    EXPECT_EQ(View.TabPresses, 1);
    EXPECT_EQ(View.Header, THeaderImage::RS);
    EXPECT_FALSE(View.Save);

    Logic.MeasureTick();
    Logic.AwaitTick();
    EXPECT_EQ(View.Measured[1].Value, "OVR ");
    EXPECT_EQ(View.Measured[1].ValueColor, kOverrangeColor);
    EXPECT_EQ(View.Measured[1].FrameColor, kOverrangeColor);
    EXPECT_EQ(View.Measured[2].Value, "-");
    EXPECT_EQ(View.Measured[0].FrameColor, kValueTextColor);
    EXPECT_EQ(View.Measured[0].Name, Logic.Session.ModuleRecord.Channels[0].Name);
    EXPECT_EQ(View.ModuleName, " - Hala 3");

    // A module that stops answering shows "-" and the page stays.
    TSimFaults silent;
    silent.Silent = true;
    module->SetFaults(silent);
    Logic.MeasureTick();
    Logic.AwaitTick();
    for (const auto& row : View.Measured)
        EXPECT_EQ(row.Value, "-");
    EXPECT_EQ(View.Page(), TPage::Measure);
    module->SetFaults({});

    Logic.ShowCommunicationTab();
    EXPECT_EQ(View.Page(), TPage::Connection);
    EXPECT_FALSE(View.Timer);
    EXPECT_TRUE(View.Communication.Editable);
    EXPECT_EQ(View.Communication.SpeedIndex, 5);  // code 6: "9 600 Bd"
    EXPECT_EQ(View.Communication.AddressIndex, 1);
    Logic.ShowMeasuringTab();
    EXPECT_TRUE(View.Timer);

    Logic.Disconnect();
    EXPECT_EQ(View.Page(), TPage::Search);
    EXPECT_FALSE(View.Timer);
    EXPECT_EQ(View.Header, THeaderImage::XX);
    EXPECT_FALSE(Channels[0]->GetActive());
}

TEST_F(MainLogicTest, PagesAreFilledFromTheWorkingCopy)
{
    TSimSettings settings = DefaultSimSettings(TSimModel::KelvoUSB);
    settings.Channels[0].Sensor4to20mA = 1;
    settings.Channels[1].Sensor4to20mA = 0;  // no such option
    settings.Channels[1].HasGain = true;
    settings.Channels[1].GainCode = 3;
    settings.Channels[0].Hysteresis = 0.2f;
    AddModule(settings);
    SearchAndConnect();
    EXPECT_FALSE(View.Communication.Editable);

    Logic.ShowChannelTab(1);
    EXPECT_EQ(View.Page(), TPage::Channel);
    EXPECT_TRUE(View.Channel.Show4to20mAPanel);
    EXPECT_TRUE(View.Channel.Sensor4to20mA);
    EXPECT_FALSE(View.Channel.ShowGain);
    EXPECT_EQ(View.Channel.Hysteresis, 0.2);  // as the module's single holds it, not 0.200000003
    Logic.ShowChannelTab(2);
    EXPECT_EQ(View.Channel.Heading, "Kanál 2");
    EXPECT_FALSE(View.Channel.Show4to20mAPanel);
    EXPECT_TRUE(View.Channel.ShowGain);
    EXPECT_EQ(View.Channel.GainIndex, 3);
    Logic.ShowAll420mA = true;
    Logic.ShowChannelTab(2);
    EXPECT_TRUE(View.Channel.Show4to20mAPanel);

    // A channel the module does not report shows the error page.
    Logic.Session.EditedChannels[2].Number = 7;
    Logic.ShowChannelTab(3);
    EXPECT_EQ(View.Page(), TPage::Error);
}

TEST_F(MainLogicTest, TheSaveButtonShowsExactlyWhileSomethingDiffers)
{
    AddModule(DefaultSimSettings(TSimModel::KelvoRS));
    SearchAndConnect();
    Logic.ShowCommunicationTab();
    Logic.EditSpeed(9);  // "115 200 Bd"
    EXPECT_EQ(Logic.Session.EditedSpeedCode, 10);
    EXPECT_TRUE(View.Save);
    Logic.EditSpeed(5);  // back to "9 600 Bd"
    EXPECT_FALSE(View.Save);

    Logic.ShowChannelTab(1);
    const std::string typed = View.Channel.Name;
    Logic.EditChannelName(typed + "x");
    EXPECT_TRUE(View.Save);
    Logic.EditChannelName(typed);
    EXPECT_EQ(View.Save, Logic.Session.EditedChannels[0].Name != Logic.Session.ModuleRecord.Channels[0].Name);

    // The range as the editors give it: 4 and 20 are offset 4, slope 0.0016.
    Logic.EditRange(4, 20);
    EXPECT_EQ(Logic.Session.EditedChannels[0].Offset, 4.0f);
    EXPECT_EQ(Logic.Session.EditedChannels[0].Slope, 0.0016f);
}

TEST_F(MainLogicTest, SaveWritesOnlyTheChangeAndReachesAModuleThatMovesAtOnce)
{
    auto module = AddModule(DefaultSimSettings(TSimModel::KelvoRS));
    SearchAndConnect();
    Logic.ShowChannelTab(2);
    Logic.EditChannelUnit("V");
    module->ClearLogs();
    Logic.SaveChanges();
    ASSERT_EQ(module->WriteLog().size(), 1u);
    EXPECT_EQ(module->WriteLog()[0].Instruction, 0x1E);
    EXPECT_EQ(module->WriteLog()[0].Data, Bytes({0x01, 0x02, 0x13, 0x56, 0x20, 0x20, 0x20, 0x20}));
    EXPECT_EQ(View.Page(), TPage::Channel);
    EXPECT_FALSE(View.Save);

    // A new address and a new name in one save: both taken.
    Logic.ShowCommunicationTab();
    Logic.EditAddress(5);
    Logic.ShowChannelTab(1);
    Logic.EditChannelName("Tank");
    module->ClearLogs();
    Logic.SaveChanges();
    EXPECT_EQ(module->WriteLog().size(), 2u);
    EXPECT_EQ(module->Settings().Address, 5);
    EXPECT_EQ(TrimText(module->Settings().Channels[0].Name), "Tank");
    EXPECT_EQ(View.Communication.AddressIndex, 5);
}

TEST_F(MainLogicTest, AFailedReadShowsTheErrorPageUntilRetrySucceeds)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Faults.VanishAfter = 6;  // gone in the middle of the read
    auto module = AddModule(settings);
    Logic.ScanCIs();
    ASSERT_EQ(Logic.FoundRows().size(), 1u);
    module->Revive();
    module->SetFaults([] {
        TSimFaults f;
        f.VanishAfter = 4;
        return f;
    }());
    Logic.Connect(0);
    EXPECT_EQ(View.Page(), TPage::Error);
    EXPECT_FALSE(View.Timer);

    module->SetFaults({});
    module->Revive();
    Logic.Retry();
    EXPECT_EQ(View.Page(), TPage::Measure);
    EXPECT_TRUE(View.Timer);
}

TEST_F(MainLogicTest, PlugEventsAddAndRemoveRows)
{
    AddModule(DefaultSimSettings());
    SearchAndConnect();
    // Plugged in: probed and listed at the end.
    auto other = std::make_shared<TSimModule>(DefaultSimSettings(TSimModel::KelvoETH));
    auto plugged = MakeIntf<TSimSerialInterface>(other, "SIM9", "baudrate=9600");
    Logic.DeviceArrived(plugged->AsInterface());
    ASSERT_EQ(Logic.FoundRows().size(), 2u);
    EXPECT_EQ(Logic.FoundRows()[1], "KelvoETH|SIM9|0256");
    EXPECT_EQ(View.Selected, 1);
    EXPECT_FALSE(plugged->GetActive());

    // Unplugging what is not connected drops its row only.
    Logic.DeviceRemoved(plugged->AsInterface());
    EXPECT_EQ(Logic.FoundRows().size(), 1u);
    EXPECT_EQ(View.Page(), TPage::Measure);
    Logic.DeviceRemoved(nullptr);
    EXPECT_EQ(Logic.FoundRows().size(), 1u);

    // Unplugging the connected module disconnects and closes it.
    Logic.DeviceRemoved(Channels[0]->AsInterface());
    EXPECT_EQ(View.Page(), TPage::Search);
    EXPECT_FALSE(Logic.Connected());
    EXPECT_FALSE(Channels[0]->GetActive());
    EXPECT_TRUE(Logic.FoundRows().empty());
    EXPECT_FALSE(View.ListVisible);
}

TEST(MainLogicCommandLine, ItpAndBaudrate)
{
    TListSource source;
    TRecordingView view;
    TMainLogic logic(source, view);
    logic.ScanCommandLine({"ITP", "baudrate=1200", "x"});
    EXPECT_FALSE(logic.ShowAll420mA);
    EXPECT_EQ(logic.Session.BaudrateParam, "baudrate=1200");
    logic.ScanCommandLine({"exitpoint", "Xbaudrate=9", "baudrate=19200"});
    EXPECT_TRUE(logic.ShowAll420mA);
    EXPECT_EQ(logic.Session.BaudrateParam, "baudrate=19200");
}

TEST(MainLogicUsb, AnFTDIModuleIsListedAsUSBAndConnects)
{
    kelvo::testing::TSimD2XX sim;
    sim.Plug("FT115", "model=usb\nspeed=115200\nserial=321");
    TFTDIManager manager;
    TDeviceManagerSource source(manager);
    TRecordingView view;
    TMainLogic logic(source, view);
    logic.ScanCIs();
    EXPECT_EQ(logic.FoundRows(), (std::vector<std::string>{"KelvoUSB|USB|0321"}));
    logic.Connect(0);
    EXPECT_EQ(logic.Page(), TPage::Measure);
    EXPECT_EQ(logic.HeaderImage(), THeaderImage::USB);
    EXPECT_EQ(logic.Session.CurrentBaudRate, 115200);
    logic.Disconnect();
}

TEST_F(MainLogicTest, TheTrendKeepsASamplePerTickAndTheTimerRunsOnItsPage)
{
    TSimSettings settings = DefaultSimSettings();
    settings.Channels[2].Live = TSimLiveMode::Invalid;
    settings.Channels[1].Live = TSimLiveMode::Overrange;
    auto module = AddModule(settings);
    SearchAndConnect();
    Logic.ShowTrendTab();
    EXPECT_EQ(View.Page(), TPage::Trend);
    EXPECT_TRUE(View.Timer);
    for (int i = 0; i < 3; ++i) {
        Logic.MeasureTick();
        Logic.AwaitTick();
        Clock.Advance(1000);
    }
    TSimFaults silent;
    silent.Silent = true;
    module->SetFaults(silent);
    Logic.MeasureTick();
    Logic.AwaitTick();
    const auto& samples = Logic.History().Samples();
    ASSERT_EQ(samples.size(), 4u);
    EXPECT_EQ(samples[0].State[0], TSampleState::Ok);
    EXPECT_EQ(samples[0].State[1], TSampleState::Overrange);
    EXPECT_EQ(samples[0].State[2], TSampleState::Invalid);
    EXPECT_EQ(samples[3].State[0], TSampleState::NoAnswer);
    EXPECT_GE(samples[1].TimeMs - samples[0].TimeMs, 1000);

    // The plot: channel 1 one run that ends at the unanswered tick,
    // channel 3 nothing, channel 2 marked overranged.
    const TTrendPlot plot = PlotOf(Logic.History(), 60000);
    EXPECT_EQ(plot.Runs[0].size(), 1u);
    EXPECT_EQ(plot.Runs[0][0].size(), 3u);
    EXPECT_TRUE(plot.Runs[2].empty());
    EXPECT_EQ(plot.Overrange[1].size(), 3u);

    // The history survives page switches and goes with the connection.
    Logic.ShowCommunicationTab();
    EXPECT_FALSE(View.Timer);
    Logic.ShowTrendTab();
    EXPECT_EQ(Logic.History().Samples().size(), 4u);
    Logic.Disconnect();
    EXPECT_TRUE(Logic.History().Empty());
}

TEST(TrendHistory, KeepsTheLastHourAndPlotsOnlyTheWindow)
{
    TTrendHistory h;
    std::array<TKelvoChannelRecountedValue, 4> v{};
    for (auto& x : v)
        x.Valid = true;
    for (int64_t t = 0; t < 4000; ++t) {
        v[0].Value = static_cast<double>(t);
        h.Add(t * 1000, v, true);
    }
    ASSERT_EQ(h.Samples().size(), TTrendHistory::kCapacity);
    EXPECT_EQ(h.Samples().front().TimeMs, 400 * 1000);
    const TTrendPlot minute = PlotOf(h, 60000);
    ASSERT_EQ(minute.Runs[0].size(), 1u);
    EXPECT_EQ(minute.Runs[0][0].size(), 61u);  // 60 s back from the last sample, both ends included
    // Without a range, a line is drawn against what it shows.
    EXPECT_EQ(minute.Scale[0], std::make_pair(3939.0, 3999.0));
    EXPECT_EQ(minute.Runs[0][0].front().Value, 0.0);
    EXPECT_EQ(minute.Runs[0][0].back().Value, 1.0);
    EXPECT_LT(minute.Min, 0.0);
    EXPECT_GT(minute.Max, 1.0);
}

TEST(TrendHistory, EachChannelHasItsScaleAndAPauseIsAGap)
{
    TTrendHistory h;
    h.Ranges[0] = {0, 10};      // V
    h.Ranges[1] = {-50, 150};   // degrees
    std::array<TKelvoChannelRecountedValue, 4> v{};
    for (auto& x : v)
        x.Valid = true;
    v[0].Value = 5;
    v[1].Value = 100;
    for (int64_t t : {0, 1000, 2000, 60000, 61000})  // the page was left for a minute
        h.Add(t, v, true);
    const TTrendPlot plot = PlotOf(h, 600000);
    ASSERT_EQ(plot.Runs[0].size(), 2u);
    EXPECT_EQ(plot.Runs[0][0].size(), 3u);
    EXPECT_EQ(plot.Runs[0][0][0].Value, 0.5);
    EXPECT_EQ(plot.Runs[1][0][0].Value, 0.75);
    EXPECT_EQ(plot.Scale[1], std::make_pair(-50.0, 150.0));
    EXPECT_LT(plot.Min, 0.0);  // the whole range in view
    EXPECT_GT(plot.Max, 1.0);
}

namespace {

std::string ReadAll(const std::string& File)
{
    std::ifstream in(File, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TempFile(const std::string& Name)
{
    return (std::filesystem::temp_directory_path() / ("kelvo-" + std::to_string(std::random_device()()) + "-" + Name))
        .string();
}

}  // namespace

TEST_F(MainLogicTest, ARecordingWritesARowPerTickAndEndsWithTheConnection)
{
    auto module = AddModule(DefaultSimSettings());
    SearchAndConnect();
    const std::string file = TempFile("values.csv");
    ASSERT_TRUE(Logic.StartRecording(file));
    EXPECT_TRUE(View.Recording);
    for (int i = 0; i < 3; ++i) {
        Logic.MeasureTick();
        Logic.AwaitTick();
    }
    Logic.DeviceRemoved(Channels[0]->AsInterface());  // unplugged
    EXPECT_FALSE(Logic.Recording());
    EXPECT_FALSE(View.Recording);
    const std::string text = ReadAll(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);  // header and three rows
    EXPECT_EQ(text.rfind(CsvLine(MeasureCsvHeader()), 0), 0u);
    EXPECT_NE(text.find(",ok,"), std::string::npos) << text;
    std::filesystem::remove(file);

    // A file of other columns is refused; nothing starts.
    Logic.Connect(-1);
    SearchAndConnect();
    std::ofstream(file) << "a,b\r\n";
    EXPECT_FALSE(Logic.StartRecording(file));
    EXPECT_FALSE(Logic.Recording());
    ASSERT_FALSE(View.Notices.empty());
    EXPECT_EQ(View.Notices.back().first, TNotice::RecordingCannotStart);
    EXPECT_EQ(View.Notices.back().second.at(0), file);
    std::filesystem::remove(file);
#ifdef __linux__
    // A disk without room: not even the header goes in, and it says so.
    EXPECT_FALSE(Logic.StartRecording("/dev/full"));
    EXPECT_NE(View.Notices.back().second.at(1).find("No space"), std::string::npos);
    EXPECT_FALSE(Logic.Recording());
#endif
}

TEST_F(MainLogicTest, AConfigurationFileCarriesOneModulesSetUpOntoAnother)
{
    TSimSettings a = DefaultSimSettings(TSimModel::KelvoRS);
    a.Channels[1].Unit = "V";
    a.Channels[0].Name = "Nadrz";
    a.Address = 7;
    a.SerialNumber = 1;
    TSimSettings b = DefaultSimSettings(TSimModel::KelvoRS);
    b.SerialNumber = 2;
    AddModule(a);
    auto second = AddModule(b);
    Logic.ScanCIs();
    ASSERT_EQ(Logic.FoundRows().size(), 2u);
    Logic.Connect(0);
    const std::string file = TempFile("config.json");
    ASSERT_TRUE(Logic.SaveConfiguration(file));
    EXPECT_EQ(View.Notices.back(), std::make_pair(TNotice::ConfigurationSaved, std::vector<std::string>{file}));

    // A damaged file changes nothing, and says what is wrong with it.
    Logic.Connect(1);
    const std::string damaged = TempFile("damaged.json");
    std::ofstream(damaged) << ReadAll(file).substr(0, 200);
    EXPECT_FALSE(Logic.LoadConfiguration(damaged));
    EXPECT_EQ(View.Notices.back().first, TNotice::ConfigurationInvalid);
    EXPECT_EQ(View.Notices.back().second.at(0), damaged);
    EXPECT_EQ(View.Notices.back().second.at(1).find("kelvoctl"), std::string::npos);  // the window's words
    EXPECT_FALSE(View.Save);
    std::filesystem::remove(damaged);

    // Loaded onto the other module: its address stays (the user says no),
    // and the save writes exactly the differences.
    View.Answer = false;
    ASSERT_TRUE(Logic.LoadConfiguration(file));
    EXPECT_EQ(View.Notices.back().first, TNotice::ConfigurationLoaded);
    ASSERT_EQ(View.Questions.size(), 1u);
    EXPECT_EQ(View.Questions[0], std::make_pair(TQuestion::TakeCommSettings,
                                                std::vector<std::string>{"0042.xx.xx/0001", "0042.xx.xx/0002"}));
    EXPECT_TRUE(View.Save);
    EXPECT_EQ(Logic.Session.EditedAddress, 1);
    second->ClearLogs();
    Logic.SaveChanges();
    std::vector<uint8_t> writes;
    for (const auto& w : second->WriteLog())
        writes.push_back(w.Instruction);
    EXPECT_EQ(writes, (std::vector<uint8_t>{0x2B, 0x1E}));  // channel 1's name, channel 2's unit
    EXPECT_EQ(second->Settings().Address, 1);
    EXPECT_FALSE(View.Save);
    std::filesystem::remove(file);
}

TEST_F(MainLogicTest, ASearchProbesEveryInterfaceAtOnceAndReadsAsOneAfterTheOther)
{
    TSimSettings slow = DefaultSimSettings(TSimModel::KelvoRS);
    slow.ReplyDelayMs = 200;  // found last, listed first
    slow.SerialNumber = 1;
    AddModule(slow);
    TSimSettings fast = DefaultSimSettings();
    fast.SerialNumber = 2;
    AddModule(fast);
    TSimSettings silent = DefaultSimSettings();
    silent.Faults.Silent = true;
    AddModule(silent);
    const std::string dir = TempFile("log");
    std::filesystem::create_directories(dir);
    SetLogDirectory(dir);
    SetLogEnabled(true);
    Logic.ScanCIs();
    const std::string log = ReadAll(LogFileName().string());
    LogResetForTests();
    std::filesystem::remove_all(dir);

    EXPECT_EQ(Logic.FoundRows(), (std::vector<std::string>{"KelvoRS|SIM1|0001", "KelvoUSB|SIM2|0002"}));
    // A step of the bar for each interface done.
    ASSERT_GE(View.Progress.size(), 5u);
    const std::vector<std::pair<int, int>> steps(View.Progress.end() - 3, View.Progress.end());
    EXPECT_EQ(steps, (std::vector<std::pair<int, int>>{{10, 30}, {20, 30}, {30, 30}}));
    // The log tells one interface after the other, each from its start to
    // its result, and each interface's speeds in their order.
    std::vector<std::string> tested;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.find(";TestCI ") != std::string::npos || line.find(";CheckDevice (") != std::string::npos)
            tested.push_back(line.substr(13, line.find(';', 13) - 13));
    EXPECT_EQ(tested, (std::vector<std::string>{"TestCI SIM1", "CheckDevice (result=1)", "TestCI (result=1)",
                                                "TestCI SIM2", "CheckDevice (result=1)", "TestCI (result=1)",
                                                "TestCI SIM3", "CheckDevice (result=0)", "CheckDevice (result=0)",
                                                "TestCI (result=0)"}))
        << log;
}
