"""The fuzzy neighbour graph and the edge list the layout samples from."""

from __future__ import annotations

import numpy as np
import scipy.sparse

from quelmo._native_quelmo import umap_graph_f32


def fuzzy_graph(knn_indices: np.ndarray, knn_dists: np.ndarray) -> scipy.sparse.csr_matrix:
    """Symmetric fuzzy graph of dense kNN arrays as a CSR matrix with sorted
    column indices.

    The native kernel writes two triplet slots per kNN entry, empty ones as
    (0, 0, 0); only the slots with a positive strength become entries.
    """
    n, m = knn_indices.shape
    idx = np.ascontiguousarray(knn_indices, dtype=np.int32)
    dist = np.ascontiguousarray(knn_dists, dtype=np.float32)
    rows = np.empty(2 * n * m, np.int32)
    cols = np.empty(2 * n * m, np.int32)
    vals = np.empty(2 * n * m, np.float32)
    umap_graph_f32(idx, dist, rows, cols, vals, n, m)
    return _triplets_to_csr(rows.reshape(n, m, 2), cols.reshape(n, m, 2),
                            vals.reshape(n, m, 2))


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
