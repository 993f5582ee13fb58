#pragma once
// kelvoctl's link to an MQTT broker, on libmosquitto. Everything is
// published through one connection, in the order it was queued, by a
// network thread of the link's own; while the broker cannot be reached the
// messages wait in a bounded queue (TOutQueue) and the link tries again
// with a growing pause.
//
// A connection has one last will only, and every module's status topic
// needs one (so that all of a dead PC's modules read "offline", not only
// one of them): each status topic is held by a small connection of its own
// that publishes nothing and carries that topic's will. Whenever such a
// connection is made anew (after its will may have fired), the topic's
// last status is published again.
//
// In builds without libmosquitto (Windows) the link cannot be made: its
// constructor raises EStepFailed saying so.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvoctl_broker.h"

namespace kelvo::ctl {

class TBrokerLink {
public:
    // Starts connecting at once. TickLimit: ticks kept while the broker is
    // away (TOutQueue).
    TBrokerLink(const TBrokerSettings& Settings, size_t TickLimit);
    // Without Close, the connections end without a word, and the broker
    // publishes the wills, as when the process dies.
    ~TBrokerLink();
    TBrokerLink(const TBrokerLink&) = delete;
    TBrokerLink& operator=(const TBrokerLink&) = delete;

    // Queues M; never waits for the broker. The last retained message of
    // each topic is kept and published again on every new connection (a
    // broker restarted without its store has forgotten them).
    void Publish(TOutMessage M);
    // Holds a last will for Topic: the broker sets it to Payload (retained)
    // when this process is gone without saying so. Once per topic.
    void HoldWill(const std::string& Topic, const std::string& Payload);

    // Why the broker refused us for good (credentials, certificate);
    // empty while it has not. Nothing is sent after that.
    std::string Refused() const;
    // Lines for stderr since the last call: connection lost, back, ticks
    // dropped.
    std::vector<std::string> TakeNotes();
    // Ticks of Source dropped since the last call (TOutQueue).
    uint64_t TakeDropped(size_t Source);

    // Waits until the broker has taken every queued message, or until
    // Deadline, then ends every connection properly (no will is published).
    // Returns the number of messages left untaken.
    size_t Close(std::chrono::steady_clock::time_point Deadline);

    struct TState;

private:
    std::unique_ptr<TState> FState;
};

}  // namespace kelvo::ctl
