// A sleeping consumer woken by its producer, for the lock-free queues between
// a device's threads. The producer pays one fence and one load per notify()
// while the consumer is busy; the consumer sleeps in the kernel while idle.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orb {

class Wakeup {
public:
    // Consumer: returns at once when ready() holds, else sleeps until notify()
    // or the limit (the caller then looks at its run flag again).
    template <class Ready>
    void wait(std::chrono::milliseconds limit, Ready&& ready) {
        sleeping_.store(true, std::memory_order_relaxed);
        // Pairs with the fence in notify(): either the producer sees the flag,
        // or this thread sees what the producer published before it.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!ready()) {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait_for(lock, limit, [this] { return signalled_; });
            signalled_ = false;
        }
        sleeping_.store(false, std::memory_order_relaxed);
    }
    // Producer, after publishing: wakes the consumer when it sleeps.
    void notify() {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!sleeping_.load(std::memory_order_relaxed)) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

private:
    std::atomic<bool> sleeping_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace orb
