#pragma once
// Messages that the lower layers would show in a message box (unknown item
// codes, driver errors) go through one replaceable sink. The window installs
// a sink that shows a dialog; tests install one that records; the default
// writes the text to standard error. Nothing below the window ever blocks
// on a dialog of its own.

#include <functional>
#include <string>

namespace kelvo {

using TMessageSink = std::function<void(const std::string& text)>;

// Installs Sink (an empty one restores the default) and returns the sink
// that was installed before, so that a caller can put it back.
TMessageSink SetMessageSink(TMessageSink Sink);

// Hands Text to the current sink. Exceptions of the sink are swallowed: a
// message must never break the work that reported it.
void ShowMessage(const std::string& Text);

// Installs a sink for the lifetime of the object and restores the previous
// one afterwards (tests, the command-line tool).
class TScopedMessageSink {
public:
    explicit TScopedMessageSink(TMessageSink Sink) : FPrevious(SetMessageSink(std::move(Sink))) {}
    ~TScopedMessageSink() { SetMessageSink(std::move(FPrevious)); }
    TScopedMessageSink(const TScopedMessageSink&) = delete;
    TScopedMessageSink& operator=(const TScopedMessageSink&) = delete;

private:
    TMessageSink FPrevious;
};

}  // namespace kelvo
