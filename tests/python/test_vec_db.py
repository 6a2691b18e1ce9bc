"""VecDB: construction, binding and conversion messages, the methods and persistence."""
import math
import os
import subprocess
import sys
import tempfile
import threading
import unittest

from quillmere import VecDB


def raised(f, *args, **kwargs):
    try:
        f(*args, **kwargs)
    except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
        return type(e), str(e)
    return None


class DbCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.db = VecDB(self.dir)

    def tearDown(self):
        self.db = None  # closes the database before its directory goes away
        self.tmp.cleanup()

    def reopen(self):
        del self.db
        self.db = VecDB(self.dir)


class ConstructionTest(DbCase):
    def test_arguments(self):
        self.assertEqual(raised(VecDB), (TypeError, "VecDB.__new__() missing 1 required positional argument: 'dir'"))
        self.assertEqual(raised(VecDB, 5), (TypeError, "argument 'dir': 'int' object cannot be converted to 'PyString'"))
        self.assertEqual(raised(VecDB, "a", "b"), (TypeError, "VecDB.__new__() takes 1 positional arguments but 2 were given"))
        self.assertEqual(raised(VecDB, x=1), (TypeError, "VecDB.__new__() got an unexpected keyword argument 'x'"))

    def test_lock_held_while_alive(self):
        self.assertEqual(raised(VecDB, self.dir), (RuntimeError, "Failed to acquire lock for VecDBManager"))
        del self.db
        self.db = VecDB(dir=self.dir)

    def test_nul_in_dir_touches_nothing(self):
        victim = os.path.join(self.dir, "v.txt")
        with open(victim, "w") as f:
            f.write("x" * 1400)
        self.assertEqual(raised(VecDB, victim + "\x00anything"), (ValueError, "embedded null byte"))
        self.assertEqual(os.path.getsize(victim), 1400)

    def test_empty_dir_is_the_systems_error(self):
        self.assertEqual(raised(VecDB, ""), (RuntimeError, "No such file or directory (os error 2)"))

    def test_creates_missing_directory(self):
        sub = os.path.join(self.dir, "a", "b")
        db = VecDB(sub)
        self.assertTrue(os.path.isdir(sub))
        del db


class BindingTest(DbCase):
    def test_messages(self):
        db = self.db
        cases = [
            (lambda: db.search("t", [1], 1, None, None, 6),
             "VecDB.search() takes from 3 to 5 positional arguments but 6 were given"),
            (lambda: db.add("t"), "VecDB.add() missing 2 required positional arguments: 'vec' and 'metadata'"),
            (lambda: db.batch_add(),
             "VecDB.batch_add() missing 3 required positional arguments: 'key', 'vec_list', and 'metadata_list'"),
            (lambda: db.get_len(name="t"), "VecDB.get_len() got an unexpected keyword argument 'name'"),
            (lambda: db.get_len(**{"\udc80": 1}), "VecDB.get_len() got an unexpected keyword argument '\udc80'"),
            (lambda: VecDB(**{"\udc80": 1}), "VecDB.__new__() got an unexpected keyword argument '\udc80'"),
            (lambda: db.search("t", [1], 1, key="t"), "VecDB.search() got multiple values for argument 'key'"),
            (lambda: db.get_len("a", "b"), "VecDB.get_len() takes 1 positional arguments but 2 were given"),
            (lambda: db.delete("a", {}, {}), "VecDB.delete() takes 2 positional arguments but 3 were given"),
            (lambda: db.build_pq_table(), "VecDB.build_pq_table() missing 1 required positional argument: 'key'"),
            (lambda: db.create_table_if_not_exists("t", 1, "cosine", 1),
             "VecDB.create_table_if_not_exists() takes from 2 to 3 positional arguments but 4 were given"),
        ]
        for f, message in cases:
            with self.subTest(message=message):
                self.assertEqual(raised(f), (TypeError, message))

    def test_no_argument_methods_refuse_arguments(self):
        for name in ("get_all_keys", "get_cached_tables", "force_save"):
            with self.subTest(name=name):
                self.assertIs(raised(getattr(self.db, name), 1)[0], TypeError)

    def test_conversion_messages(self):
        db = self.db
        db.create_table_if_not_exists("t", 3)
        cases = [
            (lambda: db.add("t", "abc", {}), TypeError, "argument 'vec': Can't extract `str` to `Vec`"),
            (lambda: db.add("t", {1, 2, 3}, {}), TypeError, "argument 'vec': 'set' object cannot be converted to 'Sequence'"),
            (lambda: db.add("t", {1: 2}, {}), TypeError, "argument 'vec': 'dict' object cannot be converted to 'Sequence'"),
            (lambda: db.add("t", None, {}), TypeError, "argument 'vec': 'NoneType' object cannot be converted to 'Sequence'"),
            (lambda: db.add("t", [1, "x", 3], {}), TypeError, "argument 'vec': must be real number, not str"),
            (lambda: db.add("t", [1, 2, 3], {"a": 1}), TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
            (lambda: db.add("t", [1, 2, 3], {1: "a"}), TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
            (lambda: db.add("t", [1, 2, 3], []), TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
            (lambda: db.add(1, [1, 2, 3], {}), TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
            (lambda: db.batch_add("t", ["abc"], [{}]), TypeError, "argument 'vec_list': Can't extract `str` to `Vec`"),
            (lambda: db.batch_add("t", "abc", [{}]), TypeError, "argument 'vec_list': Can't extract `str` to `Vec`"),
            (lambda: db.batch_add("t", [[1, 2, 3]], [5]), TypeError, "argument 'metadata_list': 'int' object cannot be converted to 'PyDict'"),
            (lambda: db.create_table_if_not_exists("u", 2, None), TypeError,
             "argument 'dist': 'NoneType' object cannot be converted to 'PyString'"),
            (lambda: db.create_table_if_not_exists("u", 2, "Cosine"), ValueError, "Invalid distance function"),
            (lambda: db.search("t", [1, 2, 3], 1, ef=1.5), TypeError,
             "argument 'ef': 'float' object cannot be interpreted as an integer"),
            (lambda: db.search("t", [1, 2, 3], 1, upper_bound="x"), TypeError,
             "argument 'upper_bound': must be real number, not str"),
        ]
        for f, exc, message in cases:
            with self.subTest(message=message):
                self.assertEqual(raised(f), (exc, message))
        self.assertEqual(db.get_len("t"), 0)
        self.assertFalse(db.contains_key("u"))

    def test_list_and_tuple_subclasses_are_read_by_iteration(self):
        # A subclass may iterate otherwise than its storage holds: its items are what it yields.
        class Reversed(list):
            def __iter__(self):
                return iter(list.copy(self)[::-1])

        class Doubled(tuple):
            def __iter__(self):
                return (2 * x for x in tuple.__iter__(self))

        db = self.db
        db.create_table_if_not_exists("t", 3, "l2sqr")
        db.add("t", Reversed([1, 2, 3]), {"i": "0"})
        db.add("t", Doubled((1, 2, 3)), {"i": "1"})
        db.batch_add("t", Reversed([[4, 4, 4], Reversed([5, 6, 7])]), [{"i": "2"}, {"i": "3"}])
        db.batch_add("t", [[8, 8, 8], [9, 9, 9]], Reversed([{"i": "4"}, {"i": "5"}]))
        self.assertEqual(db.extract_data("t"), [
            ([3.0, 2.0, 1.0], {"i": "0"}), ([2.0, 4.0, 6.0], {"i": "1"}), ([7.0, 6.0, 5.0], {"i": "2"}),
            ([4.0, 4.0, 4.0], {"i": "3"}), ([8.0, 8.0, 8.0], {"i": "5"}), ([9.0, 9.0, 9.0], {"i": "4"})])
        self.assertEqual(db.search("t", Doubled((1, 2, 3)), 1), [({"i": "1"}, 0.0)])

    def test_raised_exceptions_keep_their_context(self):
        # Raised inside an except block, every kind has the handled exception as its context, as
        # an exception raised there by Python code would; the prefixed TypeError keeps the cause
        # of the one it replaces.
        class CausedFloat:
            def __float__(self):
                raise TypeError("no float") from ValueError("why")

        db = self.db
        db.create_table_if_not_exists("t", 8)
        db.batch_add("t", [[float((i * 7 + j) % 11) for j in range(8)] for i in range(100)], [{} for _ in range(100)])
        db.build_pq_table("t")
        cases = [
            ("TypeError", lambda: db.add("t", [1, "x", 3], {})),  # prefixed
            ("TypeError", lambda: db.add("t", "abc", {})),  # prefixed, made by the module
            ("TypeError", lambda: db.add("t", [CausedFloat()], {})),  # prefixed, with a cause
            ("TypeError", lambda: db.get_len()),  # binding
            ("OverflowError", lambda: db.search("t", [1] * 8, -1)),
            ("RuntimeError", lambda: db.get_len("nope")),
            ("ValueError", lambda: db.create_table_if_not_exists("u", 2, "x")),
            ("PanicException", lambda: db.search("t", [1.0] * 7, 3, ef=10)),
        ]
        for kind, f in cases:
            with self.subTest(kind=kind):
                try:
                    try:
                        raise KeyError("handled")
                    except KeyError as handled:
                        outer = handled
                        f()
                except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
                    self.assertEqual(type(e).__name__, kind)
                    self.assertIs(e.__context__, outer)
                    caught = e
                else:
                    self.fail("nothing raised")
        self.assertEqual(str(caught), "assertion `left == right` failed\n  left: 7\n right: 8")
        outer = caught = None  # their tracebacks hold this frame, and with it the database
        try:
            db.add("t", [CausedFloat()], {})
        except TypeError as e:
            self.assertEqual(str(e), "argument 'vec': no float")
            self.assertIsInstance(e.__cause__, ValueError)
            self.assertTrue(e.__suppress_context__)
        self.assertEqual(db.get_len("t"), 100)

    def test_unprefixed_errors(self):
        db = self.db
        r = raised(db.create_table_if_not_exists, "t", -1, "bad")
        self.assertIs(r[0], OverflowError)
        self.assertNotIn("argument", r[1])
        self.assertIs(raised(db.search, "t", [1], -1)[0], OverflowError)
        self.assertIs(raised(db.search, "t", [1], 2 ** 64)[0], OverflowError)
        self.assertIs(raised(db.add, "t", [10 ** 400], {})[0], OverflowError)
        r = raised(db.contains_key, "\udc80")
        self.assertIs(r[0], UnicodeEncodeError)
        r = raised(db.create_table_if_not_exists, "t", 1.0)
        self.assertIs(r[0], TypeError)
        self.assertTrue(r[1].startswith("argument 'dim': "), r[1])
        self.assertEqual(db.get_all_keys(), [])


class MethodsTest(DbCase):
    def test_tables(self):
        db = self.db
        self.assertTrue(db.create_table_if_not_exists("a", 2))
        self.assertFalse(db.create_table_if_not_exists("a", 2))
        self.assertTrue(db.create_table_if_not_exists(key="b", dim=3, dist="l2sqr"))
        self.assertEqual(db.get_all_keys(), ["a", "b"])
        self.assertTrue(db.contains_key("a"))
        self.assertFalse(db.contains_key("c"))
        self.assertEqual((db.get_dim("a"), db.get_dist("a"), db.get_dist("b"), db.get_dim("b")), (2, "cosine", "l2sqr", 3))
        self.assertEqual(db.get_len("a"), 0)
        self.assertTrue(db.contains_cached("a"))
        self.assertIsNone(db.remove_cached_table("a"))
        self.assertFalse(db.contains_cached("a"))
        self.assertIsNone(db.remove_cached_table("nope"))
        self.assertEqual(db.get_cached_tables(), ["b"])
        self.assertTrue(db.delete_table("a"))
        self.assertFalse(db.delete_table("a"))
        self.assertEqual(db.get_all_keys(), ["b"])
        self.assertEqual(raised(db.get_len, "a"), (RuntimeError, "Table a not found"))
        self.assertIsNone(db.force_save())
        # A dimension of 0 is left to the manager, which refuses it with an error value for a new
        # name only: an existing name answers False, as for any other dimension.
        self.assertEqual(raised(db.create_table_if_not_exists, "z", 0),
                         (RuntimeError, "Dimension must be greater than 0"))
        self.assertFalse(db.create_table_if_not_exists("b", 0))

    def test_rows(self):
        db = self.db
        db.create_table_if_not_exists("t", 3, "l2sqr")
        self.assertIsNone(db.add("t", (1, 2.5, True), {"z": "1", "a": "2"}))
        self.assertIsNone(db.batch_add("t", [[0, 0, 1], b"\x01\x01\x01"], [{"i": "1"}, {"i": "2"}]))
        self.assertIsNone(db.batch_add("t", [], []))
        self.assertEqual(db.get_len("t"), 3)
        rows = db.extract_data("t")
        self.assertEqual(rows, [([1.0, 2.5, 1.0], {"a": "2", "z": "1"}),
                                ([0.0, 0.0, 1.0], {"i": "1"}), ([1.0, 1.0, 1.0], {"i": "2"})])
        self.assertEqual(list(rows[0][1]), ["a", "z"])
        hits = db.search("t", [1, 1, 1], 2)
        self.assertEqual(hits, [({"i": "2"}, 0.0), ({"i": "1"}, 2.0)])
        self.assertEqual(db.search(key="t", query=[1, 1, 1], k=2), hits)
        self.assertEqual(db.search("t", [1, 1, 1], True), hits[:1])
        self.assertEqual(db.search("t", [1, 1, 1], 3, None, None), db.search("t", [1, 1, 1], 3))
        self.assertEqual(db.search("t", [1, 1, 1], 3, upper_bound=1e39), db.search("t", [1, 1, 1], 3))
        self.assertEqual(db.search("t", [1, 1, 1], 3, upper_bound=1.0), hits[:1])
        self.assertIsInstance(db.search("t", [1, 1, 1], 3, upper_bound=math.nan), list)
        self.assertEqual(raised(db.add, "t", [1, 2], {}), (RuntimeError, "Dimension mismatch for vec"))
        self.assertEqual(raised(db.batch_add, "t", [[1, 2, 3]], []),
                         (RuntimeError, "Length mismatch for vec_list and metadata_list"))
        self.assertEqual(db.delete("t", {"i": "1"}), 1)
        self.assertEqual(db.delete(key="t", pattern={}), 2)
        self.assertEqual(db.extract_data("t"), [])

    def test_indexes(self):
        db = self.db
        db.create_table_if_not_exists("t", 4)
        db.batch_add("t", [[i, i % 3, 1, 2] for i in range(1, 65)], [{"i": str(i)} for i in range(64)])
        self.assertFalse(db.has_hnsw_index("t"))
        self.assertIsNone(db.build_hnsw_index("t"))
        self.assertIsNone(db.build_hnsw_index("t", ef_construction=50))
        self.assertTrue(db.has_hnsw_index("t"))
        self.assertEqual(len(db.search("t", [3, 0, 1, 2], 5, ef=0)), 5)
        self.assertIsNone(db.clear_hnsw_index("t"))
        self.assertFalse(db.has_hnsw_index("t"))
        self.assertFalse(db.has_pq_table("t"))
        self.assertIsNone(db.build_pq_table("t", 0.5, 4, 2))
        self.assertTrue(db.has_pq_table("t"))
        self.assertEqual(len(db.search("t", [3, 0, 1, 2], 5)), 5)
        self.assertIsNone(db.clear_pq_table("t"))
        self.assertFalse(db.has_pq_table("t"))
        self.assertEqual(raised(db.build_hnsw_index, "nope"), (RuntimeError, "Table nope not found"))

    def test_persistence_across_reopen(self):
        db = self.db
        db.create_table_if_not_exists("p", 2, "l2sqr")
        db.add("p", [0.1, 0.2], {"k": "v"})
        del db  # the only reference left is self.db
        self.reopen()
        self.assertEqual(self.db.get_all_keys(), ["p"])
        self.assertEqual(self.db.get_dist("p"), "l2sqr")
        self.assertEqual(self.db.extract_data("p"), [([0.10000000149011612, 0.20000000298023224], {"k": "v"})])

    def test_failed_saves_are_raised_or_reported(self):
        # A non-empty directory stands where the table file must go.
        db = self.db
        db.create_table_if_not_exists("t", 2)
        db.add("t", [1, 2], {})
        path = os.path.join(self.dir, "t.db")
        os.remove(path)
        os.makedirs(os.path.join(path, "inside"))
        failure = "atomic save failed: Is a directory (os error 21)"
        self.assertEqual(raised(db.remove_cached_table, "t"), (RuntimeError, failure))
        self.assertTrue(db.contains_cached("t"))  # kept, with its rows
        seen = []
        old_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value)))
        try:
            del db
            self.db = None  # closing reports what it could not save, and goes on
        finally:
            sys.unraisablehook = old_hook
        self.assertEqual(seen, [("PanicException", "Closing could not save table t: " + failure)])
        os.rmdir(os.path.join(path, "inside"))
        os.rmdir(path)
        self.db = VecDB(self.dir)  # the lock was released

    def test_internal_failure_is_a_panic_and_leaves_the_table_usable(self):
        db = self.db
        db.create_table_if_not_exists("t", 8)
        db.batch_add("t", [[float((i * 7 + j) % 11) for j in range(8)] for i in range(100)], [{} for _ in range(100)])
        db.build_pq_table("t")
        caught_as_exception = False
        try:
            try:
                db.search("t", [1.0] * 7, 3, ef=10)  # the PQ lookup refuses a query of another length
            except Exception:  # a PanicException is not an Exception
                caught_as_exception = True
        except BaseException as e:  # noqa: B902
            self.assertEqual(type(e).__name__, "PanicException")
            self.assertEqual(type(e).__module__, "pyo3_runtime")
            self.assertEqual(str(e), "assertion `left == right` failed\n  left: 7\n right: 8")
        self.assertFalse(caught_as_exception)
        self.assertEqual(len(db.search("t", [1.0] * 8, 3, ef=10)), 3)

    def test_lock_released_during_work(self):
        # Another Python thread keeps running while a long call works without the lock.
        db = self.db
        db.create_table_if_not_exists("t", 32)
        db.batch_add("t", [[float((i * 13 + j) % 17) for j in range(32)] for i in range(3000)], [{} for _ in range(3000)])
        ticks = []
        done = threading.Event()

        def ticker():
            while not done.is_set():
                ticks.append(1)
                done.wait(0.001)

        t = threading.Thread(target=ticker)
        t.start()
        try:
            db.build_hnsw_index("t")
        finally:
            done.set()
            t.join()
        self.assertGreater(len(ticks), 5)

    def test_threads_run_concurrently(self):
        db = self.db
        db.create_table_if_not_exists("t", 8)
        db.batch_add("t", [[float(i + j) for j in range(8)] for i in range(200)], [{} for _ in range(200)])
        errors = []

        def work():
            try:
                for _ in range(20):
                    db.search("t", [1.0] * 8, 3)
                    db.get_len("t")
            except BaseException as e:  # noqa: B902
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])


class SubInterpreterTest(unittest.TestCase):
    def test_second_interpreter_refused(self):
        code = (
            "import quillmere, _testcapi\n"
            "r = _testcapi.run_in_subinterp("
            "'try:\\n import quillmere\\nexcept ImportError as e:\\n assert \"does not support sub-interpreters\" in str(e)\\n"
            "else:\\n raise SystemExit(3)')\n"
            "raise SystemExit(r)\n"
        )
        try:
            import _testcapi  # noqa: F401
        except ImportError:
            self.skipTest("_testcapi is not available")
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)


if __name__ == "__main__":
    unittest.main()
