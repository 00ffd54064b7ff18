// What the sample client says about losses: the drops of the last second and
// a warning when the receive buffer cannot hold a second of datagrams.
#pragma once

#include <string>

#include "orb_sdk.h"

namespace orbclient {

// "" when nothing was dropped between the two readings, else
// "  dropped: N datagrams (queue full a, ...), M frames (...)".
std::string dropSummary(const ZelOrbStreamStatistics& before, const ZelOrbStreamStatistics& now);

// "" when the granted buffer (as the statistics report it) holds a second of
// datagramsPerSecond, else a warning with the command that raises the limit.
std::string receiveBufferWarning(long long granted, double datagramsPerSecond);

}  // namespace orbclient
