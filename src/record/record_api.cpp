// The exported recording calls.
#include "core/api_guard.h"
#include "orb_sdk.h"
#include "record/recorder.h"

extern "C" {

ORB_API int32_t ZelOrbStartRecording(const char* path) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&] { return orb::record::Recorder::process().start(path); });
}

ORB_API int32_t ZelOrbStopRecording(void) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [] { return orb::record::Recorder::process().stop(); });
}

}  // extern "C"
