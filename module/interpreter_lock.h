// The interpreter lock around native work, shared by both extensions.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <mutex>

namespace vek {

// Holds an object's mutex without holding the interpreter lock while
// waiting for it: a thread blocked here must not stop the owner from
// taking the interpreter lock back to finish its call.
inline std::unique_lock<std::mutex> lock_call(std::mutex& call_mutex) {
    std::unique_lock<std::mutex> lock(call_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        pybind11::gil_scoped_release released;
        lock.lock();
    }
    return lock;
}

// Releasing and taking back the interpreter lock costs more than encoding a
// few kilobytes, so small calls keep it; other threads gain nothing from it.
inline constexpr size_t release_lock_from = size_t(4) << 10;

class MaybeReleaseLock {
public:
    explicit MaybeReleaseLock(size_t work)
        : state_(work >= release_lock_from ? PyEval_SaveThread() : nullptr) {}
    ~MaybeReleaseLock() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    MaybeReleaseLock(const MaybeReleaseLock&) = delete;
    MaybeReleaseLock& operator=(const MaybeReleaseLock&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace vek
