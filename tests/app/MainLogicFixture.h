#pragma once
// The window's logic against simulated modules on in-process channels, on
// a manual clock, through a view that records what the window would show.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uMainLogic.h"
#include "uSimSerialInterface.h"
#include "uTickUtils.h"

namespace kelvo::testing {

using TListSource = TFixedInterfaces;

class TRecordingView : public IMainView {
public:
    std::vector<TPage> Pages;
    bool Timer = false;
    THeaderImage Header = THeaderImage::XX;
    std::vector<std::pair<int, int>> Progress;
    std::vector<TWaitingView> Waiting;
    std::vector<std::pair<TNotice, std::vector<std::string>>> Notices;
    std::vector<std::string> Rows;
    int Selected = -2;
    bool ListVisible = false;
    bool SettingsOpen = false;
    TCommunicationPageView Communication;
    TChannelPageView Channel;
    bool Save = false;
    std::array<TMeasuredRowView, 4> Measured;
    std::string ModuleName;
    int TabPresses = 0;
    int Fills = 0;          // pages filled with module data
    int MeasuredShows = 0;  // ticks shown
    std::function<void()> OnProcessMessages;

    void ShowPage(TPage P, bool T) override { Pages.push_back(P), Timer = T; }
    void PressMeasuringTab() override { ++TabPresses; }
    void ShowHeaderImage(THeaderImage I) override { Header = I; }
    void SetBusy(bool) override {}
    void ShowSearchProgress(int Position, int Maximum) override { Progress.emplace_back(Position, Maximum); }
    void ShowWaiting(const TWaitingView& W) override { Waiting.push_back(W); }
    void ShowNotice(TNotice N, const std::vector<std::string>& A) override { Notices.emplace_back(N, A); }
    void ShowUnusableInterfaces(const std::vector<TUnusableInterface>& U) override { Unusable = U; }
    std::vector<TUnusableInterface> Unusable;
    void ShowFoundModules(const std::vector<std::string>& R, int S, bool V) override
    {
        Rows = R, Selected = S, ListVisible = V;
    }
    void ShowSearchSettings(bool Open, const std::vector<TSearchSpeedView>&) override { SettingsOpen = Open; }
    void FillCommunicationPage(const TCommunicationPageView& P) override { Communication = P, ++Fills; }
    void FillChannelPage(const TChannelPageView& P) override { Channel = P, ++Fills; }
    void ShowSaveButton(bool V) override { Save = V; }
    void ShowMeasuredValues(const std::array<TMeasuredRowView, 4>& R, const std::string& N) override
    {
        Measured = R, ModuleName = N, ++MeasuredShows;
    }
    void ShowTrend(const TTrendHistory&) override { ++TrendShows; }
    void ShowRecording(bool On, const std::string& F) override { Recording = On, RecordFile = F; }
    bool Ask(TQuestion Q, const std::vector<std::string>& A) override
    {
        Questions.emplace_back(Q, A);
        ++Asked;
        return Answer;
    }
    int Asked = 0;
    bool Recording = false;
    std::string RecordFile;
    std::vector<std::pair<TQuestion, std::vector<std::string>>> Questions;
    bool Answer = false;
    int TrendShows = 0;
    void ProcessMessages() override
    {
        if (OnProcessMessages)
            OnProcessMessages();
    }
    TPage Page() const { return Pages.empty() ? TPage::Search : Pages.back(); }
};

class MainLogicTest : public ::testing::Test {
protected:
    // A simulated module on port SIMn, n counting from 1.
    std::shared_ptr<TSimModule> AddModule(TSimSettings Settings)
    {
        auto module = std::make_shared<TSimModule>(std::move(Settings));
        const std::string name = "SIM" + std::to_string(Source.Items.size() + 1);
        auto channel = MakeIntf<TSimSerialInterface>(module, name, "baudrate=9600");
        Source.Items.emplace_back(channel->AsInterface());
        Channels.push_back(channel);
        return module;
    }
    // Searches, connects to the last row and ends on the measuring page.
    void SearchAndConnect()
    {
        Logic.ScanCIs();
        ASSERT_FALSE(Logic.FoundRows().empty());
        Logic.Connect(static_cast<int>(Logic.FoundRows().size()) - 1);
        ASSERT_EQ(Logic.Page(), TPage::Measure);
    }

    TManualTimeSource Clock{1000};
    TScopedTimeSource ClockScope{&Clock};
    TListSource Source;
    TRecordingView View;
    std::vector<IntfPtr<TSimSerialInterface>> Channels;
    TMainLogic Logic{Source, View};
};

}  // namespace kelvo::testing
