#pragma once
// The terminal kelvoctl runs in: its arguments as UTF-8 and a console that
// shows UTF-8 (Czech channel names). On Windows the command line arrives in
// the ANSI code page and the console has its own; elsewhere both are UTF-8
// already.

#include <string>
#include <vector>

namespace kelvo::ctl {

// The program's arguments, argv[0] included, in UTF-8.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Makes the console show UTF-8 output.
void PrepareConsole();

}  // namespace kelvo::ctl
