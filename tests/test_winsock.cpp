// Guards the Winsock faults: a ZelOrbDeinit that ends the application's own
// Winsock use, library ports another socket can take over, and a receiver
// that stops, spins or fails on a "port unreachable" report (WSAECONNRESET).
// Windows only; runs under Wine too.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "camera.h"
#include "orb_sdk.h"
#include "platform/net.h"
#include "support/windows_process.h"

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kDev = "127.0.0.2";

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

// Points this program's import of a Winsock function at a replacement and
// returns the real one. The library is linked into this program, so its
// calls go through the same import table.
template <class F>
F replaceImport(const char* function, F replacement) {
    auto* const real = reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ws2_32.dll"), function));
    auto* const base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); real && imp->Name; ++imp) {
        for (auto** slot = reinterpret_cast<void**>(base + imp->FirstThunk); *slot; ++slot) {
            if (*slot != real) continue;
            DWORD old = 0;
            ::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
            *slot = reinterpret_cast<void*>(replacement);
            ::VirtualProtect(slot, sizeof *slot, old, &old);
            return reinterpret_cast<F>(real);
        }
    }
    return nullptr;
}

bool isUdp(SOCKET s) {
    int type = 0;
    int len = sizeof type;
    return ::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0 && type == SOCK_DGRAM;
}

// A Winsock that reports an ICMP "port unreachable" before every other UDP
// receive, as Windows does when SIO_UDP_CONNRESET is on; and a count of the
// UDP sockets made and of those that switched the reports off.
decltype(&::recvfrom) gRealRecvfrom = nullptr;
decltype(&::socket) gRealSocket = nullptr;
decltype(&::WSAIoctl) gRealIoctl = nullptr;
std::atomic<bool> gInject{false};
std::atomic<long> gReceives{0}, gResets{0}, gUdpSockets{0}, gReportsOff{0};

int WSAAPI resettingRecvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen) {
    if (gInject.load() && isUdp(s) && gReceives.fetch_add(1) % 2 == 0) {
        gResets.fetch_add(1);
        ::WSASetLastError(WSAECONNRESET);
        return SOCKET_ERROR;
    }
    return gRealRecvfrom(s, buf, len, flags, from, fromLen);
}

SOCKET WSAAPI countingSocket(int af, int type, int protocol) {
    const SOCKET s = gRealSocket(af, type, protocol);
    if (s != INVALID_SOCKET && type == SOCK_DGRAM) gUdpSockets.fetch_add(1);
    return s;
}

int WSAAPI countingIoctl(SOCKET s, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned,
                         WSAOVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE done) {
    if (code == SIO_UDP_CONNRESET && in && inLen == sizeof(BOOL) && !*static_cast<BOOL*>(in)) gReportsOff.fetch_add(1);
    return gRealIoctl(s, code, in, inLen, out, outLen, returned, overlapped, done);
}

template <class Pred>
bool within(std::chrono::milliseconds limit, Pred pred) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The program holds one start-up of its own (support/windows_process.cpp).
TEST(Winsock, StartupIsPairedPerInitAndNeverEndsTheApplicationsOwn) {
    EXPECT_NE(ZelOrbDeinit(), 0) << "nothing of the library's to end";
    EXPECT_EQ(ZelOrbInit(), 0);
    EXPECT_EQ(ZelOrbInit(), 0);
    EXPECT_EQ(ZelOrbDeinit(), 0);
    EXPECT_EQ(ZelOrbDeinit(), 0);
    EXPECT_NE(ZelOrbDeinit(), 0);
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_NE(s, INVALID_SOCKET) << "the application's Winsock was ended: " << ::WSAGetLastError();
    ::closesocket(s);
    EXPECT_EQ(::WSACleanup(), 0);
    EXPECT_NE(::WSACleanup(), 0) << "the library left a start-up unpaired";
    WSADATA data;
    EXPECT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
}

// With its ports shared (under Wine, for the in-process simulator) nothing
// here could fail, so the library runs alone, without a camera: the
// connection setup binds the data and IMU ports, then its handshake times out.
TEST(Winsock, LibraryPortsCannotBeTakenOver) {
    const bool wine = orb::net::sharePortsUnderWine(false);
    ASSERT_EQ(ZelOrbInit(), 0);
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, 6001), RC_OK);
    ZelOrbConnectDevice(kDev, 6301);
    int refused = 0;
    std::string why;
    for (int port = 50660; port <= 50862; ++port) {
        const orb::net::Socket s = orb::net::udpSocket();
        orb::net::setReuseAddr(s);
        if (!orb::net::bindTo(s, kHost, static_cast<std::uint16_t>(port))) {
            ++refused;
            why = orb::net::lastErrorText();
        }
        orb::net::closeSocket(s);
    }
    EXPECT_EQ(refused, 3) << "the control, data and IMU ports are the library's alone";
    EXPECT_TRUE(!why.empty() && why.rfind("Socket error", 0) != 0) << "not the system's text: " << why;
    ZelOrbDisconnectAllDevice();
    ZelOrbStopReceiveData();
    ZelOrbDeinit();
    orb::net::sharePortsUnderWine(wine);
}

class WinsockStreams : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, 6001), RC_OK);
        cam = std::make_unique<orbsim::Camera>(orbsim::CameraOptions::full(kDev));
        std::string err;
        ASSERT_TRUE(cam->start(&err)) << err;
    }
    void TearDown() override {
        gInject = false;
        ZelOrbDisconnectAllDevice();
        cam.reset();
        ZelOrbStopReceiveData();
        ZelOrbDeinit();
    }
    std::unique_ptr<orbsim::Camera> cam;
};

TEST_F(WinsockStreams, ResetReportsStopNoReceiver) {
    const std::string why = orbtest::wineSkipReason(1);
    if (!why.empty()) GTEST_SKIP() << why;
    cam.reset();  // made again with the counting Winsock
    gRealSocket = replaceImport("socket", &countingSocket);
    gRealIoctl = replaceImport("WSAIoctl", &countingIoctl);
    gRealRecvfrom = replaceImport("recvfrom", &resettingRecvfrom);
    ASSERT_TRUE(gRealSocket && gRealIoctl && gRealRecvfrom);
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, 6001), RC_OK);
    cam = std::make_unique<orbsim::Camera>(orbsim::CameraOptions::full(kDev));
    std::string err;
    ASSERT_TRUE(cam->start(&err)) << err;

    gInject = true;
    ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_OK);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    static ZelOrbPointData frame[ZEL_ORB_FRAME_ROWS][ZEL_ORB_FRAME_COLS];
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(within(std::chrono::seconds(10), [] { return ZelOrbGetPointCloud(kDev, frame) == RC_OK; }));
        ZelOrb9AxisImuData imu{};
        EXPECT_TRUE(within(std::chrono::seconds(10), [&] { return ZelOrbGet9AxisImu(kDev, &imu) == RC_OK; }));
        ZelOrbRgbData rgb{};
        EXPECT_TRUE(within(std::chrono::seconds(10), [&] { return ZelOrbGetRgb(kDev, &rgb) == RC_OK; }));
        std::uint8_t serial[64] = {};
        EXPECT_EQ(ZelOrbGetDeviceSerialNumber(kDev, serial, sizeof serial), 0);
    }
    EXPECT_GT(gResets.load(), 100);
    EXPECT_EQ(gReportsOff.load(), gUdpSockets.load()) << "a UDP socket kept the reports on";
}

}  // namespace
