"""Neighbours of new points under the metrics that the graph query of
``_transform`` does not serve: a graph search with the native distance
kernels for large training sets, an exact scan of the training data for
small ones, and row keys that stand in for sparse rows where the layout of
new points needs values to hash.

The scan measures every (new point, training point) pair with the kernel
the fit searched with, one row of distances at a time, and keeps the k
smallest by (distance, id).  The graph search measures a fixed set of
evenly spaced training points, then walks the fit's search graph best
first.  Either way a point's neighbours are a function of its own values:
no batching, block size or thread count changes them.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quelmo import _metrics, _native_ext, _neighbors

# Metrics whose new points are searched by the graph query on dense rows
# (squared Euclidean distances between transformed rows).
GRAPH_QUERY_METRICS = ("euclidean", "sqeuclidean", "cosine", "correlation")
# Distances held at once by the scan: 16 M float32, 64 MB.
_BLOCK_ENTRIES = 1 << 24
# Evenly spaced training points from which the graph search starts (fewer
# when there are fewer), and the training set size from which a model uses
# the graph search rather than the scan (see benchmarks/README.md).
GRAPH_SEEDS = 256
GRAPH_MIN_ROWS = 4000


def uses_graph_query(metric: str, sparse: bool) -> bool:
    """Whether new points of a fit under ``metric`` go to the graph query."""
    return metric in GRAPH_QUERY_METRICS and not sparse


def uses_metric_graph(n: int) -> bool:
    """Whether new points of a fit on ``n`` training points go to the graph
    search (else the exact scan), for the metrics and sparse fits that
    ``uses_graph_query`` leaves out."""
    return n >= GRAPH_MIN_ROWS


def search_seeds(graph: np.ndarray) -> np.ndarray:
    """The training points from which the graph search starts: ``GRAPH_SEEDS``
    evenly spaced ids, and the smallest id of every part of ``graph`` that
    none of them reaches (a cluster that its neighbours never leave would
    otherwise be out of the search's reach), as sorted int32 ids."""
    import scipy.sparse
    from scipy.sparse.csgraph import connected_components

    n, width = graph.shape
    even = np.unique(np.arange(min(GRAPH_SEEDS, n), dtype=np.int64) * n
                     // min(GRAPH_SEEDS, n))
    rows = np.repeat(np.arange(n), width)
    cols = graph.ravel().astype(np.int64)
    valid = (cols >= 0) & (cols < n)
    links = scipy.sparse.csr_matrix((np.ones(int(valid.sum()), np.int8),
                                     (rows[valid], cols[valid])), shape=(n, n))
    _, part = connected_components(links, directed=False)
    first = np.full(int(part.max()) + 1, n, np.int64)
    np.minimum.at(first, part, np.arange(n))
    unseeded = np.ones(first.size, bool)
    unseeded[part[even]] = False
    return np.union1d(even, first[unseeded]).astype(np.int32)


def graph_query(data: Any, points: Any, graph: np.ndarray, seeds: np.ndarray,
                metric: _metrics.Metric, k: int,
                n_threads: int) -> tuple[np.ndarray, np.ndarray]:
    """As ``exact_query``, by a best-first search over ``graph`` (the fit's
    search graph over the rows of ``data``, ``_transform.search_graph``)
    from the training points ``seeds`` (``search_seeds``), keeping the best
    ``max(96, 6 k)`` points found."""
    n = data.shape[0]
    m = points.shape[0]
    k = min(k, n)
    pool = max(96, 6 * k)
    name = _metrics.native_name(metric)
    idx = np.empty((m, k), np.int32)
    rank = np.empty((m, k), np.float32)
    graph = np.ascontiguousarray(graph, np.int32)
    seeds = np.ascontiguousarray(seeds, np.int32)
    sizes = (n, m, data.shape[1], graph.shape[1], k, pool, seeds.size, name, metric.p,
             n_threads)
    if _metrics.is_sparse(data):
        _native_ext.metric_query_csr_f32(*_neighbors.csr_buffers(data),
                                         *_neighbors.csr_buffers(points), graph, seeds, idx,
                                         rank, *sizes)
    else:
        _native_ext.metric_query_f32(data, points, graph, seeds, idx, rank, *sizes)
    return idx, _metrics.true_distances(metric, rank, data.shape[1], euclidean_kernel=False)


def exact_query(data: Any, points: Any, metric: _metrics.Metric, k: int,
                n_threads: int) -> tuple[np.ndarray, np.ndarray]:
    """The k nearest rows of ``data`` to each row of ``points`` (both prepared
    by ``_metrics.search_rows``, both dense float32 or both canonical CSR):
    int32 ids and the metric's float32 distances, nearest first, ties by id.
    """
    n = data.shape[0]
    m = points.shape[0]
    k = min(k, n)
    name = _metrics.native_name(metric)
    idx = np.empty((m, k), np.int32)
    rank = np.empty((m, k), np.float32)
    block = max(1, _BLOCK_ENTRIES // n)
    ids = np.arange(n, dtype=np.uint64)
    for r0 in range(0, m, block):
        r1 = min(r0 + block, m)
        dist = _neighbors.metric_distances(points[r0:r1], data, name, metric.p, n_threads)
        # Rounding may leave a distance a hair below zero; keys need the sign
        # bit clear (and -0.0 made +0.0) to order like the values.
        np.maximum(dist, np.float32(0.0), out=dist)
        keys = _sort_keys(dist, ids)
        if k < n:
            keys = np.partition(keys, k - 1, axis=1)[:, :k]
        keys = np.sort(keys, axis=1)
        idx[r0:r1] = (keys & np.uint64(0xFFFFFFFF)).astype(np.int32)
        rank[r0:r1] = (keys >> np.uint64(32)).astype(np.uint32).view(np.float32)
    return idx, _metrics.true_distances(metric, rank, data.shape[1], euclidean_kernel=False)


def _sort_keys(dist: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """(distance, id) packed into 64-bit keys that sort in that order: a
    non-negative float32 orders like its bits."""
    bits = np.add(dist, np.float32(0.0), dtype=np.float32).view(np.uint32).astype(np.uint64)
    return (bits << np.uint64(32)) | ids[None, :]


def _mix(z: np.ndarray) -> np.ndarray:
    """A 64-bit finaliser (splitmix64): every input bit moves every output bit."""
    z = z + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def sparse_row_keys(data: Any) -> np.ndarray:
    """Four float32 values per row of a canonical CSR matrix that stand for
    the row: the 64 bits of a hash of its (column, value) pairs, 16 bits in
    each value (integers 0 ... 65535, so always finite).  Equal rows have
    equal keys; different rows, equal keys with probability about 2^-64 per
    pair.  The layout of new points hashes these instead of the row's dense
    values, to seed its streams and to find training rows among new points.
    """
    n = data.shape[0]
    indptr = np.asarray(data.indptr, np.int64)
    with np.errstate(over="ignore"):
        entry = _mix(_mix(np.asarray(data.indices, np.uint64))
                     ^ np.asarray(data.data, np.float32).view(np.uint32).astype(np.uint64))
        sums = np.zeros(n, np.uint64)
        counts = np.diff(indptr)
        rows = np.flatnonzero(counts)
        if rows.size:
            # The sum of the entries' hashes wraps around modulo 2^64.
            sums[rows] = np.add.reduceat(entry, indptr[rows])
        key = _mix(sums ^ _mix(counts.astype(np.uint64)))
    parts = [(key >> np.uint64(shift)) & np.uint64(0xFFFF) for shift in (0, 16, 32, 48)]
    return np.ascontiguousarray(np.stack(parts, axis=1), dtype=np.float32)
