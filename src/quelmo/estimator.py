"""The scikit-learn style UMAP estimator."""

from __future__ import annotations

import inspect
import math
import os
import sys
import time
from typing import TYPE_CHECKING, Any

import numpy as np

from quelmo import _duplicates, _input, _layout, _metrics, _neighbors, _output, _transform

if TYPE_CHECKING:
    import scipy.sparse

_UINT63 = 2**63


class UMAP:
    """Uniform manifold approximation and projection on native kernels.

    Parameters
    ----------
    n_neighbors : int, default=15
        Size of the local neighbourhood, the point itself included.  Larger
        values favour global structure.  Reduced, with a warning, to the
        number of samples when larger.
    n_components : int, default=2
        Dimension of the embedding.
    min_dist : float, default=0.1
        Smallest distance between embedded points the curve allows.
    spread : float, default=1.0
        Scale of the embedded points, together with ``min_dist``.
    n_epochs : int or None, default=None
        Optimisation epochs: 500 for up to 10,000 samples, 200 above.
    learning_rate : float, default=1.0
        Initial SGD learning rate (it decays linearly to 0).
    negative_sample_rate : float, default=5
        Negative samples per positive edge sample.
    repulsion_strength : float, default=1.0
        Weight of the negative samples.
    init : {"spectral", "pca", "random"} or array of shape (n_samples, n_components)
        Initial embedding.
    metric : str, default="euclidean"
        Distance between samples: "euclidean" (alias "l2"), "sqeuclidean",
        "cosine", "correlation", "manhattan" ("l1", "cityblock", "taxicab"),
        "chebyshev" ("linfinity"), "minkowski" (exponent ``p`` in
        ``metric_kwds``, default 2), "canberra", "braycurtis", "hamming",
        "jaccard", "dice" (on binary data; on sparse data, on the sets of
        stored entries, as is hamming), "hellinger" (non-negative data), or
        "precomputed": ``X`` is then a square matrix of distances, dense or
        sparse (in a sparse one, entries that are not stored are not
        neighbours).
    metric_kwds : dict or None, default=None
        Keywords of the metric; only minkowski takes one, ``{"p": p}``.
    a, b : float or None, default=None
        Curve parameters; fitted from ``min_dist`` and ``spread`` when None.
    random_state : int, numpy Generator or RandomState, or None
        Root of every random choice.  None draws fresh entropy.
    n_jobs : int, default=-1
        Threads for the neighbour search and the layout; -1 means every
        processor, -2 all but one, and so on.
    n_trees, n_iters, leaf_size : int or None, default=None
        Forest size, descent iterations and leaf size of the neighbour search;
        None chooses them from the number of samples.
    local_connectivity : float, default=1.0
        Number of nearest neighbours each point is taken to be fully
        connected to; a fractional part interpolates.  Larger values give a
        more connected graph.
    set_op_mix_ratio : float, default=1.0
        How the two directions of an edge combine: 1 is the fuzzy union
        a + b - ab, 0 the fuzzy intersection ab, values between mix them.
    disconnection_distance : float, default=inf
        Neighbours at this distance or farther give no edge.  A point left
        without edges keeps its initial position (with a warning).
    unique : bool, default=False
        Embed each distinct row once; repeated rows get the position of
        their first occurrence (and its label, in a supervised fit).
    target_metric : {"categorical", "l2", "euclidean"}, default="categorical"
        How ``y`` in ``fit(X, y)`` is read: class labels (-1 marks an
        unlabelled point) or real values.
    target_n_neighbors : int, default=-1
        Neighbours of the graph of real-valued targets; -1 uses
        ``n_neighbors``.
    target_weight : float, default=0.5
        Weight of the target against the data, from 0 (data only) to 1
        (target only; with labels, no edge joins two classes).
    precomputed_knn : tuple (indices, distances) or None, default=None
        Neighbours to use instead of searching: two arrays of shape
        (n_samples, >= n_neighbors), each point itself in column 0 at distance
        0, the rest by increasing distance.
    verbose : bool, default=False
        Print one line per stage, with its time, to standard error, and show
        live progress bars of the neighbour search (trees, then descent
        iterations) and of the layout (epochs), with rate and time left.

    Attributes
    ----------
    embedding_ : ndarray of shape (n_samples, n_components), float32
    graph_ : scipy.sparse.csr_matrix of shape (n_samples, n_samples)
        The symmetric fuzzy graph (steered by ``y`` in a supervised fit).
    knn_indices_, knn_dists_ : ndarray of shape (n_samples, n_neighbors)
        Neighbour ids (int32) and distances in the metric (float32), each
        point itself first.  cosine and correlation distances are given as
        the Euclidean distance sqrt(2 d) between the rows scaled to unit
        length (and centred, for correlation), which orders neighbours as d.
        With a sparse precomputed matrix, id -1 marks a missing neighbour.
        With ``unique=True``, ``graph_`` and these arrays index the distinct
        rows only.
    a_, b_ : float
        Curve parameters used.
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Column names of a data frame ``X`` (only when all are strings).
    timings_ : dict of str to float
        Seconds spent in each stage ("knn", "graph", "init", "layout", and
        "index": the index that ``transform`` searches).

    Notes
    -----
    Reproducibility: the same input, ``random_state`` and ``n_jobs`` give a
    bit-identical embedding.  ``n_jobs`` is part of the result, not only of
    the speed: the neighbour search builds its trees in per-thread groups and
    the layout sums per-thread gradients, so another thread count (or
    ``n_jobs=-1`` on a machine with another processor count) gives another,
    equally good, embedding.
    """

    def __init__(
        self,
        n_neighbors: int = 15,
        n_components: int = 2,
        min_dist: float = 0.1,
        spread: float = 1.0,
        n_epochs: int | None = None,
        learning_rate: float = 1.0,
        negative_sample_rate: float = 5,
        repulsion_strength: float = 1.0,
        init: str | np.ndarray = "spectral",
        metric: str = "euclidean",
        metric_kwds: dict | None = None,
        a: float | None = None,
        b: float | None = None,
        random_state: int | np.random.Generator | np.random.RandomState | None = None,
        n_jobs: int = -1,
        n_trees: int | None = None,
        n_iters: int | None = None,
        leaf_size: int | None = None,
        local_connectivity: float = 1.0,
        set_op_mix_ratio: float = 1.0,
        disconnection_distance: float = math.inf,
        unique: bool = False,
        target_metric: str = "categorical",
        target_n_neighbors: int = -1,
        target_weight: float = 0.5,
        precomputed_knn: tuple[np.ndarray, np.ndarray] | None = None,
        verbose: bool = False,
    ) -> None:
        self.n_neighbors = n_neighbors
        self.n_components = n_components
        self.min_dist = min_dist
        self.spread = spread
        self.n_epochs = n_epochs
        self.learning_rate = learning_rate
        self.negative_sample_rate = negative_sample_rate
        self.repulsion_strength = repulsion_strength
        self.init = init
        self.metric = metric
        self.metric_kwds = metric_kwds
        self.a = a
        self.b = b
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.n_trees = n_trees
        self.n_iters = n_iters
        self.leaf_size = leaf_size
        self.local_connectivity = local_connectivity
        self.set_op_mix_ratio = set_op_mix_ratio
        self.disconnection_distance = disconnection_distance
        self.unique = unique
        self.target_metric = target_metric
        self.target_n_neighbors = target_n_neighbors
        self.target_weight = target_weight
        self.precomputed_knn = precomputed_knn
        self.verbose = verbose

    # -- scikit-learn protocol ------------------------------------------------

    @classmethod
    def _get_param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return sorted(name for name in signature.parameters if name != "self")

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """Parameters of this estimator, by name."""
        return {name: getattr(self, name) for name in self._get_param_names()}

    def set_params(self, **params: Any) -> UMAP:
        """Set parameters by name; returns self."""
        valid = set(self._get_param_names())
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"invalid parameter {name!r} for UMAP; "
                                 f"valid parameters are {sorted(valid)}")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {name: p.default for name, p in
                    inspect.signature(type(self).__init__).parameters.items()}
        changed = []
        for name in self._get_param_names():
            value = getattr(self, name)
            default = defaults[name]
            same = value is default or (
                not isinstance(value, np.ndarray) and not isinstance(default, np.ndarray)
                and type(value) is type(default) and value == default)
            if not same:
                shown = "array" if isinstance(value, np.ndarray) else repr(value)
                changed.append(f"{name}={shown}")
        return f"UMAP({', '.join(changed)})"

    def __sklearn_tags__(self):  # called by scikit-learn only, which is then imported
        from sklearn.utils import Tags, TargetTags, TransformerTags

        tags = Tags(estimator_type=None, target_tags=TargetTags(required=False),
                    transformer_tags=TransformerTags(preserves_dtype=["float32"]))
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = True
        tags.non_deterministic = False
        return tags

    # -- fitting ----------------------------------------------------------------

    def fit(self, X: Any, y: Any = None) -> UMAP:
        """Embed ``X``; the result is in ``embedding_``.

        Parameters
        ----------
        X : array-like or SciPy sparse matrix of shape (n_samples, n_features)
            Finite numeric data, at least 2 samples; sparse data is never
            made dense.  With ``metric="precomputed"``, the square matrix of
            distances.
        y : array-like of shape (n_samples,) or None
            Target of a supervised fit: class labels (-1: unlabelled) or,
            with ``target_metric="l2"``, real values.  None: unsupervised.

        Returns
        -------
        self : UMAP

        Raises
        ------
        KeyboardInterrupt
            On Ctrl-C.  The neighbour search and the layout stop within a
            fraction of a second, with their threads joined and their memory
            freed; the other stages stop when they next return to Python.
            The estimator keeps what it had before the call: no fitted
            attribute is set or changed.
        """
        # The graph and initialisation stages bring in SciPy: imported here,
        # so that loading a model and transforming with it does not pay for it.
        from quelmo import _graph, _init, _precomputed, _supervised

        params = self._checked_params()
        metric = params["metric"]
        data = _metrics.check_data(X, metric)
        target = _supervised.check_target(y, data.shape[0], self.target_metric)
        n_rows, d = data.shape
        keep = inverse = None
        if params["unique"] and _metrics.is_sparse(data):
            raise ValueError("unique=True needs dense data; sparse rows are not searched for "
                             "duplicates")
        if params["unique"]:
            keep, inverse = _duplicates.distinct_rows(data)
            data = data[keep]
            target = None if target is None else target[keep]
        # The fit keeps only the transformed rows, so a copy of the caller's
        # data (or the distinct rows) is transformed where it is.
        data = _metrics.search_rows(data, metric,
                                    in_place=keep is not None or _metrics.is_copy(data, X))
        n = data.shape[0]
        n_neighbors = _input.effective_n_neighbors(params["n_neighbors"], n)
        n_epochs = params["n_epochs"] if params["n_epochs"] is not None else (
            500 if n <= 10_000 else 200)
        knn_seed, layout_seed, init_rng = _derive_seeds(self.random_state)
        n_threads = _resolve_n_jobs(self.n_jobs)
        timings: dict[str, float] = {}

        start = time.perf_counter()
        if self.precomputed_knn is not None:
            knn_indices, knn_dists = _neighbors.check_precomputed_knn(
                self.precomputed_knn, n, n_neighbors)
        elif metric.name == "precomputed":
            knn_indices, knn_dists = _precomputed.knn_from_distances(data, n_neighbors)
        else:
            knn_indices, knn_dists = _neighbors.nearest_neighbors(
                data, metric, n_neighbors, n_trees=params["n_trees"], n_iters=params["n_iters"],
                leaf_size=params["leaf_size"], seed=knn_seed, n_threads=n_threads,
                show_progress=bool(self.verbose))
        self._stage(timings, "knn", start)

        start = time.perf_counter()
        graph = _graph.fuzzy_graph(
            knn_indices, knn_dists, local_connectivity=params["local_connectivity"],
            set_op_mix_ratio=params["set_op_mix_ratio"],
            disconnection_distance=params["disconnection_distance"])
        if target is not None:
            graph = _supervised.steer(
                graph, target, metric=self.target_metric, weight=params["target_weight"],
                target_n_neighbors=params["target_n_neighbors"] or n_neighbors)
        self._stage(timings, "graph", start)

        start = time.perf_counter()
        with _init.single_threaded_blas():
            embedding = self._initial_embedding(graph, data, init_rng, keep, n_rows)
        self._stage(timings, "init", start)

        if self.a is None or self.b is None:
            a, b = _layout.find_ab_params(params["spread"], params["min_dist"])
        else:
            a, b = params["a"], params["b"]

        # The edge list is made after the initialisation, the fit's largest
        # transient, so that the two are never held at once.
        start = time.perf_counter()
        head, tail, epochs_per_sample = _graph.edge_list(graph, n_epochs)
        _layout.optimize_layout(
            embedding, head, tail, epochs_per_sample, n_epochs=n_epochs, a=a, b=b,
            gamma=params["repulsion_strength"], learning_rate=params["learning_rate"],
            negative_sample_rate=params["negative_sample_rate"], seed=layout_seed,
            n_threads=n_threads, show_progress=bool(self.verbose))
        self._stage(timings, "layout", start)

        # The index of new points is built after the layout, whose edge list
        # and plan are then gone: the fit's peak memory holds one or the
        # other, not both.
        del head, tail, epochs_per_sample
        start = time.perf_counter()
        transform_state = None
        if self.precomputed_knn is None and metric.name != "precomputed":
            transform_state = _transform.build_state(
                _transform.owned(data, X), knn_indices, knn_dists, seed=layout_seed,
                n_epochs=n_epochs, learning_rate=params["learning_rate"],
                negative_sample_rate=params["negative_sample_rate"],
                gamma=params["repulsion_strength"], metric=metric.name, p=metric.p,
                local_connectivity=params["local_connectivity"], n_threads=n_threads)
        self._stage(timings, "index", start)

        self.embedding_ = embedding if inverse is None else embedding[inverse]
        self.graph_ = graph
        self.knn_indices_ = knn_indices
        self.knn_dists_ = knn_dists
        self.a_ = float(a)
        self.b_ = float(b)
        self.n_features_in_ = d
        names = _output.input_feature_names(X)
        if names is not None:
            self.feature_names_in_ = names
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        self.timings_ = timings
        self._transform_state = transform_state
        # With unique=True the index, the kNN arrays and the graph hold the
        # distinct rows only: their positions are embedding_[_distinct_rows].
        self._distinct_rows = keep
        # A graph steered by y cannot be rebuilt from the kNN arrays: a
        # saved model keeps it.
        self._graph_steered = target is not None
        return self

    def fit_transform(self, X: Any, y: Any = None) -> Any:
        """Embed ``X`` and return the embedding (float32, n_samples x
        n_components; a data frame after ``set_output(transform="pandas")``)."""
        embedding = self.fit(X, y).embedding_
        return self._as_output(embedding, X)

    # -- scikit-learn output conventions ----------------------------------------

    def get_feature_names_out(self, input_features: Any = None) -> np.ndarray:
        """Names of the embedding's columns: ``umap0``, ``umap1``, ..."""
        if not hasattr(self, "embedding_"):
            raise _transform.not_fitted_error(
                "This UMAP instance is not fitted yet. Call 'fit' with appropriate "
                "arguments before using this estimator.")
        return _output.output_feature_names(self.embedding_.shape[1], input_features,
                                            self.n_features_in_,
                                            getattr(self, "feature_names_in_", None))

    def set_output(self, *, transform: str | None = None) -> UMAP:
        """Choose the container of ``fit_transform``'s result: "default" (a
        NumPy array), "pandas" or "polars" (a data frame with the columns of
        ``get_feature_names_out``); None leaves the choice as it is."""
        if transform is not None:
            # scikit-learn's clone() copies this attribute, so the choice
            # survives cloning inside pipelines and searches.
            config = dict(getattr(self, "_sklearn_output_config", {}))
            config["transform"] = _output.check_format(transform)
            self._sklearn_output_config = config
        return self

    def _as_output(self, embedding: np.ndarray, X: Any) -> Any:
        fmt = _output.chosen_format(getattr(self, "_sklearn_output_config", {}))
        if fmt == "default":
            return embedding
        return _output.as_container(embedding, X, self.get_feature_names_out(), fmt)

    def transform(self, X: Any) -> Any:
        """Place new points on the fitted embedding.

        Each row is placed on its own: its nearest training points, its
        membership strengths to them by the rules of the fit, a start at
        their strength-weighted mean position, then the fit's optimisation
        of that point alone with the fitted embedding held fixed.  A row's
        position depends only on its values and the fitted model: not on the
        other rows, their order, the batching, ``n_jobs`` or a Dask chunking.

        A row equal, bit for bit, to a row of the training data gets that
        row's fitted position, so ``transform`` of the training data returns
        ``embedding_``; any other row is placed as described.

        Neighbours are found in the fit's metric.  Dense euclidean,
        sqeuclidean, cosine and correlation fits use an approximate graph
        search over an index kept by the fit; every other metric, and a fit
        on sparse data, an exact scan of the training data (time in
        proportion to the number of training points).

        Parameters
        ----------
        X : array-like, SciPy sparse matrix or dask.array.Array of shape (n_samples, n_features)
            Finite numeric data with the features of the fit.  Sparse points
            need a fit on sparse data (dense points are accepted there too).
            A Dask array gives a Dask array, transformed block by block.

        Returns
        -------
        ndarray of shape (n_samples, n_components), float32, or a Dask array

        Raises
        ------
        sklearn.exceptions.NotFittedError
            Before ``fit``.
        ValueError
            For a model fitted from ``precomputed_knn`` or on
            ``metric="precomputed"`` (it keeps no training data), a wrong
            number of features, data the metric cannot take, or NaN or
            infinite values.
        """
        self._checked_transform_state()
        if _dask_array(X):
            from quelmo import _dask

            return _dask.transform_blocks(self, X)
        return self._as_output(self._transform_array(X), X)

    def _transform_array(self, X: Any) -> np.ndarray:
        """``transform`` of an in-memory array, always as a NumPy array."""
        state = self._checked_transform_state()
        data = _transform.check_points(X, state)
        keep = self.__dict__.get("_distinct_rows")
        embedding = self.embedding_ if keep is None else self.embedding_[keep]
        return _transform.transform(state, embedding, self.a_, self.b_, data,
                                    _resolve_n_jobs(self.n_jobs),
                                    disconnection_distance=float(self.disconnection_distance))

    def __getattr__(self, name: str) -> Any:
        # A model read by quelmo.load builds its fuzzy graph on first use
        # (from its kNN arrays and graph options, or from the stored arrays of
        # a graph steered by y), so that loading a model to transform with it
        # neither computes the graph nor imports SciPy.
        if name == "graph_" and self.__dict__.get("_graph_from_knn"):
            import warnings

            from quelmo import _graph

            stored = self.__dict__.get("_graph_arrays")
            if stored is not None:
                import scipy.sparse

                self.graph_ = scipy.sparse.csr_matrix(stored, shape=(stored[2].size - 1,) * 2)
            else:
                with warnings.catch_warnings():  # the fit has warned of isolated points
                    warnings.simplefilter("ignore")
                    self.graph_ = _graph.fuzzy_graph(
                        self.knn_indices_, self.knn_dists_,
                        local_connectivity=float(self.local_connectivity),
                        set_op_mix_ratio=float(self.set_op_mix_ratio),
                        disconnection_distance=float(self.disconnection_distance))
            self.__dict__.pop("_graph_arrays", None)
            del self.__dict__["_graph_from_knn"]
            return self.graph_
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def save(self, path: str | os.PathLike) -> None:
        """Write the fitted model to ``path``; ``quelmo.load`` reads it back.

        The file holds data only (a JSON header and arrays): the parameters,
        the embedding, the kNN arrays, and for ``transform`` the training data
        as float32 and the query forest.  A loaded model transforms new points
        to the same bits.
        """
        from quelmo import _persist

        _persist.save(self, path)

    def _checked_transform_state(self) -> _transform.TransformState:
        if not hasattr(self, "embedding_"):
            raise _transform.not_fitted_error(
                "This UMAP instance is not fitted yet. Call 'fit' with appropriate "
                "arguments before using this estimator.")
        state = getattr(self, "_transform_state", None)
        if state is None and _metrics.resolve_metric(self.metric,
                                                      self.metric_kwds).name == "precomputed":
            raise ValueError("this UMAP was fitted with metric='precomputed': it holds "
                             "distances, not data, so it cannot place new points; fit it on "
                             "the data with the metric the distances come from")
        if state is None:
            raise ValueError("this UMAP was fitted from precomputed_knn and keeps no index of "
                             "its training data, so it cannot transform new points; fit it "
                             "without precomputed_knn")
        return state

    # -- helpers ----------------------------------------------------------------

    def _checked_params(self) -> dict[str, Any]:
        chk_i, chk_f = _input.check_int, _input.check_float
        p: dict[str, Any] = {
            "n_neighbors": chk_i(self.n_neighbors, "n_neighbors", 2),
            "n_components": chk_i(self.n_components, "n_components", 1),
            "min_dist": chk_f(self.min_dist, "min_dist", non_negative=True),
            "spread": chk_f(self.spread, "spread", positive=True),
            "n_epochs": None if self.n_epochs is None else chk_i(self.n_epochs, "n_epochs", 1),
            # The layout kernel takes these as float32.
            "learning_rate": chk_f(self.learning_rate, "learning_rate", positive=True,
                                   float32=True),
            "negative_sample_rate": chk_f(self.negative_sample_rate, "negative_sample_rate",
                                          positive=True, float32=True),
            "repulsion_strength": chk_f(self.repulsion_strength, "repulsion_strength",
                                        non_negative=True, float32=True),
            "a": None if self.a is None else chk_f(self.a, "a", positive=True, float32=True),
            "b": None if self.b is None else chk_f(self.b, "b", positive=True, float32=True),
        }
        if p["min_dist"] > p["spread"]:
            raise ValueError(f"min_dist ({p['min_dist']}) must not exceed spread ({p['spread']})")
        for name in ("n_trees", "n_iters", "leaf_size"):
            value = getattr(self, name)
            p[name] = None if value is None else chk_i(value, name, 1)
        p.update(self._checked_graph_params())
        p["metric"] = _metrics.resolve_metric(self.metric, self.metric_kwds)
        if p["unique"] and p["metric"].name == "precomputed":
            raise ValueError("unique=True cannot be combined with metric='precomputed', whose "
                             "rows are distances to every row")
        if isinstance(self.init, str) and self.init not in ("spectral", "pca", "random"):
            raise ValueError(f"init must be 'spectral', 'pca', 'random' or an array, "
                             f"got {self.init!r}")
        if isinstance(self.init, str) and self.init == "pca" and p["metric"].name == "precomputed":
            raise ValueError("init='pca' needs the data, not distances; use 'spectral' or "
                             "'random' with metric='precomputed'")
        return p

    def _checked_graph_params(self) -> dict[str, Any]:
        chk_f = _input.check_float
        p: dict[str, Any] = {
            "local_connectivity": chk_f(self.local_connectivity, "local_connectivity",
                                        non_negative=True),
            "set_op_mix_ratio": _check_unit(self.set_op_mix_ratio, "set_op_mix_ratio"),
            "target_weight": _check_unit(self.target_weight, "target_weight"),
        }
        distance = self.disconnection_distance
        if isinstance(distance, bool) or not isinstance(distance, (int, float, np.number)) \
                or not float(distance) > 0.0:
            raise ValueError(f"disconnection_distance must be a positive number (inf for "
                             f"none), got {distance!r}")
        p["disconnection_distance"] = float(distance)
        if not isinstance(self.unique, (bool, np.bool_)):
            raise ValueError(f"unique must be True or False, got {self.unique!r}")
        p["unique"] = bool(self.unique)
        if p["unique"] and self.precomputed_knn is not None:
            raise ValueError("unique=True cannot be combined with precomputed_knn, whose "
                             "rows are those of the full data")
        if self.target_metric not in ("categorical", "l2", "euclidean"):
            raise ValueError(f"target_metric must be 'categorical', 'l2' or 'euclidean', "
                             f"got {self.target_metric!r}")
        if self.target_n_neighbors == -1 and not isinstance(self.target_n_neighbors, bool):
            p["target_n_neighbors"] = None
        else:
            p["target_n_neighbors"] = _input.check_int(self.target_n_neighbors,
                                                       "target_n_neighbors", 2)
        return p

    def _initial_embedding(self, graph: scipy.sparse.csr_matrix, data: Any,
                           rng: np.random.Generator, keep: np.ndarray | None,
                           n_rows: int) -> np.ndarray:
        from quelmo import _init

        init = self.init
        if keep is not None and not isinstance(init, str):
            # Given for every row; the distinct rows start where their first
            # occurrence does.
            init = _init.check_init_array(init, n_rows, int(self.n_components))[keep]
        return _init.initial_embedding(init, graph, data, int(self.n_components), rng)

    def _stage(self, timings: dict[str, float], name: str, start: float) -> None:
        timings[name] = time.perf_counter() - start
        if self.verbose:
            print(f"quelmo: {name:<6} {timings[name]:8.3f} s", file=sys.stderr, flush=True)


def _check_unit(value: object, name: str) -> float:
    """A real number in [0, 1]."""
    value = _input.check_float(value, name)
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"{name} must lie in [0, 1], got {value}")
    return value


def _dask_array(X: Any) -> bool:
    """Whether X is a Dask array, without importing Dask."""
    return type(X).__module__.startswith("dask.") and hasattr(X, "map_blocks")


def _derive_seeds(random_state: Any) -> tuple[int, int, np.random.Generator]:
    """Seeds of the neighbour search and the layout, and the generator of the
    initialisation, all derived from one root."""
    if random_state is None:
        root = np.random.SeedSequence().entropy
    elif isinstance(random_state, (bool, np.bool_)):
        raise ValueError("random_state must be None, an integer or a NumPy generator")
    elif isinstance(random_state, (int, np.integer)):
        if random_state < 0:
            raise ValueError(f"random_state must be non-negative, got {random_state}")
        root = int(random_state)
    elif isinstance(random_state, np.random.Generator):
        root = int(random_state.integers(_UINT63))
    elif isinstance(random_state, np.random.RandomState):
        root = int(random_state.randint(_UINT63, dtype=np.int64))
    else:
        raise ValueError("random_state must be None, an integer or a NumPy generator, "
                         f"got {type(random_state).__name__}")
    sequence = np.random.SeedSequence(root)
    knn_seed, layout_seed = (int(v) for v in sequence.generate_state(2, dtype=np.uint64))
    return knn_seed, layout_seed, np.random.default_rng(sequence.spawn(1)[0])


def _resolve_n_jobs(n_jobs: Any) -> int:
    """Thread count from the scikit-learn convention (-1 = every processor)."""
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, (int, np.integer)) or n_jobs == 0:
        raise ValueError(f"n_jobs must be a non-zero integer, got {n_jobs!r}")
    n_jobs = int(n_jobs)
    if n_jobs > 0:
        return min(n_jobs, 2**31 - 1)
    cpus = os.cpu_count() or 1
    return max(1, cpus + 1 + n_jobs)
