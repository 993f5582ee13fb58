#pragma once
// The broker link's network thread waits here for its sockets, and for
// other threads that have queued something for it.

#include <vector>

namespace kelvo::ctl {

struct TSocketWatch {
    int Socket = -1;
    bool WantWrite = false;
    bool Readable = false;  // set by Wait; also on an error or a hang-up
    bool Writable = false;
};

class TSocketWait {
public:
    TSocketWait();
    ~TSocketWait();
    TSocketWait(const TSocketWait&) = delete;
    TSocketWait& operator=(const TSocketWait&) = delete;

    // Ends the current (or the next) Wait early; from any thread.
    void Wake();
    // Until one of Sockets is ready, Wake is called or TimeoutMs passes.
    void Wait(std::vector<TSocketWatch>& Sockets, int TimeoutMs);

private:
    int FPipe[2] = {-1, -1};
};

}  // namespace kelvo::ctl
