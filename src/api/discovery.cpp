// Finding cameras: active (broadcast) and passive (announcements).
#include "control/discovery.h"
#include "core/api_guard.h"
#include "device/context.h"
#include "orb_sdk.h"

extern "C" {

bool ZelOrbActiveFindDevice(ZelOrbFoundDevice* devices, uint16_t max_count, int32_t* count) {
    return orb::apiGuard<bool>(
        false, [&] { return orb::activeFind(orb::libraryContext().discovery, devices, max_count, count); });
}

ZelOrbNetInfo* ZelOrbPassiveFindDevice(const char* local_ip, int32_t* count) {
    orb::DiscoveryState& state = orb::libraryContext().discovery;
    return orb::apiGuard<ZelOrbNetInfo*>(state.passiveRecords(), [&] { return orb::passiveFind(state, local_ip, count); });
}

}  // extern "C"
