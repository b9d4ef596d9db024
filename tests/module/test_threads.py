"""Objects on threads: separate ones run in parallel and give the bytes one
thread gives; one shared object keeps each call whole; the interpreter lock
is released while the core works."""

import os
import random
import signal
import threading
import time
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

import vek
from conftest import compress_pieces, inflate


def chunks(seed, count=6, size=200_000):
    rng = random.Random(seed)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(300)]
    return [b" ".join(rng.choice(words) for _ in range(size // 6)) for _ in range(count)]


def test_separate_objects_on_threads_match_one_thread():
    jobs = [(seed, level, fmt) for seed in range(4) for level in (0, 1) for fmt in (0, 1, 2)]
    expected = [compress_pieces(chunks(seed), level, fmt) for seed, level, fmt in jobs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        got = list(pool.map(lambda job: compress_pieces(chunks(job[0]), job[1], job[2]), jobs))
    assert got == expected


def test_shared_object_keeps_every_call_whole():
    # Storing leaves no bits pending, so each call's result must be complete
    # stored blocks of exactly its own input, whichever thread got in first.
    shared = vek.compressobj(0, 2)
    barrier = threading.Barrier(6)

    def worker(seed):
        barrier.wait()
        results = []
        for piece in chunks(seed, count=10, size=50_000):
            results.append((piece, shared.compress(piece)))
        return results

    with ThreadPoolExecutor(max_workers=6) as pool:
        for results in pool.map(worker, range(6)):
            for piece, out in results:
                assert inflate(out + b"\x03\x00", 2) == piece
    assert shared.flush() == b"\x03\x00"


def test_shared_compressing_object_stays_memory_safe():
    shared = vek.compressobj(1, 0)
    with ThreadPoolExecutor(max_workers=4) as pool:
        outs = list(pool.map(lambda seed: [shared.compress(p) for p in chunks(seed, 4, 100_000)], range(8)))
    assert sum(len(o) for group in outs for o in group) > 0
    assert len(shared.flush()) >= 8
    assert shared.flush() == b""


def test_interpreter_lock_is_released_during_the_core_call():
    data = os.urandom(1 << 20) * 48
    counter = [0]
    seen = {}
    done = threading.Event()

    def compress():
        c = vek.compressobj(1, 0)
        seen["before"] = counter[0]
        c.compress(data)
        seen["after"] = counter[0]
        done.set()

    t = threading.Thread(target=compress)
    t.start()
    while not done.is_set():
        counter[0] += 1
    t.join()
    assert seen["after"] - seen["before"] > 10_000, "no Python thread ran while compressing"


def test_objects_interleaved_on_one_thread_give_the_bytes_each_gives_alone():
    # All objects of a thread share its match table; each call must still
    # see only its own input.
    pieces = chunks(7, count=5, size=30_000)
    alone = [compress_pieces(pieces[i:] + pieces[:i], 1, i % 3) for i in range(4)]
    objects = [vek.compressobj(1, i % 3) for i in range(4)]
    outs = [[] for _ in objects]
    for step in range(len(pieces)):
        for i, c in enumerate(objects):
            outs[i].append(c.compress((pieces[i:] + pieces[:i])[step]))
    assert [b"".join(o) + c.flush() for o, c in zip(outs, objects)] == alone


def test_small_messages_on_many_threads_match_one_thread():
    messages = [m[: 50 + 37 * i] for i, m in enumerate(chunks(3, count=40, size=3_000))]
    expected = [compress_pieces([m], 1, 0) for m in messages]
    with ThreadPoolExecutor(max_workers=8) as pool:
        for _ in range(5):
            assert list(pool.map(lambda m: compress_pieces([m], 1, 0), messages)) == expected


@pytest.mark.parametrize("busy_at_fork", [True, False])
def test_a_forked_child_never_waits_for_a_compressobj_the_parent_was_inside(busy_at_fork):
    # A thread of the parent inside compress() at the fork held the object's
    # mutex in the child for good: the child's call waited for ever. Now
    # the child is refused; an object idle at the fork is the child's own.
    obj = vek.compressobj(1, vek.VEK_FMT_GZIP)
    head = obj.compress(b"before the fork " * 1000)
    worker = None
    if busy_at_fork:
        started = threading.Event()

        def work():
            started.set()
            obj.compress(os.urandom(1 << 20) * 48)

        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        time.sleep(0.05)
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a hang ends the child
        try:
            out = head + obj.compress(b"child " * 1000) + obj.flush()
            ok = zlib.decompress(out, 31) == b"before the fork " * 1000 + b"child " * 1000
            os._exit(0 if ok and not busy_at_fork else 3)
        except RuntimeError:
            os._exit(4 if busy_at_fork else 5)
        os._exit(6)
    _, status = os.waitpid(pid, 0)
    if worker is not None:
        worker.join()
    assert os.waitstatus_to_exitcode(status) == (4 if busy_at_fork else 0)
