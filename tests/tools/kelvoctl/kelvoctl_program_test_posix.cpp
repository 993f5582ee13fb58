// kelvoctl run as a technician runs it, against a simulated module on a
// pseudo-terminal linked as a COM port: its output, its exit status and,
// from the simulator's logs, exactly what it sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "uConversionUtils.h"
#include "uKelvoxx.h"
#include "uNumberText.h"
#include "AfComPortCore.h"
#include "uSimPty.h"
#include "KelvoctlRun.h"

using namespace kelvo;
using namespace kelvo::ctltest;
namespace fs = std::filesystem;

namespace {

// Above COM96 no device node stands behind a port number, so a port the
// test does not serve is simply not there.
constexpr unsigned kPort = 201;
const std::string kCom = "COM201";

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
    EXPECT_NE(Line(r.Out, kCom).find("no answer at 9600 bit/s, 115200 bit/s"), std::string::npos) << Describe(r);
    EXPECT_NE(r.Err.find("No module found"), std::string::npos) << Describe(r);
    // One JSON document, the failure in it.
    r = Ctl({"--json", "search", "--port", kCom});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    const auto none = nlohmann::json::parse(r.Out);
    EXPECT_TRUE(none["modules"].empty());
    EXPECT_EQ(none["interfaces"][0]["result"], "no answer");
    EXPECT_EQ(none["error"].get<std::string>().rfind("No module found", 0), 0u);

    // A row per port in the order named, a port that is not there included.
    Module->ClearLogs();
    r = Ctl({"search", "COM202", kCom, "--speeds", "19200,9600"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_EQ(Line(r.Out, kCom), "COM201     KelvoRS   0077    19200 bit/s   found") << Describe(r);
    EXPECT_LT(r.Out.find("COM202"), r.Out.find(kCom)) << Describe(r);
    EXPECT_NE(Line(r.Out, "COM202").find("no such port (no link com202 in the ports folder"), std::string::npos)
        << Describe(r);
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
    EXPECT_EQ(Line(r.Out, kCom).rfind("COM201     KelvoRS", 0), 0u) << Describe(r);
    EXPECT_NE(Line(r.Out, "COM199").find("answered at 9600 bit/s, but not with a valid reply (bytes that are not a "
                                         "Verdel 97 frame)"),
              std::string::npos)
        << Describe(r);
    EXPECT_NE(Line(r.Out, "COM200").find("(a frame that cannot be read)"), std::string::npos) << Describe(r);
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

    // The port by its device node, and the node behind each port.
    const std::string node = fs::canonical(Pty->LinkPath()).string();
    r = Ctl({"read", node, "--json", "--speed", "9600"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    const auto j = nlohmann::json::parse(r.Out);
    EXPECT_EQ(j["port"], kCom);
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

    r = Ctl({"--json", "ports"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_EQ(nlohmann::json::parse(r.Out)["ports"][0]["device"], node) << Describe(r);
    EXPECT_EQ(Ctl({"read", "/dev/null"}).Status, 2);
}

TEST_F(KelvoctlProgram, ComputedValuesShowWithThePrecisionOfASingle)
{
    // Ranges whose maximum the module's coefficients give as 1.5000001,
    // 999.99994 and 1e8.
    TSimSettings s = DefaultSimSettings();
    ApplySimChannelOption(s, "1:min=0.1,max=1.5");
    ApplySimChannelOption(s, "2:min=-50,max=1000");
    ApplySimChannelOption(s, "3:min=-99999999,max=99999999");
    Serve(s);
    TRun r = Ctl({"read", kCom});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(Line(r.Out, "1   Tlak").find(" 0.1        1.5 "), std::string::npos) << Describe(r);
    EXPECT_NE(Line(r.Out, "2   Teplota").find(" -50       1000 "), std::string::npos) << Describe(r);
    EXPECT_NE(Line(r.Out, "3   Vlhkost").find(" -100000000  100000000 "), std::string::npos) << Describe(r);

    r = Ctl({"--json", "read", kCom});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    const auto channels = nlohmann::json::parse(r.Out)["module"]["channels"];
    EXPECT_EQ(channels[0]["max"].dump(), "1.5");
    EXPECT_EQ(channels[1]["max"].dump(), "1000");
    EXPECT_EQ(channels[2]["max"].dump(), "100000000");

    // Setting what is shown changes nothing, and a backup restores exactly.
    const fs::path file = Dir / "module.json";
    ASSERT_EQ(Ctl({"backup", kCom, file.string()}).Status, 0);
    Module->ClearLogs();
    r = Ctl({"set", kCom, "ch1.max=1.5", "ch2.max=1000", "ch3.max=99999999"});
    EXPECT_NE(r.Out.find("Nothing to change"), std::string::npos) << Describe(r);
    r = Ctl({"restore", kCom, file.string()});
    EXPECT_NE(r.Out.find("Nothing to change"), std::string::npos) << Describe(r);
    EXPECT_TRUE(NonReads().empty());
}

TEST_F(KelvoctlProgram, MeasureShowsOverrangeInvalidAndUnansweredPollsApart)
{
    TSimSettings s = DefaultSimSettings();
    ApplySimChannelOption(s, "2:live=overrange");
    ApplySimChannelOption(s, "3:live=invalid");
    Serve(s);
    const fs::path csv = Dir / "values.csv";

    // The module falls silent after the first poll.
    TChild child({"measure", kCom, "--count", "2", "--interval", "300", "--csv", csv.string()});
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& q : Module->RequestLog())
            if (q.Instruction == kInstrReadValues && q.Outcome == TSimOutcome::Answered)
                return true;
        return false;
    }));
    TSimFaults silent;
    silent.Silent = true;
    Module->SetFaults(silent);
    TRun r = child.Finish();
    EXPECT_EQ(r.Status, 1) << Describe(r);
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(r.Out);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 12 || line[2] != ':' || line[8] != '.')
            continue;
        std::istringstream cells(line);
        rows.emplace_back();
        for (std::string w; cells >> w;)
            rows.back().push_back(w);
    }
    ASSERT_EQ(rows.size(), 2u) << Describe(r);
    ASSERT_EQ(rows[0].size(), 5u);
    EXPECT_TRUE(ParseDecimal(rows[0][1]));
    EXPECT_EQ(rows[0][2], "OVR");
    EXPECT_EQ(rows[0][3], "-");
    EXPECT_EQ(rows[1], (std::vector<std::string>{rows[1][0], "no", "answer", "no", "answer", "no", "answer", "no",
                                                  "answer"}));
    EXPECT_NE(r.Out.find("2 Teplota [C]"), std::string::npos) << Describe(r);
    EXPECT_NE(r.Err.find("2 polls in "), std::string::npos) << Describe(r);
    EXPECT_NE(r.Err.find(": 1 answered, 1 without answer"), std::string::npos) << Describe(r);

    const std::string file = ReadFile(csv);
    EXPECT_EQ(file.rfind("time,ch1_text,ch1_value,ch1_state,ch2_text,ch2_value,ch2_state,", 0), 0u) << file;
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 3);
    EXPECT_NE(file.find(",overrange,"), std::string::npos) << file;
    EXPECT_NE(file.find(",,invalid,"), std::string::npos) << file;
    EXPECT_NE(file.find(",,,no answer,,,no answer,,,no answer,,,no answer\r\n"), std::string::npos) << file;

    // Rows are appended; the heading is written once.
    Module->SetFaults(TSimFaults{});
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

    // No module, no file.
    Module->SetFaults(silent);
    r = Ctl({"measure", kCom, "--speed", "9600", "--csv", (Dir / "none.csv").string()});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_FALSE(fs::exists(Dir / "none.csv"));
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

    // A range that does not rise is written, with a warning.
    r = Ctl({"set", kCom, "ch3.min=100"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Err.find("warning: ch3.min (100) is not below ch3.max (100)"), std::string::npos) << Describe(r);
}

TEST_F(KelvoctlProgram, AnAddressGivenReachesOnlyThatModule)
{
    TSimSettings s = DefaultSimSettings(TSimModel::KelvoRS);
    s.Address = 5;
    Serve(s);
    auto addresses = [&] {
        std::set<int> out;
        for (const auto& q : Module->RequestLog())
            out.insert(q.Address);
        return out;
    };
    EXPECT_EQ(Ctl({"read", kCom, "--address", "6", "--speed", "9600"}).Status, 1);
    EXPECT_EQ(addresses(), (std::set<int>{6}));

    // Probe, reads, writes and the polls to 5; the new address is followed.
    Module->ClearLogs();
    TRun r = Ctl({"--json", "set", kCom, "--address", "5", "address=9", "ch1.unit=mbar"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_EQ(Writes(), (Writes_t{{0x1E, Bytes({0x01, 0x01, 0x13, 'm', 'b', 'a', 'r', ' '})}, {0xE0, Bytes({9, 6})}}));
    EXPECT_EQ(Module->Settings().Address, 9);
    EXPECT_EQ(addresses(), (std::set<int>{5, 9}));
    const auto j = nlohmann::json::parse(r.Out);
    EXPECT_EQ(j["changes"].size(), 2u);
    EXPECT_TRUE(j["not_taken"].empty());
    EXPECT_EQ(j["module"]["address"], 9);

    Module->ClearLogs();
    EXPECT_EQ(Ctl({"measure", kCom, "--address", "9"}).Status, 0);
    EXPECT_EQ(addresses(), (std::set<int>{9}));
    Module->ClearLogs();
    EXPECT_EQ(Ctl({"read", kCom}).Status, 0);
    EXPECT_EQ(addresses(), (std::set<int>{254}));
}

TEST_F(KelvoctlProgram, BackupAndRestoreWriteOnlyTheDifferences)
{
    Serve(DefaultSimSettings(TSimModel::KelvoRS));
    const fs::path file = Dir / "module.json";
    TRun r = Ctl({"backup", kCom, file.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    auto doc = nlohmann::json::parse(ReadFile(file));
    EXPECT_EQ(doc["model"], "KelvoRS");
    EXPECT_EQ(doc["serial_number"], 256);
    EXPECT_EQ(doc["made"].get<std::string>().size(), 19u);
    EXPECT_EQ(doc["settings"]["ch1"]["name"], "Tlak");

    // An unchanged backup sends nothing, not even the write enable.
    Module->ClearLogs();
    r = Ctl({"restore", kCom, file.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Out.find("Nothing to change"), std::string::npos) << Describe(r);
    EXPECT_TRUE(NonReads().empty());

    // Changed settings: a dry run shows them, the restore writes them.
    doc["settings"]["ch1"]["upper"] = 9.5;
    doc["settings"]["address"] = 7;
    std::ofstream(file) << doc.dump(2);
    Module->ClearLogs();
    r = Ctl({"restore", kCom, file.string(), "--dry-run"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Out.find("ch1.upper  8       9.5"), std::string::npos) << Describe(r);
    EXPECT_TRUE(NonReads().empty());
    // Onto a module of another serial number everything but address and
    // speed, and it says so; --force restores those too.
    doc["serial"] = "0042.xx.xx/0999";
    std::ofstream(file) << doc.dump(2);
    r = Ctl({"restore", kCom, file.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_NE(r.Err.find("not restored: address (backup 7, module 1)"), std::string::npos) << Describe(r);
    EXPECT_EQ(Writes(), (Writes_t{{0x1C, Bytes({0x01, 0x01, 0x13}) + FloatToStrBin(9.5f)}}));
    r = Ctl({"restore", kCom, file.string(), "--force"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    EXPECT_EQ(Module->Settings().Address, 7);

    // A backup of another model, or a broken file, is refused before
    // anything is written; the broken one before anything is sent at all.
    doc["model"] = "KelvoUSB";
    std::ofstream(file) << doc.dump(2);
    Module->ClearLogs();
    r = Ctl({"restore", kCom, file.string()});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_NE(r.Err.find("backup of a KelvoUSB"), std::string::npos) << Describe(r);
    EXPECT_TRUE(NonReads().empty());

    Module->ClearLogs();
    std::ofstream(file) << "{\"kelvoctl\": \"backup\", \"version\": 1, \"model\": \"KelvoRS\", \"settings\": "
                           "{\"ch1\": {\"upper\": 10001}}}";
    r = Ctl({"restore", kCom, file.string()});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    std::ofstream(file) << "{\n  \"kelvoctl\": \"backup\",,\n}";
    r = Ctl({"restore", kCom, file.string()});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_EQ(r.Err, "kelvoctl: " + file.string() + ": not valid JSON at line 2, column 24: unexpected ','; "
                     "expected string literal\n");
    const std::string missing = (Dir / "missing.json").string();
    r = Ctl({"restore", kCom, missing});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    EXPECT_EQ(r.Err, "kelvoctl: " + missing + ": No such file or directory\n");
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
             {"read", kCom, "--address", "254"},
             {"measure", kCom, "--count", "-1"},
             {"measure", kCom, "--csv", (Dir / "nofolder" / "v.csv").string()},
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

TEST_F(KelvoctlProgram, FailuresSayWhatCameBack)
{
    struct TCase {
        const char* What;
        std::function<void(TSimFaults&)> Fault;
        const char* Message;
    };
    const std::vector<TCase> cases{
        {"silent", [](TSimFaults& f) { f.Silent = true; }, "kelvoctl: No module answered on COM201 at 9600 bit/s\n"},
        {"checksum", [](TSimFaults& f) { f.BadChecksum = true; },
         "kelvoctl: COM201 answered at 9600 bit/s, but not with a valid reply (checksum wrong); see --debug\n"},
        {"stray byte", [](TSimFaults& f) { f.StrayByte = true; }, "(stray bytes before or after the frame)"},
        {"gaps", [](TSimFaults& f) { f.ChunkSize = 4, f.ChunkPauseMs = 200; },
         "(the reply was incomplete: cut short, or split by pauses longer than 50 ms (--line-gap MS waits longer"},
        {"unstable", [](TSimFaults& f) { f.Unstable = true; },
         "kelvoctl: COM201: the module's two replies to the same request differed every time while reading the "
         "identification (Device not responding ($F3))\n"},
    };
    for (const TCase& c : cases) {
        TSimSettings s = DefaultSimSettings();
        c.Fault(s.Faults);
        Serve(s);
        const TRun r = Ctl({"--progress", "read", kCom, "--speed", "9600"});
        EXPECT_EQ(r.Status, 1) << c.What << " " << Describe(r);
        EXPECT_NE(r.Err.find(c.Message), std::string::npos) << c.What << " " << Describe(r);
        EXPECT_NE(r.Err.find("kelvoctl: probing COM201 at 9600 bit/s\n"), std::string::npos) << Describe(r);
        Pty->Stop();
        if (&c == &cases.back()) {
            EXPECT_NE(r.Err.find("kelvoctl: COM201: reading the identification, attempt 5 of 5\n"), std::string::npos)
                << Describe(r);
        }
    }
    // A bridge that pauses inside its replies is read with a longer gap.
    TSimSettings bridge = DefaultSimSettings();
    bridge.Faults.ChunkSize = 32;
    bridge.Faults.ChunkPauseMs = 80;
    Serve(bridge);
    const TRun gap = Ctl({"--line-gap", "150", "read", kCom, "--speed", "9600"});
    EXPECT_EQ(gap.Status, 0) << Describe(gap);
    Pty->Stop();

    const TRun r = Ctl({"read", "COM202"});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_EQ(r.Err, "kelvoctl: COM202: no such port (no link com202 in the ports folder " + Dir.string() +
                         ", named by KELVO_PORTS_DIR)\n");
}

TEST_F(KelvoctlProgram, AModuleThatAnswersTooLateIsNotFoundAtTheNextSpeed)
{
    // Its reply to the probe at 9600 comes while 115200 is tried.
    TSimSettings s = DefaultSimSettings();
    s.ReplyDelayMs = 300;
    Serve(s);
    const TRun r = Ctl({"read", kCom});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("COM201: a module answered the probe at 9600 bit/s only after it had given up"),
              std::string::npos)
        << Describe(r);
    // Nothing but probes went out: no read was started at 115200.
    for (const auto& q : Module->RequestLog())
        EXPECT_TRUE(q.Outcome == TSimOutcome::Garbled || q.Instruction == kInstrIdentify) << int(q.Instruction);
}

TEST_F(KelvoctlProgram, AVanishedPortIsReportedWithinASecond)
{
    // Gone after the probe, the identification and the first channel, at a
    // speed whose time-outs last four seconds.
    TSimSettings s = DefaultSimSettings();
    s.Faults.VanishAfter = 5;
    Serve(s);
    TChild child({"read", kCom});
    ASSERT_TRUE(WaitFor([&] { return Pty->HungUp(); }));
    const auto gone = std::chrono::steady_clock::now();
    const TRun r = child.Finish();
    EXPECT_LT(std::chrono::steady_clock::now() - gone, std::chrono::seconds(1));
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("kelvoctl: COM201: the port disappeared (" + (Dir / "com201").string() +
                         " is gone) while reading channel 2's configuration"),
              std::string::npos)
        << Describe(r);
}

TEST_F(KelvoctlProgram, APortInUseOrForbiddenIsNamedSo)
{
    Serve(DefaultSimSettings());
    const std::string node = Pty->SlaveName();
    {
        // Held by this test program.
        const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const TRun r = Ctl({"read", kCom});
        const TRun ports = Ctl({"ports"});
        ::close(fd);
        EXPECT_NE(Line(ports.Out, kCom).find(" in use"), std::string::npos) << Describe(ports);
        EXPECT_EQ(r.Status, 1) << Describe(r);
        EXPECT_NE(r.Err.find("kelvoctl: COM201 (" + node + ") is in use by another program (kelvoctl_tests (pid " +
                             std::to_string(::getpid()) + "))"),
                  std::string::npos)
            << Describe(r);
    }
    // Tried as a user without access to the node.
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to try as another user";
    const group* dialout = ::getgrnam("dialout");
    if (!dialout)
        GTEST_SKIP() << "no group dialout to give the node to";
    ASSERT_EQ(::chmod(Dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(node.c_str(), uid_t(-1), dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
    const TRun probe = TChild({"--help"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}).Finish();
    if (probe.Status != 0)
        GTEST_SKIP() << "kelvoctl cannot run as user 65534 here: " << Describe(probe);
    const TRun r = TChild({"read", kCom}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}).Finish();
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("permission denied on " + node + " (COM201) \u2014 add your user to the group dialout"),
              std::string::npos)
        << Describe(r);
    // The list says so too, not "in use".
    const TRun ports = TChild({"ports"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}).Finish();
    EXPECT_NE(Line(ports.Out, kCom).find("no permission: add your user to the group dialout"), std::string::npos)
        << Describe(ports);
}

TEST_F(KelvoctlProgram, CtrlCEndsReadsAtOnceAndFinishesTheWriteInProgress)
{
    // A read waiting for a module that fell silent, 36 s per attempt: the
    // signal ends the wait, and nothing more is sent. (Had it not, the next
    // request would follow when the wait ran out.)
    TSimSettings s = DefaultSimSettings();
    s.SpeedCode = 10;  // 115200
    s.Faults.EverySecond = true;
    Serve(s);
    {
        TChild child({"--json", "read", kCom, "--speed", "115200"});
        ASSERT_TRUE(WaitFor([&] { return Module->RequestLog().size() >= 2; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const size_t asked = Module->RequestLog().size();
        child.Signal(SIGINT);
        const TRun r = child.Finish();
        EXPECT_EQ(r.Status, 130) << Describe(r);
        EXPECT_EQ(Module->RequestLog().size(), asked);
        EXPECT_NE(r.Err.find("interrupted while reading the identification"), std::string::npos) << Describe(r);
        // One JSON document, that says so.
        const auto j = nlohmann::json::parse(r.Out);
        EXPECT_TRUE(j["interrupted"].get<bool>()) << r.Out;
        EXPECT_EQ(j["exit_code"], 130);
        // The port is free again.
        EXPECT_EQ(AfProbeComPort(int(kPort)), ppAvailable);
    }
    Pty->Stop();

    // A restore of twelve changes, stopped after the first write: the write
    // in progress finishes, nothing more is sent, and the report matches
    // what the module took.
    s = DefaultSimSettings();
    s.ReplyDelayMs = 60;
    Serve(s);
    const fs::path file = Dir / "module.json";
    ASSERT_EQ(Ctl({"backup", kCom, file.string()}).Status, 0);
    auto doc = nlohmann::json::parse(ReadFile(file));
    for (int ch = 1; ch <= 4; ++ch) {
        auto& c = doc["settings"]["ch" + std::to_string(ch)];
        c["name"] = "N" + std::to_string(ch);
        c["unit"] = "U" + std::to_string(ch);
        c["upper"] = 5 + ch;
    }
    std::ofstream(file) << doc.dump(2);
    auto interruptRestore = [&](const std::vector<std::string>& Args) {
        Module->ClearLogs();
        TChild child(Args);
        EXPECT_TRUE(WaitFor([&] { return !Module->WriteLog().empty(); }));
        const size_t atSignal = Module->WriteLog().size();
        child.Signal(SIGINT);
        const TRun r = child.Finish();
        const size_t took = Module->WriteLog().size();
        EXPECT_EQ(r.Status, 130) << Describe(r);
        EXPECT_GE(took, atSignal);
        EXPECT_LE(took, atSignal + 1);
        // Each write with its write enable, and nothing more.
        EXPECT_EQ(NonReads().size(), 2 * took);
        return std::pair{r, took};
    };
    const auto [text, took] = interruptRestore({"restore", kCom, file.string()});
    EXPECT_NE(text.Out.find("Interrupted after " + std::to_string(took) + " of 12 writes"), std::string::npos)
        << Describe(text);
    EXPECT_NE(text.Out.find("The module now holds:"), std::string::npos) << Describe(text);
    // With --json: one document, the partial result in it.
    const auto [json, jsonTook] = interruptRestore({"--json", "restore", kCom, file.string()});
    const auto j = nlohmann::json::parse(json.Out);
    EXPECT_TRUE(j["interrupted"].get<bool>()) << json.Out;
    EXPECT_EQ(j["writes"]["sent"], jsonTook);
    EXPECT_EQ(j["writes"]["total"], 12 - took);
    EXPECT_TRUE(j["module"].is_object());

    // A measurement stopped by Ctrl+C sums up and ends well.
    TChild measure({"measure", kCom, "--count", "0", "--interval", "100"});
    ASSERT_TRUE(WaitFor([&] {
        size_t polls = 0;
        for (const auto& q : Module->RequestLog())
            polls += q.Instruction == kInstrReadValues;
        return polls >= 2;
    }));
    measure.Signal(SIGTERM);
    const TRun m = measure.Finish();
    EXPECT_EQ(m.Status, 0) << Describe(m);
    EXPECT_NE(m.Err.find("(stopped by Ctrl+C)"), std::string::npos) << Describe(m);
}
