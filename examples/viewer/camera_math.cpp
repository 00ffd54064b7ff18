#include "camera_math.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace orbviewer {

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kDegPerPixel = 0.3f;
constexpr float kZoomPerStep = 0.9f;

float rad(float deg) { return deg * kPi / 180.0f; }

float dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// The eye's axes in data coordinates: forward (towards the target), right and up.
struct Axes {
    Vec3 forward, right, up;
};

Axes axesOf(float yawDeg, float pitchDeg) {
    const float cy = std::cos(rad(yawDeg)), sy = std::sin(rad(yawDeg));
    const float cp = std::cos(rad(pitchDeg)), sp = std::sin(rad(pitchDeg));
    // y grows to the right of the forward axis, so at yaw 0 "right" is +y.
    return {{cp * cy, cp * sy, -sp}, {-sy, cy, 0.0f}, {sp * cy, sp * sy, cp}};
}

}  // namespace

Mat4 multiply(const Mat4& a, const Mat4& b) {
    Mat4 r;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) {
            float s = 0;
            for (int k = 0; k < 4; ++k) s += a.at(row, k) * b.at(k, col);
            r.m[col * 4 + row] = s;
        }
    return r;
}

Mat4 perspective(float fovYDeg, float aspect, float zNear, float zFar) {
    const float f = 1.0f / std::tan(rad(fovYDeg) / 2.0f);
    Mat4 p;
    std::fill(std::begin(p.m), std::end(p.m), 0.0f);
    p.m[0] = f / aspect;
    p.m[5] = f;
    p.m[10] = (zFar + zNear) / (zNear - zFar);
    p.m[11] = -1.0f;
    p.m[14] = 2.0f * zFar * zNear / (zNear - zFar);
    return p;
}

OrbitCamera::OrbitCamera(float unitsPerMetre_) : unitsPerMetre(unitsPerMetre_) { reset(); }

void OrbitCamera::reset() {
    // From behind and above the sensor, turned a little, looking at a point
    // three metres ahead.
    target = {3.0f * unitsPerMetre, 0.0f, 0.0f};
    yawDeg = 25.0f;
    pitchDeg = 20.0f;
    distance = 9.0f * unitsPerMetre;
    fovYDeg = 45.0f;
}

void OrbitCamera::orbit(float dxPixels, float dyPixels) {
    yawDeg = std::fmod(yawDeg - dxPixels * kDegPerPixel, 360.0f);
    pitchDeg = std::clamp(pitchDeg + dyPixels * kDegPerPixel, -89.0f, 89.0f);
}

void OrbitCamera::pan(float dxPixels, float dyPixels, float viewportHeight) {
    if (viewportHeight <= 0) return;
    // Units per pixel in the target's plane: the point under the mouse follows it.
    const float s = 2.0f * distance * std::tan(rad(fovYDeg) / 2.0f) / viewportHeight;
    const Axes a = axesOf(yawDeg, pitchDeg);
    target.x += (-a.right.x * dxPixels + a.up.x * dyPixels) * s;
    target.y += (-a.right.y * dxPixels + a.up.y * dyPixels) * s;
    target.z += (-a.right.z * dxPixels + a.up.z * dyPixels) * s;
}

void OrbitCamera::zoom(float wheelSteps) {
    distance = std::clamp(distance * std::pow(kZoomPerStep, wheelSteps), 0.1f * unitsPerMetre, 500.0f * unitsPerMetre);
}

Vec3 OrbitCamera::eye() const {
    const Vec3 f = axesOf(yawDeg, pitchDeg).forward;
    return {target.x - distance * f.x, target.y - distance * f.y, target.z - distance * f.z};
}

Mat4 OrbitCamera::view() const {
    const Axes a = axesOf(yawDeg, pitchDeg);
    const Vec3 e = eye();
    const Vec3 rows[3] = {a.right, a.up, {-a.forward.x, -a.forward.y, -a.forward.z}};
    Mat4 v;
    for (int r = 0; r < 3; ++r) {
        v.m[0 * 4 + r] = rows[r].x;
        v.m[1 * 4 + r] = rows[r].y;
        v.m[2 * 4 + r] = rows[r].z;
        v.m[3 * 4 + r] = -dot(rows[r], e);
    }
    return v;
}

Mat4 OrbitCamera::projection(float aspect) const {
    const float zNear = std::max(distance * 0.01f, 0.01f * unitsPerMetre);
    return perspective(fovYDeg, aspect, zNear, distance * 4.0f + 100.0f * unitsPerMetre);
}

bool projectToPixel(const Mat4& vp, const Vec3& p, float width, float height, float& px, float& py, float* depth) {
    float c[4];
    for (int r = 0; r < 4; ++r) c[r] = vp.at(r, 0) * p.x + vp.at(r, 1) * p.y + vp.at(r, 2) * p.z + vp.at(r, 3);
    if (c[3] <= 1e-6f) return false;
    px = (c[0] / c[3] + 1.0f) * 0.5f * width;
    py = (1.0f - c[1] / c[3]) * 0.5f * height;
    if (depth) *depth = (c[2] / c[3] + 1.0f) * 0.5f;
    return true;
}

}  // namespace orbviewer
