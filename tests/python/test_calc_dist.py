"""calc_dist: examples, conversions and a float32 reference computed in Python."""
import math
import random
import struct
import unittest

from quillmere import calc_dist


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def ref_sum(terms):
    s = -0.0
    for t in terms:
        s = f32(s + t)
    return s


def ref_l2sqr(a, b):
    return ref_sum(f32(d * d) for d in (f32(x - y) for x, y in zip(a, b)))


def ref_cosine(a, b):
    dot = ref_sum(f32(x * y) for x, y in zip(a, b))
    na = ref_sum(f32(x * x) for x in a)
    nb = ref_sum(f32(x * x) for x in b)
    den = f32(f32(math.sqrt(na)) * f32(math.sqrt(nb)))
    floor = f32(1e-10)
    if math.isnan(den) or den < floor:
        den = floor
    return f32(1.0 - f32(dot / den))


class CalcDistTest(unittest.TestCase):
    def test_examples(self):
        self.assertEqual(calc_dist([1, 0], [0, 1], dist="l2sqr"), 2.0)
        self.assertEqual(calc_dist([1, 0], [0, 1]), 1.0)
        self.assertEqual(calc_dist([1, 0], [0, 1], "cosine"), 1.0)
        self.assertEqual(calc_dist(a=[1, 2], b=(1, 2), dist="l2sqr"), 0.0)
        self.assertEqual(calc_dist([1, 2, 3], [1, 2], "l2sqr"), 0.0)  # common prefix
        self.assertEqual(calc_dist(b"\x01\x02", [1, 2], "l2sqr"), 0.0)
        self.assertIsInstance(calc_dist([1], [1]), float)

    def test_float32_reference(self):
        rng = random.Random(1234)
        for trial in range(200):
            n = rng.randint(1, 40)
            a = [f32(rng.uniform(-10, 10)) for _ in range(n)]
            b = [f32(rng.uniform(-10, 10)) for _ in range(n)]
            with self.subTest(trial=trial, a=a, b=b):
                self.assertEqual(calc_dist(a, b, "l2sqr"), ref_l2sqr(a, b))
                self.assertEqual(calc_dist(a, b, "cosine"), ref_cosine(a, b))

    def test_errors(self):
        cases = [
            (("ab", [1]), {}, TypeError, "argument 'a': Can't extract `str` to `Vec`"),
            (([1], "ab"), {}, TypeError, "argument 'b': Can't extract `str` to `Vec`"),
            (([1], [1], None), {}, TypeError,
             "argument 'dist': 'NoneType' object cannot be converted to 'PyString'"),
            (([1, 2], [1, 2], "L2SQR"), {}, ValueError, "Invalid distance function"),
            (([1], [1], " cosine"), {}, ValueError, "Invalid distance function"),
            (([1],), {}, TypeError, "calc_dist() missing 1 required positional argument: 'b'"),
            ((), {}, TypeError, "calc_dist() missing 2 required positional arguments: 'a' and 'b'"),
            (([1], [1], "cosine", 4), {}, TypeError,
             "calc_dist() takes from 2 to 3 positional arguments but 4 were given"),
            (([1], [1]), {"c": 1}, TypeError, "calc_dist() got an unexpected keyword argument 'c'"),
            (([1], [1]), {"a": 1}, TypeError, "calc_dist() got multiple values for argument 'a'"),
        ]
        for args, kwargs, exc, message in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(exc) as cm:
                    calc_dist(*args, **kwargs)
                self.assertIs(type(cm.exception), exc)
                self.assertEqual(str(cm.exception), message)

    def test_a_list_changed_while_it_converts(self):
        # An item's __float__ empties the list it stands in: the conversion stops at the new end.
        items = []

        class Shrinking:
            def __float__(self):
                items.clear()
                return 3.0

        items.extend([Shrinking(), 5.0, 7.0])
        self.assertEqual(calc_dist(items, [4.0], "l2sqr"), 1.0)

    def test_vector_is_converted_before_dist(self):
        with self.assertRaisesRegex(TypeError, "^argument 'b': "):
            calc_dist([1], {1}, "bad")


if __name__ == "__main__":
    unittest.main()
