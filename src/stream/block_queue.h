// Single-producer single-consumer queue on a ring of power-of-two blocks.
// Lock-free; all storage is allocated by the constructor. One slot of every
// block stays empty, so a block of S slots holds S - 1 items.
//
// Besides tryPush/tryPop, items can be written and read in place
// (reserve/commit on the producer side, peek/release on the consumer side):
// the reception path uses that to hand datagrams over without copying a
// whole slot twice. A slot is only ever rewritten after the consumer has
// released it.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace orb {

template <class T>
class BlockQueue {
public:
    explicit BlockQueue(std::size_t requested) {
        std::size_t p = 1;
        while (p < requested + 1) p <<= 1;
        std::size_t count = 1;
        if (p <= 1024) {
            blockSize_ = p;
        } else {
            blockSize_ = 512;
            count = (requested + 1021) / 511;
        }
        blocks_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) blocks_.push_back(std::make_unique<Block>(blockSize_));
        for (std::size_t i = 0; i < count; ++i) blocks_[i]->next = blocks_[(i + 1) % count].get();
        frontBlock_.store(blocks_[0].get(), std::memory_order_relaxed);
        tailBlock_.store(blocks_[0].get(), std::memory_order_relaxed);
    }
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Most items the queue can hold.
    std::size_t capacity() const { return blocks_.size() * (blockSize_ - 1); }
    std::size_t blockCount() const { return blocks_.size(); }
    std::size_t blockSize() const { return blockSize_; }

    // --- producer ----------------------------------------------------------
    // The slot the next item goes into, or null when every block is full.
    // Write the item there, then commit(). Calling reserve() again before
    // commit() returns the same slot.
    T* reserve() {
        Block* b = tailBlock_.load(std::memory_order_relaxed);
        const std::size_t t = b->tail.load(std::memory_order_relaxed);
        const std::size_t next = (t + 1) & b->mask;
        if (next != b->cachedFront || next != (b->cachedFront = b->front.load(std::memory_order_acquire))) {
            pending_ = b;
            return &b->slots[t];
        }
        Block* nb = b->next;
        if (nb == frontBlock_.load(std::memory_order_acquire)) return nullptr;  // the consumer is still there
        // The consumer left nb empty; it is ours until we publish into it.
        nb->cachedFront = nb->front.load(std::memory_order_acquire);
        pending_ = nb;
        return &nb->slots[nb->tail.load(std::memory_order_relaxed)];
    }
    void commit() {
        Block* b = pending_;
        advance(b->tail, b->mask);
        if (b != tailBlock_.load(std::memory_order_relaxed)) tailBlock_.store(b, std::memory_order_release);
    }
    // A failed push leaves the item with the caller.
    bool tryPush(T&& item) {
        T* slot = reserve();
        if (!slot) return false;
        *slot = std::move(item);
        commit();
        return true;
    }
    bool tryPush(const T& item) {
        T* slot = reserve();
        if (!slot) return false;
        *slot = item;
        commit();
        return true;
    }

    // --- consumer ----------------------------------------------------------
    // The oldest item in place, or null when the queue is empty. Read it,
    // then release(). Calling peek() again before release() returns the same item.
    T* peek() {
        Block* b = frontBlock_.load(std::memory_order_relaxed);
        const std::size_t f = b->front.load(std::memory_order_relaxed);
        if (f != b->cachedTail || f != (b->cachedTail = b->tail.load(std::memory_order_acquire))) {
            pendingFront_ = b;
            return &b->slots[f];
        }
        if (b != tailBlock_.load(std::memory_order_acquire)) {
            // The producer may have added to this block before moving on.
            b->cachedTail = b->tail.load(std::memory_order_acquire);
            if (f != b->cachedTail) {
                pendingFront_ = b;
                return &b->slots[f];
            }
            Block* nb = b->next;
            frontBlock_.store(nb, std::memory_order_release);
            // Not empty: the producer stores into a block before moving to it.
            nb->cachedTail = nb->tail.load(std::memory_order_acquire);
            pendingFront_ = nb;
            return &nb->slots[nb->front.load(std::memory_order_relaxed)];
        }
        return nullptr;
    }
    void release() { advance(pendingFront_->front, pendingFront_->mask); }
    bool tryPop(T& out) {
        T* slot = peek();
        if (!slot) return false;
        out = std::move(*slot);
        release();
        return true;
    }

private:
    // Moves an index owned by the calling side one slot on; the release makes
    // the slot's new content (or its emptiness) visible to the other side.
    static void advance(std::atomic<std::size_t>& index, std::size_t mask) {
        index.store((index.load(std::memory_order_relaxed) + 1) & mask, std::memory_order_release);
    }

    struct Block {
        explicit Block(std::size_t size) : slots(size), mask(size - 1) {}
        // consumer's line
        alignas(64) std::atomic<std::size_t> front{0};
        std::size_t cachedTail = 0;
        // producer's line
        alignas(64) std::atomic<std::size_t> tail{0};
        std::size_t cachedFront = 0;
        // read-only after construction
        alignas(64) Block* next = nullptr;
        std::vector<T> slots;
        std::size_t mask;
    };

    // consumer's line
    alignas(64) std::atomic<Block*> frontBlock_{nullptr};
    Block* pendingFront_ = nullptr;
    // producer's line
    alignas(64) std::atomic<Block*> tailBlock_{nullptr};
    Block* pending_ = nullptr;
    // read-only after construction
    alignas(64) std::size_t blockSize_ = 0;
    std::vector<std::unique_ptr<Block>> blocks_;
};

}  // namespace orb
