#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "uLogUtils.h"

using namespace kelvo;
namespace fs = std::filesystem;

namespace {

class TFixedClock : public TLogClock {
public:
    TLogDateTime Time;
    TLogDateTime Now() override { return Time; }
};

TLogDateTime At(int y, int mo, int d, int h, int mi, int s, int ms)
{
    TLogDateTime t;
    t.Year = y;
    t.Month = mo;
    t.Day = d;
    t.Hour = h;
    t.Minute = mi;
    t.Second = s;
    t.Millisecond = ms;
    return t;
}

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> FilesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
        lines.push_back(text.substr(start, p - start));
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

// Each test gets its own directory, a fixed clock and a log switched on.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogResetForTests();
        std::random_device rd;
        Dir = fs::temp_directory_path() / ("kelvo-log-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(Dir);
        SetLogDirectory(Dir);
        Clock.Time = At(2024, 1, 31, 14, 3, 7, 215);
        SetLogClock(&Clock);
        SetLogEnabled(true);
    }
    void TearDown() override
    {
        LogResetForTests();
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }

    fs::path Dir;
    TFixedClock Clock;
};

}  // namespace

TEST(LogSwitch, DebugArgumentsAreRecognised)
{
    for (const char* on : {"debug", "/DEBUG", "-Debug", "  DEBUG\t", " /debug "})
        EXPECT_TRUE(IsDebugSwitch(on)) << on;
    for (const char* off : {"--DEBUG", "DEBUG1", "//DEBUG", "DEBU", "", "/", "DE BUG", "xDEBUG"})
        EXPECT_FALSE(IsDebugSwitch(off)) << off;
}

TEST_F(LogTest, SwitchedOffWritesNothingAndTheCommandLineSwitchesOn)
{
    SetLogEnabled(false);
    Log("nothing", TLogSender("TfMain", "fMain"), 1, 2);
    EXPECT_FALSE(LogEnabled());
    EXPECT_TRUE(FilesIn(Dir).empty());

    const char* plain[] = {"/opt/kelvo/KelvoSetup", "--DEBUG", "DEBUG1", "itp"};
    LogStartup(4, plain);
    EXPECT_FALSE(LogEnabled());
    Log("still nothing");
    EXPECT_TRUE(FilesIn(Dir).empty());

    // Any argument counts, the program path at index 0 included.
    LogStartup(std::vector<std::string>{"debug"});
    EXPECT_TRUE(LogEnabled());
    const char* later[] = {"KelvoSetup", "baudrate=9600"};
    LogStartup(2, later);  // once on, stays on
    EXPECT_TRUE(LogEnabled());
    Log("now");
    EXPECT_EQ(FilesIn(Dir), std::vector<std::string>{"20240131_0.log"});
}

TEST_F(LogTest, FileIsCreatedOnFirstLineWithTheFirstFreeCounter)
{
    std::ofstream(Dir / "20240131_0.log") << "run 0";
    std::ofstream(Dir / "20240131_1.log") << "run 1";
    EXPECT_TRUE(LogFileName().empty());
    Log("first");
    EXPECT_EQ(LogFileName(), Dir / "20240131_2.log");
    Log("second");
    EXPECT_EQ(FilesIn(Dir), (std::vector<std::string>{"20240131_0.log", "20240131_1.log", "20240131_2.log"}));
    EXPECT_EQ(ReadAll(Dir / "20240131_0.log"), "run 0");  // earlier runs untouched
    EXPECT_EQ(ReadAll(Dir / "20240131_1.log"), "run 1");
    EXPECT_EQ(LinesOf(ReadAll(Dir / "20240131_2.log")).size(), 2u);

    // The next run of the day (a fresh start of the unit) takes the next number.
    SetLogDirectory(Dir);
    Log("next run");
    EXPECT_EQ(LogFileName(), Dir / "20240131_3.log");
}

TEST_F(LogTest, MidnightContinuesInANewFileOfTheNewDate)
{
    std::ofstream(Dir / "20250101_0.log") << "";
    Clock.Time = At(2024, 12, 31, 23, 59, 59, 998);
    Log("before");
    Clock.Time = At(2025, 1, 1, 0, 0, 0, 3);
    Log("after");
    Log("after again");
    EXPECT_EQ(ReadAll(Dir / "20241231_0.log"), "23:59:59:998;before\r\n");
    EXPECT_EQ(ReadAll(Dir / "20250101_1.log"), "00:00:00:003;after\r\n00:00:00:003;after again\r\n");

    // Leap day to March within one run.
    Clock.Time = At(2024, 2, 29, 23, 0, 0, 0);
    Log("leap");
    Clock.Time = At(2024, 3, 1, 1, 0, 0, 0);
    Log("march");
    EXPECT_TRUE(fs::exists(Dir / "20240229_0.log"));
    EXPECT_EQ(LogFileName(), Dir / "20240301_0.log");

    EXPECT_EQ(LogDayNumber(1970, 1, 1), 0);
    EXPECT_EQ(LogDayNumber(2024, 3, 1) - LogDayNumber(2024, 2, 28), 2);
    EXPECT_EQ(LogDayNumber(2000, 1, 1), 10957);
}

TEST_F(LogTest, LineFormatOfTheMainThread)
{
    Log("CheckDevice (result=1)", TLogSender("TfMain", "fMain"), 0, 4);
    Log("plain");
    Log("numbers", 7, -2);
    Log("number only", TLogSender("TSearch"), 12);
    Log("semi;colon", TLogSender("TfMain", ""), 0, 0);
    // A device text cannot forge a line: control bytes are written escaped.
    Log("Assigned CI evil\r\n14:00:00:000;forged\x01", TLogSender("T\n", "c\t"), 0, 1);
    // Lines are on disk at once, while the file is still open.
    EXPECT_EQ(LinesOf(ReadAll(LogFileName())), (std::vector<std::string>{
                                                   "14:03:07:215;CheckDevice (result=1);TfMain(fMain);4",
                                                   "14:03:07:215;plain",
                                                   "14:03:07:215;numbers;7;-2",
                                                   "14:03:07:215;number only;TSearch;12",
                                                   "14:03:07:215;semi;colon;TfMain()",
                                                   "14:03:07:215;Assigned CI evil\\x0D\\x0A14:00:00:000;forged\\x01;"
                                                   "T\\x0A(c\\x09);1",
                                               }));
    Clock.Time = At(2024, 1, 31, 9, 5, 3, 7);
    EXPECT_EQ(FormatLogLine(Clock.Time, "x", nullptr, 0, 0), "09:05:03:007;x");
}

TEST_F(LogTest, WorkerThreadsAddTheirIdentityAndLinesNeverInterleave)
{
    constexpr int Threads = 4, Lines = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < Lines; ++i)
                Log("worker " + std::to_string(t), TLogSender("TReader"), i + 1, 3);
        });
    for (auto& w : workers)
        w.join();
    Log("main");

    std::vector<std::string> lines = LinesOf(ReadAll(LogFileName()));
    ASSERT_EQ(lines.size(), static_cast<size_t>(Threads * Lines + 1));
    const std::regex worker(R"(14:03:07:215;worker (\d);TReader;(\d+);3;(\d+);(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d))");
    std::set<std::string> ids;
    const std::time_t now = std::time(nullptr);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, worker)) << lines[i];
        ids.insert(m[1].str() + "/" + m[3].str());
        // The creation time is a UTC time of this run, give or take a few minutes.
        std::tm tm{};
        tm.tm_year = std::stoi(m[4]) - 1900;
        tm.tm_mon = std::stoi(m[5]) - 1;
        tm.tm_mday = std::stoi(m[6]);
        tm.tm_hour = std::stoi(m[7]);
        tm.tm_min = std::stoi(m[8]);
        tm.tm_sec = std::stoi(m[9]);
        int64_t secs = LogDayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 + tm.tm_hour * 3600 +
                       tm.tm_min * 60 + tm.tm_sec;
        EXPECT_LT(std::llabs(secs - static_cast<int64_t>(now)), 600) << lines[i];
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(Threads)) << "one identifier per thread";
    EXPECT_EQ(lines.back(), "14:03:07:215;main");
}

TEST_F(LogTest, UnwritableDirectoryDropsLinesAndRecovers)
{
    fs::path missing = Dir / "not-yet";
    SetLogDirectory(missing);
    EXPECT_NO_THROW(Log("lost"));
    EXPECT_TRUE(LogFileName().empty());
    fs::create_directories(missing);
    Log("kept");
    EXPECT_EQ(ReadAll(missing / "20240131_0.log"), "14:03:07:215;kept\r\n");

    // A clock that fails is the log's problem, not the caller's.
    class TBrokenClock : public TLogClock {
    public:
        TLogDateTime Now() override { throw std::runtime_error("no time"); }
    } broken;
    SetLogClock(&broken);
    EXPECT_NO_THROW(Log("no time"));
    SetLogClock(&Clock);
}

TEST_F(LogTest, ShutdownClosesAndSilencesTheLog)
{
    Log("before");
    fs::path file = LogFileName();
    LogShutdown();
    EXPECT_FALSE(LogEnabled());
    EXPECT_TRUE(LogFileName().empty());
    Log("after");
    SetLogEnabled(true);
    Log("after switching on");
    EXPECT_EQ(ReadAll(file), "14:03:07:215;before\r\n");
    EXPECT_EQ(FilesIn(Dir).size(), 1u);
}

TEST(LogDefaults, SystemClockAndProgramDirectory)
{
    LogResetForTests();
    fs::path dir = LogDirectory();
    EXPECT_TRUE(fs::is_directory(dir)) << dir;
    // The program file itself is in it.
    bool found = false;
    for (const auto& e : fs::directory_iterator(dir))
        found = found || e.path().filename().string().rfind("support_tests", 0) == 0;
    EXPECT_TRUE(found) << dir;

    // Real time: today's file name and a well-formed stamp.
    std::random_device rd;
    fs::path tmp = fs::temp_directory_path() / ("kelvo-log-" + std::to_string(rd()));
    fs::create_directories(tmp);
    SetLogDirectory(tmp);
    SetLogEnabled(true);
    Log("real");
    std::string name = LogFileName().filename().string();
    std::string text = ReadAll(LogFileName());
    LogResetForTests();
    fs::remove_all(tmp);
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(20\d{6}_0\.log)"))) << name;
    EXPECT_TRUE(std::regex_match(text, std::regex("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d;real\r\n"))) << text;
}

TEST_F(LogTest, HeldLinesAreWrittenAsOneBlockWhereTheyAreReleased)
{
    std::vector<std::string> first, second;
    std::thread a([&] {
        TLogHold hold;
        Log("a1");
        {
            TLogHold inner;  // ends untaken: its line joins the outer hold
            Log("a2");
        }
        first = hold.Take();
    });
    std::thread b([&] {
        TLogHold hold;
        Log("b1");
        second = hold.Take();
        Log("b2");  // ends with the hold: written then
    });
    a.join();
    b.join();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(LinesOf(ReadAll(LogFileName())).size(), 1u) << "only b2 so far";
    LogWriteLines(first);
    LogWriteLines(second);
    const std::vector<std::string> lines = LinesOf(ReadAll(LogFileName()));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 16), "14:03:07:215;b2;");
    EXPECT_EQ(lines[1].substr(0, 16), "14:03:07:215;a1;");
    EXPECT_EQ(lines[2].substr(0, 16), "14:03:07:215;a2;");
    EXPECT_EQ(lines[3].substr(0, 16), "14:03:07:215;b1;");
}
