"""Supervised graphs: the data's fuzzy graph intersected with the fuzzy set
that a target (class labels or real values) defines on the same edges.

The intersection multiplies the membership of every edge by its membership
in the target's fuzzy set raised to 1 / (1 - target_weight).  With labels
that membership is exp(-2.5) between two different known classes and 1
otherwise (an unknown label, -1, at either end leaves the edge alone).  With
values the target's own neighbour edges (exact, on the real line) join the
data's, and an edge's target membership is that of its tail in the fuzzy
neighbourhood of its head there, never below the exp(-2.5) of two classes.  A row whose strongest edge lost strength is then scaled back up to
its former maximum, so that every point is again fully connected to its
nearest remaining neighbour, and each edge keeps the larger of its two
directions (the fuzzy union that leaves a symmetric graph as it is).  Where
no factor is below 1 the graph comes back unchanged, bit for bit.
"""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse

from quelmo import _graph

UNLABELLED = -1
CATEGORICAL = "categorical"
CONTINUOUS = ("l2", "euclidean")
# Target membership of two points of different classes: a distance of 2.5
# bandwidths.  Raised to 1 / (1 - target_weight), it is exp(-5) at the
# default weight and vanishes at weight 1.
_FAR_MEMBERSHIP = math.exp(-2.5)


def check_target(y: object, n_samples: int, metric: str) -> np.ndarray | None:
    """The target as class codes (int64, -1 unlabelled) for the categorical
    metric or as float64 values otherwise; None when ``y`` is None.

    Labels may be numbers or strings; a numeric -1 marks a point without
    label.  Codes number the other labels in sorted order.
    """
    if y is None:
        return None
    target = np.asarray(y)
    if target.ndim == 2 and target.shape[1] == 1:
        target = target[:, 0]
    if target.ndim != 1:
        raise ValueError(f"y must be 1-D, got shape {target.shape}")
    if target.shape[0] != n_samples:
        raise ValueError(f"y has {target.shape[0]} entries for {n_samples} samples")
    if metric == CATEGORICAL:
        return _class_codes(target)
    if target.dtype.kind not in "biuf":
        raise ValueError(f"y must be numeric for target_metric={metric!r}")
    values = target.astype(np.float64)
    if not np.isfinite(values).all():
        raise ValueError("y contains NaN or infinity")
    return values


def _class_codes(target: np.ndarray) -> np.ndarray:
    numeric = target.dtype.kind in "biuf"
    if target.dtype.kind == "f" and not np.isfinite(target).all():
        raise ValueError("y contains NaN or infinity; mark unlabelled points with -1")
    unlabelled = target == UNLABELLED if numeric else np.zeros(target.shape, bool)
    codes = np.full(target.shape[0], UNLABELLED, np.int64)
    if not unlabelled.all():
        try:
            _, inverse = np.unique(target[~unlabelled], return_inverse=True)
        except TypeError as exc:  # object arrays of mixed types
            raise ValueError(f"y labels could not be ordered: {exc}") from None
        codes[~unlabelled] = inverse.ravel()
    return codes


def steer(graph: scipy.sparse.csr_matrix, target: np.ndarray, *, metric: str, weight: float,
          target_n_neighbors: int) -> scipy.sparse.csr_matrix:
    """The symmetric data graph steered by the target (see the module
    docstring)."""
    if metric == CATEGORICAL:
        weighted = graph.copy()
        weighted.data *= label_factors(graph, target, weight)
    else:
        weighted = value_weighted(graph, target, weight, target_n_neighbors)
    restored = restore_row_maxima(weighted, row_maxima(graph))
    steered = scipy.sparse.csr_matrix(restored.maximum(restored.T), dtype=np.float32)
    steered.eliminate_zeros()
    steered.sort_indices()
    _graph.warn_isolated(steered)
    return steered


def _edge_ends(graph: scipy.sparse.csr_matrix) -> tuple[np.ndarray, np.ndarray]:
    heads = np.repeat(np.arange(graph.shape[0]), np.diff(graph.indptr))
    return heads, graph.indices


def label_factors(graph: scipy.sparse.csr_matrix, codes: np.ndarray,
                  weight: float) -> np.ndarray:
    """Target membership e^-2.5 for an edge between two different known
    classes, 1 for every other edge; as factors (see ``_factors``)."""
    heads, tails = _edge_ends(graph)
    head, tail = codes[heads], codes[tails]
    apart = (head != tail) & (head != UNLABELLED) & (tail != UNLABELLED)
    return _factors(np.where(apart, _FAR_MEMBERSHIP, 1.0), weight)


def value_weighted(graph: scipy.sparse.csr_matrix, values: np.ndarray, weight: float,
                   n_neighbors: int) -> scipy.sparse.csr_matrix:
    """The data graph joined by the target's own neighbour edges and weighted
    by the target (not symmetric).

    The target membership of an edge is that of its tail in the fuzzy
    neighbourhood of its head on the target's line, but no less than that of
    two different classes, e^-2.5.  A data edge keeps its membership times
    the factor; a target edge that is no data edge enters with its head's
    weakest data membership (it lies beyond the head's data neighbours)
    times the factor.
    """
    n = graph.shape[0]
    points = values.astype(np.float32)
    target_indices, target_dists = exact_knn_1d(points, min(n_neighbors, n))
    sigmas, rhos = _graph.bandwidths(target_dists)
    heads, tails = _edge_ends(graph)
    extra_heads = np.repeat(np.arange(n), target_indices.shape[1] - 1)
    extra_tails = target_indices[:, 1:].ravel()
    new = ~np.isin(extra_heads * np.int64(n) + extra_tails, heads * np.int64(n) + tails)
    extra_heads, extra_tails = extra_heads[new], extra_tails[new]
    weakest = np.zeros(n, np.float32)
    filled = np.diff(graph.indptr) > 0
    weakest[filled] = np.minimum.reduceat(graph.data, graph.indptr[:-1][filled])

    all_heads = np.concatenate([heads, extra_heads])
    all_tails = np.concatenate([tails, extra_tails])
    base = np.concatenate([graph.data, weakest[extra_heads]])
    membership = _target_membership(points, sigmas, rhos, all_heads, all_tails)
    weighted = scipy.sparse.csr_matrix(
        (base * _factors(membership, weight), (all_heads, all_tails)), shape=(n, n))
    weighted.sort_indices()
    return weighted


def _target_membership(points: np.ndarray, sigmas: np.ndarray, rhos: np.ndarray,
                       heads: np.ndarray, tails: np.ndarray) -> np.ndarray:
    """The membership formula of the graph kernel on the target's line: 1 up
    to rho, then exp(-(d - rho) / sigma), the quotient in float32; floored
    at the membership of two different classes."""
    beyond = np.abs(points[tails] - points[heads]) - rhos[heads]
    sigma = sigmas[heads]
    inside = (beyond <= 0.0) | (sigma == 0.0)
    quotient = np.divide(beyond, sigma, out=np.zeros_like(beyond), where=~inside)
    membership = np.where(inside, 1.0, np.exp(-quotient.astype(np.float64)))
    return np.maximum(membership, _FAR_MEMBERSHIP)


def _factors(membership: np.ndarray, weight: float) -> np.ndarray:
    """membership^(1 / (1 - weight)) as float32: the membership itself at
    weight 0, its square at 1/2, and at weight 1 nothing but full members."""
    if weight >= 1.0:
        return np.where(membership >= 1.0, np.float32(1.0), np.float32(0.0))
    return (membership ** (1.0 / (1.0 - weight))).astype(np.float32)


def row_maxima(graph: scipy.sparse.csr_matrix) -> np.ndarray:
    """Largest entry of every row (0 for empty rows), float32."""
    maxima = np.zeros(graph.shape[0], np.float32)
    filled = np.diff(graph.indptr) > 0
    maxima[filled] = np.maximum.reduceat(graph.data, graph.indptr[:-1][filled])
    return maxima


def restore_row_maxima(weighted: scipy.sparse.csr_matrix,
                       maxima: np.ndarray) -> scipy.sparse.csr_matrix:
    """``weighted`` with every row whose largest entry fell below ``maxima``
    scaled back up to it; other rows, and rows left all zero, as they are."""
    now = row_maxima(weighted)
    dropped = (now < maxima) & (now > 0.0)
    out = weighted.copy()
    counts = np.diff(out.indptr)
    rows = np.repeat(dropped, counts)
    heads = np.repeat(np.arange(out.shape[0]), counts)[rows]
    out.data[rows] = out.data[rows] / now[heads] * maxima[heads]
    return out


def exact_knn_1d(points: np.ndarray, n_neighbors: int) -> tuple[np.ndarray, np.ndarray]:
    """Exact neighbours of float32 values on the real line in the layout of
    the dense kNN arrays: each point itself first at distance 0, then the
    others by increasing |difference|.  Among equal differences the choice
    is fixed but not by id (only the distances are exact).

    In sorted order the k nearest of a point lie within k places on either
    side, so 2k candidates per point suffice.
    """
    n = points.shape[0]
    k = n_neighbors - 1
    order = np.argsort(points, kind="stable")
    position = np.empty(n, np.int64)
    position[order] = np.arange(n)
    offsets = np.concatenate([np.arange(-k, 0), np.arange(1, k + 1)])
    slots = position[:, None] + offsets[None, :]
    valid = (slots >= 0) & (slots < n)
    candidates = order[np.clip(slots, 0, n - 1)]
    gaps = np.abs(points[candidates] - points[:, None])
    gaps[~valid] = np.inf
    best = np.argsort(gaps, axis=1, kind="stable")[:, :k]
    knn_indices = np.empty((n, k + 1), np.int32)
    knn_dists = np.zeros((n, k + 1), np.float32)
    knn_indices[:, 0] = np.arange(n)
    knn_indices[:, 1:] = np.take_along_axis(candidates, best, axis=1)
    knn_dists[:, 1:] = np.take_along_axis(gaps, best, axis=1)
    return knn_indices, knn_dists
