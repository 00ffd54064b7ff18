// What the Windows test programs share (support/windows_process.cpp).
#pragma once

#include <string>

namespace orbtest {

// Why a test with this many simulated camera addresses (0, 1 for 127.0.0.2,
// 2 for several) cannot run here, or empty: only Wine limits them.
std::string wineSkipReason(int cameras);

}  // namespace orbtest
