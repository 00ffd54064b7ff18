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
        // Connecting waits for the device's operation mutex, which a thread
        // waiting for the mutex this callback runs under may hold.
        if (orb::inAnyCallback()) return RC_GENERAL_ERROR;
        orb::Registry& reg = orb::libraryContext().registry;
        const std::string key(ip);
        for (;;) {
            // A new record is registered (with its operation mutex already
            // held) before its threads start, so that a concurrent connect
            // of the same address waits for this one instead of making a
            // second record. Nothing slow happens under the registry lock.
            orb::DevicePtr dev;
            std::unique_lock<std::mutex> operation;
            bool created = false;
            {
                std::unique_lock<std::shared_mutex> lock(reg.mutex());
                auto it = reg.devices().find(key);
                if (it != reg.devices().end()) {
                    dev = it->second;
                } else {
                    dev = orb::DevicePtr(new orb::DeviceRecord(key, port));
                    // Nobody else knows the new mutex yet: trying cannot fail,
                    // and it orders no lock after the registry's.
                    operation = std::unique_lock<std::mutex>(dev->operationMutex, std::try_to_lock);
                    reg.devices().emplace(key, dev);
                    created = true;
                }
            }
            if (!created) {
                operation = std::unique_lock<std::mutex>(dev->operationMutex);
                // Disconnected while this call waited: connect afresh.
                if (!reg.holds(key, dev.get())) continue;
                dev->stream.dataSourcePort = port;
                const int rc = orb::runConnectionSetup(*dev);
                if (rc != RC_OK) return rc;
                orb::runConnectionQueries(*dev);
                return RC_DEVICE_EXISTS;
            }
            try {
                orb::startStreamThreads(dev->stream);
            } catch (...) {
                reg.remove(key, dev.get());
                orb::signalStreamThreadsStop(dev->stream);
                orb::waitStreamThreadsStopped(dev->stream);
                return RC_GENERAL_ERROR;
            }
            // From here the threads run: the record stays registered so that a
            // disconnect stops them, whatever the setup gives.
            if (orb::runConnectionSetup(*dev) != RC_OK) return RC_HANDSHAKE_FAILED;
            orb::runConnectionQueries(*dev);
            return RC_OK;
        }
    });
}

ORB_API int32_t ZelOrbDisconnectDevice(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Waiting for the device's threads from one of them would never end.
        if (orb::inAnyCallback()) return RC_GENERAL_ERROR;
        orb::Registry& reg = orb::libraryContext().registry;
        orb::DevicePtr record;
        {
            const orb::DevicePtr dev = reg.lookup(ip);
            if (!dev) return RC_DEVICE_NOT_FOUND;
            // A connect or mode switch of this device in progress ends first.
            std::lock_guard<std::mutex> operation(dev->operationMutex);
            record = reg.remove(dev->ip, dev.get());
            if (!record) return RC_DEVICE_NOT_FOUND;  // another disconnect came first
            orb::signalStreamThreadsStop(record->stream);
        }
        // From here calls find no device and the reception drops its
        // datagrams; the record lives on while calls that found it earlier
        // finish. Its threads end here, on this thread, whoever drops the
        // last reference.
        std::this_thread::sleep_for(kDisconnectGrace);
        orb::waitStreamThreadsStopped(record->stream);
        record->imuRgb.stopAll();
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
