"""The graph search of new points under the general metrics: its recall
against the exact scan, the same bits however the queries are cut, ordered
or threaded, and refusal of bad arguments (failed allocations: with the
other metric methods in test_metrics.py; whole transforms: parametrised in
test_transform.py)."""

from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse

from quelmo import UMAP, _metric_query, _metrics, _native_ext, _transform


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return float((found[:, :, None] == truth[:, None, :]).any(axis=2).mean())


def fitted_parts(X, n_fit: int, metric: str):
    """A fit on the first n_fit rows: the training rows as the search takes
    them, the search graph and seeds, the metric, k and the other rows
    prepared."""
    model = UMAP(n_neighbors=15, n_epochs=10, metric=metric, random_state=0, n_jobs=2)
    state = model.fit(X[:n_fit])._transform_state
    data = state.sparse_rows if state.sparse else state.data
    graph = _transform.search_graph(state.knn_indices, state.knn_dists, 2)
    m = state.metric_spec
    points = _metrics.search_rows(_transform.check_points(X[n_fit:], state), m)
    return data, (graph, _metric_query.search_seeds(graph)), m, \
        state.knn_indices.shape[1] - 1, points


def topic_documents(n: int = 3000, d: int = 2000, seed: int = 0) -> scipy.sparse.csr_matrix:
    """Word counts of n documents, each drawn from one of 30 topics' own
    vocabularies with a share of common words: a small TF-IDF-like matrix."""
    rng = np.random.default_rng(seed)
    topic = rng.integers(0, 30, n)
    words = np.where(rng.uniform(size=(n, 40)) < 0.7,
                     topic[:, None] * 60 + rng.integers(0, 60, (n, 40)),
                     1800 + rng.integers(0, d - 1800, (n, 40)))
    rows = np.repeat(np.arange(n), 40)
    S = scipy.sparse.csr_matrix((np.ones(rows.size, np.float32), (rows, words.ravel())),
                                shape=(n, d))
    S.sum_duplicates()
    return S


def test_recall_on_mnist_under_manhattan(mnist10k):
    X, _ = mnist10k
    data, graph, m, k, points = fitted_parts(X, 8000, "manhattan")
    exact = _metric_query.exact_query(data, points, m, k, 2)
    found = _metric_query.graph_query(data, points, *graph, m, k, 2)
    assert recall(found[0], exact[0]) >= 0.95
    # Distances are the scan's own values for the same pairs.
    same = (found[0] == exact[0]).all(axis=1)
    assert same.mean() > 0.5
    assert found[1][same].tobytes() == exact[1][same].tobytes()


def test_sparse_cosine_recall_and_the_same_bits_however_cut():
    data, graph, m, k, points = fitted_parts(topic_documents(), 2500, "cosine")
    exact = _metric_query.exact_query(data, points, m, k, 2)
    idx, dist = _metric_query.graph_query(data, points, *graph, m, k, 2)
    assert recall(idx, exact[0]) >= 0.95
    assert (np.diff(dist, axis=1) >= 0).all()
    cuts = [0, 1, 2, 90, 91, 300, 499, 500]  # 7 uneven chunks, single rows among them
    parts = [_metric_query.graph_query(data, points[a:b], *graph, m, k, 2)
             for a, b in zip(cuts, cuts[1:])]
    assert np.vstack([p[0] for p in parts]).tobytes() == idx.tobytes()
    assert np.vstack([p[1] for p in parts]).tobytes() == dist.tobytes()
    order = np.random.default_rng(1).permutation(points.shape[0])
    shuffled = _metric_query.graph_query(data, points[order], *graph, m, k, 2)
    assert shuffled[0].tobytes() == idx[order].tobytes()
    for n_threads in (1, 3):
        again = _metric_query.graph_query(data, points, *graph, m, k, n_threads)
        assert again[0].tobytes() == idx.tobytes() and again[1].tobytes() == dist.tobytes()


def test_seeds_reach_every_part_of_the_graph():
    # 300 far-apart clusters of 40 points: the fit's graph never leaves a
    # cluster, and 256 evenly spaced seeds of shuffled rows miss some of
    # them; one seed per part of the graph keeps every cluster in reach.
    rng = np.random.default_rng(0)
    label = rng.permutation(np.repeat(np.arange(300), 40))
    X = (rng.uniform(-1000, 1000, (300, 8))[label] + rng.normal(size=(12000, 8)))
    data, (graph, seeds), m, k, points = fitted_parts(X.astype(np.float32), 10000, "manhattan")
    even = np.arange(256) * 10000 // 256
    assert np.isin(even, seeds).all() and 256 < seeds.size < 256 + 300
    exact = _metric_query.exact_query(data, points, m, k, 2)
    assert recall(_metric_query.graph_query(data, points, graph, seeds, m, k, 2)[0],
                  exact[0]) == 1.0
    assert recall(_metric_query.graph_query(data, points, graph, even, m, k, 2)[0],
                  exact[0]) < 0.9


def test_saved_and_pickled_models_search_alike(monkeypatch, tmp_path):
    import pickle

    import quelmo

    monkeypatch.setattr(_metric_query, "GRAPH_MIN_ROWS", 0)
    S = topic_documents(700)
    model = UMAP(n_neighbors=8, n_epochs=20, metric="braycurtis", random_state=0).fit(S[:600])
    batch = model.transform(S[600:])
    model.save(tmp_path / "m.qmodel")
    for again in (quelmo.load(tmp_path / "m.qmodel"), pickle.loads(pickle.dumps(model))):
        state = again._transform_state
        assert state.metric_graph
        assert state.query_seeds.tobytes() == model._transform_state.query_seeds.tobytes()
        assert again.transform(S[600:]).tobytes() == batch.tobytes()


def test_the_model_size_chooses_the_search():
    X = np.random.default_rng(0).normal(size=(300, 4)).astype(np.float32)
    model = UMAP(n_neighbors=5, n_epochs=5, metric="manhattan", random_state=0).fit(X)
    state = model._transform_state
    assert not state.metric_graph and state.graph.size == 0
    assert _metric_query.uses_metric_graph(_metric_query.GRAPH_MIN_ROWS)
    assert not _metric_query.uses_metric_graph(_metric_query.GRAPH_MIN_ROWS - 1)


def test_damaged_graph_ids_are_passed_over():
    # Ids outside [0, n) in the graph and the seeds are never measured, a
    # repeated seed once; the seeds alone (every point here) still give the
    # exact neighbours.
    args = dense_args(graph=np.random.default_rng(1).choice(
        np.array([-9, 50, 2**31 - 1, -2**31], np.int32), size=(50, 6)),
        seeds=np.r_[np.arange(50), [-1, 50, 3]].astype(np.int32), n_seeds=53)
    _native_ext.metric_query_f32(*args)
    x, q = args[0], args[1]
    dist = np.abs(q[:, None, :] - x[None, :, :]).sum(axis=2)
    order = np.lexsort((np.broadcast_to(np.arange(50), dist.shape), dist), axis=1)[:, :5]
    assert (args[4] == order).all()


# x, q, graph, seeds, out_idx, out_dist, n, m, d, width, k, pool, n_seeds, metric, p,
# n_threads
def dense_args(**change):
    rng = np.random.default_rng(0)
    args = dict(x=rng.normal(size=(50, 3)).astype(np.float32),
                q=rng.normal(size=(4, 3)).astype(np.float32),
                graph=np.zeros((50, 6), np.int32), seeds=np.arange(0, 50, 2, dtype=np.int32),
                out_idx=np.empty((4, 5), np.int32),
                out_dist=np.empty((4, 5), np.float32), n=50, m=4, d=3, width=6, k=5,
                pool=96, n_seeds=25, metric="manhattan", p=1.0, n_threads=2)
    args.update(change)
    return list(args.values())


@pytest.mark.parametrize("change, message", [
    ({"pool": 4}, "pool must not be smaller than k"),
    ({"n_seeds": 26}, "seeds"),
    ({"n_seeds": 0}, "n_seeds"),
    ({"k": 0}, "k"),
    ({"graph": np.zeros((49, 6), np.int32)}, "graph"),
    ({"out_dist": np.empty((4, 4), np.float32)}, "out_dist"),
    ({"metric": "cosine"}, "no dense kernel for metric 'cosine'"),
    ({"metric": "minkowski", "p": -1.0}, "p must be positive"),
    ({"metric": "jaccard"}, "binary"),
    ({"x": np.zeros((50, 3), np.float64)}, "x"),
])
def test_bad_arguments_are_refused(change, message):
    with pytest.raises(ValueError, match=message):
        _native_ext.metric_query_f32(*dense_args(**change))


def test_overlapping_outputs_and_bad_csr_are_refused():
    args = dense_args()
    out = np.empty(40, np.int32)
    args[4], args[5] = out[:20], out[10:30].view(np.float32)
    with pytest.raises(ValueError, match="must not overlap"):
        _native_ext.metric_query_f32(*args)
    S = scipy.sparse.random(30, 8, density=0.3, format="csr", dtype=np.float32, random_state=0)
    ip, ix, vals = S.indptr.astype(np.int64), S.indices.astype(np.int32), S.data
    bad = vals.copy()
    bad[0] = np.nan
    with pytest.raises(ValueError, match="canonical CSR"):
        _native_ext.metric_query_csr_f32(ip, ix, vals, ip, ix, bad, np.zeros((30, 4), np.int32),
                                         np.arange(10, dtype=np.int32),
                                         np.empty((30, 3), np.int32),
                                         np.empty((30, 3), np.float32), 30, 30, 8, 4, 3, 96,
                                         10, "manhattan", 1.0, 1)
    with pytest.raises(TypeError):
        _native_ext.metric_query_f32(*dense_args()[:-1])

