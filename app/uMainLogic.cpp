#include "uMainLogic.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "uConversionUtils.h"
#include "uMessageSink.h"
#include "uModuleBackup.h"
#include "uModuleText.h"
#include "uTextFile.h"
#include "uLogUtils.h"
#include "uTickUtils.h"
#include "uci_FTDImanager.h"

namespace kelvo {

namespace {

const TLogSender& SearchSender()
{
    static const TLogSender sender("TfMain", "fMain");
    return sender;
}

constexpr int kProgressStep = 10;

// A 32-bit value as the number its shortest text names (0.2f is 0.2, not
// 0.200000002980232), so that the editors show what the module holds.
double Shown(float Value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, Value).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}
constexpr uint32_t kSearchEndWaitMs = 1000;
constexpr uint32_t kSearchEndStepMs = 100;

// The speeds of the settings area, in their order on the page.
constexpr int32_t kSearchSpeeds[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

}  // namespace

THeaderImage HeaderImageOfModel(uint8_t Model)
{
    switch (Model) {
    case kModelKelvoUSB: return THeaderImage::USB;
    case kModelKelvoRS: return THeaderImage::RS;
    case kModelTarnel: return THeaderImage::Tarnel;
    default: return THeaderImage::XX;
    }
}

void TDeviceManagerSource::Lock() { FManager.Lock(); }
void TDeviceManagerSource::Unlock() { FManager.Unlock(); }
int32_t TDeviceManagerSource::Refresh() { return FManager.Refresh(); }
int32_t TDeviceManagerSource::Count() { return FManager.Count(); }
void TDeviceManagerSource::First(IntfPtr<ICommunicationInterface>& Device) { FManager.First(Device); }
void TDeviceManagerSource::Next(IntfPtr<ICommunicationInterface>& Device) { FManager.Next(Device); }

// The hourglass for the length of a flow, and the mark that one runs.
class TMainLogic::TBusyScope {
public:
    explicit TBusyScope(TMainLogic& Logic) : FLogic(Logic), FOuter(Logic.FWorking)
    {
        FLogic.FWorking = true;
        FLogic.FView.SetBusy(true);
    }
    ~TBusyScope()
    {
        FLogic.FWorking = FOuter;
        if (!FOuter)
            FLogic.FView.SetBusy(false);
    }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    TMainLogic& FLogic;
    bool FOuter;
};

TMainLogic::TMainLogic(IInterfaceSource& Interfaces, IMainView& View) : FInterfaces(Interfaces), FView(View)
{
    Session.OnConnectionLabel = [this](const std::string& Text) { FView.ShowConnectionLabel(Text, false); };
}

// ---------------------------------------------------------------------------
// Start-up

void TMainLogic::ScanCommandLine(const std::vector<std::string>& Params)
{
    for (const std::string& p : Params) {
        if (p.find("itp") != std::string::npos)
            ShowAll420mA = true;
        if (p.rfind("baudrate", 0) == 0)
            Session.BaudrateParam = p;
    }
}

void TMainLogic::Start()
{
    SelectInterface(nullptr);
    UpdateSearchSettingsView();
    UpdateFoundModulesView();
}

// ---------------------------------------------------------------------------
// Pages

void TMainLogic::ShowPanel(TPage Page)
{
    FPage = Page;
    FView.ShowPage(Page, TimerOn());
}

void TMainLogic::SetHeader(THeaderImage Image)
{
    FHeader = Image;
    FView.ShowHeaderImage(Image);
}

void TMainLogic::ShowCommunicationTab()
{
    if (!Connected())
        return;
    FillCommunicationPage();
    ShowPanel(TPage::Connection);
}

void TMainLogic::ShowChannelTab(uint8_t Channel)
{
    if (!Connected() || Channel < 1 || Channel > 4)
        return;
    ShowPanel(FillChannelPage(Channel) ? TPage::Channel : TPage::Error);
}

void TMainLogic::ShowMeasuringTab()
{
    if (Connected())
        ShowPanel(TPage::Measure);
}

void TMainLogic::ShowTrendTab()
{
    if (!Connected())
        return;
    ShowPanel(TPage::Trend);
    FView.ShowTrend(FHistory);
}

void TMainLogic::FillCommunicationPage()
{
    const TKelvorec& r = Session.ModuleRecord;
    TCommunicationPageView v;
    // The editable settings as the working copy holds them: after a read
    // that is what was read, after an edit or a loaded file what will be
    // saved.
    const uint8_t speed = Session.EditedSpeedCode;
    v.SpeedIndex = speed >= 1 && speed < kSpeedCodeCount ? speed - 1 : -1;
    v.AddressIndex = Session.EditedAddress <= 253 ? Session.EditedAddress : -1;
    v.NameAndVersion = " " + r.Info.Identification;
    v.SerialText = " " + r.Info.SerialText;
    v.UserData = Session.EditedUserData;
    v.Editable = r.Model == kModelKelvoRS;
    FView.FillCommunicationPage(v);
}

bool TMainLogic::FillChannelPage(uint8_t Channel)
{
    FChannel = Channel;
    TChannelPageView v;
    v.Channel = Channel;
    v.Heading = "Kanál " + std::to_string(Channel);
    const TChannelConfig& c = Session.EditedChannels[Channel - 1];
    if (c.Number != Channel) {
        FView.FillChannelPage(v);
        return false;
    }
    const TChannelWatch& w = Session.EditedWatches[Channel - 1];
    v.Exists = true;
    v.RangeText = TrimText(c.RangeText);
    v.RangeLabel = "( Vstupní rozsah: " + v.RangeText + " )";
    v.Name = TrimText(c.Name);
    v.Unit = TrimText(c.Unit);
    float minimum = 0, maximum = 0;
    CoefficientsToRange(c.Offset, c.Slope, kRangeSpan, minimum, maximum);
    v.RangeMin = Shown(minimum);
    v.RangeMax = Shown(maximum);
    v.Decimals = c.Decimals;
    v.Sensor4to20mA = c.Sensor4to20mA == 1;
    v.Show4to20mAPanel = c.Sensor4to20mA != 0 || ShowAll420mA;
    // A channel without a gain setting has no gain row: a choice there
    // would change nothing the save can send.
    v.ShowGain = c.HasGain;
    v.GainIndex = c.GainCode;
    v.Watching = (w.WatchFlags & kWatchOnFlag) != 0;
    v.Upper = Shown(w.Upper);
    v.Lower = Shown(w.Lower);
    v.Hysteresis = Shown(w.Hysteresis);
    FView.FillChannelPage(v);
    return true;
}

// ---------------------------------------------------------------------------
// Search

std::vector<TSearchSpeedView> TMainLogic::SearchSpeedViews() const
{
    std::vector<TSearchSpeedView> out;
    for (int32_t s : kSearchSpeeds)
        out.push_back({s, TKelvoSession::SpeedLabel(s), Session.SearchSpeeds.count(s) != 0});
    return out;
}

void TMainLogic::UpdateSearchSettingsView()
{
    FView.ShowSearchSettings(FSearchSettingsOpen, SearchSpeedViews());
}

void TMainLogic::UpdateFoundModulesView()
{
    const bool visible = !FFound.empty() && !FSearchSettingsOpen;
    FView.ShowFoundModules(FRows, static_cast<int>(FRows.size()) - 1, visible);
}

void TMainLogic::ToggleSearchSettings()
{
    FSearchSettingsOpen = !FSearchSettingsOpen;
    UpdateSearchSettingsView();
    UpdateFoundModulesView();
}

void TMainLogic::SetSearchSpeed(int32_t Speed, bool Checked)
{
    if (Checked)
        Session.SearchSpeeds.insert(Speed);
    else
        Session.SearchSpeeds.erase(Speed);
    UpdateSearchSettingsView();
}

void TMainLogic::AddFoundModule(ICommunicationInterface* Interface, const TKelvorec& Record)
{
    if (Interface) {
        std::string name;
        if (TKelvoSession::IsFTDIDevice(Interface))
            name = "USB";
        else
            Interface->GetName(name);
        FRows.push_back(ModelName(Record.Model) + "|" + name + "|" + SerialNumberText(Record));
        FFound.emplace_back(Interface);
    }
    UpdateFoundModulesView();
}

bool TMainLogic::ProbeForRow(ICommunicationInterface* Interface, TKelvorec& Record)
{
    // The probe names the model only; the row also shows the serial number,
    // read at the speed that answered before the channel is put back.
    std::string saved;
    Interface->GetConnectionString(saved);
    const bool wasOpen = Interface->GetActive();
    auto restore = [&] {
        Interface->SetActive(wasOpen);
        Interface->SetConnectionString(saved);
    };
    bool found = false;
    try {
        found = Session.ProbeInterface(Interface, Record, true);
        if (found)
            Session.ReadSerialNumber(Interface, Record.Info.SerialNumber);
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return found;
}

void TMainLogic::ScanCIs()
{
    if (FWorking)
        return;
    TBusyScope busy(*this);
    ShowPanel(TPage::Searching);
    FView.ShowSearchProgress(0, 0);

    FInterfaces.Lock();
    try {
        FInterfaces.Refresh();
        FRows.clear();
        const int maximum = kProgressStep * FInterfaces.Count();
        int position = 0;
        FView.ShowSearchProgress(position, maximum);
        FFound.clear();
        IntfPtr<ICommunicationInterface> ci;
        for (FInterfaces.First(ci); ci; FInterfaces.Next(ci)) {
            position += kProgressStep;
            FView.ShowSearchProgress(position, maximum);
            std::string description;
            ci->GetDescription(description);
            FView.ShowConnectionLabel(description, true);
            Log("TestCI " + description, SearchSender(), 0, 10);
            TKelvorec record;
            if (ProbeForRow(ci.get(), record)) {
                Log("TestCI (result=1)", SearchSender(), 0, 11);
                AddFoundModule(ci.get(), record);
            } else {
                Log("TestCI (result=0)", SearchSender(), 0, 12);
            }
        }
    } catch (...) {
        FInterfaces.Unlock();
        throw;
    }
    FInterfaces.Unlock();

    // A second on the searching page, while the window handles what waited
    // (plug events that came during the search among them).
    const uint32_t end = GetTickCount32();
    while (GetTickCount32() - end <= kSearchEndWaitMs) {
        SleepMs(kSearchEndStepMs);
        FView.ProcessMessages();
    }
    FSearchSettingsOpen = false;
    UpdateSearchSettingsView();
    UpdateFoundModulesView();
    ShowPanel(TPage::Search);
}

void TMainLogic::DeviceArrived(ICommunicationInterface* Interface)
{
    // Probing blocks the window; an arrival during another flow is not
    // probed inside it (a search lists the device anyway).
    if (!Interface || FWorking)
        return;
    TBusyScope busy(*this);
    TKelvorec record;
    if (ProbeForRow(Interface, record)) {
        TKelvoSession::ResetFTDIDevice(Interface);
        AddFoundModule(Interface, record);
    }
}

void TMainLogic::DeviceRemoved(ICommunicationInterface* Interface)
{
    if (Interface && Interface == Session.CurrentInterface.get()) {
        IntfPtr<ICommunicationInterface> keep(Interface);
        SelectInterface(nullptr);
        if (keep->GetActive())
            keep->Close(true);
    }
    for (size_t i = 0; i < FFound.size();) {
        if (Interface && FFound[i].get() == Interface) {
            FFound.erase(FFound.begin() + static_cast<std::ptrdiff_t>(i));
            FRows.erase(FRows.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    UpdateFoundModulesView();
}

// ---------------------------------------------------------------------------
// Connection

void TMainLogic::Connect(int SelectedRow)
{
    if (SelectedRow < 0 || static_cast<size_t>(SelectedRow) >= FFound.size())
        return;
    const IntfPtr<ICommunicationInterface> ci = FFound[static_cast<size_t>(SelectedRow)];
    SelectInterface(ci.get());
}

void TMainLogic::SelectInterface(ICommunicationInterface* Interface)
{
    if (FWorking && Interface)
        return;
    IntfPtr<ICommunicationInterface> next(Interface);
    if (Session.CurrentInterface && Session.CurrentInterface != next && Session.CurrentInterface->GetActive())
        Session.CurrentInterface->SetActive(false);
    Session.CurrentInterface = next;
    // The history and a recording belong to one connection.
    StopRecording();
    FHistory.Clear();
    FView.ShowTrend(FHistory);
    TBusyScope busy(*this);
    if (!next) {
        SetHeader(THeaderImage::XX);
        ShowPanel(TPage::Search);
        return;
    }
    if (Session.ProbeInterface(next.get(), Session.ModuleRecord, true))
        next->Open();
    Session.CurrentInterface = next;
    if (ReadModule()) {
        FView.PressMeasuringTab();
        ShowPanel(TPage::Measure);
    }
    SetHeader(HeaderImageOfModel(Session.ModuleRecord.Model));
}

bool TMainLogic::ReadModule()
{
    TBusyScope busy(*this);
    if (!Session.ReadModule()) {
        Log("ReadModule failed: " + Session.LastError(), SearchSender(), 0, 3);
        ShowPanel(TPage::Error);
        return false;
    }
    FillCommunicationPage();
    UpdateSaveButton();
    return true;
}

void TMainLogic::Retry()
{
    if (FWorking || !Connected())
        return;
    if (ReadModule()) {
        FView.PressMeasuringTab();
        ShowPanel(TPage::Measure);
    }
}

// ---------------------------------------------------------------------------
// Editing and saving

void TMainLogic::UpdateSaveButton()
{
    FSaveVisible = Connected() && Session.WorkingCopyDiffers();
    FView.ShowSaveButton(FSaveVisible);
}

TChannelConfig* TMainLogic::EditedChannel()
{
    return FChannel >= 1 && FChannel <= 4 ? &Session.EditedChannels[FChannel - 1] : nullptr;
}

namespace {

// The trimmed text followed by as many spaces as the typed text is shorter
// than Width, cut to Width: what the editors store for names and units.
std::string PaddedText(const std::string& Text, size_t Width)
{
    std::string out = TrimText(Text);
    if (Text.size() < Width)
        out.append(Width - Text.size(), ' ');
    return out.substr(0, Width);
}

}  // namespace

void TMainLogic::EditChannelName(const std::string& Text)
{
    if (TChannelConfig* c = EditedChannel())
        c->Name = PaddedText(Text, kChannelNameWidth);
    UpdateSaveButton();
}

void TMainLogic::EditChannelUnit(const std::string& Text)
{
    if (TChannelConfig* c = EditedChannel())
        c->Unit = PaddedText(Text, kUnitWidth);
    UpdateSaveButton();
}

void TMainLogic::EditDecimals(int Value)
{
    if (TChannelConfig* c = EditedChannel())
        c->Decimals = static_cast<uint8_t>(Value);
    UpdateSaveButton();
}

void TMainLogic::EditRange(double Minimum, double Maximum)
{
    if (TChannelConfig* c = EditedChannel())
        RangeToCoefficients(ToSingle(Minimum), ToSingle(Maximum), kRangeSpan, c->Offset, c->Slope);
    UpdateSaveButton();
}

void TMainLogic::EditSensor4to20mA(bool Checked)
{
    if (TChannelConfig* c = EditedChannel())
        c->Sensor4to20mA = Checked ? 1 : 2;
    UpdateSaveButton();
}

void TMainLogic::EditGain(int Index)
{
    if (TChannelConfig* c = EditedChannel(); c && Index >= 0)
        c->GainCode = static_cast<uint8_t>(Index);
    UpdateSaveButton();
}

void TMainLogic::EditWatching(bool Checked)
{
    if (FChannel >= 1 && FChannel <= 4) {
        uint8_t& flags = Session.EditedWatches[FChannel - 1].WatchFlags;
        flags = Checked ? (flags | kWatchOnFlag) : (flags & ~kWatchOnFlag);
    }
    UpdateSaveButton();
}

void TMainLogic::EditUpper(double Value)
{
    if (FChannel >= 1 && FChannel <= 4)
        Session.EditedWatches[FChannel - 1].Upper = ToSingle(Value);
    UpdateSaveButton();
}

void TMainLogic::EditLower(double Value)
{
    if (FChannel >= 1 && FChannel <= 4)
        Session.EditedWatches[FChannel - 1].Lower = ToSingle(Value);
    UpdateSaveButton();
}

void TMainLogic::EditHysteresis(double Value)
{
    if (FChannel >= 1 && FChannel <= 4)
        Session.EditedWatches[FChannel - 1].Hysteresis = ToSingle(Value);
    UpdateSaveButton();
}

void TMainLogic::EditUserData(const std::string& Text)
{
    Session.EditedUserData = Text;
    UpdateSaveButton();
}

void TMainLogic::EditAddress(int Index)
{
    if (Index >= 0 && Index <= 253)
        Session.EditedAddress = static_cast<uint8_t>(Index);
    UpdateSaveButton();
}

void TMainLogic::EditSpeed(int Index)
{
    if (Index >= 0 && Index + 1 < kSpeedCodeCount)
        Session.EditedSpeedCode = static_cast<uint8_t>(Index + 1);
    UpdateSaveButton();
}

void TMainLogic::SaveChanges()
{
    if (FWorking || !Connected())
        return;
    TBusyScope busy(*this);
    bool reread = false;
    try {
        reread = Session.SaveChanges();
    } catch (const std::exception& e) {
        Log(std::string("SaveChanges failed: ") + e.what(), SearchSender(), 0, 3);
    }
    if (reread) {
        FillCommunicationPage();
        // The page shown stays; a channel page shows what the module now holds.
        if (FPage == TPage::Channel)
            FillChannelPage(FChannel);
    } else {
        ShowPanel(TPage::Error);
    }
    UpdateSaveButton();
}

// ---------------------------------------------------------------------------
// Measurement

void TMainLogic::MeasureTick()
{
    if (FWorking || !Connected())
        return;
    TBusyScope busy(*this);
    std::array<TKelvoChannelRecountedValue, 4> values{};
    const bool answered = Session.ReadMeasuredValues(values);
    std::array<TMeasuredRowView, 4> rows;
    for (size_t i = 0; i < 4; ++i) {
        const TRecountedValueView view = ViewOfRecountedValue(values[i]);
        rows[i].Name = Session.ModuleRecord.Channels[i].Name;
        rows[i].Unit = Session.ModuleRecord.Channels[i].Unit;
        rows[i].Value = view.Text;
        rows[i].ValueColor = view.Color;
        rows[i].FrameColor = view.FrameRed ? kOverrangeColor : kValueTextColor;
    }
    FView.ShowMeasuredValues(rows, Session.ModuleNameCaption());

    const uint32_t tick = GetTickCount32();
    FTrendClock += FTickSeen ? static_cast<int64_t>(tick - FLastTick) : 0;
    FLastTick = tick;
    FTickSeen = true;
    for (size_t i = 0; i < 4; ++i) {
        FHistory.Names[i] = TrimText(Session.ModuleRecord.Channels[i].Name);
        FHistory.Units[i] = TrimText(Session.ModuleRecord.Channels[i].Unit);
    }
    FHistory.Add(FTrendClock, values, answered);
    FView.ShowTrend(FHistory);
    if (FCsv.IsOpen()) {
        try {
            FCsv.WriteRow(std::chrono::system_clock::now(), values, answered);
        } catch (const std::exception& e) {
            // A full disk or a drive pulled out ends the recording; what was
            // written stays.
            StopRecording();
            ShowMessage(e.what());
        }
    }
    if (OnMeasured)
        OnMeasured(values, answered);
}

// ---------------------------------------------------------------------------
// Recording and configuration files

std::string TMainLogic::StartRecording(const std::string& File)
{
    if (!Connected())
        return "Not connected to a module";
    try {
        FCsv.Open(File);
    } catch (const std::exception& e) {
        return e.what();
    }
    FView.ShowRecording(true, File);
    return std::string();
}

void TMainLogic::StopRecording()
{
    const bool was = FCsv.IsOpen();
    FCsv.Close();
    if (was)
        FView.ShowRecording(false, std::string());
}

std::string TMainLogic::SaveConfiguration(const std::string& File)
{
    if (!Connected())
        return "Not connected to a module";
    try {
        const std::string made = IsoTimeText(std::chrono::system_clock::now());
        WriteTextFileReplacing(File, BackupJson(Session.WorkingRecord(), made).dump(2) + "\n");
    } catch (const std::exception& e) {
        return e.what();
    }
    return std::string();
}

std::string TMainLogic::LoadConfiguration(const std::string& File)
{
    if (!Connected())
        return "Not connected to a module";
    const TKelvorec& device = Session.ModuleRecord;
    std::vector<TAssignment> settings;
    try {
        // Address and speed belong to one module on its bus: from another
        // module they are taken only when the user says so.
        const auto ask = [this](const TBackup& Backup, const TKelvorec& Device, const std::vector<TSkipped>&) {
            return FView.Ask("The file comes from the module " +
                             (Backup.Serial.empty() ? std::string("of unknown serial number") : Backup.Serial) +
                             ", this one is " + ModuleTextToUtf8(Device.Info.SerialText) +
                             ". Take its address and speed too?");
        };
        std::vector<TSkipped> skipped;
        settings = BackupSettingsFor(ReadBackupFile(File), device, ask, skipped);
        // Everything is checked on a copy before the working copy changes.
        TKelvoSession check;
        check.ModuleRecord = device;
        check.ResetWorkingCopy();
        ApplyAssignments(check, settings);
    } catch (const EBackupOfAnotherModel& e) {
        return File + " holds the configuration of a " +
               (e.BackupModel().empty() ? std::string("module of unknown model") : e.BackupModel()) + ", not of a " +
               e.ModuleModel();
    } catch (const ETextFileError& e) {
        return e.what();
    } catch (const EBackupError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return File + ": " + e.what();
    }
    Session.ResetWorkingCopy();
    ApplyAssignments(Session, settings);
    FillCommunicationPage();
    if (FPage == TPage::Channel)
        FillChannelPage(FChannel);
    UpdateSaveButton();
    return std::string();
}

}  // namespace kelvo
