#!/usr/bin/env python3
"""Prints the flat-scan ratios of one distance_bench JSON run: share of the streaming-read
bandwidth measured beside it, and speed-up over the scalar reference scan; then the same rows
scored scattered, in batches, as a share of the same streaming read. With repetitions, each
benchmark counts with its best repetition (the machines are shared and noisy). The paired
share (the read and the scan back to back, each pair its own ratio) is the median over the
repetitions of each repetition's median pair, with the lowest and highest beside it."""
import json
import statistics
import sys

SCALE_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
best_ms = {}
paired = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "aggregate":
        continue
    name = b.get("run_name", b["name"])
    best_ms[name] = min(best_ms.get(name, float("inf")), b["real_time"] * SCALE_MS[b["time_unit"]])
    if "share" in b:
        paired.setdefault(name, []).append(b["share"])

def time_ms(name):
    return best_ms[name]

SHAPES = ((100000, 128), (40000, 768), (20000, 1536), (10000, 3072))
KINDS = ((0, "L2Sqr"), (1, "Cosine"))

for rows, dim in SHAPES:
    stream = time_ms(f"BM_StreamRead/rows:{rows}/dim:{dim}")
    for kind, label in KINDS:
        suffix = f"rows:{rows}/dim:{dim}/cosine:{kind}"
        scan = time_ms(f"BM_FlatKnn/{suffix}")
        scalar = time_ms(f"BM_FlatKnnScalarReference/{suffix}")
        gbs = rows * dim * 4 / (scan * 1e-3) / 1e9
        shares = paired.get(f"BM_FlatKnnPaired/{suffix}")
        pair = (f"  paired {statistics.median(shares) * 100:5.1f}%"
                f" ({min(shares) * 100:.0f}-{max(shares) * 100:.0f})" if shares else "")
        print(f"{rows:>6} x {dim:<4} {label:<6}  scan {scan:7.3f} ms  {scan * 1e6 / rows:7.2f} ns/row"
              f"  {gbs:5.1f} GB/s  {stream / scan * 100:5.1f}% of streaming read ({stream:.3f} ms)"
              f"{pair}  {scalar / scan:5.2f}x over scalar ({scalar:.3f} ms)")

print("scattered rows, batches of 32 in a random order:")
for rows, dim in SHAPES:
    stream = time_ms(f"BM_StreamRead/rows:{rows}/dim:{dim}")
    for kind, label in KINDS:
        scattered = time_ms(f"BM_ScatteredRows/rows:{rows}/dim:{dim}/cosine:{kind}")
        print(f"{rows:>6} x {dim:<4} {label:<6}  {scattered:7.3f} ms  {scattered * 1e6 / rows:7.2f} ns/row"
              f"  {stream / scattered * 100:5.1f}% of streaming read")
