#pragma once
// The terminal kelvoctl runs in and the system's view of a port's device
// node. On Windows the command line arrives in the ANSI code page and the
// console has its own; elsewhere both are UTF-8 already. A COM port is a
// device node only on POSIX systems; on Windows the node helpers know
// nothing and say so.

#include <string>
#include <vector>

namespace kelvo::ctl {

// The program's arguments, argv[0] included, in UTF-8.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Makes the console show UTF-8 output.
void PrepareConsole();

// Whether standard error goes to a terminal.
bool StderrIsTerminal();

// The node Path leads to, links followed ("/dev/pts/4" for a link in the
// ports folder); Path itself when it leads nowhere.
std::string ResolvedNode(const std::string& Path);

// Whether Path (or what a link there points to) exists. Always true where
// a port is no file (Windows).
bool NodePresent(const std::string& Path);

// The system's text for an error number (errno; GetLastError on Windows).
std::string SystemErrorText(int Error);

// Whether A and B are the same node (a link and its target, for one).
bool SameNode(const std::string& A, const std::string& B);

// What a user who may not open Node can do about it: "add your user to the
// group dialout" when the node's group may open it, else who may. Empty
// when nothing is known.
std::string NodeAccessAdvice(const std::string& Node);

// The programs that hold Node open, e.g. "minicom (pid 1234)"; empty when
// none is found or that cannot be told.
std::string NodeHolders(const std::string& Node);

}  // namespace kelvo::ctl
