"""Insertion into an HNSW graph, two builds of the module side by side in one run: a batch_add
of 10,000 x 64 rows into a graph of 50,000, batch_adds of 2 rows, and single adds. Each build
runs in its own child process, the two alternating, and the medians are printed with their
ratio (second / first). Wall-clock times (the CPU time of a process would count the pool's
threads waiting for work).

    flock /tmp/quillmere-bench.lock python3 bench/hnsw_insert_bench.py OLD_DIR NEW_DIR [rounds]

where each *_DIR holds a built quillmere module (build/python). RAYON_NUM_THREADS applies."""
import statistics
import subprocess
import sys

CHILD = r"""
import random, sys, tempfile, time
sys.path.insert(0, sys.argv[1])
from quillmere import VecDB
rnd = random.Random(11)
def rows(n): return [[rnd.random() for _ in range(64)] for _ in range(n)]
db = VecDB(tempfile.mkdtemp())
db.create_table_if_not_exists("g", 64)
db.batch_add("g", rows(50000), [{}] * 50000)
db.build_hnsw_index("g")
big, small, singles = rows(10000), rows(2), rows(300)
t = time.perf_counter(); db.batch_add("g", big, [{}] * len(big)); t_big = time.perf_counter() - t
t = time.perf_counter()
for _ in range(500): db.batch_add("g", small, [{}] * 2)
t_small = (time.perf_counter() - t) / 500
t = time.perf_counter()
for v in singles: db.add("g", v, {})
t_single = (time.perf_counter() - t) / len(singles)
print(t_big, t_small * 1e3, t_single * 1e3)
"""

NAMES = ["batch_add of 10,000 into 50,000 (s)", "batch_add of 2 (ms)", "single add (ms)"]


def main():
    builds = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    times = {b: [] for b in builds}
    for _ in range(rounds):
        for b in builds:
            out = subprocess.run([sys.executable, "-c", CHILD, b], capture_output=True, text=True, check=True)
            times[b].append([float(x) for x in out.stdout.split()])
    for i, name in enumerate(NAMES):
        first, second = (statistics.median(r[i] for r in times[b]) for b in builds)
        print(f"{name}: {first:.4f} -> {second:.4f}, ratio {second / first:.2f}")


if __name__ == "__main__":
    main()
