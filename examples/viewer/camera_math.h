// The 3D view's camera: an orbit around a target point, in the camera's own
// coordinates (x forward, y lateral growing to the right as the sensor sees
// it, z up), and the matrices and pixel projection that follow from it.
#pragma once

namespace orbviewer {

struct Vec3 {
    float x = 0, y = 0, z = 0;
};

// Column-major 4 x 4 matrix, as OpenGL takes it.
struct Mat4 {
    float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float at(int row, int col) const { return m[col * 4 + row]; }
};

Mat4 multiply(const Mat4& a, const Mat4& b);
Mat4 perspective(float fovYDeg, float aspect, float zNear, float zFar);

class OrbitCamera {
public:
    // unitsPerMetre: how many coordinate units make a metre, so that the
    // default pose frames a scene a few metres ahead whatever the unit.
    explicit OrbitCamera(float unitsPerMetre = 100.0f);
    void reset();

    // Mouse gestures, in pixels of a viewport viewportHeight pixels high.
    void orbit(float dxPixels, float dyPixels);
    void pan(float dxPixels, float dyPixels, float viewportHeight);
    void zoom(float wheelSteps);  // positive: closer

    Vec3 eye() const;
    Mat4 view() const;
    Mat4 projection(float aspect) const;
    Mat4 viewProjection(float aspect) const { return multiply(projection(aspect), view()); }

    Vec3 target;
    float yawDeg = 0;    // turns the eye about z; 0 looks along +x
    float pitchDeg = 0;  // positive: the eye is above the target, looking down
    float distance = 1;  // eye to target
    float fovYDeg = 45;
    float unitsPerMetre;
};

// Pixel of point p in a width x height viewport (x to the right, y down,
// origin at the top-left corner), and its depth as the depth buffer holds it
// (0 near, 1 far). False when p is not in front of the eye.
bool projectToPixel(const Mat4& viewProjection, const Vec3& p, float width, float height, float& px, float& py,
                    float* depth = nullptr);

}  // namespace orbviewer
