"""New points on a fitted embedding: the neighbour index a fit keeps, the
query of new points against it, and their layout.

A new point's position is a function of its own values and the fitted model
only.  Its neighbours come from a search whose path depends on nothing but
the point; its random streams are seeded from the model seed and a hash of
its float32 values; its epoch count, edge periods and edge threshold are
fixed by the model.  So a batch, its chunks, single rows, any thread count
and any Dask chunking all give the same bits.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from quelmo import _input, _metric_query, _metrics, _native_ext

# Forest of the query: two trees with leaves of at most 30 points.  The
# graph search does most of the work; the leaves give it a start near the
# query, which matters on clustered data (see benchmarks/README.md).
N_TREES = 2
LEAF_SIZE = 30
# The search keeps at least 96 points (``search_width``) and leaves out the
# candidates farther than (1 + epsilon) times the k-th nearest found.  The
# first rule bounds the work where neighbours are spread out, the second
# ends the search early where they stand out; how far the second may go
# depends on the data, so a fit chooses epsilon (``calibrate_epsilon``).
MIN_SEARCH_WIDTH = 96
EPSILONS = (0.03, 0.05, 0.07, 0.1, 0.14, 0.2)
# Calibration: training points queried as new ones, and the recall a cut
# may lose against the search without one.
CALIBRATION_POINTS = 400
CALIBRATION_LOSS = 0.005
# A cut so wide that it never ends a search: the cut of a model for which no
# value of EPSILONS is good enough (finite, so that model files hold it).
NO_CUT = 1e9
# Blocks of a transform (``block_rows``): about 2^21 values of new points per
# native call (MNIST: 2,674 rows) and between 256 and 16,384 rows, a few
# tenths of a second on two cores at any width: each point's search also has
# a cost that does not depend on the width.
BLOCK_VALUES = 1 << 21
MIN_BLOCK_ROWS = 256
MAX_BLOCK_ROWS = 16384


def search_width(k: int) -> int:
    """Points the query keeps for k neighbours."""
    return max(MIN_SEARCH_WIDTH, 6 * k)


def graph_width(n_neighbors: int) -> int:
    """Row width of the search graph: a point's neighbours and as many of
    the points that list it."""
    return 2 * (n_neighbors - 1)


def transform_epochs(n_epochs: int) -> int:
    """Epochs of the layout of new points: a twenty-fifth of the fit's, at
    least 20.

    A new point starts at the weighted mean of its neighbours' positions,
    close to where it ends, so it needs far fewer epochs than the fit, and a
    smaller learning rate (``TRANSFORM_RATE``): from the fit's full rate, the
    first negative samples throw it out of its neighbourhood.  5-NN accuracy
    of 2,000 new MNIST points (8,000 fitted, mean of three fits): 0.885 at
    their start; 0.902, 0.907, 0.909 after 10, 20 and 30 epochs from a
    quarter of the rate; 0.897, 0.903, 0.905 from half of it.
    """
    return max(20, n_epochs // 25)


# Fraction of the fit's learning rate that the new points start from.
TRANSFORM_RATE = 0.25


class TransformState:
    """What ``UMAP.transform`` needs beyond the embedding and a, b: the
    training data as float32 (rows transformed as the metric's search needs
    them), its kNN arrays, the query forest, the query's cut, the seed of the
    new points' streams, the metric and the fit's layout settings (``ARRAYS``
    and ``NUMBERS``, what a model file holds), and what is derived from them
    (``DERIVED``: the search graph, the data in byte form, the sorted row
    hashes).

    Metrics other than those of ``_metric_query.GRAPH_QUERY_METRICS``, and
    sparse training data, are served by the general metrics' graph search,
    or by an exact scan for small training sets (``metric_graph``): the
    forest is then empty (``n_trees`` 0).  Sparse training data is held as CSR arrays
    (``sparse_indptr``, ``sparse_indices``, ``sparse_values``; empty for
    dense data), and ``data`` holds its row keys
    (``_metric_query.sparse_row_keys``) for the layout.

    All of it is NumPy arrays and plain numbers, so the state pickles as
    data; the derived arrays are left out of a pickle and rebuilt when it is
    loaded.
    """

    ARRAYS = ("data", "knn_indices", "knn_dists", "forest_nodes", "forest_threshold",
              "forest_perm", "sparse_indptr", "sparse_indices", "sparse_values")
    DERIVED = ("graph", "query_seeds", "hash_sorted", "hash_order", "data_bytes",
               "sparse_rows")
    NUMBERS = {"n_trees": int, "leaf_size": int, "epsilon": float, "seed": int,
               "n_epochs": int, "learning_rate": float, "negative_sample_rate": float,
               "gamma": float, "local_connectivity": float, "metric": str, "p": float,
               "sparse_columns": int}
    # Settings that files and pickles written before they existed lack.
    DEFAULTS = {"p": 1.0, "sparse_columns": 0}

    data: np.ndarray
    knn_indices: np.ndarray
    knn_dists: np.ndarray
    forest_nodes: np.ndarray
    forest_threshold: np.ndarray
    forest_perm: np.ndarray
    graph: np.ndarray
    query_seeds: np.ndarray
    data_bytes: np.ndarray
    hash_sorted: np.ndarray
    hash_order: np.ndarray
    n_trees: int
    leaf_size: int
    epsilon: float
    seed: int
    n_epochs: int
    learning_rate: float
    negative_sample_rate: float
    gamma: float
    local_connectivity: float
    metric: str
    p: float
    sparse_columns: int
    sparse_indptr: np.ndarray
    sparse_indices: np.ndarray
    sparse_values: np.ndarray
    sparse_rows: Any

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        for name in self.DERIVED:
            state.pop(name, None)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(self.DEFAULTS)
        for name in ("sparse_indptr", "sparse_indices", "sparse_values"):
            self.__dict__[name] = np.empty(0, np.int64 if name == "sparse_indptr" else
                                           np.int32 if name == "sparse_indices" else np.float32)
        self.__dict__.update(state)
        # Arrays unpickled from a byte stream (Dask's transfers do that) may
        # start at any address; the native methods need 4-byte alignment.
        for name in self.ARRAYS:
            setattr(self, name, aligned(getattr(self, name)))
        self.derive(-1)

    def derive(self, n_threads: int) -> None:
        """Rebuild what is derived from the stored arrays: the search graph
        (and the seeds of the general metrics' search), the training data in
        byte form (empty unless its values are all
        integers 0 ... 255) and the sorted row hashes of the training data;
        the CSR matrix of sparse training data.  The graph is left empty
        where the exact scan serves the metric, the byte form wherever the
        graph query of squared Euclidean distances does not."""
        self.graph = np.empty((0, 0), np.int32)
        self.query_seeds = np.empty(0, np.int32)
        if self.graph_query or self.metric_graph:
            self.graph = search_graph(self.knn_indices, self.knn_dists, n_threads)
        if self.metric_graph:
            self.query_seeds = _metric_query.search_seeds(self.graph)
        if self.graph_query:
            self.data_bytes = byte_form(self.data, n_threads)
        else:
            self.data_bytes = np.empty(0, np.uint8)
        self.hash_sorted, self.hash_order = row_hash_table(self.data, n_threads)
        self.sparse_rows = None
        if self.sparse:
            import scipy.sparse

            n = self.knn_indices.shape[0]
            self.sparse_rows = scipy.sparse.csr_matrix(
                (self.sparse_values, self.sparse_indices, self.sparse_indptr),
                shape=(n, self.n_features))

    @property
    def graph_query(self) -> bool:
        """Whether new points go to the graph query (else the exact scan)."""
        return _metric_query.uses_graph_query(self.metric, self.sparse)

    @property
    def metric_graph(self) -> bool:
        """Whether new points go to the graph search of the general metrics
        (``_metric_query.graph_query``): a metric or sparse fit on enough
        training points."""
        return not self.graph_query and _metric_query.uses_metric_graph(
            int(self.knn_indices.shape[0]))

    @property
    def sparse(self) -> bool:
        """Whether the training data is sparse (held as CSR arrays)."""
        return self.sparse_columns > 0

    @property
    def n_features(self) -> int:
        """Columns of the training data (of its CSR matrix when sparse)."""
        return self.sparse_columns if self.sparse else int(self.data.shape[1])

    @property
    def metric_spec(self) -> _metrics.Metric:
        """The metric as ``_metrics`` takes it."""
        return _metrics.Metric(self.metric, float(self.p), self.metric)


def build_state(data: Any, knn_indices: np.ndarray, knn_dists: np.ndarray, *,
                seed: int, n_epochs: int, learning_rate: float, negative_sample_rate: float,
                gamma: float, metric: str, n_threads: int, p: float = 1.0,
                local_connectivity: float = 1.0) -> TransformState:
    """The state of a fit whose neighbours were searched in ``data`` (dense
    float32 or canonical CSR, rows as the metric's search took them), with
    the layout settings of that fit."""
    n, d = data.shape
    state = TransformState()
    state.metric = metric
    state.p = float(p)
    state.sparse_columns = int(d) if _metrics.is_sparse(data) else 0
    state.knn_indices = knn_indices
    state.knn_dists = knn_dists
    if state.sparse:
        state.sparse_indptr = np.ascontiguousarray(data.indptr, np.int64)
        state.sparse_indices = np.ascontiguousarray(data.indices, np.int32)
        state.sparse_values = np.ascontiguousarray(data.data, np.float32)
        state.data = _metric_query.sparse_row_keys(data)
    else:
        state.sparse_indptr = np.empty(0, np.int64)
        state.sparse_indices = np.empty(0, np.int32)
        state.sparse_values = np.empty(0, np.float32)
        state.data = data
    state.n_trees = N_TREES if state.graph_query else 0
    state.leaf_size = LEAF_SIZE
    per_tree = _native_ext.forest_nodes_per_tree(n, LEAF_SIZE)
    state.forest_nodes = np.empty((state.n_trees * per_tree, 4), np.int32)
    state.forest_threshold = np.empty(state.n_trees * per_tree, np.float32)
    state.forest_perm = np.empty((state.n_trees, n), np.int32)
    if state.graph_query:
        _native_ext.forest_build_f32(data, state.forest_nodes, state.forest_threshold,
                                     state.forest_perm, n, d, N_TREES, LEAF_SIZE, seed,
                                     n_threads)
    state.derive(n_threads)
    state.epsilon = calibrate_epsilon(state, n_threads) if state.graph_query else NO_CUT
    state.seed = int(seed)
    state.n_epochs = transform_epochs(n_epochs)
    state.learning_rate = float(learning_rate) * TRANSFORM_RATE
    state.negative_sample_rate = float(negative_sample_rate)
    state.gamma = float(gamma)
    state.local_connectivity = float(local_connectivity)
    return state


def search_graph(knn_indices: np.ndarray, knn_dists: np.ndarray,
                 n_threads: int) -> np.ndarray:
    """The graph the query walks: per point its neighbours and the points
    that list it, nearest first, ``graph_width`` ids a row padded with -1."""
    n, k = knn_indices.shape
    graph = np.empty((n, graph_width(k)), np.int32)
    _native_ext.search_graph(np.ascontiguousarray(knn_indices, dtype=np.int32),
                             np.ascontiguousarray(knn_dists, dtype=np.float32), graph, n, k,
                             graph.shape[1], n_threads)
    return graph


def byte_form(data: np.ndarray, n_threads: int) -> np.ndarray:
    """The training data as bytes, for the query's integer distance kernel
    (same bits as the float one, a quarter of the memory traffic), or an
    empty array when the data are not all integers 0 ... 255."""
    n, d = data.shape
    stride = 16 * ((d // 8 + 1) // 2)
    if d // 8 > 257 or stride == 0:
        return np.empty(0, np.uint8)
    out = np.empty((n, stride), np.uint8)
    if not _native_ext.bytes_pack_rows(data, out, n, d, n_threads):
        return np.empty(0, np.uint8)
    return out


def row_hash_table(data: np.ndarray, n_threads: int) -> tuple[np.ndarray, np.ndarray]:
    """Row hashes of the training data in increasing order, and the row ids
    in that order (equal hashes by id), to find training rows among new
    points."""
    n, d = data.shape
    hashes = np.empty(n, np.uint64)
    _native_ext.row_hashes(data, hashes, n, d, n_threads)
    order = np.argsort(hashes, kind="stable").astype(np.int32)
    return np.ascontiguousarray(hashes[order]), order


def query(state: TransformState, points: np.ndarray, k: int, n_threads: int, *,
          epsilon: float | None = None,
          exclude: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The k nearest training points of each row of ``points`` (float32,
    prepared as the training data): int32 ids and float32 squared distances,
    nearest first, ties by id.  ``epsilon`` overrides the model's cut;
    ``exclude`` names per row a training point to leave out of its search."""
    n, d = state.data.shape
    m = points.shape[0]
    idx = np.empty((m, k), np.int32)
    sqdist = np.empty((m, k), np.float32)
    graph = state.graph
    skip = np.empty(0, np.int32) if exclude is None else np.ascontiguousarray(exclude, np.int32)
    _native_ext.knn_query_f32(state.data, state.data_bytes, graph, state.forest_nodes,
                              state.forest_threshold, state.forest_perm, points, idx, sqdist,
                              skip, n, d, graph.shape[1], state.n_trees, m, k, search_width(k),
                              state.epsilon if epsilon is None else epsilon, n_threads)
    return idx, sqdist


def calibrate_epsilon(state: TransformState, n_threads: int) -> float:
    """The smallest cut of ``EPSILONS`` that loses at most
    ``CALIBRATION_LOSS`` of recall against no cut, on training points queried
    as new ones (each left out of its own search, its kNN row of the fit
    taken as the truth), or ``NO_CUT`` when none does.

    On MNIST (8,000 points) this picks 0.05 or 0.07, depending on the fit's
    trees; on the 32-dimensional mixture, whose distances are concentrated,
    0.1: there a tighter cut ends the search before the true neighbours are
    reached.  The points are evenly spaced ids and each query is independent
    of the others, so the choice depends on the model alone.
    """
    n = state.data.shape[0]
    k = state.knn_indices.shape[1] - 1
    sample = np.unique(np.linspace(0, n - 1, min(n, CALIBRATION_POINTS)).astype(np.int32))
    points = np.ascontiguousarray(state.data[sample])
    truth = state.knn_indices[sample, 1:]

    def recall(epsilon: float) -> float:
        found = query(state, points, k, n_threads, epsilon=epsilon, exclude=sample)[0]
        return float((found[:, :, None] == truth[:, None, :]).any(axis=2).mean())

    ceiling = recall(NO_CUT)
    for epsilon in EPSILONS:
        if recall(epsilon) >= ceiling - CALIBRATION_LOSS:
            return epsilon
    return NO_CUT


def layout(state: TransformState, embedding: np.ndarray, a: float, b: float,
           points: np.ndarray, idx: np.ndarray, sqdist: np.ndarray,
           n_threads: int) -> np.ndarray:
    """Positions of new points on ``embedding`` from their neighbours (as
    ``query`` returns them)."""
    m, d = points.shape
    n, dim = embedding.shape
    out = np.empty((m, dim), np.float32)
    _native_ext.transform_layout_f32(
        points, idx, sqdist, state.data, embedding, state.hash_sorted, state.hash_order, out,
        m, d, idx.shape[1], n, dim, state.n_epochs,
        a, b, state.gamma, state.learning_rate, state.negative_sample_rate,
        state.local_connectivity, state.seed, n_threads)
    return out


def check_points(X: Any, state: TransformState) -> Any:
    """New points checked for the model's metric, with the fit's number of
    features: C-contiguous float32, or canonical CSR when the model was
    fitted on sparse data (dense points are then converted, which never
    densifies anything).

    Raises
    ------
    ValueError
        For a 1-D array, a wrong number of features, sparse points for a
        model fitted on dense data, data the metric cannot take, and
        everything ``_input.check_data`` refuses (NaN or infinite values
        among them).
    """
    if not hasattr(X, "tocsr") and _dimensions(X) == 1:
        raise ValueError("X must be 2-D, got a 1-D array. Reshape your data with "
                         "X.reshape(-1, 1) for a single feature or X.reshape(1, -1) for a "
                         "single sample.")
    if hasattr(X, "tocsr") and not state.sparse:
        raise ValueError("X is sparse but this UMAP was fitted on dense data; pass a dense "
                         "array (for example X.toarray())")
    if state.sparse and not hasattr(X, "tocsr"):
        import scipy.sparse

        # Sorted columns, no stored zeros; the metric then reads the stored
        # entries as a sparse fit does (the sets of jaccard and dice).
        X = scipy.sparse.csr_matrix(_input.check_data(X))
    data = _metrics.check_data(X, state.metric_spec)
    n_features = state.n_features
    if data.shape[1] != n_features:
        raise ValueError(f"X has {data.shape[1]} features, but UMAP is expecting "
                         f"{n_features} features as input")
    return data


def _dimensions(X: Any) -> int | None:
    """Dimensions of X as an array, or None when it is no array at all (the
    full check then says why)."""
    try:
        return np.asarray(X).ndim
    except Exception:
        return None


def block_rows(n_features: int) -> int:
    """Rows of new points per native call, so that one call takes a
    fraction of a second and Ctrl-C, which Python sees
    between calls, stops a long transform at once.  Each point's position
    depends on nothing but the point, so the blocks change no bit."""
    return min(MAX_BLOCK_ROWS, max(MIN_BLOCK_ROWS, BLOCK_VALUES // max(n_features, 1)))


def transform(state: TransformState, embedding: np.ndarray, a: float, b: float,
              points: Any, n_threads: int,
              disconnection_distance: float = math.inf) -> np.ndarray:
    """Positions of new points (checked by ``check_points``) on the fitted
    embedding.  Neighbours at or beyond ``disconnection_distance`` are left
    out, as in the fit's graph; a point left without any is placed at the
    origin."""
    embedding = aligned(embedding)
    rows = block_rows(points.shape[1])
    if points.shape[0] <= rows:
        return _transform_block(state, embedding, a, b, points, n_threads,
                                disconnection_distance)
    out = np.empty((points.shape[0], embedding.shape[1]), np.float32)
    for start in range(0, points.shape[0], rows):
        out[start:start + rows] = _transform_block(state, embedding, a, b,
                                                   points[start:start + rows], n_threads,
                                                   disconnection_distance)
    return out


def _transform_block(state: TransformState, embedding: np.ndarray, a: float, b: float,
                     points: Any, n_threads: int, disconnection_distance: float) -> np.ndarray:
    """``transform`` of one block of rows in one query and one layout call."""
    metric = state.metric_spec
    points = _metrics.search_rows(points, metric)
    k = state.knn_indices.shape[1] - 1
    if state.graph_query:
        points = aligned(points)
        idx, sqdist = query(state, points, k, n_threads)
        dist = _metrics.true_distances(metric, sqdist, points.shape[1], euclidean_kernel=True)
        rows = points
    else:
        data = state.sparse_rows if state.sparse else state.data
        if state.metric_graph:
            idx, dist = _metric_query.graph_query(data, points, state.graph, state.query_seeds,
                                                  metric, k, n_threads)
        else:
            idx, dist = _metric_query.exact_query(data, points, metric, k, n_threads)
        rows = _metric_query.sparse_row_keys(points) if state.sparse else aligned(points)
    if not state.graph_query or metric.name == "sqeuclidean":
        # The layout takes squared distances and measures memberships by
        # their square roots: the metric's distances, squared.
        sqdist = np.square(dist.astype(np.float64)).astype(np.float32)
    if disconnection_distance < math.inf:
        # Rows are nearest first, so the far ones form a tail, which the
        # layout reads as empty slots.  Compared as the fit compares.
        idx[dist >= np.float64(disconnection_distance)] = -1
    return layout(state, embedding, a, b, rows, idx, sqdist, n_threads)


def aligned(array: np.ndarray) -> np.ndarray:
    """``array``, copied only when it is not C-contiguous and aligned."""
    return np.require(array, requirements=["C", "A"])


def owned(data: Any, source: Any) -> Any:
    """``data``, copied when it is the caller's own array (or shares the
    arrays of the caller's sparse matrix): a model must not change when the
    caller later writes into the data it was fitted on."""
    if isinstance(source, np.ndarray) and np.may_share_memory(data, source):
        return data.copy()
    if _metrics.is_sparse(data) and _metrics.is_sparse(source) and source.format == "csr" \
            and any(np.may_share_memory(getattr(data, a), getattr(source, a))
                    for a in ("data", "indices", "indptr")):
        return data.copy()
    return data


def not_fitted_error(message: str) -> Exception:
    """scikit-learn's NotFittedError when scikit-learn is installed, else an
    error of the same two bases (ValueError and AttributeError)."""
    try:
        from sklearn.exceptions import NotFittedError
    except ImportError:
        return _NotFittedError(message)
    return NotFittedError(message)


class _NotFittedError(ValueError, AttributeError):
    """Raised by ``transform`` before ``fit`` where scikit-learn is absent."""
