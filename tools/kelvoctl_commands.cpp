#include "kelvoctl_commands.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "kelvoctl_args.h"
#include "kelvoctl_connect.h"
#include "kelvoctl_json.h"
#include "kelvoctl_keys.h"
#include "kelvoctl_report.h"
#include "kelvoctl_table.h"
#include "kelvoctl_text.h"
#include "kelvoctl_usb.h"
#include "uKelvoSession.h"
#include "uLogUtils.h"
#include "uMainThreadQueue.h"
#include "uMeasureCsv.h"
#include "uTextFile.h"
#include "uTickUtils.h"
#include "uci_FTDIcore.h"
#include "uci_FTDImanager.h"
#include "uci_ISerialPortInterface.h"

namespace kelvo::ctl {

namespace {

namespace fs = std::filesystem;

// A backup is a few kilobytes; anything far larger is not one.
constexpr uintmax_t kMaxBackupFileSize = 1 << 20;

// The search loop logs as the window's search does.
const TLogSender& SearchSender()
{
    static const TLogSender sender("kelvoctl");
    return sender;
}

void PrintJson(const ojson& J)
{
    ClearProgress();
    std::cout << J.dump(2, ' ', false, ojson::error_handler_t::replace) << "\n" << std::flush;
}

std::string ReadFileText(const std::string& File)
{
    try {
        return ReadTextFile(File, kMaxBackupFileSize);
    } catch (const ETextFileError& e) {
        throw EUsageError(e.TooLarge() ? File + " is not a kelvoctl backup (far too large)" : e.Message());
    }
}

void WriteFileText(const std::string& File, const std::string& Text)
{
    try {
        WriteTextFileReplacing(File, Text);
    } catch (const ETextFileError& e) {
        throw EStepFailed(e.Message());
    }
}

ojson ChangesJson(const std::vector<TChange>& Changes)
{
    ojson list = ojson::array();
    for (const TChange& c : Changes)
        list.push_back(ojson{{"key", c.Key.Name()}, {"old", c.Old}, {"new", c.New}});
    return list;
}

// A setting of a backup that restore leaves alone, and why.
struct TSkipped {
    std::string Key;
    std::string Backup;
    std::string Module;
};

// Warns of an input range whose minimum is not below its maximum: the
// module takes it, but its values then run backwards or stand still.
void WarnOfRanges(const TKelvoSession& Session, const std::vector<TChange>& Changes)
{
    const TKelvorec working = Session.WorkingRecord();
    for (uint8_t ch = 1; ch <= 4; ++ch) {
        bool changed = false;
        for (const TChange& c : Changes)
            changed = changed || (c.Key.Channel == ch &&
                                  (c.Key.Field == TKeyField::RangeMin || c.Key.Field == TKeyField::RangeMax));
        if (!changed)
            continue;
        const std::string min = KeyValueText(working, {TKeyField::RangeMin, ch}).value_or("");
        const std::string max = KeyValueText(working, {TKeyField::RangeMax, ch}).value_or("");
        if (ParseDecimal(min).value_or(0) >= ParseDecimal(max).value_or(0))
            Note("warning: ch" + std::to_string(ch) + ".min (" + min + ") is not below ch" + std::to_string(ch) +
                 ".max (" + max + "); the module takes it, but its values will not rise with the input");
    }
}

// The save of the session's working copy: the writes (Ctrl+C finishes the
// one in progress and sends nothing more), the re-read, and the changes the
// module did not take.
std::vector<TChange> Save(TConnection& C, const std::vector<TChange>& Changes)
{
    const TKelvorec wanted = C.Session.WorkingRecord();
    bool reread = false;
    {
        TFinishWrites finish;
        C.Session.SaveStopRequested = [&C] { return Interrupted() || C.Watch().PortGone(); };
        try {
            reread = C.Session.SaveChanges();
        } catch (const std::exception& e) {
            C.Session.SaveStopRequested = nullptr;
            C.Watch().ThrowIfEnded("while saving");
            throw EStepFailed("Saving to the module on " + C.Name() + " failed: " + e.what());
        }
        C.Session.SaveStopRequested = nullptr;
    }
    TMainThreadQueue::Drain();
    ClearProgress();
    const auto& outcome = C.Session.LastSave();
    const std::string sent = std::to_string(outcome.Sent) + " of " + std::to_string(outcome.Total) + " writes";
    if (C.Watch().PortGone())
        C.Watch().ThrowIfEnded("after " + sent);
    if (outcome.Stopped) {
        if (!reread)
            throw EInterrupted("interrupted after " + sent + "; the module could not be read again (" +
                               C.Session.LastError() + ")");
        return {};
    }
    if (!reread) {
        C.Watch().ThrowIfEnded("while reading the module after saving");
        throw EStepFailed(C.Watch().ReadFailure(C.Session.LastError()) + ", after saving");
    }
    return ChangesNotTaken(wanted, C.Session.ModuleRecord, Changes);
}

// Applies the settings to the module, reads it back and reports; shared by
// set and restore. Every setting is checked against the module before the
// first write; the one save of the session sends only what differs, the
// communication settings last. Raises EStepFailed when the save fails or
// the module did not take every change, EInterrupted when Ctrl+C stopped
// it. DryRun: only the differences are reported.
void SaveAndReport(const TOutput& Out, TConnection& C, const std::vector<TAssignment>& Settings, bool DryRun = false,
                   const std::vector<TSkipped>& Skipped = {})
{
    {
        TKelvoSession check;
        check.ModuleRecord = C.Session.ModuleRecord;
        check.ResetWorkingCopy();
        ApplyAssignments(check, Settings);
    }
    const std::vector<TChange> changes = ApplyAssignments(C.Session, Settings);
    WarnOfRanges(C.Session, changes);
    std::vector<TChange> missed;
    bool stopped = false;
    if (!DryRun && !changes.empty()) {
        missed = Save(C, changes);
        stopped = C.Session.LastSave().Stopped;
    }
    const auto& outcome = C.Session.LastSave();
    const std::string interrupted = "interrupted after " + std::to_string(outcome.Sent) + " of " +
                                    std::to_string(outcome.Total) + " writes";
    std::string error;
    if (!missed.empty()) {
        for (const TChange& m : missed)
            error += (error.empty() ? "" : "; ") + m.Key.Name() + " is " + m.Old + ", not " + m.New;
        error = "The module did not take every change: " + error;
    }

    if (Out.Json) {
        ojson j = ojson::object();
        j["port"] = C.Name();
        if (DryRun)
            j["dry_run"] = true;
        j["changes"] = ChangesJson(changes);
        if (!Skipped.empty()) {
            ojson list = ojson::array();
            for (const TSkipped& k : Skipped)
                list.push_back(ojson{{"key", k.Key}, {"backup", k.Backup}, {"module", k.Module}});
            j["skipped"] = std::move(list);
        }
        if (stopped)
            j["interrupted"] = ojson{{"sent", outcome.Sent}, {"total", outcome.Total}};
        j["not_taken"] = ChangesJson(missed);
        j["module"] = RecordJson(C.Session.ModuleRecord);
        if (!error.empty())
            j["error"] = error;
        PrintJson(j);
    } else {
        ClearProgress();
        // Stopped part way: what each setting is now tells which went out.
        TTextTable t(stopped ? std::vector<std::string>{"Setting", "Before", "Wanted", "Now"}
                             : std::vector<std::string>{"Setting", "Before", "After"});
        for (const TChange& c : changes)
            t.AddRow({c.Key.Name(), c.Old, c.New, KeyValueText(C.Session.ModuleRecord, c.Key).value_or("")});
        if (changes.empty())
            std::cout << "Nothing to change: the module on " << C.Name() << " holds these settings already.\n\n";
        else if (DryRun)
            std::cout << "Would write to the module on " << C.Name() << " (dry run, nothing written):\n"
                      << t.Render() << "\n";
        else if (stopped)
            std::cout << "Interrupted after " << outcome.Sent << " of " << outcome.Total << " writes to the module on "
                      << C.Name() << ":\n" << t.Render() << "\n";
        else
            std::cout << "Saved to the module on " << C.Name() << ":\n" << t.Render() << "\n";
        std::cout << (stopped ? "The module now holds:\n" : DryRun ? "The module holds:\n" : "The module now reports:\n")
                  << RecordText(C.Session.ModuleRecord) << std::flush;
    }
    if (stopped)
        throw EInterrupted(interrupted + "; the module now holds what is printed above");
    if (!error.empty())
        throw EStepFailed(error, Out.Json);
}

TInterfaceName NameOf(ICommunicationInterface* Channel)
{
    return ParseInterfaceName(ChannelName(Channel));
}

// The message without the interface's name in front, for a row of a table
// that names it already.
std::string WithoutName(const std::string& Message, const std::string& Name)
{
    for (const std::string& lead : {Name + ": ", Name + " "})
        if (Message.rfind(lead, 0) == 0)
            return Message.substr(lead.size());
    return Message;
}

}  // namespace

void RunPorts(const TOutput& Out)
{
    // The manager's list: COM ports ascending, then the USB devices.
    TFTDIManager manager;
    manager.Refresh();
    ojson list = ojson::array();
    TTextTable t({"Interface", "Device", "Description", "Status"});
    IntfPtr<ICommunicationInterface> channel;
    for (manager.First(channel); channel; manager.Next(channel)) {
        const std::string name = ChannelName(channel.get());
        std::string description;
        std::string node;
        bool free = false;
        ojson j = ojson{{"port", name}};
        if (auto usb = Supports<IFTDISerialPortInterface>(channel)) {
            usb->GetUSBDescription(description);
            std::string serial;
            usb->GetSerialNumber(serial);
            // In use when another program holds it.
            free = channel->Open();
            channel->Close(false);
            j["serial"] = serial;
            j["description"] = description;
        } else {
            const uint16_t port = NameOf(channel.get()).Port;
            node = PortNode(port);
            free = ProbeComPort(port) == cpsFree;
            j["device"] = node;
        }
        const char* text = free ? "free" : "in use";
        j["status"] = text;
        list.push_back(std::move(j));
        t.AddRow({name, node, description, text});
    }
    channel = nullptr;
    TMainThreadQueue::Drain();
    if (Out.Json)
        PrintJson(ojson{{"ports", std::move(list)}});
    else if (t.RowCount() == 0)
        std::cout << "No COM ports or USB devices found.\n";
    else
        std::cout << t.Render();
}

void RunSearch(const TOutput& Out, const std::set<int32_t>& Speeds, std::vector<TInterfaceName> Only,
               std::optional<uint8_t> Address)
{
    // What is searched, in order: the interfaces named, else the manager's list.
    struct TTarget {
        TInterfaceName Name;
        IntfPtr<ICommunicationInterface> Channel;
        std::string Missing;  // why there is nothing to search
    };
    std::vector<TTarget> targets;
    TFTDIManager manager;
    manager.Lock();
    try {
        manager.Refresh();
        IntfPtr<ICommunicationInterface> c;
        if (Only.empty()) {
            for (manager.First(c); c; manager.Next(c))
                targets.push_back({NameOf(c.get()), c, ""});
        }
        for (TInterfaceName& n : Only) {
            ResolveNode(n);
            TTarget t{n, nullptr, ""};
            if (!n.UsbSerial.empty()) {
                for (manager.First(c); c && !t.Channel; manager.Next(c))
                    if (ChannelName(c.get()) == n.Text())
                        t.Channel = c;
                if (!t.Channel)
                    t.Missing = n.Text() + ": no such USB device";
            } else {
                TPortChoice where;
                where.Port = n.Port;
                t.Channel = MakeChannel(where);
            }
            targets.push_back(std::move(t));
        }
    } catch (...) {
        manager.Unlock();
        throw;
    }
    manager.Unlock();

    TPortChoice where;
    where.Speeds = Speeds;
    where.Address = Address;
    const std::string tried = TriedSpeeds(where);

    // A row per interface as soon as it has been searched.
    TTextTable table({"Interface", "Model", "Serial", "Speed", "Result"});
    std::vector<size_t> widths = table.FixedWidths(0);
    for (const TTarget& t : targets)
        widths[0] = std::max(widths[0], t.Name.Text().size());
    widths[1] = 8, widths[2] = 6, widths[3] = SpeedText(230400).size();
    if (!Out.Json && !targets.empty()) {
        ClearProgress();
        std::cout << table.RenderHeader(widths) << std::flush;
    }
    auto row = [&](const std::string& Interface, const std::vector<std::string>& Cells, const std::string& Result) {
        if (Out.Json)
            return;
        std::vector<std::string> cells{Interface};
        cells.insert(cells.end(), Cells.begin(), Cells.end());
        cells.resize(4);
        cells.push_back(Result);
        ClearProgress();
        std::cout << table.RenderRow(cells, widths) << std::flush;
    };

    ojson results = ojson::array();
    ojson skipped = ojson::array();
    std::vector<TFoundModule> found;
    size_t searched = 0;
    for (size_t i = 0; i < targets.size() && !Interrupted(); ++i) {
        const TTarget& t = targets[i];
        const std::string name = t.Name.Text();
        ++searched;
        if (!t.Channel) {
            row(name, {}, WithoutName(t.Missing, name));
            results.push_back(ojson{{"interface", name}, {"result", "no such port"}, {"message", t.Missing}});
            continue;
        }
        TKelvoSession session;
        ChooseSpeeds(session, where);
        std::string description;
        t.Channel->GetDescription(description);
        Log("TestCI " + description, SearchSender(), 0, 10);
        TKelvorec probe;
        bool answered = false;
        std::string result, message;
        std::optional<TFoundModule> module;
        {
            TExchangeWatch watch(session, t.Channel.get(), t.Name, name);
            watch.SetProgressSuffix("(" + std::to_string(i + 1) + " of " + std::to_string(targets.size()) + ")");
            try {
                answered = session.ProbeInterface(t.Channel.get(), probe, true);
            } catch (const std::exception&) {
                // Ended by Ctrl+C or a port that disappeared; told below.
            }
            Log(answered ? "TestCI (result=1)" : "TestCI (result=0)", SearchSender(), 0, answered ? 11 : 12);
            if (answered) {
                // The probe only names the model; the serial number comes
                // from reading the module.
                TFoundModule m;
                m.Interface = name;
                m.Speed = session.CurrentBaudRate;
                m.Model = probe.Model;
                session.CurrentInterface = t.Channel;
                if (session.ReadModule())
                    m.Record = session.ModuleRecord;
                else
                    m.ReadError = watch.ReadFailure(session.LastError());
                session.CurrentInterface = nullptr;
                module = std::move(m);
                result = "found";
            } else if (watch.PortGone()) {
                result = "disappeared";
                message = name + ": the port disappeared while it was searched";
            } else if (Interrupted()) {
                result = "interrupted";
                message = name + ": interrupted";
            } else if (!t.Channel->GetActive()) {
                message = OpenFailureText(t.Name);
                result = !t.Name.UsbSerial.empty() || MissingPortText(t.Name).empty() ? "cannot be opened"
                                                                                      : "no such port";
                skipped.push_back(ojson{{"interface", name}, {"reason", WithoutName(message, name)}});
            } else {
                message = watch.ProbeFailure(tried);
                result = message.rfind("No module answered", 0) == 0 ? "no answer"
                         : message.find("not a Kelvo module") != std::string::npos ? "not a module"
                                                                                   : "invalid reply";
                if (result == "no answer")
                    message = "no answer at " + tried;
            }
            watch.StopWatchingPort();
            t.Channel->Close(false);
            TMainThreadQueue::Drain();
            if (watch.PortGone() && !Interrupted())
                ClearQueryCancel();  // the other ports are still there
        }
        ojson j{{"interface", name}, {"result", result}};
        if (module) {
            char serial[16] = "";
            if (module->Record)
                std::snprintf(serial, sizeof serial, "%.4d", int(module->Record->Info.SerialNumber));
            row(name, {ModelName(module->Model), serial, SpeedText(module->Speed)},
                module->Record ? "found" : "found; the serial number could not be read: " + module->ReadError);
            found.push_back(std::move(*module));
        } else {
            row(name, {}, WithoutName(message, name));
            j["message"] = message;
        }
        results.push_back(std::move(j));
    }

    std::string error;
    if (found.empty())
        error = "No module found (" + std::to_string(targets.size()) + " interface(s) searched at " + tried + ")";
    if (Out.Json) {
        ojson j = FoundModulesJson(found);
        j["interfaces"] = std::move(results);
        j["skipped"] = std::move(skipped);
        if (Interrupted())
            j["interrupted"] = true;
        if (!error.empty())
            j["error"] = error;
        PrintJson(j);
    }
    ClearProgress();
    if (Interrupted())
        throw EInterrupted("interrupted after " + std::to_string(searched) + " of " + std::to_string(targets.size()) +
                           " interfaces");
    if (!error.empty())
        throw EStepFailed(error, Out.Json);
}

void RunRead(const TOutput& Out, const TPortChoice& Where)
{
    TConnection c(Where);
    if (Out.Json) {
        ojson j = ojson::object();
        j["port"] = c.Name();
        j["line_speed"] = c.LineSpeed();
        j["module"] = RecordJson(c.Session.ModuleRecord);
        PrintJson(j);
        return;
    }
    std::cout << c.Name() << " at " << SpeedText(c.LineSpeed()) << "\n\n" << RecordText(c.Session.ModuleRecord);
}

void RunMeasure(const TOutput& Out, const TPortChoice& Where, uint32_t Count, uint32_t IntervalMs,
                const std::string& CsvFile)
{
    // A measurement that cannot be kept is not started; the file itself is
    // created only once a module answered.
    if (!CsvFile.empty()) {
        const fs::path folder = Utf8Path(CsvFile).parent_path();
        std::error_code ec;
        if (!folder.empty() && !fs::is_directory(folder, ec))
            throw EUsageError(CsvFile + ": the folder " + folder.string() + " does not exist");
    }

    TConnection c(Where);
    const TKelvorec& record = c.Session.ModuleRecord;
    const std::vector<std::string> headings = MeasureHeadings(record);
    // The file is opened (created, or checked to hold the same columns)
    // only now that a module answered.
    TMeasureCsvFile csv;
    if (!CsvFile.empty()) {
        try {
            csv.Open(CsvFile);
        } catch (const EMeasureCsvError& e) {
            throw EStepFailed(e.Message());
        }
    }
    TTextTable table(headings);
    for (size_t col = 1; col <= 4; ++col)
        table.AlignRight(col);
    std::vector<size_t> widths = table.FixedWidths(kValueTextWidth);
    widths[0] = TimeText(std::chrono::system_clock::now(), false).size();
    if (!Out.Json) {
        std::cout << ModelName(record.Model) << " on " << c.Name() << c.Session.ModuleNameCaption() << "\n\n"
                  << table.RenderHeader(widths) << std::flush;
    }

    uint32_t polls = 0;
    uint32_t unanswered = 0;
    const uint32_t begin = GetTickCount32();
    auto stopped = [&c] { return Interrupted() || c.Watch().PortGone(); };
    for (uint32_t tick = 0; (Count == 0 || tick < Count) && !stopped(); ++tick) {
        const uint32_t start = GetTickCount32();
        std::array<TKelvoChannelRecountedValue, 4> values{};
        bool answered = false;
        try {
            answered = c.Session.ReadMeasuredValues(values);
        } catch (const std::exception& e) {
            // A reply that could not be parsed counts as no answer; the
            // page, too, just shows "-" and tries again.
            for (auto& v : values)
                v.Valid = false;
            Note(std::string("measured values: ") + e.what());
        }
        // A poll cut short by Ctrl+C or a vanished port is no poll.
        if (stopped())
            break;
        const auto now = std::chrono::system_clock::now();
        ++polls;
        if (!answered)
            ++unanswered;
        const std::vector<std::string> cells = MeasureCells(values, answered);
        if (Out.Json) {
            std::cout << MeasureJson(TimeText(now, true), answered, record, values)
                             .dump(-1, ' ', false, ojson::error_handler_t::replace)
                      << "\n";
        } else {
            std::vector<std::string> row{TimeText(now, false)};
            row.insert(row.end(), cells.begin(), cells.end());
            std::cout << table.RenderRow(row, widths);
        }
        std::cout << std::flush;
        if (csv.IsOpen()) {
            try {
                csv.WriteRow(now, values, answered);
            } catch (const EMeasureCsvError& e) {
                throw EStepFailed(e.Message());
            }
        }
        TMainThreadQueue::Drain();
        if (Count != 0 && tick + 1 >= Count)
            break;
        while (GetTickCount32() - start < IntervalMs && !stopped())
            TMainThreadQueue::DrainFor(std::min<uint32_t>(100, IntervalMs - (GetTickCount32() - start)));
    }
    const uint32_t seconds10 = (GetTickCount32() - begin) / 100;
    Note(std::to_string(polls) + (polls == 1 ? " poll" : " polls") + " in " + std::to_string(seconds10 / 10) + "." +
         std::to_string(seconds10 % 10) + " s: " + std::to_string(polls - unanswered) + " answered" +
         (unanswered ? ", " + std::to_string(unanswered) + " without answer" : std::string()) +
         (Interrupted() ? " (stopped by Ctrl+C)" : ""));
    // Ctrl+C is how a measurement ends; a port that vanished is a failure.
    if (c.Watch().PortGone())
        c.Watch().ThrowIfEnded("while measuring");
    if (unanswered > 0)
        throw EStepFailed("Device not responding ($58): " + std::to_string(unanswered) + " of " +
                          std::to_string(polls) + " polls unanswered");
}

void RunSet(const TOutput& Out, const TPortChoice& Where, const std::vector<std::string>& Assignments)
{
    // Every value is checked before the port is touched.
    std::vector<TAssignment> parsed;
    for (const std::string& a : Assignments)
        parsed.push_back(ParseAssignment(a));
    TConnection c(Where);
    SaveAndReport(Out, c, parsed);
}

void RunBackup(const TOutput& Out, const TPortChoice& Where, const std::string& File)
{
    TConnection c(Where);
    const TKelvorec& record = c.Session.ModuleRecord;
    const std::string made = TimeText(std::chrono::system_clock::now(), true).substr(0, 19);
    WriteFileText(File, BackupJson(record, made).dump(2) + "\n");
    if (Out.Json) {
        ojson j = ojson::object();
        j["port"] = c.Name();
        j["file"] = File;
        j["model"] = ModelName(record.Model);
        j["serial"] = record.Info.SerialText;
        j["made"] = made;
        PrintJson(j);
        return;
    }
    std::cout << "Configuration of the " << ModelName(record.Model) << " " << record.Info.SerialText << " on "
              << c.Name() << " written to " << File << "\n";
}

void RunRestore(const TOutput& Out, const TPortChoice& Where, const std::string& File, bool DryRun, bool Force)
{
    // The whole file is checked before the port is touched.
    const std::string text = ReadFileText(File);
    TBackup backup;
    try {
        backup = ParseBackup(text);
    } catch (const EUsageError& e) {
        throw EUsageError(File + ": " + e.Message());
    }
    TConnection c(Where);
    const TKelvorec& device = c.Session.ModuleRecord;
    if (backup.Model != ModelName(device.Model))
        throw EUsageError(File + " is a backup of a " + (backup.Model.empty() ? "module of unknown model" : backup.Model) +
                          ", but the module on " + c.Name() + " is a " +
                          (ModelName(device.Model).empty() ? "module of unknown model" : ModelName(device.Model)) +
                          "; nothing was written");
    // Address and speed belong to one module on its bus: onto another one
    // (or when the backup does not say which it came from) they are left
    // alone, unless forced.
    const std::string serial = ModuleTextToUtf8(device.Info.SerialText);
    const bool sameModule = !backup.Serial.empty() && backup.Serial == serial;
    std::vector<TAssignment> settings;
    std::vector<TSkipped> skipped;
    for (const TAssignment& a : backup.Settings) {
        // Address and speed can be set only on a KelvoRS; on the others the
        // backup merely records them.
        const bool commSetting = a.Key.Field == TKeyField::Address || a.Key.Field == TKeyField::Speed;
        if (commSetting && device.Model != kModelKelvoRS)
            continue;
        if (commSetting && !sameModule && !Force) {
            TKelvoSession probe;
            probe.ModuleRecord = device;
            probe.ResetWorkingCopy();
            const auto change = ApplyAssignments(probe, {a});
            if (!change.empty())
                skipped.push_back({a.Key.Name(), change.front().New, change.front().Old});
            continue;
        }
        settings.push_back(a);
    }
    if (!skipped.empty()) {
        std::string list;
        for (const TSkipped& k : skipped)
            list += (list.empty() ? "" : ", ") + k.Key + " (backup " + k.Backup + ", module " + k.Module + ")";
        Note("not restored: " + list + " - the backup is of the module " +
             (backup.Serial.empty() ? std::string("of unknown serial number") : backup.Serial) + ", this one is " +
             serial + " (--force restores them too)");
    }
    SaveAndReport(Out, c, settings, DryRun, skipped);
}

}  // namespace kelvo::ctl
