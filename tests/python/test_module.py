"""The module's surface and process-wide behaviour: attributes, import rules,
the kernel set chosen from the environment, and threads."""

import random
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import ondrel_ec
from ondrel_ec import decode_py, encode_py, multi_encode_py

def run_python(code):
    """Runs `code` in a fresh interpreter and returns its standard output."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_surface():
    signatures = {"encode_py": "(data, orig, rec)", "decode_py": "(shards, orig, rec)",
                  "multi_encode_py": "(segments, orig, rec)"}
    assert type(ondrel_ec.__all__) is list and ondrel_ec.__all__ == list(signatures)
    assert ondrel_ec.__doc__ == "" and not hasattr(ondrel_ec, "InternalFailure")
    for name, text_signature in signatures.items():
        function = getattr(ondrel_ec, name)
        assert (function.__name__, function.__text_signature__, function.__doc__) == (name, text_signature, None)
        assert function.__module__ == "ondrel_ec" and function.__self__ is ondrel_ec


def test_reinitialising_returns_the_same_module():
    out = run_python("""
        import sys, ondrel_ec
        first = ondrel_ec
        del sys.modules["ondrel_ec"]
        import ondrel_ec
        print(first is ondrel_ec, ondrel_ec.__all__)
    """)
    assert out.split("\n")[0] == "True ['encode_py', 'decode_py', 'multi_encode_py']"


def test_second_interpreter_cannot_import():
    # A legacy (non-isolated) subinterpreter reaches the module's own check.
    out = run_python("""
        import ondrel_ec, _xxsubinterpreters as interpreters
        other = interpreters.create(isolated=False)
        try:
            interpreters.run_string(other, "import ondrel_ec")
        except interpreters.RunFailedError as failure:
            print(failure)
        print(ondrel_ec.encode_py(b"ab", 1, 1))
    """)
    failure, still_usable = out.strip().split("\n")
    assert failure.startswith("<class 'ImportError'>:") and "subinterpreters" in failure
    assert still_usable == "[b'ab', b'ab']"


@pytest.mark.parametrize("value, expected", [
    ("avx9", "ONDREL_EC_KERNEL=avx9: no kernel set has this name; this machine runs: "),
    ("", None),
])
def test_kernel_set_from_the_environment(value, expected):
    # Read once, at the first coding call: a name that cannot be used fails
    # every coding call (after the argument checks), never falls back.
    out = run_python(f"""
        import os
        os.environ["ONDREL_EC_KERNEL"] = {value!r}
        import ondrel_ec
        calls = [lambda: ondrel_ec.encode_py(b"ab", 1, 1), lambda: ondrel_ec.multi_encode_py([], 0, 0),
                 lambda: ondrel_ec.decode_py([(b"ab", 0)], 1, 1), lambda: ondrel_ec.encode_py("x", 1, 1)]
        for call in calls + [lambda: os.environ.update(ONDREL_EC_KERNEL="scalar"), calls[0]]:
            try:
                print(repr(call()))
            except (RuntimeError, TypeError) as error:
                print(type(error).__name__, error)
    """).splitlines()
    if expected is None:
        assert out[:3] == ["[b'ab', b'ab']", "[]", "b'ab'"]
    else:
        assert all(line.startswith("RuntimeError " + expected) and line.endswith(", ssse3, scalar") for line in out[:3])
        assert out[5].startswith("RuntimeError " + expected)
    assert out[3] == "TypeError argument 'data': Can't extract `str` to `Vec`"


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
    jobs = [(rng.randbytes(rng.randrange(0, 3000)), *rng.choice([(2, 1), (3, 3), (8, 4), (4, 9)])) for _ in range(16)]
    expected = [encode_py(*job) for job in jobs]

    def work(n):
        data, orig, rec = jobs[n]
        shards = encode_py(data, orig, rec)
        restored = decode_py([(shards[i], i) for i in reversed(range(rec, orig + rec))], orig, rec)
        return n, shards, restored, multi_encode_py([data, data[::-1], b""], orig, rec)

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(work, list(range(len(jobs))) * 4))
    for n, shards, restored, batch in results:
        data, orig, rec = jobs[n]
        assert shards == expected[n] and restored == b"".join(expected[n][:orig])
        assert batch == [expected[n], encode_py(data[::-1], orig, rec), [b""] * (orig + rec)]
