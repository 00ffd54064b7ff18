// Helpers of the streaming tests: a device record with running threads but
// no control handshake, frame polling with a deadline, and the comparison of
// a delivered frame with what the simulator sent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "device/device.h"
#include "orb_sdk.h"
#include "pointcloud_streamer.h"

namespace orbtest {

using Frame = std::vector<ZelOrbPointData>;  // 54,000 points

// Registers a record for ip and starts its threads, as a connection does,
// without the handshake. Returns the record (owned by the registry).
orb::DeviceRecord& attachStreamDevice(const std::string& ip, std::int32_t sourcePort, std::uint8_t mode = 3);
// Unregisters the record, stops and joins its threads, destroys it. False
// when ip was not registered.
bool detachStreamDevice(const std::string& ip);

// Polls ZelOrbGetPointCloud (or the dual call) until a frame comes or the
// time-out passes (bounded: one try per millisecond).
bool pollFrame(const std::string& ip, Frame& out, std::chrono::milliseconds timeout);
bool pollDualFrame(const std::string& ip, Frame& first, Frame& second, std::chrono::milliseconds timeout);

// Index of the host frame where a grid point of a sent frame lands.
std::size_t landingIndex(const orbsim::SentFrame& sent, int row, int col, bool inverted, bool dualPlacement);

// Compares every delivered grid point of sent with the host frame (axis sign
// applied to y and z where the format carries it). Points not delivered are
// skipped.
::testing::AssertionResult framesAgree(const Frame& got, const orbsim::SentFrame& sent, bool inverted = false,
                                       int axisSign = 1, const Frame* secondEcho = nullptr);

}  // namespace orbtest
