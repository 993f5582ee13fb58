#include "kelvoctl_batch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "kelvoctl_connect.h"
#include "kelvoctl_json.h"
#include "uModuleSettings.h"
#include "kelvoctl_parallel.h"
#include "kelvoctl_report.h"
#include "kelvoctl_save.h"
#include "kelvoctl_table.h"
#include "kelvoctl_usb.h"
#include "uMainThreadQueue.h"
#include "uMeasureCsv.h"
#include "uTextFile.h"

namespace kelvo::ctl {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// ---- set and restore -------------------------------------------------------------

// What one module of a batch save came to.
struct TBatchRow {
    bool Listed = false;  // false: an interface without a module, passed over
    bool Failed = false;
    bool Interrupted = false;
    std::string Serial;
    std::string Result;
    std::string Changes;
    ojson Json;
};

std::string ChangesText(const std::vector<TChange>& Changes)
{
    std::string text;
    for (const TChange& c : Changes)
        text += (text.empty() ? "" : ", ") + c.Key.Name() + " " + c.Old + " \u2192 " + c.New;
    return text;
}

// The settings to apply to one module, from what it holds; empty skipped
// list when nothing is left alone.
using TSettingsFor = std::function<std::vector<TAssignment>(const TKelvorec& Device, const std::string& Where,
                                                            std::vector<TSkipped>& Skipped)>;

TBatchRow SaveOne(const TTarget& T, const TBatchChoice& Where, const TSettingsFor& SettingsFor, bool DryRun,
                  const TApplyOptions& Apply)
{
    const std::string name = T.Name.Text();
    const bool named = !Where.Only.empty();
    TBatchRow row;
    row.Json = ojson{{"interface", name}};
    auto fail = [&](const std::string& Message, bool Interrupted = false) {
        row.Listed = true;
        row.Failed = true;
        row.Interrupted = Interrupted;
        row.Result = WithoutName(Message, name);
        row.Json["result"] = Interrupted ? "interrupted" : "failed";
        row.Json["error"] = Message;
    };
    if (!T.Channel) {
        if (named)
            fail(T.Missing);
        return row;
    }
    if (Interrupted()) {
        if (named)
            fail(name + ": interrupted before it was searched", true);
        row.Interrupted = true;
        return row;
    }
    try {
        TConnection c(ChoiceFor(T, Where));
        const TKelvorec& device = c.Session.ModuleRecord;
        row.Listed = true;
        row.Serial = SerialNumberText(device);
        row.Json["serial_number"] = int(device.Info.SerialNumber);
        std::vector<TSkipped> skipped;
        const std::vector<TAssignment> settings = SettingsFor(device, c.Name(), skipped);
        if (!skipped.empty()) {
            ojson list = ojson::array();
            for (const TSkipped& k : skipped)
                list.push_back(ojson{{"key", k.Key}, {"backup", k.Backup}, {"module", k.Module}});
            row.Json["skipped"] = std::move(list);
        }
        if (Interrupted()) {
            fail(name + ": interrupted before anything was written", true);
            return row;
        }
        const TSaveResult saved = ApplyAndSave(c, settings, DryRun, Apply, name + ": ");
        row.Changes = ChangesText(saved.Changes);
        row.Json["changes"] = ChangesJson(saved.Changes);
        std::string left;
        for (const TSkipped& k : skipped)
            left += (left.empty() ? "" : ", ") + k.Key;
        const std::string leftAlone = left.empty() ? "" : " (left alone: " + left + ")";
        if (saved.Stopped) {
            // What the module holds now tells which of the writes went out.
            std::string applied;
            for (const TChange& ch : saved.Changes)
                if (KeyValueText(device, ch.Key).value_or("") == ch.New)
                    applied += (applied.empty() ? "" : ", ") + ch.Key.Name();
            const auto& outcome = c.Session.LastSave();
            fail(name + ": interrupted after " + std::to_string(outcome.Sent) + " of " +
                     std::to_string(outcome.Total) + " writes; applied: " + (applied.empty() ? "none" : applied),
                 true);
        } else if (!saved.Missed.empty()) {
            fail(saved.NotTakenText());
            row.Json["not_taken"] = ChangesJson(saved.Missed);
        } else {
            row.Result = (saved.Changes.empty() ? "nothing to change"
                          : DryRun             ? "would write: " + row.Changes
                                               : "saved: " + row.Changes) +
                         leftAlone;
            row.Json["result"] = saved.Changes.empty() ? "unchanged" : DryRun ? "dry run" : "saved";
        }
    } catch (const ENoModule& e) {
        if (named)
            fail(e.Message());
    } catch (const EInterrupted& e) {
        fail(name + ": " + e.Message(), true);
    } catch (const Exception& e) {
        fail(e.Message());
    } catch (const std::exception& e) {
        fail(name + ": " + e.what());
    }
    return row;
}

void SaveAll(const TOutput& Out, const TBatchChoice& Where, const TSettingsFor& SettingsFor, bool DryRun,
             const TApplyOptions& Apply)
{
    TFTDIManager manager;
    const std::vector<TTarget> targets = CommandTargets(manager, Where.Only);
    TPortChoice speeds;
    speeds.Speeds = Where.Speeds;
    const std::string tried = TriedSpeeds(speeds);

    TTextTable table({"Interface", "Serial", "Result"});
    std::vector<size_t> widths = table.FixedWidths(0);
    for (const TTarget& t : targets)
        widths[0] = std::max(widths[0], t.Name.Text().size());
    widths[1] = 6;
    bool headed = false;

    std::vector<TBatchRow> rows(targets.size());
    ojson modules = ojson::array();
    size_t listed = 0;
    std::vector<std::string> failures;
    bool interrupted = false;
    RunInParallel(
        targets.size(), Where.Jobs,
        [&](size_t i) { rows[i] = SaveOne(targets[i], Where, SettingsFor, DryRun, Apply); },
        [&](size_t i) {
            TBatchRow& r = rows[i];
            interrupted = interrupted || r.Interrupted;
            if (!r.Listed)
                return;
            ++listed;
            if (r.Failed)
                failures.push_back(targets[i].Name.Text() + " (" + r.Result + ")");
            if (!Out.Json) {
                ClearProgress();
                if (!headed)
                    std::cout << table.RenderHeader(widths);
                headed = true;
                std::cout << table.RenderRow({targets[i].Name.Text(), r.Serial, r.Result}, widths)
                          << std::flush;
            }
            modules.push_back(std::move(r.Json));
        });

    std::string error;
    if (listed == 0)
        error = "No module found (" + std::to_string(targets.size()) + " interface(s) searched at " + tried + ")";
    else if (!failures.empty()) {
        error = std::to_string(failures.size()) + " of " + std::to_string(listed) + " modules failed: ";
        for (size_t i = 0; i < failures.size(); ++i)
            error += (i ? "; " : "") + failures[i];
    }
    if (Out.Json) {
        ojson j{{"modules", std::move(modules)}};
        if (DryRun)
            j["dry_run"] = true;
        if (interrupted) {
            j["interrupted"] = true;
            j["error"] = error.empty() ? "interrupted" : "interrupted; " + error;
        } else if (!error.empty()) {
            j["error"] = error;
        }
        PrintJson(j);
    } else if (listed > 0) {
        ClearProgress();
        std::cout << "\n" << listed << (listed == 1 ? " module" : " modules") << " on " << targets.size()
                  << " interface(s): " << (listed - failures.size()) << " done, " << failures.size() << " failed\n"
                  << std::flush;
    }
    // Ctrl+C after the last module was done has cut nothing short.
    if (interrupted)
        throw EInterrupted(error.empty() ? "interrupted" : "interrupted; " + error, Out.Json);
    if (!error.empty())
        throw EStepFailed(error, Out.Json);
}

// ---- measuring ---------------------------------------------------------------------

struct TPoll {
    std::array<TKelvoChannelRecountedValue, 4> Values{};
    bool Answered = false;
};

// One module of the log, polled by a thread of its own.
struct TMeasured {
    TTarget Target;
    std::string Name;
    // Set by its thread, read by the main thread under Lock.
    std::mutex Lock;
    bool Ready = false;      // the connection was tried
    bool Connected = false;  // and a module answered
    bool Done = false;       // the thread has ended
    bool Gone = false;       // its port disappeared
    bool NoModule = false;   // the port opened, but no module answered
    std::string Error;
    TKelvorec Record;
    std::map<uint32_t, TPoll> Polls;  // by tick
    uint32_t PollCount = 0;
    uint32_t Unanswered = 0;
};

// The clock of the ticks, shared by the threads.
struct TTicks {
    std::mutex Lock;
    std::condition_variable Wake;
    bool Started = false;
    bool Stop = false;
    Clock::time_point Begin;
    uint32_t IntervalMs = 1000;
    uint32_t Count = 0;  // 0: no end

    Clock::time_point At(uint32_t Tick) const { return Begin + std::chrono::milliseconds(uint64_t(Tick) * IntervalMs); }
};

void MeasureModule(TMeasured& M, TTicks& Ticks, const TBatchChoice& Where)
{
    std::unique_ptr<TConnection> c;
    try {
        c = std::make_unique<TConnection>(ChoiceFor(M.Target, Where));
    } catch (const Exception& e) {
        std::lock_guard<std::mutex> g(M.Lock);
        M.Error = e.Message();
        M.NoModule = dynamic_cast<const ENoModule*>(&e) != nullptr;
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> g(M.Lock);
        M.Error = M.Name + ": " + e.what();
    }
    {
        std::lock_guard<std::mutex> g(M.Lock);
        M.Ready = true;
        M.Connected = c != nullptr;
        if (c)
            M.Record = c->Session.ModuleRecord;
    }
    // The main thread waits for these flags and polls without looking every
    // few ms: a posted call tells it to look.
    TMainThreadQueue::Post(TMainThreadQueue::Nothing);
    if (c) {
        uint32_t tick = 0;
        for (;;) {
            {
                c->Watch().Idle();
                std::unique_lock<std::mutex> g(Ticks.Lock);
                Ticks.Wake.wait(g, [&] { return Ticks.Started || Ticks.Stop; });
                if (Ticks.Stop || (Ticks.Count != 0 && tick >= Ticks.Count))
                    break;
                // A poll that overran its tick gives up the ticks it missed.
                const auto now = Clock::now();
                if (now > Ticks.At(tick + 1))
                    tick = uint32_t((now - Ticks.Begin) / std::chrono::milliseconds(Ticks.IntervalMs));
                if (Ticks.Count != 0 && tick >= Ticks.Count)
                    break;
                if (Ticks.Wake.wait_until(g, Ticks.At(tick), [&] { return Ticks.Stop; }))
                    break;
            }
            c->Watch().Busy();
            if (Interrupted())
                break;
            TPoll poll;
            try {
                poll.Answered = c->Session.ReadMeasuredValues(poll.Values);
            } catch (const std::exception&) {
                poll.Answered = false;
            }
            if (Interrupted())
                break;
            if (!poll.Answered)
                for (auto& v : poll.Values)
                    v.Valid = false;
            bool gone;
            {
                std::lock_guard<std::mutex> g(M.Lock);
                M.Polls[tick] = poll;
                gone = c->Watch().PortGone();
                if (gone) {
                    M.Gone = true;
                    M.Error = M.Name + ": the port disappeared while measuring";
                }
            }
            TMainThreadQueue::Post(TMainThreadQueue::Nothing);
            if (gone)
                break;
            ++tick;
        }
    }
    c.reset();
    {
        std::lock_guard<std::mutex> g(M.Lock);
        M.Done = true;
    }
    TMainThreadQueue::Post(TMainThreadQueue::Nothing);
}

}  // namespace

TPortChoice ChoiceFor(const TTarget& T, const TBatchChoice& Where)
{
    TPortChoice c;
    c.Port = T.Name.Port;
    c.UsbSerial = T.Name.UsbSerial;
    c.Speeds = Where.Speeds;
    c.Address = Where.Address;
    return c;
}

void RunSetAll(const TOutput& Out, const TBatchChoice& Where, const std::vector<std::string>& Assignments, bool Force,
               const TApplyOptions& Apply)
{
    // Every value is checked before a port is touched.
    std::vector<TAssignment> parsed;
    for (const std::string& a : Assignments) {
        parsed.push_back(ParseAssignment(a));
        if (parsed.back().Key.IsCommSetting() && !Force)
            throw EUsageError(parsed.back().Key.Name() +
                              " is not set on several modules at once: two modules on one bus must not get the same "
                              "address (--force sets it all the same); nothing was written");
    }
    SaveAll(Out, Where,
            [&parsed](const TKelvorec&, const std::string&, std::vector<TSkipped>&) { return parsed; }, false, Apply);
}

void RunRestoreAll(const TOutput& Out, const TBatchChoice& Where, const std::string& File, bool DryRun, bool Force,
                   const TApplyOptions& Apply)
{
    // The whole file is checked before a port is touched.
    const TBackup backup = ReadBackupFile(File);
    SaveAll(Out, Where,
            [&](const TKelvorec& Device, const std::string& Name, std::vector<TSkipped>& Skipped) {
                return RestoreSettings(backup, File, Device, Name, Force, Skipped);
            },
            DryRun, Apply);
}

void RunMeasureAll(const TOutput& Out, const TBatchChoice& Where, uint32_t Count, uint32_t IntervalMs,
                   const std::string& CsvFile)
{
    if (IntervalMs < 100)
        throw EUsageError("measure --all polls at most ten times a second: give --interval 100 or more");
    RequireFolderOf(CsvFile);
    TFTDIManager manager;
    std::vector<TTarget> targets = CommandTargets(manager, Where.Only);
    const bool named = !Where.Only.empty();

    std::vector<std::unique_ptr<TMeasured>> all;
    for (TTarget& t : targets) {
        all.push_back(std::make_unique<TMeasured>());
        all.back()->Name = t.Name.Text();
        all.back()->Target = std::move(t);
    }
    TTicks ticks;
    ticks.IntervalMs = IntervalMs;
    ticks.Count = Count;
    // The workers, bounded by Jobs only while they connect would hold
    // modules back from the log: one thread per interface.
    std::vector<std::thread> threads;
    for (auto& m : all) {
        if (!m->Target.Channel) {
            m->Ready = m->Done = true;
            m->Error = m->Target.Missing;
            continue;
        }
        threads.emplace_back([&m = *m, &ticks, &Where] { MeasureModule(m, ticks, Where); });
    }
    auto stopAll = [&] {
        {
            std::lock_guard<std::mutex> g(ticks.Lock);
            ticks.Stop = true;
        }
        ticks.Wake.notify_all();
        JoinPollers(threads, all.size(), [&](size_t i) {
            std::lock_guard<std::mutex> g(all[i]->Lock);
            return all[i]->Done;
        });
    };
    auto allReady = [&] {
        for (auto& m : all) {
            std::lock_guard<std::mutex> g(m->Lock);
            if (!m->Ready)
                return false;
        }
        return true;
    };
    while (!TMainThreadQueue::DrainUntilPosted(allReady, 200) && !Interrupted()) {
    }

    // The modules that answered, in the interfaces' order; the others are
    // told (the ports named) or passed over.
    std::vector<TMeasured*> modules;
    std::vector<std::string> failures;
    for (auto& m : all) {
        std::lock_guard<std::mutex> g(m->Lock);
        if (m->Connected) {
            modules.push_back(m.get());
        } else if (m->Ready && !m->Error.empty() && (named || !m->NoModule)) {
            Note(m->Error);
            failures.push_back(m->Error);
        }
    }
    if (modules.empty() || Interrupted()) {
        stopAll();
        if (Interrupted())
            throw EInterrupted("interrupted before the first poll");
        throw EStepFailed("No module found (" + std::to_string(all.size()) + " interface(s) searched)");
    }

    std::vector<std::string> header{"time"};
    std::vector<std::string> headings{"Time"};
    for (TMeasured* m : modules) {
        const auto cols = MeasureCsvChannelHeader(m->Name + "_");
        header.insert(header.end(), cols.begin(), cols.end());
        for (int ch = 1; ch <= 4; ++ch)
            headings.push_back(m->Name + ":" + std::to_string(ch));
    }
    TMeasureCsvFile csv;
    if (!CsvFile.empty()) {
        try {
            csv.Open(CsvFile, header);
        } catch (const EMeasureCsvError& e) {
            stopAll();
            throw EStepFailed(e.Message());
        }
    }
    TTextTable table(headings);
    for (size_t col = 1; col < headings.size(); ++col)
        table.AlignRight(col);
    std::vector<size_t> widths = table.FixedWidths(kValueTextWidth);
    widths[0] = TimeText(std::chrono::system_clock::now(), false).size();
    if (!Out.Json) {
        ClearProgress();
        for (TMeasured* m : modules) {
            const std::vector<std::string> names = MeasureHeadings(m->Record);
            std::cout << m->Name << ": " << ModelName(m->Record.Model) << " " << SerialNumberText(m->Record);
            for (size_t ch = 1; ch < names.size(); ++ch)
                std::cout << (ch == 1 ? " - " : ", ") << names[ch];
            std::cout << "\n";
        }
        std::cout << "\n" << table.RenderHeader(widths) << std::flush;
    }

    const auto sysBegin = std::chrono::system_clock::now();
    {
        std::lock_guard<std::mutex> g(ticks.Lock);
        ticks.Begin = Clock::now();
        ticks.Started = true;
    }
    ticks.Wake.notify_all();

    std::string error;
    for (uint32_t tick = 0; (Count == 0 || tick < Count) && !Interrupted(); ++tick) {
        // The row of a tick waits for every module until the next tick.
        auto complete = [&] {
            if (Interrupted())
                return true;
            for (TMeasured* m : modules) {
                std::lock_guard<std::mutex> g(m->Lock);
                if (!m->Done && !m->Polls.count(tick))
                    return false;
            }
            return true;
        };
        const auto due = ticks.At(tick + 1);
        // A look every 200 ms at the most for Ctrl+C, which posts nothing.
        while (!complete() && Clock::now() < due)
            TMainThreadQueue::DrainUntilPosted(
                complete, uint32_t(std::clamp<int64_t>(
                              std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1,
                              1, 200)));
        if (Interrupted())
            break;
        const auto time = sysBegin + std::chrono::milliseconds(uint64_t(tick) * IntervalMs);
        std::vector<std::string> cells{IsoTimeText(time)};
        std::vector<std::string> row{TimeText(time, false)};
        ojson list = ojson::array();
        for (TMeasured* m : modules) {
            TPoll poll;
            bool got = false;
            {
                std::lock_guard<std::mutex> g(m->Lock);
                auto it = m->Polls.find(tick);
                if (it != m->Polls.end()) {
                    poll = it->second;
                    got = true;
                }
                m->Polls.erase(m->Polls.begin(), m->Polls.upper_bound(tick));
                ++m->PollCount;
                if (!got || !poll.Answered)
                    ++m->Unanswered;
            }
            if (!got)
                for (auto& v : poll.Values)
                    v.Valid = false;
            const auto csvCells = MeasureCsvChannelCells(poll.Values, poll.Answered);
            cells.insert(cells.end(), csvCells.begin(), csvCells.end());
            const auto shown = MeasureCells(poll.Values, poll.Answered);
            row.insert(row.end(), shown.begin(), shown.end());
            ojson j = MeasureJson(TimeText(time, true), poll.Answered, m->Record, poll.Values);
            j["port"] = m->Name;
            list.push_back(std::move(j));
        }
        if (Out.Json)
            std::cout << ojson{{"time", TimeText(time, true)}, {"modules", std::move(list)}}.dump(
                             -1, ' ', false, ojson::error_handler_t::replace)
                      << "\n";
        else
            std::cout << table.RenderRow(row, widths);
        std::cout << std::flush;
        if (csv.IsOpen()) {
            try {
                csv.WriteRow(cells);
            } catch (const EMeasureCsvError& e) {
                error = e.Message();
                break;
            }
        }
    }
    stopAll();

    for (TMeasured* m : modules) {
        Note(m->Name + ": " + std::to_string(m->PollCount) + (m->PollCount == 1 ? " poll, " : " polls, ") +
             std::to_string(m->PollCount - m->Unanswered) + " answered" + (m->Gone ? "; " + m->Error : ""));
        if (m->Gone)
            failures.push_back(m->Error);
        else if (m->Unanswered > 0)
            failures.push_back(m->Name + ": " + std::to_string(m->Unanswered) + " of " +
                               std::to_string(m->PollCount) + " polls unanswered");
    }
    if (!error.empty())
        throw EStepFailed(error);
    if (!failures.empty()) {
        std::string text;
        for (size_t i = 0; i < failures.size(); ++i)
            text += (i ? "; " : "") + failures[i];
        throw EStepFailed(text);
    }
}

}  // namespace kelvo::ctl
