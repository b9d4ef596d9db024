#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "buffer_pool.h"
#include "engine_support.h"
#include "fork_guard.h"

namespace vek::test {
namespace {

// The sanitizers' runtimes are not fork-safe while other threads run:
// ThreadSanitizer's own locks, and AddressSanitizer's allocator (GCC 12's
// takes no lock around fork()), can be held by a thread of the parent at
// the fork, and the child then hangs for good in its first allocation.
// These tests run in the plain build instead.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "fork() with threads under a sanitizer"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

// Runs `child` in a forked child; its return value is the exit status.
template <class Child>
int in_child(Child&& child) {
    const pid_t pid = fork();
    if (pid == 0) _exit(child());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

TEST(ForkGuard, AChildIsAnotherGeneration) {
    SKIP_UNDER_SANITIZERS();
    const uint64_t parent = fork_generation();
    EXPECT_EQ(in_child([&] { return fork_generation() != parent ? 0 : 1; }), 0);
    EXPECT_EQ(fork_generation(), parent);
}

// The parent's pool may be locked by a thread the child lacks: the child
// starts a pool of its own and never hands out the parent's buffers.
TEST(ForkGuard, AChildNeverTakesTheParentsKeptBuffers) {
    SKIP_UNDER_SANITIZERS();
    PooledBuffer a = BufferPool::take(1 << 20);
    uint8_t* const kept = a.bytes.get();
    BufferPool::give(std::move(a));
    EXPECT_EQ(in_child([&] {
        PooledBuffer b = BufferPool::take(1 << 20);
        return b.bytes.get() != kept ? 0 : 1;
    }), 0);
}

// A fork just as new workers make their first calls to the pool, some
// holding whatever lock that takes: the child's pool never waits for it (a
// lock shared by every process image hung a child for good).
TEST(ForkGuard, AChildNeverWaitsForALockOfTheParentsWorkers) {
    SKIP_UNDER_SANITIZERS();
    const Bytes in = engine_input(3, 40'000);
    int hung = 0;
    for (int i = 0; i < 200 && hung == 0; ++i) {
        ParallelStream stream(1, format_gzip, 2, -1);
        for (int j = 0; j < 2; ++j) {
            auto job = std::make_unique<Job>();
            job->data = in.data();
            job->size = in.size();
            stream.submit(std::move(job));
        }
        hung = in_child([] {
            alarm(10);  // a hang ends the child with SIGALRM
            BufferPool::give(BufferPool::take(4096));
            return 0;
        });
        std::vector<std::unique_ptr<Job>> returned;
        stream.stop(returned);
    }
    EXPECT_EQ(hung, 0);
}

// A stream copied into a child has no workers there: forsaking it hands
// its jobs back without waiting, and a fresh stream in the child works.
TEST(ForkGuard, AChildForsakesTheParentsStreamAndCompressesWithItsOwn) {
    SKIP_UNDER_SANITIZERS();
    const Bytes in = engine_input(9, 100'000);
    const Bytes expected = run_stream(in, 10'000, 1, format_gzip, 0).bytes;
    auto stream = std::make_unique<ParallelStream>(1, format_gzip, 2, -1);
    auto job = std::make_unique<Job>();
    job->data = in.data();
    job->size = in.size();
    stream->submit(std::move(job));
    EXPECT_EQ(in_child([&] {
        std::vector<std::unique_ptr<Job>> returned;
        stream->forsake(returned);  // the workers' state is the parent's: left untouched
        if (returned.size() != 1) return 1;
        return run_stream(in, 10'000, 1, format_gzip, 0).bytes == expected ? 0 : 2;
    }), 0);
    std::vector<std::unique_ptr<Job>> returned;
    stream->stop(returned);
    EXPECT_EQ(returned.size(), 1u);
}

}  // namespace
}  // namespace vek::test
