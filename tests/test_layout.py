"""Layout optimisers: the serial kernel, the threaded kernel and the module
method, checked bit for bit against plain references.

Two references live here.  A Python transcription (float32 scalars, one
rounding per operation, libm ``powf`` through ctypes) runs on small inputs;
it pins the arithmetic, the schedule and the random streams.  A plain C
transcription (``native/layout_reference.c``) is checked against it and then
stands in for it on inputs large enough to exercise the optimised paths.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import shutil
import subprocess
from dataclasses import dataclass, replace
from pathlib import Path

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


@pytest.fixture(scope="module")
def ref_lib(tmp_path_factory: pytest.TempPathFactory) -> ctypes.CDLL:
    """The plain C reference, built for this test session."""
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the C reference")
    out = tmp_path_factory.mktemp("layout_ref") / "liblayoutref.so"
    src = Path(__file__).resolve().parent / "native" / "layout_reference.c"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-ffp-contract=off", "-o", str(out),
                    str(src), "-lm"], check=True)
    ref = ctypes.CDLL(str(out))
    common = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
              ctypes.c_int64, ctypes.c_void_p, ctypes.c_int, ctypes.c_float, ctypes.c_float,
              ctypes.c_float, ctypes.c_float, ctypes.c_float, ctypes.c_uint64]
    ref.ref_serial.argtypes = common
    ref.ref_serial.restype = None
    ref.ref_threaded.argtypes = common + [ctypes.c_int, ctypes.c_int]
    ref.ref_threaded.restype = None
    return ref


def c_ref_serial(ref: ctypes.CDLL, case: Case) -> np.ndarray:
    emb = case.embedding.copy()
    ref.ref_serial(*_call_args(case, emb))
    return emb


def c_ref_threaded(ref: ctypes.CDLL, case: Case, T: int, S: int) -> np.ndarray:
    emb = case.embedding.copy()
    ref.ref_threaded(*_call_args(case, emb), T, S)
    return emb


def assert_bits_equal(got: np.ndarray, want: np.ndarray) -> None:
    assert got.dtype == want.dtype == np.float32
    mismatch = np.flatnonzero(got.view(np.uint32) != want.view(np.uint32))
    assert mismatch.size == 0, (
        f"{mismatch.size} coordinates differ, first at flat index {mismatch[0]}: "
        f"{got.reshape(-1)[mismatch[0]]!r} != {want.reshape(-1)[mismatch[0]]!r}")


# --------------------------------------------------------------------------
# Inputs
# --------------------------------------------------------------------------

def random_case(seed: int, n_samples: int, n_edges: int, dim: int = 2, *,
                sort_heads: bool = False, spread: float = 3.0, **kw) -> Case:
    """Random points and edges; periods from weights in (0, 1] as max / w,
    the way a fuzzy graph turns into sampling periods."""
    rng = np.random.default_rng(seed)
    emb = (rng.standard_normal((n_samples, dim)) * spread).astype(np.float32)
    head = rng.integers(0, n_samples, n_edges).astype(np.int32)
    tail = rng.integers(0, n_samples, n_edges).astype(np.int32)
    if sort_heads:
        order = np.argsort(head, kind="stable")
        head, tail = head[order], tail[order]
    w = rng.uniform(0.05, 1.0, n_edges)
    eps = (w.max() / w).astype(np.float32)
    return Case(emb, head, tail, eps, **kw)


def knn_case(seed: int, n_samples: int, k: int, dim: int = 2, **kw) -> Case:
    """Both directions of a brute-force kNN graph of clustered points, in
    head order: long runs of equal heads and many shared end points."""
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((4, 5)) * 6
    x = centers[rng.integers(0, 4, n_samples)] + rng.standard_normal((n_samples, 5))
    d2 = ((x[:, None, :] - x[None, :, :]) ** 2).sum(-1)
    np.fill_diagonal(d2, np.inf)
    nbr = np.argsort(d2, axis=1)[:, :k]
    rows = np.repeat(np.arange(n_samples), k)
    cols = nbr.reshape(-1)
    dist = np.sqrt(d2[rows, cols])
    w = np.exp(-(dist - dist.min()) / dist.std())
    head = np.concatenate([rows, cols])
    tail = np.concatenate([cols, rows])
    w = np.concatenate([w, w])
    order = np.lexsort((tail, head))
    emb = (rng.uniform(-10, 10, (n_samples, dim))).astype(np.float32)
    eps = (w.max() / w[order]).astype(np.float32)
    return Case(emb, head[order].astype(np.int32), tail[order].astype(np.int32), eps, **kw)


def line_case(eps: list[float], **kw) -> Case:
    """Edge i joins points 2i and 2i + 1 of well separated pairs."""
    n = len(eps)
    emb = np.zeros((2 * n + 1, 2), dtype=np.float32)
    emb[:, 0] = np.arange(2 * n + 1, dtype=np.float32) * 1.5
    emb[:, 1] = np.arange(2 * n + 1, dtype=np.float32) % 3
    head = np.arange(0, 2 * n, 2, dtype=np.int32)
    tail = head + 1
    return Case(emb, head, tail, np.array(eps, dtype=np.float32), **kw)
