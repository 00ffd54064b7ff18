// Per-frame cost of the 3D view: colour mapping of a full frame (54,000
// points), upload of the vertices and drawing them into the offscreen
// target, and the colouring of the two 2D images. Needs a display (Xvfb
// will do); run with --frames N (default 200) and --size WxH (default 900x700).
#include "gl_window.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "camera_math.h"
#include "gl_renderer.h"
#include "point_colours.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

// Processor time of the whole process (the renderer's threads too): on a
// busy machine the wall-clock time also counts waiting for a processor.
double cpuMs(std::clock_t a, std::clock_t b) { return 1000.0 * static_cast<double>(b - a) / CLOCKS_PER_SEC; }

// A wall 3 m ahead seen over 120 x 45 degrees, with a little variation per frame.
void makeFrame(std::vector<ZelOrbPointData>& f, int index) {
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; ++c) {
            const double az = (c - 179.5) / 360.0 * 120.0 * M_PI / 180.0;
            const double el = (74.5 - r) / 150.0 * 45.0 * M_PI / 180.0;
            const double range = 300.0 / (std::cos(az) * std::cos(el)) + 0.1 * ((index + r + c) % 7);
            ZelOrbPointData& p = f[static_cast<std::size_t>(r) * ZEL_ORB_FRAME_COLS + c];
            p.row = static_cast<std::uint16_t>(r);
            p.column = static_cast<std::uint16_t>(c);
            p.x = static_cast<float>(range * std::cos(el) * std::cos(az));
            p.y = static_cast<float>(range * std::cos(el) * std::sin(az));
            p.z = static_cast<float>(range * std::sin(el));
            p.distance = static_cast<float>(range);
            p.intensity = static_cast<std::uint32_t>((r + c + index) % 256);
        }
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 200, width = 900, height = 700;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--frames")) frames = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--size") && std::sscanf(argv[i + 1], "%dx%d", &width, &height) != 2) return 2;
    }
    if (!glfwInit()) {
        std::fprintf(stderr, "orb-viewer-bench: no display\n");
        return 1;
    }
    GLFWwindow* window = orbviewer::openGlWindow(64, 64, "bench", false);
    if (!window) return 1;
    std::printf("renderer: %s (%s)\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)),
                reinterpret_cast<const char*>(glGetString(GL_VERSION)));
    {
        orbviewer::SceneRenderer renderer;
        std::string error;
        if (!renderer.init(error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::vector<orbviewer::PointVertex> lines;
        orbviewer::appendGrid(lines, 100.0f, 10, -100.0f);
        orbviewer::appendAxes(lines, 100.0f);
        renderer.setLines(lines);
        orbviewer::OrbitCamera camera(100.0f);
        const float background[3] = {0.08f, 0.08f, 0.1f};
        std::vector<ZelOrbPointData> frame(ZEL_ORB_FRAME_POINTS);
        std::vector<orbviewer::PointVertex> vertices;
        std::vector<std::uint8_t> image;
        orbviewer::Texture rgbTexture;
        std::vector<std::uint8_t> rgb(1600 * 1200 * 3);
        double colourMs = 0, drawMs = 0, imagesMs = 0, rgbMs = 0, drawCpu = 0, totalCpu = 0;
        int rgbUploads = 0;
        for (int i = 0; i < frames + 5; ++i) {
            makeFrame(frame, i);
            const auto t0 = Clock::now();
            const std::clock_t c0 = std::clock();
            vertices.clear();
            orbviewer::appendVertices(frame.data(), orbviewer::ColourMode::Range, 0.0f, 1000.0f, nullptr, vertices);
            const auto t1 = Clock::now();
            const std::clock_t c1 = std::clock();
            renderer.setPoints(vertices);
            renderer.render(width, height, camera.viewProjection(static_cast<float>(width) / height), 2.0f, background);
            glFinish();
            const auto t2 = Clock::now();
            const std::clock_t c2 = std::clock();
            orbviewer::colourImage(frame.data(), orbviewer::ImageKind::Depth, image);
            orbviewer::colourImage(frame.data(), orbviewer::ImageKind::Intensity, image);
            const auto t3 = Clock::now();
            const std::clock_t c3 = std::clock();
            if (i % 2 == 0) {  // RGB images come at half the frame rate
                rgb[static_cast<std::size_t>(i) % rgb.size()] ^= 0xFF;
                rgbTexture.upload(1600, 1200, 3, rgb.data(), true);
                glFinish();
            }
            const auto t4 = Clock::now();
            if (i < 5) continue;  // warm-up
            colourMs += ms(t0, t1);
            drawMs += ms(t1, t2);
            imagesMs += ms(t2, t3);
            drawCpu += cpuMs(c1, c2);
            totalCpu += cpuMs(c0, c3);
            if (i % 2 == 0) {
                rgbMs += ms(t3, t4);
                ++rgbUploads;
            }
        }
        const double n = frames;
        std::printf("%d frames of %zu points into %dx%d:\n", frames, vertices.size(), width, height);
        std::printf("  colour mapping        %7.2f ms/frame\n", colourMs / n);
        std::printf("  upload + draw         %7.2f ms/frame (processor time %.2f ms)\n", drawMs / n, drawCpu / n);
        std::printf("  depth + intensity 2D  %7.2f ms/frame\n", imagesMs / n);
        std::printf("  RGB image upload      %7.2f ms/image (1600x1200)\n", rgbMs / std::max(1, rgbUploads));
        const double total = (colourMs + drawMs + imagesMs) / n;
        std::printf("  total per frame       %7.2f ms (3D and 2D views; at most %.0f frames/s); processor time %.2f ms\n",
                    total, 1000.0 / total, totalCpu / n);
    }
    glfwDestroyWindow(window);
    glfwTerminate();
    return 0;
}
