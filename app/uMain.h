#pragma once
// The main window fMain: the header with the model picture and the language
// combo, the tab strip, six pages (search, searching, communication,
// channel, measuring, error) and the bottom bar with "Uložit" and
// "Odpojit", at the design geometry (pixels at 96 dpi), colours, fonts and
// Czech texts. Every control is a public member named as its component and
// carries that name as objectName, so language files and the window's
// behaviour reach the same controls.
//
// uMain.cpp builds the controls, fills the language combo, applies the
// chosen language and exports the texts. What the window does lives in
// TMainLogic (uMainLogic), which the window owns: uMainView.cpp shows what
// the logic tells it (the IMainView side of TfMain) and forwards every
// click, edit and timer tick to it. Talking to modules is not done here.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>

#include "ShapeEx.h"
#include "uDesignWidgets.h"
#include "uDoubleEdit.h"
#include "uIntEdit.h"
#include "uMainLogic.h"

namespace kelvo {

class TLanguage;

// The seven pages; exactly one is visible.
enum class TMainPage { Search, Searching, Connection, Channel, Measure, Error, Trend };

// The flags of the language combo: image 0 Czech, image 1 English.
class TImageList : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    QList<QPixmap> Images;
};

class TFTDIManager;

class TfMain : public QWidget, public IMainView {
    Q_OBJECT

public:
    // Lang: the language object files are applied with (the program's one
    // by default); the window adds itself to its forms. Manager: the device
    // manager the search lists and whose plug events the window follows;
    // Interfaces stands in for it where there is none (tests); with
    // neither, the search finds nothing.
    explicit TfMain(QWidget* Parent = nullptr, TLanguage* Lang = nullptr, TFTDIManager* Manager = nullptr,
                    IInterfaceSource* Interfaces = nullptr);
    ~TfMain() override;

    TMainLogic& Logic() { return *FLogic; }

    // --- start-up ----------------------------------------------------------------
    // Languages beside the program, the command line, the device manager's
    // plug events, the flat look of two editors, the address list and the
    // caption.
    void FormCreate();
    // The search page, the window centred on the first monitor, the first
    // language entry selected (not applied), the search settings laid out.
    void FormShow();
    void ShowVersionInCaption();

    // --- pages -------------------------------------------------------------------
    // Hides every page, shows Page in front with the focus, and runs Timer1
    // or stops it.
    void ShowPanel(TPanel* Page, bool Timer);
    TPanel* Page(TMainPage Page) const;
    TMainPage VisiblePage() const;

    // The tabs: "Komunikace", "Kanál 1".."Kanál 4" (shared; the tab's Tag
    // is the channel shown, its caption the page heading), "Měření".
    void sbCommunicationClick();
    void sbChannel1Click(TShapeEx* Sender);
    void sbMeasuringClick();
    // A click on the measuring page's background shows it again.
    void pMeasureClick();

    // --- search page layout --------------------------------------------------------
    // A checked speed's label in 7178082 bold, an unchecked one in 6450567.
    void MarkSpeedLabel(QCheckBox* Box, QLabel* Label);
    void shpxSearchSettingsClick();

    // --- what the logic shows (IMainView) ---------------------------------------------
    void ShowPage(TPage Page, bool Timer) override;
    void PressMeasuringTab() override;
    void ShowHeaderImage(THeaderImage Image) override;
    void SetBusy(bool Busy) override;
    void ShowSearchProgress(int Position, int Maximum) override;
    void ShowWaiting(const TWaitingView& Waiting) override;
    void ShowNotice(TNotice Notice, const std::vector<std::string>& Args) override;
    void ShowUnusableInterfaces(const std::vector<TUnusableInterface>& Interfaces) override;
    void ShowFoundModules(const std::vector<std::string>& Rows, int Selected, bool Visible) override;
    void ShowSearchSettings(bool Open, const std::vector<TSearchSpeedView>& Speeds) override;
    void FillCommunicationPage(const TCommunicationPageView& Page) override;
    void FillChannelPage(const TChannelPageView& Page) override;
    void ShowSaveButton(bool Visible) override;
    void ShowMeasuredValues(const std::array<TMeasuredRowView, 4>& Rows, const std::string& ModuleName) override;
    void ShowTrend(const TTrendHistory& History) override;
    void ShowRecording(bool On, const std::string& File) override;
    bool Ask(TQuestion Question, const std::vector<std::string>& Args) override;
    // The text the interface label shows for Waiting, in the language shown.
    QString WaitingText(const TWaitingView& Waiting) const;
    // The numeric editor being typed into takes what it holds within its
    // limits now, as leaving it would: before a click on a button that
    // takes no focus (save, tabs, files) and before closing.
    void CommitEdits();

    // How the window asks for a file (Save: a file to write) and puts a
    // question; tests replace them. Empty file name: the user cancelled.
    std::function<QString(bool Save, const QString& Title, const QString& Filter)> ChooseFile;
    std::function<bool(const QString& Question)> AskUser;
    void ProcessMessages() override;

    // --- languages -------------------------------------------------------------------
    void InitializeLanguages();
    void cbbLanguageChange(int Index);
    // Applies the language of the combo's entry Index (the texts, then what
    // the pages show of the module); Remember keeps it for the next start.
    void ApplyLanguage(int Index, bool Remember);
    // The hidden "Gen" button: the texts of every form into "Export.lng.xml".
    void Button1Click();
    TLanguage& Lang() const { return *FLanguage; }
    // Labels grown to their texts within their frames (after a language
    // file replaced the texts); each starts again from its design width.
    void FitTexts();
    // Where the language chosen is kept for the next start, in the order
    // tried: beside the program, then the user's configuration folder.
    std::vector<std::filesystem::path> LanguageChoiceDirs() const;

    // The eleven search speeds in the order of the table: check box, its
    // label, the speed in bit/s.
    struct TSpeedBox {
        QCheckBox* Box;
        QLabel* Label;
        int Speed;
    };
    std::array<TSpeedBox, 11> SearchSpeeds() const;
    // The measuring rows 1..4 (index 0..3).
    struct TMeasureRow {
        TShapeEx* Frame;
        QLabel* Channel;
        QLabel* Name;
        QLabel* Value;
        QLabel* Unit;
    };
    std::array<TMeasureRow, 4> MeasureRows() const;
    // The seven tabs in strip order (Měření, Komunikace, Kanál 1..4, Průběh).
    std::array<TShapeEx*, 7> Tabs() const;

    // --- the controls, by component name ----------------------------------------------------
    TShapeExColorSchema* ShapeExColorSchema1;
    TShapeExColorSchema* ShapeExColorSchema2;
    TImageList* ImageList1;
    QTimer* Timer1;

    // header
    TPanel* pTop;
    TImage *imgXX, *imgUSB, *imgRS, *imgTarnel;
    TLanguageCombo* cbbLanguage;
    QLabel* Label8;
    TImage *Image4, *Image5;
    TPanel* Panel4;
    QPushButton* Button1;

    // tab strip
    TPanel* pMenu;
    TShapeEx *sbMeasuring, *sbCommunication, *sbChannel1, *sbChannel2, *ShapeEx3, *ShapeEx4, *sbTrend;

    // search page
    TPanel* pSearch;
    QLabel* lSearchHeading;
    TShapeEx* shpxMainSearch;
    TImage* imgSearch;
    QLabel* lSearchHint;
    TShapeEx* shpxSearchSettings;
    TImage* img1;
    TShapeEx* sSearch;
    TShapeEx* shpxSearchDivider;
    QLabel* lSearchSpeeds;
    QCheckBox *chkSearch300, *chkSearch600, *chkSearch1200, *chkSearch2400, *chkSearch4800, *chkSearch9600;
    QCheckBox *chkSearch19200, *chkSearch38400, *chkSearch57600, *chkSearch115200, *chkSearch230400;
    QLabel *lSearch300, *lSearch600, *lSearch1200, *lSearch2400, *lSearch4800, *lSearch9600;
    QLabel *lSearch19200, *lSearch38400, *lSearch57600, *lSearch115200, *lSearch230400;
    QCheckBox* cbOnlyStandartSpeeds;
    TShapeEx* sFoundedModules;
    QLabel *lFoundedModules, *lFoundedType, *lFoundedInterface, *lFoundedSerial;
    QListWidget* lbFoundedModules;
    TShapeEx* sConnect;
    QLabel* lSearchNotice;

    // searching page, also the page of the connecting state
    TPanel* pSearching;
    QLabel *lSearchingHeading, *lConnectingHeading;
    TShapeEx* ShapeEx1;
    TImage* imgSearching;
    QLabel *lSearching, *lConnecting, *lConnectionDesc;
    QProgressBar* ProgressBar1;
    TShapeEx* sCancel;

    // communication page
    TPanel* pConnection;
    QLabel *lConnectionHeading, *lModuleInfoHeading;
    TPanel *pAddress, *pSpeed, *pNameAndVersion, *pPidPis, *pUserData;
    QLabel *lAddress, *lSpeed, *lNameAndVersion, *lPidPis, *lUserData;
    QComboBox *cbADR, *cbCommunicationSpeed;
    QLineEdit *eNameAndVersion, *ePidPis;
    TMemo* mUserData;
    TShapeEx *sConfigLoad, *sConfigSave;

    // channel page
    TPanel* pChannel;
    QLabel *lChannel, *Label4;
    TPanel *pName, *p4_20mA, *pUnit, *pRangeMax, *pRangeMin, *pDecimals, *pnlChannelGain;
    QLabel *lChannelName, *l4_20mA, *lUnit, *lRangeMax, *lRangeMin, *lDecimals, *lChannelGain;
    QLineEdit *eChannelName, *eChannelUnit;
    QCheckBox* cb4_20mA;
    TDoubleEdit *deValueRangeMax, *deValueRangeMin;
    TIntEdit* ieDecimals;
    QComboBox* cbbChannelGain;
    TPanel* pChannelWatching;
    QLabel* lWatchingMearuredValue;
    TPanel *pWatchingMeasuredValue, *pWatchingMax, *pWatchingMin, *pWatchngHysterese;
    QLabel *lWatchingEnabled, *lWatchingMax, *lWatchingMin, *lWatchingHyst;
    QCheckBox* CheckBox2;
    TDoubleEdit *deMaxValue, *deMinValue, *deHystValue;

    // measuring page
    TPanel* pMeasure;
    QLabel *lMeasuring, *lModuleName;
    TShapeEx *sMeasuringChannel1Panel, *sMeasuringChannel2Panel, *sMeasuringChannel3Panel, *sMeasuringChannel4Panel;
    QLabel *lChannel1Channel, *lChannel2Channel, *lChannel3Channel, *lChannel4Channel;
    QLabel *lChannel1Name, *lChannel2Name, *lChannel3Name, *lChannel4Name;
    QLabel *lMeasuringChannel1Value, *lMeasuringChannel2Value, *lMeasuringChannel3Value, *lMeasuringChannel4Value;
    QLabel *lMeasuringChannel1Unit, *lMeasuringChannel2Unit, *lMeasuringChannel3Unit, *lMeasuringChannel4Unit;

    // trend page
    TPanel* pTrend;
    QLabel* lTrend;
    TShapeEx *sTrendMinute, *sTrend10Minutes, *sTrendHour;
    TShapeEx *sTrendRecordStart, *sTrendRecordStop;
    QLabel* lTrendRecordFile;
    class TTrendChart* TrendChart1;

    // error page
    TPanel* pError;
    QLabel* lError;
    TShapeEx *ShapeEx5, *ShapeEx6;

    // bottom bar
    TPanel* pBottomButtonPanel;
    TShapeEx *sSaveChanges1, *ShapeEx2;
    QLabel* lNotice;

    // texts put together at run time: the interface label while waiting,
    // what the window tells and asks
    TText *txWaitProbe, *txWaitIdentification, *txWaitChannelConfig, *txWaitChannelWatch, *txWait4to20mA;
    TText *txWaitCommSettings, *txWaitUserData, *txWaitProductionData, *txWaitAttempt;
    TText *txNoModuleFound, *txSaving, *txSaved, *txSaveNotTaken, *txSaveFailed;
    TText *txCloseWithUnsavedChanges, *txTakeCommSettings;
    TText *txRecordingCannotStart, *txRecordingEnded, *txConfigurationSaved, *txConfigurationCannotSave;
    TText *txConfigurationLoaded, *txConfigurationCannotRead, *txConfigurationInvalid, *txConfigurationOtherModel;
    TText* txConfigurationOutOfLimits;
    TText *txRecordFileTitle, *txRecordFileFilter, *txConfigSaveTitle, *txConfigLoadTitle, *txConfigFileFilter;
    TText *txNoPermissionJoin, *txNoPermission, *txInUseBy, *txInUse, *txNotSerial, *txCannotOpen;

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    void CreateSchemas();
    void CreateHeader();
    void CreateTabs();
    void CreatePages();
    void CreateSearchPage();
    void CreateSearchingPage();
    void CreateConnectionPage();
    void CreateChannelPage();
    void CreateMeasurePage();
    void CreateErrorPage();
    void CreateTrendPage();
    void CreateBottomBar();
    void CreateTexts();

    // A channel's name on the measuring page: as wide as the value beside
    // it leaves room for, in a smaller font when it needs one.
    void FitMeasuredName(QLabel* Name, QLabel* Value);
    void ConnectTabs();
    void ConnectBehaviour();
    // The 4-20 mA row shown or hidden, the nine rows below it following.
    void Show4to20mARow(bool Visible);
    void DeviceArrived(ICommunicationInterface* Interface);
    void DeviceRemoved(ICommunicationInterface* Interface);

    TLanguage* FLanguage;
    TFTDIManager* FManager;
    std::unique_ptr<IInterfaceSource> FOwnSource;
    std::unique_ptr<TMainLogic> FLogic;
    int FFilling = 0;  // > 0 while the logic fills a page: the editors' changes are not edits
    std::unique_ptr<QObject> FBusyFilter;  // drops the user's input while a flow runs
    TPage FShownPage = TPage::Search;
};

}  // namespace kelvo
