#pragma once
// kelvoctl and the device manager: channels by name (COM ports and FTDI
// USB devices), and the watch command that follows plug events.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kelvoctl_args.h"
#include "kelvoctl_commands.h"
#include "uci_FTDImanager.h"
#include "uci_ICommunicationInterface.h"

namespace kelvo::ctl {

// The quiet period (ms) after which every channel kelvoctl uses takes a
// reply as ended (--line-gap); 0 leaves the channels' own, 50 ms.
void SetLineGap(uint32_t Ms);
uint32_t LineGap();
// Gives Channel the line gap set, when one is.
void ApplyLineGap(ICommunicationInterface* Channel);

// The channel Where names: a serial port, or the FTDI device of that serial
// number. Closed.
IntfPtr<ICommunicationInterface> MakeChannel(const TPortChoice& Where);

// "COM5" or "USB:<serial>": how kelvoctl names a channel of the manager's
// list (and accepts it as an argument).
std::string ChannelName(ICommunicationInterface* Channel);
std::string ChannelName(const TPortChoice& Where);

// An interface a command works on, in the order it reports them.
struct TTarget {
    TInterfaceName Name;
    IntfPtr<ICommunicationInterface> Channel;  // closed; empty when there is none
    std::string Missing;                       // then why: "USB:FT1: no such USB device"
};

// The interfaces named in Only, in that order; with none named, every one
// the device manager lists (COM ports ascending, then the USB devices).
// Refreshes Manager on the calling thread, the main thread; the channels
// are its own and stay usable while it lives.
std::vector<TTarget> CommandTargets(TFTDIManager& Manager, std::vector<TInterfaceName> Only);

// Prints a line for every arrival and removal the device manager reports,
// until interrupted (Ctrl+C) or, when Seconds > 0, for that long. With
// Probe, an arrived channel is probed at Speeds as the window does and the
// module found on it is printed too.
void RunWatch(const TOutput& Out, bool Probe, const std::set<int32_t>& Speeds, uint32_t Seconds);

}  // namespace kelvo::ctl
