"""`--cluster` on a real LocalCluster of two worker processes, started once:
the same bytes, verdicts and statuses as the single-machine path, with
damage, a worker killed mid-run, a task that keeps killing its worker, an
interrupt, and a path the workers do not see."""

from __future__ import annotations

import logging
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")
import cloudpickle  # noqa: E402
import dask  # noqa: E402

from ondrel_cli import api  # noqa: E402
from ondrel_cli.errors import CliError  # noqa: E402

TOOL = str(Path(sys.executable).with_name("ondrel-ec"))
cloudpickle.register_pickle_by_value(sys.modules[__name__])  # for the plugin below


@pytest.fixture(scope="module")
def client():
    with (dask.config.set({"distributed.scheduler.allowed-failures": 1}),
          distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                                   silence_logs=logging.CRITICAL) as cluster,
          distributed.Client(cluster) as client):
        yield client


class Sabotage(distributed.WorkerPlugin):
    """Kills the worker (SIGKILL, 50 ms into the task) or stalls it as each of
    the first `times` tasks starts, counted over all workers by files in `marks`,
    until a file `marks`.stop exists."""

    def __init__(self, marks: str, times: int, action: str) -> None:
        self.marks, self.times, self.action = marks, times, action

    def transition(self, key: object, start: str, finish: str, **kwargs: object) -> None:
        if finish != "executing" or os.path.exists(f"{self.marks}.stop"):
            return
        for mark in range(self.times):  # exclusive creation: two workers never take one mark
            try:
                open(os.path.join(self.marks, str(mark)), "x").close()
                break
            except FileExistsError:
                continue
        else:
            return
        if self.action == "kill":
            threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGKILL)).start()
        else:
            time.sleep(2)


def outcome(call) -> tuple[int, object]:
    try:
        result = call()
    except CliError as error:
        return error.code, error.message
    return getattr(result, "verdict", 0), getattr(result, "lines", None)


def contents(folder: Path) -> list[bytes]:
    return [path.read_bytes() for path in sorted(folder.iterdir())]


def encode(tmp: Path, folder: str, size: int, orig: int, rec: int, segment: int, client=None) -> Path:
    if not (tmp / "in").exists():
        (tmp / "in").write_bytes(random.Random(size).randbytes(size))
    api.encode_file(str(tmp / "in"), str(tmp / folder), orig=orig, rec=rec, segment_size=segment, client=client)
    return tmp / folder


def damage(folder: Path, lost: list[int], flips: list[tuple[int, int]]) -> None:
    paths = sorted(folder.iterdir())
    for shard, offset in flips:
        with open(paths[shard], "r+b") as file:
            file.seek(offset)
            file.write(bytes([file.read(1)[0] ^ 0x5A]))
    for shard in lost:
        paths[shard].unlink()


CASES = [  # what, size, orig, rec, segment, shards lost, (shard, offset) flipped, verdict
    ("five tasks of two parts", 36 << 20, 1, 1, 4 << 20, [], [], 0),
    ("empty file", 0, 3, 2, 4098, [], [], 0),
    ("lost and damaged shards", 20 << 20, 3, 2, 6 << 20, [4], [(1, 5000), (3, 4 << 20)], 1),
    ("too few intact pieces", 20 << 20, 3, 2, 6 << 20, [0, 4], [(1, 3 << 20)], 2),
]


@pytest.mark.parametrize("what, size, orig, rec, segment, lost, flips, verdict", CASES, ids=[c[0] for c in CASES])
def test_every_command_matches_the_single_machine_path(tmp_path: Path, client, what: str, size: int, orig: int,
                                                       rec: int, segment: int, lost: list, flips: list,
                                                       verdict: int) -> None:
    sets = [encode(tmp_path, name, size, orig, rec, segment, on) for name, on in (("here", None), ("there", client))]
    assert contents(sets[0]) == contents(sets[1])
    found = []
    for folder, on in zip(sets, (None, client)):
        damage(folder, lost, flips)
        found.append([outcome(lambda: api.verify([str(folder)], client=on)),
                      outcome(lambda: api.decode_file([str(folder)], f"{folder}.out", client=on)),
                      outcome(lambda: api.repair([str(folder)], client=on))])
    assert [status for status, _ in found[0]] == [verdict, 2 * (verdict == 2), 2 * (verdict == 2)]
    assert str(found[1]) == str(found[0]).replace("/here", "/there")
    assert contents(sets[0]) == contents(sets[1])
    outputs = [Path(f"{folder}.out") for folder in sets]
    assert [path.read_bytes() if path.exists() else None for path in outputs] == \
           [None if verdict == 2 else (tmp_path / "in").read_bytes()] * 2


@pytest.mark.parametrize("times", [1, 99], ids=["killed once", "killed every time"])
def test_a_worker_killed_mid_task(tmp_path: Path, client, times: int) -> None:
    # One death: the task runs again elsewhere and the shards come out the
    # same. Every run dying (allowed-failures is 1 here): a clean failure.
    here = encode(tmp_path, "here", 36 << 20, 1, 1, 4 << 20)
    (tmp_path / "marks").mkdir()
    client.register_plugin(Sabotage(str(tmp_path / "marks"), times, "kill"), name="sabotage")
    try:
        done = outcome(lambda: encode(tmp_path, "there", 36 << 20, 1, 1, 4 << 20, client))
    finally:
        # Disarmed before it goes: unregistering meets workers as they die otherwise.
        (tmp_path / "marks.stop").touch()
        time.sleep(0.2)
        client.wait_for_workers(2, timeout=60)
        client.unregister_worker_plugin("sabotage")
    deaths = len(os.listdir(tmp_path / "marks"))
    if times == 1:
        assert (done[0], deaths, contents(tmp_path / "there")) == (0, 1, contents(here))
    else:
        assert (done[0], deaths >= 2, os.listdir(tmp_path / "there")) == (70, True, [])
        assert "failed every time it ran" in str(done[1])


def test_command_line(tmp_path: Path, client) -> None:
    (tmp_path / "in").write_bytes(random.Random(7).randbytes(300_000))
    # Without --cluster, Dask is not even imported.
    probe = "import sys; from ondrel_cli.cli import main; main(sys.argv[1:]); print(sorted({'dask', 'distributed'} " \
            "& set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", probe, "encode", "in", "-o", "a", "-q"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.stdout == "[]\n", done.stderr
    for wrong in ("local:0", "local:x"):
        done = subprocess.run([TOOL, "verify", "a", "--cluster", wrong], cwd=tmp_path, capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 64 and "local:N needs a number of worker processes" in done.stderr, done.stderr
    # local:N starts a cluster of its own.
    subprocess.run([TOOL, "decode", "a", "-o", "out", "--cluster", "local:1"], cwd=tmp_path, check=True, timeout=120)
    assert (tmp_path / "out").read_bytes() == (tmp_path / "in").read_bytes()
    # /proc/self/cwd is tmp_path's parent on the client, another folder on the workers.
    here = f"/proc/self/cwd/{tmp_path.name}"
    for args in (["encode", f"{here}/in", "-o", tmp_path / "b"], ["verify", f"{here}/a"],
                 ["encode", tmp_path / "in", "-o", f"{here}/c"]):
        done = subprocess.run([TOOL, *map(str, args), "--cluster", client.scheduler.address], cwd=tmp_path.parent,
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 64 and f"cannot reach {here}/" in done.stderr, done.stderr
    assert os.listdir(tmp_path / "b") == os.listdir(tmp_path / "c") == []
    # Interrupted while a task stalls: exit 130, no temporary file left.
    (tmp_path / "marks").mkdir()
    client.register_plugin(Sabotage(str(tmp_path / "marks"), 1, "stall"), name="stall")
    try:
        with subprocess.Popen([TOOL, "encode", "in", "-o", "b", "--cluster", client.scheduler.address],
                              cwd=tmp_path, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as proc:
            while not os.listdir(tmp_path / "marks"):
                time.sleep(0.02)
            proc.send_signal(signal.SIGINT)
            assert proc.wait(timeout=60) == 130
    finally:
        client.unregister_worker_plugin("stall")
    assert os.listdir(tmp_path / "b") == []
