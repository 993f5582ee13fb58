#include "kelvoctl_commands.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "AfComPortCore.h"
#include "kelvoctl_args.h"
#include "kelvoctl_connect.h"
#include "kelvoctl_console.h"
#include "kelvoctl_json.h"
#include "uModuleSettings.h"
#include "kelvoctl_parallel.h"
#include "kelvoctl_report.h"
#include "kelvoctl_save.h"
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

// The search loop logs as the window's search does.
const TLogSender& SearchSender()
{
    static const TLogSender sender("kelvoctl");
    return sender;
}

void WriteFileText(const std::string& File, const std::string& Text)
{
    try {
        WriteTextFileReplacing(File, Text);
    } catch (const ETextFileError& e) {
        throw EStepFailed(e.Message());
    }
}

// Applies the settings to the module, reads it back and reports; shared by
// set and restore. Every setting is checked against the module before the
// first write; the one save of the session sends only what differs, the
// communication settings last. Raises EStepFailed when the save fails or
// the module did not take every change, EInterrupted when Ctrl+C stopped
// it. DryRun: only the differences are reported.
void SaveAndReport(const TOutput& Out, TConnection& C, const std::vector<TAssignment>& Settings,
                   const TApplyOptions& Apply, bool DryRun = false, const std::vector<TSkipped>& Skipped = {})
{
    const TSaveResult saved = ApplyAndSave(C, Settings, DryRun, Apply);
    const std::vector<TChange>& changes = saved.Changes;
    const std::vector<TChange>& missed = saved.Missed;
    const bool stopped = saved.Stopped;
    const auto& outcome = C.Session.LastSave();
    const std::string interrupted = "interrupted after " + std::to_string(outcome.Sent) + " of " +
                                    std::to_string(outcome.Total) + " writes";
    const std::string error = saved.NotTakenText();

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
        if (stopped) {
            j["interrupted"] = true;
            j["writes"] = ojson{{"sent", outcome.Sent}, {"total", outcome.Total}};
        }
        j["not_taken"] = ChangesJson(missed);
        j["module"] = RecordJson(C.Session.ModuleRecord);
        if (stopped)
            j["error"] = interrupted;
        else if (!error.empty())
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
        throw EInterrupted(interrupted + "; the module now holds what is printed above", Out.Json);
    if (!error.empty())
        throw EStepFailed(error, Out.Json);
}

TInterfaceName NameOf(ICommunicationInterface* Channel)
{
    return ParseInterfaceName(ChannelName(Channel));
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
        std::string status;
        std::string advice;
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
            TAfOpenError why;
            free = AfProbeComPort(port, &why) == ppAvailable;
            // As the search says it: a port the user may not open is not
            // one another program holds.
            if (!free && why.Reason == ofAccessDenied) {
                status = "no permission";
                advice = NodeAccessAdvice(node);
            } else if (!free && why.Reason == ofNotSerial) {
                status = "not a serial port";
            } else if (!free && why.Reason == ofOther) {
                status = "cannot be opened";
                if (why.SystemError)
                    advice = SystemErrorText(why.SystemError);
            }
            j["device"] = node;
        }
        if (status.empty())
            status = free ? "free" : "in use";
        j["status"] = status;
        if (!advice.empty())
            j["advice"] = advice;
        list.push_back(std::move(j));
        t.AddRow({name, node, description, advice.empty() ? status : status + ": " + advice});
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

namespace {

// What the search of one interface found, for its row and its JSON.
struct TSearchOutcome {
    std::vector<std::string> Cells;  // model, serial, speed
    std::string Result;              // the row's last column
    ojson Json;
    ojson Skipped;                   // null unless it could not be opened
    std::optional<TFoundModule> Module;
};

// One interface of the search, as the window searches it: the checked
// speeds in its order, the channel put back afterwards, the log lines.
// Runs on a worker thread of its own; the channel is this thread's alone.
TSearchOutcome SearchOne(const TTarget& T, const TPortChoice& Where, const std::string& Tried,
                         const std::string& Suffix)
{
    const std::string name = T.Name.Text();
    TSearchOutcome o;
    o.Json = ojson{{"interface", name}};
    if (!T.Channel) {
        o.Result = WithoutName(T.Missing, name);
        o.Json["result"] = "no such port";
        o.Json["message"] = T.Missing;
        return o;
    }
    if (Interrupted()) {
        o.Result = "interrupted";
        o.Json["result"] = "interrupted";
        return o;
    }
    TKelvoSession session;
    ChooseSpeeds(session, Where);
    std::string description;
    T.Channel->GetDescription(description);
    Log("TestCI " + description, SearchSender(), 0, 10);
    TKelvorec probe;
    bool answered = false;
    std::string result, message;
    {
        TExchangeWatch watch(session, T.Channel.get(), T.Name, name);
        watch.SetProgressSuffix(Suffix);
        try {
            answered = session.ProbeInterface(T.Channel.get(), probe, true);
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
            session.CurrentInterface = T.Channel;
            if (session.ReadModule())
                m.Record = session.ModuleRecord;
            else
                m.ReadError = watch.ReadFailure(session.LastError());
            session.CurrentInterface = nullptr;
            o.Module = std::move(m);
            result = "found";
        } else if (watch.PortGone()) {
            result = "disappeared";
            message = name + ": the port disappeared while it was searched";
        } else if (Interrupted()) {
            result = "interrupted";
            message = name + ": interrupted";
        } else if (!T.Channel->GetActive()) {
            message = OpenFailureText(T.Name);
            result = !T.Name.UsbSerial.empty() || MissingPortText(T.Name).empty() ? "cannot be opened"
                                                                                  : "no such port";
            o.Skipped = ojson{{"interface", name}, {"reason", WithoutName(message, name)}};
        } else {
            message = watch.ProbeFailure(Tried);
            result = message.rfind("No module answered", 0) == 0 ? "no answer"
                     : message.find("not a Kelvo module") != std::string::npos ? "not a module"
                                                                               : "invalid reply";
            if (result == "no answer")
                message = "no answer at " + Tried;
        }
        watch.StopWatchingPort();
        T.Channel->Close(false);
    }
    o.Json["result"] = result;
    if (o.Module) {
        o.Cells = {ModelName(o.Module->Model), o.Module->Record ? SerialNumberText(*o.Module->Record) : std::string(),
                   SpeedText(o.Module->Speed)};
        o.Result = o.Module->Record ? "found" : "found; the serial number could not be read: " + o.Module->ReadError;
    } else {
        o.Result = WithoutName(message, name);
        o.Json["message"] = message;
    }
    return o;
}

}  // namespace

void RunSearch(const TOutput& Out, const std::set<int32_t>& Speeds, std::vector<TInterfaceName> Only,
               std::optional<uint8_t> Address, size_t Jobs)
{
    // What is searched, in order: the interfaces named, else the manager's
    // list. The manager stays on this thread.
    TFTDIManager manager;
    const std::vector<TTarget> targets = CommandTargets(manager, std::move(Only));

    TPortChoice where;
    where.Speeds = Speeds;
    where.Address = Address;
    const std::string tried = TriedSpeeds(where);

    // A row per interface, in their order, as soon as it and those before
    // it have been searched.
    TTextTable table({"Interface", "Model", "Serial", "Speed", "Result"});
    std::vector<size_t> widths = table.FixedWidths(0);
    for (const TTarget& t : targets)
        widths[0] = std::max(widths[0], t.Name.Text().size());
    widths[1] = 8, widths[2] = 6, widths[3] = SpeedText(230400).size();
    if (!Out.Json && !targets.empty()) {
        ClearProgress();
        std::cout << table.RenderHeader(widths) << std::flush;
    }

    ojson results = ojson::array();
    ojson skipped = ojson::array();
    std::vector<TFoundModule> found;
    std::vector<TSearchOutcome> outcomes(targets.size());
    std::atomic<size_t> searched{0};
    const std::string total = std::to_string(targets.size());
    RunInParallel(
        targets.size(), Jobs,
        [&](size_t i) {
            if (!Interrupted())
                ++searched;
            outcomes[i] = SearchOne(targets[i], where, tried, "(" + std::to_string(i + 1) + " of " + total + ")");
        },
        [&](size_t i) {
            TSearchOutcome& o = outcomes[i];
            if (!Out.Json) {
                std::vector<std::string> cells{targets[i].Name.Text()};
                cells.insert(cells.end(), o.Cells.begin(), o.Cells.end());
                cells.resize(4);
                cells.push_back(o.Result);
                ClearProgress();
                std::cout << table.RenderRow(cells, widths) << std::flush;
            }
            if (o.Module)
                found.push_back(std::move(*o.Module));
            if (!o.Skipped.is_null())
                skipped.push_back(std::move(o.Skipped));
            results.push_back(std::move(o.Json));
        });

    std::string error;
    if (found.empty())
        error = "No module found (" + std::to_string(targets.size()) + " interface(s) searched at " + tried + ")";
    if (Out.Json) {
        ojson j = FoundModulesJson(found);
        j["interfaces"] = std::move(results);
        j["skipped"] = std::move(skipped);
        const std::string stoppedText =
            "interrupted after " + std::to_string(searched.load()) + " of " + total + " interfaces";
        if (Interrupted()) {
            j["interrupted"] = true;
            j["error"] = stoppedText;
        } else if (!error.empty()) {
            j["error"] = error;
        }
        PrintJson(j);
    }
    ClearProgress();
    if (Interrupted())
        throw EInterrupted("interrupted after " + std::to_string(searched.load()) + " of " + total + " interfaces",
                           Out.Json);
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
    RequireFolderOf(CsvFile);

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

void RunSet(const TOutput& Out, const TPortChoice& Where, const std::vector<std::string>& Assignments,
            const TApplyOptions& Apply)
{
    // Every value is checked before the port is touched.
    std::vector<TAssignment> parsed;
    for (const std::string& a : Assignments)
        parsed.push_back(ParseAssignment(a));
    TConnection c(Where);
    SaveAndReport(Out, c, parsed, Apply);
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

void RunRestore(const TOutput& Out, const TPortChoice& Where, const std::string& File, bool DryRun, bool Force,
                const TApplyOptions& Apply)
{
    // The whole file is checked before the port is touched.
    const TBackup backup = ReadBackupFile(File);
    TConnection c(Where);
    const TKelvorec& device = c.Session.ModuleRecord;
    const std::string serial = ModuleTextToUtf8(device.Info.SerialText);
    std::vector<TSkipped> skipped;
    const std::vector<TAssignment> settings = RestoreSettings(backup, File, device, c.Name(), Force, skipped);
    if (!skipped.empty()) {
        std::string list;
        for (const TSkipped& k : skipped)
            list += (list.empty() ? "" : ", ") + k.Key + " (backup " + k.Backup + ", module " + k.Module + ")";
        Note("not restored: " + list + " - the backup is of the module " +
             (backup.Serial.empty() ? std::string("of unknown serial number") : backup.Serial) + ", this one is " +
             serial + " (--force restores them too)");
    }
    SaveAndReport(Out, c, settings, Apply, DryRun, skipped);
}

}  // namespace kelvo::ctl
