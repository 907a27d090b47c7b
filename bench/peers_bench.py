"""ondrel_ec next to the erasure-coding libraries a Python user would otherwise pick.

Run with the benchmark virtual environment that `make bench` prepares
(.venv-bench: ondrel_ec, zfec and pyeclib; Debian's par2 on PATH):
    .venv-bench/bin/python bench/peers_bench.py [--size-mib 32] [--isal-json FILE]

All peers run in this one script run, count pair by count pair, on the same
random data (a prefix of it where a peer is slow), so ratios hold on a noisy
machine. Figures are MB/s (10^6 bytes) of original data, best of several runs;
"(N.Nx)" after a peer's figure is ondrel_ec's speed divided by that peer's,
both on the same bytes (ondrel_ec is timed again on the prefix a slow peer got).
What each column times:
  ondrel_ec   encode_py(data) -> all shards; decode_py(recovery shards first,
              then originals) -> padded data. Single-threaded.
  pyeclib     ECDriver(ec_type='isa_l_rs_vand').encode(data) -> fragments;
              decode(recovery fragments first, then data fragments) -> data.
              ISA-L over GF(2^8): at most 255 fragments in all.
  zfec        Encoder(k, k+rec).encode(k equal blocks cut from the data);
              Decoder.decode(recovery shares first, then primary shares).
              GF(2^8): at most 256 shares in all.
  par2        `par2 create -t1 -T1 -s<block bytes> -c<rec> -n1` on a file of
              the data in a tmpfs directory (k source blocks of equal size,
              rec recovery blocks, GF(2^16)), wall time of the command, which
              includes process start, reading the file and MD5/CRC32 hashing;
              decode = `par2 repair -t1 -T1` after zeroing the first min(k,rec)
              blocks (or removing the file when all are lost), which includes
              the verification scan and writing the repaired file.
  C++ level   from bench/isal_perf (Google Benchmark, 64 KiB shards):
              ondrel's ReedSolomonEncoder next to ISA-L ec_init_tables +
              ec_encode_data with a Cauchy matrix; at most 255 shards in all.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import ondrel_ec

MB = 1_000_000
MIB = 1 << 20
PAIRS = [(10, 4), (32, 16), (64, 32), (128, 64), (200, 55), (342, 681), (1000, 1000)]
MEMORY_PAIR = (64, 32)
FAULT_PAIRS = [(10, 4), (64, 32)]
NA = "n/a"

try:
    import zfec
except ImportError:  # pragma: no cover - reported as n/a
    zfec = None
try:
    from pyeclib.ec_iface import ECDriver
except ImportError:  # pragma: no cover - reported as n/a
    ECDriver = None
PAR2 = shutil.which("par2")


def best_time(fn: Callable[[], object], repeat: int = 3, budget: float = 4.0) -> float:
    """Best wall time of up to `repeat` calls, fewer when the budget (s) is spent."""
    best = float("inf")
    spent = 0.0
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - start
        best = min(best, elapsed)
        spent += elapsed
        if spent > budget:
            break
    return best


def faults_per_call(fn: Callable[[], object], calls: int = 3) -> int:
    """Fewest minor page faults (first touches of fresh pages) over `calls` calls."""
    fewest = None
    for _ in range(calls):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        fn()
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
        fewest = faults if fewest is None else min(fewest, faults)
    return fewest or 0


def first_touch_ms(pages: int) -> float:
    """Wall time (ms) of touching `pages` fresh 4 KiB pages once each, nothing else."""
    best = float("inf")
    for _ in range(3):
        buf = mmap.mmap(-1, pages * 4096)
        start = time.perf_counter()
        buf[:: 4096] = bytes(pages)
        best = min(best, time.perf_counter() - start)
        buf.close()
    return best * 1e3


def peer_size(encode_at: Callable[[int], object], full: int, seconds: float = 1.0) -> int:
    """Bytes a slow peer gets: what it encodes in about `seconds`, from 1 MiB up to `full`."""
    start = time.perf_counter()
    encode_at(MIB)
    rate = MIB / max(time.perf_counter() - start, 1e-6)
    size = int(rate * seconds) // MIB * MIB
    return max(MIB, min(full, size))


# --- the codecs: each returns (encode, decode, check) closures or None ---------


def ondrel_case(data: bytes, k: int, rec: int):
    shards = ondrel_ec.encode_py(data, k, rec)
    lost = min(k, rec)
    given = [(shards[k + r], k + r) for r in range(lost)] + [(shards[j], j) for j in range(lost, k)]
    if ondrel_ec.decode_py(given, k, rec)[: len(data)] != data:
        raise RuntimeError("ondrel_ec decode mismatch")
    return (lambda: ondrel_ec.encode_py(data, k, rec)), (lambda: ondrel_ec.decode_py(given, k, rec))


def pyeclib_driver(k: int, rec: int):
    if ECDriver is None:
        return None
    try:
        return ECDriver(k=k, m=rec, ec_type="isa_l_rs_vand")
    except Exception:  # refused counts (more than 255 in all)
        return None


def pyeclib_case(data: bytes, k: int, rec: int):
    driver = pyeclib_driver(k, rec)
    if driver is None:
        return None
    fragments = driver.encode(data)
    lost = min(k, rec)
    given = fragments[k : k + lost] + fragments[lost:k]
    if driver.decode(given) != data:
        raise RuntimeError("pyeclib decode mismatch")
    return (lambda: driver.encode(data)), (lambda: driver.decode(given))


def zfec_blocks(data: bytes, k: int) -> list[bytes]:
    block = -(-len(data) // k)
    padded = data + bytes(block * k - len(data))
    return [padded[i * block : (i + 1) * block] for i in range(k)]


def zfec_case(data: bytes, k: int, rec: int):
    if zfec is None or k + rec > 256:
        return None
    m = k + rec
    encoder = zfec.Encoder(k, m)
    decoder = zfec.Decoder(k, m)
    blocks = zfec_blocks(data, k)
    shares = blocks + list(encoder.encode(blocks, list(range(k, m))))
    lost = min(k, rec)
    nums = list(range(k, k + lost)) + list(range(lost, k))
    given = [shares[n] for n in nums]
    if b"".join(decoder.decode(given, nums))[: len(data)] != data:
        raise RuntimeError("zfec decode mismatch")

    def encode() -> object:
        return encoder.encode(zfec_blocks(data, k))

    return encode, (lambda: decoder.decode(given, nums))


class Par2Case:
    """par2 create/repair on a file of the data in a tmpfs directory."""

    def __init__(self, data: bytes, k: int, rec: int, workdir: str) -> None:
        self.block = max(4, len(data) // k // 4 * 4)
        self.data = data[: self.block * k]
        self.k, self.rec = k, rec
        self.dir = tempfile.mkdtemp(dir=workdir)
        self.file = os.path.join(self.dir, "data.bin")
        with open(self.file, "wb") as f:
            f.write(self.data)

    def _run(self, *args: str) -> None:
        subprocess.run([PAR2, *args], cwd=self.dir, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def _clear(self, keep_data: bool) -> None:
        for name in os.listdir(self.dir):
            if name != "data.bin" or not keep_data:
                os.remove(os.path.join(self.dir, name))

    def encode(self) -> None:
        self._clear(keep_data=True)
        self._run("create", "-q", "-q", "-t1", "-T1", f"-s{self.block}", f"-c{self.rec}", "-n1", "data.par2",
                  "data.bin")

    def damage(self) -> None:
        for name in os.listdir(self.dir):
            if name.startswith("data.bin"):
                os.remove(os.path.join(self.dir, name))
        lost = min(self.k, self.rec)
        if lost < self.k:
            with open(self.file, "wb") as f:
                f.write(bytes(lost * self.block) + self.data[lost * self.block :])

    def decode(self) -> None:
        self._run("repair", "-q", "-q", "-t1", "-T1", "data.par2")

    def check(self) -> None:
        with open(self.file, "rb") as f:
            if f.read() != self.data:
                raise RuntimeError("par2 repair mismatch")

    def close(self) -> None:
        shutil.rmtree(self.dir, ignore_errors=True)


def time_par2(data: bytes, k: int, rec: int, workdir: str) -> tuple[float, float, int]:
    """Best create and repair times (s) and the bytes they covered."""
    case = Par2Case(data, k, rec, workdir)
    try:
        t_enc = best_time(case.encode, repeat=3, budget=3.0)
        if not os.path.exists(os.path.join(case.dir, "data.par2")):
            case.encode()
        t_dec = float("inf")
        for _ in range(3):
            case.damage()
            start = time.perf_counter()
            case.decode()
            elapsed = time.perf_counter() - start
            t_dec = min(t_dec, elapsed)
            case.check()
            if elapsed > 1.5:
                break
        return t_enc, t_dec, len(case.data)
    finally:
        case.close()


# --- peak memory: one fresh process per library -------------------------------

MEMORY_CHILD = r"""
import os, random, resource, subprocess, sys, tempfile
lib, k, rec, size, workdir = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
sys.path.insert(0, os.path.dirname(sys.argv[6]))
import peers_bench as pb
def hwm():  # this process's own peak RSS in KiB (ru_maxrss would include the parent's before exec)
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
if lib == "par2":
    # The data goes to the file in pieces, so that this interpreter stays small:
    # a child's ru_maxrss starts from the peak RSS of the process it was spawned from.
    block = max(4, size // k // 4 * 4)
    d = tempfile.mkdtemp(dir=workdir)
    with open(os.path.join(d, "data.bin"), "wb") as f:
        for start in range(0, block * k, 1 << 20):
            f.write(os.urandom(min(1 << 20, block * k - start)))
    def run(*args):
        proc = subprocess.Popen([pb.PAR2, *args], cwd=d, stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode:
            sys.exit(f"par2 {args[0]} failed")
        return usage.ru_maxrss
    base = hwm()
    peak = run("create", "-q", "-q", "-t1", "-T1", f"-s{block}", f"-c{rec}", "-n1", "data.par2", "data.bin")
    lost = min(k, rec)
    with open(os.path.join(d, "data.bin"), "r+b") as f:
        for start in range(0, lost * block, 1 << 20):
            f.write(bytes(min(1 << 20, lost * block - start)))
    peak = max(peak, run("repair", "-q", "-q", "-t1", "-T1", "data.par2"))
    subprocess.run(["rm", "-rf", d])
else:
    data = os.urandom(size)  # allocated once: no transient copy in the baseline
    base = hwm()
    maker = {"ondrel_ec": pb.ondrel_case, "pyeclib": pb.pyeclib_case, "zfec": pb.zfec_case}[lib]
    case = maker(data, k, rec)
    if case is None:
        print("n/a"); sys.exit()
    case[0](); case[1]()
    peak = hwm()
print(base, peak)
"""


def peak_memory(lib: str, k: int, rec: int, size: int, workdir: str) -> str:
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, lib, str(k), str(rec), str(size), workdir, os.path.abspath(__file__)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    if out == [NA]:
        return NA
    base, peak = (int(v) / 1024 for v in out)
    if lib == "par2":
        # A child's ru_maxrss cannot be below the peak of the process it was spawned from.
        bound = "<= " if peak <= base + 1 else ""
        return (f"{bound}{peak:.0f} MiB (the par2 processes, create and repair; spawned from a {base:.0f} MiB "
                "interpreter)")
    return f"{peak:.0f} MiB ({peak - base:+.0f} MiB over the interpreter with the libraries and the data loaded)"


# --- C++ level ------------------------------------------------------------------


def load_isal(path: str | None) -> dict[tuple[str, int, int], float]:
    """MB/s by (library, k, rec) from isal_perf's JSON output."""
    rates: dict[tuple[str, int, int], float] = {}
    if not path or not os.path.exists(path):
        return rates
    with open(path) as f:
        report = json.load(f)
    for bench in report.get("benchmarks", []):
        name = bench["name"].split("/")
        if len(name) < 2 or bench.get("error_occurred") or "bytes_per_second" not in bench:
            continue
        k, rec = (int(v) for v in name[1].split("x")[:2])
        rates[(name[0].removesuffix("_encode"), k, rec)] = bench["bytes_per_second"] / MB
    return rates


# --- the table ------------------------------------------------------------------


def cell(rate: float | None, ours: float | None = None) -> str:
    if rate is None:
        return NA
    text = f"{rate:7.1f}"
    if ours is not None:
        text += f" ({ours / rate:5.1f}x)"
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size-mib", type=int, default=32, help="data per count pair (default 32)")
    parser.add_argument("--isal-json", default=None,
                        help="isal_perf JSON output (default: build/bench/bench/isal_perf.json)")
    parser.add_argument("--segments", type=int, default=2000)
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    isal_json = args.isal_json or os.path.join(root, "build", "bench", "bench", "isal_perf.json")
    isal = load_isal(isal_json)
    workdir = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else tempfile.gettempdir()

    full = args.size_mib * MIB
    rng = random.Random(1)
    data = b"".join(rng.randbytes(MIB) for _ in range(args.size_mib))
    versions = {
        "zfec": getattr(zfec, "__version__", "?") if zfec else "missing",
        "pyeclib": "isa_l_rs_vand" if pyeclib_driver(10, 4) else "missing",
        "par2": (subprocess.run([PAR2, "-V"], capture_output=True, text=True).stdout.split("\n")[0]
                 if PAR2 else "missing"),
    }
    print(f"peers: zfec {versions['zfec']}, pyeclib {versions['pyeclib']}, {versions['par2']}; "
          f"data {args.size_mib} MiB per pair")
    print("pair         enc/dec: MB/s of original data, (ondrel_ec / peer)")

    rows = []
    faults: dict[tuple[int, int], dict[str, tuple[int, float]]] = {}
    sizes_used: list[str] = []
    for k, rec in PAIRS:
        row: dict[str, float | None] = {}
        ours: dict[int, tuple[float, float]] = {}

        def ondrel_at(size: int) -> tuple[float, float]:
            """ondrel_ec's encode/decode MB/s on the first `size` bytes: ratios use the same bytes."""
            if size not in ours:
                enc, dec = ondrel_case(data[:size], k, rec)
                ours[size] = (size / best_time(enc, repeat=5) / MB, size / best_time(dec, repeat=5) / MB)
            return ours[size]

        row["ondrel_enc"], row["ondrel_dec"] = ondrel_at(full)
        if (k, rec) in FAULT_PAIRS:
            # Fresh result memory costs a page fault per 4 KiB page on first
            # touch; whether a call pays it depends on what the allocator kept.
            enc, _ = ondrel_case(data, k, rec)
            pages = faults_per_call(enc)
            faults[(k, rec)] = {"ondrel_ec": (pages, best_time(enc, repeat=3))}
            p_case = pyeclib_case(data, k, rec)
            if p_case is not None:
                faults[(k, rec)]["pyeclib"] = (faults_per_call(p_case[0]), best_time(p_case[0], repeat=3))
        for name, maker in (("pyeclib", pyeclib_case), ("zfec", zfec_case)):
            probe = maker(data[:MIB], k, rec)
            if probe is None:
                row[f"{name}_enc"] = row[f"{name}_dec"] = None
                continue
            size = peer_size(lambda n: probe[0](), full) if name == "zfec" else full
            if size < full:
                sizes_used.append(f"{name} ({k},{rec}): {size // MIB} MiB")
            part = data[:size]
            p_enc, p_dec = maker(part, k, rec)
            row[f"{name}_enc"] = size / best_time(p_enc) / MB
            row[f"{name}_dec"] = size / best_time(p_dec) / MB
            row[f"{name}_ours_enc"], row[f"{name}_ours_dec"] = ondrel_at(size)
        if PAR2:
            # par2's cost grows with the recovery count: past 64, about 1 s of data per create.
            t_probe, _, probe_bytes = time_par2(data[:MIB], k, rec, workdir) if rec > 64 else (0.0, 0.0, MIB)
            size = full if rec <= 64 else max(MIB, min(full, int(probe_bytes / max(t_probe, 1e-6) * 1.0) // MIB * MIB))
            t_enc, t_dec, covered = time_par2(data[:size], k, rec, workdir)
            if covered < 0.99 * full:
                sizes_used.append(f"par2 ({k},{rec}): {covered / MIB:.1f} MiB")
            row["par2_enc"], row["par2_dec"] = covered / t_enc / MB, covered / t_dec / MB
            row["par2_ours_enc"], row["par2_ours_dec"] = ondrel_at(covered)
        else:
            row["par2_enc"] = row["par2_dec"] = None
        row["cpp_ondrel"] = isal.get(("ondrel", k, rec))
        row["cpp_isal"] = isal.get(("isal", k, rec))
        rows.append(((k, rec), row))
        print(f"  ({k},{rec}) done", file=sys.stderr, flush=True)

    # multi_encode_py of small segments, next to a loop of encode_py.
    seg_bytes, seg_k, seg_rec = 4104, 342, 681
    seg_rng = random.Random(2)
    segments = [seg_rng.randbytes(seg_bytes) for _ in range(args.segments)]
    t_multi = best_time(lambda: ondrel_ec.multi_encode_py(segments, seg_k, seg_rec), repeat=5)
    t_loop = best_time(lambda: [ondrel_ec.encode_py(s, seg_k, seg_rec) for s in segments], repeat=3)

    memory = {
        lib: peak_memory(lib, *MEMORY_PAIR, full, workdir) if (lib != "par2" or PAR2) else NA
        for lib in ("ondrel_ec", "pyeclib", "zfec", "par2")
    }

    headers = [
        "(k,rec)",
        "ondrel enc",
        "ondrel dec",
        "pyeclib(ISA-L) enc",
        "pyeclib(ISA-L) dec",
        "zfec enc",
        "zfec dec",
        "par2 create",
        "par2 repair",
        "C++ ondrel enc",
        "C++ ISA-L enc",
    ]
    table = []
    for (k, rec), r in rows:
        table.append(
            [
                f"({k},{rec})",
                cell(r["ondrel_enc"]),
                cell(r["ondrel_dec"]),
                cell(r["pyeclib_enc"], r.get("pyeclib_ours_enc")),
                cell(r["pyeclib_dec"], r.get("pyeclib_ours_dec")),
                cell(r["zfec_enc"], r.get("zfec_ours_enc")),
                cell(r["zfec_dec"], r.get("zfec_ours_dec")),
                cell(r["par2_enc"], r.get("par2_ours_enc")),
                cell(r["par2_dec"], r.get("par2_ours_dec")),
                cell(r["cpp_ondrel"]),
                cell(r["cpp_isal"], r["cpp_ondrel"]),
            ]
        )
    widths = [max(len(h), *(len(t[i]) for t in table)) for i, h in enumerate(headers)]
    line = lambda cells: "| " + " | ".join(c.rjust(w) for c, w in zip(cells, widths)) + " |"  # noqa: E731
    print()
    print(line(headers))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for t in table:
        print(line(t))
    print()
    total = args.segments * seg_bytes
    print(
        f"multi_encode_py, {args.segments} segments x {seg_bytes} bytes, ({seg_k},{seg_rec}): "
        f"{args.segments / t_multi:,.0f} segments/s ({total / t_multi / MB:.1f} MB/s); "
        f"loop of encode_py {args.segments / t_loop:,.0f} segments/s (multi {t_loop / t_multi:.2f}x); "
        "pyeclib/zfec n/a at these counts"
    )
    print(f"page faults per encode of {args.size_mib} MiB (fewest of 3 calls), with the wall time of a call:")
    for pair, libs in faults.items():
        cells = []
        for lib, (pages, seconds) in libs.items():
            touch = first_touch_ms(pages) if pages else 0.0
            cells.append(
                f"{lib} {pages:,} faults in {seconds * 1e3:.1f} ms (first touch of as many pages alone: {touch:.1f} ms)"
            )
        print(f"  {pair}: " + "; ".join(cells))
    print(f"peak RSS, encode + decode of {args.size_mib} MiB at {MEMORY_PAIR} in a fresh process:")
    for lib, text in memory.items():
        print(f"  {lib:10} {text}")
    if sizes_used:
        print("smaller data for slow peers (their ratios use ondrel_ec on the same bytes): " + "; ".join(sizes_used))

    # The targets, read off the table.
    by_pair = dict(rows)

    def ratio(pair: tuple[int, int], ours: str, peer: str) -> float | None:
        r = by_pair[pair]
        return r[ours] / r[peer] if r.get(ours) and r.get(peer) else None

    checks = [
        ("Python: >= 3x pyeclib(ISA-L) encode at (10,4)", ratio((10, 4), "pyeclib_ours_enc", "pyeclib_enc"), 3.0),
        ("Python: >= 20x zfec encode at (64,32)", ratio((64, 32), "zfec_ours_enc", "zfec_enc"), 20.0),
        ("Python: >= 200x par2 create at (342,681)", ratio((342, 681), "par2_ours_enc", "par2_enc"), 200.0),
        ("C++: >= 0.5x ISA-L at (10,4)", ratio((10, 4), "cpp_ondrel", "cpp_isal"), 0.5),
    ]
    for pair in PAIRS:
        if sum(pair) >= 48:
            checks.append((f"C++: >= 1x ISA-L at {pair}", ratio(pair, "cpp_ondrel", "cpp_isal"), 1.0))
    print("targets:")
    for text, value, goal in checks:
        verdict = NA if value is None else ("met" if value >= goal else "MISSED")
        shown = "n/a" if value is None else f"{value:.2f}x"
        print(f"  {text:48} {shown:>9}  {verdict}")


if __name__ == "__main__":
    main()
