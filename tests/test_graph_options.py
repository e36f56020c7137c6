"""The graph options of the estimator: local connectivity and mix ratio,
disconnection distance, and the embedding of distinct rows only."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import quelmo
from quelmo import _duplicates, _graph
from quelmo.estimator import UMAP


def bits(a: np.ndarray) -> bytes:
    return np.ascontiguousarray(a).tobytes()


def blobs(n=200, d=5, seed=0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(3, size=n)
    return (rng.normal(scale=8.0, size=(3, d))[labels] + rng.normal(size=(n, d))).astype(
        np.float32)


FAST = dict(random_state=3, n_epochs=40, n_jobs=2, n_neighbors=8)


def test_local_connectivity_and_mix_ratio_reach_the_graph():
    X = blobs()
    model = UMAP(local_connectivity=1.5, set_op_mix_ratio=0.3, **FAST).fit(X)
    want = _graph.fuzzy_graph(model.knn_indices_, model.knn_dists_, local_connectivity=1.5,
                              set_op_mix_ratio=0.3)
    assert bits(model.graph_.data) == bits(want.data)
    default = UMAP(**FAST).fit(X)
    # 0.3 of the union a + b - ab and 0.7 of the product ab: weaker than the
    # plain union everywhere, the wider local connectivity notwithstanding.
    assert model.graph_.nnz == default.graph_.nnz
    assert (model.graph_ - default.graph_).max() <= 0 < (default.graph_ - model.graph_).max()


class TestDisconnection:
    def test_far_neighbours_give_no_edge(self):
        X = blobs()
        with pytest.warns(UserWarning, match="no edge left"):
            model = UMAP(disconnection_distance=2.5, **FAST).fit(X)
        graph = model.graph_.tocoo()
        distance = np.linalg.norm(X[graph.row] - X[graph.col], axis=1)
        assert graph.nnz > 0 and distance.max() < 2.5
        assert model.graph_.nnz < UMAP(**FAST).fit(X).graph_.nnz

    def test_threshold_is_compared_in_double(self):
        knn_indices = np.array([[0, 1], [1, 0]], np.int32)
        knn_dists = np.array([[0, 1], [0, 1]], np.float32)
        # 1 + 1e-12 rounds to 1.0 in float32; the neighbour at 1.0 must stay.
        assert _graph.fuzzy_graph(knn_indices, knn_dists,
                                  disconnection_distance=1.0 + 1e-12).nnz == 2
        with pytest.warns(UserWarning, match="2 point"):
            assert _graph.fuzzy_graph(knn_indices, knn_dists,
                                      disconnection_distance=1.0).nnz == 0

    def test_isolated_point_keeps_its_initial_position(self):
        X = np.vstack([blobs(), np.full((1, 5), 500.0, np.float32)])
        init = np.random.default_rng(0).uniform(0, 10, size=(201, 2)).astype(np.float32)
        with pytest.warns(UserWarning, match="1 point"):
            model = UMAP(disconnection_distance=50.0, init=init, **FAST).fit(X)
        assert bits(model.embedding_[200]) == bits(init[200])
        assert np.isfinite(model.embedding_).all()


class TestUnique:
    def test_distinct_rows_in_order_of_first_occurrence(self):
        data = np.array([[2, 0], [1, 1], [2, -0.0], [0, 5], [1, 1]], np.float32)
        keep, inverse = _duplicates.distinct_rows(data)
        np.testing.assert_array_equal(keep, [0, 1, 3])
        np.testing.assert_array_equal(inverse, [0, 1, 0, 2, 1])
        np.testing.assert_array_equal(data[keep][inverse], data)

    def test_duplicates_share_the_position_of_the_distinct_fit(self):
        X = blobs()
        rows = np.random.default_rng(1).integers(200, size=150)
        with_repeats = np.vstack([X, X[rows]])
        model = UMAP(unique=True, **FAST).fit(with_repeats)
        distinct = UMAP(**FAST).fit(X)
        # The distinct rows come first here, so the fit is the plain one.
        assert bits(model.embedding_[:200]) == bits(distinct.embedding_)
        assert bits(model.embedding_[200:]) == bits(distinct.embedding_[rows])
        assert model.graph_.shape == (200, 200) and model.embedding_.shape == (350, 2)

    def test_labels_and_init_follow_the_first_occurrence(self):
        X = blobs(n=60)
        doubled = np.vstack([X, X])
        init = np.random.default_rng(0).uniform(0, 10, size=(120, 2))
        labels = np.r_[np.arange(60) % 3, np.full(60, -1)]
        model = UMAP(unique=True, init=init, **FAST).fit(doubled, labels)
        plain = UMAP(init=init[:60], **FAST).fit(X, labels[:60])
        assert bits(model.embedding_[:60]) == bits(plain.embedding_)

    def test_refusals(self):
        X = blobs(n=30)
        with pytest.raises(ValueError, match="precomputed_knn"):
            model = UMAP(n_neighbors=5, n_epochs=5).fit(X)
            UMAP(unique=True, precomputed_knn=(model.knn_indices_, model.knn_dists_)).fit(X)
        with pytest.raises(ValueError, match="at least 2 samples"):
            UMAP(unique=True).fit(np.ones((10, 3)))


@pytest.mark.parametrize("params, message", [
    ({"local_connectivity": -1.0}, "local_connectivity"),
    ({"set_op_mix_ratio": 1.5}, "set_op_mix_ratio"),
    ({"disconnection_distance": 0.0}, "disconnection_distance"),
    ({"disconnection_distance": float("nan")}, "disconnection_distance"),
    ({"unique": "yes"}, "unique"),
    ({"target_metric": "cosine"}, "target_metric"),
    ({"target_weight": -0.1}, "target_weight"),
    ({"target_n_neighbors": 1}, "target_n_neighbors"),
])
def test_bad_graph_parameters(params, message):
    with pytest.raises(ValueError, match=message), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        UMAP(**params).fit(blobs(n=20))


class TestTransformAndFiles:
    def test_options_reach_transform_and_model_files(self, tmp_path):
        X = blobs(n=260)
        model = UMAP(local_connectivity=1.5, set_op_mix_ratio=0.6, disconnection_distance=8.0,
                     **FAST).fit(X[:200])
        assert model._transform_state.local_connectivity == 1.5
        far = np.full((1, 5), 1000.0, np.float32)
        placed = model.transform(np.vstack([X[200:], far]))
        assert (placed[-1] == 0).all()  # no neighbour within reach: the origin
        unbounded = UMAP(local_connectivity=1.5, set_op_mix_ratio=0.6, **FAST).fit(X[:200])
        assert (unbounded.transform(far) != 0).all()
        model.save(tmp_path / "m.qmodel")
        loaded = quelmo.load(tmp_path / "m.qmodel")
        assert loaded.get_params() == model.get_params()
        assert bits(loaded.transform(X[200:])) == bits(placed[:-1])
        assert (loaded.graph_ != model.graph_).nnz == 0  # rebuilt with the options
        # Infinity (the default distance) survives the JSON header too.
        unbounded.save(tmp_path / "u.qmodel")
        assert quelmo.load(tmp_path / "u.qmodel").disconnection_distance == float("inf")

    def test_unique_model_transforms_and_saves(self, tmp_path):
        X = blobs()
        with_repeats = np.vstack([X, X[:40]])
        model = UMAP(unique=True, **FAST).fit(with_repeats)
        # Training rows, repeated ones too, get their fitted positions.
        assert bits(model.transform(with_repeats)) == bits(model.embedding_)
        new = X[:30] + np.float32(0.05)
        model.save(tmp_path / "m.qmodel")
        loaded = quelmo.load(tmp_path / "m.qmodel")
        assert bits(loaded.transform(new)) == bits(model.transform(new))
        assert bits(loaded.embedding_) == bits(model.embedding_)
        assert loaded.graph_.shape == (200, 200)
