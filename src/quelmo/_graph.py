"""The fuzzy neighbour graph and the edge list the layout samples from."""

from __future__ import annotations

import math
import warnings

import numpy as np
import scipy.sparse

from quelmo._native_ext import fuzzy_graph_f32, smooth_knn_dist_f32


def fuzzy_graph(knn_indices: np.ndarray, knn_dists: np.ndarray, *,
                local_connectivity: float = 1.0, set_op_mix_ratio: float = 1.0,
                disconnection_distance: float = math.inf) -> scipy.sparse.csr_matrix:
    """Symmetric fuzzy graph of dense kNN arrays as a CSR matrix with sorted
    column indices.

    The native kernel writes two triplet slots per kNN entry, empty ones as
    (0, 0, 0); only the slots with a positive strength become entries.  With
    the default options the graph is bit for bit the one of
    ``_native_quelmo.umap_graph_f32``.

    A neighbour at or beyond ``disconnection_distance`` becomes an empty
    slot: it still counts in its row's bandwidth search (which sees every
    distance of the row), but it gives no edge; its reverse entry, if any,
    carries the same distance and goes too.
    """
    n, m = knn_indices.shape
    dist = np.ascontiguousarray(knn_dists, dtype=np.float32)
    idx = _connected_ids(knn_indices, dist, disconnection_distance)
    rows = np.empty(2 * n * m, np.int32)
    cols = np.empty(2 * n * m, np.int32)
    vals = np.empty(2 * n * m, np.float32)
    fuzzy_graph_f32(idx, dist, rows, cols, vals, n, m, local_connectivity, set_op_mix_ratio)
    graph = _triplets_to_csr(rows.reshape(n, m, 2), cols.reshape(n, m, 2),
                             vals.reshape(n, m, 2))
    if disconnection_distance < math.inf:
        warn_isolated(graph)
    return graph


def bandwidths(knn_dists: np.ndarray,
               local_connectivity: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
    """Sigma and rho of every row of a dense kNN distance table, those of
    ``fuzzy_graph``: a pair at distance d from point i has membership 1 up
    to rho[i] and exp(-(d - rho[i]) / sigma[i]) beyond."""
    n, m = knn_dists.shape
    sigmas = np.empty(n, np.float32)
    rhos = np.empty(n, np.float32)
    smooth_knn_dist_f32(np.ascontiguousarray(knn_dists, dtype=np.float32), sigmas, rhos, n, m,
                        local_connectivity)
    return sigmas, rhos


def _connected_ids(knn_indices: np.ndarray, dist: np.ndarray,
                   disconnection_distance: float) -> np.ndarray:
    """kNN ids as int32, -1 where the distance reaches the threshold."""
    idx = np.ascontiguousarray(knn_indices, dtype=np.int32)
    if disconnection_distance < math.inf:
        # Compared in double: rounding the threshold to float32 could drop
        # a neighbour just below it.
        idx = np.where(dist >= np.float64(disconnection_distance), np.int32(-1), idx)
    return idx


def warn_isolated(graph: scipy.sparse.csr_matrix) -> None:
    """Warn when some points have no edge: the layout cannot move them."""
    isolated = int(np.count_nonzero(np.diff(graph.indptr) == 0))
    if isolated:
        warnings.warn(f"{isolated} point(s) have no edge left in the graph (every neighbour "
                      "at or beyond disconnection_distance or, with labels, of another "
                      "class); they keep their initial position", UserWarning, stacklevel=4)


def _triplets_to_csr(rows: np.ndarray, cols: np.ndarray,
                     vals: np.ndarray) -> scipy.sparse.csr_matrix:
    """CSR matrix of the kernel's triplets, viewed as (n, m, 2) arrays.

    The first slot of entry (i, j) holds an edge of row i, so these edges
    arrive grouped by row; the second slot holds the reverse edge (c, i) of
    an entry without one, so those arrive grouped by column i.  Each group
    becomes a compressed matrix without any sorting, and one counting-sort
    transposition plus a merge yield the sorted CSR matrix, in linear time.
    Duplicates (only from repeated ids in a row) are summed, as a COO to CSR
    conversion would.
    """
    n = rows.shape[0]
    forward = _grouped(vals[:, :, 0], cols[:, :, 0])
    reverse = _grouped(vals[:, :, 1], rows[:, :, 1])
    by_row = scipy.sparse.csr_matrix(forward, shape=(n, n))
    by_row.sort_indices()
    by_column = scipy.sparse.csc_matrix(reverse, shape=(n, n))
    graph = by_row + by_column.tocsr()
    graph.sort_indices()
    return graph


def _grouped(vals: np.ndarray, other: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(data, indices, indptr) of the positive entries of each row of
    ``vals``, with ``other`` as their indices."""
    keep = vals > 0.0
    indptr = np.zeros(vals.shape[0] + 1, np.int64)
    np.cumsum(np.count_nonzero(keep, axis=1), out=indptr[1:])
    if indptr[-1] <= np.iinfo(np.int32).max:
        indptr = indptr.astype(np.int32)
    return vals[keep], other[keep], indptr


def edge_list(graph: scipy.sparse.csr_matrix,
              n_epochs: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Edges (head, tail) in row order and their sampling periods in epochs.

    An edge weaker than max_weight / n_epochs would be sampled less than once
    in the whole run, so it is dropped; the strongest edges are sampled every
    epoch and an edge of weight w every max_weight / w epochs.
    """
    weights = np.asarray(graph.data, dtype=np.float32)
    if weights.size == 0:
        empty_i = np.empty(0, np.int32)
        return empty_i, empty_i.copy(), np.empty(0, np.float32)
    max_weight = weights.max()
    keep = weights >= max_weight / np.float32(n_epochs)
    n = graph.shape[0]
    head = np.repeat(np.arange(n, dtype=np.int32), np.diff(graph.indptr))[keep]
    tail = np.ascontiguousarray(graph.indices[keep], dtype=np.int32)
    epochs_per_sample = np.ascontiguousarray(max_weight / weights[keep], dtype=np.float32)
    return head, tail, epochs_per_sample
