#include "kelvoctl_broker.h"

#include <algorithm>

#include "kelvoctl_args.h"

namespace kelvo::ctl {

void ParseBrokerUrl(std::string_view Url, TBrokerSettings& Settings)
{
    const std::string given(Url);
    auto refuse = [&](const std::string& Why) {
        throw EUsageError("--mqtt " + given + ": " + Why + " (mqtt://HOST[:PORT] or mqtts://HOST[:PORT])");
    };
    bool tls = false;
    if (Url.substr(0, 7) == "mqtt://") {
        Url.remove_prefix(7);
    } else if (Url.substr(0, 8) == "mqtts://") {
        Url.remove_prefix(8);
        tls = true;
    } else {
        refuse("not a broker address");
    }
    std::string host;
    std::string_view rest;
    if (!Url.empty() && Url.front() == '[') {
        const size_t close = Url.find(']');
        if (close == std::string_view::npos || close == 1)
            refuse("an IPv6 address needs its closing bracket");
        host = std::string(Url.substr(1, close - 1));
        rest = Url.substr(close + 1);
    } else {
        const size_t colon = Url.find(':');
        host = std::string(Url.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : Url.substr(colon);
    }
    if (host.empty() || host.find_first_of("/@?# ") != std::string::npos)
        refuse("no host name");
    int port = tls ? 8883 : 1883;
    if (!rest.empty()) {
        if (rest.front() != ':')
            refuse("unexpected text after the host");
        const auto number = ParseWhole(rest.substr(1));
        if (!number || *number < 1 || *number > 65535)
            refuse("the port is a number from 1 to 65535");
        port = static_cast<int>(*number);
    }
    Settings.Url = given;
    Settings.Host = host;
    Settings.Port = port;
    Settings.Tls = tls;
}

void CheckTopicPrefix(std::string_view Prefix)
{
    if (Prefix.empty() || Prefix.find_first_of("+#") != std::string_view::npos ||
        Prefix.front() == '/' || Prefix.back() == '/' || Prefix.find("//") != std::string_view::npos)
        throw EUsageError("--topic-prefix " + std::string(Prefix) +
                          ": a topic prefix has no wildcards (+, #) and no empty level, e.g. kelvo or plant/hall3");
}

void TOutQueue::Push(TOutMessage M)
{
    if (M.Retain) {
        for (size_t i = FNext; i < FItems.size(); ++i)
            if (!FItems[i].Taken && FItems[i].Message.Retain && FItems[i].Message.Topic == M.Topic) {
                if (FItems[i].Message.Tick)
                    --FTicks;
                FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
    }
    if (M.Tick)
        ++FTicks;
    FItems.push_back(TItem{++FNumber, std::move(M), false});
    DropTicks();
}

void TOutQueue::DropTicks()
{
    for (size_t i = FNext; FTicks > FTickLimit && i < FItems.size();) {
        if (!FItems[i].Message.Tick) {
            ++i;
            continue;
        }
        ++FDropped[FItems[i].Message.Source];
        ++FDroppedTotal;
        --FTicks;
        FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

const TOutMessage* TOutQueue::HandOver(uint64_t& Number)
{
    while (FNext < FItems.size() && FItems[FNext].Taken)
        ++FNext;
    if (FNext >= FItems.size())
        return nullptr;
    Number = FItems[FNext].Number;
    if (FItems[FNext].Message.Tick)
        --FTicks;
    return &FItems[FNext++].Message;
}

void TOutQueue::Taken(uint64_t Number)
{
    // Numbers grow along the queue.
    const auto it = std::lower_bound(FItems.begin(), FItems.end(), Number,
                                     [](const TItem& I, uint64_t N) { return I.Number < N; });
    if (it == FItems.end() || it->Number != Number || it->Taken)
        return;
    it->Taken = true;
    ++FTakenCount;
    while (!FItems.empty() && FItems.front().Taken) {
        FItems.pop_front();
        --FTakenCount;
        if (FNext > 0)
            --FNext;
    }
}

void TOutQueue::HandOverAgain()
{
    FItems.erase(std::remove_if(FItems.begin(), FItems.end(), [](const TItem& I) { return I.Taken; }),
                 FItems.end());
    FTakenCount = 0;
    FNext = 0;
    FTicks = size_t(std::count_if(FItems.begin(), FItems.end(), [](const TItem& I) { return I.Message.Tick; }));
    DropTicks();
}

uint64_t TOutQueue::TakeDropped(size_t Source)
{
    const auto it = FDropped.find(Source);
    if (it == FDropped.end())
        return 0;
    const uint64_t n = it->second;
    FDropped.erase(it);
    return n;
}

uint32_t ReconnectDelayMs(unsigned Failures)
{
    uint32_t ms = 500;
    for (unsigned i = 1; i < Failures && ms < 10000; ++i)
        ms *= 2;
    return std::min<uint32_t>(ms, 10000);
}

}  // namespace kelvo::ctl
