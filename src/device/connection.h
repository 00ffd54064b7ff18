// Connection setup and the connection queries, for the connect path. The
// caller holds the device's operation mutex and no registry lock: both
// exchange commands with the device.
#pragma once

namespace orb {

struct DeviceRecord;

// Picks the next local ports, (re)opens the data and IMU sockets and sends
// the handshake. 0, -1 (socket or handshake failure) or -1999 (host or
// device IP invalid).
int runConnectionSetup(DeviceRecord& dev);
// Queries the inverted flag, RGB enabled and RGB rotation, caching each.
void runConnectionQueries(DeviceRecord& dev);

}  // namespace orb
