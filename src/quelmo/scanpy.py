"""Single-cell integration: drop-in versions of scanpy's ``pp.neighbors``
and ``tl.umap`` on quelmo's kernels.

Both take an ``AnnData`` object and the arguments of their scanpy namesakes,
and read and write the same fields, so they mix freely with scanpy's own
functions::

    import scanpy as sc
    import quelmo.scanpy as qsc

    sc.pp.pca(adata)
    qsc.neighbors(adata, n_neighbors=15)    # or sc.pp.neighbors(adata)
    qsc.umap(adata)                         # obsm["X_umap"], uns["umap"]
    sc.pl.umap(adata, color="cell_type")

Needs ``anndata`` (``pip install "quelmo[scanpy]"``); scanpy itself is not
imported.
"""

from __future__ import annotations

from typing import Any, Mapping

import numpy as np
import scipy.sparse

from quelmo import _graph, _input, _layout, _metrics, _neighbors
from quelmo._embed_graph import embed_graph

# Dimensions above which scanpy's neighbour search uses the PCA
# representation rather than .X.
_N_PCS = 50


def neighbors(adata: Any, n_neighbors: int = 15, n_pcs: int | None = None, *,
              use_rep: str | None = None, knn: bool = True, method: str = "umap",
              transformer: Any = None, metric: str = "euclidean",
              metric_kwds: Mapping[str, Any] | None = None, random_state: Any = 0,
              key_added: str | None = None, copy: bool = False,
              n_jobs: int = -1) -> Any:
    """Neighbour graph of the cells, stored as ``scanpy.pp.neighbors`` does.

    Writes ``obsp["distances"]`` (each cell's ``n_neighbors - 1`` nearest
    other cells, by increasing distance), ``obsp["connectivities"]`` (the
    symmetric fuzzy graph) and ``uns["neighbors"]`` (their keys and the
    parameters); with ``key_added``, ``obsp[key_added + "_distances"]``,
    ``obsp[key_added + "_connectivities"]`` and ``uns[key_added]``.

    Parameters
    ----------
    adata : anndata.AnnData
    n_neighbors : int, default=15
        Neighbours per cell, the cell itself included.
    n_pcs : int or None
        Use the first ``n_pcs`` columns of ``obsm["X_pca"]``; 0 means ``.X``.
    use_rep : str or None
        ``"X"`` or a key of ``obsm``.  Unset: ``X_pca`` when it exists, ``.X``
        when it has at most 50 variables.
    knn, method, transformer
        Accepted for compatibility: only ``knn=True``, ``method="umap"`` and
        no transformer.
    metric : str, default="euclidean"
        Any metric of ``UMAP`` except "precomputed" (see its ``metric``).
    metric_kwds : mapping or None
        Keywords of the metric (``{"p": ...}`` for minkowski).
    random_state : int, numpy Generator or RandomState, or None, default=0
    key_added : str or None
    copy : bool, default=False
        Work on and return a copy.
    n_jobs : int, default=-1
        Threads of the search; part of the result (see ``UMAP``).

    Returns
    -------
    anndata.AnnData or None
        The copy when ``copy=True``.
    """
    _require_anndata()
    if not knn or method != "umap" or transformer is not None:
        raise ValueError("quelmo.scanpy.neighbors supports knn=True, method='umap' and no "
                         "transformer")
    resolved = _metrics.resolve_metric(metric, None if metric_kwds is None
                                       else dict(metric_kwds))
    if resolved.name == "precomputed":
        raise ValueError("quelmo.scanpy.neighbors searches a representation of the cells; "
                         "metric='precomputed' is not supported")
    from quelmo.estimator import _derive_seeds, _resolve_n_jobs

    adata = adata.copy() if copy else adata
    data = _representation(adata, use_rep, n_pcs)
    n = data.shape[0]
    k = _input.effective_n_neighbors(_input.check_int(n_neighbors, "n_neighbors", 2), n)
    knn_seed, _, _ = _derive_seeds(random_state)
    rows = _metrics.prepare_data(data, resolved)
    knn_indices, knn_dists = _neighbors.nearest_neighbors(
        rows, resolved, k, n_trees=None, n_iters=None, leaf_size=None, seed=knn_seed,
        n_threads=_resolve_n_jobs(n_jobs))
    graph = _graph.fuzzy_graph(knn_indices, knn_dists)

    distances = scipy.sparse.csr_matrix(
        (knn_dists[:, 1:].astype(np.float64).ravel(), knn_indices[:, 1:].ravel(),
         np.arange(0, n * (k - 1) + 1, k - 1)), shape=(n, n))
    prefix = "" if key_added is None else f"{key_added}_"
    adata.obsp[f"{prefix}distances"] = distances
    adata.obsp[f"{prefix}connectivities"] = graph
    params: dict[str, Any] = {"n_neighbors": k, "method": "umap",
                              "random_state": random_state, "metric": metric}
    if use_rep is not None:
        params["use_rep"] = use_rep
    if n_pcs is not None:
        params["n_pcs"] = n_pcs
    if metric_kwds:
        params["metric_kwds"] = dict(metric_kwds)
    adata.uns["neighbors" if key_added is None else key_added] = {
        "connectivities_key": f"{prefix}connectivities",
        "distances_key": f"{prefix}distances",
        "params": params,
    }
    return adata if copy else None


def umap(adata: Any, *, min_dist: float = 0.5, spread: float = 1.0, n_components: int = 2,
         maxiter: int | None = None, alpha: float = 1.0, gamma: float = 1.0,
         negative_sample_rate: int = 5, init_pos: Any = "spectral", random_state: Any = 0,
         a: float | None = None, b: float | None = None, method: str = "umap",
         key_added: str | None = None, neighbors_key: str = "neighbors", copy: bool = False,
         n_jobs: int = -1) -> Any:
    """Embed the neighbour graph, stored as ``scanpy.tl.umap`` does.

    Lays out ``obsp[uns[neighbors_key]["connectivities_key"]]`` (as left by
    ``neighbors`` or ``scanpy.pp.neighbors``) with quelmo's optimiser and
    writes ``obsm["X_umap"]`` and ``uns["umap"] = {"params": {"a", "b"}}``
    (plus ``random_state`` when it is not 0); with ``key_added``,
    ``obsm[key_added]`` and ``uns[key_added]``.

    Parameters
    ----------
    adata : anndata.AnnData
    min_dist, spread, n_components, a, b, negative_sample_rate
        As for ``UMAP`` (note scanpy's ``min_dist`` default, 0.5).
    maxiter : int or None
        Epochs; None gives 500 up to 10,000 cells, 200 above.
    alpha : float, default=1.0
        Initial learning rate.
    gamma : float, default=1.0
        Repulsion strength.
    init_pos : "spectral", "random", a key of ``obsm``, or an array
        Initial positions.
    random_state : int, numpy Generator or RandomState, or None, default=0
    method : "umap"
        Accepted for compatibility.
    key_added, neighbors_key : str
    copy : bool, default=False
        Work on and return a copy.
    n_jobs : int, default=-1
        Threads of the optimiser; part of the result (see ``UMAP``).

    Returns
    -------
    anndata.AnnData or None
        The copy when ``copy=True``.
    """
    _require_anndata()
    if method != "umap":
        raise ValueError(f"quelmo.scanpy.umap supports method='umap' only, got {method!r}")
    neighbors_info = adata.uns.get(neighbors_key)
    if neighbors_info is None:
        raise ValueError(f'did not find .uns["{neighbors_key}"]; run '
                         "quelmo.scanpy.neighbors or scanpy.pp.neighbors first")
    adata = adata.copy() if copy else adata
    graph = adata.obsp[neighbors_info.get("connectivities_key", "connectivities")]
    if a is None or b is None:
        a, b = _layout.find_ab_params(_input.check_float(spread, "spread", positive=True),
                                      _input.check_float(min_dist, "min_dist",
                                                         non_negative=True))
    embedding = embed_graph(
        graph, n_components, n_epochs=maxiter, min_dist=min_dist, spread=spread, a=a, b=b,
        learning_rate=alpha, repulsion_strength=gamma,
        negative_sample_rate=negative_sample_rate, init=_initial_positions(adata, init_pos),
        random_state=random_state, n_jobs=n_jobs)
    adata.obsm["X_umap" if key_added is None else key_added] = embedding
    params: dict[str, Any] = {"a": float(a), "b": float(b)}
    if not (isinstance(random_state, (int, np.integer)) and random_state == 0):
        params["random_state"] = random_state
    adata.uns["umap" if key_added is None else key_added] = {"params": params}
    return adata if copy else None


def _require_anndata() -> None:
    try:
        import anndata  # noqa: F401
    except ImportError:
        raise ImportError('quelmo.scanpy needs anndata: pip install "quelmo[scanpy]"') from None


def _representation(adata: Any, use_rep: str | None, n_pcs: int | None) -> np.ndarray:
    """The matrix whose rows are searched, as scanpy chooses it."""
    if use_rep is None and n_pcs == 0:
        use_rep = "X"
    if use_rep is None:
        if "X_pca" in adata.obsm:
            use_rep = "X_pca"
        elif adata.n_vars <= _N_PCS:
            use_rep = "X"
        else:
            raise ValueError(f".X has {adata.n_vars} variables and there is no "
                             'obsm["X_pca"]; run scanpy.pp.pca first or pass use_rep="X"')
    if use_rep == "X":
        matrix = adata.X
    elif use_rep in adata.obsm:
        matrix = adata.obsm[use_rep]
    else:
        raise ValueError(f"use_rep={use_rep!r} is neither 'X' nor a key of obsm")
    if scipy.sparse.issparse(matrix):
        matrix = matrix.toarray()
    matrix = np.asarray(matrix)
    if use_rep != "X" and n_pcs is not None:
        if n_pcs > matrix.shape[1]:
            raise ValueError(f"n_pcs={n_pcs} exceeds the {matrix.shape[1]} columns of "
                             f"obsm[{use_rep!r}]")
        matrix = matrix[:, :n_pcs]
    return _input.check_data(matrix, name=f"obsm[{use_rep!r}]" if use_rep != "X" else "X")


def _initial_positions(adata: Any, init_pos: Any) -> Any:
    if init_pos is None:
        return "spectral"
    if isinstance(init_pos, str):
        if init_pos in ("spectral", "random"):
            return init_pos
        if init_pos in adata.obsm:
            return np.asarray(adata.obsm[init_pos])
        raise ValueError(f"init_pos must be 'spectral', 'random', a key of obsm or an array, "
                         f"got {init_pos!r}")
    return init_pos
