// Checks a screenshot of orb-viewer and the lines it printed:
//   viewer_screenshot_check SHOT.png LOG            the wall scene, coloured by range
//   viewer_screenshot_check --picture SHOT.png      only that the window is not blank
// For the wall scene: the centre of the 3D view (the default view's target,
// where the simulated wall stands) has the colour the range colour map gives
// the wall's distance, and frames were drawn.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <set>
#include <string>

#include "point_colours.h"
#include "viewer_options.h"

namespace {

bool fail(const std::string& why) {
    std::fprintf(stderr, "FAIL: %s\n", why.c_str());
    return false;
}

bool notBlank(const cv::Mat& img) {
    std::set<int> colours;
    for (int y = 0; y < img.rows; y += 2)
        for (int x = 0; x < img.cols; x += 2) {
            const cv::Vec3b c = img.at<cv::Vec3b>(y, x);
            colours.insert(c[0] | c[1] << 8 | c[2] << 16);
        }
    std::printf("%zu distinct colours\n", colours.size());
    return colours.size() >= 50 || fail("the window looks blank");
}

bool wallScene(const cv::Mat& img, const std::string& logPath) {
    std::ifstream log(logPath);
    std::string line;
    int x = -1, y = -1, w = 0, h = 0;
    unsigned long long published = 0, drawn = 0;
    while (std::getline(log, line)) {
        const auto at = line.find("3D view at ");
        if (at != std::string::npos) std::sscanf(line.c_str() + at, "3D view at %d,%d size %dx%d", &x, &y, &w, &h);
        std::sscanf(line.c_str(), "Stopped: %llu frames published, %llu drawn", &published, &drawn);
    }
    if (w <= 0 || h <= 0 || x + w > img.cols || y + h > img.rows) return fail("no 3D view position in " + logPath);
    std::printf("frames published %llu, drawn %llu\n", published, drawn);
    if (drawn < 3 || published < drawn) return fail("the frame counter did not advance");

    const orbviewer::Rgb8 want =
        orbviewer::mapColour(orbviewer::kWallSceneDistance, orbviewer::kDefaultRangeScaleMetres[0] * orbviewer::kDefaultUnitsPerMetre,
                             orbviewer::kDefaultRangeScaleMetres[1] * orbviewer::kDefaultUnitsPerMetre);
    int close = 0, total = 0;
    const int cx = x + w / 2, cy = y + h / 2;
    for (int py = cy - 4; py <= cy + 4; ++py)
        for (int px = cx - 4; px <= cx + 4; ++px, ++total) {
            const cv::Vec3b c = img.at<cv::Vec3b>(py, px);  // B, G, R
            if (std::abs(c[2] - want.r) <= 12 && std::abs(c[1] - want.g) <= 12 && std::abs(c[0] - want.b) <= 12) ++close;
        }
    const cv::Vec3b c = img.at<cv::Vec3b>(cy, cx);
    std::printf("centre of the 3D view: %d %d %d, range colour of the wall: %d %d %d (%d of %d pixels match)\n", c[2],
                c[1], c[0], want.r, want.g, want.b, close, total);
    return close * 2 >= total || fail("the wall does not have its range colour at the centre of the 3D view");
}

}  // namespace

int main(int argc, char** argv) {
    const bool pictureOnly = argc == 3 && std::string(argv[1]) == "--picture";
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SHOT.png LOG | --picture SHOT.png\n", argv[0]);
        return 2;
    }
    const cv::Mat img = cv::imread(pictureOnly ? argv[2] : argv[1], cv::IMREAD_COLOR);
    if (img.empty()) return fail("no screenshot") ? 0 : 1;
    const bool ok = notBlank(img) && (pictureOnly || wallScene(img, argv[2]));
    return ok ? 0 : 1;
}
