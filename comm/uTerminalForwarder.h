#pragma once
// Hands one traced message to the Verdel terminal window, when one runs.
// The payload is a direction byte (1 sent, 2 received) followed by the data.
// Windows: the window of class "TfMainVerdelTerm" gets it by WM_COPYDATA.
// POSIX: one datagram to the local socket of that name in the user's runtime
// directory (tools/ has a listener that shows the traffic).

#include <string>

#include "uByteString.h"

namespace kelvo {

inline constexpr const char* TerminalWindowClass = "TfMainVerdelTerm";

// Sends Payload to the terminal; nothing happens when no one listens. Never
// raises and never waits for the listener longer than the delivery itself.
void ForwardToTerminal(const RawByteString& Payload);

// Where the POSIX listener binds and the forwarder sends ("" on Windows):
// $XDG_RUNTIME_DIR/TfMainVerdelTerm, or /tmp/TfMainVerdelTerm-<uid> when the
// runtime directory is not set.
std::string TerminalSocketPath();

}  // namespace kelvo
