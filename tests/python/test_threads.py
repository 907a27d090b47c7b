"""Threads: the interpreter lock is released while coding, concurrent callers
get correct results, and the worker pool is sized from the environment."""

import os
import random
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from ondrel_ec import decode_py, encode_py, multi_encode_py


def test_other_threads_run_while_encode_py_works():
    # The ticker needs the interpreter lock for every tick, so its ticks can
    # fall well inside encode_py calls only when those calls release the lock.
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    data = random.Random(5).randbytes(1 << 24)
    calls = []
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        while len(calls) < 40 and sum(end - start for start, end in calls) < 0.4:
            start = time.monotonic()
            encode_py(data, 8, 8)
            calls.append((start, time.monotonic()))
    finally:
        done.set()
        thread.join()
    middles = [(start + (end - start) / 4, end - (end - start) / 4) for start, end in calls]
    assert sum(any(low < tick < high for low, high in middles) for tick in ticks) >= 2


def test_concurrent_calls_of_all_functions():
    rng = random.Random(11)
    jobs = []
    for _ in range(16):
        orig, rec = rng.choice([(2, 1), (3, 3), (8, 4), (4, 9)])
        jobs.append((rng.randbytes(rng.randrange(0, 3000)), orig, rec))
    expected = [encode_py(*job) for job in jobs]

    def work(n):
        data, orig, rec = jobs[n]
        shards = encode_py(data, orig, rec)
        indices = list(range(orig + rec))[-orig:]
        restored = decode_py([(shards[i], i) for i in reversed(indices)], orig, rec)
        batch = multi_encode_py([data, data[::-1], b""], orig, rec)
        return n, shards, restored, batch

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(work, list(range(len(jobs))) * 4))
    for n, shards, restored, batch in results:
        data, orig, rec = jobs[n]
        assert shards == expected[n]
        assert restored == b"".join(expected[n][:orig])
        assert batch == [expected[n], encode_py(data[::-1], orig, rec), [b""] * (orig + rec)]


POOL_PROBE = """
import os, ondrel_ec
segments = [bytes([i]) * (i * 37 % 301) for i in range(64)]
before = len(os.listdir("/proc/self/task"))
batch = ondrel_ec.multi_encode_py(segments, 3, 2)
started = len(os.listdir("/proc/self/task")) - before
os.environ["RAYON_NUM_THREADS"] = "5"
again = ondrel_ec.multi_encode_py(segments, 3, 2)
unchanged = len(os.listdir("/proc/self/task")) - before == started
correct = batch == again == [ondrel_ec.encode_py(s, 3, 2) for s in segments]
print(started, unchanged, correct)
"""

HARDWARE_THREADS = len(os.sched_getaffinity(0))


@pytest.mark.parametrize("environment, pool_size", [
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+3", "RAYON_RS_NUM_CPUS": "2"}, 3),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, HARDWARE_THREADS),
    ({}, HARDWARE_THREADS),
])
def test_pool_size_comes_from_the_environment(environment, pool_size):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(environment)
    done = subprocess.run([sys.executable, "-c", POOL_PROBE], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [str(pool_size), "True", "True"]
