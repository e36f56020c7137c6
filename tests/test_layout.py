"""Layout optimisers: the serial kernel, the threaded kernel and the module
method, checked bit for bit against plain references.

The references are Python transcriptions of the two optimisers (float32
scalars, one rounding per operation, libm ``powf`` through ctypes).  They pin
the arithmetic, the schedule and the random streams; the inputs are chosen to
drive every specialised path of the kernels (two dimensions, sample batches
longer than one batch, loop edges, samples on the head, sub-step layouts).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from dataclasses import dataclass, replace

import numpy as np
import pytest

from conftest import ptr
from quelmo import _native_quelmo, umap_layout_euclidean_f32

F = np.float32
MASK64 = (1 << 64) - 1
MASK32 = (1 << 32) - 1
INT_MAX = 2**31 - 1
SUBSTEPS_ENV = "VORLIX_UMAP_SUBSTEPS"

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]
_libm.powf.restype = ctypes.c_float


def powf(x: np.float32, y: np.float32) -> np.float32:
    # float32 -> double -> c_float round-trips exactly.
    return F(_libm.powf(float(x), float(y)))


# --------------------------------------------------------------------------
# Python reference
# --------------------------------------------------------------------------

def splitmix64(x: int) -> int:
    x = (x + 0x9E3779B97F4A7C15) & MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & MASK64
    return x ^ (x >> 31)


def seed_rng(seed: int, edge: int, epoch: int) -> list[int]:
    z = seed ^ (((edge + 1) * 0x9E3779B97F4A7C15) & MASK64) \
        ^ (((epoch + 1) * 0xD1B54A32D192ED03) & MASK64)
    s = []
    for bit in (2, 8, 16):
        z = splitmix64(z)
        s.append((z & MASK32) | bit)
    return s


def tau_rand(s: list[int]) -> int:
    s[0] = (((s[0] & 0xFFFFFFFE) << 12) & MASK32) ^ ((((s[0] << 13) & MASK32) ^ s[0]) >> 19)
    s[1] = (((s[1] & 0xFFFFFFF8) << 4) & MASK32) ^ ((((s[1] << 2) & MASK32) ^ s[1]) >> 25)
    s[2] = (((s[2] & 0xFFFFFFF0) << 17) & MASK32) ^ ((((s[2] << 3) & MASK32) ^ s[2]) >> 11)
    return s[0] ^ s[1] ^ s[2]


def clip(v: np.float32) -> np.float32:
    if v > F(4.0):
        return F(4.0)
    if v < F(-4.0):
        return F(-4.0)
    return v


def rdist(x: np.ndarray, y: np.ndarray) -> np.float32:
    r = F(0.0)
    for d in range(x.shape[0]):
        diff = x[d] - y[d]
        r = r + diff * diff
    return r


def attractive(d2, a, b) -> np.float32:
    if d2 <= F(0.0):
        return F(0.0)
    pb1 = powf(d2, b - F(1.0))
    pb = pb1 * d2
    gc = ((F(-2.0) * a) * b) * pb1
    return gc / (a * pb + F(1.0))


def repulsive(d2, a, b, gamma) -> np.float32:
    # F(0.001) has the bits 0x3A83126F, the float constant of the kernels.
    pb = powf(d2, b)
    gc = (F(2.0) * gamma) * b
    return gc / ((F(0.001) + d2) * (a * pb + F(1.0)))


def n_negative(n: int, eonn: np.float64, epn: np.float64) -> int:
    v = (np.float64(n) - eonn) / epn
    if np.isnan(v):
        return 0
    return int(min(max(v, -2.0**31), float(INT_MAX)))


@dataclass
class Case:
    embedding: np.ndarray  # float32, n_samples x dim
    head: np.ndarray       # int32
    tail: np.ndarray       # int32
    eps: np.ndarray        # float32
    n_epochs: int = 6
    a: float = 1.577
    b: float = 0.8951
    gamma: float = 1.0
    alpha: float = 1.0
    nsr: float = 5.0
    seed: int = 42

    @property
    def n_samples(self) -> int:
        return self.embedding.shape[0]

    @property
    def dim(self) -> int:
        return self.embedding.shape[1]

    def params(self):
        return tuple(F(v) for v in (self.a, self.b, self.gamma, self.alpha, self.nsr))


def _schedule(case: Case):
    nsr = np.float64(F(case.nsr))
    eons = [np.float64(e) for e in case.eps]
    epn = [np.float64(e) / nsr for e in case.eps]
    return eons, list(epn), epn


def reference_serial(case: Case, events: list | None = None) -> np.ndarray:
    """The serial optimiser, one float32 operation at a time.  `events`
    collects (epoch, edge, n_neg) for every attractive update."""
    emb = case.embedding.copy()
    a, b, gamma, alpha0, _ = case.params()
    n_vertices = case.n_samples
    eons, eonn, epn = _schedule(case)
    alpha = alpha0
    with np.errstate(all="ignore"):
        for n in range(case.n_epochs):
            for i in range(len(case.head)):
                if case.eps[i] <= F(0.0) or eons[i] > np.float64(n):
                    continue
                j, k = int(case.head[i]), int(case.tail[i])
                cur, oth = emb[j], emb[k]
                gc = attractive(rdist(cur, oth), a, b)
                for d in range(case.dim):
                    grad = clip((cur[d] - oth[d]) * gc)
                    cur[d] = cur[d] + grad * alpha
                    oth[d] = oth[d] - grad * alpha
                eons[i] = eons[i] + np.float64(case.eps[i])
                n_neg = n_negative(n, eonn[i], epn[i])
                if events is not None:
                    events.append((n, i, max(n_neg, 0)))
                if n_neg > 0:
                    rng = seed_rng(case.seed, i, n)
                    for _ in range(n_neg):
                        k2 = tau_rand(rng) % n_vertices
                        oth2 = emb[k2]
                        dd2 = rdist(cur, oth2)
                        if dd2 <= F(0.0) and k2 == j:
                            continue
                        gcn = repulsive(dd2, a, b, gamma) if dd2 > F(0.0) else F(0.0)
                        for d in range(case.dim):
                            grad = clip(gcn * (cur[d] - oth2[d])) if gcn > F(0.0) else F(0.0)
                            cur[d] = cur[d] + grad * alpha
                    eonn[i] = eonn[i] + np.float64(n_neg) * epn[i]
            alpha = (F(1.0) - F(n) / F(case.n_epochs)) * alpha0
    return emb


def reference_threaded(case: Case, T: int, S: int) -> np.ndarray:
    """The sub-step / worker scheme on one thread: workers run one after the
    other inside a sub-step, each into its own gradient slice, then every
    coordinate adds the slices in worker order."""
    emb = case.embedding.copy()
    flat = emb.reshape(-1)
    a, b, gamma, alpha0, _ = case.params()
    n_vertices, dim = case.n_samples, case.dim
    n_edges = len(case.head)
    eons, eonn, epn = _schedule(case)
    gbuf = np.zeros((T, n_vertices, dim), dtype=np.float32)
    with np.errstate(all="ignore"):
        for n in range(case.n_epochs):
            alpha = alpha0 if n == 0 else (F(1.0) - F(n - 1) / F(case.n_epochs)) * alpha0
            for s in range(S):
                gbuf[:] = 0
                K = (n_edges - s + S - 1) // S if s < n_edges else 0
                for t in range(T):
                    g = gbuf[t]
                    for kx in range(t * K // T, (t + 1) * K // T):
                        i = s + S * kx
                        if case.eps[i] <= F(0.0) or eons[i] > np.float64(n):
                            continue
                        j, kk = int(case.head[i]), int(case.tail[i])
                        cur, oth = emb[j], emb[kk]
                        gc = attractive(rdist(cur, oth), a, b)
                        for d in range(dim):
                            grad = clip((cur[d] - oth[d]) * gc)
                            g[j, d] = g[j, d] + grad
                            g[kk, d] = g[kk, d] - grad
                        eons[i] = eons[i] + np.float64(case.eps[i])
                        n_neg = n_negative(n, eonn[i], epn[i])
                        if n_neg > 0:
                            rng = seed_rng(case.seed, i, n)
                            for _ in range(n_neg):
                                oth2 = emb[tau_rand(rng) % n_vertices]
                                dd2 = rdist(cur, oth2)
                                if dd2 <= F(0.0):
                                    continue
                                gcn = repulsive(dd2, a, b, gamma)
                                if gcn > F(0.0):
                                    for d in range(dim):
                                        g[j, d] = g[j, d] + clip(gcn * (cur[d] - oth2[d]))
                            eonn[i] = eonn[i] + np.float64(n_neg) * epn[i]
                # Element-wise float32 array arithmetic rounds each element
                # once, exactly as the scalar loop over coordinates does.
                acc = np.zeros(flat.shape, dtype=np.float32)
                for t in range(T):
                    acc = acc + gbuf[t].reshape(-1)
                flat[:] = flat + acc * alpha
    return emb


# --------------------------------------------------------------------------
# Kernel callers
# --------------------------------------------------------------------------

def _argtypes(lib: ctypes.CDLL) -> None:
    common = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
              ctypes.c_int64, ctypes.c_void_p, ctypes.c_int, ctypes.c_float, ctypes.c_float,
              ctypes.c_float, ctypes.c_float, ctypes.c_float, ctypes.c_uint64]
    lib.vorlix_umap_optimize_layout_euclidean_f32.argtypes = common
    lib.vorlix_umap_optimize_layout_euclidean_f32.restype = None
    lib.vorlix_umap_optimize_layout_euclidean_f32_parallel.argtypes = common + [ctypes.c_int]
    lib.vorlix_umap_optimize_layout_euclidean_f32_parallel.restype = ctypes.c_int


def _call_args(case: Case, emb: np.ndarray, n_edges: int | None = None):
    return (ptr(emb), case.n_samples, case.dim, ptr(case.head), ptr(case.tail),
            len(case.head) if n_edges is None else n_edges, ptr(case.eps), case.n_epochs,
            case.a, case.b, case.gamma, case.alpha, case.nsr, case.seed)


@pytest.fixture(scope="module")
def lib(native_lib: ctypes.CDLL) -> ctypes.CDLL:
    _argtypes(native_lib)
    return native_lib


def run_serial(lib: ctypes.CDLL, case: Case) -> np.ndarray:
    emb = case.embedding.copy()
    lib.vorlix_umap_optimize_layout_euclidean_f32(*_call_args(case, emb))
    return emb


def run_threaded(lib: ctypes.CDLL, case: Case, n_threads: int,
                 substeps: str | None = None) -> tuple[int, np.ndarray]:
    emb = case.embedding.copy()
    saved = os.environ.pop(SUBSTEPS_ENV, None)
    try:
        if substeps is not None:
            os.environ[SUBSTEPS_ENV] = substeps
        rc = lib.vorlix_umap_optimize_layout_euclidean_f32_parallel(*_call_args(case, emb),
                                                                    n_threads)
    finally:
        os.environ.pop(SUBSTEPS_ENV, None)
        if saved is not None:
            os.environ[SUBSTEPS_ENV] = saved
    return rc, emb


def assert_bits_equal(got: np.ndarray, want: np.ndarray) -> None:
    assert got.dtype == want.dtype == np.float32
    mismatch = np.flatnonzero(got.view(np.uint32) != want.view(np.uint32))
    assert mismatch.size == 0, (
        f"{mismatch.size} coordinates differ, first at flat index {mismatch[0]}: "
        f"{got.reshape(-1)[mismatch[0]]!r} != {want.reshape(-1)[mismatch[0]]!r}")


# --------------------------------------------------------------------------
# Inputs
# --------------------------------------------------------------------------

def random_case(gen: int, n_samples: int, n_edges: int, dim: int = 2, *,
                sort_heads: bool = False, spread: float = 3.0, **kw) -> Case:
    """Random points and edges; periods from weights in (0, 1] as max / w,
    the way a fuzzy graph turns into sampling periods.  `gen` seeds the
    generator of the inputs, `seed` (in kw) is the optimiser's."""
    rng = np.random.default_rng(gen)
    emb = (rng.standard_normal((n_samples, dim)) * spread).astype(np.float32)
    head = rng.integers(0, n_samples, n_edges).astype(np.int32)
    tail = rng.integers(0, n_samples, n_edges).astype(np.int32)
    if sort_heads:
        order = np.argsort(head, kind="stable")
        head, tail = head[order], tail[order]
    w = rng.uniform(0.05, 1.0, n_edges)
    eps = (w.max() / w).astype(np.float32)
    return Case(emb, head, tail, eps, **kw)


def line_case(eps: list[float], **kw) -> Case:
    """Edge i joins points 2i and 2i + 1 of well separated pairs."""
    n = len(eps)
    emb = np.zeros((2 * n + 1, 2), dtype=np.float32)
    emb[:, 0] = np.arange(2 * n + 1, dtype=np.float32) * 1.5
    emb[:, 1] = np.arange(2 * n + 1, dtype=np.float32) % 3
    head = np.arange(0, 2 * n, 2, dtype=np.int32)
    tail = head + 1
    return Case(emb, head, tail, np.array(eps, dtype=np.float32), **kw)


def moved(case: Case, emb: np.ndarray) -> bool:
    return not np.array_equal(emb.view(np.uint32), case.embedding.view(np.uint32))


# --------------------------------------------------------------------------
# The references themselves
# --------------------------------------------------------------------------

def test_splitmix64_matches_published_stream():
    # SplitMix64 seeded with 0 outputs e220a8397b1dcdaf, 6e789e6aa1b965f4,
    # 06c45d188009454f (Steele, Lea and Flood; the reference C code): the
    # k-th output is the mixer applied to state k * increment, i.e. our
    # by-value step on (k - 1) * increment.
    inc = 0x9E3779B97F4A7C15
    assert [splitmix64(k * inc & MASK64) for k in range(3)] == [
        0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]


# --------------------------------------------------------------------------
# Serial optimiser
# --------------------------------------------------------------------------

def _special_edges_case(dim: int) -> Case:
    """Loops, duplicates, a reversed pair, coincident points, disabled edges
    and a clipped pull in one small graph."""
    rng = np.random.default_rng(dim)
    emb = rng.uniform(-2, 2, (8, dim)).astype(np.float32)
    emb[5] = emb[4]                       # coincident, distinct points
    emb[7] = emb[6] + F(1e-4)             # tiny distance: clipped pull
    emb[3, 0] = F(-0.0)                   # a loop edge turns -0.0 into +0.0
    head = np.array([0, 1, 1, 2, 3, 4, 6, 0, 5, 2, 7, 3], dtype=np.int32)
    tail = np.array([1, 0, 0, 2, 3, 5, 7, 6, 4, 2, 1, 0], dtype=np.int32)
    eps = np.array([1, 1.5, 1.5, 1, 2, 1, 1, 0, -1, 3, 1, 1.25], dtype=np.float32)
    return Case(emb, head, tail, eps, n_epochs=9, a=1.9, b=0.3, alpha=0.5, nsr=2.5, seed=3)


@pytest.mark.parametrize("dim", [1, 2, 3])
def test_serial_matches_python_reference_on_special_edges(lib, dim):
    case = _special_edges_case(dim)
    assert_bits_equal(run_serial(lib, case), reference_serial(case))


# Rates of 20 and 40 give runs of more than one batch (16) of samples; three
# points make samples land on the head and the tail all the time.
@pytest.mark.parametrize("gen,n_samples,n_edges,dim,nsr", [
    (10, 6, 40, 2, 5.0), (11, 30, 80, 2, 1.0), (12, 15, 50, 3, 0.7), (13, 1, 5, 2, 5.0),
    (14, 40, 60, 1, 12.0), (15, 3, 60, 2, 5.0), (16, 25, 30, 2, 40.0), (17, 20, 30, 3, 20.0),
])
def test_serial_matches_python_reference(lib, gen, n_samples, n_edges, dim, nsr):
    case = random_case(gen, n_samples, n_edges, dim, n_epochs=8, nsr=nsr, seed=gen,
                       sort_heads=gen % 2 == 0)
    assert_bits_equal(run_serial(lib, case), reference_serial(case))


def test_schedule_of_an_edge():
    # Hand-derived from the schedule rule: eons starts at the period, an edge
    # is due while eons <= n; negative samples are (n - eonn) / epn truncated.
    events: list = []
    case = line_case([1.0, 2.0, 0.0, -1.0, 1.0], n_epochs=7, nsr=5.0)
    reference_serial(case, events)
    by_edge = {i: [(n, k) for n, e, k in events if e == i] for i in range(5)}
    assert by_edge[0] == [(1, 4)] + [(n, 5) for n in range(2, 7)]
    assert [n for n, _ in by_edge[1]] == [2, 4, 6]
    assert by_edge[2] == [] and by_edge[3] == []
    events.clear()
    reference_serial(replace(case, nsr=1.0), events)
    assert [(n, k) for n, e, k in events if e == 0] == [(1, 0)] + [(n, 1) for n in range(2, 7)]


@pytest.mark.parametrize("nsr", [5.0, 1.0])
def test_serial_follows_the_schedule(lib, nsr):
    case = line_case([1.0, 2.0, 0.0, -1.0, 1.0, 0.5, 3.7], n_epochs=9, nsr=nsr)
    assert_bits_equal(run_serial(lib, case), reference_serial(case))


def test_first_epoch_moves_nothing(lib):
    case = random_case(32, 10, 40, n_epochs=1)
    assert_bits_equal(run_serial(lib, case), case.embedding)
    rc, emb = run_threaded(lib, case, 3)
    assert rc == 0
    assert_bits_equal(emb, case.embedding)


def test_edge_first_due_in_epoch_two_is_still_idle_after_two_epochs(lib):
    case = line_case([2.0, 2.0], n_epochs=2)
    assert_bits_equal(run_serial(lib, case), case.embedding)
    assert moved(case, run_serial(lib, replace(case, n_epochs=3)))


def test_clipped_pull_moves_by_exactly_four_alpha(lib):
    # d2 = 1e-6 with a = 1, b = 0.2 gives a raw component near 24 > 4; the
    # only update (epoch 1, alpha = 0.25, no samples with rate 1) adds
    # 4 * 0.25 = 1 to the head and subtracts it from the tail.
    emb = np.array([[0.0], [1e-3]], dtype=np.float32)
    case = Case(emb, np.array([0], np.int32), np.array([1], np.int32),
                np.array([1.0], np.float32), n_epochs=2, a=1.0, b=0.2, alpha=0.25, nsr=1.0)
    out = run_serial(lib, case)
    assert out[0, 0] == F(1.0)
    assert out[1, 0] == F(1e-3) - F(1.0)


def test_loop_edges_and_single_point(lib):
    # One point: every pull has d2 = 0 and every sample is the point itself,
    # so nothing moves except -0.0, which the zero update turns into +0.0.
    emb = np.array([[F(-0.0), F(2.5)]], dtype=np.float32)
    case = Case(emb, np.zeros(4, np.int32), np.zeros(4, np.int32),
                np.ones(4, np.float32), n_epochs=5)
    out = run_serial(lib, case)
    assert_bits_equal(out, reference_serial(case))
    assert out[0, 1] == F(2.5) and np.signbit(out[0, 0]) == False  # noqa: E712


def test_serial_is_repeatable_and_seed_only_picks_samples(lib):
    case = random_case(33, 50, 300, n_epochs=20)
    first = run_serial(lib, case)
    assert_bits_equal(run_serial(lib, case), first)
    assert moved(replace(case, embedding=first), run_serial(lib, replace(case, seed=34)))
    # A rate so low that no edge is due a sample in 20 epochs: the seed is unused.
    quiet = replace(case, nsr=1e-3)
    assert_bits_equal(run_serial(lib, quiet), run_serial(lib, replace(quiet, seed=99)))


@pytest.mark.parametrize("change", [
    dict(n_epochs=0), dict(nsr=0.0), dict(nsr=-1.0), dict(n_edges=0), dict(n_edges=-5),
    dict(n_samples=0), dict(dim=0), dict(null="embedding"), dict(null="head"),
    dict(null="tail"), dict(null="eps"),
])
def test_invalid_arguments_leave_the_embedding_unchanged(lib, change):
    case = random_case(35, 10, 20, n_epochs=4)
    case = replace(case, n_epochs=change.get("n_epochs", case.n_epochs),
                   nsr=change.get("nsr", case.nsr))
    emb = case.embedding.copy()
    args = list(_call_args(case, emb, change.get("n_edges")))
    if "n_samples" in change:
        args[1] = change["n_samples"]
    if "dim" in change:
        args[2] = change["dim"]
    if "null" in change:
        args[{"embedding": 0, "head": 3, "tail": 4, "eps": 6}[change["null"]]] = None
    lib.vorlix_umap_optimize_layout_euclidean_f32(*args)
    assert_bits_equal(emb, case.embedding)
    assert lib.vorlix_umap_optimize_layout_euclidean_f32_parallel(*args, 2) == -1
    assert_bits_equal(emb, case.embedding)


def test_nan_period_is_due_every_epoch_without_samples(lib):
    # NaN fails both skip tests, so the edge is pulled every epoch; its sample
    # count (n - NaN) / NaN is NaN, which counts as none.
    case = line_case([float("nan"), 1.0], n_epochs=5)
    out = run_serial(lib, case)
    assert_bits_equal(out, reference_serial(case))
    assert moved(case, out)


# --------------------------------------------------------------------------
# Threaded optimiser
# --------------------------------------------------------------------------

@pytest.mark.parametrize("T,S", [(2, 1), (2, 3), (3, 7), (4, 2), (3, 40)])
@pytest.mark.parametrize("dim", [2, 3])
def test_threaded_matches_substep_simulation(lib, T, S, dim):
    case = random_case(40 + T + S, 14, 40, dim, n_epochs=6, nsr=3.0, seed=T * S,
                       sort_heads=T % 2 == 0)
    rc, emb = run_threaded(lib, case, T, str(S))
    assert rc == 0
    assert_bits_equal(emb, reference_threaded(case, T, min(S, 40)))


@pytest.mark.parametrize("gen,n_samples,n_edges,T,nsr", [
    (45, 10, 61, 3, 5.0),   # default: 7 sub-steps, unequal stride classes
    (46, 25, 30, 2, 40.0),  # sample runs longer than one batch
    (47, 3, 50, 5, 5.0),    # samples on the head and the tail all the time
])
def test_threaded_default_substeps_match_simulation(lib, gen, n_samples, n_edges, T, nsr):
    case = random_case(gen, n_samples, n_edges, n_epochs=6, nsr=nsr, seed=gen, sort_heads=True)
    S = min(max(-(-n_edges // n_samples), 1), 64, n_edges)
    rc, emb = run_threaded(lib, case, T)
    assert rc == 0
    assert_bits_equal(emb, reference_threaded(case, T, S))


def test_threaded_special_edges_match_simulation(lib):
    case = _special_edges_case(2)
    for T, S in [(2, 4), (5, 3)]:
        rc, emb = run_threaded(lib, case, T, str(S))
        assert rc == 0
        assert_bits_equal(emb, reference_threaded(case, T, S))


def test_threaded_is_repeatable(lib):
    case = random_case(55, 200, 1600, n_epochs=25, sort_heads=True)
    runs = [run_threaded(lib, case, 3)[1] for _ in range(3)]
    for emb in runs[1:]:
        assert_bits_equal(emb, runs[0])


def test_all_online_processors_by_default(lib):
    case = random_case(56, 12, 30, n_epochs=5)
    online = max(os.sysconf("SC_NPROCESSORS_ONLN"), 1)
    rc, emb = run_threaded(lib, case, 0)
    T = min(online, len(case.head))
    if T == 1:
        assert rc == -1
        assert_bits_equal(emb, run_serial(lib, case))
    else:
        assert rc == 0
        assert_bits_equal(emb, reference_threaded(case, T, 3))


def test_workers_capped_at_edge_count(lib):
    case = random_case(57, 10, 3, n_epochs=6)
    rc, emb = run_threaded(lib, case, 16)
    assert rc == 0
    # Three edges over ten points: one sub-step by default.
    assert_bits_equal(emb, reference_threaded(case, 3, 1))


@pytest.mark.parametrize("n_threads,n_edges", [(1, 30), (4, 1), (-3, 1)])
def test_single_worker_runs_the_serial_optimiser(lib, n_threads, n_edges):
    case = random_case(58, 10, n_edges, n_epochs=6)
    rc, emb = run_threaded(lib, case, n_threads)
    assert rc == -1
    assert_bits_equal(emb, run_serial(lib, case))


# Sub-step counts, observed through results: runs with equal counts agree
# bit for bit, runs with neighbouring counts do not.

@pytest.mark.parametrize("n_edges,n_samples,expected", [
    (1000, 100, 10), (10000, 100, 64), (5, 100, 1), (130, 40, 4),
])
def test_default_substeps(lib, n_edges, n_samples, expected):
    case = random_case(60, n_samples, n_edges, n_epochs=3, nsr=1.0)
    # Edges share their heads, so that batching moves differently shows.
    case.head[:] = np.arange(n_edges) % 3
    _, default = run_threaded(lib, case, 2)
    assert_bits_equal(default, run_threaded(lib, case, 2, str(expected))[1])
    for other in (expected - 1, expected + 1):
        if 1 <= other <= n_edges:
            assert moved(replace(case, embedding=default), run_threaded(lib, case, 2, str(other))[1])


@pytest.mark.parametrize("value,same_as", [
    ("8", 8), ("500", 100), ("12abc", 12), ("  +7", 7), ("99999999999999", 100),
    ("0", None), ("-3", None), ("abc", None), ("", None),
])
def test_substeps_from_environment(lib, value, same_as):
    case = random_case(61, 20, 100, n_epochs=4)  # default: 5 sub-steps
    _, got = run_threaded(lib, case, 2, value)
    want = run_threaded(lib, case, 2, None if same_as is None else str(same_as))[1]
    assert_bits_equal(got, want)


# --------------------------------------------------------------------------
# Failure paths, with the fault injector
# --------------------------------------------------------------------------

_FAULT_PRELUDE = """
import ctypes
common = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
          ctypes.c_int64, ctypes.c_void_p, ctypes.c_int, ctypes.c_float, ctypes.c_float,
          ctypes.c_float, ctypes.c_float, ctypes.c_float, ctypes.c_uint64]
ser = lib.vorlix_umap_optimize_layout_euclidean_f32
ser.argtypes, ser.restype = common, None
par = lib.vorlix_umap_optimize_layout_euclidean_f32_parallel
par.argtypes, par.restype = common + [ctypes.c_int], ctypes.c_int
rng = np.random.default_rng(5)
N, E = 200, 2000
emb0 = rng.uniform(-5, 5, (N, 2)).astype(np.float32)
head = rng.integers(0, N, E).astype(np.int32)
tail = rng.integers(0, N, E).astype(np.int32)
eps = (1.0 / rng.uniform(0.1, 1.0, E)).astype(np.float32)
def args(emb):
    return (ptr(emb), N, 2, ptr(head), ptr(tail), E, ptr(eps), 12, 1.5, 0.9, 1.0, 1.0, 5.0, 9)
serial = emb0.copy(); ser(*args(serial))
threaded = emb0.copy(); assert par(*args(threaded), 3) == 0
def same(a, b):
    return bool(np.array_equal(a.view(np.uint32), b.view(np.uint32)))
"""


@pytest.mark.slow
def test_thread_creation_failure_falls_back_to_serial(run_injected):
    out = run_injected(_FAULT_PRELUDE + """
for T, fail_at in [(2, 2), (3, 2), (3, 3), (3, 1), (8, 5)]:
    emb = emb0.copy()
    qfi.arm(thread_at=fail_at)
    rc = par(*args(emb), T)
    st = qfi.stats()
    qfi.disarm()
    # fail_at - 1 workers started and were released by the abort.
    print(T, fail_at, rc, same(emb, serial), st["threads"] == fail_at, st["failed"], st["live"])
""")
    rows = [line.split() for line in out.stdout.strip().splitlines()]
    assert len(rows) == 5
    for row in rows:
        assert row[2:] == ["-1", "True", "True", "1", "0"], row


@pytest.mark.slow
def test_allocation_failure_falls_back_to_serial(run_injected):
    out = run_injected(_FAULT_PRELUDE + """
qfi.arm()
emb = emb0.copy(); par(*args(emb), 3)
n_alloc = qfi.stats()["mallocs"]
qfi.disarm()
print("allocs", n_alloc)
for k in range(1, n_alloc + 1):
    emb = emb0.copy()
    qfi.arm(malloc_at=k)
    rc = par(*args(emb), 3)
    st = qfi.stats()
    qfi.disarm()
    print(k, rc, same(emb, serial), st["failed"], st["live"], st["threads"])
for k in (1, 2, 3):
    emb = emb0.copy()
    qfi.arm(malloc_at=k)
    ser(*args(emb))
    st = qfi.stats()
    qfi.disarm()
    print("serial", k, same(emb, emb0), st["failed"], st["live"])
""")
    lines = out.stdout.strip().splitlines()
    n_alloc = int(lines[0].split()[1])
    assert n_alloc >= 6
    for line in lines[1:1 + n_alloc]:
        k, rc, same, failed, live, threads = line.split()
        # No thread is started once any driver buffer is missing.
        assert (rc, same, failed, live, threads) == ("-1", "True", "1", "0", "0"), line
    for line in lines[1 + n_alloc:]:
        assert line.split()[2:] == ["True", "1", "0"], line


def test_serial_fallback_without_memory_reports_minus_two(run_injected):
    # The serial optimiser's schedule failing after the threaded path could
    # not run (one thread, or a failed thread creation) means nothing ran:
    # -2, the caller's embedding, nothing leaked.  The exported serial
    # kernel stays silent (test above).
    out = run_injected(_FAULT_PRELUDE + """
qfi.arm()
emb = emb0.copy(); par(*args(emb), 3)
n_threaded = qfi.stats()["mallocs"]
qfi.disarm()
for T, thread_at, first in [(1, 0, 0), (3, 2, n_threaded)]:
    for k in (1, 2, 3):
        emb = emb0.copy()
        qfi.arm(malloc_at=first + k, thread_at=thread_at)
        rc = par(*args(emb), T)
        st = qfi.stats()
        qfi.disarm()
        print(T, k, rc, same(emb, emb0), st["live"])
""")
    rows = [line.split() for line in out.stdout.strip().splitlines()]
    assert len(rows) == 6
    for row in rows:
        assert row[2:] == ["-2", "True", "0"], row


def test_threaded_run_releases_everything(run_injected):
    out = run_injected(_FAULT_PRELUDE + """
qfi.arm()
for _ in range(3):
    emb = emb0.copy(); rc = par(*args(emb), 4)
    assert rc == 0
st = qfi.stats()
qfi.disarm()
print(st["live"], st["threads"], st["failed"])
""")
    assert out.stdout.split() == ["0", "12", "0"]


# --------------------------------------------------------------------------
# Module method
# --------------------------------------------------------------------------

def _module_args(case: Case, emb: np.ndarray, n_threads: int = 2, **over):
    args = dict(embedding=emb, head=case.head, tail=case.tail, eps=case.eps,
                n_samples=case.n_samples, dim=case.dim, n_epochs=case.n_epochs, a=case.a,
                b=case.b, gamma=case.gamma, alpha=case.alpha, nsr=case.nsr, seed=case.seed,
                n_threads=n_threads)
    args.update(over)
    return tuple(args.values())


def test_module_runs_the_threaded_kernel(lib):
    # Parameters exactly representable in float32, so narrowing keeps them.
    case = replace(random_case(70, 30, 120, n_epochs=10), a=1.5, b=0.875, gamma=1.25,
                   alpha=0.75, nsr=4.0)
    emb = case.embedding.copy()
    assert _native_quelmo.umap_layout_euclidean_f32(*_module_args(case, emb)) == 0
    assert_bits_equal(emb, run_threaded(lib, case, 2)[1])
    emb = case.embedding.copy()
    assert umap_layout_euclidean_f32(*_module_args(case, emb, n_threads=1)) == -1
    assert_bits_equal(emb, run_serial(lib, case))


def test_module_seed_is_unsigned_64_bit(lib):
    case = replace(random_case(71, 20, 60, n_epochs=6), seed=2**64 - 1)
    big = case.embedding.copy()
    assert umap_layout_euclidean_f32(*_module_args(case, big)) == 0
    wrapped = case.embedding.copy()
    assert umap_layout_euclidean_f32(*_module_args(case, wrapped, seed=-1)) == 0
    assert_bits_equal(big, wrapped)
    assert_bits_equal(big, run_threaded(lib, case, 2)[1])


@pytest.mark.parametrize("over", [dict(n_samples=0), dict(dim=-1), dict(n_epochs=0)])
def test_module_positive_sizes(over):
    case = random_case(72, 5, 10)
    # Buffers are not even requested: None would fail the buffer check.
    args = _module_args(case, None, **over)
    args = (None, None, None, None) + args[4:]
    with pytest.raises(ValueError, match="^n_samples, dim, and n_epochs must be positive$"):
        umap_layout_euclidean_f32(*args)


def test_module_buffer_checks():
    case = random_case(73, 5, 10, dim=3)
    short = np.zeros(5 * 3 - 1, dtype=np.float32)
    with pytest.raises(ValueError, match=r"^embedding must be a C-contiguous buffer with "
                                         r"itemsize 4 and at least 15 items$"):
        umap_layout_euclidean_f32(*_module_args(case, short))
    with pytest.raises(ValueError, match="^embedding must be"):
        umap_layout_euclidean_f32(*_module_args(case, case.embedding.astype(np.float64)))
    with pytest.raises(ValueError, match="^head must be"):
        umap_layout_euclidean_f32(*_module_args(case, case.embedding.copy(),
                                                head=case.head.astype(np.int64)))
    with pytest.raises(ValueError, match="^epochs_per_sample must be"):
        umap_layout_euclidean_f32(*_module_args(case, case.embedding.copy(),
                                                eps=case.eps.astype(np.float16)))
    readonly = case.embedding.copy()
    readonly.flags.writeable = False
    with pytest.raises((ValueError, BufferError)):
        umap_layout_euclidean_f32(*_module_args(case, readonly))
    strided = np.zeros(20, dtype=np.int32)[::2]
    with pytest.raises((ValueError, BufferError)):
        umap_layout_euclidean_f32(*_module_args(case, case.embedding.copy(), tail=strided))


def test_module_edge_lengths_must_match():
    case = random_case(74, 5, 10)
    emb = case.embedding.copy()
    with pytest.raises(ValueError, match="^head, tail, and epochs_per_sample lengths must match$"):
        umap_layout_euclidean_f32(*_module_args(case, emb, tail=case.tail[:9]))
    with pytest.raises(ValueError, match="lengths must match"):
        umap_layout_euclidean_f32(*_module_args(case, emb, eps=case.eps[:9]))
    assert_bits_equal(emb, case.embedding)


@pytest.mark.parametrize("where,value", [("head", -1), ("head", 5), ("tail", 5),
                                         ("tail", -2**31), ("head", 2**31 - 1)])
def test_module_rejects_edge_ids_outside_the_embedding(where, value):
    case = random_case(75, 5, 10, n_epochs=5)
    ids = {"head": case.head.copy(), "tail": case.tail.copy()}
    ids[where][7] = value
    emb = case.embedding.copy()
    with pytest.raises(ValueError, match=r"^head and tail entries must lie in \[0, n_samples\)$"):
        umap_layout_euclidean_f32(*_module_args(case, emb, head=ids["head"], tail=ids["tail"]))
    assert_bits_equal(emb, case.embedding)


@pytest.mark.parametrize("name", ["a", "b", "gamma", "alpha", "nsr"])
@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf"), 1e39])
def test_module_refuses_non_finite_floats(name, value):
    # 1e39 is finite as a double but infinite once narrowed to float32.
    # An infinite rate would ask for 2^31 negative samples per edge and epoch.
    case = random_case(77, 5, 10, n_epochs=5)
    emb = case.embedding.copy()
    shown = {"alpha": "initial_alpha", "nsr": "negative_sample_rate"}.get(name, name)
    with pytest.raises(ValueError, match=f"^{shown} must be finite in float32$"):
        umap_layout_euclidean_f32(*_module_args(case, emb, **{name: value}))
    assert_bits_equal(emb, case.embedding)


def test_module_raises_memory_error_when_nothing_could_run(run_injected):
    # One thread: the serial optimiser's three schedule arrays are the only
    # allocations; each failing leaves the embedding untouched.
    out = run_injected("""
rng = np.random.default_rng(6)
emb0 = rng.uniform(0, 10, (40, 2)).astype(np.float32)
head = rng.integers(0, 40, 200).astype(np.int32)
tail = rng.integers(0, 40, 200).astype(np.int32)
eps = rng.uniform(1, 3, 200).astype(np.float32)
for k in (1, 2, 3, 4):
    emb = emb0.copy()
    qfi.arm(malloc_at=k)
    try:
        outcome = _native_quelmo.umap_layout_euclidean_f32(emb, head, tail, eps, 40, 2, 6,
                                                           1.6, 0.9, 1.0, 1.0, 5.0, 3, 1)
    except MemoryError as exc:
        outcome = "MemoryError" if "layout" in str(exc) else repr(exc)
    st = qfi.stats()
    qfi.disarm()
    print(k, outcome, emb.tobytes() == emb0.tobytes(), st["live"])
""").stdout
    rows = [line.split() for line in out.strip().splitlines()]
    assert [row[1:] for row in rows[:3]] == [["MemoryError", "True", "0"]] * 3
    assert rows[3][1:] == ["-1", "False", "0"]  # no fourth allocation: a serial run


def test_module_empty_edge_list_returns_minus_one():
    case = random_case(76, 5, 10, n_epochs=5)
    emb = case.embedding.copy()
    empty_i = np.zeros(0, dtype=np.int32)
    rc = umap_layout_euclidean_f32(*_module_args(case, emb, head=empty_i, tail=empty_i,
                                                 eps=np.zeros(0, dtype=np.float32)))
    assert rc == -1
    assert_bits_equal(emb, case.embedding)


# Generator seeds picked by a search for inputs on which skipping every
# zero-distance sample (not only those on the head itself) changes the bits.
@pytest.mark.parametrize("dim,gen", [(2, 58), (2, 64), (2, 182), (2, 242), (1, 7), (1, 21),
                                     (3, 226), (3, 279)])
def test_signed_zeros_and_underflowing_distances(lib, dim, gen):
    # Coordinates of +-0 and +-1e-30 make squared distances underflow to 0
    # between distinct points; the zero update that such a sample still
    # performs turns -0.0 into +0.0, and a skipped sample would not.
    rng = np.random.default_rng(900 + gen)
    values = np.array([0.0, -0.0, 1e-30, -1e-30, 1.0], dtype=np.float32)
    emb = values[rng.integers(0, len(values), (6, dim))]
    head = rng.integers(0, 6, 24).astype(np.int32)
    tail = rng.integers(0, 6, 24).astype(np.int32)
    eps = rng.choice(np.array([1.0, 2.0], np.float32), 24)
    case = Case(emb, head, tail, eps, n_epochs=5, a=1.0, b=1.0, alpha=1.0, nsr=6.0, seed=gen)
    assert_bits_equal(run_serial(lib, case), reference_serial(case))
    rc, out = run_threaded(lib, case, 2, "3")
    assert rc == 0
    assert_bits_equal(out, reference_threaded(case, 2, 3))
