#include "uVersionInfo.h"

namespace kelvo {

std::string VersionCaption(const std::optional<TProgramVersion>& Version)
{
    if (!Version)
        return "Kelvo setup";
    return "Kelvo setup " + std::to_string(Version->Major) + "." + std::to_string(Version->Minor);
}

}  // namespace kelvo
