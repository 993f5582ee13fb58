#include "AfPortAccess.h"

namespace kelvo {

// A COM port on Windows is no file with an owner, and who holds it is not
// told to a normal program.

std::optional<TAfNodeAccess> AfNodeAccess(const std::string& /*Node*/)
{
    return std::nullopt;
}

std::string AfNodeHolders(const std::string& /*Node*/)
{
    return {};
}

}  // namespace kelvo
