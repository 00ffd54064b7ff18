// Command-line options of orb-viewer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "point_colours.h"

namespace orbviewer {

enum class View { ThreeD, Depth, Intensity, Rgb, Imu, Overview };
enum class SimScene { Turned, Wall, Box };

struct ViewerOptions {
    std::string ip;                  // empty: discover, else the built-in simulator
    std::string hostIp;              // empty: from discovery
    std::uint16_t hostPort = 6001;
    std::uint16_t sourcePort = 6301;
    bool simulator = false;          // skip discovery
    SimScene scene = SimScene::Turned;
    int seconds = 0;                 // 0: until the window is closed
    std::string screenshot;          // PNG of the whole window after `seconds`
    View view = View::ThreeD;
    ColourMode colour = ColourMode::Range;
    int width = 1280, height = 800;
    bool help = false;
};

bool parseViewerArgs(const std::vector<std::string>& args, ViewerOptions& out, std::string& error);
std::string viewerUsage();

// Distance of the simulated wall in the "wall" scene, in coordinate units
// (facing the sensor squarely, on the default view's target).
constexpr float kWallSceneDistance = 300.0f;
// Display defaults: coordinate units per metre, and the range colour scale.
constexpr float kDefaultUnitsPerMetre = 100.0f;
constexpr float kDefaultRangeScaleMetres[2] = {0.0f, 10.0f};

}  // namespace orbviewer
