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
// may not throw, ends the whole process (std::terminate). So no thread may
// be waiting for the lock in these calls when the exit begins. At exit
// (atexit, after threading's shutdown and before the interpreter ends
// threads) close_at_exit waits until the threads whose work let the lock
// go have it back, and from then on the calls do their work holding it.
// Waits that may not end (another call's mutex, a read) still let it go. A
// thread coming back after that wait is over (work longer than the wait, a
// wait for another call) holds an object's mutex: it waits, without the
// lock, until the thread running the exit waits for a call's mutex (an exit
// function closing that object: the late thread then takes the lock back
// and lets the mutex go, and nothing can finalize meanwhile), or until the
// interpreter is finalizing, when it is parked for good, as Python 3.14
// parks such threads itself. A thread coming back from a read takes the
// lock back, parked only once the interpreter is finalizing.

// Pauses the calling thread for good.
[[noreturn]] inline void park() {
    for (;;) pause();
}

// The first thread of the process, which runs the exit where none was
// seen to begin (an embedding that never runs atexit).
inline bool is_first_thread() {
#if defined(__linux__)
    return pid_t(syscall(SYS_gettid)) == getpid();
#else
    return true;  // no first thread to tell apart: none is parked
#endif
}

// `working` changes only under the lock, so close_at_exit, holding it, sees
// every such thread counted or gone. `coming_back` changes without it, each
// thread adding itself before it asks whether the interpreter is
// finalizing, which it cannot be while close_at_exit waits.
struct ExitGate {
    enum State : int { running, closing, closed };
    std::atomic<State> state{running};  // closing: work keeps the lock; closed: late threads wait
    std::atomic<int> working{0};        // threads whose work let the lock go
    std::atomic<int> coming_back{0};    // threads taking the lock back, not parked
    std::atomic<pthread_t> exiting_thread{};  // the one that ran close_at_exit
    std::atomic<int> exit_waiting_for_call{0};  // it waits for a call's mutex
};
inline ExitGate exit_gate;

// Whether the interpreter is really ending: atexit's functions can also be
// run by hand (atexit._run_exitfuncs), after which the process goes on.
inline bool threads_shut_down() {
    PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");
    if (threading == nullptr) return true;  // no threading, no shutdown to wait for
    PyObject* flag = PyObject_GetAttrString(threading, "_SHUTTING_DOWN");
    if (flag == nullptr) {
        PyErr_Clear();
        return true;
    }
    const bool down = flag == Py_True;
    Py_DECREF(flag);
    return down;
}

// Work that does not end soon (a huge call on one thread) is given up on
// after this: the exit goes on, and the thread parks when it ends.
inline constexpr auto max_exit_wait = std::chrono::seconds(2);

// Lets the lock go in short sleeps while `count` is above 0, until give_up.
inline void let_others_take_the_lock_while(const std::atomic<int>& count,
                                           std::chrono::steady_clock::time_point give_up) {
    while (count > 0 && std::chrono::steady_clock::now() < give_up) {
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(state);
    }
}
// Registered with atexit by each extension. Needs the interpreter lock.
inline void close_at_exit() {
    // A sub-interpreter's end (where the module may have been imported
    // first) ends none of the process's threads.
    if (PyThreadState_Get()->interp != PyInterpreterState_Main() || !threads_shut_down()) return;
    exit_gate.exiting_thread = pthread_self();
    exit_gate.state = ExitGate::closing;
    const auto give_up = std::chrono::steady_clock::now() + max_exit_wait;
    let_others_take_the_lock_while(exit_gate.working, give_up);
    exit_gate.state = ExitGate::closed;
    // Those that saw the gate still open take the lock back now; they only
    // need the lock, so this wait ends as soon as they have had it.
    let_others_take_the_lock_while(exit_gate.coming_back, std::chrono::steady_clock::time_point::max());
}

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Takes the lock back for a thread that let it go; a late one (see above)
// first waits for the exit to need it, and is parked if it never does.
inline void take_lock_back(PyThreadState* state, bool late_may_hold_a_call) {
    if (late_may_hold_a_call && exit_gate.state == ExitGate::closed &&
        !pthread_equal(pthread_self(), exit_gate.exiting_thread)) {
        while (exit_gate.exit_waiting_for_call == 0) {
            if (interpreter_finalizing()) park();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ++exit_gate.coming_back;
    if (interpreter_finalizing() && !is_first_thread()) {
        --exit_gate.coming_back;
        park();
    }
    PyEval_RestoreThread(state);
    --exit_gate.coming_back;
}

// A child of fork() has only the thread that forked, which held the lock.
inline void forget_threads_in_child() {
    exit_gate.state = ExitGate::running;  // (a fork from an exit function: the child goes on)
    exit_gate.working = 0;
    exit_gate.coming_back = 0;
    exit_gate.exit_waiting_for_call = 0;
}

// Each extension's module init calls this once.
inline void register_close_at_exit() {
    pybind11::module_::import("atexit").attr("register")(pybind11::cpp_function([] { close_at_exit(); }));
    pthread_atfork(nullptr, nullptr, forget_threads_in_child);
}

// Releasing and taking back the interpreter lock costs more than encoding a
// few kilobytes, so small calls keep it; other threads gain nothing from it.
inline constexpr size_t release_lock_from = size_t(4) << 10;

// The interpreter lock let go for the scope when the work is large enough
// and the interpreter is not exiting (see close_at_exit).
class MaybeReleaseLock {
public:
    explicit MaybeReleaseLock(size_t work)
        : MaybeReleaseLock(work >= release_lock_from && exit_gate.state == ExitGate::running, true) {}
    ~MaybeReleaseLock() {
        if (state_ == nullptr) return;
        take_lock_back(state_, counted_);
        if (counted_) --exit_gate.working;
    }
    MaybeReleaseLock(const MaybeReleaseLock&) = delete;
    MaybeReleaseLock& operator=(const MaybeReleaseLock&) = delete;

protected:
    // `counted`: close_at_exit waits for the scope to end.
    MaybeReleaseLock(bool release, bool counted) : state_(release ? let_go(counted) : nullptr), counted_(counted) {}

private:
    static PyThreadState* let_go(bool counted) {
        if (counted) ++exit_gate.working;
        return PyEval_SaveThread();
    }

    PyThreadState* state_;
    bool counted_;
};

// Let go for the whole scope, as pybind11::gil_scoped_release, unless the
// interpreter is exiting.
class ReleasedLock : public MaybeReleaseLock {
public:
    ReleasedLock() : MaybeReleaseLock(release_lock_from) {}
};

// Let go for a wait on another call, whatever the state of the exit (that
// call may need the lock to end); close_at_exit waits for it, as such
// waits end with the work they wait for.
class LockLetGoToWait : public MaybeReleaseLock {
public:
    LockLetGoToWait() : MaybeReleaseLock(true, true) {}
};

// Let go for a read, which may wait for ever: close_at_exit does not wait
// for it, and a thread that comes back from it takes the lock back.
class LockLetGoToRead : public MaybeReleaseLock {
public:
    LockLetGoToRead() : MaybeReleaseLock(true, false) {}
};

// Holds an object's mutex without holding the interpreter lock while
// waiting for it: a thread blocked here must not stop the owner from
// taking the interpreter lock back to finish its call.
inline std::unique_lock<std::mutex> lock_call(std::mutex& call_mutex) {
    std::unique_lock<std::mutex> lock(call_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // The thread running the exit waiting here may wait for a late one.
        const bool exiting = exit_gate.state == ExitGate::closed &&
                             pthread_equal(pthread_self(), exit_gate.exiting_thread);
        if (exiting) ++exit_gate.exit_waiting_for_call;
        {
            LockLetGoToWait released;
            lock.lock();
        }
        if (exiting) --exit_gate.exit_waiting_for_call;
    }
    return lock;
}

}  // namespace vek
