"""Metric kernels and the general-metric kNN (_native_ext_src/metric_*): the
kernels against SciPy, the SIMD realisation against the portable one bit for
bit, symmetry, results independent of the thread count, exactness on a single
leaf, failure paths; then metric names, sparse input, precomputed distances
and the estimator on every metric."""

from __future__ import annotations

import ctypes
import shutil
import subprocess
import warnings
from pathlib import Path

import numpy as np
import pytest
import scipy.sparse
from scipy.spatial.distance import cdist

from conftest import ptr
from quelmo import UMAP, _input, _metrics, _native_ext, _neighbors, _precomputed

ROOT = Path(__file__).resolve().parent.parent
EXT_SRC = ROOT / "_native_ext_src"

# name -> (SciPy name, p, data kind); the rank distance of minkowski is the
# sum of powers, SciPy's value to the power p.
DENSE = {
    "sqeuclidean": ("sqeuclidean", 1.0, "real"),
    "manhattan": ("cityblock", 1.0, "real"),
    "chebyshev": ("chebyshev", 1.0, "real"),
    "minkowski": ("minkowski", 3.0, "real"),
    "minkowski-real": ("minkowski", 1.7, "real"),
    "minkowski-five": ("minkowski", 5.0, "real"),
    "canberra": ("canberra", 1.0, "real"),
    "braycurtis": ("braycurtis", 1.0, "nonneg"),
    "hamming": ("hamming", 1.0, "coarse"),
    "jaccard": ("jaccard", 1.0, "binary"),
    "dice": ("dice", 1.0, "binary"),
    # Byte rows take the integer kernels, with the float kernels' bits.
    "manhattan-bytes": ("cityblock", 1.0, "bytes"),
    "chebyshev-bytes": ("chebyshev", 1.0, "bytes"),
    "braycurtis-bytes": ("braycurtis", 1.0, "bytes"),
    "hamming-bytes": ("hamming", 1.0, "bytes"),
}
SPARSE = ["sqeuclidean", "manhattan", "chebyshev", "minkowski", "canberra", "braycurtis",
          "hamming", "jaccard", "dice", "correlation"]


def data(kind: str, n: int = 120, d: int = 37, seed: int = 0) -> np.ndarray:
    """Test rows with zeros, ties and scales that reach the kernels' corners."""
    rng = np.random.default_rng(seed)
    if kind == "binary":
        return (rng.random((n, d)) < 0.3).astype(np.float32)
    if kind == "coarse":  # repeated values: hamming counts differences
        return rng.integers(0, 3, (n, d)).astype(np.float32)
    if kind == "bytes":  # images: integers 0 .. 255, half of them 0
        return (rng.integers(0, 256, (n, d)) * (rng.random((n, d)) < 0.5)).astype(np.float32)
    X = rng.normal(size=(n, d)) * rng.choice([0.01, 1.0, 50.0], size=(n, 1))
    X[rng.random((n, d)) < 0.3] = 0.0
    return np.abs(X).astype(np.float32) if kind == "nonneg" else X.astype(np.float32)


def sparse_data(n: int = 150, d: int = 300, seed: int = 1) -> scipy.sparse.csr_matrix:
    rng = np.random.default_rng(seed)
    X = scipy.sparse.random(n, d, density=0.05, random_state=rng, format="csr",
                            dtype=np.float32)
    X.data = (X.data - 0.3).astype(np.float32)  # both signs
    X.data[X.data == 0] = 0.5
    return X


def cross(x, y, name, p=1.0):
    out = np.empty((x.shape[0], y.shape[0]), np.float32)
    if scipy.sparse.issparse(x):
        return _neighbors.metric_distances(x, y, name, p, 2)
    _native_ext.metric_cross_f32(x, y, out, x.shape[0], y.shape[0], x.shape[1], name, p, 2)
    return out


def reference(x, y, scipy_name, p):
    a, b = x.astype(np.float64), y.astype(np.float64)
    if scipy_name == "minkowski":
        return cdist(a, b, "minkowski", p=p) ** p
    if scipy_name in ("jaccard", "dice", "hamming") and set(np.unique(a)) <= {0.0, 1.0}:
        return cdist(a.astype(bool), b.astype(bool), scipy_name)
    return cdist(a, b, scipy_name)


# ---------------------------------------------------------------------------
# Kernels

@pytest.mark.parametrize("key", sorted(DENSE))
def test_dense_kernels_match_scipy_and_are_symmetric(key):
    scipy_name, p, kind = DENSE[key]
    name = key.split("-")[0]
    X = data(kind)
    out = cross(X, X, name, p)
    ref = reference(X, X, scipy_name, p)
    # Float32 sums of float32 terms (the non-integer power to about 1e-6).
    np.testing.assert_allclose(out, ref, rtol=2e-5, atol=1e-6 * ref.max())
    assert out.tobytes() == out.T.copy().tobytes()


@pytest.mark.parametrize("name", SPARSE)
def test_sparse_kernels_match_scipy_and_are_symmetric(name):
    X = sparse_data()
    X.data[X.indptr[3]:X.indptr[4]] = 0.0  # an empty row
    X.eliminate_zeros()
    p = 2.5 if name == "minkowski" else 1.0
    out = cross(X, X, name, p)
    dense = X.toarray().astype(np.float64)
    if name in ("hamming", "jaccard", "dice"):
        ref = cdist(dense != 0, dense != 0, name)
    elif name == "correlation":
        # 2 - 2 r of the centred rows; a flat row centres to zero.
        centred = dense - dense.mean(axis=1, keepdims=True)
        norms = np.linalg.norm(centred, axis=1)
        unit = centred / np.where(norms > 0, norms, 1.0)[:, None]
        ref = cdist(unit, unit, "sqeuclidean")
    else:
        ref = reference(dense, dense, DENSE[name][0] if name != "minkowski" else "minkowski", p)
    ref[np.isnan(ref)] = 0.0  # two empty rows: 0 here, 0 / 0 in SciPy
    np.testing.assert_allclose(out, ref, rtol=1e-5, atol=1e-6 * ref.max())
    assert out.tobytes() == out.T.copy().tobytes()


def _build_shim(tmp_path_factory, name: str, flags: list[str]) -> ctypes.CDLL:
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None or not EXT_SRC.exists():
        pytest.skip("no C++ compiler or sources for the portable build")
    out = tmp_path_factory.mktemp(name) / f"lib{name}.so"
    sources = [EXT_SRC / f"metric_{unit}.cpp" for unit in ("dense", "sparse", "table", "knn")]
    subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-fvisibility=hidden",
                    "-shared", "-fPIC", "-I", str(EXT_SRC), "-o", str(out),
                    str(ROOT / "tests" / "native" / "metric_shim.cpp"), *map(str, sources),
                    *flags, "-lpthread"], check=True)
    lib = ctypes.CDLL(str(out))
    I, P = ctypes.c_int, ctypes.c_void_p
    lib.shim_cross.argtypes = [ctypes.c_char_p, ctypes.c_double, P, I, P, I, I, P]
    lib.shim_knn.argtypes = [ctypes.c_char_p, ctypes.c_double, P, I, I, I, I, I, I,
                             ctypes.c_uint64, I, P, P]
    return lib


@pytest.fixture(scope="module")
def portable(tmp_path_factory) -> ctypes.CDLL:
    return _build_shim(tmp_path_factory, "metricportable", ["-DQUELMO_METRIC_NO_SIMD"])


@pytest.fixture(scope="module")
def avx2_only(tmp_path_factory) -> ctypes.CDLL:
    """The kernels built without their AVX-512 realisation: on a CPU with
    AVX-512 the module runs that one, and this build the AVX2 one."""
    return _build_shim(tmp_path_factory, "metricavx2", ["-DQUELMO_METRIC_NO_AVX512"])


@pytest.mark.parametrize("key", sorted(DENSE))
def test_simd_kernels_equal_the_portable_ones_bit_for_bit(portable, avx2_only, key):
    _, p, kind = DENSE[key]
    name = key.split("-")[0]
    for d in (1, 7, 8, 9, 16, 23, 37, 64, 100):  # every tail length of both halves
        X = data(kind, n=30, d=d, seed=d)
        ours = cross(X, X, name, p)
        for build in (portable, avx2_only):
            plain = np.empty_like(ours)
            assert build.shim_cross(name.encode(), p, ptr(X), 30, ptr(X), 30, d, ptr(plain)) == 0
            assert ours.tobytes() == plain.tobytes(), (key, d)


def search(X, name, k=10, p=1.0, trees=4, iters=10, leaf=20, seed=3, threads=2):
    return _neighbors.search_metric_knn(X, name, p, k, n_trees=trees, n_iters=iters,
                                        leaf_size=leaf, seed=seed, n_threads=threads)


def test_knn_equals_the_portable_build_and_ignores_the_thread_count(portable):
    X = data("real", n=700, d=21)
    idx, dist = search(X, "canberra", threads=1)
    for threads in (2, 3, 8):
        other = search(X, "canberra", threads=threads)
        assert idx.tobytes() == other[0].tobytes() and dist.tobytes() == other[1].tobytes()
    pidx, pdist = np.empty_like(idx), np.empty_like(dist)
    assert portable.shim_knn(b"canberra", 1.0, ptr(X), 700, 21, 10, 4, 10, 20, 3, 5,
                             ptr(pidx), ptr(pdist)) == 0
    assert idx.tobytes() == pidx.tobytes() and dist.tobytes() == pdist.tobytes()
    S = _metrics.prepare_data(sparse_data(n=600, d=400), _metrics.resolve_metric("cosine", None))
    a, b = search(S, "sqeuclidean", threads=1), search(S, "sqeuclidean", threads=5)
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


def _exact(D: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """k nearest by (distance, id), the point itself excluded."""
    D = D.astype(np.float64).copy()
    np.fill_diagonal(D, np.inf)
    order = np.argsort(D, axis=1, kind="stable")[:, :k]
    return order, np.take_along_axis(D, order, 1)


@pytest.mark.parametrize("name, X", [("braycurtis", data("nonneg", n=35)),
                                     ("jaccard", data("binary", n=35)),
                                     ("manhattan", sparse_data(n=35))])
def test_one_leaf_is_exact(name, X):
    # 35 points in one leaf of 40: every pair is compared.
    idx, rank = search(X, name, k=8, leaf=40)
    keys = _neighbors._sorted_row_keys(idx, rank)
    expected, _ = _exact(cross(X, X, name), 8)
    np.testing.assert_array_equal((keys & np.uint64(0xFFFFFFFF)).astype(np.int64), expected)


@pytest.mark.parametrize("name", ["sqeuclidean", "manhattan", "chebyshev", "minkowski",
                                  "canberra", "braycurtis"])
def test_leaves_packed_without_common_zero_columns_keep_the_bits(name):
    # Groups of sixteen columns zero in every row (-0 in some) are left out
    # of the leaves' comparisons, with a partial last group of 6 or 12
    # columns; every distance found must still be the kernel's own, bit for
    # bit.  A NaN turns the packing off (chebyshev's maximum would keep it).
    p = 3.0 if name == "minkowski" else 1.0
    for d in (70, 140):
        X = data("nonneg" if name == "braycurtis" else "real", n=200, d=d, seed=3)
        X[:, 16:48] = 0.0
        X[::2, 48:64] = -0.0
        X[:, 80:112] = 0.0
        cases = [(X, 40), (X, 200)]  # several leaves, and one that holds every point
        if d == 70:  # the NaN's lane has no other term after the zero groups
            Y = np.ascontiguousarray(X[:, :48])
            Y[0, 15] = np.nan
            cases.append((Y, 200))
        for Z, leaf in cases:
            idx, rank = search(Z, name, k=8, p=p, trees=3, leaf=leaf)
            D = cross(Z, Z, name, p)
            found = np.take_along_axis(D, idx.astype(np.int64), 1)
            # A NaN distance is never a neighbour; every other one can be.
            numbers = ~np.isnan(D) & ~np.eye(len(Z), dtype=bool)
            listed = idx >= 0
            assert (listed.sum(axis=1) == np.minimum(8, numbers.sum(axis=1))).all(), (d, leaf)
            assert rank[listed].tobytes() == found[listed].tobytes(), (d, leaf)


@pytest.mark.parametrize("name, sparse", [("manhattan", False), ("chebyshev", False),
                                          ("jaccard", True), ("correlation", True)])
def test_recall_on_clustered_data(name, sparse):
    rng = np.random.default_rng(5)
    centres = rng.normal(size=(8, 60)) * 3
    X = (centres[rng.integers(0, 8, 1500)] + rng.normal(size=(1500, 60))).astype(np.float32)
    if sparse:
        X[X < 2.0] = 0.0  # patterns that follow the clusters
        X = scipy.sparse.csr_matrix(X)
    idx, _ = search(X, name, k=14, trees=4, leaf=40)
    D = cross(X, X, name)
    _, exact_d = _exact(D, 14)
    found = np.take_along_axis(D, idx, 1)
    # Ties count: a found neighbour as close as the 14th exact one is right.
    assert (found <= exact_d[:, -1:] * (1 + 1e-6)).mean() > 0.97


def test_empty_slots_get_exact_neighbours():
    X = data("real", n=60)
    idx, rank = search(X, "manhattan")
    idx[[4, 9], 3:] = -1
    rank[[4, 9], 3:] = 1e30
    _neighbors.fill_empty_metric_slots(X, "manhattan", 1.0, idx, rank, 2)
    expected, dist = _exact(cross(X, X, "manhattan"), 10)
    np.testing.assert_array_equal(idx[[4, 9]], expected[[4, 9]])
    np.testing.assert_array_equal(rank[[4, 9]], dist[[4, 9]].astype(np.float32))


def test_native_arguments_are_checked():
    X = data("real", n=20, d=5)
    idx, dist = np.empty((20, 3), np.int32), np.empty((20, 3), np.float32)
    with pytest.raises(ValueError, match="no dense kernel for metric 'correlation'"):
        _native_ext.metric_knn_f32(X, idx, dist, 20, 5, 3, "correlation", 1.0, 2, 2, 10, 1, 1)
    with pytest.raises(ValueError, match="binary"):
        _native_ext.metric_knn_f32(X, idx, dist, 20, 5, 3, "jaccard", 1.0, 2, 2, 10, 1, 1)
    with pytest.raises(ValueError, match="k must be below n"):
        _native_ext.metric_knn_f32(X, idx, dist, 3, 5, 3, "manhattan", 1.0, 2, 2, 10, 1, 1)
    with pytest.raises(ValueError, match="p must be positive"):
        _native_ext.metric_knn_f32(X, idx, dist, 20, 5, 3, "minkowski", -1.0, 2, 2, 10, 1, 1)
    good = _neighbors.csr_buffers(scipy.sparse.csr_matrix(data("real", n=20, d=30)))
    for broken in ("unsorted", "zero", "column", "indptr"):
        indptr, indices, values = (a.copy() for a in good)
        if broken == "unsorted":
            indices[indptr[2]:indptr[3]] = indices[indptr[2]:indptr[3]][::-1]
        elif broken == "zero":
            values[5] = 0.0
        elif broken == "column":
            indices[0] = 30
        else:
            indptr[4] = indptr[3] - 1
        with pytest.raises(ValueError, match="canonical CSR"):
            _native_ext.metric_knn_csr_f32(indptr, indices, values, idx, dist, 20, 30, 3,
                                           "manhattan", 1.0, 2, 2, 10, 1, 1)


def test_failed_allocations_and_threads_leak_nothing(run_injected):
    # Every allocation of a dense and a sparse search, of the all-pairs
    # method and of the graph queries of new points failed in turn:
    # MemoryError, never a crash or a leak; a failed thread creation moves
    # its work to the calling thread, same result.
    out = run_injected("""
_qfi.qfi_target(b"_native_ext")
import scipy.sparse
from quelmo import _native_ext
rng = np.random.default_rng(0)
X = rng.normal(size=(300, 12)).astype(np.float32)
S = scipy.sparse.random(300, 50, density=0.1, random_state=1, format="csr", dtype=np.float32)
ip, ix = S.indptr.astype(np.int64), S.indices.astype(np.int32)
calls = {
    "dense": lambda i, d: _native_ext.metric_knn_f32(X, i, d, 300, 12, 8, "manhattan", 1.0,
                                                      3, 4, 20, 1, 3),
    "sparse": lambda i, d: _native_ext.metric_knn_csr_f32(ip, ix, S.data, i, d, 300, 50, 8,
                                                          "braycurtis", 1.0, 3, 4, 20, 1, 3),
    "cross": lambda i, d: _native_ext.metric_cross_f32(X, X, d, 300, 300, 12, "canberra",
                                                       1.0, 3),
    "query": lambda i, d: _native_ext.metric_query_f32(X, X[:40], G, E, i, d, 300, 40, 12, 14,
                                                       8, 96, 64, "canberra", 1.0, 3),
    "query_sparse": lambda i, d: _native_ext.metric_query_csr_f32(
        ip, ix, S.data, ip, ix, S.data, G, E, i, d, 300, 40, 50, 14, 8, 96, 64, "braycurtis",
        1.0, 3),
}
G = rng.integers(0, 300, size=(300, 14)).astype(np.int32)
E = np.arange(0, 300, 4, dtype=np.int32)[:64]
for name, call in calls.items():
    idx, dist = np.full((300, 8), -7, np.int32), np.full(300 * 300, -7, np.float32)
    qfi.arm()
    call(idx, dist)
    s = qfi.stats()
    qfi.disarm()
    good = (idx.copy(), dist.copy())
    for kind, total in (("malloc", s["mallocs"]), ("thread", s["threads"])):
        for nth in range(1, total + 1):
            idx[:], dist[:] = -7, -7
            qfi.arm(**{kind + "_at": nth})
            try:
                call(idx, dist)
                outcome = "same" if idx.tobytes() == good[0].tobytes() and \\
                    dist.tobytes() == good[1].tobytes() else "differs"
            except MemoryError:
                outcome = "MemoryError"
            t = qfi.stats()
            qfi.disarm()
            print(name, kind, nth, outcome, t["live"], t["failed"])
""", timeout=300).stdout
    rows = [line.split() for line in out.splitlines()]
    assert {r[0] for r in rows} == {"dense", "sparse", "cross", "query", "query_sparse"}
    for name, kind, nth, outcome, live, failed in rows:
        assert (live, failed) == ("0", "1"), (name, kind, nth)
        # The queries' thread helper runs everything on the calling thread
        # when its own bookkeeping cannot be had: the same result.
        malloc = ("same", "MemoryError") if name.startswith("query") else ("MemoryError",)
        assert outcome in (("same",) if kind == "thread" else malloc), (name, kind, nth)
    assert {(r[0], r[3]) for r in rows if r[0].startswith("query")} >= {
        ("query", "MemoryError"), ("query_sparse", "MemoryError")}


# ---------------------------------------------------------------------------
# Metric names, data checks and sparse input

class TestResolve:
    def test_aliases_and_minkowski_specials(self):
        assert _metrics.resolve_metric("L1", None).name == "manhattan"
        assert _metrics.resolve_metric("taxicab", None).name == "manhattan"
        assert _metrics.resolve_metric("linfinity", None).name == "chebyshev"
        assert _metrics.resolve_metric("minkowski", {"p": 1}).name == "manhattan"
        assert _metrics.resolve_metric("minkowski", None).name == "euclidean"  # p = 2
        assert _metrics.resolve_metric("minkowski", {"p": np.inf}).name == "chebyshev"
        assert _metrics.resolve_metric("minkowski", {"p": 3}) == ("minkowski", 3.0, "minkowski")

    @pytest.mark.parametrize("metric, kwds, message", [
        ("wasserstein", None, "unknown metric 'wasserstein'; known metrics are 'euclidean'"),
        (len, None, "unknown metric"),
        ("minkowski", {"p": 0}, "p > 0"),
        ("minkowski", {"p": "3"}, "p > 0"),
        ("minkowski", {"q": 3}, "takes only 'p'"),
        ("cosine", {"p": 3}, "takes no keywords"),
        ("cosine", [("p", 3)], "metric_kwds must be a dict"),
    ])
    def test_refusals(self, metric, kwds, message):
        with pytest.raises(ValueError, match=message):
            _metrics.resolve_metric(metric, kwds)

    @pytest.mark.parametrize("metric, X, message", [
        ("hellinger", -np.eye(3), "non-negative"),
        ("hellinger", scipy.sparse.csr_matrix(-np.eye(3)), "non-negative"),
        ("jaccard", np.full((3, 2), 0.5), "binary values"),
        ("precomputed", np.zeros((3, 4)), "square"),
        ("precomputed", -np.ones((3, 3)), "non-negative distances"),
    ])
    def test_data_the_metric_cannot_take(self, metric, X, message):
        with pytest.raises(ValueError, match=message):
            _metrics.prepare_data(X, _metrics.resolve_metric(metric, None))


class TestSparseInput:
    def test_canonical_csr_passes_without_copy(self):
        X = sparse_data()
        assert _input.check_sparse(X) is X
        Y = scipy.sparse.csr_array(X)
        assert np.shares_memory(_input.check_sparse(Y).data, Y.data)

    @pytest.mark.parametrize("make", [
        lambda A: scipy.sparse.csc_matrix(A),
        lambda A: scipy.sparse.coo_array(A),
        lambda A: scipy.sparse.csr_array(A.astype(np.float64)),
        lambda A: scipy.sparse.csr_matrix(A != 0),
    ])
    def test_other_formats_become_canonical_csr(self, make):
        A = sparse_data().toarray()
        X = make(A)
        before = (X.copy().toarray(), type(X))
        out = _input.check_sparse(X)
        assert isinstance(out, scipy.sparse.csr_matrix) and out.dtype == np.float32
        np.testing.assert_array_equal(out.toarray(), X.toarray().astype(np.float32))
        np.testing.assert_array_equal(X.toarray(), before[0])  # input untouched

    def test_duplicates_unsorted_and_stored_zeros(self):
        X = scipy.sparse.csr_matrix((np.array([1.0, 2.0, 0.0, 3.0], np.float32),
                                     np.array([2, 0, 1, 2]), np.array([0, 4, 4])), shape=(2, 3))
        snapshot = (X.data.copy(), X.indices.copy())
        out = _input.check_sparse(X)
        np.testing.assert_array_equal(out.indices, [0, 2])
        np.testing.assert_array_equal(out.data, [2.0, 4.0])
        np.testing.assert_array_equal(X.data, snapshot[0])
        np.testing.assert_array_equal(X.indices, snapshot[1])
        kept = _input.check_sparse(X, keep_zeros=True)
        np.testing.assert_array_equal(kept.indices, [0, 1, 2])

    @pytest.mark.parametrize("values, message", [
        ([np.nan], "NaN or infinity"), ([1e39], "too large for float32")])
    def test_refusals(self, values, message):
        X = scipy.sparse.csr_matrix((np.array(values), [0], [0, 1, 1]), shape=(2, 2))
        with pytest.raises(ValueError, match=message):
            _input.check_sparse(X)


class TestPrecomputed:
    def test_dense_matrix_gives_the_exact_neighbours(self):
        X = data("real", n=80)
        D = cdist(X, X).astype(np.float32)
        idx, dist = _precomputed.knn_from_distances(D, 6)
        expected, exact = _exact(D, 5)
        np.testing.assert_array_equal(idx[:, 1:], expected)
        np.testing.assert_array_equal(dist[:, 1:], exact.astype(np.float32))
        assert (idx[:, 0] == np.arange(80)).all() and (dist[:, 0] == 0).all()

    def test_sparse_matrix_keeps_only_stored_entries(self):
        # Row 2 stores a zero: a neighbour at distance 0.
        D = scipy.sparse.csr_matrix((np.array([1, 4, 1, 2, 0, 4], np.float32),
                                     ([0, 0, 1, 1, 2, 3], [1, 3, 0, 2, 3, 0])), shape=(4, 4))
        idx, dist = _precomputed.knn_from_distances(_input.check_sparse(D, keep_zeros=True), 3)
        np.testing.assert_array_equal(idx, [[0, 1, 3], [1, 0, 2], [2, 3, -1], [3, 0, -1]])
        np.testing.assert_array_equal(dist, [[0, 1, 4], [0, 1, 2], [0, 0, 0], [0, 4, 4]])


# ---------------------------------------------------------------------------
# The estimator

ESTIMATOR_CASES = [(m, "real") for m in ("sqeuclidean", "correlation", "manhattan",
                                         "chebyshev", "canberra", "braycurtis")] + \
    [("hellinger", "nonneg"), ("hamming", "binary"), ("jaccard", "binary"),
     ("dice", "binary"), ("hamming", "coarse")]


@pytest.mark.parametrize("metric, kind", ESTIMATOR_CASES)
def test_every_metric_fits_and_repeats_bit_for_bit(metric, kind):
    X = data(kind, n=150)
    a = UMAP(metric=metric, n_epochs=30, random_state=2, n_jobs=2).fit(X)
    b = UMAP(metric=metric, n_epochs=30, random_state=2, n_jobs=2).fit(X)
    assert np.isfinite(a.embedding_).all()
    assert a.embedding_.tobytes() == b.embedding_.tobytes()
    # Reported distances are the metric's own (minkowski roots, hellinger's
    # scale, hamming's fraction), against an independent computation.
    scipy_name = {"manhattan": "cityblock"}.get(metric, metric)
    if metric == "hellinger":
        roots = np.sqrt(X / X.sum(axis=1, keepdims=True))
        full = cdist(roots, roots) / np.sqrt(2)
    elif metric in ("jaccard", "dice") or (metric == "hamming" and kind == "binary"):
        full = cdist(X.astype(bool), X.astype(bool), scipy_name)
    elif metric == "correlation":
        full = np.sqrt(2 * cdist(X, X, "correlation"))
    else:
        full = cdist(X.astype(np.float64), X.astype(np.float64), scipy_name)
    found = np.take_along_axis(full, a.knn_indices_.astype(np.int64), 1)
    np.testing.assert_allclose(a.knn_dists_, found, rtol=2e-5, atol=2e-6)


def test_row_transforms_work_row_by_row_and_leave_the_input_alone():
    # hellinger goes through blocks of rows (4,369 rows of 60 columns) and
    # correlation scales its centred copy in place: every row must still get
    # the whole-matrix value, and the caller's array stay as it was.  float64
    # input is converted to a copy, which the transforms then overwrite: the
    # same values, and the same embedding as from float32 input.
    X = np.random.default_rng(4).random((6000, 60)).astype(np.float32)
    X[5] = 0
    before = X.copy()
    sums = X.sum(axis=1, dtype=np.float64)
    sums[sums == 0] = 1
    centred = X - X.mean(axis=1, dtype=np.float64, keepdims=True).astype(np.float32)
    norms = np.sqrt(np.einsum("ij,ij->i", centred, centred, dtype=np.float64))
    norms[norms == 0] = 1
    expected = {"hellinger": np.sqrt(X / sums[:, None]).astype(np.float32),
                "correlation": centred / norms[:, None].astype(np.float32),
                "cosine": _input.normalize_rows(X)}
    X64 = X.astype(np.float64)
    for name, want in expected.items():
        for source in (X, X64):
            got = _metrics.prepare_data(source, _metrics.resolve_metric(name, None))
            assert got.flags.c_contiguous and got.tobytes() == want.tobytes(), name
    assert X.tobytes() == before.tobytes() and X64.tobytes() == before.astype(np.float64).tobytes()
    for unique in (False, True):
        fits = [UMAP(metric="correlation", n_epochs=10, random_state=1, unique=unique).fit(
            source[:500]) for source in (X, X64)]
        assert fits[0].embedding_.tobytes() == fits[1].embedding_.tobytes()
    assert X.tobytes() == before.tobytes() and X64.tobytes() == before.astype(np.float64).tobytes()


def test_input_copies_leave_numpys_hugepage_advice_as_it_was():
    # The copies are made with NumPy's process-wide huge-page advice switched
    # off; it must come back as it was, also after an error.
    switch = _input._set_hugepage_advice
    if switch is None:
        pytest.skip("this NumPy has no huge-page switch")
    original = switch(True)
    try:
        for state in (True, False):
            switch(state)
            _metrics.prepare_data(np.ones((5, 3), np.uint8), _metrics.resolve_metric("cosine", None))
            with pytest.raises(ValueError):
                _input.check_data(np.array([[1.0, np.nan]]))
            assert switch(state) == state
    finally:
        switch(original)


def test_minkowski_reports_the_root_and_sqeuclidean_the_square():
    X = data("real", n=100)
    model = UMAP(metric="minkowski", metric_kwds={"p": 3}, n_epochs=5, random_state=0).fit(X)
    found = np.take_along_axis(cdist(X, X, "minkowski", p=3), model.knn_indices_, 1)
    np.testing.assert_allclose(model.knn_dists_, found, rtol=2e-5)
    sq = UMAP(metric="sqeuclidean", n_epochs=5, random_state=0).fit(X)
    eu = UMAP(metric="euclidean", n_epochs=5, random_state=0).fit(X)
    np.testing.assert_array_equal(sq.knn_indices_, eu.knn_indices_)
    np.testing.assert_allclose(sq.knn_dists_, eu.knn_dists_ ** 2, rtol=1e-6)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "correlation", "manhattan",
                                    "jaccard", "hamming"])
def test_sparse_fit_never_densifies(monkeypatch, metric):
    X = sparse_data(n=200, d=500)
    for cls in (scipy.sparse.csr_matrix, scipy.sparse.csr_array):
        monkeypatch.setattr(cls, "toarray", lambda *a, **k: pytest.fail("densified"))
    a = UMAP(metric=metric, n_epochs=20, random_state=1, init="pca").fit(X)
    b = UMAP(metric=metric, n_epochs=20, random_state=1, init="pca").fit(X.tocsc())
    assert np.isfinite(a.embedding_).all()
    assert a.embedding_.tobytes() == b.embedding_.tobytes()


def test_precomputed_fits_match_the_search_and_pca_is_refused():
    X = data("real", n=60)
    D = cdist(X, X)
    searched = UMAP(n_epochs=20, random_state=0).fit(X)  # exact: 60 points, one leaf
    given = UMAP(metric="precomputed", n_epochs=20, random_state=0).fit(D)
    np.testing.assert_array_equal(given.knn_indices_, searched.knn_indices_)
    sparse = scipy.sparse.csr_matrix(np.where(D < np.median(D) / 2, D, 0))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # isolated points may warn in the spectral step
        model = UMAP(metric="precomputed", n_epochs=20, random_state=0).fit(sparse)
    assert np.isfinite(model.embedding_).all() and (model.knn_indices_ < 0).any()
    with pytest.raises(ValueError, match="init='pca' needs the data"):
        UMAP(metric="precomputed", init="pca").fit(D)
