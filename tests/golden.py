"""A fixed corpus of calls to the four functions, and SHA-256 digests of its inputs and results.

The inputs are made from Python integers (a 64-bit LCG), float + - * / and ldexp, and exact bit
patterns; layouts are views and copies of integer arrays that are only viewed as float64 at the
end. No NumPy routine ever computes on a float input (that could quiet a signalling NaN or round
differently), so every NumPy version and CPU makes the same input bytes: the input digest shows
it. The results of each function are hashed as raw little-endian bytes, NaN payloads included.

    python3 tests/golden.py           compare the module and the references with the digests
    python3 tests/golden.py --write   rewrite the digests, only if module and references agree
"""

import argparse
import functools
import hashlib
import json
import math
import struct
import sys
import time
from pathlib import Path
from typing import NamedTuple

import numpy as np

FUNCTIONS = (
    "calculate_cramers_v",
    "calculate_summary_stats",
    "detect_continuous_outliers",
    "detect_categorical_outliers",
)
DIGESTS = Path(__file__).with_name("golden_digests.json")


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def double(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


INF = 0x7FF0000000000000
SIGN = 1 << 63
NANS = [
    0x7FF8000000000000,  # the canonical NaN
    0xFFF8000000000000,  # x86-64's default NaN
    0x7FF800000000BEEF,
    0xFFFC0000DEADBEEF,
    0x7FF0000000000001,  # signalling
    0xFFF4000000000000,  # signalling, negative
]
EDGES = [
    0,
    SIGN,
    INF,
    INF | SIGN,
    1,  # the smallest subnormal
    0x000FFFFFFFFFFFFF,  # the largest subnormal
    SIGN | 0x000000000000BEEF,
    0x0010000000000000,  # the smallest normal
    0x7FEFFFFFFFFFFFFF,
    bits(1e300),
    bits(-1e300),
    bits(1e-300),
    bits(-1e-300),
    bits(1e8),
    bits(0.1),
]
SPECIALS = NANS + EDGES
# Codes outside 0 .. k - 1 for every k; codes() adds k and k + 1.
BAD_CODES = [-1, -2, -(2**31), 2**31 - 1]
THRESHOLDS = [0.0, -0.0, -1.0, 0.5, 1.0, 1.5, 2.0, 3.0, 1e-8, math.inf, -math.inf]
FRACTIONS = [0.0, -0.5, 0.05, 0.07, 0.1, 0.3, 0.5, 1.0, 1.5, math.inf, -math.inf]
NAN_THRESHOLDS = [double(NANS[0]), double(NANS[1])]


class Lcg:
    """Knuth's 64-bit MMIX generator; draws are the top 32 bits of the state."""

    def __init__(self, seed):
        self.state = seed

    def below(self, n):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % 2**64
        return (self.state >> 32) % n

    def pick(self, seq):
        return seq[self.below(len(seq))]


class Call(NamedTuple):
    function: str
    args: tuple
    label: str


# --- values -----------------------------------------------------------------------------------

KINDS = ["integers", "scaled", "decimals", "offset", "huge", "tiny", "subnormal", "constant"]


def number(rng, kind, scale):
    if kind == "integers":
        return float(rng.below(101) - 50)
    if kind == "scaled":
        return math.ldexp(rng.below(1 << 30) - (1 << 29), scale)
    if kind == "decimals":
        return (rng.below(20001) - 10000) / 1000
    if kind == "offset":  # 1e8 plus noise of about one unit
        return 1e8 + math.ldexp(rng.below(1 << 21) - (1 << 20), -20)
    if kind == "huge":  # squares overflow
        return 1e300 * ((rng.below(17) - 8) / 8)
    if kind == "tiny":  # squares underflow
        return 1e-300 * (rng.below(17) - 8)
    if kind == "subnormal":
        return math.ldexp(rng.below(1 << 30) - (1 << 29), -1074)
    raise ValueError(kind)


def column(rng, n, specials_one_in=None):
    """Bit patterns of n values of one randomly chosen kind, with specials scattered in."""
    kind = rng.pick(KINDS)
    scale = rng.below(121) - 60
    constant = bits(rng.pick([0.1, 1.0, -2.5, 1e8, 1e300, 1e-300]))
    one_in = rng.pick([0, 0, 0, 16, 4]) if specials_one_in is None else specials_one_in
    out = []
    for _ in range(n):
        if one_in and rng.below(one_in) == 0:
            out.append(rng.pick(SPECIALS))
        elif kind == "constant":
            out.append(constant)
        else:
            out.append(bits(number(rng, kind, scale)))
    return out


# Short columns where the bits of a computed NaN, an extreme or a zero are easy to get wrong:
# inf and -inf, two NaN payloads in either order, quiet and signalling NaNs, signed zeros,
# squares that overflow, a constant column whose std is not 0, a |z| of exactly 1.
CRAFTED_COLUMNS = [
    [INF, INF | SIGN],
    [INF | SIGN, INF],
    [NANS[2], NANS[3]],
    [NANS[3], NANS[2]],
    [NANS[0], NANS[4]],
    [NANS[4], NANS[0]],
    [NANS[5], bits(1.0), NANS[1]],
    [bits(1.0), NANS[5], bits(5.0), bits(-2.0)],
    [bits(1.0), INF, bits(3.0)],
    [0, SIGN],
    [SIGN, 0],
    [bits(1e160), bits(-1e160)],
    [bits(1e200), bits(-1e200), 1],
] + [[bits(0.1)] * 10, [bits(1.0), bits(3.0)], [bits(float(v)) for v in (1, 2, 3, 4, 5)]]


def float_array(b):
    return np.array(b, dtype=np.uint64)


def as_float(a):
    return a.view(np.float64)


def z_scores(b):
    """|z| of every element, as the kernel forms them; None unless the std is finite and > 0."""
    x = [double(v) for v in b]
    if not x or not all(math.isfinite(v) for v in x):
        return None
    total = total_sq = 0.0
    for v in x:
        total = total + v
        total_sq = total_sq + v * v
    mean = total / len(x)
    variance = total_sq / len(x) - mean * mean
    std = math.sqrt(variance) if variance > 0 else 0.0
    if not 0 < std < math.inf:
        return None
    return [abs((v - mean) / std) for v in x]


# --- layouts ------------------------------------------------------------------------------------


def unaligned(a):
    buf = np.zeros(a.nbytes + a.itemsize + 1, dtype=np.uint8)
    out = np.frombuffer(buf.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def vector_layouts(a):
    n = a.shape[0]
    wide = np.zeros(3 * n + 2, a.dtype)
    wide[2::3] = a
    rows = np.zeros((n, 3), a.dtype)
    rows[:, 1] = a
    cols = np.zeros((n + 1, 2), a.dtype, order="F")
    cols[1:, 1] = a
    return [
        ("C", a.copy()),
        ("step 3", wide[2::3]),
        ("reversed", a[::-1].copy()[::-1]),
        ("column of C", rows[:, 1]),
        ("column of F", cols[1:, 1]),
        ("unaligned", unaligned(a)),
    ]


def matrix_layouts(a):
    r, c = a.shape
    shifted = np.zeros((r, c + 3), a.dtype)
    shifted[:, 1 : c + 1] = a
    shifted_f = np.zeros((r + 3, c), a.dtype, order="F")
    shifted_f[1 : r + 1] = a
    grid = np.zeros((2 * r + 1, 3 * c + 2), a.dtype)
    grid[1::2, 2::3] = a
    grid_f = np.zeros((3 * r + 2, 2 * c + 1), a.dtype, order="F")
    grid_f[2::3, 1::2] = a
    return [
        ("C", a.copy()),
        ("F", np.asfortranarray(a)),
        ("odd column", shifted[:, 1 : c + 1]),
        ("odd row F", shifted_f[1 : r + 1]),
        ("sliced", grid[1::2, 2::3]),
        ("sliced F", grid_f[2::3, 1::2]),
        ("reversed", a[::-1, ::-1].copy()[::-1, ::-1]),
        ("reversed rows", a[::-1].copy()[::-1]),
        ("unaligned", unaligned(a)),
        ("unaligned F", unaligned(a.T.copy()).T),
    ]


# --- calls ------------------------------------------------------------------------------------


def summary_calls(rng):
    name = "calculate_summary_stats"
    matrices = []
    for rows in (0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 33, 60):
        for cols in (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 16, 17, 20):
            for _ in range(1 if rows * cols == 0 else 2):
                matrices.append((rows, [column(rng, rows) for _ in range(cols)]))
    # Row chunks of 2048 / cols rows, and blocks of four, two and one columns.
    for rows, cols in ((2100, 1), (1100, 2), (700, 3), (520, 4), (420, 5), (300, 7), (130, 16)):
        matrices.append((rows, [column(rng, rows, 0) for _ in range(cols)]))
    matrices.append((120, [column(rng, 120) for _ in range(17)]))
    # Each crafted column alone, and among others at an odd position.
    for crafted in CRAFTED_COLUMNS:
        n = len(crafted)
        matrices.append((n, [crafted]))
        matrices.append((n, [column(rng, n), crafted, column(rng, n), column(rng, n), crafted]))
    calls = []
    for rows, cols in matrices:
        a = float_array(cols).reshape(len(cols), rows).T
        for layout, v in matrix_layouts(a):
            calls.append(Call(name, (as_float(v),), f"{a.shape} {layout}"))
    # Zero strides: one row repeated, one column repeated.
    columns = [column(rng, rows) for rows in (5, 9, 600)] + CRAFTED_COLUMNS
    for cols, col in enumerate(columns):
        rows = len(col)
        bcast = np.broadcast_to(float_array(col)[:, None], (rows, 1 + cols % 8))
        calls.append(Call(name, (as_float(bcast),), f"{bcast.shape} column bcast"))
        row = float_array(column(rng, 1 + cols % 8))
        bcast = np.broadcast_to(row, (rows, row.shape[0]))
        calls.append(Call(name, (as_float(bcast),), f"{bcast.shape} row bcast"))
    for bad in (np.zeros(3), np.zeros((2, 2, 2)), np.float64(1.0)):
        calls.append(Call(name, (np.asarray(bad),), f"ndim {np.ndim(bad)}"))
    return calls


def continuous_calls(rng):
    name = "detect_continuous_outliers"
    vectors = []
    for n in (0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 60):
        for _ in range(4):
            vectors.append(column(rng, n, rng.pick([0, 0, 0, 0, 16])))
    for n in (1000, 2049, 4099):
        vectors.append(column(rng, n, 0))
    vectors += CRAFTED_COLUMNS
    calls = []
    for b in vectors:
        thresholds = [rng.pick(THRESHOLDS) for _ in range(3)] + [rng.pick(NAN_THRESHOLDS)]
        z = z_scores(b)
        if z is not None:
            # At a |z| and one double below it, so that one ulp of error flips a flag.
            for t in (max(z), rng.pick(z)):
                thresholds += [t, math.nextafter(t, -math.inf)]
        a = float_array(b)
        for layout, v in vector_layouts(a):
            for t in thresholds:
                calls.append(Call(name, (as_float(v), t), f"n={len(b)} {layout} t={t!r}"))
    for n, value in ((1, NANS[4]), (16, bits(0.1)), (9, INF)):
        bcast = np.broadcast_to(float_array([value]), (n,))
        for t in (0.0, -1.0):
            calls.append(Call(name, (as_float(bcast), t), "bcast"))
    for bad in (np.zeros((3, 1)), np.zeros((1, 3)), np.float64(2.0)):
        calls.append(Call(name, (np.asarray(bad), 1.0), f"ndim {np.ndim(bad)}"))
    return calls


def codes(rng, n, k, bad_one_in):
    """n codes of k categories, some common and some rare, with out-of-range codes scattered."""
    common = [rng.below(max(k, 1)) for _ in range(3)]
    out = []
    for _ in range(n):
        if k == 0 or (bad_one_in and rng.below(bad_one_in) == 0):
            out.append(rng.pick(BAD_CODES + [k, k + 1]))
        elif rng.below(2):
            out.append(rng.pick(common))
        else:
            out.append(rng.below(k))
    return out


def int_array(c):
    return np.array(c, dtype=np.int32)


def categorical_calls(rng):
    name = "detect_categorical_outliers"
    cases = []
    for n in (0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 60, 100):
        for k in (0, 1, 2, 3, 5, 17, 300):
            if rng.below(2) or n == 100:
                cases.append((n, k, rng.pick([0, 0, 10, 3])))
    # Four-lane and one-lane tallies, fewer and more categories than codes.
    cases += [(1000, 5, 50), (2049, 300, 20), (6000, 5000, 0), (40, 5000, 10), (4099, 4096, 0)]
    calls = []
    for n, k, bad_one_in in cases:
        c = codes(rng, n, k, bad_one_in)
        fractions = [rng.pick(FRACTIONS) for _ in range(3)] + [rng.pick(NAN_THRESHOLDS)]
        counts = [c.count(v) for v in range(min(k, 50))]
        for count in sorted({v for v in counts if v}):
            if rng.below(2):
                # At an exact count boundary and either side of it.
                f = count / n
                fractions += [f, math.nextafter(f, -math.inf), math.nextafter(f, math.inf)]
        for layout, v in vector_layouts(int_array(c)):
            for f in fractions:
                calls.append(Call(name, (v, k, f), f"n={n} k={k} {layout} f={f!r}"))
        for other in (k - 1, k + 7, 0, -1):
            calls.append(Call(name, (int_array(c), other, 0.25), f"n={n} k={other}"))
    calls.append(Call(name, (np.broadcast_to(int_array([2]), (9,)), 3, 0.5), "bcast"))
    calls.append(Call(name, (np.broadcast_to(int_array([-1]), (9,)), 3, 0.5), "bcast"))
    for bad in (np.zeros((3, 1), np.int32), np.int32(1)):
        calls.append(Call(name, (bad, 2, 0.5), f"ndim {np.ndim(bad)}"))
    return calls


def cramers_calls(rng):
    name = "calculate_cramers_v"
    counts = [(0, 3), (1, 4), (2, 2), (2, 3), (3, 2), (3, 3), (4, 7), (7, 4), (40, 30), (300, 5)]
    cases = []
    for n in (0, 1, 2, 3, 4, 5, 8, 9, 17, 33, 60, 100):
        for kx, ky in counts:
            if rng.below(3):
                cases.append((n, kx, ky, rng.pick([0, 0, 10, 3])))
    # Dense tallies in four lanes and in one, and a sparse table larger than the data.
    cases += [(3000, 3, 4, 20), (5000, 70, 60, 0), (50, 300, 300, 5), (2049, 2, 2, 0)]
    calls = []
    for n, kx, ky, bad_one_in in cases:
        x = codes(rng, n, kx, bad_one_in)
        if rng.below(2):  # associated: y follows x, mostly
            y = [v % max(ky, 1) if rng.below(4) else rng.below(max(ky, 1)) for v in x]
        else:
            y = codes(rng, n, ky, bad_one_in)
        vx, vy = vector_layouts(int_array(x)), vector_layouts(int_array(y))
        for (lx, ax), (ly, ay) in zip(vx, vy[1:] + vy[:1]):
            for args in ((ax, ay, kx, ky), (ax, ax, kx, kx), (ay, ax, ky, kx)):
                calls.append(Call(name, args, f"n={n} k={kx},{ky} {lx}/{ly}"))
        for lx, ax in vx:
            calls.append(Call(name, (ax, vy[0][1], kx, ky), f"n={n} k={kx},{ky} {lx}"))
        for other in ((kx + 3, ky), (kx, 1), (kx, -1), (-1, ky), (-2, -3)):
            calls.append(Call(name, (int_array(x), int_array(y)) + other, f"n={n} k={other}"))
    zero_stride = np.broadcast_to(int_array([1]), (12,))
    calls.append(Call(name, (zero_stride, int_array(list(range(12))), 3, 12), "bcast"))
    calls.append(Call(name, (int_array([0, 1, 2] * 4), zero_stride, 3, 2), "bcast"))
    calls += [
        Call(name, (int_array([[0, 1]]), int_array([0, 1, 0]), 2, 2), "ndim 2"),
        Call(name, (int_array([0, 1]), np.int32(0), 2, 2), "ndim 0"),
        Call(name, (int_array([0, 1, 0]), int_array([0, 1, 0, 1]), 2, 2), "lengths"),
        Call(name, (int_array([]), int_array([]), -1, 2), "empty, negative"),
    ]
    return calls


@functools.cache
def corpus():
    makers = (cramers_calls, summary_calls, continuous_calls, categorical_calls)
    return [call for i, make in enumerate(makers) for call in make(Lcg(i + 1))]


# --- digests ------------------------------------------------------------------------------------


def array_bytes(a):
    """Kind, size, shape and little-endian bytes: the same on every machine and NumPy."""
    a = np.asarray(a)
    size = a.dtype.itemsize
    raw = np.ascontiguousarray(a.view(f"u{size}")).astype(f"<u{size}")
    return f"{a.dtype.kind}{size}{a.shape}".encode() + raw.tobytes()


def input_bytes(arg):
    if isinstance(arg, np.generic):  # its repr differs between NumPy 1 and 2
        arg = np.asarray(arg)
    if isinstance(arg, np.ndarray):
        size = arg.itemsize
        # Strides that never move (extent 0 or 1) are not part of the layout.
        strides = tuple(s if e > 1 else 0 for s, e in zip(arg.strides, arg.shape))
        aligned = arg.ctypes.data % size == 0 and all(s % size == 0 for s in strides)
        return f"array{strides}{aligned}".encode() + array_bytes(arg)
    if isinstance(arg, float):
        return struct.pack("<d", arg)
    return repr(arg).encode()


def outcome_bytes(function, args):
    try:
        out = function(*args)
    except Exception as e:
        return f"raises {type(e).__name__}: {e}".encode()
    head = type(out).__name__.encode()
    if isinstance(out, float):
        return head + struct.pack("<d", out)
    if isinstance(out, dict):
        return head + b"".join(repr(k).encode() + array_bytes(v) for k, v in out.items())
    return head + array_bytes(out)


def input_digest(calls):
    h = hashlib.sha256()
    for call in calls:
        h.update(call.function.encode())
        for arg in call.args:
            h.update(input_bytes(arg))
    return h.hexdigest()


def result_digest(calls, name, function):
    h = hashlib.sha256()
    for call in calls:
        if call.function == name:
            h.update(outcome_bytes(function, call.args))
    return h.hexdigest()


def call_counts(calls):
    return {name: sum(call.function == name for call in calls) for name in FUNCTIONS}


def first_difference(calls, name, module, reference):
    """The first call of `name` whose result from the module differs from the reference's."""
    own = [c for c in calls if c.function == name]
    for i, call in enumerate(own):
        if outcome_bytes(getattr(module, name), call.args) != outcome_bytes(
            getattr(reference, name), call.args
        ):
            return f"call {i} ({call.label}) differs from the reference"
    return "the module agrees with the reference on every call: the digest was made from others"


def committed():
    return json.loads(DIGESTS.read_text())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--write", action="store_true", help="rewrite " + DIGESTS.name)
    write = parser.parse_args().write

    import vantorix_core

    import reference

    start = time.perf_counter()
    calls = corpus()
    print(f"corpus: {len(calls)} calls in {time.perf_counter() - start:.2f} s")
    now = {"calls": call_counts(calls), "inputs": input_digest(calls), "results": {}}
    old = committed() if DIGESTS.exists() else {"results": {}}
    agree = True
    for name in FUNCTIONS:
        times = []
        digests = []
        for source in (vantorix_core, reference):
            start = time.perf_counter()
            digests.append(result_digest(calls, name, getattr(source, name)))
            times.append(time.perf_counter() - start)
        same = digests[0] == digests[1]
        agree = agree and same
        now["results"][name] = digests[0]
        state = "committed" if digests[0] == old["results"].get(name) else "NEW"
        verdict = "agree" if same else first_difference(calls, name, vantorix_core, reference)
        print(
            f"{name}: {now['calls'][name]} calls, module {times[0]:.2f} s, reference "
            f"{times[1]:.2f} s, {verdict}, {state} {digests[0]}"
        )
    if not write:
        return 0 if agree and now == old else 1
    if not agree:
        print("not written: the module and the references disagree", file=sys.stderr)
        return 1
    DIGESTS.write_text(json.dumps(now, indent=2) + "\n")
    print(f"wrote {DIGESTS.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
