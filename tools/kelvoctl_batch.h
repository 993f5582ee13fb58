#pragma once
// The commands for many modules at once, for production lines and for a
// cabinet of modules on a USB hub: set and restore onto every module a
// search finds (or on the ports named), and one log of all their measured
// values. Every interface is worked on by a thread of its own, through a
// session of its own; results are reported in the interfaces' order.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kelvoctl_args.h"
#include "kelvoctl_commands.h"
#include "uModuleSettings.h"

namespace kelvo::ctl {

struct TBatchChoice {
    // These interfaces, in this order; empty: every interface the device
    // manager lists, where an interface without a module is passed over.
    std::vector<TInterfaceName> Only;
    std::set<int32_t> Speeds{9600, 115200};
    std::optional<uint8_t> Address;
    size_t Jobs = 0;  // interfaces at once; 0: all
};

struct TTarget;
// How to reach the module of one interface of a batch: its port or USB
// device, with the batch's speeds and address.
TPortChoice ChoiceFor(const TTarget& T, const TBatchChoice& Where);

// set --all: Assignments onto every module. Address and speed only with
// Force (two modules on one bus must not get the same address).
void RunSetAll(const TOutput& Out, const TBatchChoice& Where, const std::vector<std::string>& Assignments,
               bool Force, const TApplyOptions& Apply = {});
// restore --all: the backup in File onto every module of its model; address
// and speed only onto the module the backup is of, unless Force.
void RunRestoreAll(const TOutput& Out, const TBatchChoice& Where, const std::string& File, bool DryRun, bool Force,
                   const TApplyOptions& Apply = {});

// measure --all: every module polled once per IntervalMs (at least 100)
// at the same moments, one row per tick with each module's values; a
// module that has not answered by the next tick shows "no answer" in that
// tick's row. Count 0: until stopped.
void RunMeasureAll(const TOutput& Out, const TBatchChoice& Where, uint32_t Count, uint32_t IntervalMs,
                   const std::string& CsvFile);

}  // namespace kelvo::ctl
