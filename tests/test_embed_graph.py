"""Layout of a caller's graph: the estimator's bits from its own graph, the
graph checks, and reproducibility."""

from __future__ import annotations

import numpy as np
import pytest
import scipy.sparse

import quelmo
from quelmo.estimator import UMAP


def bits(a: np.ndarray) -> bytes:
    return np.ascontiguousarray(a).tobytes()


def blobs(n=250, d=6, seed=0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(3, size=n)
    return (rng.normal(scale=8.0, size=(3, d))[labels] + rng.normal(size=(n, d))).astype(
        np.float32)


@pytest.mark.parametrize("init", ["spectral", "random"])
def test_reproduces_the_fit_from_its_graph(init):
    params = dict(n_epochs=60, min_dist=0.3, repulsion_strength=0.8, learning_rate=0.9,
                  negative_sample_rate=4, random_state=7, n_jobs=2, init=init)
    model = UMAP(n_components=3, **params).fit(blobs())
    layout = quelmo.embed_graph(model.graph_, 3, **params)
    assert layout.dtype == np.float32 and layout.shape == (250, 3)
    assert bits(layout) == bits(model.embedding_)


def test_any_symmetric_graph_dense_or_sparse():
    # Two rings of 30 vertices joined by one weak edge.
    n = 60
    weights = np.zeros((n, n))
    for i in range(n):
        ring = i // 30 * 30
        j = ring + (i - ring + 1) % 30
        weights[i, j] = weights[j, i] = 1.0
    weights[0, 30] = weights[30, 0] = 0.05
    np.fill_diagonal(weights, 3.0)  # ignored
    dense = quelmo.embed_graph(weights, random_state=0, n_epochs=100, n_jobs=1)
    sparse = quelmo.embed_graph(scipy.sparse.coo_matrix(weights), random_state=0,
                                n_epochs=100, n_jobs=1)
    assert bits(dense) == bits(sparse)
    centres = dense[:30].mean(0), dense[30:].mean(0)
    spread = max(np.linalg.norm(dense[:30] - centres[0], axis=1).mean(),
                 np.linalg.norm(dense[30:] - centres[1], axis=1).mean())
    assert np.linalg.norm(centres[0] - centres[1]) > spread


@pytest.mark.parametrize("graph, message", [
    (np.ones((3, 4)), "square"),
    (np.ones((1, 1)), "at least 2"),
    (np.array([[0, 1.0], [0.5, 0]]), "symmetric"),
    (np.array([[0, -1.0], [-1.0, 0]]), "non-negative"),
    (np.array([[0, np.nan], [np.nan, 0]]), "finite"),
    (np.array([["a", "b"], ["b", "a"]]), "numeric"),
    (np.eye(2), "init"),  # with init="pca", which needs data
])
def test_bad_graphs(graph, message):
    with pytest.raises(ValueError, match=message):
        quelmo.embed_graph(graph, init="pca" if message == "init" else "spectral")

