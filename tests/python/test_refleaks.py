"""Reference leaks: every VecDB method and calc_dist, on their good paths and their error paths,
called a few thousand times, leave the interpreter's allocated blocks flat and the reference
counts of their arguments (and of what the arguments hold) as they were."""
import contextlib
import gc
import os
import sys
import tempfile
import unittest

from quillmere import VecDB, calc_dist

CALLS = 2000


def s(text):
    """A string object of its own: literals are interned, and interned strings are immortal (as
    are the strings of one character), so their reference counts never change."""
    return "".join(list(text))


def vec(*xs):
    return [float(x) + 0.25 for x in xs]


def held(obj):
    """The object and everything it holds, as far as the module reads it."""
    out = [obj]
    if isinstance(obj, dict):
        for k, v in obj.items():
            out += held(k) + held(v)
    elif isinstance(obj, (list, tuple)):
        for x in obj:
            out += held(x)
    return out


@contextlib.contextmanager
def quiet_stderr():
    """An internal failure prints its message to standard error each time."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


class RefLeakTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.db = VecDB(self.tmp.name)
        db = self.db
        db.create_table_if_not_exists("rows", 3, "l2sqr")
        db.batch_add("rows", [vec(i, i % 5, 1) for i in range(40)], [{"id": str(i)} for i in range(40)])
        db.create_table_if_not_exists("graph", 4)
        db.batch_add("graph", [vec(i, i % 3, 1, 2) for i in range(32)], [{"id": str(i)} for i in range(32)])
        db.build_hnsw_index("graph")
        db.build_pq_table("graph", 0.5, 4, 2)

    def tearDown(self):
        self.db = None
        self.tmp.cleanup()

    def check_calls(self, name, f, args=(), kwargs=None, calls=CALLS, error=None):
        """f(*args, **kwargs) `calls` times; `error` names the exception type it must raise, if any."""
        kwargs = kwargs or {}
        error = getattr(error, "__name__", error)
        watched = held(list(args)) + held(list(kwargs.values()))

        def call():
            try:
                f(*args, **kwargs)
            except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
                if type(e).__name__ != error:
                    raise
            else:
                if error is not None:
                    self.fail(f"{name}: no {error}")

        for _ in range(20):  # caches and free lists fill on the first calls
            call()
        gc.collect()
        blocks = sys.getallocatedblocks()
        refs = [sys.getrefcount(o) for o in watched]
        for _ in range(calls):
            call()
        gc.collect()
        grown = sys.getallocatedblocks() - blocks
        self.assertEqual([sys.getrefcount(o) for o in watched], refs, f"{name}: reference counts of the arguments")
        # A leak of one object per call grows by `calls` blocks at least.
        self.assertLess(grown, calls // 10, f"{name}: {grown} blocks more after {calls} calls")

    def test_methods(self):
        db = self.db
        other = tempfile.TemporaryDirectory()
        self.addCleanup(other.cleanup)

        def create_and_delete(key):
            db.create_table_if_not_exists(key, 2)
            return db.delete_table(key)

        def add_and_delete(key, v, md):
            db.add(key, v, md)
            return db.delete(key, md)

        R, T, V, O = RuntimeError, TypeError, ValueError, OverflowError
        md = {s("id"): s("new")}
        cases = [
            # (method, args, kwargs, expected error, calls)
            (VecDB, (s(other.name),), {}, None, 200),  # opens and closes a database: saving threads start and end
            (VecDB, (s(self.tmp.name),), {}, R, CALLS),  # held by self.db
            (VecDB, (5,), {}, T, CALLS),
            (db.create_table_if_not_exists, (s("rows"), 3), {"dist": s("l2sqr")}, None, CALLS),
            (db.create_table_if_not_exists, (s("zz"), 0), {}, R, CALLS),
            (db.create_table_if_not_exists, (s("zz"), 2, s("Cosine")), {}, V, CALLS),
            (db.create_table_if_not_exists, (1, 2), {}, T, CALLS),
            (create_and_delete, (s("tmp"),), {}, None, 500),
            (db.delete_table, (s("nope"),), {}, None, CALLS),
            (db.delete_table, (1,), {}, T, CALLS),
            (db.get_all_keys, (), {}, None, CALLS),
            (db.get_all_keys, (1,), {}, T, CALLS),
            (db.get_cached_tables, (), {}, None, CALLS),
            (db.contains_key, (s("rows"),), {}, None, CALLS),
            (db.contains_key, ([],), {}, T, CALLS),
            (db.contains_cached, (s("rows"),), {}, None, CALLS),
            (db.contains_cached, (1.5,), {}, T, CALLS),
            (db.remove_cached_table, (s("nope"),), {}, None, CALLS),
            (db.remove_cached_table, (None,), {}, T, CALLS),
            (db.get_len, (s("rows"),), {}, None, CALLS),
            (db.get_len, (s("nope"),), {}, R, CALLS),
            (db.get_dim, (s("rows"),), {}, None, CALLS),
            (db.get_dim, (s("nope"),), {}, R, CALLS),
            (db.get_dist, (s("rows"),), {}, None, CALLS),
            (db.get_dist, (2,), {}, T, CALLS),
            (add_and_delete, (s("rows"), vec(1, 2, 3), md), {}, None, CALLS),
            (db.add, (s("rows"), vec(1, 2), {s("ak"): s("bv")}), {}, R, CALLS),  # bad dimension
            (db.add, (s("nope"), vec(1, 2, 3), {s("ak"): s("bv")}), {}, R, CALLS),
            (db.add, (s("rows"), vec(1, 2, 3), {s("ak"): 1}), {}, T, CALLS),
            (db.add, (s("rows"), [1.5, s("xx"), 2.5], {}), {}, T, CALLS),
            (db.add, (s("rows"), vec(1, 2, 3), {s("ak"): s("bv"), 3: s("cv")}), {}, T, CALLS),
            (db.batch_add, (s("rows"), [vec(1, 2, 3)], [{s("ak"): s("bv")}, {}]), {}, R, CALLS),
            (db.batch_add, (s("rows"), [vec(1, 2, 3), vec(1, 2)], [{}, {}]), {}, R, CALLS),
            (db.batch_add, (s("nope"), [vec(1, 2, 3)], [{s("ak"): s("bv")}]), {}, R, CALLS),
            (db.batch_add, (s("rows"), [vec(1, 2, 3)], [{s("ak"): s("bv")}, 5]), {}, T, CALLS),
            (db.batch_add, (s("rows"), [vec(1, 2, 3), s("abc")], [{}, {}]), {}, T, CALLS),
            (db.delete, (s("rows"), {s("id"): s("none")}), {}, None, CALLS),
            (db.delete, (s("nope"), {s("id"): s("none")}), {}, R, CALLS),
            (db.delete, (s("rows"), {s("id"): 7}), {}, T, CALLS),
            (db.search, (s("rows"), vec(1, 2, 3), 5), {}, None, CALLS),
            (db.search, (s("rows"), vec(1, 2, 3), 5), {"upper_bound": 4.5}, None, CALLS),
            (db.search, (s("graph"), vec(1, 2, 3, 4), 5), {"ef": 20}, None, CALLS),
            (db.search, (s("rows"), vec(1, 2), 5), {}, None, CALLS),  # an exact scan takes any length
            (db.search, (s("graph"), vec(1, 2), 5), {"ef": 20}, "PanicException", CALLS),  # the PQ path does not
            (db.search, (s("nope"), vec(1, 2, 3), 5), {}, R, CALLS),
            (db.search, (s("rows"), s("abc"), 5), {}, T, CALLS),
            (db.search, (s("rows"), vec(1, 2, 3), -1), {}, O, CALLS),
            (db.search, (s("rows"), vec(1, 2, 3), 5), {"ef": 1.5}, T, CALLS),
            (db.extract_data, (s("graph"),), {}, None, CALLS),
            (db.extract_data, (s("nope"),), {}, R, CALLS),
            (db.build_hnsw_index, (s("graph"),), {"ef_construction": 16}, None, 500),
            (db.build_hnsw_index, (s("nope"),), {}, R, CALLS),
            (db.build_hnsw_index, (s("graph"),), {"ef_construction": s("xx")}, T, CALLS),
            (db.has_hnsw_index, (s("graph"),), {}, None, CALLS),
            (db.has_hnsw_index, (s("nope"),), {}, R, CALLS),
            (db.clear_hnsw_index, (s("nope"),), {}, R, CALLS),
            (db.build_pq_table, (s("graph"), 0.5, 4, 2), {}, None, 500),
            (db.build_pq_table, (s("graph"), 0.5, -1), {}, O, CALLS),
            (db.build_pq_table, (s("nope"),), {}, R, CALLS),
            (db.build_pq_table, (s("graph"), s("half")), {}, T, CALLS),
            (db.has_pq_table, (s("graph"),), {}, None, CALLS),
            (db.has_pq_table, (s("nope"),), {}, R, CALLS),
            (db.clear_pq_table, (s("nope"),), {}, R, CALLS),
            (db.force_save, (), {}, None, 200),  # writes the changed tables each time
            (db.force_save, (1,), {}, T, CALLS),
            (calc_dist, (vec(1, 2, 3), vec(3, 2, 1)), {}, None, CALLS),
            (calc_dist, (vec(1, 2, 3), vec(3, 2, 1)), {"dist": s("l2sqr")}, None, CALLS),
            (calc_dist, (vec(1, 2, 3), vec(3, 2)), {}, None, CALLS),  # lengths that differ
            (calc_dist, (vec(1, 2), vec(3, 2)), {"dist": s("manhattan")}, V, CALLS),
            (calc_dist, (vec(1, 2), s("ab")), {}, T, CALLS),
        ]
        for f, args, kwargs, error, calls in cases:
            name = f"{getattr(f, '__name__', f)}{args!r:.60} {kwargs}"
            with self.subTest(name), (quiet_stderr() if error == "PanicException" else contextlib.nullcontext()):
                self.check_calls(name, f, args, kwargs, calls, error)
        # The clears' good paths, last: they remove what the searches above used.
        for f in (db.clear_hnsw_index, db.clear_pq_table):
            with self.subTest(f.__name__):
                self.check_calls(f.__name__, f, (s("graph"),))


if __name__ == "__main__":
    unittest.main()
