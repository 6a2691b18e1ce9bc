"""quillmere quick start: a table of random vectors, its indexes, searches, a delete, and the
data still there after the database is closed and opened again.

Run with `make demo` (it builds the module first). The database lives in the directory given as
the first argument, else ./quickstart_db.
"""
import random
import sys
import time

from quillmere import VecDB

DIM, ROWS, BATCH = 128, 20_000, 2_000


def timed(what, f, *args, **kwargs):
    start = time.perf_counter()
    result = f(*args, **kwargs)
    print(f"{what:<52} {(time.perf_counter() - start) * 1000:9.1f} ms")
    return result


def random_vector(rng):
    return [rng.uniform(-1.0, 1.0) for _ in range(DIM)]


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "quickstart_db"
    rng = random.Random(7)
    db = VecDB(path)
    if db.contains_key("docs"):
        timed("delete the table left by an earlier run", db.delete_table, "docs")
    timed("create table 'docs' (128-d, cosine)", db.create_table_if_not_exists, "docs", DIM)

    start = time.perf_counter()
    for first in range(0, ROWS, BATCH):
        vectors = [random_vector(rng) for _ in range(BATCH)]
        metadata = [{"id": str(first + i), "group": str((first + i) % 10)} for i in range(BATCH)]
        db.batch_add("docs", vectors, metadata)
    print(f"{'add 20,000 vectors with metadata in batches':<52} {(time.perf_counter() - start) * 1000:9.1f} ms")
    print(f"rows: {db.get_len('docs')}, dimension: {db.get_dim('docs')}, distance: {db.get_dist('docs')}")

    query = random_vector(rng)
    exact = timed("exhaustive search, k=5", db.search, "docs", query, 5)
    timed("build the HNSW index", db.build_hnsw_index, "docs")
    graph = timed("HNSW search, k=5", db.search, "docs", query, 5)
    timed("HNSW search, k=5, ef=200", db.search, "docs", query, 5, ef=200)
    timed("build a PQ table", db.build_pq_table, "docs")
    pq = timed("PQ search re-ranked exactly, k=5, ef=100", db.search, "docs", query, 5, ef=100)
    bounded = timed("HNSW search, k=50, upper_bound=0.9", db.search, "docs", query, 50, upper_bound=0.9)
    print("nearest (exhaustive):", [(m["id"], round(d, 4)) for m, d in exact])
    print("nearest (HNSW):      ", [(m["id"], round(d, 4)) for m, d in graph])
    print("nearest (PQ):        ", [(m["id"], round(d, 4)) for m, d in pq])
    print(f"within distance 0.9: {len(bounded)} of at most 50")

    removed = timed("delete the rows of group 3", db.delete, "docs", {"group": "3"})
    print(f"removed {removed} rows, {db.get_len('docs')} left; HNSW index: {db.has_hnsw_index('docs')}")

    del db  # closing saves the catalogue and the changed table
    db = timed("open the database again", VecDB, path)
    print(f"tables: {db.get_all_keys()}, rows of 'docs': {db.get_len('docs')}")
    again = db.search("docs", query, 3)
    print("nearest after reopening:", [(m["id"], round(d, 4)) for m, d in again])


if __name__ == "__main__":
    main()
