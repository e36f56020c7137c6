"""The UMAP estimator: scikit-learn conventions, reproducibility, quality on
the digits, and the paths through its options."""

from __future__ import annotations

import inspect

import numpy as np
import pytest
import scipy.sparse

import quelmo
from quelmo import _native_ext
from quelmo.estimator import UMAP

sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.datasets import load_digits  # noqa: E402
from sklearn.manifold import trustworthiness  # noqa: E402
from sklearn.model_selection import cross_val_score  # noqa: E402
from sklearn.neighbors import KNeighborsClassifier  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402


@pytest.fixture(scope="module")
def digits():
    X, y = load_digits(return_X_y=True)
    return X.astype(np.float32), y


def blobs(n=300, d=5, centers=3, seed=0, spread=20.0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(centers, size=n)
    means = rng.normal(scale=spread, size=(centers, d))
    return (means[labels] + rng.normal(size=(n, d))).astype(np.float32), labels


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.uint32)


class TestConventions:
    def test_init_only_stores(self):
        model = UMAP(n_neighbors=-5, metric="nonsense", init=object())
        assert model.n_neighbors == -5 and model.metric == "nonsense"

    def test_get_set_params_and_clone(self):
        model = UMAP(n_neighbors=7, random_state=3)
        params = model.get_params()
        assert params["n_neighbors"] == 7 and params["random_state"] == 3
        assert set(params) == set(inspect.signature(UMAP).parameters)
        assert model.set_params(min_dist=0.5) is model and model.min_dist == 0.5
        with pytest.raises(ValueError, match="invalid parameter"):
            model.set_params(n_neigbors=3)
        copy = clone(model)
        assert copy is not model and copy.get_params() == model.get_params()
        assert repr(UMAP(n_neighbors=7)) == "UMAP(n_neighbors=7)"

    def test_lazy_attribute_and_include(self):
        assert quelmo.UMAP is UMAP
        with pytest.raises(AttributeError):
            quelmo.does_not_exist  # noqa: B018
        import os

        assert os.path.isfile(os.path.join(quelmo.get_include(), "quelmo_kernels.h"))

    def test_fitted_attributes(self):
        X, _ = blobs()
        model = UMAP(n_neighbors=10, random_state=0, n_epochs=50)
        assert model.fit(X) is model
        assert model.embedding_.shape == (300, 2) and model.embedding_.dtype == np.float32
        assert np.isfinite(model.embedding_).all()
        assert model.knn_indices_.shape == model.knn_dists_.shape == (300, 10)
        np.testing.assert_array_equal(model.knn_indices_[:, 0], np.arange(300))
        assert (np.diff(model.knn_dists_, axis=1) >= 0).all()
        graph = model.graph_
        assert isinstance(graph, scipy.sparse.csr_matrix) and graph.shape == (300, 300)
        assert abs(graph - graph.T).max() == 0
        assert model.a_ == pytest.approx(1.5769, abs=1e-3)
        assert model.b_ == pytest.approx(0.8951, abs=1e-3)
        assert model.n_features_in_ == 5
        assert set(model.timings_) == {"knn", "graph", "init", "layout", "index"}

    def test_pipeline(self):
        X, _ = blobs()
        out = make_pipeline(StandardScaler(), UMAP(random_state=1, n_epochs=30)).fit_transform(X)
        assert out.shape == (300, 2)


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_same_seed_and_jobs_repeat_bit_for_bit(n_jobs):
    X, _ = blobs(n=500)
    a = UMAP(random_state=11, n_jobs=n_jobs, n_epochs=100).fit_transform(X)
    b = UMAP(random_state=11, n_jobs=n_jobs, n_epochs=100).fit_transform(X)
    np.testing.assert_array_equal(bits(a), bits(b))
    c = UMAP(random_state=12, n_jobs=n_jobs, n_epochs=100).fit_transform(X)
    assert not np.array_equal(a, c)


@pytest.mark.slow
def test_quality_on_digits(digits):
    X, y = digits
    for seed in (0, 1, 2):
        embedding = UMAP(random_state=seed, n_jobs=2).fit_transform(X)
        trust = trustworthiness(X, embedding, n_neighbors=15)
        accuracy = cross_val_score(KNeighborsClassifier(5), embedding, y, cv=5).mean()
        assert trust >= 0.975, (seed, trust)
        assert accuracy >= 0.96, (seed, accuracy)


class TestOptions:
    def test_cosine_ignores_row_scale(self):
        X, _ = blobs(n=200)
        # Powers of two scale exactly, so the normalised rows are identical.
        scaled = X * (2.0 ** (np.arange(200) % 7)).astype(np.float32)[:, None]
        a = UMAP(metric="cosine", random_state=0, n_epochs=40, n_jobs=1).fit_transform(X)
        b = UMAP(metric="cosine", random_state=0, n_epochs=40, n_jobs=1).fit_transform(scaled)
        np.testing.assert_array_equal(bits(a), bits(b))

    def test_precomputed_knn_reproduces_the_search(self):
        X, _ = blobs(n=250)
        first = UMAP(random_state=4, n_epochs=60, n_jobs=2).fit(X)
        second = UMAP(random_state=4, n_epochs=60, n_jobs=2,
                      precomputed_knn=(first.knn_indices_, first.knn_dists_)).fit(X)
        np.testing.assert_array_equal(bits(first.embedding_), bits(second.embedding_))

    @pytest.mark.parametrize("init", ["random", "pca", "spectral"])
    def test_inits(self, init):
        X, _ = blobs(n=120)
        out = UMAP(init=init, random_state=0, n_epochs=30, n_components=3).fit_transform(X)
        assert out.shape == (120, 3) and np.isfinite(out).all()

    def test_array_init_not_modified(self):
        X, _ = blobs(n=100)
        start = np.random.default_rng(0).uniform(0, 10, size=(100, 2))
        keep = start.copy()
        out = UMAP(init=start, random_state=0, n_epochs=30).fit_transform(X)
        np.testing.assert_array_equal(start, keep)
        assert not np.array_equal(out, start.astype(np.float32))

    def test_given_a_b(self):
        X, _ = blobs(n=100)
        model = UMAP(a=1.0, b=1.0, random_state=0, n_epochs=20).fit(X)
        assert (model.a_, model.b_) == (1.0, 1.0)

    def test_disconnected_clusters_and_duplicates(self):
        X, _ = blobs(n=400, centers=4, spread=1e4)
        out = UMAP(random_state=0, n_epochs=50).fit_transform(X)
        assert np.isfinite(out).all()
        same = np.ones((30, 3), np.float32)
        out = UMAP(random_state=0, n_epochs=50).fit_transform(same)
        assert np.isfinite(out).all()

    def test_small_inputs(self):
        with pytest.warns(UserWarning, match="n_neighbors"):
            out = UMAP(random_state=0).fit_transform([[0.0, 1.0], [1.0, 0.0]])
        assert out.shape == (2, 2) and np.isfinite(out).all()
        with pytest.raises(ValueError, match="at least 2 samples"):
            UMAP().fit([[1.0, 2.0]])

    @pytest.mark.parametrize(
        "params, message",
        [
            (dict(n_neighbors=1), "n_neighbors"),
            (dict(n_neighbors=2.5), "n_neighbors must be an integer"),
            (dict(n_components=0), "n_components"),
            (dict(min_dist=-1.0), "min_dist"),
            (dict(min_dist=2.0), "must not exceed spread"),
            (dict(spread=0.0), "spread"),
            (dict(n_epochs=0), "n_epochs"),
            (dict(learning_rate=float("nan")), "learning_rate"),
            (dict(negative_sample_rate=0), "negative_sample_rate"),
            # The layout takes float32: a rate rounding to 0 would skip it.
            (dict(negative_sample_rate=1e-50), "negative_sample_rate is too small for float32"),
            (dict(learning_rate=1e300), "learning_rate is too large for float32"),
            (dict(metric="nonsense"), "unknown metric .nonsense.; known metrics are"),
            (dict(init="umap"), "init"),
            (dict(init=np.ones((3, 2))), "init array must have shape"),
            (dict(random_state=-1), "random_state"),
            (dict(random_state="seed"), "random_state"),
            (dict(n_jobs=0), "n_jobs"),
            (dict(n_trees=0), "n_trees"),
            (dict(a=-1.0), "a must be positive"),
        ],
    )
    def test_bad_parameters(self, params, message):
        X, _ = blobs(n=50)
        with pytest.raises(ValueError, match=message):
            UMAP(**params).fit(X)

    def test_kernel_status_becomes_exception(self, monkeypatch):
        X, _ = blobs(n=50)
        monkeypatch.setattr(_native_ext, "knn_descent_progress_f32", lambda *args: -2)
        with pytest.raises(MemoryError, match="nearest-neighbour search"):
            UMAP().fit(X)
        monkeypatch.setattr(_native_ext, "knn_descent_progress_f32", lambda *args: -1)
        with pytest.raises(ValueError, match="status -1"):
            UMAP().fit(X)

    def test_random_state_kinds(self):
        X, _ = blobs(n=80)
        a = UMAP(random_state=np.random.RandomState(3), n_epochs=20).fit_transform(X)
        b = UMAP(random_state=np.random.RandomState(3), n_epochs=20).fit_transform(X)
        np.testing.assert_array_equal(a, b)
        UMAP(random_state=np.random.default_rng(3), n_epochs=20).fit(X)
        UMAP(random_state=None, n_epochs=20).fit(X)


def test_scikit_learn_estimator_checks():
    from sklearn.utils.estimator_checks import check_estimator

    results = check_estimator(UMAP(n_epochs=20, random_state=0, n_jobs=1), on_fail=None)
    failed = {r["check_name"]: r["exception"] for r in results if r["status"] == "failed"}
    assert not failed, failed
