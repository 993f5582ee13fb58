#pragma once
// Backup files: the editable configuration of one module as JSON.
//
//   {
//     "kelvoctl": "backup", "version": 1,
//     "model": "KelvoUSB", "identification": "KelvoUSB 4AI v1.07",
//     "serial": "0042.xx.xx/0256",
//     "settings": {
//       "address": 1, "speed": 9600, "userdata": "Hala 3, rozvadec",
//       "ch1": { "name": "Tlak", "unit": "bar", "min": 0, "max": 10, "decimals": 2,
//                "gain": null, "sensor": "on", "watch": "on",
//                "upper": 8, "lower": 1, "hyst": 0.2 },
//       ...
//     }
//   }
//
// The settings use the keys of "kelvoctl set" and the same limits. Numbers
// are written in their shortest form that reads back as the same value, so
// a backup restored onto the module it came from changes nothing. null
// marks a setting the module does not have (a channel without gain, ...);
// restoring skips it. Model, identification and serial describe where the
// backup came from; only the model is checked on restore.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "kelvoctl_keys.h"
#include "uKelvoxx.h"

namespace kelvo::ctl {

constexpr int kBackupVersion = 1;

// The value of Key in Record as JSON: a number for the numeric settings,
// text for the others, null where the key does not apply.
nlohmann::ordered_json KeyValueJson(const TKelvorec& Record, const TKey& Key);

// The backup document of Record.
nlohmann::ordered_json BackupJson(const TKelvorec& Record);

struct TBackup {
    std::string Model;  // ModelName of the module it came from
    std::vector<TAssignment> Settings;
};

// Reads a backup file's text. Anything that is not a complete, valid backup
// raises EUsageError saying what is wrong: not JSON, another kind of
// document or version, an unknown key, a value of the wrong type or outside
// its limits.
TBackup ParseBackup(std::string_view Text);

}  // namespace kelvo::ctl
