#include "uMainLogic.h"

#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "uConversionUtils.h"
#include "uEditorLimits.h"
#include "uMainThreadQueue.h"
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

// How often the GUI thread looks at its messages while a worker exchanges.
constexpr auto kPumpStep = std::chrono::milliseconds(10);
// Interfaces a search probes at once; a PC with more waits for a free one.
constexpr size_t kMaxExchangeWorkers = 32;

// The step of a read an instruction belongs to.
TWaitStep StepOfInstruction(uint8_t Instruction)
{
    switch (Instruction) {
    case kInstrReadChannelConfig: return TWaitStep::ChannelConfig;
    case kInstrReadChannelWatch: return TWaitStep::ChannelWatch;
    case kInstrRead4to20mA: return TWaitStep::Sensor4to20mA;
    case kInstrReadCommSettings: return TWaitStep::CommSettings;
    case kInstrReadUserData: return TWaitStep::UserData;
    case kInstrReadProductionData: return TWaitStep::ProductionData;
    default: return TWaitStep::Identification;
    }
}

// Text for the module: no line breaks or other control characters, at most
// Length characters (module texts are one byte per character).
std::string ModuleCharacters(const std::string& Text, size_t Length)
{
    std::string out;
    for (const char c : Text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F)
            out += c;
    }
    return out.substr(0, Length);
}

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

// The hourglass for the length of a flow, and the mark that one runs; when
// the outermost flow ends, the plug events kept meanwhile get their turn.
class TMainLogic::TBusyScope {
public:
    explicit TBusyScope(TMainLogic& Logic) : FLogic(Logic), FOuter(Logic.FWorking)
    {
        FLogic.FWorking = true;
        if (!FOuter)
            FLogic.FView.SetBusy(true);
    }
    ~TBusyScope()
    {
        FLogic.FWorking = FOuter;
        if (!FOuter) {
            FLogic.FView.SetBusy(false);
            FLogic.SchedulePlugEvents();
        }
    }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    TMainLogic& FLogic;
    bool FOuter;
};

// One poll of the measured values, on a thread of its own.
struct TMainLogic::TTick {
    std::thread Worker;
    std::atomic<bool> Cancel{false};
    std::array<TKelvoChannelRecountedValue, 4> Values{};
    bool Answered = false;
};

TMainLogic::TMainLogic(IInterfaceSource& Interfaces, IMainView& View)
    : FInterfaces(Interfaces), FView(View), FAlive(std::make_shared<TMainLogic*>(this))
{
}

TMainLogic::~TMainLogic()
{
    StopTick();
}

void TMainLogic::OnMainThread(std::function<void()> Call)
{
    if (TMainThreadQueue::IsMainThread()) {
        Call();
        return;
    }
    TMainThreadQueue::Post([alive = std::weak_ptr<TMainLogic*>(FAlive), Call = std::move(Call)] {
        if (alive.lock())
            Call();
    });
}

void TMainLogic::RunExchange(const std::function<void()>& Work)
{
    RunExchanges(1, [&](size_t) { Work(); }, nullptr, nullptr);
}

bool TMainLogic::ModuleExchange(const std::string& Interface, const char* Failed, const std::function<bool()>& Work)
{
    WatchExchanges(Interface);
    bool done = false;
    try {
        RunExchange([&] { done = Work(); });
    } catch (const std::exception& e) {
        Log(Failed + std::string(e.what()), SearchSender(), 0, 3);
        // Nothing half-read stays to be shown or saved.
        Session.ForgetModule();
        done = false;
    }
    Session.OnProbeSpeed = nullptr;
    Session.OnReadAttempt = nullptr;
    return done;
}

void TMainLogic::RunExchanges(size_t Count, const std::function<void(size_t)>& Work,
                              const std::function<void(size_t)>& Finished, const std::function<void(size_t)>& Done)
{
    struct TSlot {
        bool Ended = false;
        bool Told = false;
        std::exception_ptr Error;
    };
    std::vector<TSlot> slots(Count);
    std::vector<std::thread> workers;
    workers.reserve(Count);
    std::mutex lock;
    std::condition_variable ended;
    size_t started = 0, running = 0, done = 0;
    auto work = [&](size_t I) {
        const std::atomic<bool>* before = SetThreadQueryCancel(&FCancel);
        std::exception_ptr error;
        try {
            // An item a cancel came before is not begun.
            if (!FCancel)
                Work(I);
        } catch (...) {
            error = std::current_exception();
        }
        SetThreadQueryCancel(before);
        const std::lock_guard<std::mutex> guard(lock);
        slots[I].Ended = true;
        slots[I].Error = error;
        --running;
        ended.notify_one();
    };
    std::unique_lock<std::mutex> guard(lock);
    while (done < Count) {
        while (started < Count && running < kMaxExchangeWorkers) {
            ++running;
            workers.emplace_back(work, started++);
        }
        // What ended is told in the order it ended, and done in the order
        // of the items; the callbacks run without the lock.
        std::vector<size_t> told;
        for (size_t i = 0; i < Count; ++i)
            if (slots[i].Ended && !slots[i].Told) {
                slots[i].Told = true;
                told.push_back(i);
            }
        const size_t from = done;
        while (done < Count && slots[done].Ended)
            ++done;
        guard.unlock();
        for (size_t i : told)
            if (Finished)
                Finished(i);
        for (size_t i = from; i < done; ++i)
            if (Done)
                Done(i);
        FView.ProcessMessages();
        TMainThreadQueue::Drain();
        guard.lock();
        if (done < Count)
            ended.wait_for(guard, kPumpStep, [&] {
                return std::any_of(slots.begin(), slots.end(), [](const TSlot& S) { return S.Ended && !S.Told; });
            });
    }
    guard.unlock();
    for (std::thread& w : workers)
        w.join();
    // What the workers posted last is shown before the flow goes on.
    TMainThreadQueue::Drain();
    for (const TSlot& slot : slots)
        if (slot.Error)
            std::rethrow_exception(slot.Error);
}

void TMainLogic::WatchExchanges(const std::string& Interface)
{
    WatchExchanges(Session, [this](const TWaitingView& W) { OnMainThread([this, W] { FView.ShowWaiting(W); }); },
                   &Interface);
}

void TMainLogic::WatchExchanges(TKelvoSession& Probing, const std::function<void(const TWaitingView&)>& Show,
                                const std::string* Interface)
{
    // Called on the worker that uses Probing, which also sets *Interface.
    Probing.OnProbeSpeed = [Show, Interface](ICommunicationInterface*, int32_t Speed) {
        Show(TWaitingView{*Interface, TWaitStep::Probe, Speed});
    };
    Probing.OnReadAttempt = [Show, Interface](uint8_t Instruction, const RawByteString& Data, int Attempt,
                                              int Attempts) {
        TWaitingView w{*Interface, StepOfInstruction(Instruction)};
        if (w.Step == TWaitStep::ChannelConfig || w.Step == TWaitStep::ChannelWatch)
            w.Channel = Data.empty() ? 0 : static_cast<uint8_t>(Data[0]);
        w.Attempt = Attempt;
        w.Attempts = Attempts;
        Show(w);
    };
}

void TMainLogic::Cancel()
{
    FCancel = true;
}

bool TMainLogic::CanClose()
{
    if (FWorking) {
        Cancel();
        return false;
    }
    StopTick();
    if (ModuleReady() && Session.WorkingCopyDiffers())
        return FView.Ask(TQuestion::CloseWithUnsavedChanges, {});
    return true;
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

// The tabs open module pages only while the module's record is one that was
// read from it: after a failed read the tabs stay where they are (the error
// page), so nothing of an earlier or half-read module is ever shown.

void TMainLogic::ShowCommunicationTab()
{
    if (FWorking || !ModuleReady())
        return;
    FillCommunicationPage();
    ShowPanel(TPage::Connection);
}

void TMainLogic::ShowChannelTab(uint8_t Channel)
{
    if (FWorking || !ModuleReady() || Channel < 1 || Channel > 4)
        return;
    ShowPanel(FillChannelPage(Channel) ? TPage::Channel : TPage::Error);
}

void TMainLogic::ShowMeasuringTab()
{
    if (!FWorking && ModuleReady())
        ShowPanel(TPage::Measure);
}

void TMainLogic::ShowTrendTab()
{
    if (FWorking || !ModuleReady())
        return;
    ShowPanel(TPage::Trend);
    FView.ShowTrend(FHistory);
}

void TMainLogic::RefillPage()
{
    if (FWorking || !ModuleReady())
        return;
    if (FPage == TPage::Connection)
        FillCommunicationPage();
    else if (FPage == TPage::Channel)
        FillChannelPage(FChannel);
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
    if (FWorking)
        return;
    FView.ShowNotice(TNotice::None, {});
    FSearchSettingsOpen = !FSearchSettingsOpen;
    UpdateSearchSettingsView();
    UpdateFoundModulesView();
}

void TMainLogic::SetSearchSpeed(int32_t Speed, bool Checked)
{
    // The speeds a search uses do not change under it.
    if (FWorking) {
        UpdateSearchSettingsView();
        return;
    }
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

bool TMainLogic::ProbeForRow(TKelvoSession& Probing, ICommunicationInterface* Interface, TKelvorec& Record)
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
        found = Probing.ProbeInterface(Interface, Record, true);
        if (found)
            Probing.ReadSerialNumber(Interface, Record.Info.SerialNumber);
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
    StopTick();
    TBusyScope busy(*this);
    FCancel = false;
    FView.ShowNotice(TNotice::None, {});
    ShowPanel(TPage::Searching);
    FView.ShowSearchProgress(0, 0);

    // Every interface is probed at once, each by a session of its own with
    // the window's search settings; what the user sees stays as a search
    // one after the other shows it: the rows and the log in the device
    // manager's order, a step of the bar per interface done.
    struct TProbe {
        IntfPtr<ICommunicationInterface> Interface;
        std::string Description;
        TKelvoSession Session;
        std::optional<TKelvorec> Found;
        TOpenTrouble Trouble;  // why it did not open, when it did not
        std::vector<std::string> LogLines;
        TWaitingView Waiting;  // what it waits for now (main thread)
    };
    std::vector<std::unique_ptr<TProbe>> probes;
    FInterfaces.Lock();
    try {
        FInterfaces.Refresh();
        FRows.clear();
        FFound.clear();
        IntfPtr<ICommunicationInterface> ci;
        for (FInterfaces.First(ci); ci; FInterfaces.Next(ci)) {
            auto p = std::make_unique<TProbe>();
            p->Interface = ci;
            ci->GetDescription(p->Description);
            p->Waiting.Interface = p->Description;
            p->Session.SearchSpeeds = Session.SearchSpeeds;
            p->Session.BaudrateParam = Session.BaudrateParam;
            p->Session.RequestAddress = Session.RequestAddress;
            probes.push_back(std::move(p));
        }
        const int maximum = kProgressStep * static_cast<int>(probes.size());
        int position = 0;
        FView.ShowSearchProgress(0, maximum);
        // The label tells what the first interface not yet done waits for.
        size_t waitedFor = 0;
        if (!probes.empty())
            FView.ShowWaiting(probes[0]->Waiting);
        for (size_t i = 0; i < probes.size(); ++i) {
            TProbe* p = probes[i].get();
            auto show = [this, p, i, &probes, &waitedFor](const TWaitingView& W) {
                OnMainThread([this, p, i, W, &probes, &waitedFor] {
                    p->Waiting = W;
                    if (i == waitedFor && waitedFor < probes.size())
                        FView.ShowWaiting(W);
                });
            };
            WatchExchanges(p->Session, show, &p->Description);
        }
        RunExchanges(
            probes.size(),
            [&](size_t I) {
                TProbe& p = *probes[I];
                TLogHold hold;
                Log("TestCI " + p.Description, SearchSender(), 0, 10);
                TKelvorec record;
                if (ProbeForRow(p.Session, p.Interface.get(), record)) {
                    Log("TestCI (result=1)", SearchSender(), 0, 11);
                    p.Found = record;
                } else {
                    Log("TestCI (result=0)", SearchSender(), 0, 12);
                    if (!p.Session.LastProbeOpened())
                        p.Trouble = OpenTroubleOf(p.Interface.get());
                }
                p.LogLines = hold.Take();
            },
            [&](size_t) {
                position += kProgressStep;
                FView.ShowSearchProgress(position, maximum);
            },
            [&](size_t I) {
                LogWriteLines(probes[I]->LogLines);
                waitedFor = I + 1;
                if (waitedFor < probes.size())
                    FView.ShowWaiting(probes[waitedFor]->Waiting);
            });
    } catch (...) {
        FInterfaces.Unlock();
        throw;
    }
    FInterfaces.Unlock();
    for (const auto& p : probes)
        if (p->Found)
            AddFoundModule(p->Interface.get(), *p->Found);

    // A second on the searching page, while the window handles what waited;
    // a search the user cancelled ends at once.
    const uint32_t end = GetTickCount32();
    while (!FCancel && GetTickCount32() - end <= kSearchEndWaitMs) {
        SleepMs(kSearchEndStepMs);
        FView.ProcessMessages();
    }
    FSearchSettingsOpen = false;
    UpdateSearchSettingsView();
    UpdateFoundModulesView();
    ShowPanel(TPage::Search);
    if (FRows.empty()) {
        FView.ShowNotice(TNotice::NoModuleFound, {});
        std::vector<TUnusableInterface> unusable;
        for (const auto& p : probes)
            if (p->Trouble.Kind != TOpenTrouble::TKind::None)
                unusable.push_back({p->Description, p->Trouble});
        FView.ShowUnusableInterfaces(unusable);
    }
}

void TMainLogic::DeviceArrived(ICommunicationInterface* Interface)
{
    if (!Interface)
        return;
    // Probing needs the window's session: an arrival during a flow waits
    // for its end (a search that runs now may list the device anyway).
    if (FWorking) {
        FPlugEvents.push_back({IntfPtr<ICommunicationInterface>(Interface), true});
        return;
    }
    // A device that is listed already is not listed twice.
    for (const auto& f : FFound)
        if (f.get() == Interface)
            return;
    TBusyScope busy(*this);
    FCancel = false;
    TKelvorec record;
    bool found = false;
    try {
        RunExchange([&] {
            found = ProbeForRow(Session, Interface, record);
            if (found)
                TKelvoSession::ResetFTDIDevice(Interface);
        });
    } catch (const std::exception& e) {
        Log(std::string("Probe of an arrived device failed: ") + e.what(), SearchSender(), 0, 3);
        found = false;
    }
    if (found)
        AddFoundModule(Interface, record);
}

void TMainLogic::DeviceRemoved(ICommunicationInterface* Interface)
{
    if (Interface && FWorking) {
        // The exchange on a channel that is gone ends at once; the rest of
        // the removal waits for the flow to end.
        if (Interface == Session.CurrentInterface.get())
            Cancel();
        FPlugEvents.push_back({IntfPtr<ICommunicationInterface>(Interface), false});
        return;
    }
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

void TMainLogic::SchedulePlugEvents()
{
    if (FPlugEvents.empty() || FPlugEventsScheduled)
        return;
    FPlugEventsScheduled = true;
    TMainThreadQueue::Post([alive = std::weak_ptr<TMainLogic*>(FAlive)] {
        if (const auto logic = alive.lock())
            (*logic)->HandlePlugEvents();
    });
}

void TMainLogic::HandlePlugEvents()
{
    FPlugEventsScheduled = false;
    // A flow that runs now schedules them again when it ends.
    while (!FWorking && !FPlugEvents.empty()) {
        const TPlugEvent e = FPlugEvents.front();
        FPlugEvents.pop_front();
        if (e.Arrived)
            DeviceArrived(e.Interface.get());
        else
            DeviceRemoved(e.Interface.get());
    }
}

// ---------------------------------------------------------------------------
// Connection

void TMainLogic::Connect(int SelectedRow)
{
    if (FWorking || SelectedRow < 0 || static_cast<size_t>(SelectedRow) >= FFound.size())
        return;
    const IntfPtr<ICommunicationInterface> ci = FFound[static_cast<size_t>(SelectedRow)];
    SelectInterface(ci.get());
}

void TMainLogic::SelectInterface(ICommunicationInterface* Interface)
{
    if (FWorking)
        return;
    StopTick();
    IntfPtr<ICommunicationInterface> next(Interface);
    if (Session.CurrentInterface && Session.CurrentInterface != next && Session.CurrentInterface->GetActive())
        Session.CurrentInterface->SetActive(false);
    Session.CurrentInterface = next;
    // Nothing of an earlier module stays to be shown, edited or saved.
    Session.ForgetModule();
    UpdateSaveButton();
    FView.ShowNotice(TNotice::None, {});
    // The history and a recording belong to one connection.
    StopRecording();
    FHistory.Clear();
    FView.ShowTrend(FHistory);
    if (!next) {
        SetHeader(THeaderImage::XX);
        ShowPanel(TPage::Search);
        return;
    }
    TBusyScope busy(*this);
    FCancel = false;
    std::string description;
    next->GetDescription(description);
    ShowPanel(TPage::Connecting);
    FView.ShowWaiting({description});
    const bool read = ModuleExchange(description, "Connect failed: ", [&] {
        if (Session.ProbeInterface(next.get(), Session.ModuleRecord, true))
            next->Open();
        return Session.ReadModule();
    });
    if (FCancel) {
        // The user gave up waiting: back to the search, the channel closed.
        Log("Connect cancelled", SearchSender(), 0, 3);
        Session.ForgetModule();
        Session.CurrentInterface = nullptr;
        if (next->GetActive())
            next->SetActive(false);
        SetHeader(THeaderImage::XX);
        ShowPanel(TPage::Search);
        return;
    }
    if (read) {
        FillCommunicationPage();
        UpdateSaveButton();
        FView.PressMeasuringTab();
        ShowPanel(TPage::Measure);
    } else {
        Log("ReadModule failed: " + Session.LastError(), SearchSender(), 0, 3);
        ShowPanel(TPage::Error);
    }
    SetHeader(HeaderImageOfModel(Session.ModuleRecord.Model));
}

bool TMainLogic::ReadModule()
{
    if (!Connected())
        return false;
    TBusyScope busy(*this);
    StopTick();
    std::string description;
    Session.CurrentInterface->GetDescription(description);
    const bool read = ModuleExchange(description, "ReadModule raised: ", [&] { return Session.ReadModule(); });
    if (!read) {
        Log("ReadModule failed: " + Session.LastError(), SearchSender(), 0, 3);
        ShowPanel(TPage::Error);
        UpdateSaveButton();
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
    StopTick();
    TBusyScope busy(*this);
    FCancel = false;
    std::string description;
    Session.CurrentInterface->GetDescription(description);
    ShowPanel(TPage::Connecting);
    FView.ShowWaiting({description});
    // A cancelled retry leaves the module unread: the error page again.
    if (ReadModule()) {
        FView.PressMeasuringTab();
        ShowPanel(TPage::Measure);
    }
}

// ---------------------------------------------------------------------------
// Editing and saving

void TMainLogic::UpdateSaveButton()
{
    FSaveVisible = ModuleReady() && Session.WorkingCopyDiffers();
    FView.ShowSaveButton(FSaveVisible);
}

TChannelConfig* TMainLogic::EditedChannel()
{
    return FChannel >= 1 && FChannel <= 4 ? &Session.EditedChannels[FChannel - 1] : nullptr;
}

TChannelWatch* TMainLogic::EditedWatch()
{
    return FChannel >= 1 && FChannel <= 4 ? &Session.EditedWatches[FChannel - 1] : nullptr;
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
    if (!Editable())
        return;
    if (TChannelConfig* c = EditedChannel())
        c->Name = PaddedText(ModuleCharacters(Text, kChannelNameEditorLength), kChannelNameWidth);
    UpdateSaveButton();
}

void TMainLogic::EditChannelUnit(const std::string& Text)
{
    if (!Editable())
        return;
    if (TChannelConfig* c = EditedChannel())
        c->Unit = PaddedText(ModuleCharacters(Text, kUnitEditorLength), kUnitWidth);
    UpdateSaveButton();
}

void TMainLogic::EditDecimals(int Value)
{
    if (!Editable())
        return;
    if (TChannelConfig* c = EditedChannel())
        c->Decimals = static_cast<uint8_t>(
            std::clamp<int>(Value, static_cast<int>(kDecimalsEditorLimits.Min), static_cast<int>(kDecimalsEditorLimits.Max)));
    UpdateSaveButton();
}

void TMainLogic::EditRange(double Minimum, double Maximum)
{
    if (!Editable())
        return;
    if (TChannelConfig* c = EditedChannel())
        StoredRange(Minimum, Maximum, c->Offset, c->Slope);
    UpdateSaveButton();
}

void TMainLogic::EditSensor4to20mA(bool Checked)
{
    if (!Editable())
        return;
    if (TChannelConfig* c = EditedChannel())
        c->Sensor4to20mA = Checked ? 1 : 2;
    UpdateSaveButton();
}

void TMainLogic::EditGain(int Index)
{
    if (!Editable())
        return;
    if (TChannelConfig* c = EditedChannel(); c && Index >= 0 && Index < kGainCodeCount)
        c->GainCode = static_cast<uint8_t>(Index);
    UpdateSaveButton();
}

void TMainLogic::EditWatching(bool Checked)
{
    if (!Editable())
        return;
    if (TChannelWatch* w = EditedWatch())
        w->WatchFlags = Checked ? (w->WatchFlags | kWatchOnFlag) : (w->WatchFlags & ~kWatchOnFlag);
    UpdateSaveButton();
}

void TMainLogic::EditUpper(double Value)
{
    if (!Editable())
        return;
    if (TChannelWatch* w = EditedWatch())
        w->Upper = StoredWithin(Value, kWatchEditorLimits);
    UpdateSaveButton();
}

void TMainLogic::EditLower(double Value)
{
    if (!Editable())
        return;
    if (TChannelWatch* w = EditedWatch())
        w->Lower = StoredWithin(Value, kWatchEditorLimits);
    UpdateSaveButton();
}

void TMainLogic::EditHysteresis(double Value)
{
    if (!Editable())
        return;
    if (TChannelWatch* w = EditedWatch())
        w->Hysteresis = StoredWithin(Value, kWatchEditorLimits);
    UpdateSaveButton();
}

void TMainLogic::EditUserData(const std::string& Text)
{
    if (!Editable())
        return;
    Session.EditedUserData = ModuleCharacters(Text, kUserDataEditorLength);
    UpdateSaveButton();
}

// Only a KelvoRS lets its address and speed be changed; its editors are
// disabled for every other model, and so are these.
void TMainLogic::EditAddress(int Index)
{
    if (!Editable())
        return;
    if (Session.ModuleRecord.Model == kModelKelvoRS && Index >= 0 && Index <= 253)
        Session.EditedAddress = static_cast<uint8_t>(Index);
    UpdateSaveButton();
}

void TMainLogic::EditSpeed(int Index)
{
    if (!Editable())
        return;
    if (Session.ModuleRecord.Model == kModelKelvoRS && Index >= 0 && Index + 1 < kSpeedCodeCount)
        Session.EditedSpeedCode = static_cast<uint8_t>(Index + 1);
    UpdateSaveButton();
}

void TMainLogic::SaveChanges()
{
    if (FWorking || !ModuleReady())
        return;
    StopTick();
    TBusyScope busy(*this);
    FCancel = false;
    const TKelvorec sent = Session.WorkingRecord();
    Session.OnSaveProgress = [this](size_t Sent, size_t Total) {
        OnMainThread([this, Sent, Total] {
            FView.ShowNotice(TNotice::Saving, {std::to_string(Sent + 1), std::to_string(Total)});
        });
    };
    // A channel that vanishes stops the save before its next write.
    Session.SaveStopRequested = [this] { return FCancel.load(); };
    std::string description;
    Session.CurrentInterface->GetDescription(description);
    const bool reread = ModuleExchange(description, "SaveChanges failed: ", [&] { return Session.SaveChanges(); });
    Session.OnSaveProgress = nullptr;
    Session.SaveStopRequested = nullptr;
    if (reread) {
        FillCommunicationPage();
        // The page shown stays; a channel page shows what the module now holds.
        if (FPage == TPage::Channel)
            FillChannelPage(FChannel);
        // What the module holds now against what was sent: a write it did
        // not take is told, not passed over.
        TKelvorec expected = sent;
        expected.Info.UserData = TrimText(expected.Info.UserData);
        const bool taken = BuildSaveCommands(expected, Session.ModuleRecord).empty();
        FView.ShowNotice(taken ? TNotice::Saved : TNotice::SaveNotTaken, {});
    } else {
        ShowPanel(TPage::Error);
        FView.ShowNotice(TNotice::SaveFailed, {});
    }
    UpdateSaveButton();
}

// ---------------------------------------------------------------------------
// Measurement

void TMainLogic::MeasureTick()
{
    if (FWorking || !ModuleReady() || FTick)
        return;
    // The poll has a session of its own on the same channel: it shares
    // nothing with the window's, so pages and edits go on meanwhile.
    auto tick = std::make_shared<TTick>();
    FTick = tick;
    tick->Worker = std::thread([tick, channel = Session.CurrentInterface, address = Session.RequestAddress,
                                alive = std::weak_ptr<TMainLogic*>(FAlive)] {
        const std::atomic<bool>* before = SetThreadQueryCancel(&tick->Cancel);
        {
            TKelvoSession poll;
            poll.CurrentInterface = channel;
            poll.RequestAddress = address;
            tick->Answered = poll.ReadMeasuredValues(tick->Values);
        }
        SetThreadQueryCancel(before);
        TMainThreadQueue::Post([alive, tick] {
            if (const auto logic = alive.lock())
                if ((*logic)->FTick == tick)
                    (*logic)->AwaitTick();
        });
    });
}

void TMainLogic::StopTick()
{
    if (!FTick)
        return;
    const std::shared_ptr<TTick> tick = std::move(FTick);
    tick->Cancel = true;
    tick->Worker.join();
}

void TMainLogic::AwaitTick()
{
    if (!FTick)
        return;
    const std::shared_ptr<TTick> tick = std::move(FTick);
    tick->Worker.join();
    ShowTick(*tick);
}

void TMainLogic::ShowTick(const TTick& Tick)
{
    // The page may have changed or the module been forgotten meanwhile.
    if (!ModuleReady())
        return;
    const auto& values = Tick.Values;
    const bool answered = Tick.Answered;
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

    const uint32_t now = GetTickCount32();
    FTrendClock += FTickSeen ? static_cast<int64_t>(now - FLastTick) : 0;
    FLastTick = now;
    FTickSeen = true;
    for (size_t i = 0; i < 4; ++i) {
        const TChannelConfig& c = Session.ModuleRecord.Channels[i];
        FHistory.Names[i] = TrimText(c.Name);
        FHistory.Units[i] = TrimText(c.Unit);
        float low = 0, high = 0;
        CoefficientsToRange(c.Offset, c.Slope, kRangeSpan, low, high);
        FHistory.Ranges[i] = {std::min(low, high), std::max(low, high)};
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
            FView.ShowNotice(TNotice::RecordingEnded, {FRecordFile, e.what()});
        }
    }
    if (OnMeasured)
        OnMeasured(values, answered);
}

// ---------------------------------------------------------------------------
// Recording and configuration files

bool TMainLogic::StartRecording(const std::string& File)
{
    if (FWorking || !ModuleReady())
        return false;
    try {
        FCsv.Open(File);
    } catch (const std::exception& e) {
        FView.ShowNotice(TNotice::RecordingCannotStart, {File, e.what()});
        return false;
    }
    FRecordFile = File;
    FView.ShowRecording(true, File);
    return true;
}

void TMainLogic::StopRecording()
{
    const bool was = FCsv.IsOpen();
    FCsv.Close();
    if (was)
        FView.ShowRecording(false, std::string());
}

bool TMainLogic::SaveConfiguration(const std::string& File)
{
    if (FWorking || !ModuleReady())
        return false;
    try {
        const std::string made = IsoTimeText(std::chrono::system_clock::now());
        WriteTextFileReplacing(File, BackupJson(Session.WorkingRecord(), made).dump(2) + "\n");
    } catch (const std::exception& e) {
        FView.ShowNotice(TNotice::ConfigurationCannotSave, {File, e.what()});
        return false;
    }
    FView.ShowNotice(TNotice::ConfigurationSaved, {File});
    return true;
}

bool TMainLogic::LoadConfiguration(const std::string& File)
{
    if (FWorking || !ModuleReady())
        return false;
    const TKelvorec& device = Session.ModuleRecord;
    std::vector<TAssignment> settings;
    auto refuse = [&](TNotice Notice, std::vector<std::string> Args) {
        Args.insert(Args.begin(), File);
        FView.ShowNotice(Notice, Args);
        return false;
    };
    try {
        // Address and speed belong to one module on its bus: from another
        // module they are taken only when the user says so.
        const auto ask = [this](const TBackup& Backup, const TKelvorec& Device, const std::vector<TSkipped>&) {
            return FView.Ask(TQuestion::TakeCommSettings, {Backup.Serial, Device.Info.SerialText});
        };
        std::vector<TSkipped> skipped;
        settings = BackupSettingsFor(ReadBackupFile(File), device, ask, skipped);
        // Everything is checked on a copy before the working copy changes.
        TKelvoSession check;
        check.ModuleRecord = device;
        check.ResetWorkingCopy();
        ApplyAssignments(check, settings);
    } catch (const EBackupOfAnotherModel& e) {
        return refuse(TNotice::ConfigurationOtherModel, {e.BackupModel(), e.ModuleModel()});
    } catch (const ETextFileError& e) {
        return refuse(TNotice::ConfigurationCannotRead, {e.what()});
    } catch (const EBackupError& e) {
        return refuse(TNotice::ConfigurationInvalid, {e.Detail()});
    } catch (const ESettingError& e) {
        return refuse(TNotice::ConfigurationOutOfLimits, {e.what()});
    } catch (const std::exception& e) {
        return refuse(TNotice::ConfigurationInvalid, {e.what()});
    }
    Session.ResetWorkingCopy();
    ApplyAssignments(Session, settings);
    FillCommunicationPage();
    if (FPage == TPage::Channel)
        FillChannelPage(FChannel);
    UpdateSaveButton();
    FView.ShowNotice(TNotice::ConfigurationLoaded, {File});
    return true;
}

}  // namespace kelvo
