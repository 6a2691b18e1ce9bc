"""The process survives memory running out, sequences that lie about their length, a table file
that declares a huge dimension, interpreter exit while daemon threads are alive, forks, and
thousands of tables. Each case runs in a child interpreter, under an address-space limit where
memory is concerned, so that no test can wake the machine's OOM killer."""
import os
import signal
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


def run_child(body, args=(), extra_env=None, prelude=PRELUDE):
    env = dict(os.environ, **(extra_env or {}))
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(body), *args],
                          capture_output=True, text=True, timeout=300, env=env)


def rows_in(directory):
    """The tables of a closed database directory and their lengths, read in a fresh interpreter."""
    result = run_child("""
        db = VecDB(sys.argv[1])
        print(sorted((k, db.get_len(k)) for k in db.get_all_keys()))
        """, [directory])
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def preload_with(library):
    """LD_PRELOAD with `library` after what is preloaded already (the sanitizer's runtime first)."""
    return " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), library]))


def stat_fault_shim():
    """The preloadable library that fails the status of chosen files (built beside the module)."""
    path = os.environ.get("QUILLMERE_STAT_FAULT_SHIM")
    if not path:
        import quillmere
        build = os.path.dirname(os.path.dirname(os.path.abspath(quillmere.__file__)))
        path = os.path.join(build, "test_support", "libstat_fault_shim.so")
    assert os.path.exists(path), path
    return path


class ChildTestCase(unittest.TestCase):
    def assertChildOk(self, result, expected="ok"):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), expected, result.stderr)


class SurvivalTest(ChildTestCase):

    @unittest.skipIf(ASAN, "address-space limits under ASan")
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

    @unittest.skipIf(ASAN, "address-space limits under ASan")
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

    @unittest.skipIf(ASAN, "address-space limits under ASan")
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

    def test_exit_with_daemon_threads_alive_saves_every_row(self):
        # The objects of __main__ are never destroyed while a daemon thread exists; the exit hook
        # makes the final saves anyway, waiting only for the call in flight.
        with tempfile.TemporaryDirectory() as d:
            for busy in (False, True):
                with self.subTest(busy=busy):
                    path = os.path.join(d, str(busy))
                    result = run_child("""
                        import random, threading, time
                        db = VecDB(sys.argv[1])
                        db.create_table_if_not_exists("t", 32)
                        db.batch_add("t", [[random.random() for _ in range(32)] for _ in range(20000)],
                                     [{"i": str(i)} for i in range(20000)])
                        def idle():  # its frame keeps the globals of __main__, db among them
                            threading.Event().wait()
                        threading.Thread(target=idle, daemon=True).start()
                        searching = threading.Event()
                        def loop():
                            try:
                                while True:
                                    db.search("t", [0.5] * 32, 10)
                                    searching.set()
                            except RuntimeError:
                                pass  # closed by the exit hook (its message: the next test)
                        if sys.argv[2] == "True":
                            threading.Thread(target=loop, daemon=True).start()
                            searching.wait()
                        print("ok")
                        """, [path, str(busy)])
                    self.assertChildOk(result)
                    self.assertEqual(rows_in(path), "[('t', 20000)]")

    def test_final_saves_at_exit_report_their_failures(self):
        with tempfile.TemporaryDirectory() as d:
            result = run_child("""
                import os, threading
                db = VecDB(sys.argv[1])
                db.create_table_if_not_exists("t", 2)
                db.add("t", [1.0, 2.0], {})
                os.remove(os.path.join(sys.argv[1], "t.db"))
                os.makedirs(os.path.join(sys.argv[1], "t.db", "inside"))  # stands where the file goes
                sys.unraisablehook = lambda u: print(type(u.exc_value).__name__, u.exc_value, flush=True)
                def idle():  # keeps db alive to the end: only the exit hook saves
                    threading.Event().wait()
                threading.Thread(target=idle, daemon=True).start()
                """, [d])
            self.assertChildOk(result, "PanicException Closing could not save table t: "
                               "atomic save failed: Is a directory (os error 21)")

    def test_calls_after_the_exit_hook_raise(self):
        # atexit runs its callbacks newest first: one registered before the import runs after
        # the module's hook, as a daemon thread's call would.
        with tempfile.TemporaryDirectory() as d:
            result = run_child("""
                import atexit, sys
                def late():
                    for call in (lambda: db.get_len("t"), lambda: db.get_all_keys(), lambda: db.force_save(),
                                 lambda: VecDB(sys.argv[1] + "-other")):
                        try:
                            call()
                            print("no error")
                        except RuntimeError as e:
                            print(e)
                atexit.register(late)
                from quillmere import VecDB
                db = VecDB(sys.argv[1])
                db.create_table_if_not_exists("t", 2)
                db.add("t", [1.0, 2.0], {})
                """, [d], prelude="")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.splitlines(), ["VecDB closed at interpreter exit"] * 3 +
                             ["VecDB cannot be opened: the interpreter is exiting"])
            self.assertEqual(rows_in(d), "[('t', 1)]")

    def test_thousands_of_tables_start_no_threads(self):
        with tempfile.TemporaryDirectory() as d:
            self.assertChildOk(run_child("""
                def threads():
                    for line in open("/proc/self/status"):
                        if line.startswith("Threads:"):
                            return int(line.split()[1])
                db = VecDB(sys.argv[1])
                for i in range(1500):
                    db.create_table_if_not_exists(f"t{i}", 4)
                    db.add(f"t{i}", [float(i)] * 4, {})
                    if i % 100 == 0:
                        assert threads() < 50, (i, threads())
                assert threads() < 50, threads()
                assert len(db.get_cached_tables()) == 1500
                print("ok")
                """, [d]))
            result = run_child("""
                db = VecDB(sys.argv[1])
                keys = db.get_all_keys()
                assert len(keys) == 1500 and all(db.get_len(k) == 1 for k in keys)
                print("ok")
                """, [d])
            self.assertChildOk(result)

    @unittest.skipIf(ASAN, "the sanitizer's own stack frames need more than the smallest stack")
    def test_searches_fit_the_smallest_thread_stack_python_allows(self):
        # 32 KiB, and the search 16 C calls deep (each level goes through map and list): an
        # exhaustive scan of wide rows and one through PQ codes.
        self.assertChildOk(run_child("""
            import random, threading
            db = VecDB(tempfile.mkdtemp())
            db.create_table_if_not_exists("w", 3072)
            rnd = random.Random(3)
            db.batch_add("w", [[rnd.random() for _ in range(3072)] for _ in range(300)], [{}] * 300)
            q = [0.5] * 3072
            expected = db.search("w", q, 5)
            def nest(depth, search):
                return search() if depth == 0 else list(map(lambda d: nest(d, search), [depth - 1]))[0]
            def on_small_stack(search):
                threading.stack_size(32 * 1024)
                found = []
                t = threading.Thread(target=lambda: found.append(nest(16, search)))
                t.start()
                t.join()
                threading.stack_size(0)
                return found[0]
            assert on_small_stack(lambda: db.search("w", q, 5)) == expected
            db.build_pq_table("w")
            assert len(on_small_stack(lambda: db.search("w", q, 5, ef=50))) == 5
            print("ok")
            """))

    def test_a_thread_that_cannot_start_is_a_runtime_error_and_changes_nothing(self):
        # The third periodic save (catalogue, a, b) needs a third thread, whose stack does not
        # fit under the limit.
        with tempfile.TemporaryDirectory() as d:
            self.assertChildOk(run_child("""
                import os
                db = VecDB(sys.argv[1])
                db.create_table_if_not_exists("a", 4)
                with limited(2):
                    try:
                        db.create_table_if_not_exists("b", 4)
                        print("created")
                    except RuntimeError as e:
                        assert str(e).startswith("failed to spawn thread: "), e
                assert db.get_all_keys() == ["a"] and db.get_cached_tables() == ["a"]
                assert "b.db" not in os.listdir(sys.argv[1]), os.listdir(sys.argv[1])
                assert db.create_table_if_not_exists("b", 4)
                print("ok")
                """, [d]))
            self.assertEqual(rows_in(d), "[('a', 0), ('b', 0)]")

# The forking process of each case is a child interpreter of its own; `signal.alarm` ends any
# process of the case that hangs (set again in each forked child, which does not inherit it), so
# a hang fails the case instead of the whole run.
FORK_PRELUDE = PRELUDE + textwrap.dedent("""
    import os, signal, threading, time, warnings
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
    signal.alarm(60)

    def fork():
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)
        return pid

    def wait_child(pid):
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status)
""")


class ForkTest(ChildTestCase):
    def run_fork_case(self, body, directory):
        self.assertChildOk(run_child(body, [directory], prelude=FORK_PRELUDE))

    def test_child_exiting_normally_does_not_overwrite_the_parents_save(self):
        with tempfile.TemporaryDirectory() as d:
            self.run_fork_case("""
                db = VecDB(sys.argv[1])
                db.create_table_if_not_exists("t", 2)
                db.add("t", [1.0, 1.0], {"n": "before fork"})
                r, w = os.pipe()
                pid = fork()
                if pid == 0:
                    os.read(r, 1)
                    sys.exit(0)  # atexit, finalization, destruction of its copy of db
                db.add("t", [2.0, 2.0], {"n": "after fork"})
                db.force_save()
                os.write(w, b"x")
                assert wait_child(pid) == 0
                print("ok", flush=True)
                os._exit(0)  # no final save: what is on disk is the force_save and the child
                """, d)
            self.assertEqual(rows_in(d), "[('t', 2)]")

    def test_child_calls_raise_at_once_while_a_parent_thread_is_inside_a_call(self):
        with tempfile.TemporaryDirectory() as d:
            self.run_fork_case("""
                import random
                db = VecDB(sys.argv[1])
                db.create_table_if_not_exists("t", 16)
                db.batch_add("t", [[random.random() for _ in range(16)] for _ in range(4000)], [{}] * 4000)
                inside = threading.Event()
                def build():
                    inside.set()
                    db.build_hnsw_index("t", 400)  # holds the table for writing a while
                worker = threading.Thread(target=build)
                worker.start()
                inside.wait()
                time.sleep(0.05)
                pid = fork()
                if pid == 0:
                    calls = [lambda: db.get_len("t"), lambda: db.search("t", [0.0] * 16, 1),
                             lambda: db.get_all_keys(), lambda: db.contains_key("t"),
                             lambda: db.create_table_if_not_exists("u", 2), lambda: db.force_save(),
                             lambda: db.remove_cached_table("t"), lambda: db.delete_table("t")]
                    start = time.monotonic()
                    for call in calls:
                        try:
                            call()
                            os._exit(3)
                        except RuntimeError as e:
                            if "open the directory again in this process" not in str(e):
                                os._exit(4)
                    if time.monotonic() - start > 1.0:
                        os._exit(5)
                    del db, calls  # the child's copy goes without waiting for the copied lock
                    sys.exit(0)
                code = wait_child(pid)
                assert code == 0, code
                worker.join()
                assert db.has_hnsw_index("t") and db.get_len("t") == 4000
                print("ok")
                """, d)

    def test_parent_reopens_while_the_child_lives_on(self):
        with tempfile.TemporaryDirectory() as d:
            self.run_fork_case("""
                db = VecDB(sys.argv[1])
                db.create_table_if_not_exists("t", 2)
                db.add("t", [1.0, 1.0], {})
                r, w = os.pipe()
                pid = fork()
                if pid == 0:
                    os.read(r, 1)
                    sys.exit(0)
                del db  # final save; the child's copy of the lock was closed at the fork
                db = VecDB(sys.argv[1])
                db.add("t", [2.0, 2.0], {})
                os.write(w, b"x")
                assert wait_child(pid) == 0
                assert db.get_len("t") == 2
                del db
                print("ok")
                """, d)
            self.assertEqual(rows_in(d), "[('t', 2)]")

    def test_multiprocessing_fork_workers_open_their_own_directories(self):
        with tempfile.TemporaryDirectory() as d:
            self.run_fork_case("""
                import multiprocessing
                root = sys.argv[1]
                db = VecDB(os.path.join(root, "parent"))
                db.create_table_if_not_exists("t", 2)

                def work(i):
                    try:
                        db.get_len("t")
                        return "inherited database usable"
                    except RuntimeError:
                        pass
                    own = VecDB(os.path.join(root, f"worker{i}"))
                    own.create_table_if_not_exists("w", 2)
                    own.batch_add("w", [[float(i), 1.0]] * (i + 1), [{}] * (i + 1))
                    n = own.get_len("w")
                    del own
                    return n

                if __name__ == "__main__":
                    with multiprocessing.get_context("fork").Pool(3) as pool:
                        assert pool.map(work, range(6)) == [1, 2, 3, 4, 5, 6]
                    for i in range(6):
                        again = VecDB(os.path.join(root, f"worker{i}"))
                        assert again.get_len("w") == i + 1
                        del again
                    print("ok")
                """, d)



class CatalogueSurvivalTest(ChildTestCase):
    """A catalogue the process cannot read, or one built to crash the reader, fails the open and
    loses nothing; a table created just before the process is killed is listed afterwards."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def brief(self):
        with open(os.path.join(self.dir, "brief.toml"), "rb") as f:
            return f.read()

    def test_deeply_nested_catalogues_are_runtime_errors(self):
        n = 50000
        cases = [
            (".".join(["a"] * n) + " = 1\n", 257),
            ("[" + ".".join(["a"] * n) + "]\n", 258),
            ("tables." + ".".join(["t"] * n) + '.filename = "t.db"\n', 262),
        ]
        for text, column in cases:
            with self.subTest(text=text[:20]):
                with open(os.path.join(self.dir, "brief.toml"), "w") as f:
                    f.write(text)
                result = run_child("""
                    try:
                        VecDB(sys.argv[1])
                        print("opened")
                    except RuntimeError as e:
                        print(e)
                    """, [self.dir])
                self.assertChildOk(result, "TOML parse error at line 1, column %d: "
                                   "keys nested deeper than 128 levels" % column)
                self.assertEqual(self.brief(), text.encode())

    def test_a_catalogue_whose_status_fails_fails_the_open_and_stays(self):
        made = run_child("""
            db = VecDB(sys.argv[1])
            db.create_table_if_not_exists("t", 2)
            db.add("t", [1.0, 2.0], {"k": "v"})
            print("ok")
            """, [self.dir])
        self.assertEqual(made.stdout.strip(), "ok", made.stderr)
        before = self.brief()
        for errno_, message in ((5, "Input/output error (os error 5)"), (13, "Permission denied (os error 13)")):
            with self.subTest(errno=errno_):
                result = run_child("""
                    import time
                    try:
                        db = VecDB(sys.argv[1])
                        db.force_save()
                        print("opened")
                    except RuntimeError as e:
                        print(e)
                    time.sleep(6)  # a saving thread, had the open started one, would write meanwhile
                    """, [self.dir], {"LD_PRELOAD": preload_with(stat_fault_shim()), "QUILLMERE_STAT_FAULT_NAME": "brief.toml",
                                      "QUILLMERE_STAT_FAULT_ERRNO": str(errno_)})
                self.assertChildOk(result, message)
                self.assertEqual(self.brief(), before)
        reopened = run_child("""
            db = VecDB(sys.argv[1])
            print(db.get_all_keys(), db.get_len("t"))
            """, [self.dir])
        self.assertEqual(reopened.stdout.strip(), "['t'] 1", reopened.stderr)

    def test_a_child_killed_right_after_a_create_keeps_the_table(self):
        names = ["t0", "t1", "t2"]
        for i, name in enumerate(names):
            child = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent("""
                import time
                db = VecDB(sys.argv[1])
                db.create_table_if_not_exists(sys.argv[2], 4)
                print("created", flush=True)
                time.sleep(60)
                """), self.dir, name], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                self.assertEqual(child.stdout.readline().strip(), "created")
                child.send_signal(signal.SIGKILL)
            finally:
                child.communicate(timeout=60)
            self.assertEqual(child.returncode, -signal.SIGKILL)
            reopened = run_child("""
                db = VecDB(sys.argv[1])
                print(db.get_all_keys(), [db.get_len(k) for k in db.get_all_keys()])
                """, [self.dir])
            self.assertEqual(reopened.stdout.strip(), "%r %r" % (names[:i + 1], [0] * (i + 1)), reopened.stderr)


if __name__ == "__main__":
    unittest.main()
