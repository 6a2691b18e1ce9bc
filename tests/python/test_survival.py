"""The process survives what used to end it: memory running out, sequences that lie about their
length, a table file that declares a huge dimension, and interpreter exit while daemon threads
are inside calls. Each case runs in a child interpreter, under an address-space limit where
memory is concerned, so that no test can wake the machine's OOM killer."""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

PRELUDE = textwrap.dedent("""
    import resource, sys, tempfile
    from quillmere import VecDB, calc_dist

    def vmsize():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    class limited:
        # The address space may grow by `extra_mb` more while the block runs.
        def __init__(self, extra_mb):
            self.extra = extra_mb << 20
        def __enter__(self):
            self.old = resource.getrlimit(resource.RLIMIT_AS)
            resource.setrlimit(resource.RLIMIT_AS, (vmsize() + self.extra, self.old[1]))
        def __exit__(self, *exc):
            resource.setrlimit(resource.RLIMIT_AS, self.old)
""")


def run_child(body, args=()):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body), *args],
                          capture_output=True, text=True, timeout=300, env=env)


class SurvivalTest(unittest.TestCase):
    def assertChildOk(self, result, expected="ok"):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), expected, result.stderr)

    def test_memory_exhaustion_is_a_memory_error_and_adds_nothing(self):
        # 100,000 rows of 256 floats: 20 MiB more fails while the rows are converted, 170 MiB more
        # inside the table, once they are converted. Either way nothing is added, and the table
        # stays usable (with its HNSW graph).
        for mode in ("flat", "hnsw"):
            with self.subTest(mode=mode):
                self.assertChildOk(run_child("""
                    mode = sys.argv[1]
                    db = VecDB(tempfile.mkdtemp())
                    db.create_table_if_not_exists("s", 256)
                    db.batch_add("s", [[float(i)] * 256 for i in range(10)], [{"i": str(i)} for i in range(10)])
                    if mode == "hnsw":
                        db.build_hnsw_index("s")
                    db.build_pq_table("s")  # the pool starts its threads now, before the limit
                    rows, metas = [[0.5] * 256] * 100000, [{}] * 100000
                    for extra in (20, 170):
                        with limited(extra):
                            try:
                                db.batch_add("s", rows, metas)
                                print("added under", extra)
                            except MemoryError:
                                pass
                        assert db.get_len("s") == 10, db.get_len("s")
                        assert len(db.extract_data("s")) == 10
                        assert db.has_hnsw_index("s") == (mode == "hnsw")
                        assert [m["i"] for m, _ in db.search("s", [0.0] * 256, 3)] == ["0", "1", "2"]
                    db.batch_add("s", rows[:5], metas[:5])
                    assert db.get_len("s") == 15
                    print("ok")
                    """, [mode]))

    def test_a_failed_insertion_leaves_the_graph_as_it_was(self):
        # 100,000 rows into a graph of 2,000, at limits that fail in the conversion, while the
        # insertion reserves, and (the loosest) nowhere near the end: the graph is kept, and is
        # the graph before, as the table file written before and after shows (rows, links,
        # levels, entry point) and as searches show.
        self.assertChildOk(run_child("""
            import os, random
            d = tempfile.mkdtemp()
            db = VecDB(d)
            db.create_table_if_not_exists("s", 64)
            rnd = random.Random(7)
            db.batch_add("s", [[rnd.random() for _ in range(64)] for _ in range(2000)], [{"i": str(i)} for i in range(2000)])
            db.build_hnsw_index("s")
            queries = [[rnd.random() for _ in range(64)] for _ in range(20)]

            def state():
                db.force_save()
                files = {}
                for name in sorted(os.listdir(d)):
                    if name != "db.lock" and os.path.isfile(os.path.join(d, name)):
                        with open(os.path.join(d, name), "rb") as f:
                            files[name] = f.read()
                return files, [db.search("s", q, 10, ef=200) for q in queries]

            before = state()
            rows = [[rnd.random() for _ in range(64)] for _ in range(100000)]
            metas = [{}] * 100000
            # About 32 MiB convert the rows; the insertion needs some 60 MiB more (depending on
            # the pool's size): the first limit fails in the conversion, the others inside.
            failed = 0
            for extra in (20, 30, 40, 50):
                with limited(extra):
                    try:
                        db.batch_add("s", rows, metas)
                        break  # a looser limit would also have room
                    except MemoryError:
                        failed += 1
                assert db.get_len("s") == 2000, db.get_len("s")
                assert db.has_hnsw_index("s")
                assert state() == before, extra
            assert failed >= 3, failed
            n = db.get_len("s")
            db.batch_add("s", rows[:3000], metas[:3000])  # still a working graph
            assert db.get_len("s") == n + 3000 and db.has_hnsw_index("s")
            print("ok")
            """))

    def test_results_that_cannot_be_built_are_memory_errors(self):
        # A result of 200,000 rows is built at limits that fail at every stage of building it.
        self.assertChildOk(run_child("""
            db = VecDB(tempfile.mkdtemp())
            db.create_table_if_not_exists("s", 2)
            n = 200000
            db.batch_add("s", [[float(i), 1.0] for i in range(n)], [{"i": str(i)} for i in range(n)])
            db.build_pq_table("s")  # the pool starts its threads now, before the limit
            # Saved now, so that no saving thread works under the limit.
            db.force_save()
            failed = 0
            for extra in range(4, 100, 6):
                for call in (lambda: db.search("s", [0.0, 1.0], n), lambda: db.extract_data("s")):
                    with limited(extra):
                        try:
                            result = call()
                        except MemoryError:
                            failed += 1
                            continue
                    assert len(result) == n
                    del result
            assert failed > 0
            assert db.get_len("s") == n
            print("ok")
            """))

    def test_a_failed_final_save_keeps_the_exception_in_flight(self):
        # The object goes away while the TypeError of int() propagates; its final save fails
        # and is reported, and the caller still gets the TypeError.
        self.assertChildOk(run_child("""
            import os
            def make():
                d = tempfile.mkdtemp()
                db = VecDB(d)
                db.create_table_if_not_exists("t", 2)
                db.add("t", [1, 2], {})
                path = os.path.join(d, "t.db")
                if os.path.exists(path):
                    os.remove(path)
                os.makedirs(os.path.join(path, "inside"))  # where the table file must go
                return db
            seen = []
            sys.unraisablehook = lambda u: seen.append(type(u.exc_value).__name__)
            try:
                sorted([make()], key=int)
                raise AssertionError("no exception")
            except TypeError as e:
                assert "int()" in str(e), e
            assert seen == ["PanicException"], seen
            print("ok")
            """))

    def test_lying_lengths(self):
        self.assertChildOk(run_child("""
            class Liar:
                def __init__(self, items):
                    self.items = items
                def __len__(self):
                    return 2 ** 62
                def __getitem__(self, i):
                    return self.items[i]  # IndexError at the real end
            assert calc_dist(Liar([1.0, 0.0]), [1.0, 0.0]) == 0.0
            db = VecDB(tempfile.mkdtemp())
            db.create_table_if_not_exists("t", 2)
            db.batch_add("t", Liar([[1.0, 2.0], [3.0, 4.0]]), Liar([{"a": "1"}, {"b": "2"}]))
            assert db.get_len("t") == 2
            assert db.search("t", Liar([1.0, 2.0]), 1)[0][0] == {"a": "1"}
            with limited(64):
                try:
                    calc_dist(range(2 ** 62), [1.0])  # truthful, and too long to hold
                    raise AssertionError("no MemoryError")
                except MemoryError:
                    pass
            print("ok")
            """))

    def test_a_huge_dimension_without_rows_allocates_nothing_for_it(self):
        self.assertChildOk(run_child("""
            d = tempfile.mkdtemp()
            db = VecDB(d)
            db.create_table_if_not_exists("big", 2 ** 40)
            db.build_hnsw_index("big")
            assert db.search("big", [1.0, 2.0], 3) == []
            del db  # saved at closing
            with limited(256):
                db = VecDB(d)
                assert db.get_len("big") == 0 and db.has_hnsw_index("big")
                assert db.search("big", [1.0, 2.0], 3) == []
                db.clear_hnsw_index("big")
                db.build_hnsw_index("big")
            print("ok")
            """))

    def test_interpreter_exit_with_daemon_threads_inside_calls(self):
        # The interpreter ends a daemon thread that asks for its lock back during finalization by
        # unwinding it; that must pass through the module and end in an orderly exit.
        with tempfile.TemporaryDirectory() as d:
            for run in range(3):
                result = run_child("""
                    import random, threading, time
                    db = VecDB(sys.argv[1])
                    db.create_table_if_not_exists("t", 64)
                    db.batch_add("t", [[random.random() for _ in range(64)] for _ in range(20000)], [{}] * 20000)
                    def loop():
                        while True:
                            db.search("t", [0.5] * 64, 10)
                    for _ in range(4):
                        threading.Thread(target=loop, daemon=True).start()
                    time.sleep(0.2)
                    print("ok")
                    """, [os.path.join(d, str(run))])
                self.assertChildOk(result)
                self.assertNotIn("terminate", result.stderr)


if __name__ == "__main__":
    unittest.main()
