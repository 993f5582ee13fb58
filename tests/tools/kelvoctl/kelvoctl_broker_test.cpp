// What publish needs of a broker besides the network: the broker's address,
// the topic prefix, and the queue that keeps ticks while the broker is away.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelvoctl_args.h"
#include "kelvoctl_broker.h"

using namespace kelvo::ctl;

TEST(BrokerAddress, IsMqttOrMqttsWithAHostAndAnOptionalPort)
{
    struct TCase {
        const char* Url;
        const char* Host;
        int Port;
        bool Tls;
    };
    for (const TCase& c : {TCase{"mqtt://broker.local", "broker.local", 1883, false},
                           TCase{"mqtts://broker.local", "broker.local", 8883, true},
                           TCase{"mqtt://127.0.0.1:18830", "127.0.0.1", 18830, false},
                           TCase{"mqtts://[::1]:8884", "::1", 8884, true}}) {
        TBrokerSettings s;
        ParseBrokerUrl(c.Url, s);
        EXPECT_EQ(s.Host, c.Host) << c.Url;
        EXPECT_EQ(s.Port, c.Port) << c.Url;
        EXPECT_EQ(s.Tls, c.Tls) << c.Url;
        EXPECT_EQ(s.Url, c.Url);
    }
    for (const char* bad : {"broker.local", "http://broker", "mqtt://", "mqtt://:1883", "mqtt://h:0", "mqtt://h:65536",
                            "mqtt://h:x", "mqtt://h:", "mqtt://[::1", "mqtt://user@h", "mqtt://h/path"}) {
        TBrokerSettings s;
        EXPECT_THROW(ParseBrokerUrl(bad, s), EUsageError) << bad;
    }
}

TEST(BrokerAddress, ATopicPrefixHasNoWildcardAndNoEmptyLevel)
{
    for (const char* good : {"kelvo", "plant/hall3"})
        EXPECT_NO_THROW(CheckTopicPrefix(good)) << good;
    for (const char* bad : {"", "plant/+", "#", "/kelvo", "kelvo/", "plant//hall3"})
        EXPECT_THROW(CheckTopicPrefix(bad), EUsageError) << bad;
}

namespace {

TOutMessage Tick(size_t Source, const std::string& Payload)
{
    return TOutMessage{"kelvo/" + std::to_string(Source) + "/values", Payload, false, true, Source};
}

TOutMessage Status(size_t Source, const std::string& Payload)
{
    return TOutMessage{"kelvo/" + std::to_string(Source) + "/status", Payload, true, false, Source};
}

// Hands over everything left, and returns the payloads.
std::vector<std::string> HandOverAll(TOutQueue& Q, std::vector<uint64_t>* Numbers = nullptr)
{
    std::vector<std::string> out;
    uint64_t n = 0;
    while (const TOutMessage* m = Q.HandOver(n)) {
        out.push_back(m->Payload);
        if (Numbers)
            Numbers->push_back(n);
    }
    return out;
}

}  // namespace

TEST(OutQueue, AFullQueueDropsTheOldestTicksOnlyAndCountsThemPerModule)
{
    TOutQueue q(3);
    q.Push(Status(1, "online"));
    for (const char* t : {"a1", "a2"})
        q.Push(Tick(1, t));
    q.Push(Tick(2, "b1"));
    q.Push(Tick(1, "a3"));
    q.Push(Tick(2, "b2"));
    EXPECT_EQ(HandOverAll(q), (std::vector<std::string>{"online", "b1", "a3", "b2"}));
    EXPECT_EQ(q.TakeDropped(1), 2u);
    EXPECT_EQ(q.TakeDropped(1), 0u);
    EXPECT_EQ(q.TakeDropped(2), 0u);
    EXPECT_EQ(q.DroppedTotal(), 2u);

    // What the connection holds is not dropped, nor counted, while it is
    // on its way; after a lost connection it is again the oldest.
    for (const char* t : {"a4", "a5", "a6"})
        q.Push(Tick(1, t));
    EXPECT_EQ(q.DroppedTotal(), 2u);
    q.HandOverAgain();
    EXPECT_EQ(HandOverAll(q), (std::vector<std::string>{"online", "a4", "a5", "a6"}));
    EXPECT_EQ(q.TakeDropped(2), 2u);
    EXPECT_EQ(q.TakeDropped(1), 1u);
}

TEST(OutQueue, ARetainedMessageReplacesItsTopicsUnsentOneAtTheEnd)
{
    TOutQueue q(10);
    q.Push(Status(1, "online"));
    uint64_t n = 0;
    ASSERT_NE(q.HandOver(n), nullptr);  // on its way: stays
    q.Push(Status(1, "no answer"));
    q.Push(Tick(1, "t1"));
    q.Push(Status(2, "online"));
    q.Push(Status(1, "online; 3 ticks dropped"));
    EXPECT_EQ(HandOverAll(q), (std::vector<std::string>{"t1", "online", "online; 3 ticks dropped"}));
}

TEST(OutQueue, AfterALostConnectionWhatWasNotTakenGoesAgainInOrder)
{
    TOutQueue q(10);
    for (const char* t : {"t1", "t2", "t3", "t4"})
        q.Push(Tick(1, t));
    std::vector<uint64_t> numbers;
    ASSERT_EQ(HandOverAll(q, &numbers).size(), 4u);
    q.Taken(numbers[0]);
    q.Taken(numbers[2]);  // confirmed out of order
    q.Taken(numbers[2]);
    EXPECT_EQ(q.Size(), 2u);
    q.HandOverAgain();
    q.Push(Tick(1, "t5"));
    numbers.clear();
    EXPECT_EQ(HandOverAll(q, &numbers), (std::vector<std::string>{"t2", "t4", "t5"}));
    for (uint64_t number : numbers)
        q.Taken(number);
    EXPECT_EQ(q.Size(), 0u);
    EXPECT_EQ(HandOverAll(q).size(), 0u);
}

TEST(OutQueue, TheBrokerIsTriedAgainAfterAGrowingPauseOfAtMostTenSeconds)
{
    const std::vector<uint32_t> expected{500, 500, 1000, 2000, 4000, 8000, 10000, 10000};
    for (unsigned failures = 0; failures < expected.size(); ++failures)
        EXPECT_EQ(ReconnectDelayMs(failures), expected[failures]) << failures;
    EXPECT_EQ(ReconnectDelayMs(1000), 10000u);
}
