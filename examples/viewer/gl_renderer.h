// OpenGL 3.3 core drawing of the 3D view (points and lines into an offscreen
// target that the UI shows as an image) and textures for the 2D views.
#pragma once

#include <epoxy/gl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "camera_math.h"
#include "point_colours.h"

namespace orbviewer {

class Texture {
public:
    Texture() = default;
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;
    // channels 3 (RGB) or 4 (RGBA), rows top to bottom.
    void upload(int width, int height, int channels, const std::uint8_t* pixels, bool smooth);
    GLuint id() const { return id_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    GLuint id_ = 0;
    int width_ = 0, height_ = 0;
};

class SceneRenderer {
public:
    SceneRenderer() = default;
    ~SceneRenderer();
    SceneRenderer(const SceneRenderer&) = delete;
    SceneRenderer& operator=(const SceneRenderer&) = delete;

    bool init(std::string& error);
    void setPoints(const std::vector<PointVertex>& points);
    // Line segments: vertices in pairs.
    void setLines(const std::vector<PointVertex>& lines);
    // Draws into the offscreen target, resized to width x height.
    void render(int width, int height, const Mat4& viewProjection, float pointSize, const float background[3]);
    GLuint texture() const { return colour_; }
    // Depth (0 near, 1 far) the last render left at pixel (x, y), y from the top.
    float depthAt(int x, int y);
    std::size_t pointCount() const { return pointCount_; }

private:
    struct Buffer {
        GLuint vao = 0, vbo = 0;
        std::size_t count = 0;
    };
    void makeBuffer(Buffer& b);
    void fill(Buffer& b, const std::vector<PointVertex>& v);
    void resize(int width, int height);

    GLuint program_ = 0;
    GLint mvpLoc_ = -1, sizeLoc_ = -1;
    Buffer points_, lines_;
    std::size_t pointCount_ = 0;
    GLuint fbo_ = 0, colour_ = 0, depth_ = 0;
    int width_ = 0, height_ = 0;
};

// Geometry of the overlays, in the camera's units.
void appendLine(std::vector<PointVertex>& out, const Vec3& a, const Vec3& b, Rgb8 c);
// Floor grid with one line per metre: x from 0 to `metres` ahead, y across
// +-metres/2, at height z.
void appendGrid(std::vector<PointVertex>& out, float unitsPerMetre, int metres, float z);
// One metre along x (red), y (green) and z (blue) from the sensor.
void appendAxes(std::vector<PointVertex>& out, float unitsPerMetre);
// The twelve edges of an axis-aligned box.
void appendBox(std::vector<PointVertex>& out, const Vec3& lo, const Vec3& hi, Rgb8 c);

}  // namespace orbviewer
