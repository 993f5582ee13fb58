// kelvoctl run as a technician runs it, against a simulated module on a
// pseudo-terminal linked as a COM port: its output, its exit status and,
// from the simulator's logs, exactly what it sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kelvoctl_args.h"
#include "uConversionUtils.h"
#include "uKelvoxx.h"
#include "uSimPty.h"

using namespace kelvo;
namespace fs = std::filesystem;

namespace {

// Above COM96 no device node stands behind a port number, so a port the
// test does not serve is simply not there.
constexpr unsigned kPort = 201;
const std::string kCom = "COM201";

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs kelvoctl with Args, collecting its output; a run that hangs is
// killed after two minutes.
TRun Ctl(const std::vector<std::string>& Args)
{
    std::vector<std::string> argv{KELVOCTL_EXE};
    argv.insert(argv.end(), Args.begin(), Args.end());
    std::vector<char*> ptrs;
    for (auto& a : argv)
        ptrs.push_back(a.data());
    ptrs.push_back(nullptr);

    TRun run;
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return run;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
        ::execv(ptrs[0], ptrs.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.Out, &run.Err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 200) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0)
        ::kill(pid, SIGKILL);
    for (auto& f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Describe(const TRun& R)
{
    return "exit " + std::to_string(R.Status) + "\n--- stdout\n" + R.Out + "--- stderr\n" + R.Err;
}

bool IsRead(uint8_t Instruction)
{
    for (uint8_t r : {kInstrIdentify, kInstrReadChannelConfig, kInstrReadChannelWatch, kInstrRead4to20mA,
                      kInstrReadCommSettings, kInstrReadUserData, kInstrReadProductionData, kInstrReadValues})
        if (Instruction == r)
            return true;
    return false;
}

class KelvoctlProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelvoctl-test-XXXXXX";
        Dir = ::mkdtemp(tmpl);
        if (const char* old = std::getenv("KELVO_PORTS_DIR"))
            FOldPorts = old;
        ::setenv("KELVO_PORTS_DIR", Dir.c_str(), 1);
    }
    void TearDown() override
    {
        if (Pty)
            Pty->Stop();
        if (FOldPorts.empty())
            ::unsetenv("KELVO_PORTS_DIR");
        else
            ::setenv("KELVO_PORTS_DIR", FOldPorts.c_str(), 1);
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }

    void Serve(TSimSettings Settings)
    {
        Module = std::make_unique<TSimModule>(std::move(Settings));
        Pty = std::make_unique<TSimPty>(*Module);
        TSimPtyOptions options;
        options.LinkDir = Dir.string();
        options.PortNumber = kPort;
        Pty->Start(options);
    }

    // Every instruction the module heard that is not a read (0xE4 and the
    // writes), in order.
    std::vector<uint8_t> NonReads() const
    {
        std::vector<uint8_t> out;
        for (const auto& r : Module->RequestLog())
            if (r.Outcome != TSimOutcome::Garbled && !IsRead(r.Instruction))
                out.push_back(r.Instruction);
        return out;
    }

    std::vector<std::pair<uint8_t, RawByteString>> Writes() const
    {
        std::vector<std::pair<uint8_t, RawByteString>> out;
        for (const auto& w : Module->WriteLog())
            out.emplace_back(w.Instruction, w.Data);
        return out;
    }

    std::string ReadFile(const fs::path& P)
    {
        std::ifstream in(P, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path Dir;
    std::unique_ptr<TSimModule> Module;
    std::unique_ptr<TSimPty> Pty;

private:
    std::string FOldPorts;
};

using Writes_t = std::vector<std::pair<uint8_t, RawByteString>>;

}  // namespace

TEST_F(KelvoctlProgram, SearchFindsAModuleAtAnotherSpeedOnlyWhenThatSpeedIsChosen)
{
    TSimSettings s = DefaultSimSettings(TSimModel::KelvoRS);
    s.SpeedCode = 7;  // 19200
    s.SerialNumber = 77;
    Serve(s);

    TRun r = Ctl({"search", "--port", kCom});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("No module found"), std::string::npos) << Describe(r);
    // One JSON document, the failure in it.
    r = Ctl({"--json", "search", "--port", kCom});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    const auto none = nlohmann::json::parse(r.Out);
    EXPECT_TRUE(none["modules"].empty());
    EXPECT_EQ(none["error"].get<std::string>().rfind("No module found", 0), 0u);

    Module->ClearLogs();
    r = Ctl({"search", "--port", kCom, "--speeds", "19200,9600"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Out.find("KelvoRS  COM201     0077"), std::string::npos) << Describe(r);
    // The window's order whatever the list's: 9600 before 19200.
    const auto log = Module->RequestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().LineSpeed, 9600u);
    EXPECT_EQ(log.back().LineSpeed, 19200u);

    r = Ctl({"--json", "search", "--port", kCom, "--speeds", "all"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    const auto j = nlohmann::json::parse(r.Out);
    ASSERT_EQ(j["modules"].size(), 1u);
    EXPECT_EQ(j["modules"][0]["model"], "KelvoRS");
    EXPECT_EQ(j["modules"][0]["interface"], kCom);
    EXPECT_EQ(j["modules"][0]["serial_number"], 77);
    EXPECT_EQ(j["modules"][0]["speed"], 19200);
    EXPECT_TRUE(Writes().empty());

    r = Ctl({"search", "--port", "COM202"});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("COM202: no such port"), std::string::npos) << Describe(r);
}

TEST_F(KelvoctlProgram, SearchGoesOnPastDevicesThatAreNotModules)
{
    // Searched before the module: a device that never stops talking and one
    // whose replies check but cannot be parsed.
    std::vector<std::unique_ptr<TSimModule>> others;
    std::vector<std::unique_ptr<TSimPty>> ptys;
    for (unsigned port : {kPort - 2, kPort - 1}) {
        TSimSettings foreign = DefaultSimSettings();
        foreign.Faults.ChatterEveryMs = port == kPort - 2 ? 20 : 0;
        foreign.Faults.UnparsableFrame = port == kPort - 1;
        others.push_back(std::make_unique<TSimModule>(foreign));
        ptys.push_back(std::make_unique<TSimPty>(*others.back()));
        TSimPtyOptions options;
        options.LinkDir = Dir.string();
        options.PortNumber = port;
        ptys.back()->Start(options);
    }
    Serve(DefaultSimSettings(TSimModel::KelvoRS));

    const auto start = std::chrono::steady_clock::now();
    TRun r = Ctl({"search"});
    const auto took = std::chrono::steady_clock::now() - start;
    for (auto& p : ptys)
        p->Stop();
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Out.find("KelvoRS  COM201"), std::string::npos) << Describe(r);
    EXPECT_EQ(r.Out.find("COM199"), std::string::npos) << Describe(r);
    // Each foreign port costs two short probes, not the chatter's lifetime.
    EXPECT_LT(took, std::chrono::seconds(20));
}

TEST_F(KelvoctlProgram, ReadPrintsTheModulesConfiguration)
{
    TSimSettings s = DefaultSimSettings();
    s.UserData = "Linka 7";
    s.SerialNumber = 1234;
    ApplySimChannelOption(s, "2:name=Teplota \xE8,unit=K,min=-50,max=150,decimals=1,watch=on,upper=90");
    Serve(s);

    TRun r = Ctl({"read", kCom});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    for (const char* text : {"COM201 at 9600 bit/s", "Module         KelvoUSB 4AI v1.07", "Model          KelvoUSB",
                             "Serial number  0042.xx.xx/1234", "Address        1", "Speed          9600 bit/s",
                             "User data      Linka 7", "2   Teplota č  K     0-10 V       -50  150         1  -",
                             "1   Tlak       bar   4-20 mA        0   10         2  -     on",
                             "3   Vlhkost    %     0-10 V         0  100         1  1x    off",
                             "2   on           90    -20           2"})
        EXPECT_NE(r.Out.find(text), std::string::npos) << text << "\n" << Describe(r);

    r = Ctl({"read", kCom, "--json", "--speed", "9600"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    const auto j = nlohmann::json::parse(r.Out);
    EXPECT_EQ(j["line_speed"], 9600);
    const auto& m = j["module"];
    EXPECT_EQ(m["model"], "KelvoUSB");
    EXPECT_EQ(m["serial_number"], 1234);
    EXPECT_EQ(m["userdata"], "Linka 7");
    EXPECT_EQ(m["speed"], 9600);
    const TSimSettings sim = Module->Settings();
    for (int i = 0; i < 4; ++i) {
        const auto& c = m["channels"][i];
        const TSimChannel& sc = sim.Channels[i];
        EXPECT_EQ(c["min"].get<double>(), sc.Offset) << i;
        EXPECT_FLOAT_EQ(c["max"].get<float>(), sc.Offset + sc.Slope * 10000) << i;
        EXPECT_EQ(c["decimals"], sc.Decimals) << i;
        EXPECT_EQ(c["sensor"], sc.Sensor4to20mA == 1 ? "on" : "off") << i;
        EXPECT_EQ(c["gain"].is_null(), !sc.HasGain) << i;
        EXPECT_EQ(c["watch"], (sc.WatchFlags & 0x80) ? "on" : "off") << i;
        EXPECT_FLOAT_EQ(c["upper"].get<float>(), sc.Upper) << i;
        EXPECT_FLOAT_EQ(c["hyst"].get<float>(), sc.Hysteresis) << i;
    }
    EXPECT_EQ(m["channels"][1]["name"], "Teplota č");
    EXPECT_EQ(m["channels"][3]["gain"], "4x");
    EXPECT_TRUE(NonReads().empty());
}

TEST_F(KelvoctlProgram, MeasureShowsOverrangeAndInvalidRowsAsThePageDoes)
{
    TSimSettings s = DefaultSimSettings();
    ApplySimChannelOption(s, "2:live=overrange");
    ApplySimChannelOption(s, "3:live=invalid");
    Serve(s);
    const fs::path csv = Dir / "values.csv";

    TRun r = Ctl({"measure", kCom, "--count", "2", "--interval", "100", "--csv", csv.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    std::istringstream lines(r.Out);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        if (line.size() < 12 || line[2] != ':' || line[8] != '.')
            continue;
        std::istringstream cells(line);
        std::vector<std::string> c;
        for (std::string w; cells >> w;)
            c.push_back(w);
        ASSERT_EQ(c.size(), 5u) << line;
        EXPECT_TRUE(ctl::ParseDecimal(c[1])) << line;
        EXPECT_EQ(c[2], "OVR") << line;
        EXPECT_EQ(c[3], "-") << line;
        ++rows;
    }
    EXPECT_EQ(rows, 2) << Describe(r);
    EXPECT_NE(r.Out.find("2 Teplota [C]"), std::string::npos) << Describe(r);

    const std::string file = ReadFile(csv);
    EXPECT_EQ(file.rfind("Time,1 Tlak [bar],2 Teplota [C],3 Vlhkost [%],4 Prutok [m3/h]\r\n", 0), 0u) << file;
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 3);
    EXPECT_NE(file.find(",OVR,-,"), std::string::npos) << file;

    // Rows are appended; the heading is written once.
    r = Ctl({"--json", "measure", kCom, "--csv", csv.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    const std::string appended = ReadFile(csv);
    EXPECT_EQ(std::count(appended.begin(), appended.end(), '\n'), 4);
    const auto j = nlohmann::json::parse(r.Out);
    EXPECT_TRUE(j["answered"].get<bool>());
    EXPECT_EQ(j["values"][1]["display"], "OVR ");
    EXPECT_EQ(j["values"][2]["display"], "-");
    EXPECT_TRUE(j["values"][0]["valid"].get<bool>());
    EXPECT_TRUE(NonReads().empty());
}

TEST_F(KelvoctlProgram, SetOfOneUnitWritesExactlyThatUnit)
{
    Serve(DefaultSimSettings());
    TRun r = Ctl({"set", kCom, "ch2.unit=V"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_EQ(NonReads(), (std::vector<uint8_t>{0xE4, 0x1E}));
    EXPECT_EQ(Writes(), (Writes_t{{0x1E, Bytes({0x01, 0x02, 0x13, 0x56, 0x20, 0x20, 0x20, 0x20})}}));
    EXPECT_NE(r.Out.find("ch2.unit  C       V"), std::string::npos) << Describe(r);
    // What the module reports afterwards.
    EXPECT_NE(r.Out.find("2   Teplota  V "), std::string::npos) << Describe(r);

    // The same value again changes nothing and sends nothing.
    Module->ClearLogs();
    r = Ctl({"set", kCom, "ch2.unit=V", "ch1.decimals=2"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Out.find("Nothing to change"), std::string::npos) << Describe(r);
    EXPECT_TRUE(NonReads().empty());
}

TEST_F(KelvoctlProgram, ANewAddressIsSavedAfterTheOtherSettings)
{
    Serve(DefaultSimSettings(TSimModel::KelvoRS));
    TRun r = Ctl({"--json", "set", kCom, "address=9", "ch1.unit=mbar"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_EQ(Writes(), (Writes_t{{0x1E, Bytes({0x01, 0x01, 0x13, 'm', 'b', 'a', 'r', ' '})}, {0xE0, Bytes({9, 6})}}));
    EXPECT_EQ(Module->Settings().Address, 9);
    const auto j = nlohmann::json::parse(r.Out);
    EXPECT_EQ(j["changes"].size(), 2u);
    EXPECT_TRUE(j["not_taken"].empty());
    EXPECT_EQ(j["module"]["address"], 9);
}

TEST_F(KelvoctlProgram, BackupAndRestoreWriteOnlyTheDifferences)
{
    Serve(DefaultSimSettings());
    const fs::path file = Dir / "module.json";
    TRun r = Ctl({"backup", kCom, file.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    auto doc = nlohmann::json::parse(ReadFile(file));
    EXPECT_EQ(doc["model"], "KelvoUSB");
    EXPECT_EQ(doc["settings"]["ch1"]["name"], "Tlak");

    // An unchanged backup sends nothing, not even the write enable.
    Module->ClearLogs();
    r = Ctl({"restore", kCom, file.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Out.find("Nothing to change"), std::string::npos) << Describe(r);
    EXPECT_TRUE(NonReads().empty());

    // One setting changed in the file: that one is written.
    doc["settings"]["ch1"]["upper"] = 9.5;
    std::ofstream(file) << doc.dump(2);
    Module->ClearLogs();
    r = Ctl({"restore", kCom, file.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_EQ(Writes(), (Writes_t{{0x1C, Bytes({0x01, 0x01, 0x13}) + FloatToStrBin(9.5f)}}));

    // A backup of another model, or a broken file, is refused before
    // anything is written; the broken one before anything is sent at all.
    doc["model"] = "KelvoRS";
    std::ofstream(file) << doc.dump(2);
    Module->ClearLogs();
    r = Ctl({"restore", kCom, file.string()});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_NE(r.Err.find("backup of a KelvoRS"), std::string::npos) << Describe(r);
    EXPECT_TRUE(NonReads().empty());

    Module->ClearLogs();
    std::ofstream(file) << "{\"kelvoctl\": \"backup\", \"version\": 1, \"model\": \"KelvoUSB\", \"settings\": "
                           "{\"ch1\": {\"upper\": 10001}}}";
    r = Ctl({"restore", kCom, file.string()});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    r = Ctl({"restore", kCom, (Dir / "missing.json").string()});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_TRUE(Module->RequestLog().empty());
}

TEST_F(KelvoctlProgram, WrongInputExitsWithTwoAndNothingIsWritten)
{
    Serve(DefaultSimSettings());
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"set", kCom, "ch1.upper=20000"},
             {"set", kCom, "ch2.unit=V", "ch1.colour=red"},
             {"set", kCom, "ch1.unit=toolong"},
             {"set", kCom},
             {"read"},
             {"read", "COM0"},
             {"read", kCom, "--speed", "fast"},
             {"read", kCom, "--speeds", "9601"},
             {"read", kCom, "--speed", "9600", "--speeds", "9600"},
             {"measure", kCom, "--count", "-1"},
             {"frobnicate"},
             {},
         }) {
        const TRun r = Ctl(args);
        EXPECT_EQ(r.Status, 2) << (args.empty() ? "" : args[0]) << " " << Describe(r);
    }
    // None of them reached the module.
    EXPECT_TRUE(Module->RequestLog().empty());

    // A setting the module lacks is found only after reading it; still
    // nothing is written.
    TRun r = Ctl({"--json", "set", kCom, "ch1.gain=2x"});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_EQ(nlohmann::json::parse(r.Out)["error"], "ch1.gain: channel 1 has no gain setting");
    EXPECT_TRUE(NonReads().empty());

    r = Ctl({"--help"});
    EXPECT_EQ(r.Status, 0);
    r = Ctl({"set", "--help"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Out.find("chN.hyst"), std::string::npos);
}

TEST_F(KelvoctlProgram, ASilentOrVanishingModuleExitsWithOneNamingTheStep)
{
    TSimSettings s = DefaultSimSettings();
    s.Faults.Silent = true;
    Serve(s);
    TRun r = Ctl({"read", kCom});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("No module answered on COM201 at 9.600 bps, 115.200 bps"), std::string::npos) << Describe(r);
    Pty->Stop();

    // Gone after the probe, the identification and the first channel. At
    // 300 bit/s the identification waits least for the replies that no
    // longer come.
    s = DefaultSimSettings();
    s.SpeedCode = 1;
    s.Faults.VanishAfter = 5;
    Serve(s);
    r = Ctl({"--json", "read", kCom, "--speed", "300"});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("Reading the module on COM201 failed: Device not responding ($1F)"), std::string::npos)
        << Describe(r);
    const auto j = nlohmann::json::parse(r.Out);
    EXPECT_EQ(j["exit_code"], 1);
    EXPECT_TRUE(Pty->HungUp());

    // And the port is gone for the next command.
    r = Ctl({"read", kCom});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("COM201: no such port"), std::string::npos) << Describe(r);
}
