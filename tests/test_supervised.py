"""Supervised and semi-supervised fits: the target's factors on the graph,
the row restoration and symmetrization, the exact 1-D neighbours of
real-valued targets, and the effect on embeddings."""

from __future__ import annotations

import math

import numpy as np
import pytest
import scipy.sparse

from quelmo import _supervised
from quelmo.estimator import UMAP

sklearn = pytest.importorskip("sklearn")
from sklearn.model_selection import cross_val_score  # noqa: E402
from sklearn.neighbors import KNeighborsClassifier  # noqa: E402


def bits(a: np.ndarray) -> bytes:
    return np.ascontiguousarray(a).tobytes()


def overlapping_blobs(n=600, seed=0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(4, size=n)
    means = rng.normal(scale=2.0, size=(4, 8))
    return (means[labels] + rng.normal(size=(n, 8))).astype(np.float32), labels


def knn_accuracy(embedding, labels):
    return cross_val_score(KNeighborsClassifier(5), embedding, labels, cv=5).mean()


class TestTargetChecks:
    def test_labels_become_codes(self):
        codes = _supervised.check_target(np.array(["b", "a", "b", "c"]), 4, "categorical")
        np.testing.assert_array_equal(codes, [1, 0, 1, 2])
        codes = _supervised.check_target([7.0, -1.0, 3.0, -1.0], 4, "categorical")
        np.testing.assert_array_equal(codes, [1, -1, 0, -1])
        np.testing.assert_array_equal(
            _supervised.check_target(np.array([[2], [5]]), 2, "l2"), [2.0, 5.0])

    @pytest.mark.parametrize("y, metric, message", [
        ([1, 2, 3], "categorical", "entries for 4"),
        (np.zeros((4, 2)), "categorical", "1-D"),
        ([1.0, np.nan, 2.0, 3.0], "categorical", "NaN"),
        ([1.0, np.inf, 2.0, 3.0], "l2", "NaN"),
        (["a", "b", "c", "d"], "l2", "numeric"),
    ])
    def test_refusals(self, y, metric, message):
        with pytest.raises(ValueError, match=message):
            _supervised.check_target(y, 4, metric)


class TestSteer:
    # A path 0 - 1 - 2 - 3 with memberships by hand; rows 1 and 2 reach 1.
    GRAPH = scipy.sparse.csr_matrix(np.array(
        [[0, 1.0, 0, 0], [1.0, 0, 0.5, 0], [0, 0.5, 0, 0.25], [0, 0, 0.25, 0]], np.float32))

    def test_unknown_labels_leave_the_graph_bit_for_bit(self):
        for codes in ([-1, -1, -1, -1], [0, 0, 0, 0], [0, -1, 1, -1]):
            steered = _supervised.steer(self.GRAPH, np.array(codes), metric="categorical",
                                        weight=0.5, target_n_neighbors=2)
            assert bits(steered.toarray()) == bits(self.GRAPH.toarray())

    def test_class_boundary_is_scaled_and_rows_restored(self):
        codes = np.array([0, 0, 1, 1])
        steered = _supervised.steer(self.GRAPH, codes, metric="categorical", weight=0.5,
                                    target_n_neighbors=2).toarray()
        far = np.float32(math.exp(-5.0))  # exp(-2.5) ** (1 / (1 - 0.5))
        # Row 2 lost its largest edge (to 1) and is scaled by 0.5 / 0.25 back
        # to its former maximum: 2-3 becomes 0.5 and 2-1 becomes far, which
        # beats 1-2 (0.5 * far, row 1 kept its maximum) as the larger direction.
        assert steered[2, 3] == steered[3, 2] == 0.5
        assert steered[1, 2] == steered[2, 1] == far
        assert steered[0, 1] == steered[1, 0] == 1.0
        cut = _supervised.steer(self.GRAPH, codes, metric="categorical", weight=1.0,
                                target_n_neighbors=2)
        assert cut[1, 2] == 0 and cut.nnz == 4

    def test_rows_losing_every_edge_warn(self):
        with pytest.warns(UserWarning, match="no edge left"):
            steered = _supervised.steer(self.GRAPH, np.array([0, 1, 0, 1]),
                                        metric="categorical", weight=1.0,
                                        target_n_neighbors=2)
        assert steered.nnz == 0

    def test_values_add_target_edges_and_weight_by_membership(self):
        values = np.array([0.0, 0.1, 3.0, 0.3])
        weighted = _supervised.value_weighted(self.GRAPH, values, 0.5, 3).toarray()
        # Hand reference from the target's own 3-neighbour bandwidths.
        _, dists = _supervised.exact_knn_1d(values.astype(np.float32), 3)
        sigmas, rhos = _supervised._graph.bandwidths(dists)

        def factor(h, t):
            d = np.float32(abs(np.float32(values[t]) - np.float32(values[h])))
            excess = np.float32(d - rhos[h])
            member = 1.0 if excess <= 0 else math.exp(-float(np.float32(excess / sigmas[h])))
            return np.float32(max(member, math.exp(-2.5)) ** 2)

        dense = self.GRAPH.toarray()
        for h, t in zip(*np.nonzero(dense)):
            assert weighted[h, t] == dense[h, t] * factor(h, t)
        # Target neighbours 0 -> 3, 1 -> 3, 3 -> 0, 3 -> 1 are no data edges:
        # each enters with its head's weakest data membership (1, 0.5, 0.25).
        for (h, t), weakest in zip([(0, 3), (1, 3), (3, 0), (3, 1)], [1.0, 0.5, 0.25, 0.25]):
            assert weighted[h, t] == np.float32(weakest) * factor(h, t)
        assert np.count_nonzero(weighted) == np.count_nonzero(dense) + 4


def test_exact_knn_1d_matches_brute_force():
    rng = np.random.default_rng(2)
    for trial in range(20):
        n = int(rng.integers(2, 60))
        k = int(rng.integers(2, n + 1))
        points = rng.integers(0, 8, size=n).astype(np.float32)  # many ties
        if trial % 2:
            points = rng.normal(size=n).astype(np.float32)
        idx, dist = _supervised.exact_knn_1d(points, k)
        gaps = np.abs(points[None, :] - points[:, None])
        np.fill_diagonal(gaps, np.inf)
        # Plain reference: the k - 1 smallest gaps of every row, sorted.
        np.testing.assert_array_equal(dist[:, 1:], np.sort(gaps, axis=1)[:, :k - 1])
        np.testing.assert_array_equal(idx[:, 0], np.arange(n))
        np.testing.assert_array_equal(np.take_along_axis(gaps, idx[:, 1:], 1), dist[:, 1:])
        assert (dist[:, 0] == 0).all()


class TestFits:
    def test_unlabelled_fit_equals_the_unsupervised_fit(self):
        X, _ = overlapping_blobs(n=300)
        params = dict(random_state=4, n_epochs=60, n_jobs=2)
        plain = UMAP(**params).fit(X)
        unlabelled = UMAP(**params).fit(X, -np.ones(300, int))
        assert bits(unlabelled.embedding_) == bits(plain.embedding_)

    def test_labels_separate_overlapping_classes(self):
        X, y = overlapping_blobs()
        params = dict(random_state=0, n_epochs=150, n_jobs=2)
        plain = knn_accuracy(UMAP(**params).fit_transform(X), y)
        supervised = UMAP(**params).fit(X, y)
        assert knn_accuracy(supervised.embedding_, y) > max(0.97, plain + 0.03)
        again = UMAP(**params).fit(X, y)
        assert bits(again.embedding_) == bits(supervised.embedding_)
        assert abs(supervised.graph_ - supervised.graph_.T).max() == 0

    def test_real_valued_target_orders_the_embedding(self):
        # A noisy ring with the angle as target: supervision should keep
        # neighbours in the embedding close in angle.
        rng = np.random.default_rng(1)
        angle = rng.uniform(0, 2 * np.pi, 400)
        X = np.column_stack([np.cos(angle), np.sin(angle),
                             rng.normal(scale=1.0, size=(400, 6))]).astype(np.float32)
        params = dict(random_state=0, n_epochs=150, n_jobs=2)

        def neighbour_gap(embedding):
            gaps = np.abs(angle[:, None] - angle[None, :])
            gaps = np.minimum(gaps, 2 * np.pi - gaps)
            near = np.argsort(((embedding[:, None] - embedding[None]) ** 2).sum(-1), 1)[:, 1:6]
            return np.take_along_axis(gaps, near, 1).mean()

        plain = neighbour_gap(UMAP(**params).fit_transform(X))
        steered = neighbour_gap(UMAP(target_metric="l2", **params).fit_transform(X, angle))
        assert steered < 0.2 * plain  # measured: 0.03 against 0.99 radians

    def test_supervised_model_transforms_and_saves(self, tmp_path):
        import quelmo

        X, y = overlapping_blobs(n=700)
        model = UMAP(random_state=0, n_epochs=150, n_jobs=2).fit(X[:600], y[:600])
        placed = model.transform(X[600:])
        # New points land among the fitted points of their class.
        nearest = KNeighborsClassifier(5).fit(model.embedding_, y[:600])
        assert nearest.score(placed, y[600:]) > 0.95
        assert bits(model.transform(X[:50])) == bits(model.embedding_[:50])
        # The steered graph cannot be rebuilt from the kNN arrays: it is saved.
        model.save(tmp_path / "m.qmodel")
        loaded = quelmo.load(tmp_path / "m.qmodel")
        assert bits(loaded.transform(X[600:])) == bits(placed)
        assert bits(loaded.graph_.data) == bits(model.graph_.data)
        assert (loaded.graph_ != model.graph_).nnz == 0
        loaded.save(tmp_path / "again.qmodel")
        assert (tmp_path / "again.qmodel").read_bytes() == (tmp_path / "m.qmodel").read_bytes()

    @pytest.mark.slow
    def test_mnist_supervised_accuracy(self, mnist10k):
        X, y = mnist10k
        embedding = UMAP(random_state=1, n_jobs=2).fit_transform(X, y)
        assert knn_accuracy(embedding, y) > 0.99
