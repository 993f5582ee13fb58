#pragma once
// Who may open a port's device node and who has it open, as far as the
// system tells: what a technician has to hear when a port cannot be used
// ("join the group dialout", "minicom has it"). It only looks; nothing is
// opened or changed. Where a port is no file (Windows) nothing is known.

#include <optional>
#include <string>

namespace kelvo {

struct TAfNodeAccess {
    std::string Owner;          // the user owning the node
    std::string Group;          // its group
    bool GroupMayOpen = false;  // members of Group may read and write it (a group other than root's)
    unsigned Mode = 0;          // its permission bits
};

// The node's owner, group and mode; nothing when it cannot be looked at.
std::optional<TAfNodeAccess> AfNodeAccess(const std::string& Node);

// The other programs that have Node open, "minicom (pid 1234), screen (pid
// 99)"; empty when none is found (or none this user may see).
std::string AfNodeHolders(const std::string& Node);

// The system's words for an error number of a failed open (errno;
// GetLastError on Windows).
std::string AfSystemErrorText(int Error);

}  // namespace kelvo
