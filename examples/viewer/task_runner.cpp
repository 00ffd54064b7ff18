#include "task_runner.h"

#include <cstdio>
#include <exception>

#include "orb_sdk.h"

namespace orbviewer {

namespace {
constexpr std::size_t kMaxMessages = 200;
}

void MessageLog::add(Severity s, std::string text) {
    std::fprintf(s == Severity::Info ? stdout : stderr, "%s%s\n",
                 s == Severity::Error ? "error: " : (s == Severity::Warning ? "warning: " : ""), text.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({std::chrono::steady_clock::now(), s, std::move(text)});
    if (messages_.size() > kMaxMessages) messages_.pop_front();
}

std::vector<Message> MessageLog::recent(std::size_t count) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = std::min(count, messages_.size());
    return std::vector<Message>(messages_.end() - static_cast<std::ptrdiff_t>(n), messages_.end());
}

bool MessageLog::latestProblem(std::chrono::seconds within, Message& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = messages_.rbegin(); it != messages_.rend() && now - it->when <= within; ++it)
        if (it->severity != Severity::Info) {
            out = *it;
            return true;
        }
    return false;
}

std::string libraryResult(const char* call, std::int32_t rc) {
    return std::string(call) + ": " + ZelOrbReturnCodeToString(rc) + " (" + std::to_string(rc) + ")";
}

std::string deviceResult(const char* call, std::int32_t status) {
    return std::string(call) + ": " + ZelGetReturnCodeDescriptor(status) + " (" + std::to_string(status) + ")";
}

TaskRunner::TaskRunner() : thread_([this] { run(); }) {}

TaskRunner::~TaskRunner() { stop(); }

void TaskRunner::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TaskRunner::post(std::string label, std::function<void()> work, std::string key) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        bool replaced = false;
        if (!key.empty())
            for (auto& t : queue_)
                if (t.key == key) {
                    t = Task{std::move(label), std::move(key), std::move(work)};
                    replaced = true;
                    break;
                }
        if (!replaced) queue_.push_back(Task{std::move(label), std::move(key), std::move(work)});
    }
    cv_.notify_all();
}

std::string TaskRunner::busyWith() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_.empty()) return running_;
    return queue_.empty() ? std::string() : queue_.front().label;
}

bool TaskRunner::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return queue_.empty() && running_.empty(); });
}

void TaskRunner::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        Task t = std::move(queue_.front());
        queue_.pop_front();
        running_ = t.label;
        lock.unlock();
        try {
            t.work();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "error: %s: %s\n", t.label.c_str(), e.what());
        }
        lock.lock();
        running_.clear();
        cv_.notify_all();
    }
}

}  // namespace orbviewer
