"""Approximate nearest neighbours: the native search and the dense kNN arrays
that the fuzzy graph takes."""

from __future__ import annotations

import math
from typing import Any, Callable

import numpy as np

from quelmo import _metrics, _native_ext, _progress


def default_knn_params(n_samples: int) -> tuple[int, int, int]:
    """Forest size, descent iterations and leaf size used when not given.

    Chosen from measurements of recall@15 against exact neighbours (see
    benchmarks/README.md): with these settings the search finds at least 95%
    of the true neighbours of a hard 32-dimensional Gaussian mixture at 10^4,
    10^5 and 10^6 points, and 99.8% of those of 10,000 MNIST digits.
    Smaller forests are faster, and on MNIST the embedding does not show it,
    but on the mixture it does: forests that find about 95% at 10^4 points
    or 91-92% at 10^5 lose 0.2 to 0.8 points of the embedding's 5-NN
    accuracy (benchmarks/knn_quality.py).

    The trees split at the median, so leaves hold between leaf_size / 2 and
    leaf_size points; 80 keeps them at 41 to 80 points, where a leaf's
    pairwise comparisons still cost less than the trees they replace.  Recall
    of a fixed forest falls as n grows, so the forest doubles with every
    tenfold increase of n: 32 trees at 10^4 points, 64 at 10^5, 128 at 10^6
    (more trees raise recall and cost time roughly in proportion).  The
    descent stops on its own once an iteration improves little, so the
    iteration cap only bounds the worst case.
    """
    n = max(n_samples, 2)
    leaf_size = 80
    n_iters = int(max(5, round(math.log2(n))))
    if n <= leaf_size:
        return 1, n_iters, leaf_size  # one leaf holds every point: exact
    n_trees = int(min(256, max(8, round(32.0 * 2.0 ** math.log10(n / 10_000.0)))))
    return n_trees, n_iters, leaf_size


def search_knn(data: np.ndarray, n_other: int, *, n_trees: int, n_iters: int,
               leaf_size: int, seed: int, n_threads: int,
               show_progress: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """Run the native search: n_other neighbours per row, the row itself excluded.

    Returns the raw kernel arrays (int32 ids and float32 squared distances,
    each row a max-heap, empty slots -1 / 1e30).  With ``show_progress``,
    bars follow the trees and the descent iterations.

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C, once the search has stopped and freed its memory.
    MemoryError
        When the kernel could not allocate its scratch.
    ValueError
        When the kernel refused the sizes.
    """
    n, d = data.shape
    idx = np.empty((n, n_other), np.int32)
    dist = np.empty((n, n_other), np.float32)
    status = _progress.run_with_progress(
        lambda control: _native_ext.knn_descent_progress_f32(
            data, idx, dist, n, d, n_other, n_trees, n_iters, seed, leaf_size, n_threads,
            control),
        _progress.KNN_STAGES, show_progress)
    if status == _progress.STATUS_STOPPED:
        raise KeyboardInterrupt
    if status == -2:
        raise MemoryError("the nearest-neighbour search could not allocate its scratch memory")
    if status != 0:
        raise ValueError(f"the nearest-neighbour search refused its arguments (status {status}): "
                         f"n_samples={n}, n_features={d}, n_neighbors={n_other + 1}")
    return idx, dist


def fill_empty_slots(data: np.ndarray, idx: np.ndarray, dist: np.ndarray) -> None:
    """Replace unfilled slots, in place, by exact neighbours.

    An unfilled slot would carry a distance of 1e15 into the bandwidth search
    and its floors; the rare rows that have one get an exact search instead.
    """
    rows = np.flatnonzero((idx < 0).any(axis=1))
    if rows.size == 0:
        return
    n_other = idx.shape[1]
    squared_norms = np.einsum("ij,ij->i", data, data, dtype=np.float64)
    for start in range(0, rows.size, 256):
        chunk = rows[start:start + 256]
        block = data[chunk].astype(np.float64)
        d2 = squared_norms[chunk, None] - 2.0 * block @ data.T.astype(np.float64)
        d2 += squared_norms[None, :]
        d2[np.arange(chunk.size), chunk] = np.inf
        nearest = np.argsort(d2, axis=1, kind="stable")[:, :n_other]
        idx[chunk] = nearest
        diff = data[nearest] - data[chunk][:, None, :]
        dist[chunk] = np.einsum("ijk,ijk->ij", diff, diff, dtype=np.float32)


def dense_knn(idx: np.ndarray, squared: np.ndarray,
              convert: Callable[[np.ndarray], np.ndarray] | None = None,
              ) -> tuple[np.ndarray, np.ndarray]:
    """Dense kNN arrays: the point itself in column 0 at distance 0, then the
    neighbours by increasing distance (ties by id, so the order is fixed by
    the values alone).

    ``squared`` holds rank distances (non-negative, ordered as the distances
    are); ``convert`` turns them into distances, by default the square root
    of squared Euclidean distances.
    """
    n, k = idx.shape
    keys = _sorted_row_keys(idx, squared)
    knn_indices = np.empty((n, k + 1), np.int32)
    knn_dists = np.empty((n, k + 1), np.float32)
    knn_indices[:, 0] = np.arange(n, dtype=np.int32)
    knn_dists[:, 0] = 0.0
    knn_indices[:, 1:] = (keys & np.uint64(0xFFFFFFFF)).astype(np.uint32).view(np.int32)
    keys >>= np.uint64(32)
    rank = keys.astype(np.uint32).view(np.float32)
    if convert is None:
        np.sqrt(rank, out=knn_dists[:, 1:])
    else:
        knn_dists[:, 1:] = convert(rank)
    return knn_indices, knn_dists


def _sorted_row_keys(idx: np.ndarray, squared: np.ndarray) -> np.ndarray:
    """Each row's (distance, id) pairs packed into 64-bit keys and sorted.

    A non-negative float32 orders like its bit pattern read as an unsigned
    integer, so the key distance_bits << 32 | id sorts by distance and then
    by id in one pass.  Adding +0.0 turns a -0.0 into +0.0 first, since its
    sign bit would sort it last.  Ids are non-negative here (empty slots are
    filled before), so their unsigned reading keeps their order.
    """
    bits = np.add(squared, np.float32(0.0), dtype=np.float32).view(np.uint32)
    keys = bits.astype(np.uint64)
    keys <<= np.uint64(32)
    keys |= idx.view(np.uint32)
    keys.sort(axis=1)
    return keys


def check_precomputed_knn(precomputed: object, n_samples: int,
                          n_neighbors: int) -> tuple[np.ndarray, np.ndarray]:
    """Validate a caller's (indices, distances) pair and cut it to n_neighbors
    columns.  Column 0 must be the point itself, the rest sorted by distance,
    as in ``knn_indices_`` and ``knn_dists_``."""
    try:
        indices, distances = precomputed  # type: ignore[misc]
    except (TypeError, ValueError):
        raise ValueError("precomputed_knn must be a pair (indices, distances)") from None
    indices = np.asarray(indices)
    distances = np.asarray(distances)
    if indices.ndim != 2 or distances.shape != indices.shape:
        raise ValueError("precomputed_knn indices and distances must be 2-D arrays of one shape")
    if indices.shape[0] != n_samples:
        raise ValueError(f"precomputed_knn has {indices.shape[0]} rows for {n_samples} samples")
    if indices.shape[1] < n_neighbors:
        raise ValueError(f"precomputed_knn has {indices.shape[1]} columns, fewer than "
                         f"n_neighbors={n_neighbors}")
    if indices.dtype.kind not in "iu" or distances.dtype.kind not in "iuf":
        raise ValueError("precomputed_knn needs integer indices and numeric distances")
    indices = np.ascontiguousarray(indices[:, :n_neighbors], dtype=np.int64)
    distances = np.ascontiguousarray(distances[:, :n_neighbors], dtype=np.float32)
    if ((indices < 0) | (indices >= n_samples)).any():
        raise ValueError(f"precomputed_knn indices must lie in [0, {n_samples})")
    if not (indices[:, 0] == np.arange(n_samples)).all():
        raise ValueError("precomputed_knn must list each point itself in column 0")
    if not np.isfinite(distances).all() or (distances < 0).any():
        raise ValueError("precomputed_knn distances must be finite and non-negative")
    return indices.astype(np.int32), distances


def nearest_neighbors(data: Any, metric: _metrics.Metric, n_neighbors: int, *,
                      n_trees: int | None, n_iters: int | None, leaf_size: int | None,
                      seed: int, n_threads: int,
                      show_progress: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """Dense kNN arrays of prepared data (``_metrics.prepare_data``) under a
    metric, with the metric's distances.

    euclidean, sqeuclidean, cosine and correlation on dense data (and
    hamming on dense binary data) run on the Euclidean kNN kernel; every
    other metric, and all sparse data, on the general-metric kernel, whose
    result does not depend on ``n_threads``.  None for a search
    setting chooses it from the number of samples.
    """
    n, d = data.shape
    if _metrics.uses_euclidean_kernel(metric, data):
        default_trees, default_iters, default_leaf = default_knn_params(n)
        idx, squared = search_knn(data, n_neighbors - 1, n_trees=n_trees or default_trees,
                                  n_iters=n_iters or default_iters,
                                  leaf_size=leaf_size or default_leaf, seed=seed,
                                  n_threads=n_threads, show_progress=show_progress)
        fill_empty_slots(data, idx, squared)
        if metric.name in ("euclidean", "cosine", "correlation"):
            return dense_knn(idx, squared)
        return dense_knn(idx, squared, lambda rank: _metrics.true_distances(
            metric, rank, d, euclidean_kernel=True))
    name = _metrics.native_name(metric)
    default_trees, default_iters, default_leaf = metric_knn_params(n)
    n_other = n_neighbors - 1
    idx, rank = search_metric_knn(data, name, metric.p, search_width(metric, data, n_other),
                                  n_trees=n_trees or default_trees,
                                  n_iters=n_iters or default_iters,
                                  leaf_size=leaf_size or default_leaf, seed=seed,
                                  n_threads=n_threads)
    fill_empty_metric_slots(data, name, metric.p, idx, rank, n_threads)
    if idx.shape[1] > n_other:  # rows are sorted: the nearest n_other lead
        idx, rank = np.ascontiguousarray(idx[:, :n_other]), np.ascontiguousarray(
            rank[:, :n_other])
    return dense_knn(idx, rank, lambda r: _metrics.true_distances(
        metric, r, d, euclidean_kernel=False))


def search_width(metric: _metrics.Metric, data: Any, n_other: int) -> int:
    """Neighbours the general-metric search keeps per row for n_other.

    jaccard and dice on sparse data keep half as many again and return the
    nearest n_other.  Their distances take few distinct values (ratios of
    small counts), so a row holds long runs of ties and near-ties at its
    k-th place, and a descent that keeps exactly k stops with many rows one
    or two neighbours short: on the sparse TF-IDF benchmark matrix the wider
    rows raise recall@15 from 0.960 to 0.989 for about 1.5 times the search
    time (benchmarks/README.md).
    """
    n = data.shape[0]
    if metric.name in ("jaccard", "dice") and _metrics.is_sparse(data):
        return min(n - 1, n_other + n_other // 2)
    return n_other


def metric_knn_params(n_samples: int) -> tuple[int, int, int]:
    """Forest size, descent iterations and leaf size of the general-metric
    search when not given.

    Its descent joins whole neighbourhoods (neighbours and reverse
    neighbours), so it needs far fewer trees than the Euclidean search: with
    8 trees of leaves of 21 to 40 points at 10^4 points it finds 99% of the
    exact neighbours of MNIST under manhattan and 97% of those of a sparse
    TF-IDF matrix under cosine, and twice as many trees add less than half a
    point (benchmarks/README.md).  The forest doubles with every tenfold
    increase of n, as for the Euclidean search; the descent stops by itself,
    and the iteration cap only bounds the worst case.
    """
    n = max(n_samples, 2)
    leaf_size = 40
    n_iters = int(max(5, round(math.log2(n))))
    if n <= leaf_size:
        return 1, n_iters, leaf_size  # one leaf holds every point: exact
    n_trees = int(min(64, max(4, round(8.0 * 2.0 ** math.log10(n / 10_000.0)))))
    return n_trees, n_iters, leaf_size


def search_metric_knn(data: Any, name: str, p: float, n_other: int, *, n_trees: int,
                      n_iters: int, leaf_size: int, seed: int,
                      n_threads: int) -> tuple[np.ndarray, np.ndarray]:
    """Run the general-metric search with the native kernel ``name`` on dense
    float32 rows or canonical CSR: n_other neighbours per row, the row itself
    excluded.  Returns ids (int32) and rank distances (float32), each row
    sorted by (distance, id), empty slots -1 / 1e30 at the end."""
    n, d = data.shape
    idx = np.empty((n, n_other), np.int32)
    dist = np.empty((n, n_other), np.float32)
    if _metrics.is_sparse(data):
        indptr, indices, values = csr_buffers(data)
        _native_ext.metric_knn_csr_f32(indptr, indices, values, idx, dist, n, d, n_other, name,
                                       p, n_trees, n_iters, leaf_size, seed, n_threads)
    else:
        _native_ext.metric_knn_f32(data, idx, dist, n, d, n_other, name, p, n_trees, n_iters,
                                   leaf_size, seed, n_threads)
    return idx, dist


def metric_distances(queries: Any, data: Any, name: str, p: float,
                     n_threads: int) -> np.ndarray:
    """Rank distances (float32) from every row of ``queries`` to every row of
    ``data``, both dense float32 or both canonical CSR, by the native kernel
    ``name``."""
    nq, d = queries.shape
    n = data.shape[0]
    out = np.empty((nq, n), np.float32)
    if _metrics.is_sparse(data):
        _native_ext.metric_cross_csr_f32(*csr_buffers(queries), *csr_buffers(data), out, nq,
                                         n, d, name, p, n_threads)
    else:
        _native_ext.metric_cross_f32(queries, data, out, nq, n, d, name, p, n_threads)
    return out


def fill_empty_metric_slots(data: Any, name: str, p: float, idx: np.ndarray,
                            rank: np.ndarray, n_threads: int) -> None:
    """Replace unfilled slots of the general-metric search, in place, by exact
    neighbours (the rare rows that have one get an exact search)."""
    rows = np.flatnonzero((idx < 0).any(axis=1))
    n_other = idx.shape[1]
    block = max(1, min(256, (1 << 24) // max(data.shape[0], 1)))
    for start in range(0, rows.size, block):
        chunk = rows[start:start + block]
        dist = metric_distances(data[chunk], data, name, p, n_threads)
        dist[np.arange(chunk.size), chunk] = np.inf
        nearest = np.argsort(dist, axis=1, kind="stable")[:, :n_other]
        idx[chunk] = nearest
        rank[chunk] = np.take_along_axis(dist, nearest, axis=1)


def csr_buffers(data: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """indptr (int64), indices (int32) and values (float32) of a canonical CSR
    matrix as the native kernels take them (copies only where the types
    differ)."""
    return (np.ascontiguousarray(data.indptr, dtype=np.int64),
            np.ascontiguousarray(data.indices, dtype=np.int32),
            np.ascontiguousarray(data.data, dtype=np.float32))
