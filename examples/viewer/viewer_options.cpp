#include "viewer_options.h"

#include <cstdlib>
#include <sstream>

#include "client/option_table.h"

namespace orbviewer {

namespace {

bool number(const std::string& text, long lo, long hi, long& out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::strtol(text.c_str(), nullptr, 10);
    return out >= lo && out <= hi;
}

template <class T>
bool choose(const std::string& text, std::initializer_list<std::pair<const char*, T>> names, T& out) {
    for (const auto& n : names)
        if (text == n.first) {
            out = n.second;
            return true;
        }
    return false;
}

using Option = orbclient::OptionSpec<ViewerOptions>;

bool port(const std::string& v, std::uint16_t& out) {
    long n = 0;
    if (!number(v, 1, 65535, n)) return false;
    out = static_cast<std::uint16_t>(n);
    return true;
}

const std::vector<Option>& options() {
    static const std::vector<Option> table = {
        {"--ip", "ADDRESS", "camera to connect to (default: discover; none found: built-in simulator)",
         [](ViewerOptions& o, const std::string& v) { return !(o.ip = v).empty(); }},
        {"--host-ip", "ADDRESS", "this host's address on the camera's network (default: from discovery)",
         [](ViewerOptions& o, const std::string& v) { return !(o.hostIp = v).empty(); }},
        {"--port", "N", "host port the camera sends point clouds to (default 6001)",
         [](ViewerOptions& o, const std::string& v) { return port(v, o.hostPort); }},
        {"--source-port", "N", "the camera's point-cloud source port (default 6301)",
         [](ViewerOptions& o, const std::string& v) { return port(v, o.sourcePort); }},
        {"--simulator", nullptr, "skip discovery and view the built-in simulator",
         [](ViewerOptions& o, const std::string&) { return o.simulator = true; }},
        {"--scene", "turned|wall|box",
         "the simulator's scene: a wall 2.5 m ahead turned by 20 degrees, a wall 3 m ahead, or a box before a wall",
         [](ViewerOptions& o, const std::string& v) {
             return choose(v, {{"turned", SimScene::Turned}, {"wall", SimScene::Wall}, {"box", SimScene::Box}}, o.scene);
         }},
        {"--seconds", "N", "close after N seconds",
         [](ViewerOptions& o, const std::string& v) {
             long n = 0;
             return number(v, 1, 86400, n) && ((o.seconds = static_cast<int>(n)), true);
         }},
        {"--screenshot", "FILE.png", "save the whole window as PNG when closing (with --seconds; waits up to 10 s more for a first frame)",
         [](ViewerOptions& o, const std::string& v) { return !(o.screenshot = v).empty(); }},
        {"--view", "3d|depth|intensity|rgb|imu|overview", "the view shown first",
         [](ViewerOptions& o, const std::string& v) {
             return choose(v,
                           {{"3d", View::ThreeD}, {"depth", View::Depth}, {"intensity", View::Intensity},
                            {"rgb", View::Rgb}, {"imu", View::Imu}, {"overview", View::Overview}},
                           o.view);
         }},
        {"--color", "range|intensity|height|rgb", "colour of the 3D points",
         [](ViewerOptions& o, const std::string& v) {
             return choose(v,
                           {{"range", ColourMode::Range}, {"intensity", ColourMode::Intensity},
                            {"height", ColourMode::Height}, {"rgb", ColourMode::Rgb}},
                           o.colour);
         }},
        {"--size", "WxH", "window size in pixels (default 1280x800)",
         [](ViewerOptions& o, const std::string& v) {
             const auto x = v.find('x');
             long w = 0, h = 0;
             if (x == std::string::npos || !number(v.substr(0, x), 640, 8192, w) || !number(v.substr(x + 1), 480, 8192, h))
                 return false;
             o.width = static_cast<int>(w);
             o.height = static_cast<int>(h);
             return true;
         }},
        {"--help", nullptr, "show this text", [](ViewerOptions& o, const std::string&) { return o.help = true; }},
    };
    return table;
}

}  // namespace

bool parseViewerArgs(const std::vector<std::string>& args, ViewerOptions& out, std::string& error) {
    ViewerOptions o;
    if (!orbclient::parseOptionTable(options(), args, o, error)) return false;
    if (!o.screenshot.empty() && o.seconds == 0) {
        error = "--screenshot needs --seconds";
        return false;
    }
    out = o;
    return true;
}

std::string viewerUsage() {
    std::ostringstream s;
    s << "usage: orb-viewer [options]\n\n"
         "Live view of a camera's point cloud, images and IMU, with its settings.\n"
         "Without --ip it searches the network and, when no camera answers, views\n"
         "the built-in simulator.\n\n";
    s << orbclient::optionTableUsage(options(), 30);
    return s.str();
}

}  // namespace orbviewer
