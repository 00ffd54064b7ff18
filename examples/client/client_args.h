// Command-line options of the sample client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orbclient {

struct ClientOptions {
    std::string cameraIp;          // empty: discover, then fall back to the simulator
    std::string hostIp;            // empty: the address discovery found the camera from
    std::uint16_t hostPort = 6001;     // point-cloud port on this host
    std::uint16_t sourcePort = 6301;   // the camera's point-cloud source port
    int seconds = 0;                   // 0: until Ctrl-C
    bool forceSimulator = false;
    bool rgb = true;
    bool imu = true;
    bool angle = false;
    bool fusion = false;
    int deviceMode = -1;               // -1: leave the camera's mode alone
    std::string savePly;
    std::string saveDepthPng;
    std::string saveIntensityPng;
    std::string saveRgbPng;
    std::string recordPath;            // capture file of everything received
    std::string replayPath;            // capture to replay instead of the live scene
    bool help = false;
};

// Parses argv (without argv[0]). On error returns false and sets error.
bool parseClientArgs(const std::vector<std::string>& args, ClientOptions& out, std::string& error);
std::string clientUsage();

}  // namespace orbclient
