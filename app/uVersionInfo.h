#pragma once
// The program's version for the window caption: on Windows the version
// resource of the program file, elsewhere the project version built in.

#include <optional>
#include <string>

namespace kelvo {

struct TProgramVersion {
    int Major = 0;
    int Minor = 0;
};

// The major and minor file version; empty when the program has none.
std::optional<TProgramVersion> ProgramFileVersion();

// "Kelvo setup 1.0" for version 1.0.x.y, "Kelvo setup" without a version.
std::string VersionCaption(const std::optional<TProgramVersion>& Version);

}  // namespace kelvo
