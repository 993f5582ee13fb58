// The window at work, clicked as a technician clicks it: simulated modules
// on pseudo-terminals linked as COM ports and on the simulated D2XX
// library, found through the device manager.

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include <unistd.h>

#include "QtTestApp.h"
#include "SimD2XX.h"
#include "uDesignStyle.h"
#include "uLanguage.h"
#include "uMain.h"
#include "uMainThreadQueue.h"
#include "uSimPty.h"
#include "uLanguageChoice.h"
#include "uTextFit.h"
#include "uci_FTDImanager.h"

using namespace kelvo;

namespace {

class WindowFlow : public ::testing::Test, kelvo::testing::TWithQtApp {
protected:
    WindowFlow()
    {
        TMainThreadQueue::Init();
        // As the program does: what threads post runs from Qt's event loop.
        TMainThreadQueue::SetWakeUp([] {
            QMetaObject::invokeMethod(qApp, [] { TMainThreadQueue::Drain(); }, Qt::QueuedConnection);
        });
        Lang.SetProgramDir(Sim.Dir.string());
    }
    ~WindowFlow() override
    {
        TMainThreadQueue::SetWakeUp(nullptr);
        Form.reset();
        for (auto& p : Ptys)
            p->Stop();
    }

    // A module on COM<Port>.
    TSimModule& ServeCom(unsigned Port, TSimSettings Settings)
    {
        Modules.push_back(std::make_unique<TSimModule>(std::move(Settings)));
        Ptys.push_back(std::make_unique<TSimPty>(*Modules.back()));
        TSimPtyOptions options;
        options.LinkDir = Sim.Dir.string();
        options.PortNumber = Port;
        Ptys.back()->Start(options);
        return *Modules.back();
    }
    void Open()
    {
        Manager = std::make_unique<TFTDIManager>();
        Form = std::make_unique<TfMain>(nullptr, &Lang, Manager.get());
        Form->FormCreate();
        Form->FormShow();
        Form->show();
    }
    void Click(QWidget* W) { QTest::mouseClick(W, Qt::LeftButton); }
    QStringList Rows() const
    {
        QStringList r;
        for (int i = 0; i < Form->lbFoundedModules->count(); ++i)
            r << Form->lbFoundedModules->item(i)->text();
        return r;
    }
    // Search, then connect to the last row.
    void Connect()
    {
        Click(Form->sSearch);
        ASSERT_GT(Form->lbFoundedModules->count(), 0);
        Click(Form->sConnect);
        ASSERT_EQ(Form->VisiblePage(), TMainPage::Measure);
    }

    kelvo::testing::TSimD2XX Sim;
    TLanguage Lang;
    std::vector<std::unique_ptr<TSimModule>> Modules;
    std::vector<std::unique_ptr<TSimPty>> Ptys;
    std::unique_ptr<TFTDIManager> Manager;
    std::unique_ptr<TfMain> Form;
};

}  // namespace

TEST_F(WindowFlow, SearchFindsTheRSModuleOnlyAtATickedSpeedAndShowsUSBForTheFTDIRow)
{
    TSimSettings rs = DefaultSimSettings(TSimModel::KelvoRS);
    rs.SpeedCode = 7;  // 19200
    rs.SerialNumber = 77;
    ServeCom(3, rs);
    Sim.Plug("FT42", "model=usb\nspeed=115200\nserial=42");
    Open();
    Click(Form->sSearch);
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Search);
    EXPECT_EQ(Rows(), QStringList{"KelvoUSB|USB|0042"});

    Click(Form->shpxSearchSettings);
    Click(Form->chkSearch19200);
    Click(Form->sSearch);
    EXPECT_FALSE(Form->chkSearch19200->isVisible());  // the search closes the settings
    EXPECT_EQ(Rows(), (QStringList{"KelvoRS|COM3|0077", "KelvoUSB|USB|0042"}));
    EXPECT_EQ(Form->lbFoundedModules->currentRow(), 1);
}

TEST_F(WindowFlow, ConnectMeasuresAndTheTimerRunsOnlyOnTheMeasuringPage)
{
    TSimSettings s = DefaultSimSettings(TSimModel::KelvoRS);
    s.Channels[1].Live = TSimLiveMode::Overrange;
    ServeCom(3, s);
    Open();
    Connect();
    EXPECT_TRUE(Form->Timer1->isActive());
    EXPECT_TRUE(Form->sbMeasuring->Down());
    EXPECT_TRUE(Form->imgRS->isVisible());
    EXPECT_FALSE(Form->imgXX->isVisible());
    // The timer's tick shows the values.
    EXPECT_TRUE(QTest::qWaitFor([&] { return Form->lMeasuringChannel2Value->text() == "OVR "; }, 5000));
    EXPECT_EQ(Form->lMeasuringChannel2Value->palette().color(QPalette::WindowText), ColorFromTColor(255));
    EXPECT_NE(Form->lMeasuringChannel1Value->text(), "-");

    Click(Form->sbChannel2);
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Channel);
    EXPECT_FALSE(Form->sbMeasuring->Down());
    EXPECT_FALSE(Form->Timer1->isActive());
    Click(Form->sbCommunication);
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Connection);
    EXPECT_TRUE(Form->cbADR->isEnabled());  // a KelvoRS: address and speed may change
    EXPECT_EQ(Form->cbCommunicationSpeed->currentText(), "9 600 Bd");
    Click(Form->sbMeasuring);
    EXPECT_TRUE(Form->Timer1->isActive());
    Click(Form->ShapeEx2);  // "Odpojit"
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Search);
    EXPECT_FALSE(Form->Timer1->isActive());
    EXPECT_TRUE(Form->imgXX->isVisible());
}

TEST_F(WindowFlow, EditingShowsTheSaveButtonAndSavingWritesOnlyTheChange)
{
    TSimModule& module = ServeCom(3, DefaultSimSettings(TSimModel::KelvoUSB));
    Open();
    Connect();
    Click(Form->sbCommunication);
    EXPECT_FALSE(Form->cbADR->isEnabled());
    EXPECT_EQ(Form->cbADR->palette().color(QPalette::Base), ColorFromTColor(15132399));

    Click(Form->sbChannel2);
    EXPECT_FALSE(Form->sSaveChanges1->isVisible());
    Form->eChannelUnit->selectAll();
    QTest::keyClicks(Form->eChannelUnit, "V");
    EXPECT_TRUE(Form->sSaveChanges1->isVisible());
    module.ClearLogs();
    Click(Form->sSaveChanges1);
    ASSERT_EQ(module.WriteLog().size(), 1u);
    EXPECT_EQ(module.WriteLog()[0].Instruction, 0x1E);
    EXPECT_EQ(module.WriteLog()[0].Data, Bytes({0x01, 0x02, 0x13, 0x56, 0x20, 0x20, 0x20, 0x20}));
    EXPECT_FALSE(Form->sSaveChanges1->isVisible());
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Channel);
    EXPECT_EQ(Form->eChannelUnit->text(), "V");
}

TEST_F(WindowFlow, The4to20mARowMovesTheRowsBelowItAndItpShowsItEverywhere)
{
    TSimSettings s = DefaultSimSettings();
    s.Channels[0].Sensor4to20mA = 1;
    s.Channels[1].Sensor4to20mA = 0;
    ServeCom(3, s);
    Open();
    Connect();
    Click(Form->sbChannel1);
    // Where a row stands on the page (the watching rows are on a panel).
    auto onPage = [&](QWidget* W) { return W->mapTo(Form->pChannel, QPoint()).y(); };
    const int unitY = Form->pUnit->y();
    const int hystY = onPage(Form->pWatchngHysterese);
    const int headingY = onPage(Form->lWatchingMearuredValue);
    EXPECT_TRUE(Form->p4_20mA->isVisible());
    Click(Form->sbChannel2);
    EXPECT_FALSE(Form->p4_20mA->isVisible());
    EXPECT_EQ(Form->pUnit->y(), unitY - 26);
    EXPECT_EQ(onPage(Form->pWatchngHysterese), hystY - 26);
    EXPECT_EQ(onPage(Form->lWatchingMearuredValue), headingY - 26);
    EXPECT_TRUE(Form->pChannel->rect().contains(Form->lWatchingMearuredValue->geometry().translated(
        Form->pChannelWatching->pos())));  // the heading stays in view
    Click(Form->sbChannel1);
    EXPECT_EQ(Form->pUnit->y(), unitY);

    Form->Logic().ShowAll420mA = true;
    Click(Form->sbChannel2);
    EXPECT_TRUE(Form->p4_20mA->isVisible());
    EXPECT_EQ(Form->pUnit->y(), unitY);
}

TEST_F(WindowFlow, AModuleThatStopsAnsweringGivesTheErrorPageAndRetryBringsItBack)
{
    TSimModule& module = ServeCom(3, DefaultSimSettings());
    Open();
    Click(Form->sSearch);
    // Answers the probe, but no two replies of the read agree.
    TSimFaults unstable;
    unstable.Unstable = true;
    module.SetFaults(unstable);
    Click(Form->sConnect);
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Error);
    EXPECT_FALSE(Form->Timer1->isActive());
    module.SetFaults({});
    Click(Form->ShapeEx5);  // "Opakovat"
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Measure);
    EXPECT_TRUE(Form->Timer1->isActive());
}

TEST_F(WindowFlow, UnpluggingTheConnectedUSBModuleReturnsToTheSearchPage)
{
    Sim.Plug("FT42", "model=usb\nspeed=115200\nserial=42");
    Open();
    Connect();
    EXPECT_TRUE(Form->imgUSB->isVisible());
    Sim.Unplug("FT42");
    ASSERT_TRUE(TMainThreadQueue::DrainUntil([&] { return Form->VisiblePage() == TMainPage::Search; }, 5000));
    EXPECT_FALSE(Form->Logic().Connected());
    EXPECT_EQ(Form->lbFoundedModules->count(), 0);
    EXPECT_FALSE(Form->lbFoundedModules->isVisible());
}

TEST_F(WindowFlow, TheTrendPageRunsTheTimerAndRecordsThroughItsButtons)
{
    ServeCom(3, DefaultSimSettings());
    Open();
    Connect();
    Click(Form->sbTrend);
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Trend);
    EXPECT_TRUE(Form->Timer1->isActive());
    const QString file = QString::fromStdString((Sim.Dir / "run.csv").string());
    Form->ChooseFile = [&](bool Save, const QString&, const QString&) { return Save ? file : QString(); };
    Click(Form->sTrendRecordStart);
    EXPECT_TRUE(Form->sTrendRecordStop->isVisible());
    EXPECT_EQ(Form->lTrendRecordFile->text(), "run.csv");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Logic().History().Samples().size() >= 2; }, 5000));
    Click(Form->sTrendRecordStop);
    EXPECT_TRUE(Form->sTrendRecordStart->isVisible());
    std::ifstream in(file.toStdString(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

TEST_F(WindowFlow, AnEditEndedByTheSaveButtonIsSavedWithinItsLimitsAndTheMemoTakesOneLine)
{
    TSimSettings s = DefaultSimSettings(TSimModel::KelvoRS);
    s.Channels[0].Decimals = 0;
    TSimModule& module = ServeCom(3, s);
    Open();
    Connect();
    Click(Form->sbChannel1);
    Form->ieDecimals->setFocus();
    Form->ieDecimals->selectAll();
    QTest::keyClicks(Form->ieDecimals, "5");
    module.ClearLogs();
    Click(Form->sSaveChanges1);  // takes no focus: the editor is never left
    ASSERT_EQ(module.WriteLog().size(), 1u);
    EXPECT_EQ(module.WriteLog()[0].Data, Bytes({0x01, 0x01, 0x15, 0x02}));
    EXPECT_EQ(Form->ieDecimals->text(), "2");
    EXPECT_FALSE(Form->lNotice->text().isEmpty());  // the save is confirmed

    Click(Form->sbCommunication);
    Form->mUserData->setFocus();
    Form->mUserData->selectAll();
    QTest::keyClicks(Form->mUserData, "ab");
    QTest::keyClick(Form->mUserData, Qt::Key_Return);
    QTest::keyClicks(Form->mUserData, "c\td");
    Form->mUserData->insertPlainText("\nef");  // as a paste puts it
    EXPECT_EQ(Form->mUserData->toPlainText(), "abcdef");
    EXPECT_EQ(Form->Logic().Session.EditedUserData, "abcdef");
}

TEST_F(WindowFlow, ClicksWhileConnectingAreDroppedAndCancelReturnsToTheSearch)
{
    TSimModule& module = ServeCom(3, DefaultSimSettings());
    Open();
    Click(Form->sSearch);
    ASSERT_EQ(Form->lbFoundedModules->count(), 1);
    TSimFaults silent;
    silent.Silent = true;
    module.SetFaults(silent);
    // While the window waits for the silent module, a tab is clicked (and
    // dropped), then "Přerušit".
    bool waited = false;
    QTimer::singleShot(300, Form.get(), [&] {
        waited = Form->sCancel->isVisible() && Form->lConnecting->isVisible();
        Click(Form->sbChannel2);
    });
    QTimer::singleShot(600, Form.get(), [&] { Click(Form->sCancel); });
    Click(Form->sConnect);
    EXPECT_TRUE(waited);
    EXPECT_EQ(Form->VisiblePage(), TMainPage::Search);
    EXPECT_FALSE(Form->Logic().Connected());
    EXPECT_FALSE(Form->sbChannel2->Down());
    EXPECT_FALSE(Form->lbFoundedModules->isHidden());
}

TEST_F(WindowFlow, ALanguageChosenOnAChannelPageKeepsThatChannelsHeadingAndRange)
{
    ServeCom(3, DefaultSimSettings());
    std::filesystem::copy_file(std::filesystem::path(KELVO_LANG_SOURCE_DIR) / "english.lng.xml",
                               Sim.Dir / "english.lng.xml");
    Open();
    Connect();
    Click(Form->ShapeEx3);
    const QString range = Form->Label4->text().section(':', 1);
    ASSERT_EQ(Form->lChannel->text(), "Kanál 3");
    Form->cbbLanguageChange(Form->cbbLanguage->findText("English"));
    EXPECT_EQ(Form->lChannel->text(), "Channel 3");
    EXPECT_EQ(Form->Label4->text(), "( Input range:" + range);
    // The searching label names a speed as the language's settings do.
    TWaitingView probe{"COM3", TWaitStep::Probe, 115200};
    EXPECT_EQ(Form->WaitingText(probe), "COM3 / 115,200 bps");
}

TEST_F(WindowFlow, EveryTextOfEveryShippedLanguageFitsItsControlOnEveryPage)
{
    TSimSettings s = DefaultSimSettings(TSimModel::KelvoRS);
    s.Channels[0].Name = "Teplota vody v kotli";  // as long as a name can be
    s.Channels[1].Name = std::string(20, 'W');     // and as wide: shortened, not cut
    s.Channels[0].Sensor4to20mA = 1;
    s.UserData = "Rozvaděč 3, hala";
    ServeCom(3, s);
    for (const char* file : {"cesky.lng.xml", "english.lng.xml"})
        std::filesystem::copy_file(std::filesystem::path(KELVO_LANG_SOURCE_DIR) / file, Sim.Dir / file);
    Open();
    Connect();
    auto expectFits = [&](const QString& Where) {
        EXPECT_EQ(ClippedTexts(Form.get()), QStringList()) << Where.toStdString();
    };
    // The design's own texts, then each language file's.
    for (int language = -1; language < Form->cbbLanguage->count(); ++language) {
        if (language >= 0)
            Form->cbbLanguageChange(language);
        const QString name = language < 0 ? QStringLiteral("design") : Form->cbbLanguage->itemText(language);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->lMeasuringChannel1Value->text() != "-"; }, 5000));
        Click(Form->sbMeasuring);
        expectFits(name + " measuring");
        for (TShapeEx* tab : {Form->sbCommunication, Form->sbChannel1, Form->sbTrend}) {
            Click(tab);
            expectFits(name + " " + tab->objectName());
        }
        Form->Logic().ShowPanel(TPage::Error);
        expectFits(name + " error");
        Form->Logic().ShowPanel(TPage::Connecting);
        Form->ShowWaiting({"COM3", TWaitStep::ChannelWatch, 0, 4, 5, 5});
        expectFits(name + " connecting");
        Form->Logic().ShowPanel(TPage::Searching);
        Form->ShowWaiting({"COM3", TWaitStep::Probe, 230400});
        expectFits(name + " searching");
        Form->Logic().ShowPanel(TPage::Search);
        expectFits(name + " search");
        Form->Logic().ToggleSearchSettings();
        expectFits(name + " search settings");
        Form->Logic().ToggleSearchSettings();
        Form->ShowNotice(TNotice::NoModuleFound, {});
        using K = TOpenTrouble::TKind;
        Form->ShowUnusableInterfaces({{"COM33", {K::NoPermission, "dialout", "", ""}},
                                      {"COM34", {K::InUse, "", "minicom (pid 12345)", ""}},
                                      {"COM35", {K::NotSerial, "", "", ""}},
                                      {"USB", {K::InUse, "", "", ""}}});
        expectFits(name + " nothing found");
        EXPECT_TRUE(Form->lSearchNotice->text().contains("dialout")) << name.toStdString();
        Form->ShowNotice(TNotice::SaveNotTaken, {});
        Form->Logic().ShowPanel(TPage::Measure);
        expectFits(name + " save not taken");
    }
}

TEST_F(WindowFlow, TheLanguageChosenIsTheLanguageOfTheNextStart)
{
    std::filesystem::copy_file(std::filesystem::path(KELVO_LANG_SOURCE_DIR) / "english.lng.xml",
                               Sim.Dir / "english.lng.xml");
    Open();
    EXPECT_EQ(Form->sSearch->Caption(), "Hledat");  // the design's texts until one is chosen
    Form->cbbLanguageChange(Form->cbbLanguage->findText("English"));
    Form.reset();
    Open();
    EXPECT_EQ(Form->sSearch->Caption(), "Search");
    EXPECT_EQ(Form->cbbLanguage->currentText(), "English");
}

TEST(LanguageChoice, KeptInTheFirstFolderThatTakesIt)
{
    const auto base = std::filesystem::temp_directory_path() / ("kelvo-choice-" + std::to_string(::getpid()));
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    {
        std::ofstream blocker(base / "not-a-folder");  // a program folder that takes no file
    }
    const std::vector<std::filesystem::path> dirs{base / "not-a-folder" / "bin", base / "user"};
    EXPECT_EQ(LoadLanguageChoice(dirs), "");
    ASSERT_TRUE(SaveLanguageChoice(dirs, "english.lng.xml"));
    EXPECT_TRUE(std::filesystem::exists(base / "user" / kLanguageChoiceFile));
    EXPECT_EQ(LoadLanguageChoice(dirs), "english.lng.xml");
    EXPECT_EQ(LoadLanguageChoice({base / "user"}), "english.lng.xml");
    std::filesystem::remove_all(base);
}
