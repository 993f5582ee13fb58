#pragma once
// What kelvoctl prints: the module record, the modules a search found and
// the measured values, each for people (tables) and for programs (JSON),
// and the rows of a measurement.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "uKelvoSession.h"
#include "uKelvoxx.h"

namespace kelvo::ctl {

using ojson = nlohmann::ordered_json;

// --- the module record ---------------------------------------------------------

// Identification and communication settings as label/value lines, then a
// table of the channels' configuration and one of their watching.
std::string RecordText(const TKelvorec& Record);
ojson RecordJson(const TKelvorec& Record);

// --- search --------------------------------------------------------------------

struct TFoundModule {
    uint16_t Port = 0;
    std::string Interface;   // "COM5", "USB:<serial>"; empty: COM<Port>
    int32_t Speed = 0;       // bit/s the module answered at
    uint8_t Model = 0;
    // The module as read after the probe, for its serial number; nothing
    // when that read failed (ReadError says why).
    std::optional<TKelvorec> Record;
    std::string ReadError;
};

// The serial number as the found list shows it (uKelvoSession).
using kelvo::SerialNumberText;

// Model, interface, serial number (at least four digits), speed.
std::string FoundModulesText(const std::vector<TFoundModule>& Found);
ojson FoundModulesJson(const std::vector<TFoundModule>& Found);

// The message without the interface's name in front ("COM3: ..." or
// "COM3 ..."), for a row of a table that names it already.
std::string WithoutName(const std::string& Message, const std::string& Name);

// --- measurement ----------------------------------------------------------------

// "12:03:07.215" (WithDate: "2024-05-01 12:03:07.215"), local time.
std::string TimeText(std::chrono::system_clock::time_point Time, bool WithDate);

// Column headings of a measurement: "Time", then "N name [unit]" for the
// four rows, from the record as read.
std::vector<std::string> MeasureHeadings(const TKelvorec& Record);

// What the measuring page shows for each row: "-" for a value that is not
// valid, "OVR " for an overrange, else the module's text. A poll the module
// did not answer shows kNoAnswer in every row, unlike a channel whose
// value is not valid.
constexpr const char* kNoAnswer = "no answer";
std::vector<std::string> MeasureCells(const std::array<TKelvoChannelRecountedValue, 4>& Values, bool Answered = true);

ojson MeasureJson(const std::string& Time, bool Answered, const TKelvorec& Record,
                  const std::array<TKelvoChannelRecountedValue, 4>& Values);


}  // namespace kelvo::ctl
