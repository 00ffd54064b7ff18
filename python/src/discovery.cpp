// Finding cameras. The library's searches last seconds and cannot be
// cancelled, so each runs on a thread of its own: the caller may stop
// waiting (time-out, Ctrl-C) and the search ends by itself in the background.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common.h"

namespace orbpy {

namespace {

struct FoundCamera {
    std::string ip;
    std::string hostIp;
    std::optional<int> port;      // the camera's data source port (passive search only)
    std::optional<int> hostPort;  // the host port it streams to (passive search only)
};

struct Workers {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
};

Workers& workers() {
    static Workers* w = new Workers();  // detached threads may outlive static destruction
    return *w;
}

template <class T>
T runInWorker(std::function<T()> job, std::optional<double> timeout) {
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        T result;
    };
    auto state = std::make_shared<State>();
    {
        std::lock_guard<std::mutex> lk(workers().mutex);
        ++workers().running;
    }
    std::thread([state, job = std::move(job)] {
        T result = job();
        {
            std::lock_guard<std::mutex> lk(state->mutex);
            state->result = std::move(result);
            state->done = true;
        }
        state->cv.notify_all();
        std::lock_guard<std::mutex> lk(workers().mutex);
        --workers().running;
        workers().idle.notify_all();
    }).detach();
    const bool finished = pollUntil(timeout, 0, [&] {
        std::unique_lock<std::mutex> lk(state->mutex);
        return state->cv.wait_for(lk, std::chrono::milliseconds(50), [&] { return state->done; });
    });
    if (!finished) raiseTimeout("end of the search", "the network");
    std::lock_guard<std::mutex> lk(state->mutex);
    return std::move(state->result);
}

// Empty optional: the library reported a failure.
using Found = std::optional<std::vector<FoundCamera>>;

Found activeSearch(std::uint16_t maxCount) {
    std::vector<ZelOrbFoundDevice> devices(maxCount);
    std::int32_t count = -1;
    if (!ZelOrbActiveFindDevice(devices.data(), maxCount, &count) || count < 0) return std::nullopt;
    std::vector<FoundCamera> out;
    for (std::int32_t i = 0; i < count; ++i)
        out.push_back({fieldText(devices[i].dev_ip), fieldText(devices[i].host_ip), std::nullopt, std::nullopt});
    return out;
}

Found passiveSearch(const std::string& localIp) {
    // Every call overwrites the library's one result array.
    static std::mutex* resultsMutex = new std::mutex();
    std::lock_guard<std::mutex> lk(*resultsMutex);
    std::int32_t count = -1;
    const ZelOrbNetInfo* records = ZelOrbPassiveFindDevice(localIp.c_str(), &count);
    if (!records || count < 0) return std::nullopt;
    std::vector<FoundCamera> out;
    for (std::int32_t i = 0; i < count; ++i)
        out.push_back({fieldText(records[i].lidar_ip), fieldText(records[i].host_ip), records[i].lidar_port,
                       records[i].host_port});
    return out;
}

std::string describe(const FoundCamera& f) {
    std::string s = "FoundCamera(ip='" + f.ip + "', host_ip='" + f.hostIp + "'";
    if (f.port) s += ", port=" + std::to_string(*f.port);
    if (f.hostPort) s += ", host_port=" + std::to_string(*f.hostPort);
    return s + ")";
}

}  // namespace

void waitForDiscoveryWorkers() {
    py::gil_scoped_release nogil;
    std::unique_lock<std::mutex> lk(workers().mutex);
    workers().idle.wait_for(lk, std::chrono::seconds(10), [] { return workers().running == 0; });
}

void bindDiscovery(py::module_& m) {
    py::class_<FoundCamera>(m, "FoundCamera", "A camera that answered a search.")
        .def_readonly("ip", &FoundCamera::ip, "the camera's address")
        .def_readonly("host_ip", &FoundCamera::hostIp,
                      "the host address it answered on (active) or streams to (passive)")
        .def_readonly("port", &FoundCamera::port, "its data source port (passive search; else None)")
        .def_readonly("host_port", &FoundCamera::hostPort, "the host port it streams to (passive search; else None)")
        .def("__repr__", &describe);

    m.def(
        "discover",
        [](std::optional<double> timeout, bool passive, std::optional<std::string> localIp, int maxCount) {
            if (passive && !localIp)
                throw py::value_error("a passive search needs local_ip, the interface to listen on");
            if (maxCount < 1 || maxCount > 65535) throw py::value_error("max_count must be 1..65535");
            std::function<Found()> job =
                passive
                    ? std::function<Found()>([ip = *localIp] { return passiveSearch(ip); })
                    : std::function<Found()>([maxCount] { return activeSearch(static_cast<std::uint16_t>(maxCount)); });
            Found found = runInWorker<Found>(std::move(job), timeout);
            if (!found)
                raise(RC_GENERAL_ERROR, Codes::Library, passive ? "ZelOrbPassiveFindDevice" : "ZelOrbActiveFindDevice",
                      passive ? *localIp : "");
            return *found;
        },
        py::arg("timeout") = py::none(), py::kw_only(), py::arg("passive") = false, py::arg("local_ip") = py::none(),
        py::arg("max_count") = 64,
        "Finds cameras. Active (default): broadcasts from every host address and returns about 2 s after the "
        "last new answer. Passive: listens for announcements on the interface local_ip and returns about 4 s "
        "after the last new camera (at most 15). timeout bounds the wait (TimeoutError); the search itself "
        "cannot be cut short.");
}

}  // namespace orbpy
