#pragma once
// Texts between the module and the program.
//
// A module stores its texts (channel names, units, user data) as single
// bytes in Windows-1250, the code page of the window's Czech texts. The
// window and kelvoctl show and accept UTF-8, so texts are converted on the
// way in and out. The conversion is lossless in both directions: the five bytes
// Windows-1250 leaves undefined map to the C1 control characters of the same
// number, so a backup of any text restores the very same bytes.

#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// Module bytes (Windows-1250) as UTF-8. Never fails.
std::string ModuleTextToUtf8(std::string_view Bytes);

// UTF-8 as module bytes; nothing when the text is not valid UTF-8 or holds
// a character Windows-1250 cannot store. Where names the first offending
// character (e.g. "\"€\" cannot be stored", "not valid UTF-8").
std::optional<std::string> Utf8ToModuleText(std::string_view Utf8, std::string* Why = nullptr);

// Number of characters (code points) of a UTF-8 text, for lining up tables.
size_t Utf8Length(std::string_view Utf8);

// The text with every control character replaced by "?", for a terminal.
std::string PrintableText(std::string_view Utf8);

}  // namespace kelvo
