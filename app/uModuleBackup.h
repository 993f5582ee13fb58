#pragma once
// Configuration (backup) files: the editable configuration of one module as
// JSON, written by the window's "Uložit do souboru…" and kelvoctl backup,
// read by the window's "Načíst ze souboru…" and kelvoctl restore:
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
// are written as kelvoctl shows them: short where that gives the module
// back the same value, else in as many digits as that takes, so a backup
// restored onto the module it came from changes nothing. A value the module
// held that no one could type (a range limit as the module stores it, a
// control character in a text) restores where the module holds it still,
// and is refused where it would change the module. null marks a setting the
// module does not have (a channel without gain, ...); restoring skips it.
// Model, identification, serial and the time it was made (local time)
// describe where the backup came from; loading one onto a module follows
// BackupSettingsFor below. Older backups carry no serial_number and no
// made; the serial text serves then.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "uExceptions.h"
#include "uKelvoxx.h"
#include "uModuleSettings.h"

namespace kelvo {

constexpr int kBackupVersion = 1;

// A file that is not a complete, valid backup.
class EBackupError : public Exception {
public:
    explicit EBackupError(std::string Message, std::string Detail = std::string())
        : Exception(std::move(Message)), FDetail(std::move(Detail))
    {
    }
    // What is wrong, without the file's name or the words around it ("ch2
    // is missing"), for a caller that says the rest in its own words.
    const std::string& Detail() const { return FDetail.empty() ? Message() : FDetail; }

private:
    std::string FDetail;
};

// The value of Key in Record as JSON: a number for the numeric settings,
// text for the others, null where the key does not apply; numbers as
// KeyValueText writes them.
nlohmann::ordered_json KeyValueJson(const TKelvorec& Record, const TKey& Key);

// The backup document of Record, made at Made ("2024-05-01 12:03:07").
nlohmann::ordered_json BackupJson(const TKelvorec& Record, const std::string& Made = std::string());

struct TBackup {
    std::string Model;   // ModelName of the module it came from
    std::string Serial;  // its serial text ("0042.xx.xx/0256"), empty when the file has none
    std::string Made;    // when the backup was made, empty when the file does not say
    std::vector<TAssignment> Settings;
};

// Reads a backup file's text. Anything that is not a complete, valid backup
// raises EBackupError saying what is wrong in one line: not JSON (with the
// line and column), another kind of document or version, an unknown key, a
// value of the wrong type or outside its limits.
TBackup ParseBackup(std::string_view Text);

// ParseBackup of the file File (a few kilobytes; one of more than 1 MiB is
// none): EBackupError with File in front of what is wrong, or the
// ETextFileError of a file that cannot be read.
TBackup ReadBackupFile(const std::string& File);

// --- loading a backup onto a module -----------------------------------------

// A backup of another model than the module's.
class EBackupOfAnotherModel : public EBackupError {
public:
    EBackupOfAnotherModel(std::string BackupModel, std::string ModuleModel);
    // ModelName of each; empty for a model that is not known.
    const std::string& BackupModel() const { return FBackupModel; }
    const std::string& ModuleModel() const { return FModuleModel; }

private:
    std::string FBackupModel;
    std::string FModuleModel;
};

// A setting of a backup that loading leaves alone: the backup's value and
// the module's, as kelvoctl shows them.
struct TSkipped {
    std::string Key;
    std::string Backup;
    std::string Module;
};

// Asked whether address and speed go onto Device from a backup of another
// module (or one that does not say which): AtStake are those that would
// change. True takes them. The window asks the user; kelvoctl answers with
// --force.
using TTakeCommSettings =
    std::function<bool(const TBackup& Backup, const TKelvorec& Device, const std::vector<TSkipped>& AtStake)>;

// The settings of Backup to load onto Device, the one rule for every face:
// the model must be the backup's (else EBackupOfAnotherModel); address and
// speed go only onto a KelvoRS (the others merely record them), and - since
// two modules on one bus must not share an address - only onto the module
// the backup is of (its serial number), unless Take says yes. Take is asked
// only when one of them would change; those it leaves out go to Skipped.
std::vector<TAssignment> BackupSettingsFor(const TBackup& Backup, const TKelvorec& Device,
                                           const TTakeCommSettings& Take, std::vector<TSkipped>& Skipped);

}  // namespace kelvo
