#pragma once
// kelvoctl publish: the measured values and the health of modules, sent to
// an MQTT broker for as long as it runs, so that a plant watches them from
// one place. The modules are polled as measure --all polls them, one
// thread each; publish only reads them, it never writes to one.
//
//   <prefix>/<serial number>/values   one JSON document per tick
//   <prefix>/<serial number>/status   online, no answer, vanished, offline (retained)
//   <prefix>/<serial number>/config   the configuration as a backup file holds it (retained)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kelvo::ctl {

struct TPublishArgs {
    std::string Broker;
    std::string Prefix = "kelvo";
    bool All = false;
    std::vector<std::string> Ports;      // given as PORT
    std::vector<std::string> MorePorts;  // given with --port
    std::string Speeds;
    int Address = -1;
    uint32_t IntervalMs = 1000;
    uint32_t Count = 0;  // ticks; 0: until stopped
    int Qos = 1;
    size_t Queue = 0;  // ticks per module while the broker is away; 0: an hour's
    std::string User;
    std::string PasswordFile;
    std::string PasswordGiven;  // refused: a password on the command line shows in the process list
    std::string CaFile;
    bool Insecure = false;
};

// The command "publish" and its options, bound to Args.
CLI::App* AddPublishCommand(CLI::App& App, TPublishArgs& Args);

// Runs until Count ticks are published (then 0), until Ctrl+C or SIGTERM
// (EInterrupted, after "offline" and the queue flushed for up to 2 s), or
// until the broker refuses us (EStepFailed with its reason).
void RunPublish(const TPublishArgs& Args);

}  // namespace kelvo::ctl
