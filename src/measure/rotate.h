// Rigid transform of a frame's points: three rotations, then a translation.
#pragma once

#include "orb_sdk.h"

namespace orb {
namespace measure {

// R = Mz * My * Mx in float, from angles in degrees.
void rotationMatrix(const RotateParams& params, float r[3][3]);

// Transforms every point of a 150 x 360 frame in place.
void rotateFrame(ZelOrbPointData* frame, const RotateParams& params);

}  // namespace measure
}  // namespace orb
