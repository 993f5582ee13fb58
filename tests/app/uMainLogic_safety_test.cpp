// What the window must never do, whatever the user clicks and whenever:
// show, edit or save settings that were not read from the connected
// module, or write a value its editor could not hold; and how it stays
// alive while a module keeps it waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "MainLogicFixture.h"
#include "uConversionUtils.h"
#include "uEditorLimits.h"
#include "uMainThreadQueue.h"

using namespace kelvo;
using kelvo::testing::MainLogicTest;

namespace {

// Holds the worker of a flow at its next sleep until the GUI thread has
// handled messages once, so that what a test does from there happens while
// the exchange is under way (the manual clock would let it end at once).
class TWorkerGate {
public:
    explicit TWorkerGate(TManualTimeSource& Clock) : FClock(Clock)
    {
        Clock.OnSleep = [this](uint32_t) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!FOpen && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
    }
    ~TWorkerGate() { FClock.OnSleep = nullptr; }
    void Open() { FOpen = true; }

private:
    TManualTimeSource& FClock;
    std::atomic<bool> FOpen{false};
};

TSimSettings Module(TSimModel Model, uint16_t Serial, const std::string& Name)
{
    TSimSettings s = DefaultSimSettings(Model);
    s.SerialNumber = Serial;
    for (auto& c : s.Channels)
        c.Name = Name;
    return s;
}

}  // namespace

TEST_F(MainLogicTest, AFailedReadLeavesNothingOfAnEarlierModuleToShowEditOrSave)
{
    TSimSettings a = Module(TSimModel::KelvoRS, 1, "A");
    a.UserData = "Hala A";
    AddModule(a);
    auto b = AddModule(Module(TSimModel::KelvoRS, 2, "B"));
    Logic.ScanCIs();
    ASSERT_EQ(Logic.FoundRows().size(), 2u);
    Logic.Connect(0);
    ASSERT_EQ(View.Page(), TPage::Measure);
    Logic.Disconnect();
    // B answers the probe, but no two replies of its read agree.
    TSimFaults unstable;
    unstable.Unstable = true;
    b->SetFaults(unstable);
    Logic.Connect(1);
    ASSERT_EQ(View.Page(), TPage::Error);
    // Nothing of A, nothing half-read.
    EXPECT_EQ(Logic.Session.ModuleRecord.Info.SerialNumber, 0);
    EXPECT_EQ(Logic.Session.ModuleRecord.Info.UserData, "");
    EXPECT_EQ(Logic.Session.EditedUserData, "");

    // B answers everything now: whatever reached it would be applied.
    b->SetFaults({});
    b->ClearLogs();
    const int fills = View.Fills;
    for (uint8_t ch = 1; ch <= 4; ++ch)
        Logic.ShowChannelTab(ch);
    Logic.ShowCommunicationTab();
    Logic.ShowMeasuringTab();
    Logic.ShowTrendTab();
    EXPECT_EQ(View.Page(), TPage::Error);
    EXPECT_EQ(View.Fills, fills);
    Logic.EditChannelName("x");
    Logic.EditUserData("x");
    Logic.EditDecimals(1);
    Logic.EditAddress(0);
    Logic.EditSpeed(9);
    Logic.EditUpper(5);
    EXPECT_FALSE(View.Save);
    Logic.SaveChanges();
    EXPECT_FALSE(Logic.LoadConfiguration("x.json"));
    Logic.MeasureTick();
    EXPECT_FALSE(Logic.TickRunning());
    EXPECT_TRUE(b->WriteLog().empty());
    for (const TSimRequest& r : b->RequestLog())
        EXPECT_NE(r.Instruction, kInstrWriteEnable);

    // A read that succeeds opens B's pages, with B's settings.
    Logic.Retry();
    ASSERT_EQ(View.Page(), TPage::Measure);
    Logic.ShowChannelTab(1);
    EXPECT_EQ(View.Channel.Name, "B");
}

TEST_F(MainLogicTest, EveryEditIsKeptWithinItsEditorsLimits)
{
    TSimSettings settings = DefaultSimSettings(TSimModel::KelvoRS);
    settings.Channels[0].Decimals = 0;
    auto module = AddModule(settings);
    SearchAndConnect();
    Logic.ShowChannelTab(1);
    const auto& ch = Logic.Session.EditedChannels[0];
    const auto& w = Logic.Session.EditedWatches[0];
    auto shownRange = [&] {
        float lo = 0, hi = 0;
        CoefficientsToRange(ch.Offset, ch.Slope, kRangeSpan, lo, hi);
        return std::make_pair(lo, hi);
    };
    struct TCase {
        const char* What;
        std::function<void()> Edit;
        std::function<bool()> Holds;
    };
    const TCase cases[] = {
        {"decimals 5 is 2", [&] { Logic.EditDecimals(5); }, [&] { return ch.Decimals == 2; }},
        {"decimals -5 is 0", [&] { Logic.EditDecimals(-5); }, [&] { return ch.Decimals == 0; }},
        {"upper limit 99999 is 10000", [&] { Logic.EditUpper(99999); }, [&] { return w.Upper == 10000.0f; }},
        {"lower limit -1e9 is -10000", [&] { Logic.EditLower(-1e9); }, [&] { return w.Lower == -10000.0f; }},
        {"hysteresis NaN is 0", [&] { Logic.EditHysteresis(NAN); }, [&] { return w.Hysteresis == 0.0f; }},
        {"a range beyond both limits stays within them", [&] { Logic.EditRange(-1e12, 1e12); },
         [&] {
             const auto [lo, hi] = shownRange();
             return lo >= -99999999.0 && hi <= 99999999.0 && hi > 99999000.0;
         }},
        {"a range maximum of 99999999 is not held as 100000000", [&] { Logic.EditRange(0, 99999999); },
         [&] { return shownRange().second <= 99999999.0; }},
        {"a name of 25 letters keeps 20", [&] { Logic.EditChannelName(std::string(25, 'N')); },
         [&] { return ch.Name == std::string(20, 'N') + " "; }},
        {"a unit of 7 letters keeps 5", [&] { Logic.EditChannelUnit("ABCDEFG"); }, [&] { return ch.Unit == "ABCDE"; }},
        {"user data without line breaks or tabs", [&] { Logic.EditUserData("ab\ncd\tef\r"); },
         [&] { return Logic.Session.EditedUserData == "abcdef"; }},
        {"user data of 20 letters keeps 16", [&] { Logic.EditUserData(std::string(20, 'u')); },
         [&] { return Logic.Session.EditedUserData == std::string(16, 'u'); }},
        {"gain 9 does not exist", [&] { Logic.EditGain(9); }, [&] { return ch.GainCode < 8; }},
        {"address 254 cannot be given", [&] { Logic.EditAddress(254); },
         [&] { return Logic.Session.EditedAddress <= 253; }},
    };
    for (const TCase& c : cases) {
        c.Edit();
        EXPECT_TRUE(c.Holds()) << c.What;
    }

    // What the save sends is what the working copy holds: decimals 2.
    Logic.Session.ResetWorkingCopy();
    Logic.EditDecimals(5);
    module->ClearLogs();
    Logic.SaveChanges();
    ASSERT_EQ(module->WriteLog().size(), 1u);
    EXPECT_EQ(module->WriteLog()[0].Data, Bytes({0x01, 0x01, 0x15, 0x02}));
}

TEST_F(MainLogicTest, OnlyAKelvoRSLetsItsAddressAndSpeedBeChanged)
{
    AddModule(DefaultSimSettings(TSimModel::KelvoUSB));
    SearchAndConnect();
    Logic.ShowCommunicationTab();
    Logic.EditAddress(5);
    Logic.EditSpeed(9);
    EXPECT_FALSE(View.Save);
    EXPECT_FALSE(Logic.Session.WorkingCopyDiffers());
}

TEST_F(MainLogicTest, WhileAConnectWaitsTheLabelTellsWhatForAndClicksAreDropped)
{
    auto module = AddModule(Module(TSimModel::KelvoRS, 1, "A"));
    Logic.ScanCIs();
    ASSERT_EQ(Logic.FoundRows().size(), 1u);
    View.Waiting.clear();
    module->ClearLogs();
    int pumped = 0;
    {
        TWorkerGate gate(Clock);
        View.OnProcessMessages = [&] {
            if (pumped++ > 0)
                return;
            // Everything a user might click while the window waits.
            Logic.ShowChannelTab(1);
            Logic.ShowCommunicationTab();
            Logic.EditChannelName("x");
            Logic.SaveChanges();
            Logic.ScanCIs();
            Logic.Disconnect();
            Logic.Retry();
            gate.Open();
        };
        Logic.Connect(0);
        View.OnProcessMessages = nullptr;
    }
    ASSERT_GT(pumped, 0);
    EXPECT_EQ(View.Page(), TPage::Measure);
    EXPECT_TRUE(Logic.ModuleReady());
    EXPECT_FALSE(Logic.Session.WorkingCopyDiffers());
    EXPECT_TRUE(module->WriteLog().empty());
    for (TPage p : View.Pages)
        EXPECT_NE(p, TPage::Channel);

    // The connecting state, then the speed tried and each step of the read.
    EXPECT_NE(std::find(View.Pages.begin(), View.Pages.end(), TPage::Connecting), View.Pages.end());
    auto shown = [&](TWaitStep Step, int Channel) {
        return std::any_of(View.Waiting.begin(), View.Waiting.end(), [&](const TWaitingView& w) {
            return w.Interface == "SIM1" && w.Step == Step && w.Channel == Channel;
        });
    };
    EXPECT_TRUE(std::any_of(View.Waiting.begin(), View.Waiting.end(),
                            [](const TWaitingView& w) { return w.Step == TWaitStep::Probe && w.Speed == 9600; }));
    EXPECT_TRUE(shown(TWaitStep::Identification, 0));
    EXPECT_TRUE(shown(TWaitStep::ChannelConfig, 2));
    EXPECT_TRUE(shown(TWaitStep::ChannelWatch, 4));
    EXPECT_TRUE(shown(TWaitStep::ProductionData, 0));

    // While a save runs, the pages and the working copy stay as they are.
    Logic.ShowChannelTab(1);
    Logic.EditChannelUnit("K");
    const size_t pages = View.Pages.size();
    {
        TWorkerGate gate(Clock);
        View.OnProcessMessages = [&] {
            Logic.ShowChannelTab(2);
            Logic.EditChannelUnit("X");
            Logic.ShowMeasuringTab();
            gate.Open();
        };
        Logic.SaveChanges();
        View.OnProcessMessages = nullptr;
    }
    EXPECT_EQ(View.Pages.size(), pages);
    EXPECT_EQ(Logic.ChannelShown(), 1);
    ASSERT_EQ(module->WriteLog().size(), 1u);
    EXPECT_EQ(module->WriteLog()[0].Data, Bytes({0x01, 0x01, 0x13, 'K', ' ', ' ', ' ', ' '}));
    EXPECT_FALSE(Logic.Session.WorkingCopyDiffers());
}

TEST_F(MainLogicTest, CancelEndsASearchAndAConnectAtOnce)
{
    TSimSettings silent = DefaultSimSettings();
    silent.Faults.Silent = true;
    for (int i = 0; i < 3; ++i)
        AddModule(silent);
    auto answering = AddModule(DefaultSimSettings());
    {
        TWorkerGate gate(Clock);
        View.OnProcessMessages = [&] {
            Logic.Cancel();
            gate.Open();
        };
        Logic.ScanCIs();
    }
    EXPECT_EQ(View.Page(), TPage::Search);
    EXPECT_TRUE(answering->RequestLog().empty());  // never reached
    EXPECT_TRUE(Logic.FoundRows().empty());

    View.OnProcessMessages = nullptr;
    Logic.ScanCIs();
    ASSERT_EQ(Logic.FoundRows().size(), 1u);
    answering->SetFaults(silent.Faults);
    {
        TWorkerGate gate(Clock);
        View.OnProcessMessages = [&] {
            Logic.Cancel();
            gate.Open();
        };
        Logic.Connect(0);
    }
    EXPECT_EQ(View.Page(), TPage::Search);
    EXPECT_FALSE(Logic.Connected());
    EXPECT_FALSE(Channels[3]->GetActive());
}

TEST_F(MainLogicTest, PlugEventsDuringAFlowAreHandledWhenItHasEnded)
{
    auto first = AddModule(DefaultSimSettings());
    // A second module, plugged in while the search runs.
    auto late = std::make_shared<TSimModule>(DefaultSimSettings(TSimModel::KelvoUSB));
    auto lateChannel = MakeIntf<TSimSerialInterface>(late, "SIM9", "baudrate=9600");
    bool plugged = false;
    View.OnProcessMessages = [&] {
        if (!plugged) {
            plugged = true;
            Logic.DeviceArrived(lateChannel->AsInterface());
            Logic.DeviceRemoved(Channels[0]->AsInterface());
        }
    };
    Logic.ScanCIs();
    View.OnProcessMessages = nullptr;
    ASSERT_TRUE(plugged);
    EXPECT_EQ(Logic.FoundRows().size(), 1u);  // nothing changed inside the search
    TMainThreadQueue::Drain();
    ASSERT_EQ(Logic.FoundRows().size(), 1u);
    EXPECT_EQ(Logic.FoundInterfaces()[0].get(), lateChannel->AsInterface());  // the removed one gone, the new one in
    // A device that is listed already is not listed twice.
    Logic.DeviceArrived(lateChannel->AsInterface());
    EXPECT_EQ(Logic.FoundRows().size(), 1u);
}

TEST_F(MainLogicTest, TheWindowTellsWhatASearchAndASaveCameTo)
{
    auto module = AddModule(DefaultSimSettings(TSimModel::KelvoRS));
    TSimSettings silent = DefaultSimSettings();
    silent.Faults.Silent = true;
    auto deaf = AddModule(silent);
    auto notices = [&] {
        std::vector<TNotice> n;
        for (const auto& [notice, args] : View.Notices)
            n.push_back(notice);
        return n;
    };
    SearchAndConnect();
    const std::vector<TNotice> afterSearch = notices();
    EXPECT_EQ(std::count(afterSearch.begin(), afterSearch.end(), TNotice::NoModuleFound), 0);

    Logic.ShowChannelTab(1);
    Logic.EditChannelUnit("K");
    View.Notices.clear();
    Logic.SaveChanges();
    EXPECT_EQ(notices().front(), TNotice::Saving);
    EXPECT_EQ(View.Notices.front().second, (std::vector<std::string>{"1", "1"}));
    EXPECT_EQ(notices().back(), TNotice::Saved);

    TSimFaults locked;
    locked.IgnoreWrites = true;
    module->SetFaults(locked);
    Logic.EditChannelUnit("V");
    Logic.SaveChanges();
    EXPECT_EQ(notices().back(), TNotice::SaveNotTaken);
    EXPECT_EQ(View.Channel.Unit, "K");  // what the module holds

    TSimFaults silentNow;
    silentNow.Silent = true;
    module->SetFaults(silentNow);
    Logic.EditChannelUnit("V");
    Logic.SaveChanges();
    EXPECT_EQ(notices().back(), TNotice::SaveFailed);
    EXPECT_EQ(View.Page(), TPage::Error);

    Logic.Disconnect();
    module->SetFaults(silentNow);
    Logic.ScanCIs();
    EXPECT_EQ(notices().back(), TNotice::NoModuleFound);
    (void)deaf;
}

TEST_F(MainLogicTest, ClosingAsksOnlyWhenChangesWouldBeLostAndNeverDuringAFlow)
{
    AddModule(DefaultSimSettings(TSimModel::KelvoRS));
    EXPECT_TRUE(Logic.CanClose());
    SearchAndConnect();
    EXPECT_TRUE(Logic.CanClose());
    EXPECT_EQ(View.Asked, 0);
    Logic.ShowChannelTab(1);
    Logic.EditChannelUnit("Q");
    View.Answer = false;
    EXPECT_FALSE(Logic.CanClose());
    View.Answer = true;
    EXPECT_TRUE(Logic.CanClose());
    EXPECT_EQ(View.Asked, 2);

    bool closable = true;
    {
        TWorkerGate gate(Clock);
        View.OnProcessMessages = [&] {
            closable = closable && Logic.CanClose();
            gate.Open();
        };
        Logic.Retry();
        View.OnProcessMessages = nullptr;
    }
    EXPECT_FALSE(closable);
}

TEST_F(MainLogicTest, ATickThatEndsAfterADisconnectShowsNothing)
{
    AddModule(DefaultSimSettings());
    SearchAndConnect();
    const int shown = View.MeasuredShows;
    Logic.MeasureTick();
    EXPECT_TRUE(Logic.TickRunning());
    Logic.MeasureTick();  // one poll at a time
    Logic.Disconnect();
    EXPECT_FALSE(Logic.TickRunning());
    TMainThreadQueue::Drain();
    EXPECT_EQ(View.MeasuredShows, shown);
}
