#include "uMeasureCsv.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "uModuleText.h"
#include "uTextFile.h"

namespace kelvo {

namespace fs = std::filesystem;

std::string CsvLine(const std::vector<std::string>& Cells)
{
    std::string line;
    for (size_t i = 0; i < Cells.size(); ++i) {
        if (i > 0)
            line += ',';
        const std::string& c = Cells[i];
        if (c.find_first_of(",\"\r\n") == std::string::npos && (c.empty() || (c.front() != ' ' && c.back() != ' '))) {
            line += c;
            continue;
        }
        line += '"';
        for (char ch : c) {
            if (ch == '"')
                line += '"';
            line += ch;
        }
        line += '"';
    }
    return line + "\r\n";
}

std::string IsoTimeText(std::chrono::system_clock::time_point Time)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(Time);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Time.time_since_epoch()).count() % 1000;
    std::tm local{};
#ifdef _WIN32
    std::tm utc{};
    localtime_s(&local, &t);
    gmtime_s(&utc, &t);
    // The offset of local time: the same moment read as local and as UTC.
    utc.tm_isdst = local.tm_isdst;
    const long offset = static_cast<long>(std::difftime(std::mktime(&local), std::mktime(&utc))) / 60;
#else
    // The C library tells the offset with the local time. (mktime would
    // read the time zone again on every call and is not safe while other
    // threads - one per module - take the time too.)
    localtime_r(&t, &local);
    const long offset = local.tm_gmtoff / 60;
#endif
    // Room for what the fields could hold, not only what a date holds.
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms),
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return buf;
}

std::vector<std::string> MeasureCsvChannelHeader(const std::string& Prefix)
{
    std::vector<std::string> h;
    for (int i = 1; i <= 4; ++i)
        for (const char* column : {"_text", "_value", "_state"})
            h.push_back(Prefix + "ch" + std::to_string(i) + column);
    return h;
}

std::vector<std::string> MeasureCsvHeader()
{
    std::vector<std::string> h{"time"};
    const std::vector<std::string> channels = MeasureCsvChannelHeader();
    h.insert(h.end(), channels.begin(), channels.end());
    return h;
}

std::array<TMeasuredField, 4> MeasuredFields(const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered)
{
    std::array<TMeasuredField, 4> fields;
    for (size_t i = 0; i < Values.size(); ++i) {
        const TKelvoChannelRecountedValue& v = Values[i];
        TMeasuredField& f = fields[i];
        if (!Answered) {
            f.State = "no answer";
            continue;
        }
        f.Text = ModuleTextToUtf8(TrimText(v.Text));
        if (v.Valid) {
            // The module sends a single: its shortest plain text is the
            // number it meant (0.2, not 0.200000003; 100000000, not 1e+08).
            char text[64];
            const auto end = std::to_chars(text, text + sizeof text, static_cast<float>(v.Value),
                                           std::chars_format::fixed).ptr;
            f.Value.assign(text, end);
        }
        f.State = !v.Valid ? "invalid" : v.Overrange ? "overrange" : "ok";
    }
    return fields;
}

std::vector<std::string> MeasureCsvChannelCells(const std::array<TKelvoChannelRecountedValue, 4>& Values,
                                                bool Answered)
{
    std::vector<std::string> cells;
    for (TMeasuredField& f : MeasuredFields(Values, Answered))
        cells.insert(cells.end(), {std::move(f.Text), std::move(f.Value), std::move(f.State)});
    return cells;
}

void TMeasureCsvFile::Open(const std::string& File, const std::vector<std::string>& Header)
{
    Close();
    const fs::path path = Utf8Path(File);
    const std::string header = CsvLine(Header);
    std::error_code ec;
    // Only a file with something in it has a header to match; a device or
    // a pipe gets one like a new file.
    const bool fresh = !fs::is_regular_file(path, ec) || fs::file_size(path, ec) == 0;
    if (!fresh) {
        // As much as the header needs: the file may be anything, of any size.
        std::ifstream in(path, std::ios::binary);
        std::string first(header.size(), '\0');
        in.read(first.data(), static_cast<std::streamsize>(first.size()));
        first.resize(static_cast<size_t>(in.gcount()));
        if (first != header) {
            const std::string shown = first.substr(0, std::min(first.find_first_of("\r\n"), size_t{80}));
            throw EMeasureCsvError(File + " holds other columns (" + shown +
                                   "); choose a new file or one recorded the same way");
        }
    }
    FOut.open(path, std::ios::binary | std::ios::app);
    if (!FOut)
        throw EMeasureCsvError(File + ": cannot be opened for appending (" + std::strerror(errno) + ")");
    FFile = File;
    if (fresh)
        WriteRow(Header);
}

void TMeasureCsvFile::WriteRow(const std::vector<std::string>& Cells)
{
    if (!FOut.is_open())
        return;
    FOut << CsvLine(Cells);
    FOut.flush();
    if (!FOut) {
        const std::string why = std::strerror(errno);
        FOut.close();
        throw EMeasureCsvError("writing to " + FFile + " failed (" + why + "); the file holds the rows up to here");
    }
}

void TMeasureCsvFile::WriteRow(std::chrono::system_clock::time_point Time,
                               const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered)
{
    std::vector<std::string> row{IsoTimeText(Time)};
    const std::vector<std::string> cells = MeasureCsvChannelCells(Values, Answered);
    row.insert(row.end(), cells.begin(), cells.end());
    WriteRow(row);
}

void TMeasureCsvFile::Close()
{
    if (FOut.is_open())
        FOut.close();
    FFile.clear();
}

}  // namespace kelvo
