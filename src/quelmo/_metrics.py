"""Metrics: names and aliases, what data each accepts, the row transforms that
make some of them Euclidean, and the conversion of the neighbour search's rank
distances into the metric's values."""

from __future__ import annotations

import math
import sys
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from quelmo import _input

if TYPE_CHECKING:
    import scipy.sparse

# Metrics searched by the Euclidean kNN kernel on dense rows, transformed:
# cosine on rows scaled to unit length, correlation on rows centred and then
# scaled.  hellinger, Euclidean on the square roots of rows scaled to unit
# sum, goes to the general-metric search (as squared Euclidean distances),
# which is faster on float rows at the recall it needs.
_EUCLIDEAN_KERNEL = ("euclidean", "sqeuclidean", "cosine", "correlation")
# Metrics with their own native kernels.
_NATIVE = ("manhattan", "chebyshev", "minkowski", "canberra", "braycurtis", "hamming",
           "jaccard", "dice")
_SET_METRICS = ("jaccard", "dice")
METRICS = _EUCLIDEAN_KERNEL + ("hellinger",) + _NATIVE + ("precomputed",)
ALIASES = {"l2": "euclidean", "l1": "manhattan", "cityblock": "manhattan",
           "taxicab": "manhattan", "linfinity": "chebyshev", "linf": "chebyshev",
           "chebychev": "chebyshev"}


class Metric(NamedTuple):
    """A resolved metric.

    name : the canonical metric that the data is searched with (minkowski
        with p = 1, 2 or infinity becomes manhattan, euclidean or chebyshev).
    p : the minkowski exponent (1.0 for every other metric).
    requested : the name the caller gave.
    """

    name: str
    p: float
    requested: str


def resolve_metric(metric: object, metric_kwds: object) -> Metric:
    """Check a metric name (or alias) and its keywords.

    Raises
    ------
    ValueError
        For an unknown metric (the message lists the known ones), keywords
        that the metric does not take, or a bad minkowski exponent.
    """
    if not isinstance(metric, str) or metric.lower() not in METRICS + tuple(ALIASES):
        known = ", ".join(repr(m) for m in METRICS)
        aliases = ", ".join(f"{a!r} ({c})" for a, c in ALIASES.items())
        raise ValueError(f"unknown metric {metric!r}; known metrics are {known}, "
                         f"and the aliases {aliases}")
    requested = metric.lower()
    name = ALIASES.get(requested, requested)
    if metric_kwds is None:
        kwds: dict[str, Any] = {}
    elif isinstance(metric_kwds, dict):
        kwds = dict(metric_kwds)
    else:
        raise ValueError(f"metric_kwds must be a dict or None, got {type(metric_kwds).__name__}")
    allowed = {"p"} if name == "minkowski" else set()
    extra = sorted(set(kwds) - allowed)
    if extra:
        takes = "takes only 'p'" if allowed else "takes no keywords"
        raise ValueError(f"metric {name!r} {takes}; got metric_kwds keys {extra}")
    if name != "minkowski":
        return Metric(name, 1.0, requested)
    p = kwds.get("p", 2.0)
    if isinstance(p, bool) or not isinstance(p, (int, float, np.integer, np.floating)) \
            or math.isnan(p) or p <= 0:
        raise ValueError(f"minkowski needs metric_kwds={{'p': p}} with p > 0, got p={p!r}")
    p = float(p)
    if p == 1.0:
        return Metric("manhattan", 1.0, requested)
    if p == 2.0:
        return Metric("euclidean", 1.0, requested)
    if math.isinf(p):
        return Metric("chebyshev", 1.0, requested)
    return Metric("minkowski", p, requested)


def is_sparse(data: Any) -> bool:
    """Whether ``data`` is a SciPy sparse matrix or array.  Asked without
    importing SciPy: where it was never imported, nothing is sparse."""
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and bool(sparse.issparse(data))


def uses_euclidean_kernel(metric: Metric, data: Any) -> bool:
    """Whether the search runs on the Euclidean kNN kernel: dense data under
    euclidean, sqeuclidean, cosine and correlation, and hamming on dense
    binary data, where the squared distance counts the differing
    coordinates."""
    if is_sparse(data):
        return False
    return metric.name in _EUCLIDEAN_KERNEL or (metric.name == "hamming" and _is_binary(data))


def native_name(metric: Metric) -> str:
    """The name of the native kernel that searches a metric (the Euclidean
    family as squared distances on its transformed rows)."""
    if metric.name in ("euclidean", "sqeuclidean", "cosine", "hellinger"):
        return "sqeuclidean"
    return metric.name


def prepare_data(X: Any, metric: Metric) -> Any:
    """Validated data, transformed as the search of the metric needs it
    (``check_data`` then ``search_rows``, in place where the check made a
    copy)."""
    data = check_data(X, metric)
    return search_rows(data, metric, in_place=is_copy(data, X))


def is_copy(data: Any, source: Any) -> bool:
    """True when the dense array ``data`` (from ``check_data(source)``) is a
    copy of its own, which the row transforms may then overwrite: so far
    only known for NumPy sources, whose memory it does not share."""
    return (isinstance(data, np.ndarray) and isinstance(source, np.ndarray)
            and not np.may_share_memory(data, source))


def check_data(X: Any, metric: Metric) -> Any:
    """Validated data for a metric, not yet transformed.

    Dense input becomes C-contiguous float32; sparse input canonical CSR
    (float32 values, sorted int32 column indices, no duplicates, no stored
    zeros), copied at most once and never made dense; a precomputed matrix
    keeps its stored zeros (distance 0 is a neighbour).

    Raises
    ------
    ValueError
        For data the metric cannot take: negative values for hellinger,
        non-binary dense data for jaccard and dice, a precomputed matrix that
        is not square or holds negative distances; and everything that
        ``_input.check_data`` refuses.
    """
    name = metric.name
    if is_sparse(X):
        data = _input.check_sparse(X, keep_zeros=name == "precomputed")
    else:
        data = _input.check_data(X)
    if name == "precomputed":
        return _check_distance_matrix(data)
    if name == "hellinger" and _min_value(data) < 0:
        raise ValueError("hellinger needs non-negative data")
    if name in _SET_METRICS and not is_sparse(data) and not _is_binary(data):
        raise ValueError(f"{name} on dense data needs binary values (0 or 1, or booleans); "
                         f"pass a boolean array, or a sparse matrix whose stored entries "
                         f"form the sets")
    return data


def search_rows(data: Any, metric: Metric, in_place: bool = False) -> Any:
    """Checked data (``check_data``) with the row transform of its metric:
    cosine scales rows to unit length, correlation centres dense rows first
    (sparse rows are only scaled: the kernel accounts for the means),
    hellinger takes the square roots of rows scaled to unit sum.  Each row
    is transformed on its own, so new points get the training rows'
    transform.  With ``in_place`` dense rows are transformed in ``data``
    itself (the same values, without a second matrix)."""
    if in_place or is_sparse(data):
        return _transformed_rows(data, metric, in_place)
    with _input.without_hugepage_advice():  # a fresh copy: see there why
        return _transformed_rows(data, metric, in_place)


def _transformed_rows(data: Any, metric: Metric, in_place: bool) -> Any:
    name = metric.name
    dense_in_place = in_place and not is_sparse(data)
    if name == "cosine" or (name == "correlation" and is_sparse(data)):
        if dense_in_place:
            return _input.normalize_rows(data, in_place=True)
        return _normalize(data)
    if name == "correlation":
        means = data.mean(axis=1, dtype=np.float64, keepdims=True).astype(np.float32)
        centred = np.subtract(data, means, out=data) if dense_in_place else data - means
        return _input.normalize_rows(centred, in_place=True)
    if name == "hellinger":
        return _hellinger_rows(data, dense_in_place)
    return data


def true_distances(metric: Metric, rank: np.ndarray, n_features: int,
                   euclidean_kernel: bool) -> np.ndarray:
    """The metric's distances (float32) from the search's rank distances:
    squared Euclidean distances from the Euclidean kernel, the native
    kernels' values otherwise.

    cosine and correlation are reported as the Euclidean distance between the
    transformed rows, sqrt(2 d) for the metric's value d: the same order of
    neighbours, and the distances of the Euclidean path as they always were.
    """
    name = metric.name
    rank = np.asarray(rank, np.float32)
    if name == "hellinger":
        return np.sqrt(rank.astype(np.float64) / 2.0).astype(np.float32)
    if name == "hamming" and euclidean_kernel:
        return (rank.astype(np.float64) / float(n_features)).astype(np.float32)
    if name == "minkowski":
        return np.power(rank.astype(np.float64), 1.0 / metric.p).astype(np.float32)
    if name in ("euclidean", "cosine", "correlation"):
        return np.sqrt(rank)
    return rank


def _normalize(data: np.ndarray | scipy.sparse.csr_matrix) -> Any:
    if not is_sparse(data):
        return _input.normalize_rows(data)
    return _scaled_rows(data, np.sqrt(_row_sums(data, np.square)))


def _hellinger_rows(data: np.ndarray | scipy.sparse.csr_matrix, in_place: bool = False) -> Any:
    if not is_sparse(data):
        sums = data.sum(axis=1, dtype=np.float64)
        sums[sums == 0.0] = 1.0
        # Double precision a few rows at a time (2 MB temporaries), into the
        # float32 result: the values of one whole-matrix expression without
        # its large temporaries.  Each step reads its rows before it writes
        # them, so the result may be data itself.
        roots = data if in_place else np.empty(data.shape, dtype=np.float32)
        step = max(1, (1 << 18) // max(data.shape[1], 1))
        for r0 in range(0, data.shape[0], step):
            r1 = r0 + step
            roots[r0:r1] = np.sqrt(data[r0:r1] / sums[r0:r1, None])
        return roots
    scaled = _scaled_rows(data, _row_sums(data, None))
    np.sqrt(scaled.data, out=scaled.data)
    return scaled


# Rows handled at once by the sparse row operations, so that their
# temporaries stay small next to the matrix.
_ROW_BLOCK = 4096


def _row_sums(data: scipy.sparse.csr_matrix, fn: Any) -> np.ndarray:
    """Sum over each row of its stored values (through ``fn`` when given), in
    double precision."""
    n = data.shape[0]
    sums = np.zeros(n)
    for r0 in range(0, n, _ROW_BLOCK):
        ptr = data.indptr[r0:min(r0 + _ROW_BLOCK, n) + 1]
        values = data.data[ptr[0]:ptr[-1]].astype(np.float64)
        if fn is not None:
            values = fn(values)
        rows = np.flatnonzero(np.diff(ptr))
        if rows.size:
            sums[r0 + rows] = np.add.reduceat(values, ptr[rows] - ptr[0])
    return sums


def _scaled_rows(data: scipy.sparse.csr_matrix, divisors: np.ndarray) -> scipy.sparse.csr_matrix:
    """A CSR matrix with each row's values divided by its divisor (new values,
    shared structure; a divisor of 0 belongs to an empty row).  Values that
    underflow to zero are dropped, so that no zero is stored."""
    n = data.shape[0]
    divisors = np.where(divisors > 0.0, divisors, 1.0)
    values = np.empty_like(data.data, dtype=np.float32)
    for r0 in range(0, n, _ROW_BLOCK):
        r1 = min(r0 + _ROW_BLOCK, n)
        lo, hi = data.indptr[r0], data.indptr[r1]
        per_entry = np.repeat(divisors[r0:r1], np.diff(data.indptr[r0:r1 + 1]))
        values[lo:hi] = data.data[lo:hi] / per_entry
    import scipy.sparse

    out = scipy.sparse.csr_matrix((values, data.indices, data.indptr), shape=data.shape)
    if not values.all():
        out.eliminate_zeros()
    return out


def _is_binary(data: np.ndarray) -> bool:
    return bool(np.all((data == 0) | (data == 1)))


def _min_value(data: np.ndarray | scipy.sparse.csr_matrix) -> float:
    values = data.data if is_sparse(data) else data
    return float(values.min()) if values.size else 0.0


def _check_distance_matrix(data: Any) -> Any:
    n, m = data.shape
    if n != m:
        raise ValueError(f"metric='precomputed' needs a square distance matrix, got shape "
                         f"{data.shape}")
    if _min_value(data) < 0:
        raise ValueError("metric='precomputed' needs non-negative distances")
    return data
