"""The fuzzy neighbour graph and the edge list the layout samples from."""

from __future__ import annotations

import numpy as np
import scipy.sparse

from quelmo._native_quelmo import umap_graph_f32


def fuzzy_graph(knn_indices: np.ndarray, knn_dists: np.ndarray) -> scipy.sparse.csr_matrix:
    """Symmetric fuzzy graph of dense kNN arrays as a CSR matrix.

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
    keep = vals > 0.0
    # Each direction of an edge is written once, so there is nothing to sum.
    graph = scipy.sparse.csr_matrix((vals[keep], (rows[keep], cols[keep])), shape=(n, n))
    graph.sort_indices()
    return graph


def edge_list(graph: scipy.sparse.csr_matrix,
              n_epochs: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Edges (head, tail) and their sampling periods in epochs.

    An edge weaker than max_weight / n_epochs would be sampled less than once
    in the whole run, so it is dropped; the strongest edges are sampled every
    epoch and an edge of weight w every max_weight / w epochs.
    """
    coo = graph.tocoo()
    weights = coo.data.astype(np.float32)
    if weights.size == 0:
        empty_i = np.empty(0, np.int32)
        return empty_i, empty_i.copy(), np.empty(0, np.float32)
    max_weight = weights.max()
    keep = weights >= max_weight / np.float32(n_epochs)
    head = np.ascontiguousarray(coo.row[keep], dtype=np.int32)
    tail = np.ascontiguousarray(coo.col[keep], dtype=np.int32)
    epochs_per_sample = np.ascontiguousarray(max_weight / weights[keep], dtype=np.float32)
    return head, tail, epochs_per_sample
