"""Approximate kNN kernel: distance kernels against exact arithmetic, the whole
search against a plain single-threaded reference (tests/native/knn_reference.cpp)
bit for bit, the module method's checks, and the failure paths."""

from __future__ import annotations

import ctypes
import math
import os
import shutil
import struct
import subprocess
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

from conftest import ptr
from quelmo import _native_quelmo as native

TESTS_DIR = Path(__file__).resolve().parent
SRC_DIR = TESTS_DIR.parent / "_native_quelmo_src"
F32 = np.float32
EMPTY = F32(1e30)
I, P, U64 = ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64


def _compile(tmp_path_factory, name: str, sources: list[Path], flags: list[str]) -> ctypes.CDLL:
    compiler = shutil.which("g++") or shutil.which("c++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler for the test libraries")
    out = tmp_path_factory.mktemp(name) / f"lib{name}.so"
    cmd = [compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-shared", "-fPIC",
           "-o", str(out), *map(str, sources), *flags, "-lpthread", "-lm"]
    subprocess.run(cmd, check=True)
    return ctypes.CDLL(str(out))


def _bind_kernel(lib: ctypes.CDLL):
    fn = lib.vorlix_knn_descent_f32
    fn.argtypes = [I, I, I, P, I, I, I, U64, P, P, I]
    fn.restype = I
    return fn


@pytest.fixture(scope="session")
def ref(tmp_path_factory) -> ctypes.CDLL:
    lib = _compile(tmp_path_factory, "knnref", [TESTS_DIR / "native" / "knn_reference.cpp"], [])
    lib.ref_sqd.argtypes = [P, P, I]
    lib.ref_sqd.restype = ctypes.c_float
    lib.ref_dotp.argtypes = [P, P, I]
    lib.ref_dotp.restype = ctypes.c_float
    lib.ref_hpush.argtypes = [P, P, P, I, ctypes.c_int32, ctypes.c_float]
    lib.ref_hpush.restype = I
    lib.ref_sm64.argtypes = [P]
    lib.ref_sm64.restype = U64
    lib.ref_knn.argtypes = [I, I, I, P, I, I, I, U64, P, P, I, I, I, P, P]
    lib.ref_knn.restype = I
    return lib


@pytest.fixture(scope="session")
def kernel(native_lib):
    return _bind_kernel(native_lib)


@pytest.fixture(scope="session")
def portable_kernel(tmp_path_factory):
    """The same kNN source built without any SIMD path (fmaf per lane)."""
    if not (SRC_DIR / "knn.cpp").exists():
        pytest.skip("kNN source not present")
    lib = _compile(tmp_path_factory, "knnportable", [SRC_DIR / "knn.cpp"],
                   ["-I", str(SRC_DIR), "-DQUELMO_KNN_NO_SIMD", "-fvisibility=hidden"])
    return _bind_kernel(lib)


@pytest.fixture(scope="session")
def avx2_kernel(tmp_path_factory):
    """The same kNN sources built without the AVX-512 kernels: on a CPU with
    AVX-512 the module runs those, and this build the AVX2 ones."""
    lib = _compile(tmp_path_factory, "knnavx2", [SRC_DIR / "knn.cpp", SRC_DIR / "knn_avx512.cpp"],
                   ["-I", str(SRC_DIR), "-DQUELMO_KNN_NO_AVX512", "-fvisibility=hidden"])
    return _bind_kernel(lib)


def run_kernel(fn, X, k, n_trees=3, n_iters=10, leaf_size=0, seed=7, threads=2):
    X = np.ascontiguousarray(X, dtype=F32)
    n, d = X.shape
    idx = np.full((n, k), -5, np.int32)
    dist = np.full((n, k), -5.0, F32)
    rc = fn(n, d, k, ptr(X), n_trees, n_iters, leaf_size, seed, ptr(idx), ptr(dist), threads)
    return rc, idx, dist


def run_ref(ref, X, k, n_trees=3, n_iters=10, leaf_size=0, seed=7, threads=2,
            stop_after_merge=False, no_stop=False):
    X = np.ascontiguousarray(X, dtype=F32)
    n, d = X.shape
    idx = np.full((n, k), -5, np.int32)
    dist = np.full((n, k), -5.0, F32)
    upd = np.zeros(max(n_iters, 1), np.int64)
    runs = ref.ref_knn(n, d, k, ptr(X), n_trees, n_iters, leaf_size, seed, ptr(idx), ptr(dist),
                       threads, int(stop_after_merge), int(no_stop), ptr(upd), None)
    return idx, dist, upd[:max(runs, 0)]


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.tobytes() == b.tobytes()


# ---------------------------------------------------------------------------
# Exact float32 arithmetic in Python, independent of any C library.

def _round_f32(q: Fraction) -> np.float32:
    """Correctly rounded float32 of a rational: round to odd at double
    precision (53 >= 24 + 2 bits), then round to nearest at float32."""
    d = float(q)  # int / int division, correctly rounded
    if Fraction(d) != q:
        lo, hi = (d, math.nextafter(d, math.inf)) if Fraction(d) < q else \
                 (math.nextafter(d, -math.inf), d)
        d = lo if struct.unpack("<q", struct.pack("<d", lo))[0] & 1 else hi
    return F32(d)


def fma32(a, b, c) -> np.float32:
    return _round_f32(Fraction(float(a)) * Fraction(float(b)) + Fraction(float(c)))


def exact_kernel(a: np.ndarray, b: np.ndarray, square: bool) -> np.float32:
    """The two-accumulator, 8-then-4 lane order with an unfused scalar tail."""
    d = len(a)
    A0 = [F32(0)] * 4
    A1 = [F32(0)] * 4

    def term(t):
        if square:
            x = F32(a[t] - b[t])
            return x, x
        return a[t], b[t]

    t = 0
    while t + 8 <= d:
        for lane in range(4):
            A0[lane] = fma32(*term(t + lane), A0[lane])
            A1[lane] = fma32(*term(t + 4 + lane), A1[lane])
        t += 8
    while t + 4 <= d:
        for lane in range(4):
            A0[lane] = fma32(*term(t + lane), A0[lane])
        t += 4
    S = [F32(A1[lane] + A0[lane]) for lane in range(4)]
    s = F32(F32(S[0] + S[1]) + F32(S[2] + S[3]))
    for t in range(t, d):
        x, y = term(t)
        s = F32(s + F32(x * y))
    return s


LENGTHS = list(range(1, 18)) + [64, 100, 784]


def _vectors(d: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    # Mixed magnitudes make fused and unfused steps round differently.
    scale = 10.0 ** rng.integers(-3, 4, size=d)
    a = (rng.standard_normal(d) * scale).astype(F32)
    b = (rng.standard_normal(d) * scale).astype(F32)
    return a, b


# ---------------------------------------------------------------------------
# Primitives

@pytest.mark.parametrize("d", LENGTHS)
def test_reference_kernels_follow_exact_lane_order(ref, d):
    a, b = _vectors(d, d)
    assert same_bits(F32(ref.ref_sqd(ptr(a), ptr(b), d)), exact_kernel(a, b, True))
    assert same_bits(F32(ref.ref_dotp(ptr(a), ptr(b), d)), exact_kernel(a, b, False))


def test_exact_kernel_is_sensitive_to_fusing():
    # Guards the test itself: the unfused and fused orders must disagree on
    # these inputs somewhere, or bit equality would prove nothing.
    differs = 0
    for d in (9, 64, 100):
        a, b = _vectors(d, 100 + d)
        unfused = F32(0)
        for t in range(d):
            unfused = F32(unfused + F32(a[t] * b[t]))
        differs += unfused != exact_kernel(a, b, False)
    assert differs > 0


@pytest.mark.parametrize("d", LENGTHS)
def test_leaf_distances_equal_exact_sqd(kernel, portable_kernel, d):
    # n <= leaf: the root is a leaf, every pair is compared by the tree phase,
    # and k = n - 1 keeps all of them, so every output distance is one sqd.
    n = 9
    rng = np.random.default_rng(1000 + d)
    X = (rng.standard_normal((n, d)) * 10.0 ** rng.integers(-2, 3, size=d)).astype(F32)
    expected = {(i, j): exact_kernel(X[i], X[j], True) for i in range(n) for j in range(n)}
    for fn in (kernel, portable_kernel):
        rc, idx, dist = run_kernel(fn, X, n - 1, n_trees=2, threads=2)
        assert rc == 0
        for i in range(n):
            assert sorted(idx[i]) == [j for j in range(n) if j != i]
            for j, dd in zip(idx[i], dist[i]):
                assert same_bits(dd, expected[(i, j)]), (i, j)


@pytest.mark.parametrize("d", [1, 3, 4, 7, 8, 9, 12, 17, 40, 64, 72, 100, 784, 2060, 2064])
def test_leaf_distances_equal_exact_sqd_on_byte_data(kernel, portable_kernel, d):
    # Integer data 0 .. 255 may be computed in integer lanes; rows of all 0
    # and all 255 make every lane sum as large as it gets: with d = 2060 each
    # A0 lane sums 257 + 1 squares of 255, just below 2^24, and d = 2064 is
    # one block past that limit.
    n = 8
    rng = np.random.default_rng(2000 + d)
    X = rng.integers(0, 256, size=(n, d)).astype(F32)
    X[0] = 0
    X[1] = 255
    X[2, ::2] = 255
    X[2, 1::2] = 0
    pairs = [(i, j) for i in range(n) for j in range(n) if i != j]
    if d > 100:  # the exact Python kernel is slow: the extreme pairs only
        pairs = [(0, 1), (1, 0), (0, 2), (1, 2), (3, 4)]
    for fn in (kernel, portable_kernel):
        rc, idx, dist = run_kernel(fn, X, n - 1, n_trees=2, threads=2)
        assert rc == 0
        for i, j in pairs:
            (slot,) = np.flatnonzero(idx[i] == j)
            assert same_bits(dist[i, slot], exact_kernel(X[i], X[j], True)), (i, j)


_MASK64 = (1 << 64) - 1


def _sm64(state: int) -> tuple[int, int]:
    """SplitMix64 step: the new state and the output."""
    state = (state + 0x9E3779B97F4A7C15) & _MASK64
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
    return state, z ^ (z >> 31)


def _first_split(X: np.ndarray, seed: int, dot) -> tuple[frozenset, list]:
    """The lower half of the root split of the first tree of thread 0, and the
    projections: the shuffle, the two drawn rows, the direction between them,
    then dot(row, direction) for every row."""
    n = len(X)
    state = seed ^ 40503
    perm = list(range(n))
    for i in range(n - 1, 0, -1):
        state, z = _sm64(state)
        j = z % (i + 1)
        perm[i], perm[j] = perm[j], perm[i]
    state, z = _sm64(state)
    ia = z % n
    while True:
        state, z = _sm64(state)
        ib = z % n
        if ib != ia:
            break
    direction = (X[perm[ib]] - X[perm[ia]]).astype(F32)
    pv = [dot(X[i], direction) for i in perm]
    order = np.argsort(np.array(pv, dtype=np.float64), kind="stable")
    return frozenset(perm[o] for o in order[: n // 2]), pv


def _unfused_dot(a, b):
    s = F32(0)
    for x, y in zip(a, b):
        s = F32(s + F32(x * y))
    return s


SPLIT_SEEDS = 6


def _near_points(d: int, seed: int) -> np.ndarray:
    # Projections of points this close differ at the rounding level, so the
    # split depends on the exact accumulation order of dotp.
    rng = np.random.default_rng(seed)
    return (1000.0 + rng.standard_normal((16, d)) * 1e-3).astype(F32)


@pytest.mark.parametrize("d", LENGTHS)
def test_root_split_follows_exact_dotp(kernel, portable_kernel, d):
    # 16 points, leaf 8, k = 7, one tree: the root splits once into two leaves
    # of 8 and every row ends up holding exactly its leaf-mates, so the output
    # shows the split, which the exactly computed projections predict.
    for seed in range(SPLIT_SEEDS):
        X = _near_points(d, 3000 + 10 * d + seed)
        low, pv = _first_split(X, seed, lambda r, w: exact_kernel(r, w, False))
        if len({float(p) for p in pv}) < 16:
            continue  # tied projections: the split is up to the quickselect
        for fn in (kernel, portable_kernel):
            rc, idx, _ = run_kernel(fn, X, 7, n_trees=1, n_iters=1, leaf_size=8, seed=seed,
                                    threads=1)
            assert rc == 0
            for i in range(16):
                group = low if i in low else frozenset(range(16)) - low
                assert set(idx[i].tolist()) | {i} == group, (seed, i)


def test_root_split_is_sensitive_to_the_dotp_order():
    # Guards the test above: with unfused products some of its splits differ.
    flips = 0
    for d in LENGTHS[:-1]:
        for seed in range(SPLIT_SEEDS):
            X = _near_points(d, 3000 + 10 * d + seed)
            exact, _ = _first_split(X, seed, lambda r, w: exact_kernel(r, w, False))
            flips += exact != _first_split(X, seed, _unfused_dot)[0]
    assert flips > 0


def test_reference_heap_rules(ref):
    k = 4
    hd = np.full(k, EMPTY, F32)
    hi = np.full(k, -1, np.int32)
    hf = np.zeros(k, np.uint8)

    def push(c, dc):
        return ref.ref_hpush(ptr(hd), ptr(hi), ptr(hf), k, c, dc)

    # A fresh row takes the first k distinct candidates below 1e30.
    assert [push(c, dc) for c, dc in [(1, 5.0), (2, 3.0), (3, 5.0), (4, 1.0)]] == [1, 1, 1, 1]
    assert hd[0] == 5.0 and hi[0] == 1          # equal children: the left one rose
    assert push(9, 5.0) == 0                     # equal to the root: rejected
    assert push(2, 0.5) == 0 and 2 in hi         # already present, even when closer
    assert hd[list(hi).index(2)] == 3.0
    hf[:] = 0
    assert push(7, 2.0) == 1 and hf[list(hi).index(7)] == 1
    assert set(hi) == {2, 3, 4, 7}
    one_d, one_i, one_f = np.full(1, 2.0, F32), np.full(1, 3, np.int32), np.zeros(1, np.uint8)
    assert ref.ref_hpush(ptr(one_d), ptr(one_i), ptr(one_f), 1, 5, 1.5) == 1
    assert (one_d[0], one_i[0]) == (1.5, 5)
    assert ref.ref_hpush(ptr(one_d), ptr(one_i), ptr(one_f), 1, 6, float("nan")) == 1


def test_reference_splitmix64(ref):
    state = np.zeros(1, np.uint64)
    # Published SplitMix64 stream from state 0.
    assert ref.ref_sm64(ptr(state)) == 0xE220A8397B1DCDAF
    assert state[0] == 0x9E3779B97F4A7C15
    assert ref.ref_sm64(ptr(state)) == 0x6E789E6AA1B965F4
    assert state[0] == (2 * 0x9E3779B97F4A7C15) % 2**64


# ---------------------------------------------------------------------------
# The whole search against the plain reference

def _dataset(kind: str, n: int, d: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if kind == "gauss":
        return rng.standard_normal((n, d)).astype(F32)
    if kind == "clusters":
        centres = rng.standard_normal((5, d)) * 4
        return (centres[rng.integers(0, 5, n)] + rng.standard_normal((n, d))).astype(F32)
    if kind == "lattice":  # many equal distances and tied projections
        return rng.integers(0, 3, size=(n, d)).astype(F32)
    if kind == "duplicates":  # identical rows: zero distances, tied splits
        base = rng.standard_normal((max(n // 4, 1), d))
        return base[rng.integers(0, len(base), n)].astype(F32)
    if kind == "near":  # differences at the rounding level of the projections
        return (1000.0 + rng.standard_normal((n, d)) * 1e-3).astype(F32)
    if kind in ("image", "sparse"):  # most 8-element blocks zero, half of them in every row
        blocks = (rng.random((n, (d + 7) // 8)) < 0.6) & (rng.random((d + 7) // 8) < 0.5)
        keep = np.repeat(blocks, 8, axis=1)[:, :d]
        if kind == "image":  # integers 0 .. 255, which the kernel may keep as bytes
            values = rng.integers(0, 256, size=(n, d))
        else:
            values = rng.standard_normal((n, d)) * 3
        return (values * keep).astype(F32)
    raise ValueError(kind)


KINDS = ["gauss", "clusters", "lattice", "duplicates", "near", "image", "sparse"]
GRID = [  # n, d, k, n_trees, leaf_size, threads
    (40, 3, 5, 1, 0, 1),
    (97, 8, 6, 5, 10, 2),
    (150, 13, 10, 3, 25, 3),
    (200, 17, 4, 4, 8, 4),
    (120, 1, 3, 6, 0, 5),
    (256, 32, 15, 2, 40, 2),
    (60, 100, 7, 3, 12, 2),
    (31, 5, 30, 2, 0, 2),      # k = n - 1
    (150, 130, 6, 3, 12, 2),   # long rows: zero blocks may be skipped
    (90, 256, 5, 2, 0, 3),
    (110, 72, 8, 3, 0, 2),     # an odd number of 8-blocks
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n,d,k,n_trees,leaf,threads", GRID)
def test_search_equals_reference(kernel, ref, kind, n, d, k, n_trees, leaf, threads):
    X = _dataset(kind, n, d, seed=n * 31 + d)
    for seed in (0, 12345, 2**64 - 1):
        rc, idx, dist = run_kernel(kernel, X, k, n_trees, 8, leaf, seed, threads)
        r_idx, r_dist, _ = run_ref(ref, X, k, n_trees, 8, leaf, seed, threads)
        assert rc == 0
        assert same_bits(idx, r_idx) and same_bits(dist, r_dist), (kind, seed)


@pytest.mark.slow
@pytest.mark.parametrize("n_iters", [0, 1, 2, 30])
def test_search_equals_reference_mnist(kernel, portable_kernel, ref, mnist10k, n_iters):
    X = mnist10k[0][:1500]
    for threads, n_trees, leaf in [(2, 4, 0), (3, 5, 30)]:
        r_idx, r_dist, _ = run_ref(ref, X, 15, n_trees, n_iters, leaf, 99, threads)
        for fn in (kernel, portable_kernel):
            rc, idx, dist = run_kernel(fn, X, 15, n_trees, n_iters, leaf, 99, threads)
            assert rc == 0 and same_bits(idx, r_idx) and same_bits(dist, r_dist)


@pytest.mark.parametrize("kind,d", [("gauss", 6), ("sparse", 136), ("image", 136)])
def test_non_finite_input_equals_reference(kernel, ref, kind, d):
    # NaN distances pass the ordered root test of the heap, so the rows touched
    # by them do not settle; the kernel must follow the plain order exactly.
    X = _dataset(kind, 120, d, seed=5)
    X[3, 2] = np.nan
    X[40] = np.inf
    X[41, 0] = -np.inf
    for threads in (1, 2):
        rc, idx, dist = run_kernel(kernel, X, 6, 3, 6, 0, 3, threads)
        r_idx, r_dist, _ = run_ref(ref, X, 6, 3, 6, 0, 3, threads)
        assert rc == 0 and same_bits(idx, r_idx) and same_bits(dist, r_dist)


@pytest.mark.parametrize("kind", ["image", "sparse"])
def test_extreme_values_equal_reference(kernel, ref, kind):
    # Finite data whose differences overflow (the projection direction turns
    # infinite, and 0 * inf is NaN), a -0 among integer data, values just
    # outside the byte range, and tiny values whose products underflow.
    X = _dataset(kind, 140, 144, seed=6)
    X[7, :20] = np.float32(3e38)
    X[8, :20] = np.float32(-3e38)
    X[20, 9] = np.float32(-0.0)
    X[33, 100] = np.float32(255.5 if kind == "image" else 1e-30)
    X[34, 101] = np.float32(1e-30)
    for threads in (1, 3):
        rc, idx, dist = run_kernel(kernel, X, 7, 4, 6, 0, 8, threads)
        r_idx, r_dist, _ = run_ref(ref, X, 7, 4, 6, 0, 8, threads)
        assert rc == 0 and same_bits(idx, r_idx) and same_bits(dist, r_dist)


@pytest.mark.parametrize("kind", ["gauss", "lattice", "near", "image", "sparse"])
def test_every_build_gives_the_same_bits(kernel, portable_kernel, avx2_kernel, kind):
    # Leaves of up to 24 and 40 rows fill the eight-row float groups and the
    # four-row byte groups with some rows left over; d = 72 and 200 have an
    # odd number of 8-blocks, hence of byte pair chunks.
    for d, leaf in ((4, 12), (9, 12), (31, 24), (64, 40), (72, 24), (200, 40)):
        X = _dataset(kind, 180, d, seed=d)
        a = run_kernel(kernel, X, 8, 4, 5, leaf, 11, 2)
        for other in (portable_kernel, avx2_kernel):
            b = run_kernel(other, X, 8, 4, 5, leaf, 11, 2)
            assert a[0] == b[0] == 0 and same_bits(a[1], b[1]) and same_bits(a[2], b[2]), d


def test_byte_rows_at_the_integer_limit_give_the_same_bits(kernel, portable_kernel,
                                                           avx2_kernel):
    # Rows of 0 and 255 at d = 2060 bring every integer lane to its largest
    # sums, just below 2^24: the distances, and the projections on
    # directions of +-255; d = 2064 is one block past the limit.  Then two
    # groups of rows whose odds of 255 depend on the lane, opposite in the
    # two: the lane sums of distances and projections differ widely, so the
    # float reduction of the lanes rounds differently if a kernel mixes them
    # up (d = 2040 and 2056: an even and an odd number of four-block chunks).
    rng = np.random.default_rng(7)
    odds = np.array([0.1, 0.9, 0.3, 0.7, 0.5, 0.2, 0.8, 0.4])
    for d in (2060, 2064, 2040, 2056):
        if d in (2060, 2064):
            n, trees = 48, 3
            X = rng.choice([0.0, 255.0], size=(n, d)).astype(F32)
        else:
            n, trees = 96, 6
            lane = odds[np.arange(d) % 8]
            p = np.where(np.arange(n)[:, None] < n // 2, lane, 1.0 - lane)
            X = (255.0 * (rng.random((n, d)) < p)).astype(F32)
        a = run_kernel(kernel, X, 6, trees, 4, 10, 5, 2)
        for other in (portable_kernel, avx2_kernel):
            b = run_kernel(other, X, 6, trees, 4, 10, 5, 2)
            assert a[0] == b[0] == 0 and same_bits(a[1], b[1]) and same_bits(a[2], b[2]), d


def test_thread_count_enters_only_through_tree_split(kernel, ref):
    X = _dataset("clusters", 300, 8, seed=3)
    results = {}
    for threads in (1, 2, 3, 5, 8):
        rc, idx, dist = run_kernel(kernel, X, 6, 5, 1, 0, 42, threads)
        assert rc == 0
        teff = min(threads, 5)
        r_idx, r_dist, _ = run_ref(ref, X, 6, 5, 1, 0, 42, teff)
        assert same_bits(idx, r_idx) and same_bits(dist, r_dist)
        results[threads] = idx
    # 5 trees on 2 threads (3 + 2 with their own seeds) is a different forest
    # from 5 trees on one thread: the split is observable, so the equalities
    # above check it.
    assert not same_bits(results[1], results[2])
    # More threads than trees run one tree per thread.
    rc, idx, _ = run_kernel(kernel, X, 6, 2, 1, 0, 42, 8)
    assert same_bits(idx, run_kernel(kernel, X, 6, 2, 1, 0, 42, 2)[1])


def test_zero_threads_means_online_processors(kernel):
    X = _dataset("gauss", 150, 5, seed=8)
    online = max(os.sysconf("SC_NPROCESSORS_ONLN"), 1)
    a = run_kernel(kernel, X, 5, 16, 3, 0, 1, 0)
    b = run_kernel(kernel, X, 5, 16, 3, 0, 1, online)
    assert same_bits(a[1], b[1]) and same_bits(a[2], b[2])


def test_repeated_calls_repeat_bits(kernel):
    X = _dataset("clusters", 400, 12, seed=4)
    first = run_kernel(kernel, X, 10, 4, 10, 0, 2024, 2)
    for _ in range(5):
        again = run_kernel(kernel, X, 10, 4, 10, 0, 2024, 2)
        assert same_bits(first[1], again[1]) and same_bits(first[2], again[2])
    other = run_kernel(kernel, X, 10, 4, 1, 0, 2025, 2)
    assert not same_bits(first[1], other[1]) or not same_bits(first[2], other[2])


def test_more_threads_than_points(kernel, ref):
    X = _dataset("gauss", 3, 2, seed=21)
    rc, idx, dist = run_kernel(kernel, X, 2, 4, 3, 0, 5, 8)
    r_idx, r_dist, _ = run_ref(ref, X, 2, 4, 3, 0, 5, 4)
    assert rc == 0 and same_bits(idx, r_idx) and same_bits(dist, r_dist)


def test_concurrent_calls_from_python_threads(kernel):
    # The method releases the interpreter lock; calls share nothing.
    import threading

    inputs = [_dataset(kind, 500, 24, seed=30 + j)
              for j, kind in enumerate(["gauss", "image", "clusters", "lattice"])]
    expected = [call_method(X, 10, 4, 8, 77, 0, 2) for X in inputs]
    results = [None] * len(inputs)

    def work(j):
        results[j] = call_method(inputs[j], 10, 4, 8, 77, 0, 2)

    threads = [threading.Thread(target=work, args=(j,)) for j in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        assert got[0] == want[0] == 0
        assert same_bits(got[1], want[1]) and same_bits(got[2], want[2])


# ---------------------------------------------------------------------------
# Output invariants and the forest alone

def check_rows(X, idx, dist, ref):
    n, k = idx.shape
    for i in range(n):
        ids = idx[i]
        assert i not in ids
        real = ids[ids >= 0]
        assert len(set(real.tolist())) == len(real)
        for m in range(k):  # max-heap in array order
            for child in (2 * m + 1, 2 * m + 2):
                if child < k:
                    assert not dist[i, child] > dist[i, m]
        for j, dd in zip(ids, dist[i]):
            if j < 0:
                assert dd == EMPTY
            else:
                assert same_bits(F32(ref.ref_sqd(ptr(X[i]), ptr(X[j]), X.shape[1])), dd)


def test_output_rows_are_heaps_without_self_or_duplicates(kernel, ref):
    for kind in ("clusters", "duplicates", "lattice"):
        X = _dataset(kind, 250, 7, seed=11)
        rc, idx, dist = run_kernel(kernel, X, 9, 3, 10, 0, 5, 2)
        assert rc == 0
        check_rows(X, idx, dist, ref)


def test_rows_can_keep_empty_slots(kernel, ref):
    # One tree, one iteration, large k: a leaf of size leaf_size < k + 1 is
    # impossible (leaf is raised to k + 1), but a leaf of floor((leaf+1)/2)
    # points offers fewer than k candidates.
    X = _dataset("gauss", 50, 2, seed=12)
    rc, idx, dist = run_kernel(kernel, X, 30, 1, 1, 0, 9, 1)
    assert rc == 0
    check_rows(X, idx, dist, ref)
    assert (idx == -1).any()
    r_idx, r_dist, _ = run_ref(ref, X, 30, 1, 1, 0, 9, 1)
    assert same_bits(idx, r_idx) and same_bits(dist, r_dist)


def test_every_tree_exact_when_root_is_a_leaf(kernel, ref):
    # n <= leaf: each of the 4 trees (on 4 threads) finds the exact kNN, so the
    # merge sees every neighbour four times and must keep it once.
    X = _dataset("gauss", 40, 3, seed=13)
    rc, idx, dist = run_kernel(kernel, X, 5, 4, 1, 64, 1, 4)
    assert rc == 0
    check_rows(X, idx, dist, ref)
    full = ((X[:, None, :].astype(np.float64) - X[None]) ** 2).sum(-1)
    np.fill_diagonal(full, np.inf)
    for i in range(40):
        assert sorted(idx[i]) == sorted(np.argsort(full[i], kind="stable")[:5])


# ---------------------------------------------------------------------------
# Descent iterations and the stop rule

def test_zero_iterations_run_one(kernel, ref):
    X = _dataset("clusters", 300, 6, seed=15)
    zero = run_kernel(kernel, X, 8, 3, 0, 0, 4, 2)
    one = run_kernel(kernel, X, 8, 3, 1, 0, 4, 2)
    two = run_kernel(kernel, X, 8, 3, 2, 0, 4, 2)
    forest = run_ref(ref, X, 8, 3, 1, 0, 4, 2, stop_after_merge=True)
    assert same_bits(zero[1], one[1]) and same_bits(zero[2], one[2])
    assert not same_bits(one[1], forest[0])  # the one iteration did run
    assert not same_bits(one[1], two[1])


def _find_boundary(ref, want_upd: int):
    """A data set (n = 1000, k = 10: threshold trunc(2.0) = 2) whose plain run,
    two trees on two threads, has an iteration with exactly want_upd
    insertions, none below 2 before it and more insertions after it."""
    for seed in range(200):
        X = _dataset("gauss", 1000, 3 + seed % 6, seed=seed)
        _, _, upd = run_ref(ref, X, 10, 2, 40, 0, seed, 2, no_stop=True)
        hits = np.flatnonzero(upd == want_upd)
        if len(hits) and hits[0] + 1 < len(upd) and upd[hits[0] + 1] > 0 and \
                (upd[:hits[0]] >= 2).all():
            return X, seed, int(hits[0])
    pytest.skip("no data set with the wanted insertion count")


def test_iteration_with_one_insertion_stops(kernel, ref):
    X, seed, it = _find_boundary(ref, 1)
    idx, dist, upd = run_ref(ref, X, 10, 2, 40, 0, seed, 2)
    assert len(upd) == it + 1 and upd[-1] == 1
    rc, k_idx, k_dist = run_kernel(kernel, X, 10, 2, 40, 0, seed, 2)
    assert rc == 0 and same_bits(k_idx, idx) and same_bits(k_dist, dist)
    # Running on would have changed the table: the stop is observable.
    more, _, _ = run_ref(ref, X, 10, 2, 40, 0, seed, 2, no_stop=True)
    assert not same_bits(more, idx)


def test_iteration_with_threshold_insertions_goes_on(kernel, ref):
    X, seed, it = _find_boundary(ref, 2)
    _, _, upd = run_ref(ref, X, 10, 2, 40, 0, seed, 2)
    assert len(upd) > it + 1 and upd[it] == 2
    for n_iters in (it + 1, it + 2):
        r = run_ref(ref, X, 10, 2, n_iters, 0, seed, 2)
        k = run_kernel(kernel, X, 10, 2, n_iters, 0, seed, 2)
        assert same_bits(k[1], r[0]) and same_bits(k[2], r[1])
    assert not same_bits(run_kernel(kernel, X, 10, 2, it + 1, 0, seed, 2)[1],
                         run_kernel(kernel, X, 10, 2, it + 2, 0, seed, 2)[1])


# ---------------------------------------------------------------------------
# Argument checks: ctypes and module

def test_kernel_rejects_invalid_sizes_without_writing(kernel):
    X = _dataset("gauss", 10, 3, seed=16)
    for n, d, k in [(10, 3, 10), (10, 3, 11), (0, 3, 2), (10, 0, 2), (10, 3, 0), (-1, 3, 2)]:
        idx = np.full((10, 11), 77, np.int32)
        dist = np.full((10, 11), 7.0, F32)
        assert kernel(n, d, k, ptr(X), 1, 1, 0, 0, ptr(idx), ptr(dist), 1) == -1
        assert (idx == 77).all() and (dist == 7.0).all()
    rc, idx, _ = run_kernel(kernel, X, 9, 1, 1, 0, 0, 1)
    assert rc == 0 and all(sorted(idx[i]) == [j for j in range(10) if j != i] for i in range(10))


def call_method(X, k, n_trees=2, n_iters=5, seed=3, leaf=0, threads=2, idx=None, dist=None,
                n=None, d=None):
    n = X.shape[0] if n is None else n
    d = X.shape[1] if d is None else d
    idx = np.full((X.shape[0], k), -5, np.int32) if idx is None else idx
    dist = np.full((X.shape[0], k), -5.0, F32) if dist is None else dist
    rc = native.knn_descent_f32(X, idx, dist, n, d, k, n_trees, n_iters, seed, leaf, threads)
    return rc, idx, dist


def test_method_matches_kernel(kernel):
    X = _dataset("clusters", 300, 9, seed=17)
    for seed in (0, 5, 2**64 - 1):
        rc, idx, dist = call_method(X, 7, 3, 6, seed, 10, 2)
        k_rc, k_idx, k_dist = run_kernel(kernel, X, 7, 3, 6, 10, seed, 2)
        assert rc == k_rc == 0 and same_bits(idx, k_idx) and same_bits(dist, k_dist)
    # The unsigned 64-bit unit wraps instead of checking.
    assert same_bits(call_method(X, 7, seed=-1)[1], call_method(X, 7, seed=2**64 - 1)[1])
    assert same_bits(call_method(X, 7, seed=2**64 + 5)[1], call_method(X, 7, seed=5)[1])
    # Zero counts are resolved by the kernel.
    rc, idx, dist = call_method(X, 7, 0, 0, 1, 0, 0)
    k_rc, k_idx, k_dist = run_kernel(kernel, X, 7, 1, 1, 0, 1, 0)
    assert rc == 0 and same_bits(idx, k_idx) and same_bits(dist, k_dist)


def test_method_checks(kernel):
    X = _dataset("gauss", 8, 3, seed=18)
    for n, d, k in [(0, 3, 2), (8, 0, 2), (8, 3, 0), (-2, 3, 2)]:
        with pytest.raises(ValueError, match="^n, d, and k must be positive$"):
            native.knn_descent_f32(X, np.zeros(16, np.int32), np.zeros(16, F32), n, d, k,
                                   1, 1, 0, 0, 1)
    # k = n passes the method and comes back as the kernel's -1, untouched.
    idx = np.full((8, 8), 77, np.int32)
    dist = np.full((8, 8), 7.0, F32)
    assert call_method(X, 8, idx=idx, dist=dist)[0] == -1
    assert (idx == 77).all() and (dist == 7.0).all()
    msg = "{} must be a C-contiguous buffer with itemsize 4 and at least {} items"
    with pytest.raises(ValueError, match=msg.format("x", 24)):
        call_method(X[:7], 2, n=8)
    with pytest.raises(ValueError, match=msg.format("x", 24)):
        call_method(X.astype(np.float64), 2)
    with pytest.raises(ValueError, match=msg.format("idx", 16)):
        call_method(X, 2, idx=np.zeros(15, np.int32))
    with pytest.raises(ValueError, match=msg.format("dist", 16)):
        call_method(X, 2, dist=np.zeros(16, np.float64))
    read_only = np.zeros(16, np.int32)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        call_method(X, 2, idx=read_only)
    with pytest.raises(ValueError, match="not C-contiguous"):
        call_method(np.asfortranarray(np.zeros((8, 3), F32)), 2)
    with pytest.raises(OverflowError):
        native.knn_descent_f32(X, np.zeros(16, np.int32), np.zeros(16, F32), 8, 3, 2,
                               2**31, 1, 0, 0, 1)
    with pytest.raises(TypeError):
        native.knn_descent_f32(X, np.zeros(16, np.int32), np.zeros(16, F32), 8, 3, 2, 1)
    # Only the item size is compared: int32 data pass as x.
    assert call_method(X.view(np.int32), 2)[0] == 0


# ---------------------------------------------------------------------------
# Failure paths under the fault injector

FAULT_SNIPPET = """
fn = lib.vorlix_knn_descent_f32
P, I = ctypes.c_void_p, ctypes.c_int
fn.argtypes = [I, I, I, P, I, I, I, ctypes.c_uint64, P, P, I]
X = np.load(r"{x}")
full_idx = np.load(r"{full}")
forest_idx = np.load(r"{forest}")
n, d = X.shape
k = full_idx.shape[1]
def call():
    idx = np.full((n, k), -5, np.int32)
    dist = np.full((n, k), -5.0, np.float32)
    rc = fn(n, d, k, ptr(X), 3, 6, 0, 21, ptr(idx), ptr(dist), 3)
    return rc, idx
qfi.arm()
rc, idx = call()
counts = qfi.stats()
qfi.disarm()
assert rc == 0 and (idx == full_idx).all() and counts["live"] == 0, counts
outcomes = []
for nth in range(1, counts["mallocs"] + 1):
    qfi.arm(malloc_at=nth)
    rc, idx = call()
    s = qfi.stats()
    qfi.disarm()
    assert s["live"] == 0 and s["failed"] == 1, (nth, s)
    if rc == 0:
        kind = "full" if (idx == full_idx).all() else "forest" if (idx == forest_idx).all() else "?"
    else:
        kind = str(rc)
    outcomes.append(kind)
for nth in range(1, counts["threads"] + 1):
    qfi.arm(thread_at=nth)
    rc, idx = call()
    s = qfi.stats()
    qfi.disarm()
    assert rc == 0 and (idx == full_idx).all() and s["live"] == 0 and s["failed"] == 1
print(counts["mallocs"], counts["threads"], ",".join(outcomes))
"""


@pytest.mark.slow
def test_failed_allocations_and_threads(run_injected, ref, tmp_path):
    X = _dataset("clusters", 200, 5, seed=19)
    full, _, _ = run_ref(ref, X, 6, 3, 6, 0, 21, 3)
    forest, _, _ = run_ref(ref, X, 6, 3, 6, 0, 21, 3, stop_after_merge=True)
    assert not same_bits(full, forest)
    paths = {name: tmp_path / f"{name}.npy" for name in ("x", "full", "forest")}
    np.save(paths["x"], X)
    np.save(paths["full"], full)
    np.save(paths["forest"], forest)
    out = run_injected(FAULT_SNIPPET.format(**paths)).stdout.split()
    mallocs, threads, outcomes = int(out[0]), int(out[1]), out[2].split(",")
    assert len(outcomes) == mallocs
    # Three tree threads, three merge threads and six iterations of three
    # descent threads at most; a failed creation only moves work.
    assert 6 <= threads <= 3 + 3 + 6 * 3
    # The driver's buffers come first and fail the call.  The descent's
    # thread and record arrays come next to last: the forest stands.  After
    # them only buffers that save time (the descent scratch, which leaves the
    # plain path, and the renumbered copies): same result.  In between, the
    # tree-phase arrays, per-thread tables and scratch and the merge arrays
    # fail the call, while the leaf order and leaf copies may fail freely.
    # The tree threads allocate while the driver goes on, so which call the
    # n-th allocation is varies there.
    assert outcomes[:5] == ["-2"] * 5
    first = outcomes.index("forest")
    assert outcomes[first:first + 2] == ["forest", "forest"]
    tail = outcomes[first + 2:]
    assert len(tail) >= 6 and set(tail) == {"full"}
    assert set(outcomes[5:first]) == {"-2", "full"}
