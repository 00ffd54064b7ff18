// Plane angle measurement and point-cloud rotation: frames the application
// passes in, linked to no device.
#include "core/api_guard.h"
#include "device/context.h"
#include "measure/angle_measure.h"
#include "measure/rotate.h"
#include "orb_sdk.h"

extern "C" {

int32_t ZelOrbEnableAngleMeasure(bool enable, const AngleMeasureParams* params) {
    return orb::apiGuard<int32_t>(
        0, [&] { return orb::measure::enableAngleMeasure(orb::libraryContext().measure, enable, params); });
}

AngleResult ZelOrbGetPlaneAngle(const ZelOrbPointData* frame, float* angle) {
    using namespace orb::measure;
    return orb::apiGuard<AngleResult>(AngleResult{kCodeData, kTextInternalError},
                                      [&] { return measurePlaneAngle(orb::libraryContext().measure, frame, angle); });
}

int32_t ZelOrbGetRotatePointcloudData(ZelOrbPointData* frame, const RotateParams* params) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        // Refused without touching anything; a valid call always returns 0.
        if (frame == nullptr || params == nullptr) return RC_GENERAL_ERROR;
        orb::measure::rotateFrame(frame, *params);
        return 0;
    });
}

}  // extern "C"
