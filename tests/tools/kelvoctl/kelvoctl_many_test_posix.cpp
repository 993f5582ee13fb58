// kelvoctl with several simulated modules at once, each on a pseudo-terminal
// of its own: the parallel search, the batch save and the shared log.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "KelvoctlRun.h"
#include "ScopedEnvDir.h"
#include "uKelvoxx.h"
#include "uSimPty.h"

using namespace kelvo;
using namespace kelvo::ctltest;
namespace fs = std::filesystem;

namespace {

class KelvoctlModules : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (auto& p : Ptys)
            p->Stop();
    }

    // A module served as COM<Port>; Prepare may hook it before it serves.
    TSimModule& Serve(unsigned Port, TSimSettings Settings,
                      const std::function<void(TSimModule&)>& Prepare = nullptr)
    {
        Modules.push_back(std::make_unique<TSimModule>(std::move(Settings)));
        if (Prepare)
            Prepare(*Modules.back());
        Ptys.push_back(std::make_unique<TSimPty>(*Modules.back()));
        TSimPtyOptions options;
        options.LinkDir = Dir.string();
        options.PortNumber = Port;
        Ptys.back()->Start(options);
        return *Modules.back();
    }

    static TSimSettings Module(TSimModel Model, uint8_t SpeedCode, uint16_t Serial)
    {
        TSimSettings s = DefaultSimSettings(Model);
        s.SpeedCode = SpeedCode;
        s.SerialNumber = Serial;
        return s;
    }

    static std::string ReadFile(const fs::path& P)
    {
        std::ifstream in(P, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    kelvo::testing::TScopedEnvDir FPorts{"KELVO_PORTS_DIR", "kelvoctl-many"};
    const fs::path& Dir = FPorts.Dir;
    std::vector<std::unique_ptr<TSimModule>> Modules;
    std::vector<std::unique_ptr<TSimPty>> Ptys;
};

// The cell of a CSV line (no quoted cells in these files).
std::vector<std::string> Cells(const std::string& Line)
{
    std::vector<std::string> out(1);
    for (char c : Line) {
        if (c == ',')
            out.emplace_back();
        else if (c != '\r')
            out.back() += c;
    }
    return out;
}

// The lines of a CSV file, cut into cells.
std::vector<std::vector<std::string>> CsvRows(const std::string& Text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(Text);
    for (std::string line; std::getline(in, line);)
        rows.push_back(Cells(line));
    return rows;
}

}  // namespace

TEST_F(KelvoctlModules, ASearchProbesThePortsAtOnceAndListsThemInTheirOrder)
{
    TSimModule& rs = Serve(201, Module(TSimModel::KelvoRS, 7, 1));  // 19200
    TSimSettings silent = DefaultSimSettings();
    silent.Faults.Silent = true;
    TSimModule& quiet = Serve(202, silent);
    TSimModule& usb = Serve(203, Module(TSimModel::KelvoUSB, 10, 3));  // 115200
    TSimModule& last = Serve(204, Module(TSimModel::KelvoRS, 8, 4));   // 38400

    TRun r = Ctl({"search", "--speeds", "all", "COM204", "COM201", "COM203", "COM202"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    const size_t at[] = {r.Out.find("COM204"), r.Out.find("COM201"), r.Out.find("COM203"), r.Out.find("COM202")};
    EXPECT_TRUE(at[0] < at[1] && at[1] < at[2] && at[2] < at[3]) << Describe(r);
    EXPECT_EQ(Line(r.Out, "COM201"), "COM201     KelvoRS   0001    19200 bit/s   found") << Describe(r);
    EXPECT_EQ(Line(r.Out, "COM203"), "COM203     KelvoUSB  0003    115200 bit/s  found") << Describe(r);
    EXPECT_EQ(Line(r.Out, "COM204"), "COM204     KelvoRS   0004    38400 bit/s   found") << Describe(r);
    EXPECT_NE(Line(r.Out, "COM202").find("no answer at 300 bit/s"), std::string::npos) << Describe(r);
    // At once: every port heard its first request before the silent one
    // had gone through its eleven speeds (about three seconds).
    uint32_t first = 0xFFFFFFFFu, latest = 0;
    for (TSimModule* m : {&rs, &quiet, &usb, &last}) {
        const auto log = m->RequestLog();
        ASSERT_FALSE(log.empty());
        first = std::min(first, log.front().Time);
        latest = std::max(latest, log.front().Time);
    }
    EXPECT_LT(latest - first, 1500u);
    // Each port was probed in the window's order, its own module found at
    // its own speed.
    EXPECT_EQ(rs.RequestLog().front().LineSpeed, 9600u);
    EXPECT_EQ(usb.RequestLog().front().LineSpeed, 9600u);

    // Two at a time, the same result, in the same order.
    r = Ctl({"--json", "search", "--speeds", "all", "--jobs", "2", "COM204", "COM201", "COM203", "COM202"});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    const auto j = nlohmann::json::parse(r.Out);
    ASSERT_EQ(j["modules"].size(), 3u);
    EXPECT_EQ(j["modules"][0]["interface"], "COM204");
    EXPECT_EQ(j["modules"][2]["interface"], "COM203");
    EXPECT_EQ(j["interfaces"][3]["result"], "no answer");
}

TEST_F(KelvoctlModules, ABatchRestoreWritesEachModulesDifferencesAndNamesTheOneThatVanished)
{
    TSimSettings source = Module(TSimModel::KelvoRS, 6, 1);
    TSimSettings unit = Module(TSimModel::KelvoRS, 6, 2);
    unit.Address = 2;
    ApplySimChannelOption(unit, "1:unit=V");
    TSimSettings named = Module(TSimModel::KelvoRS, 6, 3);
    named.Address = 3;
    named.UserData = "Linka 3";
    TSimSettings vanishing = Module(TSimModel::KelvoRS, 6, 4);
    vanishing.Address = 4;
    ApplySimChannelOption(vanishing, "1:unit=V");
    Serve(201, source);
    TSimModule& two = Serve(202, unit);
    TSimModule& three = Serve(203, named);
    // Gone at its first write, the write enable's reply the last it sends.
    TSimModule& four = Serve(204, vanishing, [](TSimModule& M) {
        auto replies = std::make_shared<std::atomic<int>>(0);
        M.OnRequest = [&M, replies](const TSimRequest& R) {
            if (R.Outcome == TSimOutcome::Answered || R.Outcome == TSimOutcome::Applied ||
                R.Outcome == TSimOutcome::Rejected || R.Outcome == TSimOutcome::Unknown)
                ++*replies;
            if (R.Instruction == 0xE4) {
                TSimFaults f = M.Settings().Faults;
                f.VanishAfter = *replies;
                M.SetFaults(f);
            }
        };
    });

    const fs::path file = Dir / "module.json";
    TRun r = Ctl({"backup", "COM201", file.string()});
    ASSERT_EQ(r.Status, 0) << Describe(r);
    // Address and speed go onto one module only, and only when forced.
    r = Ctl({"set", "--all", "address=9"});
    EXPECT_EQ(r.Status, 2) << Describe(r);
    for (auto& m : Modules) {
        EXPECT_TRUE(m->WriteLog().empty());
        m->ClearLogs();
    }

    r = Ctl({"--json", "restore", "--all", file.string()});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    const auto j = nlohmann::json::parse(r.Out);
    ASSERT_EQ(j["modules"].size(), 4u) << Describe(r);
    EXPECT_EQ(j["modules"][0]["result"], "unchanged");
    EXPECT_EQ(j["modules"][1]["result"], "saved");
    EXPECT_EQ(j["modules"][1]["changes"], nlohmann::json::parse(R"([{"key":"ch1.unit","old":"V","new":"bar"}])"));
    EXPECT_EQ(j["modules"][1]["skipped"][0]["key"], "address");
    EXPECT_EQ(j["modules"][2]["changes"][0]["key"], "userdata");
    EXPECT_EQ(j["modules"][3]["result"], "failed");
    EXPECT_NE(j["modules"][3]["error"].get<std::string>().find("COM204: the port disappeared"), std::string::npos)
        << Describe(r);
    EXPECT_NE(j["error"].get<std::string>().find("1 of 4 modules failed: COM204"), std::string::npos) << Describe(r);

    // Exactly the differences, each module its own; nothing onto the first.
    EXPECT_TRUE(Modules[0]->WriteLog().empty());
    ASSERT_EQ(two.WriteLog().size(), 1u);
    EXPECT_EQ(two.Settings().Channels[0].Unit.rfind("bar", 0), 0u);
    EXPECT_EQ(two.Settings().Address, 2);
    ASSERT_EQ(three.WriteLog().size(), 1u);
    EXPECT_EQ(three.Settings().UserData, DefaultSimSettings(TSimModel::KelvoRS).UserData);
    EXPECT_EQ(four.WriteLog().size(), 1u);  // taken, but its reply cut short
    EXPECT_TRUE(four.Gone());
}

TEST_F(KelvoctlModules, AModuleThatFallsSilentDoesNotHoldUpTheOthersRows)
{
    Serve(201, Module(TSimModel::KelvoUSB, 6, 1));
    // Answers the first poll, then nothing.
    Serve(202, Module(TSimModel::KelvoUSB, 6, 2), [](TSimModule& M) {
        M.OnRequest = [&M](const TSimRequest& R) {
            if (R.Instruction == kInstrReadValues) {
                TSimFaults f = M.Settings().Faults;
                f.Silent = true;
                M.SetFaults(f);
            }
        };
    });
    Serve(203, Module(TSimModel::KelvoUSB, 6, 3));

    const fs::path csv = Dir / "cabinet.csv";
    TRun r = Ctl({"measure", "--all", "--count", "3", "--interval", "300", "--csv", csv.string()});
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("COM202: 2 of 3 polls unanswered"), std::string::npos) << Describe(r);

    const auto rows = CsvRows(ReadFile(csv));
    ASSERT_EQ(rows.size(), 4u) << ReadFile(csv);
    ASSERT_EQ(rows[0].size(), 1u + 3 * 12);
    EXPECT_EQ(rows[0][1], "COM201_ch1_text");
    EXPECT_EQ(rows[0][13], "COM202_ch1_text");
    for (size_t row = 1; row <= 3; ++row)
        for (size_t ch = 0; ch < 4; ++ch) {
            EXPECT_EQ(rows[row][3 + 3 * ch], "ok") << row;
            EXPECT_EQ(rows[row][15 + 3 * ch], row == 1 ? "ok" : "no answer") << row;
            EXPECT_EQ(rows[row][27 + 3 * ch], "ok") << row;
        }
}

TEST_F(KelvoctlModules, APortUnpluggedBetweenPollsEndsItsColumnsAndNotTheOthers)
{
    Serve(201, Module(TSimModel::KelvoUSB, 6, 1));
    std::atomic<int> polls{0};
    Serve(202, Module(TSimModel::KelvoUSB, 6, 2), [&polls](TSimModule& M) {
        M.OnRequest = [&polls](const TSimRequest& R) {
            if (R.Instruction == kInstrReadValues)
                ++polls;
        };
    });
    const fs::path csv = Dir / "cabinet.csv";
    TChild child({"measure", "--all", "--count", "5", "--interval", "400", "--csv", csv.string()});
    // Unplugged while the poll waits for its next tick, not during an exchange.
    ASSERT_TRUE(WaitFor([&] { return polls.load() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Ptys[1]->Stop();
    const TRun r = child.Finish();
    EXPECT_EQ(r.Status, 1) << Describe(r);
    EXPECT_NE(r.Err.find("COM202: the port disappeared while measuring"), std::string::npos) << Describe(r);
    const auto rows = CsvRows(ReadFile(csv));
    ASSERT_EQ(rows.size(), 6u) << ReadFile(csv);
    for (size_t row = 1; row <= 5; ++row)
        EXPECT_EQ(rows[row][3], "ok") << row;  // COM201 measured on throughout
}
