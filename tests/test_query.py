"""Neighbour query of new points: its distance kernel against the plain
reference of the fit's, the forest and the search graph it walks, its
results against brute force, their independence of the batch, and its
defence against a corrupted index."""

from __future__ import annotations

import ctypes

import numpy as np
import pytest

from conftest import ptr
from quelmo import _native_ext, _transform
from test_knn import LENGTHS, TESTS_DIR, _compile, _vectors, ref, same_bits  # noqa: F401

EXT_SRC = TESTS_DIR.parent / "_native_ext_src"
P = ctypes.c_void_p


class _Distance(ctypes.Structure):
    _fields_ = [("one", P), ("many", P), ("many_bytes", P)]


def _distance_build(tmp_path_factory, name: str, flags: list[str]):
    lib = _compile(tmp_path_factory, name, [EXT_SRC / "query_distance.cpp"],
                   ["-I", str(EXT_SRC), *flags])
    table = _Distance()
    assert lib.ext_distance_select(0, ctypes.byref(table)) == 0
    assert lib.ext_distance_select(99, ctypes.byref(table)) == -1
    one = ctypes.CFUNCTYPE(ctypes.c_float, P, P, ctypes.c_int)(table.one)
    many = ctypes.CFUNCTYPE(None, P, P, ctypes.c_int, ctypes.c_int, P)(table.many)
    many_bytes = ctypes.CFUNCTYPE(None, P, P, P, P, ctypes.c_int, ctypes.c_int,
                                  P)(table.many_bytes)
    lib.ext_bytes_stride.restype = ctypes.c_int64
    return one, many, many_bytes, lib


@pytest.fixture(scope="module")
def distances(tmp_path_factory):
    """The query's distance kernels as built for this processor and without
    any SIMD path."""
    return [_distance_build(tmp_path_factory, "qdist", []),
            _distance_build(tmp_path_factory, "qdistportable", ["-DQUELMO_EXT_NO_SIMD"])]


@pytest.mark.parametrize("d", LENGTHS)
def test_distance_equals_the_fits_reference_order(distances, ref, d):
    rows = np.stack([_vectors(d, 10 * d + j)[1] for j in range(7)])
    q = _vectors(d, d)[0]
    want = [ref.ref_sqd(ptr(q), ptr(r), d) for r in rows]
    for one, many, _, _ in distances:
        for r, w in zip(rows, want):
            assert same_bits(np.float32(one(ptr(q), ptr(r), d)), np.float32(w))
        for count in range(1, 8):
            pointers = (P * count)(*[r.ctypes.data for r in rows[:count]])
            out = np.zeros(count, np.float32)
            many(ptr(q), pointers, count, d, ptr(out))
            assert same_bits(out, np.array(want[:count], np.float32)), count


@pytest.mark.parametrize("d", [1, 3, 4, 7, 8, 9, 12, 16, 17, 28, 100, 784, 2055, 2056])
def test_byte_form_equals_the_float_kernel(distances, d):
    # Rows of 0 and 255 make every lane sum as large as it gets: with 257
    # 8-blocks and a 4-block, each A0 lane sums 258 squares of 255, just
    # below 2^24, where a float still holds every partial sum exactly.
    rng = np.random.default_rng(d)
    rows = rng.integers(0, 256, size=(9, d)).astype(np.float32)
    rows[0], rows[1], rows[2, ::2], rows[2, 1::2] = 0, 255, 255, 0
    for one, many, many_bytes, lib in distances:
        stride = lib.ext_bytes_stride(d)
        assert stride == 16 * ((d // 8 + 1) // 2)
        packed = np.zeros((9, max(stride, 1)), np.uint8)
        for r in range(9):
            assert lib.ext_bytes_eligible(ptr(rows[r]), ctypes.c_int64(d)) == 1
            lib.ext_bytes_pack(ptr(rows[r]), d, ptr(packed[r]))
        for q in (0, 1, 2, 5):
            count = 8
            others = [r for r in range(9) if r != q][:count]
            fp = (P * count)(*[rows[r].ctypes.data for r in others])
            bp = (P * count)(*[packed[r].ctypes.data for r in others])
            want, got = np.zeros(count, np.float32), np.zeros(count, np.float32)
            many(ptr(rows[q]), fp, count, d, ptr(want))
            many_bytes(ptr(rows[q]), ptr(packed[q]), fp, bp, count, d, ptr(got))
            assert same_bits(got, want), (d, q)


def test_byte_form_only_for_bytes():
    for value, ok in ((0.0, True), (255.0, True), (17.0, True), (-0.0, False), (256.0, False),
                      (0.5, False), (-1.0, False), (np.nan, False), (np.inf, False)):
        x = np.arange(90, dtype=np.float32).reshape(10, 9)
        x[7, 4] = value
        out = np.empty((10, 16), np.uint8)
        assert _native_ext.bytes_pack_rows(x, out, 10, 9, 2) is ok, value
    # Nine 8-blocks more than the exact limit: no byte form, whatever the values.
    assert _transform.byte_form(np.zeros((4, 8 * 258), np.float32), 1).size == 0
    assert _transform.byte_form(np.zeros((4, 8 * 257), np.float32), 1).shape == (4, 2064)


# ---------------------------------------------------------------------------
# Index and query through the module

def _clusters(n: int, d: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=4.0, size=(8, d))
    return (centres[rng.integers(0, 8, n)] + rng.normal(size=(n, d))).astype(np.float32)


def _exact(X: np.ndarray, Q: np.ndarray, k: int, ref) -> tuple[np.ndarray, np.ndarray]:
    """Brute force with the reference distance, ties by id."""
    d = X.shape[1]
    idx, dist = [], []
    for q in Q:
        dv = np.array([ref.ref_sqd(ptr(q), ptr(x), d) for x in X], np.float32)
        order = np.lexsort((np.arange(len(X)), dv))[:k]
        idx.append(order)
        dist.append(dv[order])
    return np.array(idx, np.int32), np.array(dist, np.float32)


def _index(X: np.ndarray, n_neighbors: int = 10, seed: int = 3, threads: int = 2):
    idx, dist = _exact_knn(X, n_neighbors)
    return _transform.build_state(X, idx, dist, seed=seed, n_epochs=200, learning_rate=1.0,
                                  negative_sample_rate=5.0, gamma=1.0, metric="euclidean",
                                  n_threads=threads)


def _brute(X: np.ndarray, Q: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """Exact neighbours in double precision, for recall and test indexes."""
    X64, Q64 = X.astype(np.float64), Q.astype(np.float64)
    d2 = (Q64 ** 2).sum(1)[:, None] - 2.0 * Q64 @ X64.T + (X64 ** 2).sum(1)[None]
    np.maximum(d2, 0.0, out=d2)
    part = np.sort(np.argpartition(d2, k, axis=1)[:, :k], axis=1)
    order = np.take_along_axis(part, np.argsort(np.take_along_axis(d2, part, 1), axis=1,
                                                kind="stable"), 1)
    return order.astype(np.int32), np.sqrt(np.take_along_axis(d2, order, 1)).astype(np.float32)


def _exact_knn(X: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    idx, dist = _brute(X, X, k)
    idx[:, 0] = np.arange(len(X))  # the point itself first, as in a fit
    dist[:, 0] = 0.0
    return idx, dist


def test_forest_shape_and_thread_independence():
    X = _clusters(1000, 6, 0)
    states = [_index(X, threads=t) for t in (1, 2, 5)]
    s = states[0]
    per_tree = _native_ext.forest_nodes_per_tree(1000, _transform.LEAF_SIZE)
    assert s.forest_nodes.shape == (_transform.N_TREES * per_tree, 4)
    for t in range(_transform.N_TREES):
        assert sorted(s.forest_perm[t]) == list(range(1000))
        nodes = s.forest_nodes[t * per_tree:(t + 1) * per_tree]
        leaves = nodes[nodes[:, 0] < 0]
        leaves = leaves[np.argsort(leaves[:, 2])]
        # Leaves tile the permutation; splits halve, so 1000 points end in
        # leaves of 1000 / 2^6 = 15 or 16 points.
        assert leaves[0, 2] == 0 and (leaves[1:, 2] == leaves[:-1, 2] + leaves[:-1, 3]).all()
        assert set(leaves[:, 3]) <= {15, 16} and leaves[:, 3].sum() == 1000
        inner = nodes[nodes[:, 0] >= 0]
        assert (inner[:, 0] > 0).all() and (inner[:, 1] > inner[:, 0]).all()
    for other in states[1:]:
        for name in ("forest_nodes", "forest_threshold", "forest_perm", "graph"):
            assert same_bits(getattr(other, name), getattr(s, name)), name


def test_search_graph_is_neighbours_and_reverse_neighbours_by_distance():
    rng = np.random.default_rng(5)
    n, k = 40, 6
    X = rng.normal(size=(n, 3)).astype(np.float32)
    idx, dist = _exact_knn(X, k)
    graph = _transform.search_graph(idx, dist, 2)
    assert graph.shape == (n, 2 * (k - 1))
    for i in range(n):
        pairs = {(dist[i, j], idx[i, j]) for j in range(k) if idx[i, j] != i}
        pairs |= {(dist[r, j], r) for r in range(n) for j in range(k) if idx[r, j] == i and r != i}
        want = [c for _, c in sorted(pairs)][:graph.shape[1]]
        assert list(graph[i, :len(want)]) == want
        assert (graph[i, len(want):] == -1).all()


def test_exhaustive_search_is_exact(ref):
    # A beam as large as the data set stops only when every point reachable
    # from the leaves was seen: with a connected graph, that is brute force.
    X = _clusters(340, 5, 1)
    X, Q = X[:300], X[300:]
    state = _index(X, n_neighbors=15)
    idx, dist = np.empty((40, 12), np.int32), np.empty((40, 12), np.float32)
    _native_ext.knn_query_f32(state.data, state.data_bytes, state.graph, state.forest_nodes,
                              state.forest_threshold, state.forest_perm, Q, idx, dist,
                              np.empty(0, np.int32), 300, 5,
                              state.graph.shape[1], state.n_trees, 40, 12, 300, np.inf, 2)
    want_idx, want_dist = _exact(X, Q, 12, ref)
    assert same_bits(idx, want_idx) and same_bits(dist, want_dist)


def test_recall_and_independence_of_the_batch():
    X = _clusters(4300, 12, 3)
    X, Q = X[:4000], X[4000:]
    Q[150:160] = Q[0]  # duplicates must come out identical
    state = _index(X, n_neighbors=15)
    idx, dist = _transform.query(state, Q, 14, 2)
    exact = _brute(X, Q, 14)[0]
    recall = np.mean([len(set(a) & set(b)) / 14 for a, b in zip(idx, exact)])
    assert recall >= 0.98
    assert (np.diff(dist, axis=1) >= 0).all()
    assert same_bits(idx[150:160], np.repeat(idx[:1], 10, 0))
    for threads in (1, 7):
        assert same_bits(_transform.query(state, Q, 14, threads)[0], idx)
    reverse = _transform.query(state, Q[::-1].copy(), 14, 2)
    assert same_bits(reverse[0][::-1], idx) and same_bits(reverse[1][::-1], dist)
    for i in (0, 77, 299):
        single = _transform.query(state, Q[i:i + 1].copy(), 14, 1)
        assert same_bits(single[0][0], idx[i]) and same_bits(single[1][0], dist[i])


def test_byte_form_gives_the_bits_of_the_float_form():
    rng = np.random.default_rng(10)
    X = np.clip(_clusters(1500, 36, 11) * 20 + 128, 0, 255).round().astype(np.float32)
    Q = (X[:200] + rng.integers(-3, 4, size=(200, 36))).astype(np.float32)
    Q[100:] = np.clip(Q[100:], 0, 255)  # bytes; the first half has values outside 0 ... 255
    state = _index(X)
    assert state.data_bytes.shape == (1500, 32)  # four 8-blocks in two pairs
    with_bytes = _transform.query(state, Q, 10, 2)
    state.data_bytes = np.empty(0, np.uint8)
    floats = _transform.query(state, Q, 10, 2)
    assert same_bits(with_bytes[0], floats[0]) and same_bits(with_bytes[1], floats[1])


def test_excluded_points_and_the_calibrated_cut():
    X = _clusters(2000, 8, 12)
    state = _index(X, n_neighbors=10)
    rows = np.arange(50)
    assert (_transform.query(state, X[:50], 9, 2)[0][:, 0] == rows).all()
    left_out = _transform.query(state, X[:50], 9, 2, exclude=rows)[0]
    assert not (left_out == rows[:, None]).any() and (left_out >= 0).all()
    assert state.epsilon in _transform.EPSILONS + (_transform.NO_CUT,)
    assert _transform.calibrate_epsilon(state, 1) == state.epsilon  # threads play no part


def test_ties_are_broken_by_id():
    rng = np.random.default_rng(6)
    X = rng.normal(size=(200, 4)).astype(np.float32)
    X[[7, 50, 120, 180]] = X[3]
    state = _index(X)
    idx, dist = _transform.query(state, X[3:4].copy(), 5, 1)
    assert list(idx[0]) == [3, 7, 50, 120, 180] and (dist[0] == 0).all()


def test_corrupted_index_gives_ids_in_range():
    # Every id the query reads from the forest and the graph is checked
    # before use: garbage there costs recall, never a wild read.
    X = _clusters(500, 4, 7)
    state = _index(X)
    rng = np.random.default_rng(8)
    for trial in range(20):
        for name in ("forest_nodes", "forest_perm", "graph"):
            array = getattr(state, name)
            flat = array.reshape(-1)
            hit = rng.integers(0, flat.size, size=max(1, flat.size // 10))
            flat[hit] = rng.choice([-(2**31), -2, -1, 0, 499, 500, 2**31 - 1], size=hit.size)
        state.forest_threshold[rng.integers(0, state.forest_threshold.size, 5)] = np.nan
        idx, dist = _transform.query(state, X[:50], 8, 2)
        assert ((idx >= -1) & (idx < 500)).all()
        assert ((idx == -1) == np.isinf(dist)).all()


@pytest.mark.parametrize("position, value, error", [
    (10, 1, ValueError), (11, 0, ValueError), (13, -1, ValueError), (15, 0, ValueError),
    (16, 3, ValueError), (14, 2**31, ValueError), (12, 1.5, TypeError),
    (6, np.zeros((3, 3), np.float32), ValueError), (7, np.zeros(19, np.int32), ValueError),
    (1, np.zeros(500, np.float32), ValueError), (17, -0.5, ValueError),
    (17, float("nan"), ValueError), (9, np.zeros(3, np.int32), ValueError),
])
def test_query_method_checks(position, value, error):
    X = _clusters(100, 3, 9)
    state = _index(X)
    Q = X[:4].copy()
    args = [state.data, state.data_bytes, state.graph, state.forest_nodes, state.forest_threshold,
            state.forest_perm, Q, np.empty((4, 5), np.int32), np.empty((4, 5), np.float32),
            np.empty(0, np.int32), 100, 3, state.graph.shape[1], state.n_trees, 4, 5, 10, 0.1, 1]
    args[position] = value
    with pytest.raises(error):
        _native_ext.knn_query_f32(*args)


def test_query_method_refuses_overlapping_outputs():
    X = _clusters(100, 3, 9)
    state = _index(X)
    out = np.empty(40, np.float32)
    with pytest.raises(ValueError, match="overlap"):
        _native_ext.knn_query_f32(state.data, state.data_bytes, state.graph, state.forest_nodes,
                                  state.forest_threshold, state.forest_perm, X[:4].copy(),
                                  out.view(np.int32)[:20], out[10:30], np.empty(0, np.int32),
                                  100, 3, state.graph.shape[1], state.n_trees, 4, 5, 10, 0.1, 1)


def test_methods_match_their_stub():
    import ast
    import inspect

    stub = ast.parse((TESTS_DIR.parent / "src" / "quelmo" / "_native_ext.pyi").read_text())
    declared = {f.name: [a.arg for a in f.args.posonlyargs] for f in stub.body
                if isinstance(f, ast.FunctionDef)}
    for name, params in declared.items():
        if params:  # stubs written with positional-only markers
            assert list(inspect.signature(getattr(_native_ext, name)).parameters) == params


@pytest.mark.slow
def test_mnist_recall(mnist10k):
    # Fit on 8,000 digits, query the other 2,000: at least 98 % of their 15
    # nearest training digits found.
    from quelmo import UMAP

    X = mnist10k[0]
    model = UMAP(random_state=0, n_epochs=10, init="random").fit(X[:8000])
    idx, _ = _transform.query(model._transform_state, X[8000:], 15, -1)
    exact = _brute(X[:8000], X[8000:], 15)[0]
    assert np.mean([len(set(a) & set(b)) / 15 for a, b in zip(idx, exact)]) >= 0.98


def _method_calls():
    """A valid call of each new method, as (method, args) with fresh arrays."""
    X = _clusters(60, 9, 13)
    state = _index(X, n_neighbors=6)
    per_tree = _native_ext.forest_nodes_per_tree(60, 30)
    q = X[:4].copy()
    idx, sq = _transform.query(state, q, 5, 1)
    E = np.zeros((60, 2), np.float32)
    return [
        (_native_ext.forest_build_f32, [X, np.empty(per_tree * 8, np.int32),
                                        np.empty(per_tree * 2, np.float32),
                                        np.empty(120, np.int32), 60, 9, 2, 30, 1, 1]),
        (_native_ext.search_graph, [state.knn_indices, state.knn_dists,
                                    np.empty((60, 10), np.int32), 60, 6, 10, 1]),
        (_native_ext.row_hashes, [X, np.empty(60, np.uint64), 60, 9, 1]),
        (_native_ext.bytes_pack_rows, [X, np.empty((60, 16), np.uint8), 60, 9, 1]),
        (_native_ext.transform_layout_f32, [q, idx, sq, X, E, state.hash_sorted,
                                            state.hash_order, np.empty((4, 2), np.float32),
                                            4, 9, 5, 60, 2, 10, 1.5, 0.9, 1.0, 0.25, 5.0, 1.0,
                                            3, 1]),
    ]


@pytest.mark.parametrize("which", range(5))
def test_new_methods_refuse_bad_arguments(which):
    # Every buffer swapped for one too short or of another item size, every
    # count for one out of range or of another type: an exception, never a
    # crash, and the valid call still works afterwards.
    method, args = _method_calls()[which]
    method(*args)
    for position, value in enumerate(args):
        if isinstance(value, np.ndarray):
            bads = [value.reshape(-1)[:1].copy(), value.astype(np.float64), b"abc", None]
        else:
            bads = [-5, 2**40, "3", 1.5 if isinstance(value, int) else float("nan")]
        for bad in bads:
            trial = list(args)
            trial[position] = bad
            try:
                method(*trial)
            except (ValueError, TypeError, BufferError, OverflowError, MemoryError):
                pass
    with pytest.raises(TypeError):
        method(*args[:-1])
    method(*args)
