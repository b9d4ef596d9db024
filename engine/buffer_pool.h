// Large buffers (chunk areas, fragments) kept for the next stream of this
// process. A fresh buffer costs a page fault per 4 KiB on first touch, which
// in a threaded writer of a few chunks costs as much as a fifth of the
// compressing; taken round again they cost nothing. What is kept is bounded
// (retained_limit bytes), and each buffer goes only to a request it fits
// without wasting more than half of it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "fork_guard.h"

namespace vek {

struct FreeBytes {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
};

struct PooledBuffer {
    std::unique_ptr<uint8_t[], FreeBytes> bytes;
    size_t capacity = 0;
};

// A buffer of at least 2 MiB is laid on whole huge pages, which it asks
// for: its first filling then costs a fault each 2 MiB rather than each
// 4 KiB (a fresh process, such as the tool, fills every buffer once).
// Only a hint; where it is refused nothing changes.
inline PooledBuffer fresh_buffer(size_t size) {
    constexpr size_t huge_page = size_t(2) << 20;
    void* bytes = nullptr;
    if (size >= huge_page) {
        const size_t whole = (size + huge_page - 1) & ~(huge_page - 1);
        bytes = std::aligned_alloc(huge_page, whole);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes != nullptr) madvise(bytes, whole, MADV_HUGEPAGE);
#endif
    } else {
        bytes = std::malloc(size);
    }
    if (bytes == nullptr) throw std::bad_alloc();
    return {std::unique_ptr<uint8_t[], FreeBytes>(static_cast<uint8_t*>(bytes)), size};
}

class BufferPool {
public:
    static constexpr size_t retained_limit = size_t(64) << 20;

    // The smallest kept buffer of `size` to 2 * size bytes, else a new one
    // of `size` (std::bad_alloc when there is no memory). The smallest, so
    // that chunk areas (always filled) go round as areas and fragments'
    // buffers (filled only as far as the output goes) as those: mixed, every
    // buffer would end up with all its pages touched.
    static PooledBuffer take(size_t size) {
        if (BufferPool* pool = instance()) {
            std::lock_guard<std::mutex> lock(pool->mutex_);
            auto best = pool->kept_.end();
            for (auto it = pool->kept_.begin(); it != pool->kept_.end(); ++it) {
                if (it->capacity >= size && it->capacity / 2 <= size &&
                    (best == pool->kept_.end() || it->capacity < best->capacity))
                    best = it;
            }
            if (best != pool->kept_.end()) {
                PooledBuffer found = std::move(*best);
                *best = std::move(pool->kept_.back());
                pool->kept_.pop_back();
                pool->retained_ -= found.capacity;
                return found;
            }
        }
        return fresh_buffer(size);
    }

    // Keeps the buffer while the limit allows, else frees it. Never throws
    // (it runs in destructors).
    static void give(PooledBuffer buffer) {
        if (!buffer.bytes) return;
        BufferPool* pool = instance();
        if (pool == nullptr) return;
        std::lock_guard<std::mutex> lock(pool->mutex_);
        if (pool->retained_ + buffer.capacity > retained_limit) return;
        try {
            pool->kept_.push_back(std::move(buffer));
        } catch (const std::bad_alloc&) {
            return;  // no room to note it: freed instead
        }
        pool->retained_ += pool->kept_.back().capacity;
    }

    // Bytes kept now, at most retained_limit.
    static size_t retained() {
        BufferPool* pool = instance();
        if (pool == nullptr) return 0;
        std::lock_guard<std::mutex> lock(pool->mutex_);
        return pool->retained_;
    }

private:
    explicit BufferPool(uint64_t generation) : generation_(generation) {}

    // This process image's pool; nullptr only when there is no memory for
    // one. After fork() the parent's may be locked by a thread the child
    // does not have, so the child starts its own and leaves the copied one
    // alone (never freed). No lock guards the choice, for the same reason: a
    // lock held by a parent's thread at the fork would be held in the child
    // for ever.
    static BufferPool* instance() {
        static std::atomic<BufferPool*> current{nullptr};
        const uint64_t generation = fork_generation();
        BufferPool* pool = current.load(std::memory_order_acquire);
        while (pool == nullptr || pool->generation_ != generation) {
            auto* fresh = new (std::nothrow) BufferPool(generation);
            if (fresh == nullptr) return nullptr;
            if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return fresh;
            delete fresh;  // another thread of this image made one first: `pool` is now it
        }
        return pool;
    }

    const uint64_t generation_;
    std::mutex mutex_;
    std::vector<PooledBuffer> kept_;
    size_t retained_ = 0;
};

}  // namespace vek
