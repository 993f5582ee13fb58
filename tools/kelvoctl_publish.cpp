#include "kelvoctl_publish.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "kelvoctl_batch.h"
#include "kelvoctl_broker.h"
#include "kelvoctl_connect.h"
#include "kelvoctl_mqtt.h"
#include "kelvoctl_parallel.h"
#include "kelvoctl_report.h"
#include "uModuleBackup.h"
#include "kelvoctl_usb.h"
#include "uMainThreadQueue.h"
#include "uMeasureCsv.h"
#include "uModuleText.h"
#include "uTextFile.h"

namespace kelvo::ctl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPasswordVariable = "KELVO_MQTT_PASSWORD";
// Ctrl+C: what the broker takes within this long is sent, the rest given up.
constexpr auto kFlushTime = std::chrono::seconds(2);

// What the module threads and the main thread share.
struct TShared {
    TShared(TBrokerLink& Link, std::string Prefix, TBatchChoice Where, uint32_t IntervalMs, uint32_t Count)
        : Link(Link), Prefix(std::move(Prefix)), Where(std::move(Where)), IntervalMs(IntervalMs), Count(Count)
    {
    }

    TBrokerLink& Link;
    std::string Prefix;
    TBatchChoice Where;
    uint32_t IntervalMs = 1000;
    uint32_t Count = 0;

    std::mutex Lock;
    std::condition_variable Wake;
    bool Started = false;
    bool Stop = false;
    Clock::time_point Begin;
    std::vector<std::string> Notes;             // for the main thread to print
    std::set<std::string> Topics;               // every <prefix>/<serial> published
    std::map<std::string, std::string> Configs;  // the configuration last published under each

    Clock::time_point At(uint32_t Tick) const { return Begin + std::chrono::milliseconds(uint64_t(Tick) * IntervalMs); }
    void Note(std::string Text)
    {
        std::lock_guard<std::mutex> g(Lock);
        Notes.push_back(std::move(Text));
    }
};

// One interface, polled by a thread of its own.
struct TModule {
    TTarget Target;
    std::string Name;
    size_t Index = 0;
    bool Named = false;  // given by the user: tried again until a module answers
    // Set by its thread, read by the main thread under Lock.
    std::mutex Lock;
    bool Ready = false;      // the first connection was tried
    bool Connected = false;  // and a module answered
    bool Done = false;
    std::string Error;
    TKelvorec Record;
    std::string Topic;
    uint32_t Polls = 0;
    uint32_t Answered = 0;
};

// The module's values at one tick: the fields of the CSV columns, with the
// number as a JSON number.
std::string ValuesMessage(const TKelvorec& Record, const std::string& Port, std::chrono::system_clock::time_point Time,
                          const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered)
{
    ojson channels = ojson::array();
    const auto fields = MeasuredFields(Values, Answered);
    for (size_t i = 0; i < fields.size(); ++i) {
        ojson ch = ojson::object();
        ch["channel"] = i + 1;
        ch["text"] = fields[i].Text;
        const auto number = ParseDecimal(fields[i].Value);
        if (number)
            ch["value"] = *number;
        else
            ch["value"] = nullptr;
        ch["state"] = fields[i].State;
        channels.push_back(std::move(ch));
    }
    ojson j = ojson::object();
    j["time"] = IsoTimeText(Time);
    j["port"] = Port;
    j["model"] = ModelName(Record.Model);
    j["serial_number"] = Record.Info.SerialNumber;
    j["userdata"] = ModuleTextToUtf8(TrimText(Record.Info.UserData));
    j["channels"] = std::move(channels);
    return j.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

class TModulePublisher {
public:
    TModulePublisher(TModule& M, TShared& S) : M(M), S(S) {}

    void Run()
    {
        const bool first = Connect();
        {
            std::lock_guard<std::mutex> g(M.Lock);
            M.Ready = true;
            M.Connected = first;
        }
        // The main thread waits for these flags without looking every few
        // ms: a posted call tells it to look.
        TMainThreadQueue::Post(TMainThreadQueue::Nothing);
        if (first || M.Named)
            Ticks();
        FConnection.reset();
        {
            std::lock_guard<std::mutex> g(M.Lock);
            M.Done = true;
        }
        TMainThreadQueue::Post(TMainThreadQueue::Nothing);
    }

private:
    // A module on the port, read; its configuration and "online" published.
    bool Connect()
    {
        std::string error;
        try {
            FConnection = std::make_unique<TConnection>(ChoiceFor(M.Target, S.Where));
        } catch (const Exception& e) {
            error = e.Message();
        } catch (const std::exception& e) {
            error = M.Name + ": " + e.what();
        }
        if (!FConnection) {
            std::lock_guard<std::mutex> g(M.Lock);
            if (M.Error != error && (M.Named || M.Ready))
                S.Note(error);
            M.Error = error;
            return false;
        }
        const TKelvorec& record = FConnection->Session.ModuleRecord;
        const std::string topic = S.Prefix + "/" + SerialNumberText(record);
        if (!FTopic.empty() && topic != FTopic)
            S.Note(M.Name + ": another module answers now (" + topic + ", before " + FTopic + ")");
        else if (!FTopic.empty())
            S.Note(M.Name + ": the module answers again");
        FTopic = topic;
        S.Link.HoldWill(topic + "/status", "offline");
        // The configuration whenever it is new to its topic: at the start,
        // and when the module came back holding another one.
        const std::string config = BackupJson(record).dump(-1, ' ', false, ojson::error_handler_t::replace);
        bool changed = false;
        {
            std::lock_guard<std::mutex> g(S.Lock);
            S.Topics.insert(topic);
            std::string& last = S.Configs[topic];
            changed = last != config;
            last = config;
        }
        if (changed)
            S.Link.Publish(TOutMessage{topic + "/config", config, true, false, M.Index});
        FStatus.clear();
        SetStatus("online");
        std::lock_guard<std::mutex> g(M.Lock);
        M.Record = record;
        M.Topic = topic;
        M.Error.clear();
        return true;
    }

    // The status, published when it changes or when ticks of this module
    // were dropped since the last one (then with how many).
    void SetStatus(const std::string& Word)
    {
        const uint64_t dropped = S.Link.TakeDropped(M.Index);
        FDropped += dropped;
        if (Word == FStatus && dropped == 0)
            return;
        FStatus = Word;
        std::string payload = Word;
        if (dropped > 0)
            payload += "; " + std::to_string(FDropped) + " ticks dropped";
        S.Link.Publish(TOutMessage{FTopic + "/status", payload, true, false, M.Index});
    }

    // Waits for Tick (a poll that overran gives up the ticks it missed);
    // false when the run ends.
    bool WaitFor(uint32_t& Tick)
    {
        if (FConnection)
            FConnection->Watch().Idle();
        const bool due = WaitForTick(Tick);
        if (FConnection)
            FConnection->Watch().Busy();
        return due;
    }

    bool WaitForTick(uint32_t& Tick)
    {
        std::unique_lock<std::mutex> g(S.Lock);
        S.Wake.wait(g, [&] { return S.Started || S.Stop; });
        const auto now = Clock::now();
        if (now > S.At(Tick + 1))
            Tick = uint32_t((now - S.Begin) / std::chrono::milliseconds(S.IntervalMs));
        if (S.Stop || (S.Count != 0 && Tick >= S.Count))
            return false;
        return !S.Wake.wait_until(g, S.At(Tick), [&] { return S.Stop; }) && !Interrupted();
    }

    void Ticks()
    {
        for (uint32_t tick = 0; WaitFor(tick); ++tick) {
            if (!FConnection) {
                Connect();
                continue;
            }
            std::array<TKelvoChannelRecountedValue, 4> values{};
            bool answered = false;
            try {
                answered = FConnection->Session.ReadMeasuredValues(values);
            } catch (const std::exception&) {
                answered = false;
            }
            const auto time = std::chrono::system_clock::now();
            if (Interrupted())
                break;
            const TKelvorec& record = FConnection->Session.ModuleRecord;
            S.Link.Publish(TOutMessage{FTopic + "/values", ValuesMessage(record, M.Name, time, values, answered),
                                       false, true, M.Index});
            {
                std::lock_guard<std::mutex> g(M.Lock);
                ++M.Polls;
                M.Answered += answered ? 1 : 0;
            }
            if (FConnection->Watch().PortGone()) {
                S.Note(M.Name + ": the port disappeared; publishing again when the module is back");
                SetStatus("vanished");
                FConnection.reset();
                continue;
            }
            if (!answered && FStatus == "online")
                S.Note(M.Name + ": no answer");
            else if (answered && FStatus == "no answer")
                S.Note(M.Name + ": answers again");
            SetStatus(answered ? "online" : "no answer");
        }
    }

    TModule& M;
    TShared& S;
    std::unique_ptr<TConnection> FConnection;
    std::string FTopic;
    std::string FStatus;
    uint64_t FDropped = 0;
};

std::string ReadPasswordFile(const std::string& File)
{
    std::ifstream in(Utf8Path(File), std::ios::binary);
    if (!in)
        throw EUsageError("--password-file " + File + " cannot be read");
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

TBrokerSettings BrokerSettings(const TPublishArgs& A)
{
    TBrokerSettings s;
    ParseBrokerUrl(A.Broker, s);
    s.Qos = A.Qos;
    s.User = A.User;
    if (!A.PasswordGiven.empty())
        throw EUsageError(std::string("a password is not taken on the command line, where other users see it: put it "
                                      "in the environment variable ") +
                          kPasswordVariable + " or in a file named with --password-file");
    if (!A.PasswordFile.empty())
        s.Password = ReadPasswordFile(A.PasswordFile);
    else if (const char* p = std::getenv(kPasswordVariable); p && *p)
        s.Password = std::string(p);
    if (s.Password && s.User.empty())
        throw EUsageError("a password needs its user name: give --user");
    if (!s.Tls && (A.Insecure || !A.CaFile.empty()))
        throw EUsageError(std::string(A.Insecure ? "--insecure" : "--cafile") +
                          " belongs to a TLS connection: give the broker as mqtts://HOST[:PORT]");
    if (!A.CaFile.empty() && !std::filesystem::is_regular_file(Utf8Path(A.CaFile)))
        throw EUsageError("--cafile " + A.CaFile + ": no such file");
    s.CaFile = A.CaFile;
    s.Insecure = A.Insecure;
    return s;
}

}  // namespace

CLI::App* AddPublishCommand(CLI::App& App, TPublishArgs& A)
{
    auto* p = App.add_subcommand("publish",
                                 "Publish the measured values and the state of modules to an MQTT broker until stopped "
                                 "(the modules are only read)");
    p->add_option("PORT", A.Ports, "The modules' interfaces, e.g. COM3 USB:FT12AB34");
    p->add_flag("--all", A.All, "Every module a search finds (or those on the --port interfaces)");
    p->add_option("--port", A.MorePorts, "With --all: only these interfaces, e.g. --port COM3 --port COM4");
    p->add_option("--mqtt", A.Broker, "The broker: mqtt://HOST[:PORT] (1883), mqtts://HOST[:PORT] (TLS, 8883)")
        ->required();
    p->add_option("--topic-prefix", A.Prefix, "The first level(s) of every topic")->capture_default_str();
    p->add_option("--speeds", A.Speeds,
                  "Speeds to search for the modules at, e.g. 9600,115200 or all (default 9600,115200)");
    p->add_option("--address", A.Address,
                  "Send the probe and the reads to this module address (0-253) instead of 254, which every module "
                  "answers")
        ->check(CLI::Range(0, 253));
    p->add_option("--interval", A.IntervalMs, "Milliseconds from one poll to the next (100 or more)")
        ->check(CLI::Range(100u, 86400000u))
        ->capture_default_str();
    p->add_option("--count", A.Count, "Stop after this many ticks (0: only Ctrl+C stops)")->capture_default_str();
    p->add_option("--qos", A.Qos, "MQTT quality of service: 1 the broker confirms every message, 0 none")
        ->check(CLI::Range(0, 1))
        ->capture_default_str();
    p->add_option("--queue", A.Queue,
                  "Ticks per module kept while the broker is away; past that the oldest are dropped "
                  "(default: an hour's at the interval)");
    p->add_option("--user", A.User, "User name at the broker");
    p->add_option("--password-file", A.PasswordFile,
                  std::string("A file whose first line is the password (else the environment variable ") +
                      kPasswordVariable + ")");
    p->add_option("--password", A.PasswordGiven)->group("");
    p->add_option("--cafile", A.CaFile,
                  "With mqtts://: the certificate authority (PEM) the broker's certificate must be signed by (default: "
                  "the system's)");
    p->add_flag("--insecure", A.Insecure,
                "With mqtts://: accept a broker certificate made out to another host name (still signed by the CA)");
    p->footer(
        "Topics, under the prefix and the module's serial number (kelvo/0256/...):\n"
        "  values  one JSON document per tick: time, port, model, serial number, user data, and per channel\n"
        "          text, value and state as measure --csv has them\n"
        "  status  online, no answer, vanished (its port is gone), offline (stopped, or the PC is gone:\n"
        "          the broker's last will); retained\n"
        "  config  the configuration as a backup file holds it; retained, sent at the start and when it changed\n"
        "While the broker is away, ticks wait in memory and go out in order once it is back. Ctrl+C sends\n"
        "\"offline\", waits up to 2 s for the broker to take what is queued, and exits with status 130.");
    return p;
}

void RunPublish(const TPublishArgs& A)
{
    CheckTopicPrefix(A.Prefix);
    TBrokerSettings broker = BrokerSettings(A);
    std::vector<std::string> ports = A.Ports;
    ports.insert(ports.end(), A.MorePorts.begin(), A.MorePorts.end());
    if (!A.All && ports.empty())
        throw EUsageError("publish needs the modules' PORTs, or --all for every module a search finds");
    if (!A.All && !A.MorePorts.empty())
        throw EUsageError("--port names interfaces for --all; give the PORTs without it");
    TBatchChoice where;
    for (const std::string& p : ports)
        where.Only.push_back(ParseInterfaceName(p));
    if (!A.Speeds.empty())
        where.Speeds = ParseSpeedList(A.Speeds);
    if (A.Address >= 0)
        where.Address = static_cast<uint8_t>(A.Address);

    TFTDIManager manager;
    std::vector<TTarget> targets = CommandTargets(manager, where.Only);
    const size_t perModule = A.Queue > 0 ? A.Queue : std::max<size_t>(1, 3600000 / A.IntervalMs);
    TBrokerLink link(broker, perModule * std::max<size_t>(1, targets.size()));

    TShared shared(link, A.Prefix, where, A.IntervalMs, A.Count);
    std::vector<std::unique_ptr<TModule>> modules;
    std::vector<std::thread> threads;
    for (TTarget& t : targets) {
        auto m = std::make_unique<TModule>();
        m->Name = t.Name.Text();
        m->Index = modules.size();
        m->Named = !where.Only.empty();
        m->Target = std::move(t);
        if (!m->Target.Channel) {
            m->Ready = m->Done = true;
            m->Error = m->Target.Missing;
            if (m->Named)
                Note(m->Error);
        } else {
            threads.emplace_back([&m = *m, &shared] { TModulePublisher(m, shared).Run(); });
        }
        modules.push_back(std::move(m));
    }
    auto printNotes = [&] {
        std::vector<std::string> notes;
        {
            std::lock_guard<std::mutex> g(shared.Lock);
            notes.swap(shared.Notes);
        }
        for (const std::string& n : link.TakeNotes())
            notes.push_back(n);
        for (const std::string& n : notes)
            Note(n);
    };
    auto stopThreads = [&] {
        {
            std::lock_guard<std::mutex> g(shared.Lock);
            shared.Stop = true;
        }
        shared.Wake.notify_all();
        JoinPollers(threads, modules.size(), [&](size_t i) {
            std::lock_guard<std::mutex> g(modules[i]->Lock);
            return modules[i]->Done;
        });
    };
    auto ended = [&] { return Interrupted() || !link.Refused().empty(); };
    auto all = [&](bool TModule::*Flag) {
        for (auto& m : modules) {
            std::lock_guard<std::mutex> g(m->Lock);
            if (!(m.get()->*Flag))
                return false;
        }
        return true;
    };
    while (!TMainThreadQueue::DrainUntilPosted([&] { return ended() || all(&TModule::Ready); }, 200))
        printNotes();
    printNotes();

    size_t connected = 0;
    for (auto& m : modules) {
        std::lock_guard<std::mutex> g(m->Lock);
        // An interface without a module is passed over (a named one was told).
        if (!m->Connected)
            continue;
        ++connected;
        ClearProgress();
        std::cout << m->Name << ": " << ModelName(m->Record.Model) << " " << SerialNumberText(m->Record) << " -> "
                  << m->Topic << "/{values,status,config}\n";
    }
    std::cout << std::flush;
    if (connected == 0 && !ended()) {
        stopThreads();
        throw EStepFailed("No module found (" + std::to_string(modules.size()) + " interface(s) searched)");
    }
    if (!ended()) {
        std::lock_guard<std::mutex> g(shared.Lock);
        shared.Begin = Clock::now();
        shared.Started = true;
    }
    shared.Wake.notify_all();
    while (!TMainThreadQueue::DrainUntilPosted([&] { return ended() || all(&TModule::Done); }, 200))
        printNotes();
    stopThreads();

    const std::string refused = link.Refused();
    if (!refused.empty()) {
        printNotes();
        throw EStepFailed(refused);
    }
    // A clean stop: every topic of this run says so.
    for (const std::string& topic : shared.Topics)
        link.Publish(TOutMessage{topic + "/status", "offline", true, false, 0});
    const size_t left = link.Close(Clock::now() + kFlushTime);
    printNotes();
    for (auto& m : modules)
        if (m->Connected || m->Polls > 0)
            Note(m->Name + ": " + std::to_string(m->Polls) + (m->Polls == 1 ? " poll, " : " polls, ") +
                 std::to_string(m->Answered) + " answered");
    const std::string untaken =
        left == 0 ? std::string()
                  : std::to_string(left) + " message(s) not taken by " + broker.Url + " within 2 s, given up";
    if (Interrupted())
        throw EInterrupted(untaken.empty() ? "interrupted" : "interrupted; " + untaken);
    if (!untaken.empty())
        throw EStepFailed(untaken);
}

}  // namespace kelvo::ctl
