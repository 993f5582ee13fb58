#include "uMessageSink.h"

#include <cstdio>
#include <mutex>

namespace kelvo {

namespace {
std::mutex& SinkMutex()
{
    static std::mutex m;
    return m;
}
TMessageSink& CurrentSink()
{
    static TMessageSink sink;
    return sink;
}
}  // namespace

TMessageSink SetMessageSink(TMessageSink Sink)
{
    std::lock_guard<std::mutex> guard(SinkMutex());
    TMessageSink previous = std::move(CurrentSink());
    CurrentSink() = std::move(Sink);
    return previous;
}

void ShowMessage(const std::string& Text)
{
    TMessageSink sink;
    {
        std::lock_guard<std::mutex> guard(SinkMutex());
        sink = CurrentSink();
    }
    try {
        if (sink)
            sink(Text);
        else
            std::fprintf(stderr, "%s\n", Text.c_str());
    } catch (...) {
    }
}

}  // namespace kelvo
