"""Arbitrary Python objects in every argument position.

Every call must give what a model of the binding's conversions predicts: TypeError for an
argument it refuses (or a wrong arity or a keyword), otherwise the reference's answer for the
converted arguments, exception and message included. No other exception, no crash, and the
module keeps working. CI runs a fixed seed and a bounded count; `--fuzz-count` and
`--fuzz-seed` (or VANTORIX_FUZZ_COUNT and VANTORIX_FUZZ_SEED) run longer or other searches.
"""

import array
import collections
import ctypes
import decimal
import fractions
import operator
import random

import numpy as np
import pytest

try:
    import pandas as pd
except ImportError:  # the emulated configurations run without it
    pd = None

import vantorix_core as vc

import reference
from conftest import assert_same_outcome, cells_may_run_out, outcome

KINDS = {
    "calculate_cramers_v": ("int32", "int32", "int", "int"),
    "calculate_summary_stats": ("float64",),
    "detect_continuous_outliers": ("float64", "float"),
    "detect_categorical_outliers": ("int32", "int", "float"),
}
# Casting complex, masked or deprecated values warns; the fuzz means to.
pytestmark = pytest.mark.filterwarnings("ignore")

ERRORS = [
    ValueError,
    TypeError,
    OverflowError,
    ZeroDivisionError,
    RecursionError,
    MemoryError,
    KeyboardInterrupt,
    SystemExit,
]


class Refused(Exception):
    """The binding refuses the argument: the call raises TypeError."""


def is_number(obj):
    # The C slots decide, not the attributes: NumPy's str_ has an __int__ but no nb_int.
    return ctypes.pythonapi.PyNumber_Check(ctypes.py_object(obj)) == 1


def to_array(obj, dtype):
    """NumPy's conversion with any cast allowed; whatever NumPy refuses, the binding refuses."""
    try:
        return np.asarray(obj, dtype)
    except BaseException:
        raise Refused from None


def to_int(obj):
    """pybind11's int: never a float; __index__ first, and for a number that fails (or gives
    more than a C long) its int(), taken again without conversion; then 32 bits."""
    if isinstance(obj, float):
        raise Refused
    try:
        value = operator.index(obj)
        retry = not -(2**63) <= value < 2**63
    except BaseException:
        retry = True
    if retry:
        if not is_number(obj):
            raise Refused
        try:
            value = int(obj)
        except BaseException:
            raise Refused from None
    if not -(2**31) <= value < 2**31:
        raise Refused
    return value


def to_float(obj):
    """pybind11's double: a float, or a number through float() (which parses no strings then)."""
    if not (isinstance(obj, float) or is_number(obj)):
        raise Refused
    try:
        return float(obj)
    except BaseException:
        raise Refused from None


CONVERT = {
    "int32": lambda obj: to_array(obj, np.int32),
    "float64": lambda obj: to_array(obj, np.float64),
    "int": to_int,
    "float": to_float,
}


def predict(name, args, kwargs):
    """The outcome the module must give, and whether the call would make a count table so
    large that it may not be had. Such calls are left out here: huge counts have tests of their
    own."""
    kinds = KINDS[name]
    try:
        if kwargs or len(args) != len(kinds):
            raise Refused
        converted = [CONVERT[kind](arg) for kind, arg in zip(kinds, args)]
    except Refused:
        return ("raises", TypeError), False
    with np.errstate(all="ignore"):
        expected = outcome(getattr(reference, name), *converted)
    large = name == "calculate_cramers_v" and cells_may_run_out(*converted[2:])
    return expected, large


def hooked(value, *hooks):
    """An object whose hooks (`index`, `float`, `array`, `repr`, ...) give `value`: raise it
    if it is an exception type, call it if it is a function, return it otherwise."""

    def hook(self, *args, **kwargs):
        if isinstance(value, type) and issubclass(value, BaseException):
            raise value()
        return value() if callable(value) else value

    return type("Hooked", (), {f"__{name}__": hook for name in hooks})()


def reenter():
    """Calls the module while the module converts its arguments."""
    vc.detect_continuous_outliers([1.0, 2.0, 30.0], 0.5)
    return 2


class Lying:
    """Claims `length` items and has `have`."""

    def __init__(self, length, have):
        self.length, self.have = length, have

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if not 0 <= i < self.have:
            raise IndexError(i)
        return float(i)


class SubArray(np.ndarray):
    pass


class Fuzzer:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def choice(self, options):
        return self.rng.choice(options)

    def scalar(self):
        r = self.rng
        return self.choice(
            [
                None,
                True,
                False,
                Ellipsis,
                NotImplemented,
                "abc",
                "12",
                "",
                " 3.5",
                b"7",
                b"x",
                bytearray(b"1"),
                0,
                1,
                -1,
                2,
                3,
                2**31 - 1,
                -(2**31),
                2**31,
                2**63,
                2**64,
                10**400,
                -(10**400),
                0.0,
                -0.0,
                2.5,
                -0.5,
                1e308,
                5e-324,
                float("nan"),
                float("inf"),
                complex(1, 2),
                decimal.Decimal("2.5"),
                decimal.Decimal("nan"),
                fractions.Fraction(7, 2),
                np.float64(3.0),
                np.float32(2.5),
                np.float16(1.5),
                np.int64(3),
                np.uint64(2**64 - 1),
                np.int8(-3),
                np.bool_(True),
                np.complex128(1j),
                np.datetime64("2020-01-01"),
                np.timedelta64(5, "D"),
                np.str_("3"),
                object(),
                int,
                len,
                np,
                {},
                {"a": 1},
                {1, 2},
                range(r.randint(0, 5)),
                slice(1),
                10**5000,
                hooked(self.choice([3, -1, 2**31, 2**70, True, 3.5, "x", *ERRORS]), "index"),
                hooked(self.choice([2.5, float("nan"), "x", 10**400, 3, *ERRORS]), "float"),
                hooked(self.choice(ERRORS), "index", "int", "float", "array", "len", "getitem"),
                hooked(
                    self.choice([None, "x", 2**100, 3.5, 2, True]), "index", "int", "float", "array"
                ),
                hooked(self.choice([*ERRORS, None, "\ud800"]), "repr"),  # shown in the TypeError
                hooked(reenter, "index", "float"),
            ]
        )

    def array(self):
        """An ndarray of any dtype, shape and layout, or something made from one."""
        r = self.rng
        dtype = self.choice(
            [
                "i4",
                "f8",
                "bool",
                "i1",
                "i2",
                "i8",
                "u1",
                "u2",
                "u4",
                "u8",
                ">i8",
                "f2",
                "f4",
                ">f4",
                "c16",
                "U3",
                "S2",
                "O",
                "datetime64[D]",
                "timedelta64[s]",
                "i4,f8",
                "V4",
            ]
        )
        shape = tuple(r.randint(0, 4) for _ in range(self.choice([0, 1, 1, 1, 2, 2, 3])))
        base = np.array(np.arange(np.prod(shape, dtype=int)) % 7 - 2, dtype="i8").reshape(shape)
        if dtype == "O":
            a = np.empty(shape, dtype=object)
            for i in np.ndindex(shape):
                a[i] = self.choice([1, 2.5, "3", None, [1], float("nan"), 2**80, object()])
        else:
            with np.errstate(all="ignore"):
                a = base.astype(dtype)
        if a.ndim and r.random() < 0.5:
            a = self.choice([a[::-1], a.T, a[::2], np.broadcast_to(a, (2, *a.shape)), a[..., None]])
        wrap = self.choice(
            [
                lambda a: a,
                lambda a: a,
                lambda a: a,
                lambda a: a.view(SubArray),
                lambda a: np.ma.masked_array(a, mask=np.ones(a.shape, bool)),
                lambda a: memoryview(np.ascontiguousarray(a)) if a.dtype.kind in "biuf" else a,
                lambda a: a.tolist(),
                lambda a: hooked(a, "array"),
                self.pandas,
            ]
        )
        return wrap(a)

    def pandas(self, a):
        """A Series or an Index of `a`, where pandas has one."""
        try:
            return self.choice([pd.Series, pd.Index])(a)
        except Exception:  # pandas missing, not 1-D, or a dtype it does not index
            return a

    def sequence(self, depth=0):
        r = self.rng
        pick = r.random()
        if pick < 0.1:
            nested = [1.0]
            for _ in range(self.choice([30, 31, 32, 33, 63, 64, 65, 200])):
                nested = [nested]
            return nested
        if pick < 0.15:
            loop = [1]
            loop.append(loop)
            return loop
        if pick < 0.2:
            return Lying(r.randint(-1, 5), r.randint(0, 5))
        if pick < 0.3:
            return array.array(self.choice("bdi"), [1, 2, 3])
        items = [
            self.sequence(depth + 1) if depth < 3 and r.random() < 0.2 else self.scalar()
            for _ in range(r.randint(0, 5))
        ]
        return tuple(items) if r.random() < 0.2 else items

    def plausible(self, kind):
        r = self.rng
        if kind == "int":
            return self.choice([r.randint(-3, 12), r.randint(0, 5), -1, -(2**31)])
        if kind == "float":
            return self.choice([r.uniform(-1, 3), 0.0, float("nan"), r.randint(-2, 2)])
        n = r.randint(0, 12)
        if kind == "float64" and r.random() < 0.5:
            return [[r.gauss(0, 3) for _ in range(n % 4)] for _ in range(n)]
        return [r.randint(-1, 6) if kind == "int32" else r.gauss(0, 3) for _ in range(n)]

    def arbitrary(self):
        return self.choice([self.scalar, self.array, self.sequence])()

    def call(self):
        """A function name, positional arguments and keyword arguments."""
        r = self.rng
        name = self.choice(list(KINDS))
        kinds = list(KINDS[name])
        if r.random() < 0.05:
            kinds = kinds[: r.randint(0, len(kinds))] + ["float"] * r.randint(0, 2)
        args = [self.plausible(k) if r.random() < 0.6 else self.arbitrary() for k in kinds]
        kwargs = {}
        if args and r.random() < 0.03:
            kwargs[self.choice([f"arg{len(args) - 1}", "data", "x"])] = args.pop()
        return name, args, kwargs


def describe(obj):
    try:
        return repr(obj)[:200]
    except Exception:
        return f"<{type(obj).__name__} without a repr>"


def known_answer():
    out = vc.detect_categorical_outliers([0, 0, 0, 1], 2, 0.3)
    np.testing.assert_array_equal(out, [0, 0, 0, 1])


def test_arbitrary_arguments(request):
    count = request.config.getoption("--fuzz-count")
    seed = request.config.getoption("--fuzz-seed")
    fuzzer = Fuzzer(seed)
    seen = collections.Counter()
    made = 0
    while made < count:
        name, args, kwargs = fuzzer.call()
        expected, large = predict(name, args, kwargs)
        if large:
            continue
        made += 1
        with np.errstate(all="ignore"):
            try:
                actual = ("value", getattr(vc, name)(*args, **kwargs))
            except Exception as e:
                actual = ("raises", type(e), str(e))
        try:
            if expected == ("raises", TypeError):
                assert actual[:2] == expected
                assert actual[2].startswith(f"{name}(): incompatible function arguments.")
            else:
                assert_same_outcome(actual, expected)
        except AssertionError as e:
            shown = [describe(a) for a in args] + [f"{k}={describe(v)}" for k, v in kwargs.items()]
            call = f"{name}({', '.join(shown)})"
            raise AssertionError(f"call {made}, seed {seed}: {call}\n{e}") from None
        seen[actual[0] if actual[0] == "value" else actual[1].__name__] += 1
        if made % 500 == 0:
            known_answer()
    known_answer()
    # The calls reach every kind of outcome, not just TypeError.
    if count >= 1000:
        assert {"value", "TypeError", "RuntimeError", "ValueError"} <= set(seen), seen
