// Library start and end, and connecting and disconnecting devices.
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/api_guard.h"
#include "core/callback_mark.h"
#include "core/diagnostics.h"
#include "core/ipv4.h"
#include "device/connection.h"
#include "device/context.h"
#include "device/device.h"
#include "device/lookup.h"
#include "orb_sdk.h"
#include "platform/net.h"

namespace {

// Lets a frame in progress reach its end before the threads are joined.
constexpr std::chrono::milliseconds kDisconnectGrace{100};

}  // namespace

extern "C" {

ORB_API int32_t ZelOrbInit(void) {
    return orb::apiGuard<int32_t>(1, [] {
        if (!orb::net::startup()) {
            orb::printDiagnostic(orb::DiagnosticStream::Out, "WSAStartup failed\n");
            return 1;
        }
        return 0;
    });
}

ORB_API int32_t ZelOrbDeinit(void) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [] {
        // A recording left running is finished here, so its file is complete
        // once the application is done with the library (a failure to write
        // it is reported by the recorder; the call's result stays that of
        // the socket clean-up).
        orb::libraryContext().recorder.stop();
        return orb::net::cleanup() == 0 ? 0 : RC_GENERAL_ERROR;
    });
}

ORB_API int32_t ZelOrbConnectDevice(const char* ip, int32_t port) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip || !orb::isValidIPv4(ip) || port == 0) return RC_INVALID_TARGET;
        // The exclusive registry lock could wait for a thread that waits for
        // the mutex this callback runs under.
        if (orb::inAnyCallback()) return RC_GENERAL_ERROR;
        orb::Registry& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());

        if (orb::DeviceRecord* dev = reg.find(ip)) {
            dev->stream.dataSourcePort = port;
            const int rc = orb::runConnectionSetup(*dev);
            if (rc != RC_OK) return rc;
            orb::runConnectionQueries(*dev);
            return RC_DEVICE_EXISTS;
        }

        // Registered before its threads start (nobody sees it before the lock
        // is released), so a failure to start them can be undone cleanly.
        auto inserted = reg.devices().emplace(std::string(ip), std::make_unique<orb::DeviceRecord>(ip, port));
        orb::DeviceRecord& dev = *inserted.first->second;
        try {
            orb::startStreamThreads(dev.stream);
        } catch (...) {
            orb::signalStreamThreadsStop(dev.stream);
            orb::waitStreamThreadsStopped(dev.stream);
            reg.devices().erase(inserted.first);
            return RC_GENERAL_ERROR;
        }
        // From here the threads run: the record stays registered so that a
        // disconnect stops them, whatever the setup gives.
        if (orb::runConnectionSetup(dev) != RC_OK) return RC_HANDSHAKE_FAILED;
        orb::runConnectionQueries(dev);
        return RC_OK;
    });
}

ORB_API int32_t ZelOrbDisconnectDevice(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Waiting for the device's threads from one of them would never end;
        // the exclusive lookup refuses any callback.
        std::unique_ptr<orb::DeviceRecord> record;
        const int32_t rc = orb::withDevice<int32_t>(ip, orb::RegistryLock::Exclusive, RC_DEVICE_NOT_FOUND,
                                                    [&](orb::DeviceRecord& dev) -> int32_t {
                                                        orb::signalStreamThreadsStop(dev.stream);
                                                        record = orb::libraryContext().registry.take(dev.ip);
                                                        return RC_OK;
                                                    });
        if (rc != RC_OK) return rc;
        std::this_thread::sleep_for(kDisconnectGrace);
        orb::waitStreamThreadsStopped(record->stream);
        record.reset();
        return RC_OK;
    });
}

ORB_API int32_t ZelOrbDisconnectAllDevice(void) {
    return orb::apiGuard<int32_t>(RC_OK, [] {
        std::vector<std::string> ips;
        {
            orb::Registry& reg = orb::libraryContext().registry;
            std::shared_lock<std::shared_mutex> lock(reg.mutex());
            ips = reg.ips();
        }
        for (const auto& ip : ips) ZelOrbDisconnectDevice(ip.c_str());
        return RC_OK;
    });
}

}  // extern "C"
