#pragma once

#include <chrono>

namespace corvanta {

// How long the client waits. Users always get the defaults; tests build the model
// with milliseconds so that they run quickly.
struct Timing
{
    std::chrono::milliseconds requestTimeout {60'000};
    std::chrono::milliseconds pollInterval {4'000};
    std::chrono::milliseconds heartbeatInterval {60'000};
    // The longest a whole request may take, however steadily its reply trickles in.
    std::chrono::milliseconds requestDeadline {120'000};
};

} // namespace corvanta
