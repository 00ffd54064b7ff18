// One background thread for the library calls that can take seconds
// (discovery, connection, configuration, network settings, saving), so the
// window keeps drawing while they run; and the log of what they reported.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orbviewer {

enum class Severity { Info, Warning, Error };

struct Message {
    std::chrono::steady_clock::time_point when;
    Severity severity;
    std::string text;
};

class MessageLog {
public:
    void add(Severity s, std::string text);
    std::vector<Message> recent(std::size_t count) const;
    // The newest warning or error, if one came in the last `within`.
    bool latestProblem(std::chrono::seconds within, Message& out) const;

private:
    mutable std::mutex mutex_;
    std::deque<Message> messages_;
};

// Text of a library return code ("ZelOrbConnectDevice: the device did not
// answer the handshake (-1997)"), and of a device status code.
std::string libraryResult(const char* call, std::int32_t rc);
std::string deviceResult(const char* call, std::int32_t status);

class TaskRunner {
public:
    TaskRunner();
    ~TaskRunner();
    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // Queues work. A waiting task with the same non-empty key is replaced,
    // so dragging a slider sends only the latest value.
    void post(std::string label, std::function<void()> work, std::string key = {});
    // The label of the task running (or about to run); empty when idle.
    std::string busyWith() const;
    // Waits until every queued task has run, or the time is up.
    bool waitIdle(std::chrono::milliseconds limit);
    // Drops the queued tasks and waits for the running one; no task runs after it.
    void stop();

private:
    struct Task {
        std::string label, key;
        std::function<void()> work;
    };
    void run();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> queue_;
    std::string running_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace orbviewer
