"""The scikit-learn style UMAP estimator."""

from __future__ import annotations

import inspect
import os
import sys
import time
from typing import Any

import numpy as np
import scipy.sparse

from quelmo import _graph, _init, _input, _layout, _neighbors

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
    metric : {"euclidean", "cosine"}, default="euclidean"
        Input metric; cosine normalises rows to unit length first.
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
        The symmetric fuzzy graph.
    knn_indices_, knn_dists_ : ndarray of shape (n_samples, n_neighbors)
        Neighbour ids (int32) and Euclidean distances (float32), each point
        itself first.
    a_, b_ : float
        Curve parameters used.
    n_features_in_ : int
    timings_ : dict of str to float
        Seconds spent in each stage ("knn", "graph", "init", "layout").

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
        a: float | None = None,
        b: float | None = None,
        random_state: int | np.random.Generator | np.random.RandomState | None = None,
        n_jobs: int = -1,
        n_trees: int | None = None,
        n_iters: int | None = None,
        leaf_size: int | None = None,
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
        self.a = a
        self.b = b
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.n_trees = n_trees
        self.n_iters = n_iters
        self.leaf_size = leaf_size
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
        tags.non_deterministic = False
        return tags

    # -- fitting ----------------------------------------------------------------

    def fit(self, X: Any, y: Any = None) -> UMAP:
        """Embed ``X``; the result is in ``embedding_``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Finite numeric data, at least 2 samples.
        y : ignored

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
        params = self._checked_params()
        data = _input.check_data(X)
        n, d = data.shape
        n_neighbors = _input.effective_n_neighbors(params["n_neighbors"], n)
        n_epochs = params["n_epochs"] if params["n_epochs"] is not None else (
            500 if n <= 10_000 else 200)
        knn_seed, layout_seed, init_rng = _derive_seeds(self.random_state)
        n_threads = _resolve_n_jobs(self.n_jobs)
        timings: dict[str, float] = {}

        if self.metric == "cosine":
            data = _input.normalize_rows(data)

        start = time.perf_counter()
        if self.precomputed_knn is not None:
            knn_indices, knn_dists = _neighbors.check_precomputed_knn(
                self.precomputed_knn, n, n_neighbors)
        else:
            n_trees, n_iters, leaf_size = _neighbors.default_knn_params(n)
            idx, squared = _neighbors.search_knn(
                data, n_neighbors - 1,
                n_trees=params["n_trees"] or n_trees,
                n_iters=params["n_iters"] or n_iters,
                leaf_size=params["leaf_size"] or leaf_size,
                seed=knn_seed, n_threads=n_threads, show_progress=bool(self.verbose))
            _neighbors.fill_empty_slots(data, idx, squared)
            knn_indices, knn_dists = _neighbors.dense_knn(idx, squared)
            del idx, squared
        self._stage(timings, "knn", start)

        start = time.perf_counter()
        graph = _graph.fuzzy_graph(knn_indices, knn_dists)
        head, tail, epochs_per_sample = _graph.edge_list(graph, n_epochs)
        self._stage(timings, "graph", start)

        start = time.perf_counter()
        with _init.single_threaded_blas():
            embedding = self._initial_embedding(graph, data, n, init_rng)
        self._stage(timings, "init", start)

        if self.a is None or self.b is None:
            a, b = _layout.find_ab_params(params["spread"], params["min_dist"])
        else:
            a, b = params["a"], params["b"]

        start = time.perf_counter()
        _layout.optimize_layout(
            embedding, head, tail, epochs_per_sample, n_epochs=n_epochs, a=a, b=b,
            gamma=params["repulsion_strength"], learning_rate=params["learning_rate"],
            negative_sample_rate=params["negative_sample_rate"], seed=layout_seed,
            n_threads=n_threads, show_progress=bool(self.verbose))
        self._stage(timings, "layout", start)

        self.embedding_ = embedding
        self.graph_ = graph
        self.knn_indices_ = knn_indices
        self.knn_dists_ = knn_dists
        self.a_ = float(a)
        self.b_ = float(b)
        self.n_features_in_ = d
        self.timings_ = timings
        return self

    def fit_transform(self, X: Any, y: Any = None) -> np.ndarray:
        """Embed ``X`` and return the embedding (float32, n_samples x n_components)."""
        return self.fit(X, y).embedding_

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
        if self.metric not in ("euclidean", "cosine"):
            raise ValueError(f"metric must be 'euclidean' or 'cosine', got {self.metric!r}")
        if isinstance(self.init, str) and self.init not in ("spectral", "pca", "random"):
            raise ValueError(f"init must be 'spectral', 'pca', 'random' or an array, "
                             f"got {self.init!r}")
        return p

    def _initial_embedding(self, graph: scipy.sparse.csr_matrix, data: np.ndarray, n: int,
                           rng: np.random.Generator) -> np.ndarray:
        dim = int(self.n_components)
        if not isinstance(self.init, str):
            return _init.check_init_array(self.init, n, dim)
        if self.init == "random":
            return np.ascontiguousarray(rng.uniform(0.0, _init.BOX_SIDE, size=(n, dim)),
                                        dtype=np.float32)
        if self.init == "pca":
            layout = _init.pca_layout(data, dim, rng)
        else:
            layout = _init.spectral_layout(graph, dim, rng)
        return _init.to_box(layout, rng)

    def _stage(self, timings: dict[str, float], name: str, start: float) -> None:
        timings[name] = time.perf_counter() - start
        if self.verbose:
            print(f"quelmo: {name:<6} {timings[name]:8.3f} s", file=sys.stderr, flush=True)


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
