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
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"
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
    std::map<std::string, std::string> values;  // options owned by components
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
        {"--quiet", nullptr, "no status lines",
         [](SimConfig& c, const std::string&) {
             c.quiet = true;
             return true;
         }},
    };
    return table;
}

// Components other than the command responder are attached here from the
// configuration.
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

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void onSignal(int) { gInterrupted = 1; }

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

    std::vector<std::unique_ptr<Camera>> cameras;
    for (int k = 0; k < config.count; ++k) {
        orbsim::CameraOptions co;
        co.deviceIp = std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." +
                      std::to_string(o[3] + static_cast<unsigned>(k));
        co.bindAny = config.bindAny;
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
        std::printf("orb-sim: camera %s listening on UDP %s:%u\n", co.deviceIp.c_str(),
                    config.bindAny ? "0.0.0.0" : co.deviceIp.c_str(), orbsim::kCommandPort);
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
            last[i] = n;
            if (i + 1 < cameras.size()) line += ";";
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    for (auto& c : cameras) c->stop();
    cameras.clear();
    orb::net::cleanup();
    std::printf("orb-sim: stopped\n");
    return 0;
}
