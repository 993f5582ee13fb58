// kelvoctl: the module operations of KelvoSetup from the command line, for
// technicians and production lines that script their work.
//
//   kelvoctl ports
//   kelvoctl search --speeds 9600,19200
//   kelvoctl read COM5
//   kelvoctl measure COM5 --count 10 --csv values.csv
//   kelvoctl set COM5 ch2.unit=V
//   kelvoctl backup COM5 module.json
//   kelvoctl restore COM5 module.json
//   kelvoctl restore --all module.json
//   kelvoctl set --all ch1.unit=V --port COM3 --port COM4
//   kelvoctl measure --all --csv cabinet.csv
//   kelvoctl read USB:FT12AB34
//   kelvoctl read /dev/ttyUSB0 --address 5
//   kelvoctl watch --probe
//   kelvoctl publish --all --mqtt mqtt://broker.local
//   kelvoctl doctor COM33
//
// Exit status: 0 success; 1 no module answered or a step failed (the
// message names it); 2 a usage error (unknown key, a value outside its
// limits, an invalid backup file) - then nothing has been written; 130
// interrupted (Ctrl+C, SIGTERM).

#include <CLI/CLI.hpp>

#include <iostream>

#include "kelvoctl_args.h"
#include "kelvoctl_batch.h"
#include "kelvoctl_commands.h"
#include "kelvoctl_connect.h"
#include "kelvoctl_console.h"
#include "kelvoctl_doctor.h"
#include "kelvoctl_publish.h"
#include "kelvoctl_report.h"
#include "kelvoctl_usb.h"
#include "uLogUtils.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"
#include "uModuleSettings.h"
#include "uci_FTDIdirect.h"
#include "uci_ICommunicationInterface.h"

using namespace kelvo;
using namespace kelvo::ctl;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

constexpr const char* kJobsHelp =
    "Work on at most this many interfaces at once (0: on all of them at once; 1: one after the other)";

constexpr const char* kAddressHelp =
    "Send the probe and the reads to this module address (0-253) instead of 254, which every module answers: "
    "for one of several modules on an RS-485 bus";

// The options of the commands that talk to one module; those that take
// --all talk to many.
struct TPortArgs {
    std::string Port;
    int32_t Speed = 0;
    std::string Speeds;
    int Address = -1;
    bool All = false;
    std::vector<std::string> Ports;
    size_t Jobs = 0;
};

void AddPortOptions(CLI::App* Command, TPortArgs& Args, bool Many = false)
{
    auto* port = Command->add_option("PORT", Args.Port,
                                     "COM port of the module, e.g. COM5, its device node (/dev/ttyUSB0, "
                                     "\\\\.\\COM5), or a USB device, USB:<serial number>");
    if (Many) {
        Command->add_flag("--all", Args.All,
                          "Every module a search finds (or those on the --port interfaces), all at once; "
                          "a line per module");
        Command->add_option("--port", Args.Ports, "With --all: only these interfaces, e.g. --port COM3 --port COM4");
        Command->add_option("--jobs", Args.Jobs, kJobsHelp)->capture_default_str();
    } else {
        port->required();
    }
    auto* speed = Command->add_option("--speed", Args.Speed,
                                      "Talk at exactly this line speed (bit/s) instead of searching for it")
                      ->check(CLI::Range(1, 4000000));
    Command->add_option("--speeds", Args.Speeds,
                        "Speeds to search for the module at, e.g. 9600,115200 or all (default 9600,115200)")
        ->excludes(speed);
    Command->add_option("--address", Args.Address, kAddressHelp)->check(CLI::Range(0, 253));
}

TPortChoice PortChoice(const TPortArgs& Args)
{
    TPortChoice c;
    TInterfaceName name = ParseInterfaceName(Args.Port);
    ResolveNode(name);
    c.Port = name.Port;
    c.UsbSerial = name.UsbSerial;
    if (Args.Speed > 0)
        c.Speed = Args.Speed;
    if (!Args.Speeds.empty())
        c.Speeds = ParseSpeedList(Args.Speeds);
    if (Args.Address >= 0)
        c.Address = static_cast<uint8_t>(Args.Address);
    return c;
}

// With --all: the interfaces named with --port (or a PORT given), the
// speeds, the address and how many at once.
TBatchChoice BatchChoice(const TPortArgs& Args)
{
    if (Args.Speed > 0)
        throw EUsageError("--all searches each interface at the speeds of --speeds; --speed names one module's");
    TBatchChoice c;
    for (const std::string& p : Args.Ports)
        c.Only.push_back(ParseInterfaceName(p));
    if (!Args.Speeds.empty())
        c.Speeds = ParseSpeedList(Args.Speeds);
    if (Args.Address >= 0)
        c.Address = static_cast<uint8_t>(Args.Address);
    c.Jobs = Args.Jobs;
    return c;
}

// Without --all a command needs its PORT; --port belongs to --all.
void RequirePort(const TPortArgs& Args)
{
    if (Args.Port.empty())
        throw EUsageError("PORT is required (or --all for every module)");
    if (!Args.Ports.empty())
        throw EUsageError("--port names interfaces for --all; give one PORT without it");
}

std::string KeysHelp()
{
    std::string text = "Keys:\n";
    for (const TFieldInfo& f : KeyFields()) {
        const std::string key = std::string(f.PerChannel ? "chN." : "") + f.Name;
        text += "  " + key + std::string(key.size() < 14 ? 14 - key.size() : 1, ' ') + f.Help + "\n";
    }
    text +=
        "N is the channel, 1-4. A value equal to what the module holds changes nothing; only the\n"
        "settings that change are written, each after the write enable 0xE4. Values outside their\n"
        "limits are refused (exit status 2) before anything is sent, and so are values the module\n"
        "cannot hold (a range maximum it would store beyond the limits, or as another number):\n"
        "the message names the nearest value it can hold, which --nearest writes instead.\n"
        "Example: kelvoctl set COM5 ch2.unit=V ch2.min=-50 ch2.max=150";
    return text;
}

// The message on stderr and, for --json, the command's one document when
// it has printed none.
void ReportError(bool Json, const std::string& Message, int Code)
{
    Note(Message);
    if (!Json)
        return;
    ojson j{{"error", Message}, {"exit_code", Code}};
    if (Code == kExitInterrupted)
        j["interrupted"] = true;
    std::cout << j.dump(-1, ' ', false, ojson::error_handler_t::replace) << "\n";
}

}  // namespace

int main(int argc, char** argv)
{
    PrepareConsole();
    TMainThreadQueue::Init();
    // Messages of the lower layers (unknown items in a reply) are notes.
    TScopedMessageSink sink([](const std::string& Text) { Note(Text); });

    CLI::App app{
        "Finds Kelvo measuring modules on COM ports and FTDI USB devices, reads, changes and backs up their configuration and\n"
        "shows their measured values. Exit status: 0 success, 1 no module answered or a step failed,\n"
        "2 usage error (nothing written).",
        "kelvoctl"};
    app.require_subcommand(1);
    app.fallthrough();
    bool json = false;
    bool debug = false;
    bool trace = false;
    app.add_flag("--json", json, "Machine-readable output (JSON; measure: one object per line)");
    app.add_flag("--debug", debug,
                 "Write the diagnostic log (yyyymmdd_N.log beside the program, or where it takes no files in "
                 "~/.local/state/kelvosetup)");
    app.add_flag("--trace", trace, "Forward all module traffic to the terminal window (kelvo-termlisten on Linux)");
    uint32_t lineGap = 0;
    app.add_option("--line-gap", lineGap,
                   "Milliseconds of silence after which a reply counts as ended (default 50, as a serial line "
                   "allows); more for a bridge that pauses inside its replies")
        ->check(CLI::Range(50u, 10000u));
    bool progress = false;
    app.add_flag("--progress", progress,
                 "Report progress on stderr line by line also when it is not a terminal (on a terminal it always "
                 "shows, except with --json)");

    auto* ports = app.add_subcommand(
        "ports", "List the COM ports present, then the FTDI USB devices, and whether they are free or in use");

    auto* search = app.add_subcommand("search", "Probe every COM port and USB device present (or one) for modules");
    std::string searchSpeeds = "9600,115200";
    std::vector<std::string> searchPorts;
    int searchAddress = -1;
    search->add_option("--speeds", searchSpeeds,
                       "Speeds to try, e.g. 9600,115200, 19200 or all; tried in the window's order")
        ->capture_default_str();
    search->add_option("PORT,--port", searchPorts,
                       "Probe only these ports or USB devices, in this order, e.g. COM3 /dev/ttyUSB0 USB:FT12AB34");
    search->add_option("--address", searchAddress, kAddressHelp)->check(CLI::Range(0, 253));
    size_t searchJobs = 0;
    search->add_option("--jobs", searchJobs, kJobsHelp)->capture_default_str();

    auto* watch = app.add_subcommand("watch", "Print a line for every module interface plugged in or out, until Ctrl+C");
    bool watchProbe = false;
    std::string watchSpeeds = "9600,115200";
    uint32_t watchSeconds = 0;
    watch->add_flag("--probe", watchProbe, "Probe each interface that arrives and print the module found on it");
    watch->add_option("--speeds", watchSpeeds, "Speeds the probe tries, e.g. 9600,115200 or all")
        ->capture_default_str();
    watch->add_option("--seconds", watchSeconds, "Stop after this many seconds (0: only Ctrl+C stops)")
        ->capture_default_str();

    TPortArgs readArgs;
    auto* read = app.add_subcommand("read", "Identify the module and print its whole configuration");
    AddPortOptions(read, readArgs);

    TPortArgs measureArgs;
    uint32_t count = 1;
    uint32_t interval = 1000;
    std::string csvFile;
    auto* measure = app.add_subcommand(
        "measure", "Poll the four measured values as the measuring page does (\"-\" not valid, \"OVR \" overrange)");
    AddPortOptions(measure, measureArgs, true);
    measure->add_option("--count", count, "Number of polls; 0 polls until stopped")->capture_default_str();
    measure->add_option("--interval", interval, "Milliseconds from one poll to the next")
        ->check(CLI::Range(0u, 86400000u))
        ->capture_default_str();
    measure->add_option("--csv", csvFile, "Append one row per poll, with its time, to this CSV file");

    TPortArgs setArgs;
    std::vector<std::string> assignments;
    auto* set = app.add_subcommand("set", "Change settings of the module and save them");
    AddPortOptions(set, setArgs, true);
    set->add_option("SETTINGS", assignments, "KEY=VALUE ...");
    bool setForce = false;
    set->add_flag("--force", setForce, "With --all: set address and speed too, on every module");
    TApplyOptions apply;
    constexpr const char* kNearestHelp =
        "Write the nearest value the module can hold where it cannot hold the one given (else it is refused)";
    set->add_flag("--nearest", apply.Nearest, kNearestHelp);
    set->footer(KeysHelp());

    TPortArgs backupArgs;
    std::string backupFile;
    auto* backup = app.add_subcommand("backup", "Write the editable configuration of the module to a JSON file");
    AddPortOptions(backup, backupArgs);
    backup->add_option("FILE", backupFile, "Backup file to write")->required();

    TPortArgs restoreArgs;
    std::string restoreFile;
    bool dryRun = false;
    bool force = false;
    auto* restore = app.add_subcommand(
        "restore", "Set the configuration from a backup file and save it (only the differences are written)");
    AddPortOptions(restore, restoreArgs, true);
    restore->add_option("FILE", restoreFile, "Backup file to read");
    restore->add_flag("--dry-run", dryRun, "Print the differences that would be written, and write nothing");
    restore->add_flag("--force", force,
                      "Restore address and speed also onto a module with another serial number than the backup's");
    restore->add_flag("--nearest", apply.Nearest, kNearestHelp);

    TPublishArgs publishArgs;
    auto* publish = AddPublishCommand(app, publishArgs);

    std::vector<std::string> doctorPorts;
    auto* doctor = app.add_subcommand(
        "doctor", "Tell why a port or USB device cannot be used, and how to fix it (opens and closes ports, sends nothing)");
    doctor->add_option("PORT", doctorPorts, "Only these ports or USB devices, e.g. COM33 /dev/ttyUSB0 USB:FT12AB34");

    std::vector<std::string> args = Utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& a : args)
        pointers.push_back(a.data());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitUsage;
    }

    if (debug)
        SetLogEnabled(true);
    ConfigureProgress(!json && StderrIsTerminal(), progress && !json);
    InstallInterruptHandlers();
    SetLineGap(lineGap);
    if (trace)
        SetDataTraceHandler(TerminalForwarderHandler());
    // FTDI's D2XX library, or the one KELVO_FTD2XX names; optional.
    BindFTDirect();

    const TOutput out{json};
    int rc = 0;
    try {
        if (ports->parsed()) {
            RunPorts(out);
        } else if (doctor->parsed()) {
            RunDoctor(out, doctorPorts);
        } else if (search->parsed()) {
            std::vector<TInterfaceName> only;
            for (const std::string& p : searchPorts)
                only.push_back(ParseInterfaceName(p));
            std::optional<uint8_t> address;
            if (searchAddress >= 0)
                address = static_cast<uint8_t>(searchAddress);
            RunSearch(out, ParseSpeedList(searchSpeeds), only, address, searchJobs);
        } else if (watch->parsed()) {
            RunWatch(out, watchProbe, ParseSpeedList(watchSpeeds), watchSeconds);
        } else if (read->parsed()) {
            RunRead(out, PortChoice(readArgs));
        } else if (measure->parsed() && measureArgs.All) {
            // measure --all COM3 COM4: the ports given both ways.
            if (!measureArgs.Port.empty())
                measureArgs.Ports.insert(measureArgs.Ports.begin(), measureArgs.Port);
            RunMeasureAll(out, BatchChoice(measureArgs), count, interval, csvFile);
        } else if (measure->parsed()) {
            RequirePort(measureArgs);
            RunMeasure(out, PortChoice(measureArgs), count, interval, csvFile);
        } else if (set->parsed() && setArgs.All) {
            // set --all KEY=VALUE ...: the first setting took PORT's place.
            if (!setArgs.Port.empty())
                assignments.insert(assignments.begin(), setArgs.Port);
            if (assignments.empty())
                throw EUsageError("set needs at least one KEY=VALUE");
            RunSetAll(out, BatchChoice(setArgs), assignments, setForce, apply);
        } else if (set->parsed()) {
            RequirePort(setArgs);
            if (assignments.empty())
                throw EUsageError("set needs at least one KEY=VALUE after the PORT");
            if (setForce)
                throw EUsageError("--force belongs to set --all");
            RunSet(out, PortChoice(setArgs), assignments, apply);
        } else if (backup->parsed()) {
            RunBackup(out, PortChoice(backupArgs), backupFile);
        } else if (restore->parsed() && restoreArgs.All) {
            // restore --all FILE: the file took PORT's place.
            if (restoreFile.empty())
                std::swap(restoreFile, restoreArgs.Port);
            if (!restoreArgs.Port.empty() || restoreFile.empty())
                throw EUsageError("restore --all takes the backup FILE alone; name interfaces with --port");
            RunRestoreAll(out, BatchChoice(restoreArgs), restoreFile, dryRun, force, apply);
        } else if (restore->parsed()) {
            RequirePort(restoreArgs);
            if (restoreFile.empty())
                throw EUsageError("restore needs the backup FILE after the PORT");
            RunRestore(out, PortChoice(restoreArgs), restoreFile, dryRun, force, apply);
        } else if (publish->parsed()) {
            RunPublish(publishArgs);
        }
    } catch (const EInterrupted& e) {
        ReportError(json && !e.InJsonOutput(), e.Message(), kExitInterrupted);
        rc = kExitInterrupted;
    } catch (const EUsageError& e) {
        ReportError(json, e.Message(), kExitUsage);
        rc = kExitUsage;
    } catch (const ESettingError& e) {
        // A setting the module cannot take, found before anything was written.
        ReportError(json, e.Message(), kExitUsage);
        rc = kExitUsage;
    } catch (const EStepFailed& e) {
        ReportError(json && !e.InJsonOutput(), e.Message(), kExitFailed);
        rc = kExitFailed;
    } catch (const std::exception& e) {
        ReportError(json, e.what(), kExitFailed);
        rc = kExitFailed;
    }
    TMainThreadQueue::Drain();
    if (debug && !LogFileName().empty())
        std::cerr << "kelvoctl: diagnostic log " << LogFileName().string() << "\n";
    UnbindFTDirect();
    LogShutdown();
    return rc;
}
