// Linked into every test program of the Windows build. The program starts
// Winsock for itself, as an application does (the simulator and some tests
// use sockets without ZelOrbInit).
//
// Under Wine a UDP socket bound to an address other than 127.0.0.1 is bound
// to 0.0.0.0 and sends from whatever address the route picks (wine-8.0,
// server/sock.c, bind_to_interface). A program with one simulated camera at
// 127.0.0.2 therefore needs a route to 127.0.0.1 that prefers 127.0.0.2 as
// source (scripts/test_windows.sh sets one up in a network namespace); a
// program with several camera addresses, or with binds that must fail,
// cannot run there. Such programs skip, saying why.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/net.h"
#include "support/windows_process.h"

#ifndef ORB_TEST_CAMERAS
#define ORB_TEST_CAMERAS 0  // simulated camera addresses: 0, 1 (127.0.0.2) or 2 (several)
#endif

namespace {

namespace net = orb::net;

bool underWine() { return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

// Whether a socket bound to 127.0.0.2 sends from 127.0.0.2.
bool cameraAddressHolds() {
    const net::Socket host = net::udpSocket(), camera = net::udpSocket();
    net::Endpoint to, from;
    std::uint8_t byte = 0;
    const bool ok = net::bindTo(host, "127.0.0.1", 0) && net::bindTo(camera, "127.0.0.2", 0) &&
                    net::localEndpoint(host, to) && net::sendTo(camera, &byte, 1, to) == 1 &&
                    net::waitReadable(host, 1000) && net::recvFrom(host, &byte, 1, &from) == 1 &&
                    net::formatIPv4(from.addr) == "127.0.0.2";
    net::closeSocket(host);
    net::closeSocket(camera);
    return ok;
}

}  // namespace

std::string orbtest::wineSkipReason(int cameras) {
    if (cameras == 0 || !underWine()) return std::string();
    if (cameras > 1)
        return "under Wine, UDP sockets bound to 127.0.0.2, 127.0.0.3, ... are all bound to 0.0.0.0 and send "
               "from one address, so several simulated cameras, or binds that must fail, cannot be had (this "
               "program runs on Windows and Linux)";
    if (!cameraAddressHolds())
        return "under Wine a UDP socket bound to 127.0.0.2 sends from another address here; run scripts/test.sh "
               "--windows as root, which gives the suite a network namespace whose route to 127.0.0.1 prefers "
               "127.0.0.2";
    return std::string();
}

namespace {

class WineLimits : public ::testing::Environment {
    void SetUp() override {
        const std::string why = orbtest::wineSkipReason(ORB_TEST_CAMERAS);
        if (why.empty()) return;
        std::printf("ORB_TEST_SKIPPED: %s\n", why.c_str());  // ctest counts the program as skipped
        GTEST_SKIP() << why;
    }
};

struct WindowsProcess {
    WindowsProcess() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        ::testing::AddGlobalTestEnvironment(new WineLimits);
    }
    ~WindowsProcess() { ::WSACleanup(); }
} gWindowsProcess;

}  // namespace
