#include "uVersionInfo.h"

namespace kelvo {

std::optional<TProgramVersion> ProgramFileVersion()
{
    // No version resources here: the project version is compiled in.
    return TProgramVersion{KELVO_VERSION_MAJOR, KELVO_VERSION_MINOR};
}

}  // namespace kelvo
