"""Neighbours from a precomputed distance matrix, dense or sparse."""

from __future__ import annotations

from typing import Any

import numpy as np
import scipy.sparse

# Entries of the dense matrix handled at once (rows times columns).
_BLOCK_ENTRIES = 1 << 22


def knn_from_distances(distances: Any, n_neighbors: int) -> tuple[np.ndarray, np.ndarray]:
    """Dense kNN arrays from a square matrix of non-negative distances
    (validated by ``_metrics.prepare_data``): each point itself in column 0
    at distance 0, then its nearest other points by increasing (distance,
    id).  The diagonal is not read.

    In a sparse matrix only the stored entries are neighbours (a stored zero
    is a neighbour at distance 0); a row with fewer than n_neighbors - 1 of
    them keeps id -1 in the remaining slots, with the row's largest stored
    distance (0 when it has none), which the fuzzy graph treats as no edge.
    """
    if scipy.sparse.issparse(distances):
        return _from_sparse(distances, n_neighbors)
    return _from_dense(distances, n_neighbors)


def _keys(dist: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """(distance, id) packed into sortable 64-bit keys: a non-negative float32
    orders like its bits (after +0.0 turns -0.0 into +0.0)."""
    bits = np.add(dist, np.float32(0.0), dtype=np.float32).view(np.uint32).astype(np.uint64)
    return (bits << np.uint64(32)) | ids.astype(np.uint64)


def _split_keys(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    ids = (keys & np.uint64(0xFFFFFFFF)).astype(np.int32)
    dist = (keys >> np.uint64(32)).astype(np.uint32).view(np.float32)
    return ids, dist


def _from_dense(distances: np.ndarray, n_neighbors: int) -> tuple[np.ndarray, np.ndarray]:
    n = distances.shape[0]
    others = n_neighbors - 1
    indices = np.empty((n, n_neighbors), np.int32)
    dists = np.empty((n, n_neighbors), np.float32)
    indices[:, 0] = np.arange(n, dtype=np.int32)
    dists[:, 0] = 0.0
    if others == 0:
        return indices, dists
    columns = np.arange(n, dtype=np.uint64)
    block = max(1, _BLOCK_ENTRIES // n)
    for r0 in range(0, n, block):
        r1 = min(r0 + block, n)
        keys = _keys(distances[r0:r1], np.broadcast_to(columns, (r1 - r0, n)))
        # The point itself goes last: every key is below the largest uint64.
        keys[np.arange(r1 - r0), np.arange(r0, r1)] = np.iinfo(np.uint64).max
        if others < n - 1:
            keys = np.partition(keys, others - 1, axis=1)[:, :others]
        keys = np.sort(keys, axis=1)[:, :others]
        indices[r0:r1, 1:], dists[r0:r1, 1:] = _split_keys(keys)
    return indices, dists


def _from_sparse(distances: scipy.sparse.csr_matrix,
                 n_neighbors: int) -> tuple[np.ndarray, np.ndarray]:
    n = distances.shape[0]
    others = n_neighbors - 1
    indices = np.full((n, n_neighbors), -1, np.int32)
    dists = np.zeros((n, n_neighbors), np.float32)
    indices[:, 0] = np.arange(n, dtype=np.int32)
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(distances.indptr))
    keep = distances.indices != rows
    rows = rows[keep]
    keys = _keys(distances.data[keep], distances.indices[keep])
    order = np.lexsort((keys, rows))
    rows, keys = rows[order], keys[order]
    counts = np.bincount(rows, minlength=n)
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
    position = np.arange(rows.size) - starts[rows]
    take = position < others
    ids, values = _split_keys(keys[take])
    indices[rows[take], 1 + position[take]] = ids
    dists[rows[take], 1 + position[take]] = values
    # Unfilled slots repeat the row's largest stored distance.
    short = np.flatnonzero(counts < others)
    if short.size:
        largest = dists[short].max(axis=1)
        fill = np.arange(n_neighbors)[None, :] >= 1 + counts[short][:, None]
        dists[short] = np.where(fill, largest[:, None], dists[short])
    return indices, dists
