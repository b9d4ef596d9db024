// The interpreter lock around native work, shared by both extensions.
#pragma once

#include <pybind11/pybind11.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <thread>

namespace vek {

// Once the interpreter has begun to exit, a thread it leaves behind (a
// daemon thread) that takes the lock back is ended by pthread_exit on
// Python 3.13 and before, and that unwinding through a destructor, which
// may not throw, ends the whole process (std::terminate). So the lock is
// let go only while the interpreter runs: at exit (atexit, before the
// interpreter begins to end threads) close_at_exit waits until every
// thread that let the lock go in these calls has it back, and from then on
// the calls do their work holding it. Only a wait for another call's mutex
// still lets it go (holding the lock there could keep that call from
// ending); a thread that comes back from such a wait, or from work the
// wait at exit gave up on, once the exit has begun is parked, as Python
// 3.14 itself parks it, until the process ends. The main thread is the
// one that runs the exit (freeing objects whose calls let the lock go
// too): it goes on.
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

// What close_at_exit reads; changed only by threads that hold the lock, so
// that, holding it, it sees every thread either out or counted.
struct ExitGate {
    bool closed = false;    // the exit has begun: work keeps the lock
    int without_lock = 0;   // threads in these calls that let the lock go
};
inline ExitGate exit_gate;

// Registered with atexit by each extension. Needs the interpreter lock.
// A thread whose work does not end (a read that waits for ever) is given
// up on after max_exit_wait; it is parked if it comes back too late.
inline constexpr auto max_exit_wait = std::chrono::seconds(2);
inline void close_at_exit() {
    exit_gate.closed = true;
    const auto give_up = std::chrono::steady_clock::now() + max_exit_wait;
    while (exit_gate.without_lock > 0 && std::chrono::steady_clock::now() < give_up) {
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(state);
    }
}

// Each extension's module init calls this once.
inline void register_close_at_exit() {
    pybind11::module_::import("atexit").attr("register")(pybind11::cpp_function([] { close_at_exit(); }));
}

// Releasing and taking back the interpreter lock costs more than encoding a
// few kilobytes, so small calls keep it; other threads gain nothing from it.
inline constexpr size_t release_lock_from = size_t(4) << 10;

// The interpreter lock let go for the scope when the work is large enough
// and the interpreter is not exiting (see close_at_exit), taken back (or
// the thread parked) as park_if_exiting says.
class MaybeReleaseLock {
public:
    explicit MaybeReleaseLock(size_t work) : MaybeReleaseLock(work >= release_lock_from && !exit_gate.closed) {}
    ~MaybeReleaseLock() {
        if (state_ == nullptr) return;
        park_if_exiting();
        PyEval_RestoreThread(state_);
        --exit_gate.without_lock;
    }
    MaybeReleaseLock(const MaybeReleaseLock&) = delete;
    MaybeReleaseLock& operator=(const MaybeReleaseLock&) = delete;

protected:
    explicit MaybeReleaseLock(bool release) : state_(release ? (++exit_gate.without_lock, PyEval_SaveThread()) : nullptr) {}

private:
    PyThreadState* state_;
};

// Let go for the whole scope, as pybind11::gil_scoped_release, unless the
// interpreter is exiting.
class ReleasedLock : public MaybeReleaseLock {
public:
    ReleasedLock() : MaybeReleaseLock(release_lock_from) {}
};

// Let go for a wait on another thread, whatever the state of the exit.
class LockLetGoToWait : public MaybeReleaseLock {
public:
    LockLetGoToWait() : MaybeReleaseLock(true) {}
};

// Holds an object's mutex without holding the interpreter lock while
// waiting for it: a thread blocked here must not stop the owner from
// taking the interpreter lock back to finish its call.
inline std::unique_lock<std::mutex> lock_call(std::mutex& call_mutex) {
    std::unique_lock<std::mutex> lock(call_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        LockLetGoToWait released;
        lock.lock();
    }
    return lock;
}

}  // namespace vek
