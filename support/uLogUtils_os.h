#pragma once
// The operating-system side of the diagnostic log, one implementation per
// system (uLogUtils_posix.cpp, uLogUtils_win32.cpp). Internal to the log.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "uLogUtils.h"

namespace kelvo::logos {

// The directory of the running program file; empty when it cannot be found
// (files then go to the current directory).
std::filesystem::path ProgramDirectory();

// The user's own folder for the program's logs, for a program whose own
// folder takes no files (an installed one): $XDG_STATE_HOME/kelvosetup
// (~/.local/state/kelvosetup) or %LOCALAPPDATA%\KelvoSetup; empty when
// there is none.
std::filesystem::path UserLogDirectory();

// The system's local date and time of day.
TLogDateTime LocalNow();

// The system's identifier of the calling thread.
uint64_t CurrentThreadId();

// The calling thread's creation time in UTC as "yyyy-mm-dd hh:nn:ss";
// nothing when the thread's times cannot be read, "" when they cannot be
// converted.
std::optional<std::string> CurrentThreadCreationUtc();

// An open log file.
using TFileHandle = intptr_t;
inline constexpr TFileHandle NoFile = -1;

enum class TCreateResult { Created, Exists, Failed };

// Creates Name exclusively (an existing file is never opened or truncated).
TCreateResult CreateNewFile(const std::filesystem::path& Name, TFileHandle& File);

// Writes Data with one write call and flushes it to the disk.
bool WriteAndFlush(TFileHandle File, std::string_view Data);

void CloseFile(TFileHandle File);

}  // namespace kelvo::logos
