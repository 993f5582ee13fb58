#include "kelvoctl_commands.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "kelvoctl_args.h"
#include "kelvoctl_json.h"
#include "kelvoctl_keys.h"
#include "kelvoctl_report.h"
#include "kelvoctl_table.h"
#include "kelvoctl_usb.h"
#include "uKelvoSession.h"
#include "uLogUtils.h"
#include "uMainThreadQueue.h"
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
    std::cout << J.dump(2, ' ', false, ojson::error_handler_t::replace) << "\n" << std::flush;
}

void Note(const std::string& Text)
{
    std::cerr << "kelvoctl: " << Text << "\n";
}

fs::path Utf8Path(const std::string& Name)
{
    return fs::path(std::u8string(Name.begin(), Name.end()));
}

// The speeds a probe of Where tries, as the log and the messages name them.
std::string TriedSpeeds(const TPortChoice& Where)
{
    if (Where.Speed)
        return std::to_string(*Where.Speed) + " bit/s";
    std::string list;
    for (int32_t s : Where.Speeds)
        list += (list.empty() ? "" : ", ") + TKelvoSession::SpeedLabel(s);
    return list;
}

void ChooseSpeeds(TKelvoSession& Session, const TPortChoice& Where)
{
    if (Where.Speed) {
        // The window's "baudrate" switch: this speed first, and with no
        // speed checked, only this one.
        Session.SearchSpeeds.clear();
        Session.BaudrateParam = "baudrate=" + std::to_string(*Where.Speed);
    } else {
        Session.SearchSpeeds = Where.Speeds;
        Session.BaudrateParam.clear();
    }
}

// Why a port without an answering module did not answer.
std::string NoModuleReason(bool Opened, const TPortChoice& Where)
{
    const std::string name = ChannelName(Where);
    if (!Opened && !Where.UsbSerial.empty())
        return name + ": the USB device cannot be opened (not plugged in, in use, or no D2XX library)";
    if (!Opened) {
        if (ProbeComPort(Where.Port) == cpsNotFound)
            return name + ": no such port";
        return name + ": the port cannot be opened (in use by another program?)";
    }
    return "No module answered on " + name + " at " + TriedSpeeds(Where);
}

// One module on one port: probed, left open at the speed that answered,
// and read. Closes the port when it goes.
class TConnection {
public:
    explicit TConnection(const TPortChoice& Where) : FName(ChannelName(Where))
    {
        FPort = MakeChannel(Where);
        ChooseSpeeds(Session, Where);
        TKelvorec probe;
        const bool found = Session.ProbeInterface(FPort.get(), probe, true);
        TMainThreadQueue::Drain();
        if (!found) {
            const bool opened = FPort->GetActive();
            Close();
            throw EStepFailed(NoModuleReason(opened, Where));
        }
        Session.CurrentInterface = FPort;
        const bool read = Session.ReadModule();
        TMainThreadQueue::Drain();
        if (!read) {
            const std::string why = Session.LastError();
            Close();
            throw EStepFailed("Reading the module on " + FName + " failed: " + why);
        }
    }
    ~TConnection() { Close(); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    const std::string& Name() const { return FName; }
    int32_t LineSpeed()
    {
        auto serial = Supports<ISerialPortInterface>(FPort);
        return serial ? serial->GetBaudRate() : 0;
    }

    TKelvoSession Session;

private:
    void Close()
    {
        Session.CurrentInterface = nullptr;
        if (FPort) {
            FPort->Close(false);
            TMainThreadQueue::Drain();
            FPort = nullptr;
        }
    }

    std::string FName;
    IntfPtr<ICommunicationInterface> FPort;
};

std::string ReadFileText(const std::string& File)
{
    std::error_code ec;
    const fs::path path = Utf8Path(File);
    const uintmax_t size = fs::file_size(path, ec);
    if (ec)
        throw EUsageError(File + ": " + ec.message());
    if (size > kMaxBackupFileSize)
        throw EUsageError(File + " is not a kelvoctl backup (far too large)");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EUsageError(File + ": cannot be read");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes Text to File through a temporary file beside it, so that a
// failure never leaves a half-written file in place of an older backup.
void WriteFileText(const std::string& File, const std::string& Text)
{
    const fs::path path = Utf8Path(File);
    fs::path temp = path;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << Text;
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            throw EStepFailed(File + ": cannot be written");
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw EStepFailed(File + ": cannot be written (" + ec.message() + ")");
    }
}

ojson ChangesJson(const std::vector<TChange>& Changes)
{
    ojson list = ojson::array();
    for (const TChange& c : Changes)
        list.push_back(ojson{{"key", c.Key.Name()}, {"old", c.Old}, {"new", c.New}});
    return list;
}

// One save of the session's working copy: the writes, the re-read, and the
// changes the module did not take.
std::vector<TChange> Save(TConnection& C, const std::vector<TChange>& Changes)
{
    if (Changes.empty())
        return {};
    const TKelvorec wanted = C.Session.WorkingRecord();
    bool reread = false;
    try {
        reread = C.Session.SaveChanges();
    } catch (const std::exception& e) {
        throw EStepFailed("Saving to the module on " + C.Name() + " failed: " + e.what());
    }
    TMainThreadQueue::Drain();
    if (!reread)
        throw EStepFailed("Reading the module on " + C.Name() + " after saving failed: " + C.Session.LastError());
    return ChangesNotTaken(wanted, C.Session.ModuleRecord, Changes);
}

// Applies the settings to the module, reads it back and reports; shared by
// set and restore. Every setting is checked against the module before the
// first write; the one save of the session sends only what differs, the
// communication settings last. Raises EStepFailed when the save fails or
// the module did not take every change.
void SaveAndReport(const TOutput& Out, TConnection& C, const std::vector<TAssignment>& Settings)
{
    {
        TKelvoSession check;
        check.ModuleRecord = C.Session.ModuleRecord;
        check.ResetWorkingCopy();
        ApplyAssignments(check, Settings);
    }
    const std::vector<TChange> changes = ApplyAssignments(C.Session, Settings);
    const std::vector<TChange> missed = Save(C, changes);
    std::string error;
    if (!missed.empty()) {
        for (const TChange& m : missed)
            error += (error.empty() ? "" : "; ") + m.Key.Name() + " is " + m.Old + ", not " + m.New;
        error = "The module did not take every change: " + error;
    }

    if (Out.Json) {
        ojson j = ojson::object();
        j["port"] = C.Name();
        j["changes"] = ChangesJson(changes);
        j["not_taken"] = ChangesJson(missed);
        j["module"] = RecordJson(C.Session.ModuleRecord);
        if (!error.empty())
            j["error"] = error;
        PrintJson(j);
    } else {
        if (changes.empty()) {
            std::cout << "Nothing to change: the module on " << C.Name() << " holds these settings already.\n\n";
        } else {
            TTextTable t({"Setting", "Before", "After"});
            for (const TChange& c : changes)
                t.AddRow({c.Key.Name(), c.Old, c.New});
            std::cout << "Saved to the module on " << C.Name() << ":\n" << t.Render() << "\n";
        }
        std::cout << "The module now reports:\n" << RecordText(C.Session.ModuleRecord);
    }
    if (!error.empty())
        throw EStepFailed(error, Out.Json);
}

}  // namespace

void RunPorts(const TOutput& Out)
{
    // The manager's list: COM ports ascending, then the USB devices.
    TFTDIManager manager;
    manager.Refresh();
    ojson list = ojson::array();
    TTextTable t({"Interface", "Description", "Status"});
    IntfPtr<ICommunicationInterface> channel;
    for (manager.First(channel); channel; manager.Next(channel)) {
        const std::string name = ChannelName(channel.get());
        std::string description;
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
            std::string n;
            channel->GetName(n);
            free = ProbeComPort(static_cast<uint16_t>(std::stoi(n.substr(3)))) == cpsFree;
        }
        const char* text = free ? "free" : "in use";
        j["status"] = text;
        list.push_back(std::move(j));
        t.AddRow({name, description, text});
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

void RunSearch(const TOutput& Out, const std::set<int32_t>& Speeds, std::optional<TInterfaceName> Only)
{
    TFTDIManager manager;
    std::vector<IntfPtr<ICommunicationInterface>> channels;
    if (Only && Only->UsbSerial.empty()) {
        if (ProbeComPort(Only->Port) == cpsNotFound)
            throw EStepFailed(Only->Text() + ": no such port");
    }
    manager.Lock();
    try {
        manager.Refresh();
        IntfPtr<ICommunicationInterface> c;
        for (manager.First(c); c; manager.Next(c))
            if (!Only || ChannelName(c.get()) == Only->Text())
                channels.push_back(c);
    } catch (...) {
        manager.Unlock();
        throw;
    }
    manager.Unlock();
    if (Only && channels.empty())
        throw EStepFailed(Only->Text() + ": no such USB device");

    TPortChoice where;
    where.Speeds = Speeds;
    ojson skipped = ojson::array();
    std::vector<TFoundModule> found;
    for (const auto& channel : channels) {
        const std::string name = ChannelName(channel.get());
        TKelvoSession session;
        ChooseSpeeds(session, where);
        std::string description;
        channel->GetDescription(description);
        Log("TestCI " + description, SearchSender(), 0, 10);
        TKelvorec probe;
        const bool answered = session.ProbeInterface(channel.get(), probe, true);
        Log(answered ? "TestCI (result=1)" : "TestCI (result=0)", SearchSender(), 0, answered ? 11 : 12);
        if (answered) {
            // The probe only names the model; the serial number comes from
            // reading the module.
            TFoundModule m;
            m.Interface = name;
            m.Speed = session.CurrentBaudRate;
            m.Model = probe.Model;
            session.CurrentInterface = channel;
            if (session.ReadModule())
                m.Record = session.ModuleRecord;
            else
                m.ReadError = session.LastError();
            session.CurrentInterface = nullptr;
            found.push_back(std::move(m));
        } else if (!channel->GetActive()) {
            skipped.push_back(ojson{{"interface", name}, {"reason", "cannot be opened"}});
            if (!Out.Json)
                Note(name + " cannot be opened (in use?) and was not searched");
        }
        channel->Close(false);
        TMainThreadQueue::Drain();
    }

    std::string error;
    if (found.empty()) {
        std::string speeds;
        for (int32_t s : Speeds)
            speeds += (speeds.empty() ? "" : ", ") + TKelvoSession::SpeedLabel(s);
        error = "No module found (" + std::to_string(channels.size()) + " interface(s) searched at " + speeds + ")";
    }
    if (Out.Json) {
        ojson j = FoundModulesJson(found);
        j["skipped"] = std::move(skipped);
        if (!error.empty())
            j["error"] = error;
        PrintJson(j);
    } else if (!found.empty()) {
        std::cout << FoundModulesText(found);
    }
    for (const TFoundModule& m : found)
        if (!m.Record && !Out.Json)
            Note(m.Interface + ": the serial number could not be read: " + m.ReadError);
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
    std::cout << c.Name() << " at " << c.LineSpeed() << " bit/s\n\n" << RecordText(c.Session.ModuleRecord);
}

void RunMeasure(const TOutput& Out, const TPortChoice& Where, uint32_t Count, uint32_t IntervalMs,
                const std::string& CsvFile)
{
    // The file first: a measurement that cannot be kept is not started.
    std::ofstream csv;
    bool csvNew = false;
    if (!CsvFile.empty()) {
        const fs::path path = Utf8Path(CsvFile);
        std::error_code ec;
        csvNew = !fs::exists(path, ec) || fs::file_size(path, ec) == 0;
        csv.open(path, std::ios::binary | std::ios::app);
        if (!csv)
            throw EStepFailed(CsvFile + ": cannot be opened for appending");
    }

    TConnection c(Where);
    const TKelvorec& record = c.Session.ModuleRecord;
    const std::vector<std::string> headings = MeasureHeadings(record);
    if (csv.is_open() && csvNew) {
        csv << CsvLine(headings);
        csv.flush();
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
    for (uint32_t tick = 0; Count == 0 || tick < Count; ++tick) {
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
        const auto now = std::chrono::system_clock::now();
        ++polls;
        if (!answered)
            ++unanswered;
        const std::vector<std::string> cells = MeasureCells(values);
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
        if (csv.is_open()) {
            std::vector<std::string> row{TimeText(now, true)};
            for (const std::string& cell : cells)
                row.push_back(TrimText(cell));
            csv << CsvLine(row);
            csv.flush();
        }
        TMainThreadQueue::Drain();
        if (Count != 0 && tick + 1 >= Count)
            break;
        const uint32_t spent = GetTickCount32() - start;
        if (spent < IntervalMs)
            TMainThreadQueue::DrainFor(IntervalMs - spent);
    }
    if (csv.is_open() && !csv)
        throw EStepFailed(CsvFile + ": writing failed");
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
    WriteFileText(File, BackupJson(record).dump(2) + "\n");
    if (Out.Json) {
        ojson j = ojson::object();
        j["port"] = c.Name();
        j["file"] = File;
        j["model"] = ModelName(record.Model);
        j["serial"] = record.Info.SerialText;
        PrintJson(j);
        return;
    }
    std::cout << "Configuration of the " << ModelName(record.Model) << " " << record.Info.SerialText << " on "
              << c.Name() << " written to " << File << "\n";
}

void RunRestore(const TOutput& Out, const TPortChoice& Where, const std::string& File)
{
    // The whole file is checked before the port is touched.
    TBackup backup;
    try {
        backup = ParseBackup(ReadFileText(File));
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
    std::vector<TAssignment> settings;
    for (const TAssignment& a : backup.Settings) {
        // Address and speed can be set only on a KelvoRS; on the others the
        // backup merely records them.
        const bool commSetting = a.Key.Field == TKeyField::Address || a.Key.Field == TKeyField::Speed;
        if (commSetting && device.Model != kModelKelvoRS)
            continue;
        settings.push_back(a);
    }
    SaveAndReport(Out, c, settings);
}

}  // namespace kelvo::ctl
