// The virtual camera's settings: what its command responder answers, what
// setters stored, where the handshake told it to send, and its mode. Shared
// (thread-safe) by every component of one simulated camera.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace orbsim {

struct HandshakeInfo {
    bool received = false;
    std::string hostIp;        // host address announced in the handshake
    std::uint16_t dataPort = 0;  // host data port; nine-axis IMU goes to dataPort + 1
};

struct NetSettings {
    std::string lidarIp;
    std::string hostIp;
    std::uint16_t lidarPort = 6301;
    std::uint16_t hostPort = 6001;
    std::vector<std::uint8_t> extra = std::vector<std::uint8_t>(32, 0);  // bytes 12..43 of the payload
};

class SettingsStore {
public:
    explicit SettingsStore(const std::string& deviceIp);

    // Reply payload the responder sends for a getter command code; setters
    // overwrite the payload of their matching getter.
    std::vector<std::uint8_t> payload(std::uint16_t getterCommand) const;
    void setPayload(std::uint16_t getterCommand, std::vector<std::uint8_t> bytes);

    HandshakeInfo handshake() const;
    void setHandshake(const HandshakeInfo& h);

    // 0: single echo, 1: dual echo (set by the control server's mode frames).
    int deviceMode() const;
    void setDeviceMode(int mode);

    NetSettings netSettings() const;
    void setNetSettings(const NetSettings& n);

    // Convenience views of stored values (doubles little-endian on the wire).
    std::vector<double> intrinsics() const;  // fx, fy, cx, cy, k1..k4 (+2 spare)
    std::vector<double> extrinsics() const;  // R row-major (9), T (3)

    const std::string& deviceIp() const { return deviceIp_; }

private:
    const std::string deviceIp_;
    mutable std::mutex mutex_;
    std::map<std::uint16_t, std::vector<std::uint8_t>> payloads_;
    HandshakeInfo handshake_;
    int deviceMode_ = 0;
    NetSettings net_;
};

}  // namespace orbsim
