#pragma once
// kelvoctl's JSON beside the backup format (uModuleBackup): the changes a
// save made.

#include <vector>

#include <nlohmann/json.hpp>

#include "uModuleBackup.h"
#include "uModuleSettings.h"

namespace kelvo::ctl {

// Changes as a list of {"key", "old", "new"}.
nlohmann::ordered_json ChangesJson(const std::vector<TChange>& Changes);

}  // namespace kelvo::ctl
