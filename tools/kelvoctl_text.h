#pragma once
// kelvoctl's names for the texts between the module and the terminal.

#include "uModuleText.h"

namespace kelvo::ctl {

using kelvo::ModuleTextToUtf8;
using kelvo::PrintableText;
using kelvo::Utf8Length;
using kelvo::Utf8ToModuleText;

}  // namespace kelvo::ctl
