#include "client/client_args.h"

#include <cstdlib>
#include <sstream>

#include "client/option_table.h"

namespace orbclient {

namespace {

bool parsePort(const std::string& text, std::uint16_t& out) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (v == 0 || v > 65535) return false;
    out = static_cast<std::uint16_t>(v);
    return true;
}

bool parseInt(const std::string& text, int lo, int hi, int& out) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

using Option = OptionSpec<ClientOptions>;

const std::vector<Option>& options() {
    static const std::vector<Option> table = {
        {"--ip", "ADDRESS", "camera to use (default: discover; none found: built-in simulator)",
         [](ClientOptions& o, const std::string& v) { o.cameraIp = v; return !v.empty(); }},
        {"--host-ip", "ADDRESS", "this host's address on the camera's network (default: from discovery)",
         [](ClientOptions& o, const std::string& v) { o.hostIp = v; return !v.empty(); }},
        {"--port", "N", "host port the camera sends point clouds to (default 6001)",
         [](ClientOptions& o, const std::string& v) { return parsePort(v, o.hostPort); }},
        {"--source-port", "N", "the camera's point-cloud source port (default 6301)",
         [](ClientOptions& o, const std::string& v) { return parsePort(v, o.sourcePort); }},
        {"--seconds", "N", "stop after N seconds (default: run until Ctrl-C)",
         [](ClientOptions& o, const std::string& v) { return parseInt(v, 1, 86400, o.seconds); }},
        {"--simulator", nullptr, "skip discovery and run against the built-in simulator",
         [](ClientOptions& o, const std::string&) { return o.forceSimulator = true; }},
        {"--no-rgb", nullptr, "do not start the RGB stream",
         [](ClientOptions& o, const std::string&) { o.rgb = false; return true; }},
        {"--no-imu", nullptr, "do not start the nine-axis IMU stream",
         [](ClientOptions& o, const std::string&) { o.imu = false; return true; }},
        {"--angle", nullptr, "print the measured yaw angle of the wall ahead once per second",
         [](ClientOptions& o, const std::string&) { return o.angle = true; }},
        {"--fusion", nullptr, "colour the saved point cloud from the RGB image (RGB-D fusion)",
         [](ClientOptions& o, const std::string&) { return o.fusion = true; }},
        {"--mode", "0|1", "switch the camera to single (0) or dual (1) echo first",
         [](ClientOptions& o, const std::string& v) { return parseInt(v, 0, 1, o.deviceMode); }},
        {"--save-ply", "FILE", "save the next frame as a PLY point cloud",
         [](ClientOptions& o, const std::string& v) { o.savePly = v; return !v.empty(); }},
        {"--save-depth", "FILE", "save the next frame's depth as a colour-mapped PNG",
         [](ClientOptions& o, const std::string& v) { o.saveDepthPng = v; return !v.empty(); }},
        {"--save-intensity", "FILE", "save the next frame's intensity as a colour-mapped PNG",
         [](ClientOptions& o, const std::string& v) { o.saveIntensityPng = v; return !v.empty(); }},
        {"--save-rgb", "FILE", "save the next RGB image as PNG",
         [](ClientOptions& o, const std::string& v) { o.saveRgbPng = v; return !v.empty(); }},
        {"--record", "FILE", "record what the library receives into a pcap capture file",
         [](ClientOptions& o, const std::string& v) { o.recordPath = v; return !v.empty(); }},
        {"--replay", "FILE", "run against the built-in simulator replaying a capture (pcap or pcapng)",
         [](ClientOptions& o, const std::string& v) { o.replayPath = v; return !v.empty(); }},
        {"--help", nullptr, "show this text",
         [](ClientOptions& o, const std::string&) { return o.help = true; }},
    };
    return table;
}

}  // namespace

bool parseClientArgs(const std::vector<std::string>& args, ClientOptions& out, std::string& error) {
    ClientOptions o;
    if (!parseOptionTable(options(), args, o, error)) return false;
    if (o.fusion) o.rgb = true;
    if (!o.replayPath.empty() && !o.cameraIp.empty()) {
        error = "--replay and --ip exclude each other";
        return false;
    }
    out = o;
    return true;
}

std::string clientUsage() {
    std::ostringstream s;
    s << "usage: orb-client [options]\n\n"
         "Finds a camera (or starts the built-in simulator), connects, starts the\n"
         "point-cloud, RGB and IMU streams and prints one line of counts per second.\n\n";
    s << optionTableUsage(options(), 26);
    return s.str();
}

}  // namespace orbclient
