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

# The AddressSanitizer build runs this suite with ASan's runtime preloaded. ASan reserves its
# shadow memory and keeps freed blocks in quarantine, so an address-space limit neither means
# what it means to the module nor leaves ASan room for its own bookkeeping: the cases that rest
# on one are left to the plain build there.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

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

    @unittest.skipIf(ASAN, "address-space limits under ASan")
    def test_memory_exhaustion_is_a_memory_error_and_adds_nothing(self):
        # 100,000 rows of 256 floats: 20 MiB more fails while the rows are converted, 170 MiB more
        # inside the table, once they are converted. Either way nothing is added, and the table
        # stays usable (an HNSW graph cut off half way is dropped).
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
                        assert [m["i"] for m, _ in db.search("s", [0.0] * 256, 3)] == ["0", "1", "2"]
                    db.batch_add("s", rows[:5], metas[:5])
                    assert db.get_len("s") == 15
                    print("ok")
                    """, [mode]))

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
            if sys.argv[1] != "asan":
                with limited(64):
                    try:
                        calc_dist(range(2 ** 62), [1.0])  # truthful, and too long to hold
                        raise AssertionError("no MemoryError")
                    except MemoryError:
                        pass
            print("ok")
            """, ["asan" if ASAN else "plain"]))

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
