#pragma once
// What kelvoctl publish needs of a broker that is no network code: the
// broker's address as the user names it, and the queue of messages the
// broker has not yet taken, which keeps ticks in memory while the broker is
// away and hands them over in order once it is back.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo::ctl {

struct TBrokerSettings {
    std::string Url;  // as the user gave it, for messages
    std::string Host;
    int Port = 1883;
    bool Tls = false;
    std::string CaFile;     // empty: the system's certificate authorities
    bool Insecure = false;  // TLS without checking the certificate's host name
    std::string User;
    std::optional<std::string> Password;
    int Qos = 1;
    int KeepAliveSeconds = 10;
};

// "mqtt://HOST[:PORT]" (1883) or "mqtts://HOST[:PORT]" (8883, TLS); an IPv6
// address in brackets. Fills Url, Host, Port and Tls; raises EUsageError
// for anything else.
void ParseBrokerUrl(std::string_view Url, TBrokerSettings& Settings);

// A topic prefix: not empty, no wildcards (+, #), no empty level.
// Raises EUsageError otherwise.
void CheckTopicPrefix(std::string_view Prefix);

struct TOutMessage {
    std::string Topic;
    std::string Payload;
    bool Retain = false;
    // One tick's values: the oldest of these are dropped first when the
    // queue is full; the others (status, configuration) are few.
    bool Tick = false;
    size_t Source = 0;  // the module it is of, for counting dropped ticks
};

// The messages not yet taken by the broker, oldest first. The front ones
// are handed over (to the connection, in order); they stay until the broker
// has taken them, and are handed over again after a new connection.
class TOutQueue {
public:
    explicit TOutQueue(size_t TickLimit) : FTickLimit(TickLimit) {}

    // Adds M at the end. A retained message replaces one of its topic that
    // was not handed over yet (only a topic's last state counts). Past
    // TickLimit ticks not handed over, the oldest of them is dropped and
    // counted for its Source.
    void Push(TOutMessage M);
    // The next message to hand over, with its number; nothing when every
    // message is handed over.
    const TOutMessage* HandOver(uint64_t& Number);
    // The broker took message Number.
    void Taken(uint64_t Number);
    // The connection is gone: what it did not confirm is handed over again.
    void HandOverAgain();

    size_t Size() const { return FItems.size() - FTakenCount; }
    // Ticks dropped for Source since the last call, and all ticks dropped.
    uint64_t TakeDropped(size_t Source);
    uint64_t DroppedTotal() const { return FDroppedTotal; }

private:
    struct TItem {
        uint64_t Number = 0;
        TOutMessage Message;
        bool Taken = false;
    };
    void DropTicks();

    std::deque<TItem> FItems;
    size_t FNext = 0;  // FItems before it are handed over
    size_t FTakenCount = 0;
    size_t FTicks = 0;  // ticks in FItems, not handed over
    size_t FTickLimit;
    uint64_t FNumber = 0;
    std::map<size_t, uint64_t> FDropped;
    uint64_t FDroppedTotal = 0;
};

// The wait before the next attempt to reach the broker after Failures
// failed ones in a row: 0.5 s, doubled each time, at most 10 s.
uint32_t ReconnectDelayMs(unsigned Failures);

}  // namespace kelvo::ctl
