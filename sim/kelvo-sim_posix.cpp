// kelvo-sim: one simulated Kelvo module on a pseudo-terminal, for trying
// the program without hardware and for the serial-port tests.
//
//   kelvo-sim --model rs --speed 115200 --port 5 --dir /tmp/ports
//
// serves a KelvoRS at 115200 bit/s on a new pty linked as /tmp/ports/com5,
// prints every request and reply, and stops on Ctrl+C or SIGTERM (removing
// the link).

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "uExceptions.h"
#include "uSimModule.h"
#include "uSimPty.h"

using namespace kelvo;

namespace {

const char* OutcomeText(TSimOutcome Outcome)
{
    switch (Outcome) {
    case TSimOutcome::Answered: return "answered";
    case TSimOutcome::Applied: return "write applied";
    case TSimOutcome::Rejected: return "refused";
    case TSimOutcome::Unknown: return "unknown instruction, refused";
    case TSimOutcome::OtherAddress: return "for another address, ignored";
    case TSimOutcome::Dropped: return "not answered (fault mode)";
    case TSimOutcome::Garbled: return "not understood";
    }
    return "?";
}

const char* ModelText(TSimModel Model)
{
    switch (Model) {
    case TSimModel::KelvoUSB: return "KelvoUSB";
    case TSimModel::KelvoETH: return "KelvoETH";
    case TSimModel::KelvoRS: return "KelvoRS";
    case TSimModel::Tarnel: return "Tarnel";
    case TSimModel::Foreign: return "foreign device";
    }
    return "?";
}

double Seconds()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Serves one simulated Kelvo module (four analog inputs, Verdel 97 protocol) on a\n"
        "pseudo-terminal. The module answers at its own line speed only: a request sent\n"
        "at another speed is not understood. Writes are applied only right after the\n"
        "write enable 0xE4. Every request and reply is printed; Ctrl+C or SIGTERM stops\n"
        "the simulator and removes its link.",
        "kelvo-sim"};

    std::string model = "usb";
    unsigned address = 1;
    unsigned speed = 9600;
    int speedCode = -1;
    unsigned lineSpeed = 0;
    std::string identification;
    std::string userData;
    unsigned serial = 256;
    unsigned product = 42;
    std::vector<std::string> channels;
    unsigned replyDelay = 0;
    TSimFaults faults;
    unsigned strayValue = 0;
    int vanishAfter = -1;
    unsigned port = 0;
    std::string dir;
    std::string winePrefix;
    bool noLink = false;
    std::string writeLog;
    bool quiet = false;

    app.add_option("-m,--model", model,
                   "Module model: usb (KelvoUSB), eth (KelvoETH), rs (KelvoRS), tarnel (Tarnel) or foreign "
                   "(a Verdel 97 device of another family, which answers only the identification)")
        ->capture_default_str();
    app.add_option("-a,--address", address, "Module address, 0-253 (the module also answers 254)")
        ->check(CLI::Range(0u, 253u))
        ->capture_default_str();
    app.add_option("-s,--speed", speed,
                   "Line speed in bit/s, one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200 "
                   "230400; sets the speed code the module reports")
        ->capture_default_str();
    app.add_option("--speed-code", speedCode,
                   "Speed code the module reports (0-255), instead of the one of --speed; a code outside "
                   "0-11 makes the module run at --line-speed, or 9600")
        ->check(CLI::Range(0, 255));
    app.add_option("--line-speed", lineSpeed,
                   "Speed in bit/s the module really listens at, when it should differ from its code "
                   "(any value, e.g. 250000)");
    app.add_option("--id", identification, "Identification text instead of the model's own");
    app.add_option("-u,--user-data", userData, "User data, up to 16 characters");
    app.add_option("--serial", serial, "Serial number, 0-65535")->check(CLI::Range(0u, 65535u))->capture_default_str();
    app.add_option("--product", product, "Product code, 0-65535")->check(CLI::Range(0u, 65535u))->capture_default_str();
    app.add_option("-c,--channel", channels,
                   "Channel setup N:key=value,... (repeatable). Keys: name, range, unit, unit2, decimals, "
                   "min, max (input range), offset, slope, slopetext, offsettext, gain (0-7 or none), "
                   "sensor (on/off: 4-20 mA sensor), watch (on/off), flags (0-255), upper, lower, hyst, "
                   "uppertext, lowertext, hysttext, extra (0/1), live (normal/overrange/invalid), center "
                   "and swing (module counts 0-10000), period (ms). Example: "
                   "--channel \"2:name=Teplota,unit=C,min=-50,max=150,decimals=1\"");
    app.add_option("--reply-delay", replyDelay, "Milliseconds between a request and its reply")->capture_default_str();

    auto* f = app.add_option_group("Fault modes", "Misbehaviour, any combination");
    f->add_flag("--silent", faults.Silent, "Hear requests but never answer");
    f->add_option("--chunks", faults.ChunkSize, "Send replies in pieces of this many bytes");
    f->add_option("--chunk-pause", faults.ChunkPauseMs, "Pause between the pieces, ms (default 20)");
    f->add_flag("--stray-byte", faults.StrayByte, "Put one byte before every reply frame");
    f->add_option("--stray-value", strayValue, "Value of that byte (default 0)")->check(CLI::Range(0u, 255u));
    f->add_flag("--bad-checksum", faults.BadChecksum, "Send every reply with a wrong checksum");
    f->add_flag("--unstable", faults.Unstable, "Make every reply differ from the one before it");
    f->add_flag("--every-second", faults.EverySecond, "Hear only the first, third, fifth ... request");
    f->add_flag("--slow", faults.SlowLine, "Pace reply bytes at the line speed (10 bits a byte)");
    f->add_option("--chatter", faults.ChatterEveryMs,
                  "Be a foreign device that sends a line of text every MS milliseconds and answers nothing");
    f->add_flag("--unparsable", faults.UnparsableFrame,
                "Answer every request with a frame that checks but cannot be parsed");
    f->add_flag("--ignore-writes", faults.IgnoreWrites, "Answer writes but keep every setting");
    f->add_option("--vanish-after", vanishAfter,
                  "After this many replies stop half way through the next one and disappear: the pty is "
                  "closed and the link removed, as when a cable is pulled; the simulator then exits");

    auto* p = app.add_option_group("Port", "Where the program finds the module");
    p->add_option("-p,--port", port, "Link the pty as comN (COM port N); default: the lowest free number")
        ->check(CLI::Range(1u, 255u));
    p->add_option("-d,--dir", dir, "Folder for the comN link; default: $KELVO_PORTS_DIR");
    p->add_option("--wine-prefix", winePrefix, "Link in PREFIX/dosdevices, so that Windows programs under Wine see COMn");
    p->add_flag("--no-link", noLink, "Make no link, only print the pty's device node");

    app.add_option("-w,--write-log", writeLog,
                   "Append every applied write to this file, one line each: instruction and data in hex");
    app.add_flag("-q,--quiet", quiet, "Do not print the traffic");

    CLI11_PARSE(app, argc, argv);

    TSimSettings settings;
    try {
        auto m = ParseSimModel(model);
        if (!m)
            throw Exception("unknown model \"" + model + "\" (usb, eth, rs, tarnel, foreign)");
        settings = DefaultSimSettings(*m);
        settings.Address = static_cast<uint8_t>(address);
        int code = -1;
        for (uint8_t c = 0; c < 12; ++c)
            if (SimSpeedOfCode(c) == speed)
                code = c;
        if (code < 0)
            throw Exception("speed " + std::to_string(speed) + " is not a module speed (see --help)");
        settings.SpeedCode = static_cast<uint8_t>(speedCode >= 0 ? speedCode : code);
        settings.LineSpeed = lineSpeed;
        if (speedCode >= 0 && lineSpeed == 0 && SimSpeedOfCode(uint8_t(speedCode)) == 0)
            settings.LineSpeed = speed;
        settings.Identification = identification;
        if (app.count("--user-data") > 0)
            settings.UserData = userData;
        settings.SerialNumber = static_cast<uint16_t>(serial);
        settings.ProductCode = static_cast<uint16_t>(product);
        for (const std::string& c : channels)
            ApplySimChannelOption(settings, c);
        settings.ReplyDelayMs = replyDelay;
        faults.StrayValue = static_cast<uint8_t>(strayValue);
        faults.VanishAfter = vanishAfter;
        settings.Faults = faults;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvo-sim: %s\n", e.what());
        return 2;
    }

    TSimPtyOptions options;
    if (!noLink) {
        if (!winePrefix.empty())
            options.LinkDir = winePrefix + "/dosdevices";
        else if (!dir.empty())
            options.LinkDir = dir;
        else if (const char* env = std::getenv("KELVO_PORTS_DIR"); env && *env)
            options.LinkDir = env;
        if (options.LinkDir.empty() && port != 0) {
            std::fprintf(stderr, "kelvo-sim: --port needs a folder: --dir, --wine-prefix or KELVO_PORTS_DIR\n");
            return 2;
        }
    }
    options.PortNumber = port;

    std::FILE* writes = nullptr;
    if (!writeLog.empty()) {
        writes = std::fopen(writeLog.c_str(), "a");
        if (!writes) {
            std::fprintf(stderr, "kelvo-sim: cannot open %s: %s\n", writeLog.c_str(), std::strerror(errno));
            return 1;
        }
    }

    const double start = Seconds();
    TSimModule module(settings);
    module.OnRequest = [&](const TSimRequest& r) {
        if (writes && r.Outcome == TSimOutcome::Applied) {
            std::fprintf(writes, "%s\n", ToHex(static_cast<char>(r.Instruction) + r.Data).c_str());
            std::fflush(writes);
        }
        if (quiet)
            return;
        if (r.Outcome == TSimOutcome::Garbled)
            std::printf("           %s at %u bit/s\n", OutcomeText(r.Outcome), r.LineSpeed);
        else
            std::printf("           %02X to %u: %s\n", r.Instruction, r.Address, OutcomeText(r.Outcome));
        std::fflush(stdout);
    };
    if (!quiet) {
        options.OnTraffic = [&](bool received, const RawByteString& bytes) {
            std::printf("%9.3f %s %s\n", Seconds() - start, received ? "<-" : "->", ToHex(bytes).c_str());
            std::fflush(stdout);
        };
    }

    // The serving thread must not take the stop signals: block them before
    // it starts and wait for them here.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TSimPty pty(module);
    try {
        pty.Start(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvo-sim: %s\n", e.what());
        if (writes)
            std::fclose(writes);
        return 1;
    }

    std::printf("kelvo-sim: %s at address %u, %u bit/s (speed code %u)\n", ModelText(settings.Model),
                settings.Address, SimLineSpeed(settings), settings.SpeedCode);
    std::printf("node: %s\n", pty.SlaveName().c_str());
    if (!pty.LinkPath().empty())
        std::printf("link: %s (COM%u)\n", pty.LinkPath().c_str(), pty.PortNumber());
    else
        std::printf("link: none\n");
    std::fflush(stdout);

    int signal = 0;
    while (signal == 0 && !pty.HungUp()) {
        struct timespec wait = {0, 200 * 1000 * 1000};
        int s = sigtimedwait(&stopSignals, nullptr, &wait);
        if (s > 0)
            signal = s;
    }
    bool gone = pty.HungUp();
    pty.Stop();
    if (writes)
        std::fclose(writes);
    if (gone)
        std::printf("kelvo-sim: the module vanished; pty closed and link removed\n");
    else
        std::printf("kelvo-sim: stopped\n");
    return 0;
}
