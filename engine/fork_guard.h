// Which process an object belongs to. After fork() the child has copies of
// every object but none of the parent's other threads: a worker pool copied
// into it has no workers, and its locks and condition variables may be held
// or waited on by threads that do not exist there. Objects note the
// generation they were made in and refuse to run, or to wait, in another.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace vek {

inline std::atomic<uint64_t> fork_generation_counter{0};

// Registered when the library loads, not on a first call: a first call's
// guard taken by a thread of the parent at the fork would stay taken in the
// child. A child inherits the registration.
inline const bool fork_generation_registered = [] {
    pthread_atfork(nullptr, nullptr, [] { fork_generation_counter.fetch_add(1); });
    return true;
}();

inline uint64_t fork_generation() {
    return fork_generation_counter.load(std::memory_order_relaxed);
}

}  // namespace vek
