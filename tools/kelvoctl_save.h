#pragma once
// Changing a module's settings, shared by set and restore and by their
// batch forms: every setting checked before the first write, the one save
// of the session (only the differences, the communication settings last),
// the re-read, and what the module did not take.

#include <string>
#include <vector>

#include "kelvoctl_connect.h"
#include "kelvoctl_json.h"
#include "uModuleSettings.h"

namespace kelvo::ctl {

// What a save did.
struct TSaveResult {
    std::vector<TChange> Changes;  // what differed and was to be written
    std::vector<TChange> Missed;   // changes the module did not take
    bool Stopped = false;          // Ctrl+C ended it between two writes
    // "The module did not take every change: ch1.unit is mA, not V"; empty
    // when it took them.
    std::string NotTakenText() const;
};

// Applies Settings to the connection's working copy and, unless DryRun,
// saves them and reads the module again. A value outside its limits raises
// EUsageError before anything is sent; a failed save or re-read raises
// EStepFailed (the port gone too), a save interrupted before the re-read
// succeeded EInterrupted. A save that Ctrl+C stopped after the re-read
// returns with Stopped.
// NotePrefix begins its warnings ("COM3: " when several modules are saved).
// A value the module cannot hold is refused (EUsageError, naming the
// nearest value and --nearest), or with Options.Nearest written as the
// nearest, with a note.
TSaveResult ApplyAndSave(TConnection& C, const std::vector<TAssignment>& Settings, bool DryRun,
                         const TApplyOptions& Options, const std::string& NotePrefix = std::string());

// The settings of a backup to restore onto Device, by the rule every face
// shares (BackupSettingsFor): the model must be the backup's (else
// EUsageError); address and speed only onto a KelvoRS, and only onto the
// module the backup is of, unless Force. Those left alone go to Skipped.
std::vector<TAssignment> RestoreSettings(const TBackup& Backup, const std::string& File, const TKelvorec& Device,
                                         const std::string& Where, bool Force, std::vector<TSkipped>& Skipped);

// The backup in File, checked whole (EUsageError when it is none or cannot
// be read).
TBackup ReadBackupFile(const std::string& File);

}  // namespace kelvo::ctl
