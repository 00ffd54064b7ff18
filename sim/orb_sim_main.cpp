// orb-sim: runs virtual cameras on loopback addresses until Ctrl-C or
// --seconds, printing one status line per second.
//
// Options live in one table; a component adds its option with one line
// (a generic option only keeps its value in SimConfig::values, read by the
// component's setup hook in attachComponents()).
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"
#include "replay.h"
#include "scene_walls.h"
#include "command_responder.h"

namespace {

using orbsim::Camera;
using orbsim::Fault;

struct FaultSpec {
    bool all = false;
    std::uint16_t command = 0;
    Fault fault;
};

struct SimConfig {
    std::string ip = "127.0.0.2";
    int count = 1;
    double seconds = 0;  // 0: until interrupted
    bool bindAny = false;
    int successStatus = 0;
    bool quiet = false;
    std::vector<FaultSpec> faults;
    std::string scene = "box";
    double wallDistance = 300.0;
    double wallYaw = 0.0;
    double noise = 0.0;
    orbsim::CameraOptions camera = orbsim::CameraOptions::full("127.0.0.2");  // address set per camera
    std::set<std::string> disabled;             // components switched off
    std::map<std::string, std::string> values;  // options owned by components
    orbsim::ReplayOptions replay;               // used when replay.path is set
};

bool parseInt(const std::string& s, long long lo, long long hi, long long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (*end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseOctets(const std::string& ip, unsigned (&o)[4]) {
    std::uint32_t a;
    if (!orb::net::parseIPv4(ip.c_str(), a)) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(&a);  // network order: first octet first
    for (int i = 0; i < 4; ++i) o[i] = b[i];
    return true;
}

// "CODE|all:item,item" with items silent, split, status=N, delay=MS,
// truncate=N, wrong=CODE, reply=CODE, stray=IP, times=N.
bool parseFault(const std::string& text, FaultSpec& out) {
    auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string target = text.substr(0, colon);
    long long v = 0;
    if (target == "all") {
        out.all = true;
    } else if (parseInt(target, 0, 0xFFFF, v)) {
        out.command = static_cast<std::uint16_t>(v);
    } else {
        return false;
    }
    std::size_t pos = colon + 1;
    while (pos <= text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string val = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        Fault& f = out.fault;
        if (key == "silent") f.silent = true;
        else if (key == "split") f.splitChain = true;
        else if (key == "status" && parseInt(val, 0, 255, v)) f.status = static_cast<std::uint8_t>(v);
        else if (key == "delay" && parseInt(val, 0, 60000, v)) f.delayMs = static_cast<int>(v);
        else if (key == "truncate" && parseInt(val, 0, 65535, v)) f.truncatePayload = static_cast<std::size_t>(v);
        else if (key == "wrong" && parseInt(val, 0, 0xFFFF, v)) f.wrongCommandFirst = static_cast<std::uint16_t>(v);
        else if (key == "reply" && parseInt(val, 0, 0xFFFF, v)) f.replyCommand = static_cast<std::uint16_t>(v);
        else if (key == "times" && parseInt(val, 1, 1000000, v)) f.remaining = static_cast<int>(v);
        else if (key == "stray" && !val.empty()) f.strayFromIp = val;
        else return false;
    }
    return true;
}

bool setDouble(const std::string& s, double lo, double hi, double& out) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

bool setChoice(const std::string& s, std::initializer_list<int> allowed, std::uint8_t& out) {
    long long v;
    if (!parseInt(s, 0, 255, v)) return false;
    for (int a : allowed)
        if (a == v) {
            out = static_cast<std::uint8_t>(v);
            return true;
        }
    return false;
}

struct OptionDef {
    const char* name;
    const char* arg;  // null: a flag without value
    const char* help;
    std::function<bool(SimConfig&, const std::string&)> apply;
};

// For options whose value a component reads from SimConfig::values.
[[maybe_unused]] std::function<bool(SimConfig&, const std::string&)> keep(const char* key) {
    return [key](SimConfig& c, const std::string& v) {
        c.values[key] = v;
        return true;
    };
}

const std::vector<OptionDef>& optionTable() {
    static const std::vector<OptionDef> table = {
        {"--ip", "ADDR", "address of the first camera (default 127.0.0.2)",
         [](SimConfig& c, const std::string& v) {
             unsigned o[4];
             c.ip = v;
             return parseOctets(v, o);
         }},
        {"--count", "N", "number of cameras on consecutive addresses (default 1)",
         [](SimConfig& c, const std::string& v) {
             long long n;
             if (!parseInt(v, 1, 250, n)) return false;
             c.count = static_cast<int>(n);
             return true;
         }},
        {"--seconds", "N", "stop after N seconds (default: run until Ctrl-C)",
         [](SimConfig& c, const std::string& v) {
             char* end = nullptr;
             c.seconds = std::strtod(v.c_str(), &end);
             return *end == '\0' && c.seconds > 0;
         }},
        {"--bind-any", nullptr, "command channel on 0.0.0.0:50660 (one camera per network namespace)",
         [](SimConfig& c, const std::string&) {
             c.bindAny = true;
             return true;
         }},
        {"--reply-status", "N", "status byte of successful replies (default 0; 1 and 2 also mean success)",
         [](SimConfig& c, const std::string& v) {
             long long n;
             if (!parseInt(v, 0, 255, n)) return false;
             c.successStatus = static_cast<int>(n);
             return true;
         }},
        {"--fault", "CODE:SPEC",
         "inject a fault for a command code (or 'all'); SPEC is a comma list of silent, split, status=N, "
         "delay=MS, truncate=N, wrong=CODE, reply=CODE, stray=IP, times=N; repeatable",
         [](SimConfig& c, const std::string& v) {
             FaultSpec f;
             if (!parseFault(v, f)) return false;
             c.faults.push_back(f);
             return true;
         }},
        {"--scene", "NAME",
         "point-cloud scene: box (default; wall at 400, box at 200..260), wall, corner, ramp, approach "
         "(an object coming closer), flicker (a steady wall with flickering pixels)",
         [](SimConfig& c, const std::string& v) {
             c.scene = v;
             return v == "box" || v == "wall" || v == "corner" || v == "ramp" || v == "approach" || v == "flicker";
         }},
        {"--wall-distance", "D", "distance of the wall and corner scenes (default 300)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 10, 6000, c.wallDistance); }},
        {"--yaw", "DEG", "yaw of the wall and corner scenes in degrees (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, -80, 80, c.wallYaw); }},
        {"--noise", "SIGMA", "Gaussian range noise added to the scene (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 1000, c.noise); }},
        {"--loss", "P", "probability that a point-cloud packet is lost (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 1, c.camera.pointCloud->faults.loss); }},
        {"--reorder", "P", "probability that a packet is swapped with the next (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 1, c.camera.pointCloud->faults.reorder); }},
        {"--duplicate", "P", "probability that a packet is sent twice (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 1, c.camera.pointCloud->faults.duplicate); }},
        {"--truncate", "P", "probability that a packet is cut short (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 1, c.camera.pointCloud->faults.truncate); }},
        {"--bad-magic", "P", "probability that a packet's magic is corrupted (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 1, c.camera.pointCloud->faults.badMagic); }},
        {"--fps", "N", "point-cloud frames per second (default 20)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0.1, 1000, c.camera.pointCloud->frameRate); }},
        {"--data-type", "N", "point-cloud data type in single-echo mode: 1, 12, 13 or 14 (default 1)",
         [](SimConfig& c, const std::string& v) {
             return setChoice(v, {1, 12, 13, 14}, c.camera.pointCloud->dataType);
         }},
        {"--point-format", "N", "record size of data type 1: 4, 8, 10 or 22 (default 10)",
         [](SimConfig& c, const std::string& v) {
             return setChoice(v, {4, 8, 10, 22}, c.camera.pointCloud->pointFormat);
         }},
        {"--host-ip", "ADDR", "destination of unicast point-cloud packets (default 127.0.0.1)",
         [](SimConfig& c, const std::string& v) {
             unsigned o[4];
             c.camera.pointCloud->hostIp = v;
             c.replay.hostIp = v;
             return parseOctets(v, o);
         }},
        {"--host-port", "N", "host port of the point-cloud packets (default 6001; replay: the recorded port)",
         [](SimConfig& c, const std::string& v) {
             long long n;
             if (!parseInt(v, 1, 65535, n)) return false;
             c.camera.pointCloud->hostPort = static_cast<std::uint16_t>(n);
             c.replay.hostPort = static_cast<std::uint16_t>(n);
             return true;
         }},
        {"--multicast", nullptr, "send point-cloud packets to 224.0.0.200 instead of the host",
         [](SimConfig& c, const std::string&) {
             c.camera.pointCloud->multicast = true;
             return true;
         }},
        {"--six-axis-rate", "N", "six-axis IMU packets per second in the point-cloud stream (default 0)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 10000, c.camera.pointCloud->sixAxisRate); }},
        {"--imu-rate", "N", "nine-axis IMU samples per second (default 200)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 10000, *c.camera.imuRateHz); }},
        {"--rgb-format", "FMT", "RGB image format: jpeg (default) or nv12",
         [](SimConfig& c, const std::string& v) {
             c.camera.rgb->format = v == "nv12" ? orbsim::kRgbNv12 : orbsim::kRgbJpeg;
             return v == "jpeg" || v == "nv12";
         }},
        {"--rgb-rate", "N", "RGB images per second (default 10)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0, 100, c.camera.rgb->rateHz); }},
        {"--announce-ms", "MS", "interval of the multicast announcements (default 1000)",
         [](SimConfig& c, const std::string& v) {
             long long n;
             if (!parseInt(v, 10, 3600000, n)) return false;
             c.camera.announcer->intervalMs = static_cast<int>(n);
             return true;
         }},
        {"--no-stream", nullptr, "no point-cloud stream",
         [](SimConfig& c, const std::string&) { return c.disabled.insert("stream"), true; }},
        {"--no-imu", nullptr, "no nine-axis IMU stream",
         [](SimConfig& c, const std::string&) { return c.disabled.insert("imu"), true; }},
        {"--no-rgb", nullptr, "no RGB stream",
         [](SimConfig& c, const std::string&) { return c.disabled.insert("rgb"), true; }},
        {"--no-control-server", nullptr, "no TCP control server on port 6501",
         [](SimConfig& c, const std::string&) { return c.disabled.insert("control"), true; }},
        {"--no-announce", nullptr, "no multicast announcements",
         [](SimConfig& c, const std::string&) { return c.disabled.insert("announce"), true; }},
        {"--replay", "FILE",
         "replay a capture (pcap or pcapng) instead of rendering scenes: its cameras answer commands on "
         "loopback addresses and send the recorded datagrams once the library connects",
         [](SimConfig& c, const std::string& v) { return c.replay.path = v, !v.empty(); }},
        {"--speed", "X", "replay: play the recorded timing X times as fast (default 1)",
         [](SimConfig& c, const std::string& v) { return setDouble(v, 0.001, 1000, c.replay.speed); }},
        {"--max-rate", nullptr, "replay: send as fast as possible",
         [](SimConfig& c, const std::string&) { return c.replay.maxRate = true; }},
        {"--loop", nullptr, "replay: start over at the end of the capture",
         [](SimConfig& c, const std::string&) { return c.replay.loop = true; }},
        {"--camera", "ADDR=LOOPBACK",
         "replay: the recorded camera ADDR is replayed from LOOPBACK (repeatable; default: every camera found, "
         "on 127.0.0.2 and up unless it was recorded on loopback)",
         [](SimConfig& c, const std::string& v) {
             const auto eq = v.find('=');
             if (eq == std::string::npos) return false;
             unsigned a[4], b[4];
             c.replay.cameras[v.substr(0, eq)] = v.substr(eq + 1);
             return parseOctets(v.substr(0, eq), a) && parseOctets(v.substr(eq + 1), b) && b[0] == 127;
         }},
        {"--start-now", nullptr, "replay: send at once instead of waiting for the library to connect",
         [](SimConfig& c, const std::string&) {
             c.replay.waitForConnection = false;
             return true;
         }},
        {"--quiet", nullptr, "no status lines",
         [](SimConfig& c, const std::string&) {
             c.quiet = true;
             return true;
         }},
    };
    return table;
}

// The options of one camera: the configured components minus the disabled ones.
orbsim::CameraOptions cameraOptions(const SimConfig& c, const std::string& ip) {
    orbsim::CameraOptions o = c.camera;
    o.deviceIp = ip;
    o.bindAny = c.bindAny;
    if (c.disabled.count("stream")) o.pointCloud.reset();
    if (c.disabled.count("imu")) o.imuRateHz.reset();
    if (c.disabled.count("rgb")) o.rgb.reset();
    if (c.disabled.count("control")) o.controlServer.reset();
    if (c.disabled.count("announce")) o.announcer.reset();
    if (c.scene == "wall") {
        o.scene = orbsim::makeWallScene(c.wallDistance, c.wallYaw);
    } else if (c.scene == "corner") {
        orbsim::CornerSpec spec;
        spec.distance = c.wallDistance;
        spec.yawDeg = c.wallYaw;
        o.scene = orbsim::makeCornerScene(spec);
    } else if (c.scene == "ramp") {
        o.scene = orbsim::makeRampScene(-50.0, 300.0, 0.2);
    } else if (c.scene == "approach") {
        o.scene = orbsim::makeApproachingObjectScene(c.wallDistance, 120.0, c.wallDistance - 20.0, 2.0);
    } else if (c.scene == "flicker") {
        o.scene = orbsim::withFlicker(orbsim::makeWallScene(c.wallDistance, c.wallYaw), 0.02, 20.0,
                                      c.wallDistance);
    } else {
        o.scene = orbsim::makeBoxScene(400.0, orbsim::BoxSpec{});
    }
    if (c.noise > 0) o.scene = orbsim::withRangeNoise(o.scene, c.noise);
    return o;
}

// Further components, configured from SimConfig::values, are attached here.
bool attachComponents(Camera& /*camera*/, const SimConfig& /*config*/, std::string* /*error*/) { return true; }

void printHelp() {
    std::printf("Usage: orb-sim [options]\n"
                "Runs virtual LiDAR cameras on loopback addresses until Ctrl-C.\n"
                "Each camera answers command frames on its address, UDP port 50660.\n\nOptions:\n");
    for (const auto& o : optionTable()) {
        std::string head = std::string(o.name) + (o.arg ? std::string(" ") + o.arg : std::string());
        std::printf("  %-20s %s\n", head.c_str(), o.help);
    }
    std::printf("  %-20s %s\n", "--help", "this text");
}

// The camera's log of what it sent: UDP datagrams per destination port.
void printSentByPort(const orbsim::Camera& camera) {
    std::string line = "orb-sim: " + camera.deviceIp() + " sent UDP datagrams by destination port:";
    for (const auto& [port, count] : camera.store()->sentByPort())
        line += " " + std::to_string(port) + "=" + std::to_string(count);
    std::printf("%s\n", line.c_str());
}

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void onSignal(int) { gInterrupted = 1; }

int runReplay(const SimConfig& config) {
    orbsim::Replay replay(config.replay);
    std::string err;
    if (!replay.load(&err)) {
        std::fprintf(stderr, "orb-sim: %s\n", err.c_str());
        return 1;
    }
    std::printf("orb-sim: %s", replay.summary().text(config.replay.path).c_str());
    if (!replay.start(&err)) {
        std::fprintf(stderr, "orb-sim: replay: %s\n", err.c_str());
        return 1;
    }
    if (config.replay.waitForConnection) std::printf("orb-sim: waiting for the library to connect\n");
    std::fflush(stdout);
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    auto nextStatus = begin + std::chrono::seconds(1);
    int tick = 0;
    auto line = [&](const char* head) {
        const auto c = replay.counts();
        std::printf(
            "orb-sim %s: %llu point-cloud, %llu IMU, %llu RGB datagrams sent, %llu not sent, %llu passes, %.3f s\n",
            head, static_cast<unsigned long long>(c.pointCloud), static_cast<unsigned long long>(c.imu),
            static_cast<unsigned long long>(c.rgb), static_cast<unsigned long long>(c.unsent),
            static_cast<unsigned long long>(c.passes), c.seconds);
        std::fflush(stdout);
    };
    while (!gInterrupted && !replay.finished()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto now = Clock::now();
        if (config.seconds > 0 && now - begin >= std::chrono::duration<double>(config.seconds)) break;
        if (now < nextStatus) continue;
        nextStatus += std::chrono::seconds(1);
        if (!config.quiet) line((std::to_string(++tick) + "s").c_str());
    }
    const bool done = replay.finished();
    replay.stop();
    line(done ? "replay done" : "replay stopped");
    for (const auto& c : replay.cameras()) printSentByPort(*c);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig config;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            printHelp();
            return 0;
        }
        const OptionDef* def = nullptr;
        for (const auto& o : optionTable())
            if (a == o.name) def = &o;
        if (!def) {
            std::fprintf(stderr, "orb-sim: unknown option %s (try --help)\n", a.c_str());
            return 2;
        }
        std::string value;
        if (def->arg) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orb-sim: %s needs %s\n", def->name, def->arg);
                return 2;
            }
            value = argv[++i];
        }
        if (!def->apply(config, value)) {
            std::fprintf(stderr, "orb-sim: bad value for %s: %s\n", def->name, value.c_str());
            return 2;
        }
    }

    unsigned o[4];
    if (!parseOctets(config.ip, o) || o[3] + static_cast<unsigned>(config.count) - 1 > 255) {
        std::fprintf(stderr, "orb-sim: %d addresses from %s do not fit\n", config.count, config.ip.c_str());
        return 2;
    }
    if (config.bindAny && config.count > 1) {
        std::fprintf(stderr, "orb-sim: --bind-any runs one camera only\n");
        return 2;
    }
    if (!orb::net::startup()) {
        std::fprintf(stderr, "orb-sim: socket start-up failed\n");
        return 1;
    }
    if (!config.replay.path.empty()) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        const int rc = runReplay(config);
        orb::net::cleanup();
        return rc;
    }

    std::vector<std::unique_ptr<Camera>> cameras;
    for (int k = 0; k < config.count; ++k) {
        const orbsim::CameraOptions co =
            cameraOptions(config, std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) +
                                      "." + std::to_string(o[3] + static_cast<unsigned>(k)));
        auto cam = std::make_unique<Camera>(co);
        cam->responder().setSuccessStatus(static_cast<std::uint8_t>(config.successStatus));
        for (const auto& f : config.faults) {
            if (f.all)
                cam->responder().setFaultAll(f.fault);
            else
                cam->responder().setFault(f.command, f.fault);
        }
        std::string err;
        if (!attachComponents(*cam, config, &err) || !cam->start(&err)) {
            std::fprintf(stderr, "orb-sim: camera %s: %s\n", co.deviceIp.c_str(), err.c_str());
            cameras.clear();
            orb::net::cleanup();
            return 1;
        }
        std::string parts;
        for (const auto& n : cam->componentNames()) parts += ", " + n;
        std::printf("orb-sim: camera %s: commands on UDP %s:%u%s\n", co.deviceIp.c_str(),
                    config.bindAny ? "0.0.0.0" : co.deviceIp.c_str(), orbsim::kCommandPort, parts.c_str());
        cameras.push_back(std::move(cam));
    }
    std::fflush(stdout);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    auto nextStatus = begin + std::chrono::seconds(1);
    std::vector<std::uint64_t> last(cameras.size(), 0);
    int tick = 0;
    while (!gInterrupted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto now = Clock::now();
        if (config.seconds > 0 && now - begin >= std::chrono::duration<double>(config.seconds)) break;
        if (now < nextStatus) continue;
        nextStatus += std::chrono::seconds(1);
        ++tick;
        if (config.quiet) continue;
        std::string line = "orb-sim " + std::to_string(tick) + "s:";
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            const auto n = cameras[i]->responder().answeredCount();
            line += " " + cameras[i]->deviceIp() + " " + std::to_string(n) + " answered (+" +
                    std::to_string(n - last[i]) + ")";
            if (auto* pc = cameras[i]->pointCloud()) line += ", " + std::to_string(pc->framesSent()) + " frames";
            if (auto* rgb = cameras[i]->rgb()) line += ", " + std::to_string(rgb->framesSent()) + " images";
            if (auto* imu = cameras[i]->imu()) line += ", " + std::to_string(imu->sent()) + " IMU";
            last[i] = n;
            if (i + 1 < cameras.size()) line += ";";
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    for (auto& c : cameras) {
        c->stop();
        printSentByPort(*c);
    }
    cameras.clear();
    orb::net::cleanup();
    std::printf("orb-sim: stopped\n");
    return 0;
}
