#pragma once
// The CSV file of a measurement, the one format the window's recording and
// "kelvoctl measure --csv" write: a header row, then one row per tick
//
//   time,ch1_text,ch1_value,ch1_state,...,ch4_state
//   2026-12-09T14:03:07.215+01:00,4.97,4.97,ok,OVR,,overrange,,,invalid,...
//
// with the time in ISO 8601 (local time and its offset) and, per channel,
// the value as the module formatted it, the decoded number (empty when
// there is none) and the state: ok, invalid, overrange or no answer. Rows
// end with CR LF; a cell that needs it is quoted. Every row is flushed, so
// the file is complete up to the last row whatever happens after it.

#include <array>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "uExceptions.h"
#include "uKelvoxx.h"

namespace kelvo {

// Raised for a file that cannot be opened, written or appended to.
class EMeasureCsvError : public Exception {
public:
    using Exception::Exception;
};

// One CSV line of Cells, ended by CR LF.
std::string CsvLine(const std::vector<std::string>& Cells);

// "2026-12-09T14:03:07.215+01:00".
std::string IsoTimeText(std::chrono::system_clock::time_point Time);

// One channel of one poll as the CSV columns and kelvoctl's published
// messages give it: the value as the module formatted it, the decoded
// number as its shortest plain text (empty when there is none) and the
// state, one of ok, invalid, overrange and no answer.
struct TMeasuredField {
    std::string Text;
    std::string Value;
    std::string State;
};
std::array<TMeasuredField, 4> MeasuredFields(const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered);

// The twelve channel columns, each name prefixed by Prefix (several modules
// in one file: "COM3_").
std::vector<std::string> MeasureCsvChannelHeader(const std::string& Prefix = std::string());
std::vector<std::string> MeasureCsvChannelCells(const std::array<TKelvoChannelRecountedValue, 4>& Values,
                                                bool Answered);
// "time" and the channel columns of one module.
std::vector<std::string> MeasureCsvHeader();

class TMeasureCsvFile {
public:
    // Appends to File (UTF-8 name), writing Header first into a new or empty
    // file. A file that starts with another header is refused, and nothing
    // is written to it.
    void Open(const std::string& File, const std::vector<std::string>& Header = MeasureCsvHeader());
    // One row, flushed. A failed write (disk full, drive gone) raises and
    // closes the file; what was written before stays.
    void WriteRow(const std::vector<std::string>& Cells);
    void WriteRow(std::chrono::system_clock::time_point Time, const std::array<TKelvoChannelRecountedValue, 4>& Values,
                  bool Answered);
    void Close();
    bool IsOpen() const { return FOut.is_open(); }
    const std::string& FileName() const { return FFile; }

private:
    std::ofstream FOut;
    std::string FFile;
};

}  // namespace kelvo
