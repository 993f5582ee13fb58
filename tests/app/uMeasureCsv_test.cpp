// The measurement CSV file: its cells, its header check and a failing disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <random>
#include "uMeasureCsv.h"

using namespace kelvo;
namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& P)
{
    std::ifstream in(P, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(MeasureCsv, CellsTellTextNumberAndState)
{
    std::array<TKelvoChannelRecountedValue, 4> v{};
    v[0] = {1, false, true, 0, 0.2f, "      0.20"};
    v[1] = {2, true, true, 0, 99999999.0f, "  99999999"};
    v[2] = {3, false, false, 0, 0, "      ----"};
    v[3] = {4, false, true, 0, -12.5f, "    -12.50"};
    EXPECT_EQ(MeasureCsvChannelCells(v, true),
              (std::vector<std::string>{"0.20", "0.2", "ok", "99999999", "100000000", "overrange", "----", "",
                                        "invalid", "-12.50", "-12.5", "ok"}));
    const std::vector<std::string> none = MeasureCsvChannelCells(v, false);
    EXPECT_EQ(none[2], "no answer");
    EXPECT_EQ(none[0], "");
    EXPECT_EQ(CsvLine({"a", "b c", "", "x,y", "say \"hi\"", " lead"}),
              "a,b c,,\"x,y\",\"say \"\"hi\"\"\",\" lead\"\r\n");
    EXPECT_EQ(MeasureCsvHeader().size(), 13u);
    // 2026-12-09T14:03:07.215+01:00
    const std::string t = IsoTimeText(std::chrono::system_clock::now());
    ASSERT_EQ(t.size(), 29u) << t;
    EXPECT_EQ(t[10], 'T');
    EXPECT_TRUE(t[23] == '+' || t[23] == '-') << t;
}

TEST(MeasureCsv, AppendsBehindItsOwnHeaderAndRefusesAnotherFile)
{
    const fs::path dir = fs::temp_directory_path() / ("kelvo-csv-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
    const fs::path file = dir / "values.csv";
    std::array<TKelvoChannelRecountedValue, 4> v{};
    for (int run = 0; run < 2; ++run) {
        TMeasureCsvFile csv;
        csv.Open(file.string());
        csv.WriteRow(std::chrono::system_clock::now(), v, false);
    }
    const std::string text = Read(file);
    EXPECT_EQ(text.rfind(CsvLine(MeasureCsvHeader()), 0), 0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);  // one header, two rows

    const fs::path other = dir / "other.csv";
    std::ofstream(other, std::ios::binary) << "Time,1 Tlak\r\n1,2\r\n";
    TMeasureCsvFile csv;
    EXPECT_THROW(csv.Open(other.string()), EMeasureCsvError);
    EXPECT_EQ(Read(other), "Time,1 Tlak\r\n1,2\r\n");
    EXPECT_FALSE(csv.IsOpen());
    csv.Close();
    fs::remove_all(dir);
}

#ifdef __linux__
TEST(MeasureCsv, AFullDiskEndsTheRecordingWithAMessage)
{
    // A device without room: the very header cannot be written. (The file
    // reads as endless zeros, so the header check must not read it whole.)
    TMeasureCsvFile csv;
    try {
        csv.Open("/dev/full");
        ADD_FAILURE() << "no error";
    } catch (const EMeasureCsvError& e) {
        EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(csv.IsOpen());
}
#endif
