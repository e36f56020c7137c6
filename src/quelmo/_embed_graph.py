"""Layout of a caller's graph: the estimator's initialisation and optimiser
on any symmetric weighted graph."""

from __future__ import annotations

from typing import Any

import numpy as np
import scipy.sparse

from quelmo import _graph, _init, _input, _layout


def embed_graph(graph: Any, n_components: int = 2, *, n_epochs: int | None = None,
                min_dist: float = 0.1, spread: float = 1.0, a: float | None = None,
                b: float | None = None, learning_rate: float = 1.0,
                repulsion_strength: float = 1.0, negative_sample_rate: float = 5,
                init: str | np.ndarray = "spectral", random_state: Any = None,
                n_jobs: int = -1) -> np.ndarray:
    """Lay out the vertices of a symmetric weighted graph.

    The same initialisation, edge sampling and optimiser as ``UMAP.fit``,
    with the same seeds: ``embed_graph(model.graph_, ...)`` with the model's
    layout parameters, ``random_state`` and ``n_jobs`` reproduces
    ``model.embedding_`` bit for bit (for an initialisation that does not
    need the data).

    Parameters
    ----------
    graph : scipy sparse matrix or 2-D array of shape (n, n)
        Symmetric, finite, non-negative edge weights; zero means no edge and
        the diagonal is ignored.  At least 2 vertices.
    n_components : int, default=2
        Dimension of the layout.
    n_epochs : int or None, default=None
        500 for up to 10,000 vertices, 200 above.
    min_dist, spread, a, b, learning_rate, repulsion_strength, negative_sample_rate
        As for ``UMAP``.
    init : {"spectral", "random"} or array of shape (n, n_components)
        Initial layout; "spectral" uses the graph's own eigenvectors, per
        connected component.
    random_state : int, numpy Generator or RandomState, or None
        Root of every random choice.
    n_jobs : int, default=-1
        Threads of the optimiser; part of the result, as for ``UMAP``.

    Returns
    -------
    ndarray of shape (n, n_components), float32
    """
    from quelmo.estimator import _derive_seeds, _resolve_n_jobs

    weights = check_graph(graph)
    n = weights.shape[0]
    dim = _input.check_int(n_components, "n_components", 1)
    epochs = 500 if n <= 10_000 else 200
    if n_epochs is not None:
        epochs = _input.check_int(n_epochs, "n_epochs", 1)
    checked = _layout_params(min_dist, spread, a, b, learning_rate, repulsion_strength,
                             negative_sample_rate)
    if isinstance(init, str) and init not in ("spectral", "random"):
        raise ValueError(f"init must be 'spectral', 'random' or an array, got {init!r}")
    _, layout_seed, init_rng = _derive_seeds(random_state)
    n_threads = _resolve_n_jobs(n_jobs)

    with _init.single_threaded_blas():
        embedding = _init.initial_embedding(init, weights, None, dim, init_rng)
    # After the initialisation, the largest transient, as in a fit.
    head, tail, epochs_per_sample = _graph.edge_list(weights, epochs)
    if checked["a"] is None or checked["b"] is None:
        curve_a, curve_b = _layout.find_ab_params(checked["spread"], checked["min_dist"])
    else:
        curve_a, curve_b = checked["a"], checked["b"]
    _layout.optimize_layout(
        embedding, head, tail, epochs_per_sample, n_epochs=epochs, a=curve_a, b=curve_b,
        gamma=checked["repulsion_strength"], learning_rate=checked["learning_rate"],
        negative_sample_rate=checked["negative_sample_rate"], seed=layout_seed,
        n_threads=n_threads)
    return embedding


def check_graph(graph: Any) -> scipy.sparse.csr_matrix:
    """A caller's graph as a float32 CSR matrix with sorted indices, without
    diagonal or zero entries.

    Raises
    ------
    ValueError
        If the graph is not square with at least 2 vertices, holds negative,
        NaN or infinite weights, or is not symmetric.
    """
    if not scipy.sparse.issparse(graph):
        array = np.asarray(graph)
        if array.ndim != 2 or array.dtype.kind not in "biuf":
            raise ValueError("graph must be a SciPy sparse matrix or a 2-D numeric array")
        graph = scipy.sparse.csr_matrix(array)
    if graph.ndim != 2 or graph.shape[0] != graph.shape[1]:
        raise ValueError(f"graph must be square, got shape {graph.shape}")
    if graph.shape[0] < 2:
        raise ValueError(f"graph must have at least 2 vertices, got {graph.shape[0]}")
    if graph.shape[0] > 2**31 - 1:
        raise ValueError("graph has too many vertices for the native kernels")
    if graph.dtype.kind not in "biuf":
        raise ValueError(f"graph weights must be real numbers, got dtype {graph.dtype}")
    weights = scipy.sparse.csr_matrix(graph, dtype=np.float64, copy=True)
    weights.sum_duplicates()
    rows = np.repeat(np.arange(weights.shape[0]), np.diff(weights.indptr))
    keep = (rows != weights.indices) & (weights.data != 0.0)
    weights = scipy.sparse.csr_matrix(
        (weights.data[keep], (rows[keep], weights.indices[keep])), shape=weights.shape)
    if not np.isfinite(weights.data).all() or (weights.data < 0).any():
        raise ValueError("graph weights must be finite and non-negative")
    if (weights != weights.T).nnz:
        raise ValueError("graph must be symmetric; symmetrize it first, for example with "
                         "graph.maximum(graph.T) or (graph + graph.T) / 2")
    weights = scipy.sparse.csr_matrix(weights, dtype=np.float32)
    weights.eliminate_zeros()  # weights below float32's range
    weights.sort_indices()
    if weights.indices.dtype != np.int32 and weights.nnz < 2**31:
        weights.indices = weights.indices.astype(np.int32)
    return weights


def _layout_params(min_dist: Any, spread: Any, a: Any, b: Any, learning_rate: Any,
                   repulsion_strength: Any, negative_sample_rate: Any) -> dict[str, Any]:
    chk_f = _input.check_float
    p = {
        "min_dist": chk_f(min_dist, "min_dist", non_negative=True),
        "spread": chk_f(spread, "spread", positive=True),
        "a": None if a is None else chk_f(a, "a", positive=True),
        "b": None if b is None else chk_f(b, "b", positive=True),
        "learning_rate": chk_f(learning_rate, "learning_rate", positive=True),
        "repulsion_strength": chk_f(repulsion_strength, "repulsion_strength",
                                    non_negative=True),
        "negative_sample_rate": chk_f(negative_sample_rate, "negative_sample_rate",
                                      positive=True),
    }
    if p["min_dist"] > p["spread"]:
        raise ValueError(f"min_dist ({p['min_dist']}) must not exceed spread ({p['spread']})")
    return p
