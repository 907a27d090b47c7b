"""`ondrel-ec encode`, `verify` and `decode` of one large file on the single
machine, with `--cluster local:1` and `local:2` (each run starting and
stopping its LocalCluster), and on already running clusters of one and two
worker processes (`tcp://`), where the client, the scheduler and the workers
are separate processes whose CPU times are reported apart. Runs are
interleaved, best of --runs. Not a test.

    .venv/bin/python scripts/cluster_bench.py --size 2048 [-k 10 -m 4] [--runs 3] [--dir /tmp]

Everything it writes lives in a temporary directory that is removed at the end.
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from distributed import Client

TOOL = str(Path(sys.executable).with_name("ondrel-ec"))
TICK = os.sysconf("SC_CLK_TCK")
# A LocalCluster in a process of its own, serving until its standard input closes.
SERVE = """
import logging, sys
from distributed import LocalCluster
cluster = LocalCluster(n_workers=int(sys.argv[1]), threads_per_worker=1, dashboard_address=":0",
                       silence_logs=logging.CRITICAL)
print(cluster.scheduler_address, flush=True)
sys.stdin.read()
cluster.close()
"""


def process_cpu(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def worker_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Served:
    """A running cluster of `workers` worker processes and a client to it."""

    def __init__(self, workers: int) -> None:
        self.process = subprocess.Popen([sys.executable, "-c", SERVE, str(workers)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        self.address = self.process.stdout.readline().strip()
        self.client = Client(self.address)
        self.client.wait_for_workers(workers)

    def cpu(self) -> tuple[float, float]:
        """CPU seconds of the scheduler's process and of all workers so far."""
        return process_cpu(self.process.pid), sum(self.client.run(worker_cpu).values())

    def close(self) -> None:
        self.client.close()
        assert self.process.stdin is not None
        self.process.stdin.close()
        self.process.wait(60)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=2048, help="file size in MiB (default 2048)")
    parser.add_argument("-k", default="10")
    parser.add_argument("-m", default="4")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where to put the files (default: /tmp)")
    args = parser.parse_args()
    size = args.size << 20
    work = Path(tempfile.mkdtemp(prefix="ondrel-ec-cluster-bench-", dir=args.dir))
    served = {"tcp 1": Served(1), "tcp 2": Served(2)}
    modes: dict[str, list[str]] = {"single": [], "local:1": ["--cluster", "local:1"],
                                   "local:2": ["--cluster", "local:2"]}
    modes.update({name: ["--cluster", cluster.address] for name, cluster in served.items()})
    best: dict[tuple[str, str], tuple[float, float, float, float]] = {}
    try:
        source = work / "input.bin"
        block = random.Random(1).randbytes(64 << 20)
        with open(source, "wb") as out:
            for at in range(0, size, len(block)):
                out.write(block[:size - at])
        for run in range(args.runs):
            for mode, extra in modes.items():
                shards = work / "shards"
                commands = {"encode": ["encode", str(source), "-k", args.k, "-m", args.m, "-o", str(shards), "-f"],
                            "verify": ["verify", str(shards)],
                            "decode": ["decode", str(shards), "-o", str(work / "out.bin"), "-f"]}
                for command, arguments in commands.items():
                    cluster = served.get(mode)
                    scheduler, workers = cluster.cpu() if cluster else (0.0, 0.0)
                    before, started = children_cpu(), time.perf_counter()
                    subprocess.run([TOOL, *arguments, "-q", *extra], check=True)
                    seconds, client = time.perf_counter() - started, children_cpu() - before
                    if cluster:
                        scheduler_after, workers_after = cluster.cpu()
                        scheduler, workers = scheduler_after - scheduler, workers_after - workers
                    print(f"run {run + 1} {mode:8s} {command:6s} {seconds:6.2f} s  {size / seconds / 1e6:5.0f} MB/s  "
                          f"CPU: command {client:5.2f} s, scheduler {scheduler:5.2f} s, workers {workers:5.2f} s",
                          flush=True)
                    if (mode, command) not in best or seconds < best[mode, command][0]:
                        best[mode, command] = (seconds, client, scheduler, workers)
        cached = subprocess.run(["fincore", str(source), *[str(path) for path in sorted(shards.iterdir())[:2]]],
                                capture_output=True, text=True).stdout if shutil.which("fincore") else ""
        print("\npage cache after the last run (fincore):\n" + cached)
    finally:
        for cluster in served.values():
            cluster.close()
        shutil.rmtree(work, ignore_errors=True)
    print(f"best of {args.runs}, {args.size} MiB, -k {args.k} -m {args.m}; the command's CPU time includes, for "
          f"local:N, its scheduler and workers")
    print("| mode | " + " | ".join(f"{c} s (MB/s)" for c in ("encode", "verify", "decode")) + " | command CPU s |")
    commands = ("encode", "verify", "decode")
    for mode in modes:
        cells = [f"{best[mode, c][0]:.2f} ({size / best[mode, c][0] / 1e6:.0f})" for c in commands]
        cpu = " / ".join(f"{best[mode, c][1]:.2f}" for c in commands)
        print(f"| {mode} | " + " | ".join(cells) + f" | {cpu} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
