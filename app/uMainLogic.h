#pragma once
// The main window's decisions, without the window: which page is shown,
// whether the measurement timer runs, which rows the found list has, when
// the save button shows, what the pages are filled with - and the flows
// that change them: start-up, the search, connecting, retry, disconnect,
// plug events, editing, saving and the measurement tick.
//
// Every exchange goes through the session unit; every channel comes from
// the device manager (through IInterfaceSource). What the window shows goes
// out through IMainView, which the Qt window implements and tests record.
//
// The decisions run on the GUI thread; the exchanges do not. A flow (the
// search, connecting, retry, saving, the probe of a plugged-in device) runs
// its exchanges on a worker thread while the GUI thread keeps handling
// messages, so the window repaints and its cancel button works; what the
// worker has to show is posted to the GUI thread. While a flow runs the
// window drops the user's clicks and keys, and the logic refuses every
// other flow; plug events are kept and handled once it has ended. The
// measurement tick polls in the background and never holds up the window:
// a flow that needs the channel ends a tick in progress first.
//
// Module data is shown, edited and saved only after a read of the
// connected module succeeded: a failed or cancelled read forgets
// everything of the module, so no page can show (and no save can write)
// the settings of an earlier module or of a half-read one.

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uKelvoSession.h"
#include "uKelvoxx.h"
#include "uMeasureCsv.h"
#include "uOpenTrouble.h"
#include "uTrendHistory.h"
#include "uci_ICommunicationInterface.h"

namespace kelvo {

// Connecting: the searching page with the texts of a connection.
enum class TPage : uint8_t { Search, Searching, Connection, Channel, Measure, Error, Trend, Connecting };

// The header picture, by the model of the connected module.
enum class THeaderImage : uint8_t { XX, USB, RS, Tarnel };
THeaderImage HeaderImageOfModel(uint8_t Model);

// What the search and the plug events need of the device manager.
class IInterfaceSource {
public:
    virtual ~IInterfaceSource() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual int32_t Refresh() = 0;
    virtual int32_t Count() = 0;
    virtual void First(IntfPtr<ICommunicationInterface>& Device) = 0;
    virtual void Next(IntfPtr<ICommunicationInterface>& Device) = 0;
};

// A fixed list of channels as the source (benchmarks, tests, a window
// that is handed its channels).
class TFixedInterfaces : public IInterfaceSource {
public:
    std::vector<IntfPtr<ICommunicationInterface>> Items;
    int LockDepth() const { return FLocks; }

    void Lock() override { ++FLocks; }
    void Unlock() override { --FLocks; }
    int32_t Refresh() override { return 0; }
    int32_t Count() override { return static_cast<int32_t>(Items.size()); }
    void First(IntfPtr<ICommunicationInterface>& Device) override { Device = At(FAt = 0); }
    void Next(IntfPtr<ICommunicationInterface>& Device) override { Device = At(++FAt); }

private:
    IntfPtr<ICommunicationInterface> At(size_t I) const { return I < Items.size() ? Items[I] : nullptr; }
    size_t FAt = 0;
    int FLocks = 0;
};

class TFTDIManager;

// The device manager as the window's source of channels.
class TDeviceManagerSource : public IInterfaceSource {
public:
    explicit TDeviceManagerSource(TFTDIManager& Manager) : FManager(Manager) {}
    void Lock() override;
    void Unlock() override;
    int32_t Refresh() override;
    int32_t Count() override;
    void First(IntfPtr<ICommunicationInterface>& Device) override;
    void Next(IntfPtr<ICommunicationInterface>& Device) override;

private:
    TFTDIManager& FManager;
};

// The communication page as it is to be shown.
struct TCommunicationPageView {
    int SpeedIndex = -1;    // item of the speed combo: code - 1; -1 selects nothing
    int AddressIndex = -1;  // item of the address combo (= address); -1 selects nothing
    std::string NameAndVersion;
    std::string SerialText;
    std::string UserData;
    bool Editable = false;  // only a KelvoRS lets address and speed be changed
};

// One channel page as it is to be shown.
struct TChannelPageView {
    uint8_t Channel = 0;
    std::string Heading;     // "Kanál 2"
    bool Exists = false;     // the module reports this channel; nothing below is filled otherwise
    std::string RangeLabel;  // "( Vstupní rozsah: 0..10 V )"
    std::string RangeText;   // "0..10 V"
    std::string Name;
    std::string Unit;
    double RangeMin = 0;
    double RangeMax = 0;
    int Decimals = 0;
    bool Sensor4to20mA = false;      // the check box
    bool Show4to20mAPanel = false;   // the row with it
    bool ShowGain = false;           // the gain row (only a channel that has a gain)
    int GainIndex = 0;
    bool Watching = false;
    double Upper = 0;
    double Lower = 0;
    double Hysteresis = 0;
};

// One row of the measuring page.
struct TMeasuredRowView {
    std::string Name;   // the channel's name as read, untrimmed
    std::string Value;  // "-", "OVR " or the module's text
    std::string Unit;
    uint32_t ValueColor = kValueTextColor;  // 0x00BBGGRR
    uint32_t FrameColor = kValueTextColor;
};

// The search speeds as the settings area shows them, lowest first.
struct TSearchSpeedView {
    int32_t Speed = 0;
    std::string Label;  // "9.600 bps"
    bool Checked = false;
};

// What an exchange of the window waits for: the label of the searching
// and connecting states.
enum class TWaitStep : uint8_t {
    Opening,         // the interface, before its first speed
    Probe,           // the identification at Speed
    Identification,  // the steps of the read, each with its attempt
    ChannelConfig,
    ChannelWatch,
    Sensor4to20mA,
    CommSettings,
    UserData,
    ProductionData,
};

struct TWaitingView {
    std::string Interface;  // the interface's description
    TWaitStep Step = TWaitStep::Opening;
    int32_t Speed = 0;  // Probe: bit/s
    int Channel = 0;    // ChannelConfig, ChannelWatch: 0 ... 4
    int Attempt = 0;    // a read step: its attempt (1 ...) of Attempts
    int Attempts = 0;
    bool operator==(const TWaitingView&) const = default;
};

// What the window tells the user in words, in the language shown; Args
// fill the text's places in order.
enum class TNotice : uint8_t {
    None,            // nothing (clears what was told)
    NoModuleFound,   // a search found no module
    Saving,          // Args: writes sent, writes in all
    Saved,           // the module holds every change that was sent
    SaveNotTaken,    // the module was read again and holds other values than were sent
    SaveFailed,      // the module did not answer the read after the save
    // Files (Args: the file first):
    RecordingCannotStart,      // the file cannot be written: Args file, why
    RecordingEnded,            // writing stopped (a full disk): Args file, why
    ConfigurationSaved,        // Args file
    ConfigurationCannotSave,   // Args file, why
    ConfigurationLoaded,       // into the working copy: Args file
    ConfigurationCannotRead,   // Args file, why
    ConfigurationInvalid,      // damaged, incomplete or not one: Args file, what is wrong
    ConfigurationOtherModel,   // Args file, the file's model, the module's model
    ConfigurationOutOfLimits,  // a value the editors would not take: Args file, which
};

// An interface a search could not open, and why.
struct TUnusableInterface {
    std::string Interface;  // its description
    TOpenTrouble Trouble;
};

// A question to the user; Args fill its places.
enum class TQuestion : uint8_t {
    CloseWithUnsavedChanges,  // "close and lose the changes?"
    // A configuration file from another module (or one that does not say
    // which): take its address and speed too? Args: its serial number
    // (empty: not known), this module's.
    TakeCommSettings,
};

class IMainView {
public:
    virtual ~IMainView() = default;
    // Exactly one page is visible; Timer tells whether the measurement
    // timer runs from now on.
    virtual void ShowPage(TPage Page, bool Timer) = 0;
    // Presses the tab of the measuring page (the connect and the retry end
    // on it).
    virtual void PressMeasuringTab() = 0;
    virtual void ShowHeaderImage(THeaderImage Image) = 0;
    virtual void SetBusy(bool Busy) = 0;
    // The searching page; shown at once (the search blocks the loop).
    virtual void ShowSearchProgress(int Position, int Maximum) = 0;
    // The interface label of the searching and connecting states.
    virtual void ShowWaiting(const TWaitingView& Waiting) = 0;
    virtual void ShowNotice(TNotice Notice, const std::vector<std::string>& Args) = 0;
    // After a search that found no module: the interfaces it could not
    // open, and why (empty: all of them opened).
    virtual void ShowUnusableInterfaces(const std::vector<TUnusableInterface>& Interfaces) = 0;
    // Rows "model|interface|serial number", the selected row (-1: none), and
    // whether the list area is visible.
    virtual void ShowFoundModules(const std::vector<std::string>& Rows, int Selected, bool Visible) = 0;
    virtual void ShowSearchSettings(bool Open, const std::vector<TSearchSpeedView>& Speeds) = 0;
    virtual void FillCommunicationPage(const TCommunicationPageView& Page) = 0;
    virtual void FillChannelPage(const TChannelPageView& Page) = 0;
    virtual void ShowSaveButton(bool Visible) = 0;
    virtual void ShowMeasuredValues(const std::array<TMeasuredRowView, 4>& Rows, const std::string& ModuleName) = 0;
    // The history of the values changed (a tick, a disconnect) or the trend
    // page is to be drawn.
    virtual void ShowTrend(const TTrendHistory& History) = 0;
    // Whether the ticks are being recorded, and into which file.
    virtual void ShowRecording(bool On, const std::string& File) = 0;
    // A question for the user; true for yes.
    virtual bool Ask(TQuestion Question, const std::vector<std::string>& Args) = 0;
    // Lets the window handle what is waiting (paints, clicks, plug events).
    virtual void ProcessMessages() = 0;
};

class TMainLogic {
public:
    TMainLogic(IInterfaceSource& Interfaces, IMainView& View);
    ~TMainLogic();
    TMainLogic(const TMainLogic&) = delete;
    TMainLogic& operator=(const TMainLogic&) = delete;

    // --- start-up -------------------------------------------------------------

    // The command line without the program: "itp" anywhere in a parameter
    // (case-sensitive) shows the 4-20 mA row on every channel; the last
    // parameter beginning with "baudrate" is the speed tried first.
    void ScanCommandLine(const std::vector<std::string>& Params);
    // FormShow: not connected, the search page, the settings laid out.
    void Start();

    // --- search ---------------------------------------------------------------

    void ScanCIs();
    void ToggleSearchSettings();
    void SetSearchSpeed(int32_t Speed, bool Checked);
    // A plug event of the device manager (the main thread). While a flow
    // runs it is kept, and handled once the flow has ended.
    void DeviceArrived(ICommunicationInterface* Interface);
    void DeviceRemoved(ICommunicationInterface* Interface);

    // --- connection -------------------------------------------------------------

    // "Připojit": the selected row of the found list (nothing for -1 or past
    // the end).
    void Connect(int SelectedRow);
    void SelectInterface(ICommunicationInterface* Interface);
    void Disconnect() { SelectInterface(nullptr); }
    // "Opakovat".
    void Retry();
    bool ReadModule();
    // "Přerušit" on the searching and connecting states: the exchange in
    // progress ends at its next look at the line. A cancelled search shows
    // what it found so far; a cancelled connect returns to the search page,
    // a cancelled retry stays on the error page.
    void Cancel();
    // Whether the window may close now: not while a flow runs (that flow is
    // cancelled instead), and with unsaved changes only when the user
    // agrees to lose them. Ends a measurement tick in progress.
    bool CanClose();

    // --- pages ------------------------------------------------------------------

    void ShowPanel(TPage Page);
    void ShowCommunicationTab();
    void ShowChannelTab(uint8_t Channel);
    void ShowMeasuringTab();
    void ShowTrendTab();
    // Fills the page shown again from the working copy (after the window's
    // texts were replaced by a language file); changes nothing.
    void RefillPage();

    // --- editing (each ends with the save button brought up to date) -----------
    //
    // Every value is kept within its editor's limits before it reaches the
    // working copy, whatever the editor shows: a number is clamped and held
    // as the module stores it, a text cut to its editor's length, the user
    // data stripped of line breaks and other control characters.

    void EditChannelName(const std::string& Text);
    void EditChannelUnit(const std::string& Text);
    void EditDecimals(int Value);
    void EditRange(double Minimum, double Maximum);
    void EditSensor4to20mA(bool Checked);
    void EditGain(int Index);
    void EditWatching(bool Checked);
    void EditUpper(double Value);
    void EditLower(double Value);
    void EditHysteresis(double Value);
    void EditUserData(const std::string& Text);
    void EditAddress(int Index);
    void EditSpeed(int Index);
    // "Uložit".
    void SaveChanges();

    // --- measurement ------------------------------------------------------------

    // One tick of the measurement timer: starts a poll of the values in the
    // background (nothing when one is still running) and returns at once;
    // the values are shown when it has ended, through a call posted to the
    // main thread (or AwaitTick).
    void MeasureTick();
    // Waits for the poll in progress and shows its values now.
    void AwaitTick();
    bool TickRunning() const { return static_cast<bool>(FTick); }
    // Told the values of every tick, after they were shown.
    std::function<void(const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered)> OnMeasured;

    // --- recording and configuration files -------------------------------------

    // Each tells the window how it went (a notice) and returns whether it
    // did what it was asked.

    // Starts writing every tick to File (the measurement CSV format);
    // nothing changes when the file cannot be used.
    bool StartRecording(const std::string& File);
    void StopRecording();
    bool Recording() const { return FCsv.IsOpen(); }

    // Writes the working copy to File in the configuration (backup) format.
    bool SaveConfiguration(const std::string& File);
    // Loads File into the working copy (what was read plus the file's
    // settings), so that a save then writes the differences. A file of
    // another model, a damaged one or values outside the editors' limits
    // change nothing. From a module with another serial number, address and
    // speed are taken only when the user agrees.
    bool LoadConfiguration(const std::string& File);

    // --- state ------------------------------------------------------------------

    TKelvoSession Session;
    bool ShowAll420mA = false;

    TPage Page() const { return FPage; }
    // The values are polled while they are shown: on the measuring page
    // and on the trend page.
    bool TimerOn() const { return FPage == TPage::Measure || FPage == TPage::Trend; }
    const TTrendHistory& History() const { return FHistory; }
    bool Connected() const { return static_cast<bool>(Session.CurrentInterface); }
    // Connected, and the module was read: its pages, edits and saves are
    // open only then.
    bool ModuleReady() const { return Connected() && Session.ModuleRead(); }
    // A flow is running (its exchanges on a worker thread).
    bool Working() const { return FWorking; }
    bool SearchSettingsOpen() const { return FSearchSettingsOpen; }
    bool SaveButtonVisible() const { return FSaveVisible; }
    THeaderImage HeaderImage() const { return FHeader; }
    uint8_t ChannelShown() const { return FChannel; }
    const std::vector<std::string>& FoundRows() const { return FRows; }
    const std::vector<IntfPtr<ICommunicationInterface>>& FoundInterfaces() const { return FFound; }
    std::vector<TSearchSpeedView> SearchSpeedViews() const;

private:
    class TBusyScope;
    struct TTick;
    struct TPlugEvent {
        IntfPtr<ICommunicationInterface> Interface;
        bool Arrived;
    };

    // Runs Work on a worker thread and handles messages on this one until it
    // has ended; rethrows what Work raised. Cancel() ends its exchanges.
    void RunExchange(const std::function<void()>& Work);
    // Work's exchanges with the module on Interface, as RunExchange runs
    // them, with the waiting label following them. A raise is logged after
    // Failed and forgets the module; it counts as Work's false.
    bool ModuleExchange(const std::string& Interface, const char* Failed, const std::function<bool()>& Work);
    // Runs Work(i) for each i below Count, each on a worker of its own (a
    // bounded number at a time), handling messages here meanwhile. Here,
    // too: Finished(i) as each item ends, in the order they end, and
    // Done(i) in the order of i, once every item up to i has ended. After
    // all have ended, the first error of a Work is rethrown. Items not yet
    // begun when Cancel() comes are not begun.
    void RunExchanges(size_t Count, const std::function<void(size_t)>& Work,
                      const std::function<void(size_t)>& Finished, const std::function<void(size_t)>& Done);
    // Runs Call on the main thread: at once when called there, else posted.
    void OnMainThread(std::function<void()> Call);
    // A session's observers, posting what the label is to show.
    void WatchExchanges(const std::string& Interface);
    void WatchExchanges(TKelvoSession& Probing, const std::function<void(const TWaitingView&)>& Show,
                        const std::string* Interface);
    // Ends a tick in progress (its values are dropped).
    void StopTick();
    void ShowTick(const TTick& Tick);
    void HandlePlugEvents();
    void SchedulePlugEvents();

    void AddFoundModule(ICommunicationInterface* Interface, const TKelvorec& Record);
    // The probe of the search and of a plug event through Probing, and the
    // serial number for the row; the channel is put back as it was.
    static bool ProbeForRow(TKelvoSession& Probing, ICommunicationInterface* Interface, TKelvorec& Record);
    void UpdateFoundModulesView();
    void UpdateSearchSettingsView();
    void FillCommunicationPage();
    bool FillChannelPage(uint8_t Channel);
    void UpdateSaveButton();
    void SetHeader(THeaderImage Image);
    // The working copy of the channel shown (an edit first asks Editable).
    TChannelConfig* EditedChannel();
    TChannelWatch* EditedWatch();
    // (FWorking first: while a flow runs, its worker owns the session.)
    bool Editable() const { return !FWorking && ModuleReady(); }

    IInterfaceSource& FInterfaces;
    IMainView& FView;
    TPage FPage = TPage::Search;
    THeaderImage FHeader = THeaderImage::XX;
    bool FSearchSettingsOpen = false;
    bool FSaveVisible = false;
    uint8_t FChannel = 1;  // the channel page's Tag
    std::vector<std::string> FRows;
    std::vector<IntfPtr<ICommunicationInterface>> FFound;
    bool FWorking = false;  // a flow that talks to a module is running
    std::atomic<bool> FCancel{false};
    std::deque<TPlugEvent> FPlugEvents;
    bool FPlugEventsScheduled = false;
    std::shared_ptr<TTick> FTick;
    // Lives as long as the logic: calls posted to the main thread look at
    // it before they touch the logic.
    std::shared_ptr<TMainLogic*> FAlive;
    TTrendHistory FHistory;
    TMeasureCsvFile FCsv;
    std::string FRecordFile;
    int64_t FTrendClock = 0;  // milliseconds, grown from the 32-bit tick counter
    uint32_t FLastTick = 0;
    bool FTickSeen = false;
};

}  // namespace kelvo
