// The interpreter lock around native work, shared by both extensions.
#pragma once

#include <pybind11/pybind11.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <mutex>

namespace vek {

// Once the interpreter has begun to exit, a thread it leaves behind (a
// daemon thread) that takes the lock back is ended by pthread_exit on
// Python 3.13 and before, and that unwinding through a destructor, which
// may not throw, ends the whole process (std::terminate). Such a thread is
// parked instead, as Python 3.14 itself parks it, until the process ends.
// The main thread is the one that runs the exit (freeing objects whose
// calls let the lock go too): it goes on. A thread already waiting for the
// lock when the exit begins can still be ended so (about one exit in 40
// with two such threads under load, against one in three unchecked).
inline void park_if_exiting() {
#if PY_VERSION_HEX >= 0x030D0000
    const bool exiting = Py_IsFinalizing();
#else
    const bool exiting = _Py_IsFinalizing();
#endif
#if defined(__linux__)
    // The main thread's id is the process's. Elsewhere there is no main
    // thread to tell apart, and no thread is parked.
    if (exiting && pid_t(syscall(SYS_gettid)) != getpid())
        for (;;) pause();
#else
    (void)exiting;
#endif
}

// Releasing and taking back the interpreter lock costs more than encoding a
// few kilobytes, so small calls keep it; other threads gain nothing from it.
inline constexpr size_t release_lock_from = size_t(4) << 10;

// The interpreter lock let go for the scope when the work is large enough,
// taken back (or the thread parked) as park_if_exiting says.
class MaybeReleaseLock {
public:
    explicit MaybeReleaseLock(size_t work)
        : state_(work >= release_lock_from ? PyEval_SaveThread() : nullptr) {}
    ~MaybeReleaseLock() {
        if (state_ == nullptr) return;
        park_if_exiting();
        PyEval_RestoreThread(state_);
    }
    MaybeReleaseLock(const MaybeReleaseLock&) = delete;
    MaybeReleaseLock& operator=(const MaybeReleaseLock&) = delete;

private:
    PyThreadState* state_;
};

// Let go for the whole scope, as pybind11::gil_scoped_release.
class ReleasedLock : public MaybeReleaseLock {
public:
    ReleasedLock() : MaybeReleaseLock(release_lock_from) {}
};

// Holds an object's mutex without holding the interpreter lock while
// waiting for it: a thread blocked here must not stop the owner from
// taking the interpreter lock back to finish its call.
inline std::unique_lock<std::mutex> lock_call(std::mutex& call_mutex) {
    std::unique_lock<std::mutex> lock(call_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        ReleasedLock released;
        lock.lock();
    }
    return lock;
}

}  // namespace vek
