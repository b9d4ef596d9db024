// The interpreter lock around native work, shared by both extensions.
#pragma once

#include <pybind11/pybind11.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
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
// the calls do their work holding it. Only waits that may not end (another
// call's mutex, a read) still let it go. A thread other than the main one
// that comes back once that wait is over, from such a wait or from work
// the wait gave up on, is parked until the process ends, as Python 3.14
// parks such threads itself: taking the lock back, it could be ended there.
// The main thread runs the exit and is never ended so: it goes on.
inline bool is_main_thread() {
#if defined(__linux__)
    return pid_t(syscall(SYS_gettid)) == getpid();  // the main thread's id is the process's
#else
    return true;  // no main thread to tell apart: none is parked
#endif
}

[[noreturn]] inline void park() {
    for (;;) pause();
}


// What close_at_exit reads; changed only by threads that hold the lock, so
// that, holding it, it sees every thread either out or counted.
// (Atomic only because a thread without the lock reads the state.)
struct ExitGate {
    enum State : int { running, closing, closed };
    std::atomic<State> state{running};  // closing: work keeps the lock; closed: the wait is over
    std::atomic<int> without_lock{0};   // threads in these calls that let the lock go
};
inline ExitGate exit_gate;

// Registered with atexit by each extension. Needs the interpreter lock.
// Work that does not end soon (a huge call on one thread) is given up on
// after max_exit_wait: the exit goes on, and the thread parks when it ends.
inline constexpr auto max_exit_wait = std::chrono::seconds(2);
inline void close_at_exit() {
    exit_gate.state = ExitGate::closing;
    const auto give_up = std::chrono::steady_clock::now() + max_exit_wait;
    while (exit_gate.without_lock > 0 && std::chrono::steady_clock::now() < give_up) {
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(state);
    }
    exit_gate.state = ExitGate::closed;
}

// Called by a thread without the lock before it takes it back: parks it
// if it is not the main one and the wait at exit is over, or the
// interpreter has begun to exit without one (an embedding that never
// runs atexit).
inline void park_if_late() {
#if PY_VERSION_HEX >= 0x030D0000
    const bool exiting = Py_IsFinalizing();
#else
    const bool exiting = _Py_IsFinalizing();
#endif
    if ((exiting || exit_gate.state == ExitGate::closed) && !is_main_thread()) park();
}

// A child of fork() has only the thread that forked, which held the lock.
inline void forget_threads_in_child() { exit_gate.without_lock = 0; }

// Each extension's module init calls this once.
inline void register_close_at_exit() {
    pybind11::module_::import("atexit").attr("register")(pybind11::cpp_function([] { close_at_exit(); }));
    pthread_atfork(nullptr, nullptr, forget_threads_in_child);
}

// Releasing and taking back the interpreter lock costs more than encoding a
// few kilobytes, so small calls keep it; other threads gain nothing from it.
inline constexpr size_t release_lock_from = size_t(4) << 10;

// The interpreter lock let go for the scope when the work is large enough
// and the interpreter is not exiting (see close_at_exit), taken back (or
// the thread parked) as park_if_late says.
class MaybeReleaseLock {
public:
    explicit MaybeReleaseLock(size_t work)
        : MaybeReleaseLock(work >= release_lock_from && exit_gate.state == ExitGate::running) {}
    ~MaybeReleaseLock() {
        if (state_ == nullptr) return;
        park_if_late();
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

// Let go for a wait that may not end (another thread, a read), whatever
// the state of the exit.
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
