"""Python-level benchmarks of the quillmere module, in one run: the per-call overhead of search
on a one-row table, batch_add of 100,000 x 128 vectors from Python lists, single-thread search
(k 10, default width) on that table with an HNSW index, and 8 Python threads searching at once
against 1. Run with `make bench` (PYTHONPATH pointing at the built module)."""
import random
import tempfile
import threading
import time

from quillmere import VecDB

ROWS, DIM = 100_000, 128


def per_second(count, seconds):
    return count / seconds


def main():
    rng = random.Random(3)
    centers = [[rng.gauss(0, 3) for _ in range(DIM)] for _ in range(100)]

    def sample():
        c = centers[rng.randrange(100)]
        return [x + rng.gauss(0, 1) for x in c]

    with tempfile.TemporaryDirectory() as path:
        db = VecDB(path)
        db.create_table_if_not_exists("one", 4)
        db.add("one", [1.0, 2.0, 3.0, 4.0], {"k": "v"})
        q4 = [1.0, 2.0, 3.0, 4.5]
        n = 200_000
        start = time.perf_counter()
        for _ in range(n):
            db.search("one", q4, 1)
        overhead_us = (time.perf_counter() - start) / n * 1e6
        print(f"search on a one-row table: {overhead_us:.2f} us per call")

        vectors = [sample() for _ in range(ROWS)]
        metadata = [{"id": str(i)} for i in range(ROWS)]
        db.create_table_if_not_exists("t", DIM)
        start = time.perf_counter()
        for first in range(0, ROWS, 10_000):
            db.batch_add("t", vectors[first:first + 10_000], metadata[first:first + 10_000])
        seconds = time.perf_counter() - start
        print(f"batch_add of {ROWS} x {DIM} from lists: {per_second(ROWS, seconds):,.0f} rows/s")

        start = time.perf_counter()
        db.build_hnsw_index("t")
        print(f"build_hnsw_index: {time.perf_counter() - start:.2f} s")
        queries = [sample() for _ in range(2000)]

        def run(threads):
            def work():
                for q in queries:
                    db.search("t", q, 10)
            pool = [threading.Thread(target=work) for _ in range(threads)]
            start = time.perf_counter()
            for t in pool:
                t.start()
            for t in pool:
                t.join()
            return per_second(threads * len(queries), time.perf_counter() - start)

        run(1)  # warm-up
        one, eight = run(1), run(8)
        print(f"search k=10 on the HNSW table: 1 thread {one:,.0f} QPS, 8 threads {eight:,.0f} QPS, "
              f"scaling {eight / one:.2f}x")
        del db  # closes the database while its directory still exists


if __name__ == "__main__":
    main()
