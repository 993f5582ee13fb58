#include "AfPortAccess.h"

#include <windows.h>

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

std::string AfSystemErrorText(int Error)
{
    char buf[256] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(Error), 0, buf, sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "system error " + std::to_string(Error) : text;
}

}  // namespace kelvo
