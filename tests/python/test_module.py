"""Module shape: import, contents, the VecDB type and its documentation."""
import importlib
import sys
import unittest

import quillmere

CLASS_TEXT = (
    "Vector Database. Ensures:\n"
    "- Auto-save. The database will be saved to disk when necessary.\n"
    "- Parallelism. `allow_threads` is used to allow multi-threading.\n"
    "- Thread-safe. Read and write operations are atomic.\n"
    "- Unique. Only one manager for each database."
)

METHODS = [
    ("create_table_if_not_exists", '($self, key, dim, dist="cosine")',
     "Create a new table if it does not exist.\n\nRaises:\n    ValueError: If the distance function is invalid."),
    ("get_all_keys", "($self)", "Get all table names."),
    ("contains_key", "($self, key)", "Check if a table exists."),
    ("delete_table", "($self, key)",
     "Delete a table and wait for all operations to finish.\nReturns false if the table does not exist."),
    ("get_cached_tables", "($self)", "Returns a list of table keys that are cached."),
    ("contains_cached", "($self, key)", "Check if a table is cached."),
    ("remove_cached_table", "($self, key)",
     "Remove a table from the cache.\nDoes nothing if the table is not cached."),
    ("get_len", "($self, key)", "Get the number of vectors in the table."),
    ("get_dim", "($self, key)", "Get the dimension of the vectors in the table."),
    ("get_dist", "($self, key)", "Get the distance algorithm used by the table."),
    ("add", "($self, key, vec, metadata)",
     "Add a vector to the table.\nUse `batch_add` for better performance."),
    ("batch_add", "($self, key, vec_list, metadata_list)", "Add multiple vectors to the table."),
    ("delete", "($self, key, pattern)",
     "Delete vectors with metadata that match the pattern.\nReturns the number of vectors deleted."),
    ("search", "($self, key, query, k, ef=None, upper_bound=None)",
     "Search for the nearest neighbors of a vector.\nReturns a list of (metadata, distance) pairs."),
    ("extract_data", "($self, key)", "Extract data from the table."),
    ("build_hnsw_index", "($self, key, ef_construction=None)",
     "Build HNSW index for the table. Skip when already built."),
    ("clear_hnsw_index", "($self, key)", "Clear HNSW index for the table."),
    ("has_hnsw_index", "($self, key)", "Check if the table has HNSW index."),
    ("build_pq_table", "($self, key, train_proportion=None, n_bits=None, m=None)",
     "Build PQ table for the table. Skip when already built."),
    ("clear_pq_table", "($self, key)", "Clear PQ table for the table."),
    ("has_pq_table", "($self, key)", "Check if the table has PQ table."),
    ("force_save", "($self)", "Force save the database to disk."),
]


class ModuleTest(unittest.TestCase):
    def test_contents(self):
        self.assertEqual(quillmere.__all__, ["calc_dist", "VecDB"])
        self.assertEqual(quillmere.__doc__, "")
        self.assertFalse(hasattr(quillmere, "PanicException"))

    def test_reimport_gives_same_module(self):
        first = sys.modules.pop("quillmere")
        try:
            again = importlib.import_module("quillmere")
            self.assertIs(again, first)
            self.assertEqual(again.__all__, ["calc_dist", "VecDB"])
        finally:
            sys.modules["quillmere"] = first

    def test_calc_dist_shape(self):
        f = quillmere.calc_dist
        self.assertEqual(f.__module__, "quillmere")
        self.assertIs(f.__self__, quillmere)
        self.assertEqual(f.__text_signature__, '(a, b, dist="cosine")')
        self.assertEqual(f.__doc__, (
            "Calculate the distance between two vectors.\n\n"
            '`dist` can be "l2sqr" or "cosine" (default: "cosine", for RAG).\n\n\n'
            "- l2sqr: squared Euclidean distance\n"
            "- cosine: cosine distance (1 - cosine_similarity) [0.0, 2.0]\n\n"
            "Raises:\n    ValueError: If the distance function is invalid."))

    def test_type_shape(self):
        V = quillmere.VecDB
        self.assertEqual((V.__module__, V.__name__, V.__qualname__), ("quillmere", "VecDB", "VecDB"))
        self.assertEqual(V.__text_signature__, "(dir)")
        self.assertEqual(V.__doc__, CLASS_TEXT)
        self.assertEqual(V.__bases__, (object,))
        self.assertFalse(hasattr(V, "__init__") and V.__init__ is not object.__init__)
        with self.assertRaises(TypeError):
            class Derived(V):  # noqa: F841
                pass
        self.assertNotIn("__dict__", dir(V))
        self.assertNotIn("__weakref__", dir(V))

    def test_methods_in_order_with_docs(self):
        V = quillmere.VecDB
        names = [n for n in V.__dict__ if not n.startswith("__")]
        self.assertEqual(names, [m[0] for m in METHODS])
        for name, sig, doc in METHODS:
            with self.subTest(name=name):
                self.assertEqual(getattr(V, name).__text_signature__, sig)
                self.assertEqual(getattr(V, name).__doc__, doc)


if __name__ == "__main__":
    unittest.main()
