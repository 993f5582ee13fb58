#include "kelvoctl_save.h"

#include "kelvoctl_args.h"
#include "kelvoctl_text.h"
#include "uMainThreadQueue.h"
#include "uTextFile.h"

namespace kelvo::ctl {

namespace {

// Warns of an input range whose minimum is not below its maximum: the
// module takes it, but its values then run backwards or stand still.
void WarnOfRanges(const TKelvoSession& Session, const std::vector<TChange>& Changes, const std::string& Where)
{
    const TKelvorec working = Session.WorkingRecord();
    for (uint8_t ch = 1; ch <= 4; ++ch) {
        bool changed = false;
        for (const TChange& c : Changes)
            changed = changed || (c.Key.Channel == ch &&
                                  (c.Key.Field == TKeyField::RangeMin || c.Key.Field == TKeyField::RangeMax));
        if (!changed)
            continue;
        const std::string min = KeyValueText(working, {TKeyField::RangeMin, ch}).value_or("");
        const std::string max = KeyValueText(working, {TKeyField::RangeMax, ch}).value_or("");
        if (ParseDecimal(min).value_or(0) >= ParseDecimal(max).value_or(0))
            Note("warning: " + Where + "ch" + std::to_string(ch) + ".min (" + min + ") is not below ch" +
                 std::to_string(ch) + ".max (" + max + "); the module takes it, but its values will not rise with "
                 "the input");
    }
}

// The save of the session's working copy: the writes (Ctrl+C finishes the
// one in progress and sends nothing more), the re-read, and the changes the
// module did not take.
std::vector<TChange> Save(TConnection& C, const std::vector<TChange>& Changes)
{
    const TKelvorec wanted = C.Session.WorkingRecord();
    bool reread = false;
    {
        TFinishWrites finish;
        C.Session.SaveStopRequested = [&C] { return Interrupted() || C.Watch().PortGone(); };
        try {
            reread = C.Session.SaveChanges();
        } catch (const std::exception& e) {
            C.Session.SaveStopRequested = nullptr;
            C.Watch().ThrowIfEnded("while saving");
            throw EStepFailed("Saving to the module on " + C.Name() + " failed: " + e.what());
        }
        C.Session.SaveStopRequested = nullptr;
    }
    TMainThreadQueue::Drain();
    ClearProgress();
    const auto& outcome = C.Session.LastSave();
    const std::string sent = std::to_string(outcome.Sent) + " of " + std::to_string(outcome.Total) + " writes";
    if (C.Watch().PortGone())
        C.Watch().ThrowIfEnded("after " + sent);
    if (outcome.Stopped) {
        if (!reread)
            throw EInterrupted("interrupted after " + sent + "; the module could not be read again (" +
                               C.Session.LastError() + ")");
        return {};
    }
    if (!reread) {
        C.Watch().ThrowIfEnded("while reading the module after saving");
        throw EStepFailed(C.Watch().ReadFailure(C.Session.LastError()) + ", after saving");
    }
    return ChangesNotTaken(wanted, C.Session.ModuleRecord, Changes);
}

}  // namespace

std::string TSaveResult::NotTakenText() const
{
    std::string error;
    for (const TChange& m : Missed)
        error += (error.empty() ? "" : "; ") + m.Key.Name() + " is " + m.Old + ", not " + m.New;
    return error.empty() ? error : "The module did not take every change: " + error;
}

TSaveResult ApplyAndSave(TConnection& C, const std::vector<TAssignment>& Settings, bool DryRun,
                         const TApplyOptions& Options, const std::string& NotePrefix)
{
    // Refuses a value the module cannot take before anything changes.
    TSaveResult r;
    try {
        r.Changes = ApplyAssignments(C.Session, Settings, Options);
    } catch (const ENotHoldable& e) {
        throw EUsageError(NotePrefix + e.Message() + " (--nearest writes that); nothing was written");
    }
    for (const TChange& c : r.Changes)
        if (!c.Asked.empty())
            Note(NotePrefix + c.Key.Name() + ": the module cannot hold " + c.Asked + "; the nearest value it can hold, " +
                 c.New + ", is written instead");
    WarnOfRanges(C.Session, r.Changes, NotePrefix);
    if (!DryRun && !r.Changes.empty()) {
        r.Missed = Save(C, r.Changes);
        r.Stopped = C.Session.LastSave().Stopped;
    }
    return r;
}

std::vector<TAssignment> RestoreSettings(const TBackup& Backup, const std::string& File, const TKelvorec& Device,
                                         const std::string& Where, bool Force, std::vector<TSkipped>& Skipped)
{
    try {
        return BackupSettingsFor(
            Backup, Device, [Force](const TBackup&, const TKelvorec&, const std::vector<TSkipped>&) { return Force; },
            Skipped);
    } catch (const EBackupOfAnotherModel& e) {
        auto model = [](const std::string& M) { return M.empty() ? std::string("module of unknown model") : M; };
        throw EUsageError(File + " is a backup of a " + model(e.BackupModel()) + ", but the module on " + Where +
                          " is a " + model(e.ModuleModel()) + "; nothing was written");
    }
}

TBackup ReadBackupFile(const std::string& File)
{
    try {
        return kelvo::ReadBackupFile(File);
    } catch (const EBackupError& e) {
        throw EUsageError(e.Message());
    } catch (const ETextFileError& e) {
        throw EUsageError(e.Message());
    }
}

}  // namespace kelvo::ctl
