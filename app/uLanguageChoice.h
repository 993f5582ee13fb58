#pragma once
// The language the window showed last, so that the next start shows it
// again: one line "language=<file name>" in "kelvosetup.cfg", beside the
// program where that folder takes files, else in the user's configuration
// folder (an installed program's folder is not the user's to write).

#include <filesystem>
#include <string>
#include <vector>

namespace kelvo {

inline constexpr const char* kLanguageChoiceFile = "kelvosetup.cfg";

// The file name kept in the first of Dirs that holds the file; empty when
// none does or none names a language.
std::string LoadLanguageChoice(const std::vector<std::filesystem::path>& Dirs);

// Keeps File in the first of Dirs that takes it (created when missing);
// false when none does.
bool SaveLanguageChoice(const std::vector<std::filesystem::path>& Dirs, const std::string& File);

}  // namespace kelvo
