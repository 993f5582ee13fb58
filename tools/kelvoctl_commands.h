#pragma once
// The commands of kelvoctl, each run against the COM ports of the machine
// through the same session the window uses. A command prints its result
// and returns normally; a failed step raises EStepFailed (exit status 1),
// a wrong input EUsageError (exit status 2).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kelvoctl_args.h"
#include "uModuleSettings.h"

namespace kelvo::ctl {

struct TOutput {
    bool Json = false;
};

// How a command finds the module on its port: one exact speed, or a search
// over the chosen speeds in the window's order.
struct TPortChoice {
    uint16_t Port = 0;
    std::string UsbSerial;  // a USB device instead of the port
    std::optional<int32_t> Speed;
    std::set<int32_t> Speeds{9600, 115200};
    // Probes and reads to this module address instead of 254.
    std::optional<uint8_t> Address;
};

void RunPorts(const TOutput& Out);
// Only: these interfaces, in this order; empty: all the device manager
// lists. The interfaces are searched at once, at most Jobs at a time (0:
// all); the rows come in their order all the same.
void RunSearch(const TOutput& Out, const std::set<int32_t>& Speeds, std::vector<TInterfaceName> Only,
               std::optional<uint8_t> Address, size_t Jobs = 0);
void RunRead(const TOutput& Out, const TPortChoice& Where);
// Count 0: until the program is stopped.
void RunMeasure(const TOutput& Out, const TPortChoice& Where, uint32_t Count, uint32_t IntervalMs,
                const std::string& CsvFile);
void RunSet(const TOutput& Out, const TPortChoice& Where, const std::vector<std::string>& Assignments,
            const TApplyOptions& Apply = {});
void RunBackup(const TOutput& Out, const TPortChoice& Where, const std::string& File);
// DryRun: only the differences are printed. Force: address and speed are
// restored also onto a module of another serial number.
void RunRestore(const TOutput& Out, const TPortChoice& Where, const std::string& File, bool DryRun, bool Force,
                const TApplyOptions& Apply = {});

}  // namespace kelvo::ctl
