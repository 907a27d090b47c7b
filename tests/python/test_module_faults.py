"""Hostile conditions at the module boundary, each in a fresh interpreter:
threads still coding while the interpreter exits, and sequences whose
__len__ lies."""

import subprocess
import sys
import textwrap

import pytest

EXIT_WHILE_CODING = """
import sys, threading, time, ondrel_ec
data = bytes(range(256)) * 1024
calls = {
    "encode_py": lambda: ondrel_ec.encode_py(data, 8, 8),
    "decode_py": lambda: ondrel_ec.decode_py([(data[:1 << 14], i) for i in range(4, 12)], 8, 8),
    "multi_encode_py": lambda: ondrel_ec.multi_encode_py([data[:1 << 16]] * 4, 8, 8),
}
call = calls[sys.argv[1]]
def loop():
    while True:
        call()
for _ in range(6):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.02)
sys.exit(7)
"""


@pytest.mark.parametrize("function", ["encode_py", "decode_py", "multi_encode_py"])
def test_daemon_threads_coding_at_exit_leave_the_exit_status_alone(function):
    # Threads that take the lock back while the interpreter finalizes are
    # ended by it; that must not abort the process. The race is timing
    # dependent, so every function gets several runs.
    codes = [subprocess.run([sys.executable, "-c", EXIT_WHILE_CODING, function], capture_output=True,
                            timeout=120).returncode for _ in range(12)]
    assert codes == [7] * 12


LYING_LENGTH = """
import resource, ondrel_ec
class Liar(list):
    def __len__(self):
        return 2 ** 62
shards = ondrel_ec.encode_py(bytes(64), 2, 2)
ondrel_ec.multi_encode_py([b"warm"], 2, 2)   # starts the pool before the limit
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (96 << 20), hard))
assert ondrel_ec.decode_py(Liar([(shards[1], 1), (shards[2], 2)]), 2, 2) == bytes(64)
assert ondrel_ec.multi_encode_py(Liar([bytes(64)]), 2, 2) == [shards]
assert ondrel_ec.encode_py(Liar(bytes(64)), 2, 2) == shards
print("ok")
"""


def test_a_lying_len_reserves_nothing_it_claims():
    # Under an address-space limit 96 MiB above what the process uses, any
    # reservation sized from __len__ fails with MemoryError.
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(LYING_LENGTH)], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout == "ok\n", done.stderr
