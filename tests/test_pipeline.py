"""The host's pipeline steps, each on its own: input checks, dense kNN
arrays, graph and edge list, curve fit, initialisations."""

from __future__ import annotations

import sys
import warnings

import numpy as np
import pytest
import scipy.sparse
import scipy.sparse.csgraph

from quelmo import _graph, _init, _input, _layout, _neighbors
from quelmo._native_quelmo import umap_graph_f32


class TestCheckData:
    def test_float32_c_contiguous_passes_without_copy(self):
        X = np.ones((5, 3), np.float32)
        assert _input.check_data(X) is X

    def test_converts_and_copies_when_needed(self):
        X = np.asfortranarray(np.arange(12, dtype=np.float64).reshape(4, 3))
        out = _input.check_data(X)
        assert out.dtype == np.float32 and out.flags.c_contiguous
        np.testing.assert_array_equal(out, X)
        assert _input.check_data([[1, 2], [3, 4]]).dtype == np.float32
        assert _input.check_data(np.array([[True], [False]])).dtype == np.float32

    @pytest.mark.parametrize(
        "X, message",
        [
            (np.array([[1.0, np.nan]]), "NaN or infinity"),
            (np.array([[1.0, np.inf], [0, 0]]), "NaN or infinity"),
            (np.array([[1e39, 0.0], [0, 0]]), "too large for float32"),
            (np.zeros(4), "2-D"),
            (np.zeros((2, 2, 2)), "2-D"),
            (np.zeros((0, 3)), "empty"),
            (np.array([["a", "b"]]), "numeric"),
            (np.array([[1 + 2j]]), "Complex data not supported"),
            ([[1, 2], [3]], "could not be converted"),
            (scipy.sparse.eye(3).tocsr(), "sparse; this step needs a dense array"),
        ],
    )
    def test_refusals(self, X, message):
        with pytest.raises(ValueError, match=message):
            _input.check_data(X)

    def test_n_neighbors_reduced_with_warning(self):
        with pytest.warns(UserWarning, match="using n_neighbors=4"):
            assert _input.effective_n_neighbors(15, 4) == 4
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert _input.effective_n_neighbors(15, 15) == 15
        with pytest.raises(ValueError, match="at least 2 samples"):
            _input.effective_n_neighbors(15, 1)

    def test_normalize_rows(self):
        out = _input.normalize_rows(np.array([[3, 4], [0, 0]], np.float32))
        np.testing.assert_allclose(out, [[0.6, 0.8], [0, 0]], rtol=1e-6)


class TestDenseKnn:
    def test_self_first_then_sorted_by_distance_then_id(self):
        idx = np.array([[3, 1, 2], [0, 2, 3]], np.int32)
        squared = np.array([[4.0, 1.0, 4.0], [9.0, 1.0, 0.25]], np.float32)
        knn_idx, knn_dist = _neighbors.dense_knn(idx, squared)
        np.testing.assert_array_equal(knn_idx, [[0, 1, 2, 3], [1, 3, 2, 0]])
        np.testing.assert_array_equal(knn_dist, np.array([[0, 1, 2, 2], [0, 0.5, 1, 3]],
                                                         np.float32))
        assert knn_idx.dtype == np.int32 and knn_dist.dtype == np.float32

    def test_matches_plain_two_sort_reference_bit_for_bit(self):
        # Reference: sort each row by id, then stably by distance.
        def reference(idx, squared):
            by_id = np.argsort(idx, axis=1, kind="stable")
            by_dist = np.argsort(np.take_along_axis(squared, by_id, axis=1), axis=1,
                                 kind="stable")
            order = np.take_along_axis(by_id, by_dist, axis=1)
            ids = np.take_along_axis(idx, order, axis=1)
            dists = np.sqrt(np.take_along_axis(squared, order, axis=1))
            n = len(idx)
            return (np.column_stack([np.arange(n), ids]).astype(np.int32),
                    np.column_stack([np.zeros(n), dists]).astype(np.float32))

        rng = np.random.default_rng(7)
        # Few distinct distances force ties; the extremes include the empty-slot
        # marker 1e30, infinity, the largest float and a subnormal.
        levels = np.array([0.0, 1e-45, 1.0, 2.5, 1e30, 3.4e38, np.inf], np.float32)
        for trial in range(40):
            n, k = int(rng.integers(1, 200)), int(rng.integers(1, 20))
            idx = np.array([rng.permutation(3 * max(n, k))[:k] for _ in range(n)], np.int32)
            if trial % 2:
                squared = rng.choice(levels, size=(n, k))
            else:
                squared = rng.random((n, k), dtype=np.float32)
            want_idx, want_dist = reference(idx, squared)
            got_idx, got_dist = _neighbors.dense_knn(idx, squared)
            np.testing.assert_array_equal(got_idx, want_idx)
            np.testing.assert_array_equal(got_dist.view(np.uint32), want_dist.view(np.uint32))

    def test_fill_empty_slots_with_exact_neighbours(self):
        data = np.array([[0.0], [1.0], [3.0], [7.0]], np.float32)
        idx = np.array([[1, -1], [0, 2], [1, 3], [2, 1]], np.int32)
        dist = np.array([[1, 1e30], [1, 4], [4, 16], [16, 36]], np.float32)
        _neighbors.fill_empty_slots(data, idx, dist)
        np.testing.assert_array_equal(idx[0], [1, 2])
        np.testing.assert_array_equal(dist[0], [1, 9])
        np.testing.assert_array_equal(idx[1:], [[0, 2], [1, 3], [2, 1]])  # untouched

    def test_default_search_is_exact_on_tiny_inputs(self):
        # Up to the leaf size one tree holds every point in one leaf, which
        # compares all pairs.
        rng = np.random.default_rng(5)
        X = rng.normal(size=(70, 6)).astype(np.float32)
        n_trees, n_iters, leaf_size = _neighbors.default_knn_params(len(X))
        assert n_trees == 1 and leaf_size >= len(X)
        idx, squared = _neighbors.search_knn(X, 9, n_trees=n_trees, n_iters=n_iters,
                                             leaf_size=leaf_size, seed=3, n_threads=2)
        d2 = ((X[:, None].astype(np.float64) - X[None]) ** 2).sum(-1)
        np.fill_diagonal(d2, np.inf)
        exact = np.sort(d2, axis=1)[:, :9]
        np.testing.assert_allclose(np.sort(squared, axis=1), exact, rtol=1e-5)

    def test_precomputed_checks(self):
        ids = np.array([[0, 1, 2], [1, 0, 2], [2, 1, 0]])
        d = np.array([[0, 1, 2], [0, 1, 1], [0, 1, 2]], np.float64)
        knn_idx, knn_dist = _neighbors.check_precomputed_knn((ids, d), 3, 2)
        assert knn_idx.shape == (3, 2) and knn_idx.dtype == np.int32
        assert knn_dist.dtype == np.float32
        with pytest.raises(ValueError, match="fewer than n_neighbors"):
            _neighbors.check_precomputed_knn((ids, d), 3, 4)
        with pytest.raises(ValueError, match="itself in column 0"):
            _neighbors.check_precomputed_knn((ids[:, ::-1], d), 3, 3)
        with pytest.raises(ValueError, match=r"lie in \[0, 3\)"):
            _neighbors.check_precomputed_knn((ids * 2, d), 3, 3)
        with pytest.raises(ValueError, match="pair"):
            _neighbors.check_precomputed_knn(ids, 3, 3)
        with pytest.raises(ValueError, match="rows"):
            _neighbors.check_precomputed_knn((ids[:2], d[:2]), 3, 2)
        with pytest.raises(ValueError, match="finite"):
            _neighbors.check_precomputed_knn((ids, d * np.nan), 3, 2)


class TestGraphAndEdges:
    def test_graph_is_symmetric_csr(self):
        rng = np.random.default_rng(0)
        X = rng.normal(size=(60, 4)).astype(np.float32)
        d2 = ((X[:, None] - X[None]) ** 2).sum(-1)
        order = np.argsort(d2, axis=1, kind="stable")[:, :6]
        knn_idx = order.astype(np.int32)
        knn_dist = np.sqrt(np.take_along_axis(d2, order, axis=1)).astype(np.float32)
        graph = _graph.fuzzy_graph(knn_idx, knn_dist)
        assert isinstance(graph, scipy.sparse.csr_matrix) and graph.has_sorted_indices
        assert abs(graph - graph.T).max() == 0
        assert graph.diagonal().sum() == 0
        assert graph.data.min() > 0 and graph.data.max() <= 1

    @staticmethod
    def coo_reference(knn_idx, knn_dist, n_epochs):
        """Plain route: every positive triplet through SciPy's COO to CSR
        conversion (which sums duplicates), edges read back from its COO form."""
        n, m = knn_idx.shape
        rows = np.empty(2 * n * m, np.int32)
        cols = np.empty(2 * n * m, np.int32)
        vals = np.empty(2 * n * m, np.float32)
        umap_graph_f32(knn_idx, knn_dist, rows, cols, vals, n, m)
        keep = vals > 0
        graph = scipy.sparse.csr_matrix((vals[keep], (rows[keep], cols[keep])), shape=(n, n))
        graph.sort_indices()
        coo = graph.tocoo()
        weights = coo.data.astype(np.float32)
        edges = None
        if weights.size:
            strong = weights >= weights.max() / np.float32(n_epochs)
            edges = (coo.row[strong], coo.col[strong], weights.max() / weights[strong])
        return graph, edges

    def test_graph_and_edges_match_plain_coo_reference(self):
        rng = np.random.default_rng(11)
        for trial in range(150):
            n = int(rng.integers(2, 80))
            m = int(rng.integers(1, min(n, 12) + 1))
            knn_idx = np.array([np.r_[i, rng.permutation(np.r_[:i, i + 1:n])[:m - 1]]
                                for i in range(n)], np.int32)
            knn_dist = np.sort(rng.random((n, m), dtype=np.float32), axis=1)
            knn_dist[:, 0] = 0.0
            if trial % 3 == 1:
                knn_idx[rng.random((n, m)) < 0.2] = -1  # empty slots
            if trial % 4 == 2:
                knn_dist = np.round(knn_dist * 3) / np.float32(3)  # tied distances
            want, want_edges = self.coo_reference(knn_idx, knn_dist, 50)
            got = _graph.fuzzy_graph(knn_idx, knn_dist)
            assert got.has_sorted_indices and got.indices.dtype == np.int32
            np.testing.assert_array_equal(got.indptr, want.indptr)
            np.testing.assert_array_equal(got.indices, want.indices)
            np.testing.assert_array_equal(got.data.view(np.uint32), want.data.view(np.uint32))
            head, tail, eps = _graph.edge_list(got, 50)
            if want_edges is None:
                assert head.size == 0
                continue
            np.testing.assert_array_equal(head, want_edges[0])
            np.testing.assert_array_equal(tail, want_edges[1])
            np.testing.assert_array_equal(eps.view(np.uint32), want_edges[2].view(np.uint32))

    def test_repeated_ids_are_summed(self):
        # Row 0 lists point 1 twice: both forward triplets (0, 1) add up.
        knn_idx = np.array([[0, 1, 1], [1, 0, 2], [2, 0, 1]], np.int32)
        knn_dist = np.array([[0, 1, 1], [0, 1, 2], [0, 1, 2]], np.float32)
        want, _ = self.coo_reference(knn_idx, knn_dist, 10)
        got = _graph.fuzzy_graph(knn_idx, knn_dist)
        np.testing.assert_array_equal(got.toarray(), want.toarray())
        assert got[0, 1] == 2.0

    def test_edge_list_drops_weak_edges_and_sets_periods(self):
        graph = scipy.sparse.csr_matrix(np.array(
            [[0, 1.0, 0.5, 0.001], [1.0, 0, 0, 0], [0.5, 0, 0, 0], [0.001, 0, 0, 0]],
            np.float32))
        head, tail, eps = _graph.edge_list(graph, n_epochs=200)
        # 0.001 < 1.0 / 200: sampled less than once in the run, so dropped.
        assert sorted(zip(head.tolist(), tail.tolist())) == [(0, 1), (0, 2), (1, 0), (2, 0)]
        assert sorted(eps.tolist()) == [1.0, 1.0, 2.0, 2.0]
        assert head.dtype == tail.dtype == np.int32 and eps.dtype == np.float32


class TestCurveFit:
    @pytest.mark.parametrize(
        "spread, min_dist, a, b",
        # Reference values: scipy.optimize.curve_fit on the same target curve.
        [(1.0, 0.1, 1.57694346, 0.89506088), (1.0, 0.0, 1.9328084, 0.79049497),
         (2.0, 0.1, 0.54466054, 0.84205543), (1.0, 0.5, 0.58303002, 1.33416699)],
    )
    def test_matches_least_squares_reference(self, spread, min_dist, a, b):
        got = _layout.find_ab_params(spread, min_dist)
        assert got == pytest.approx((a, b), rel=1e-5)


class TestInit:
    @staticmethod
    def two_cliques(size: int) -> scipy.sparse.csr_matrix:
        block = np.ones((size, size)) - np.eye(size)
        dense = np.zeros((2 * size, 2 * size))
        dense[:size, :size] = block
        dense[size:, size:] = block
        dense[0, size] = dense[size, 0] = 0.01  # one weak bridge
        return scipy.sparse.csr_matrix(dense)

    def test_spectral_separates_weakly_joined_clusters(self):
        layout = _init.spectral_layout(self.two_cliques(20), 2, np.random.default_rng(0))
        first = np.sign(layout[1:20, 0])
        assert abs(first.sum()) == 19 and (np.sign(layout[21:, 0]) == -first[0]).all()

    def test_several_components_are_placed_apart(self):
        graph = self.two_cliques(30).tolil()
        graph[0, 30] = graph[30, 0] = 0.0
        graph = graph.tocsr()
        graph.eliminate_zeros()
        layout = _init.spectral_layout(graph, 2, np.random.default_rng(0))
        a, b = layout[:30], layout[30:]
        gap = np.linalg.norm(a.mean(0) - b.mean(0))
        assert gap > 2 * max(np.ptp(a, axis=0).max(), np.ptp(b, axis=0).max()) / 2
        assert np.isfinite(layout).all()

    def test_large_component_uses_sparse_solver_deterministically(self):
        # Three random sparse clusters of 600 points, joined by a few weak
        # edges: too large for the dense path.
        rng = np.random.default_rng(1)
        size, n = 600, 1800
        rows = rng.integers(size, size=(3, 6000)) + (np.arange(3) * size)[:, None]
        cols = rng.integers(size, size=(3, 6000)) + (np.arange(3) * size)[:, None]
        rows = np.concatenate([rows.ravel(), [0, size, 2 * size]])
        cols = np.concatenate([cols.ravel(), [size, 2 * size, 0]])
        weights = np.concatenate([np.ones(18000), [0.01, 0.01, 0.01]])
        graph = scipy.sparse.csr_matrix((weights, (rows, cols)), shape=(n, n))
        graph = (graph + graph.T).tocsr()
        graph.setdiag(0)
        graph.eliminate_zeros()
        a = _init.spectral_layout(graph, 2, np.random.default_rng(5))
        b = _init.spectral_layout(graph, 2, np.random.default_rng(5))
        np.testing.assert_array_equal(a, b)
        centres = np.array([a[i * size:(i + 1) * size].mean(0) for i in range(3)])
        spreads = [np.linalg.norm(a[i * size:(i + 1) * size] - centres[i], axis=1).mean()
                   for i in range(3)]
        gaps = [np.linalg.norm(centres[i] - centres[j]) for i, j in ((0, 1), (1, 2), (0, 2))]
        assert min(gaps) > 5 * max(spreads)

    @staticmethod
    def knn_graph(seed: int = 3) -> scipy.sparse.csr_matrix:
        """Fuzzy graph of the exact 10-NN of three overlapping 3-D blobs."""
        rng = np.random.default_rng(seed)
        X = np.concatenate([rng.normal(size=(700, 3)) + c
                            for c in ([0, 0, 0], [6, 0, 0], [3, 5, 0])]).astype(np.float32)
        d2 = ((X[:, None] - X[None]) ** 2).sum(-1)
        np.fill_diagonal(d2, np.inf)
        idx = np.argsort(d2, axis=1)[:, :9].astype(np.int32)
        squared = np.take_along_axis(d2, idx, axis=1).astype(np.float32)
        return _graph.fuzzy_graph(*_neighbors.dense_knn(idx, squared))

    @pytest.mark.slow
    def test_multilevel_solver_matches_dense_eigenvectors(self, monkeypatch):
        import scipy.linalg

        graph = self.knn_graph()
        degrees = np.asarray(graph.sum(axis=1)).ravel()
        _, vectors = np.linalg.eigh(graph.toarray() / np.sqrt(np.outer(degrees, degrees)))
        exact = vectors[:, [-2, -3]]
        direct = _init.spectral_layout(graph, 2, np.random.default_rng(0))
        monkeypatch.setattr(_init, "_COARSE_LIMIT", 1000)  # 2100 nodes: one coarse level
        coarse = _init.spectral_layout(graph, 2, np.random.default_rng(0))
        again = _init.spectral_layout(graph, 2, np.random.default_rng(0))
        np.testing.assert_array_equal(coarse, again)
        # Leading eigenvalues 1, 0.9990, 0.9987, then 0.979: a clear gap, so
        # both solvers must find the same plane (measured: 0.01 and 0.8 degrees).
        assert np.degrees(scipy.linalg.subspace_angles(direct, exact)).max() < 1.0
        assert np.degrees(scipy.linalg.subspace_angles(coarse, exact)).max() < 5.0

    def test_aggregation_and_coarse_graph(self):
        graph = self.knn_graph().astype(np.float64)
        n = graph.shape[0]
        row_of = np.repeat(np.arange(n, dtype=np.int32), np.diff(graph.indptr))
        sqrt_deg = np.sqrt(np.asarray(graph.sum(axis=1)).ravel())
        groups, n_groups = _init._aggregate(graph, row_of, sqrt_deg)
        sizes = np.bincount(groups)
        assert sizes.min() >= 2 and 2 * n_groups < n  # everyone joined someone
        for g in range(0, n_groups, 37):  # each group is connected in the graph
            members = np.flatnonzero(groups == g)
            inner = graph[members][:, members]
            assert scipy.sparse.csgraph.connected_components(inner)[0] == 1
        membership = np.zeros((n, n_groups))
        membership[np.arange(n), groups] = 1.0
        coarse = _init._coarsen(graph, row_of, groups, n_groups)
        np.testing.assert_allclose(coarse.toarray(), membership.T @ graph.toarray() @ membership,
                                   rtol=1e-12)

    def test_star_graph_skips_the_coarse_level(self, monkeypatch):
        # Every leaf's strongest neighbour is the hub: one group, so the
        # graph is solved directly.
        n = 900
        graph = scipy.sparse.csr_matrix((np.ones(2 * (n - 1)),
                                         (np.r_[np.zeros(n - 1), 1:n], np.r_[1:n, np.zeros(n - 1)])),
                                        shape=(n, n))
        monkeypatch.setattr(_init, "_COARSE_LIMIT", 600)
        layout = _init.spectral_layout(graph, 2, np.random.default_rng(0))
        assert layout.shape == (n, 2) and np.isfinite(layout).all()

    def test_to_box_and_pca(self):
        rng = np.random.default_rng(2)
        data = rng.normal(size=(200, 5)).astype(np.float32) * [10, 1, 1, 1, 0.1]
        layout = _init.pca_layout(data.astype(np.float32), 2, rng)
        # The first principal axis is the high-variance first feature.
        assert abs(np.corrcoef(layout[:, 0], data[:, 0])[0, 1]) > 0.99
        boxed = _init.to_box(layout, rng)
        assert boxed.dtype == np.float32 and boxed.flags.c_contiguous
        assert boxed.min() > -0.01 and boxed.max() < 10.01

    def test_init_array_checked_and_copied(self):
        given = np.ones((4, 2))
        out = _init.check_init_array(given, 4, 2)
        assert out.dtype == np.float32 and not np.shares_memory(out, given)
        with pytest.raises(ValueError, match="shape"):
            _init.check_init_array(np.ones((4, 3)), 4, 2)
        with pytest.raises(ValueError, match="NaN"):
            _init.check_init_array(np.full((4, 2), np.nan), 4, 2)


def test_initialisation_blas_runs_on_one_thread(monkeypatch):
    # Idle OpenBLAS workers spin after each call and would compete with the
    # layout threads; inside the block every BLAS pool has one thread.
    threadpoolctl = pytest.importorskip("threadpoolctl")
    with _init.single_threaded_blas():
        inside = [p["num_threads"] for p in threadpoolctl.threadpool_info()
                  if p["user_api"] == "blas"]
    assert all(n == 1 for n in inside)
    # Without threadpoolctl the block simply runs.
    monkeypatch.setitem(sys.modules, "threadpoolctl", None)
    _init._blas_controller.cache_clear()
    try:
        with _init.single_threaded_blas():
            ran = True
    finally:
        _init._blas_controller.cache_clear()
    assert ran
