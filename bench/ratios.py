"""The (342, 681) encode and decode next to this machine's own limits.

Reads the JSON results of jam_perf, memory_perf and affine_perf (written by
`make bench`) and prints the figures and the three ratios the encode and the
decode are held to, each with its verdict:

  segment:  EncodeSegmentInto <= 1.15 x (EncodeCodecOnly + EncodeTrafficSequential)
  codec:    EncodeCodecOnly   <= 1.3 x EncodeAffineOnly (the affine-port bound)
  decode:   DecodeCodecOnly   <= 2 x EncodeCodecOnly (from recovery shards only)

and, without a target, how the distance splits: the mix of the sweep against
the affine instructions alone (the core's ports), the codec against that mix,
and the segment encode once page walks are gone (shards in 2 MiB pages).

Times are CPU times of one `make bench` run. A verdict is information, never
a failure: the script always exits 0.
    python bench/ratios.py build/bench/results/*.json
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

ARGS = "342/681/16777216"
FIGURES = [
    ("EncodeSegmentInto", f"BM_EncodeSegmentInto/{ARGS}", "encode into storage allocated once"),
    ("EncodeCodecOnly", f"BM_EncodeCodecOnly/{ARGS}", "coding of the same tiles, no rows"),
    ("EncodeRowTrafficOnly", f"BM_EncodeRowTrafficOnly/{ARGS}", "the rows moved, no coding"),
    ("EncodeTrafficSequential", "BM_EncodeTrafficSequential", "the same bytes as ideal streams"),
    ("EncodeSegmentIntoHuge", f"BM_EncodeSegmentIntoHugePages/{ARGS}", "the same into shards in 2 MiB pages"),
    ("EncodeAffineOnly", f"BM_EncodeAffineOnly/{ARGS}", "the encode's affine instructions alone"),
    ("EncodeMixOnly", f"BM_EncodeMixOnly/{ARGS}", "the sweep's whole instruction mix, no dependencies"),
    ("DecodeCodecOnly", f"BM_DecodeCodecOnly/{ARGS}", "decode coding from recovery shards"),
    ("DecodeSegment", f"BM_DecodeSegment/{ARGS}", "decode into storage allocated once"),
]
UNIT_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def load(paths: list[str]) -> tuple[dict[str, float], dict[str, str]]:
    times: dict[str, float] = {}
    labels: dict[str, str] = {}
    for path in paths:
        try:
            results = json.loads(Path(path).read_text())
        except (OSError, ValueError) as error:
            print(f"ratios: skipping {path}: {error}")
            continue
        for bench in results.get("benchmarks", []):
            if bench.get("run_type", "iteration") != "iteration" or bench.get("error_occurred"):
                continue
            name = bench["name"]
            cpu_us = bench["cpu_time"] * UNIT_US[bench.get("time_unit", "ns")]
            times[name] = min(cpu_us, times.get(name, cpu_us))
            if bench.get("label"):
                labels[name] = bench["label"]
    return times, labels


def cpu_description() -> str:
    fields: dict[str, str] = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    except OSError:
        return "unknown CPU"
    return (
        f"{fields.get('model name', '?')} ({fields.get('vendor_id', '?')}, family {fields.get('cpu family', '?')}, "
        f"model {fields.get('model', '?')})"
    )


def main() -> None:
    times, labels = load(sys.argv[1:])
    kernel = labels.get(f"BM_EncodeAffineOnly/{ARGS}", "not a GFNI kernel set")
    print(f"(342, 681), 16 MiB, CPU times; {cpu_description()}; kernel set: {kernel}")
    for short, name, what in FIGURES:
        value = times.get(name)
        shown = f"{value / 1e3:8.2f} ms" if value is not None else "     n/a"
        print(f"  {short:24} {shown}   {what}")

    def ratio(what: str, numerator: float | None, denominator: float | None, limit: float) -> None:
        if numerator is None or denominator is None:
            print(f"  {what:60} n/a")
            return
        value = numerator / denominator
        verdict = "met" if value <= limit else "NOT met"
        print(f"  {what:60} {value:5.2f}  (target <= {limit:g}: {verdict})")

    def share(what: str, numerator: float | None, denominator: float | None) -> None:
        shown = f"{numerator / denominator:5.2f}" if numerator is not None and denominator is not None else "  n/a"
        print(f"  {what:60} {shown}")

    get = times.get
    codec, sequential = get(f"BM_EncodeCodecOnly/{ARGS}"), get("BM_EncodeTrafficSequential")
    both = codec + sequential if codec is not None and sequential is not None else None
    print("ratios:")
    ratio("EncodeSegmentInto / (EncodeCodecOnly + EncodeTrafficSequential)", get(f"BM_EncodeSegmentInto/{ARGS}"),
          both, 1.15)
    ratio("EncodeCodecOnly / EncodeAffineOnly (affine-port bound)", codec, get(f"BM_EncodeAffineOnly/{ARGS}"), 1.3)
    ratio("DecodeCodecOnly / EncodeCodecOnly", get(f"BM_DecodeCodecOnly/{ARGS}"), codec, 2.0)
    print("where the rest goes (information, no target):")
    affine, mix = get(f"BM_EncodeAffineOnly/{ARGS}"), get(f"BM_EncodeMixOnly/{ARGS}")
    share("EncodeMixOnly / EncodeAffineOnly (what the ports allow the mix)", mix, affine)
    share("EncodeCodecOnly / EncodeMixOnly (dependencies, passes, copies)", codec, mix)
    share("EncodeSegmentIntoHugePages / (EncodeCodecOnly + EncodeTrafficSequential)",
          get(f"BM_EncodeSegmentIntoHugePages/{ARGS}"), both)


if __name__ == "__main__":
    main()
