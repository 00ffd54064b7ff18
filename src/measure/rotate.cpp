#include "measure/rotate.h"

#include <cmath>

namespace orb {
namespace measure {

namespace {

constexpr double kPi = 3.14159265358979323846;

void cosSin(float degrees, float& c, float& s) {
    const double rad = static_cast<double>(degrees) * kPi / 180.0;
    c = static_cast<float>(std::cos(rad));
    s = static_cast<float>(std::sin(rad));
}

void multiply(const float a[3][3], const float b[3][3], float out[3][3]) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
        }
    }
}

bool isIdentity(const float r[3][3]) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            if (r[i][j] != (i == j ? 1.0f : 0.0f)) return false;
        }
    }
    return true;
}

}  // namespace

void rotationMatrix(const RotateParams& params, float r[3][3]) {
    float ca, sa, cb, sb, cc, sc;
    cosSin(params.angleX, ca, sa);
    cosSin(params.angleY, cb, sb);
    cosSin(params.angleZ, cc, sc);
    const float mx[3][3] = {{1.0f, 0.0f, 0.0f}, {0.0f, ca, sa}, {0.0f, -sa, ca}};
    const float my[3][3] = {{cb, 0.0f, sb}, {0.0f, 1.0f, 0.0f}, {-sb, 0.0f, cb}};
    const float mz[3][3] = {{cc, -sc, 0.0f}, {sc, cc, 0.0f}, {0.0f, 0.0f, 1.0f}};
    float zy[3][3];
    multiply(mz, my, zy);
    multiply(zy, mx, r);
}

void rotateFrame(ZelOrbPointData* frame, const RotateParams& params) {
    float r[3][3];
    rotationMatrix(params, r);
    const float ox = params.offsetX;
    const float oy = params.offsetY;
    const float oz = params.offsetZ;
    if (isIdentity(r)) {
        // Pure translation: adding only the non-zero offsets keeps -0 and
        // non-finite coordinates exactly as they were.
        for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
            ZelOrbPointData& p = frame[i];
            if (ox != 0.0f) p.x += ox;
            if (oy != 0.0f) p.y += oy;
            if (oz != 0.0f) p.z += oz;
        }
        return;
    }
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        ZelOrbPointData& p = frame[i];
        const float x = p.x;
        const float y = p.y;
        const float z = p.z;
        p.x = r[0][0] * x + r[0][1] * y + r[0][2] * z + ox;
        p.y = r[1][0] * x + r[1][1] * y + r[1][2] * z + oy;
        p.z = r[2][0] * x + r[2][1] * y + r[2][2] * z + oz;
    }
}

}  // namespace measure
}  // namespace orb
