// Recording what the library receives into a capture file.
#include "core/api_guard.h"
#include "device/context.h"
#include "orb_sdk.h"

extern "C" {

ORB_API int32_t ZelOrbStartRecording(const char* path) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&] { return orb::libraryContext().recorder.start(path); });
}

ORB_API int32_t ZelOrbStopRecording(void) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [] { return orb::libraryContext().recorder.stop(); });
}

}  // extern "C"
