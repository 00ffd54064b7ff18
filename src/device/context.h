// The library context: the one owner of everything the process shares
// across devices and calls. It is created when the library is loaded (so the
// reception's receive area is allocated then, not on the first call) and
// destroyed when it is unloaded.
//
// Members are created in the order they are declared and destroyed in the
// reverse order. Each is declared after what it relies on: the reception
// thread reads the registry, so the reception comes after it and ends first;
// device records use the control channel, so the registry comes after it;
// every receive path feeds the recorder, so it comes first and ends last
// (a recording still running then is finished, its file complete).
#pragma once

#include "control/command.h"
#include "control/control_server.h"
#include "control/discovery.h"
#include "control/net_settings.h"
#include "device/registry.h"
#include "measure/angle_measure.h"
#include "record/recorder.h"
#include "stream/reception.h"

namespace orb {

class LibraryContext {
public:
    LibraryContext();
    LibraryContext(const LibraryContext&) = delete;
    LibraryContext& operator=(const LibraryContext&) = delete;

    record::Recorder recorder;             // the capture file of what the receive paths get
    measure::MeasureSlot measure;          // the plane-angle measurement
    DiscoveryState discovery;              // discovery message and passive results
    NetSettingsExtras netSettingsExtras;   // settings bytes kept per device for writes
    ControlServerConnection controlServer; // TCP to a device's port 6501, one call at a time
    ControlChannel control;                // UDP command socket on host port 50660
    Registry registry;                     // device records and the host IP
    // Picks the local ports of each connection setup (0 to 20); changed only
    // under the exclusive registry lock.
    int connectionCounter = 0;
    Reception reception;                   // point-cloud socket and its thread
};

// The process's context (created on first use; the library's load uses it).
LibraryContext& libraryContext();

}  // namespace orb
