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

// Command codes of the camera's command channel (UDP port 50660).
namespace cmd {
constexpr std::uint16_t kStart = 0x0000;
constexpr std::uint16_t kStop = 0x0001;
constexpr std::uint16_t kSoftTrigger = 0x0002;
constexpr std::uint16_t kDiscovery = 0x0003;
constexpr std::uint16_t kSaveConfig = 0x0004;
constexpr std::uint16_t kRemoveConfig = 0x0005;
constexpr std::uint16_t kHandshake = 0x0100;

// setters
constexpr std::uint16_t kSetTriggerMode = 0x0101;
constexpr std::uint16_t kSetLidarExposure = 0x0104;  // mode and time share this code
constexpr std::uint16_t kSetSerialNumber = 0x0123;
constexpr std::uint16_t kSetHardTriggerFilter = 0x0128;
constexpr std::uint16_t kSetLidarToRgbExtrinsics = 0x0129;
constexpr std::uint16_t kSetRgbIntrinsics = 0x012A;
constexpr std::uint16_t kSetRgbExposureMode = 0x012B;
constexpr std::uint16_t kSetRgbExposureTime = 0x012C;
constexpr std::uint16_t kSetRgbGain = 0x0132;
constexpr std::uint16_t kSetDistanceOffset = 0x013B;
constexpr std::uint16_t kSetCalibrationOffset = 0x013C;
constexpr std::uint16_t kSetDistanceMeasure = 0x013D;

// getters and queries
constexpr std::uint16_t kGetSerialNumber = 0x0300;
constexpr std::uint16_t kGetSoftwareVersion = 0x0301;
constexpr std::uint16_t kGetTriggerMode = 0x0304;
constexpr std::uint16_t kGetLidarExposureTime = 0x0306;
constexpr std::uint16_t kGetLidarExposureMode = 0x030D;
constexpr std::uint16_t kGetDeviceType = 0x030F;
constexpr std::uint16_t kGetRgbEnabled = 0x0328;
constexpr std::uint16_t kGetLidarToRgbExtrinsics = 0x0329;
constexpr std::uint16_t kGetRgbIntrinsics = 0x032A;
constexpr std::uint16_t kGetRgbExposureMode = 0x032B;
constexpr std::uint16_t kGetRgbExposureTime = 0x032C;
constexpr std::uint16_t kGetHardTriggerFilter = 0x032F;
constexpr std::uint16_t kGetRgbGain = 0x0332;
constexpr std::uint16_t kGetLidarToImuExtrinsics = 0x0336;
constexpr std::uint16_t kGetRgbRotation = 0x0337;
constexpr std::uint16_t kGetRgbExposureRange = 0x0338;
constexpr std::uint16_t kGetRgbGainRange = 0x0339;
constexpr std::uint16_t kGetDistanceOffset = 0x033B;
constexpr std::uint16_t kGetCalibrationOffset = 0x033C;
constexpr std::uint16_t kGetDistanceMeasure = 0x033D;
constexpr std::uint16_t kGetInverted = 0x033E;
}  // namespace cmd

// Device status bytes the simulator answers with.
namespace status {
constexpr std::uint8_t kOk = 0;
constexpr std::uint8_t kDiscoveryReply = 1;
constexpr std::uint8_t kCommandUndefined = 3;
constexpr std::uint8_t kStructureIncorrect = 4;
}  // namespace status

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
    // Starts with the camera's factory defaults (loadDefaults()).
    explicit SettingsStore(const std::string& deviceIp);

    // Restores every getter payload to its factory default; handshake, mode
    // and net settings are left alone.
    void loadDefaults();

    // True when the code is a getter or connection query the camera answers
    // from this store.
    static bool isGetter(std::uint16_t command);
    // True when the code is a setter this store understands.
    static bool isSetter(std::uint16_t command);
    // Stores a setter's request payload into its getter's reply payload.
    // Returns the device status: 0, kStructureIncorrect for a payload of the
    // wrong size (nothing stored), kCommandUndefined for an unknown code.
    std::uint8_t applySetter(std::uint16_t setter, const std::vector<std::uint8_t>& payload);

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
    void setIntrinsics(const std::vector<double>& v);
    void setExtrinsics(const std::vector<double>& v);
    std::string serialNumber() const;

    const std::string& deviceIp() const { return deviceIp_; }

    // The camera's log of its UDP traffic: every component counts each
    // datagram it sent whole, by destination port.
    void countSent(std::uint16_t destinationPort);
    std::map<std::uint16_t, std::uint64_t> sentByPort() const;

private:
    const std::string deviceIp_;
    mutable std::mutex sentMutex_;  // apart from mutex_: the streamer counts thousands a second
    std::map<std::uint16_t, std::uint64_t> sentByPort_;
    mutable std::mutex mutex_;
    std::map<std::uint16_t, std::vector<std::uint8_t>> payloads_;
    HandshakeInfo handshake_;
    int deviceMode_ = 0;
    NetSettings net_;
};

}  // namespace orbsim
