"""scikit-learn's naming and output conventions: feature names in and out,
set_output, and the estimator inside a FeatureUnion."""

from __future__ import annotations

import numpy as np
import pytest

from quelmo.estimator import UMAP

sklearn = pytest.importorskip("sklearn")
pd = pytest.importorskip("pandas")
from sklearn.base import clone  # noqa: E402
from sklearn.decomposition import PCA  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.pipeline import FeatureUnion, make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402

FAST = dict(n_epochs=20, random_state=0, n_jobs=1, n_neighbors=8)


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(0)
    return pd.DataFrame(rng.normal(size=(120, 4)), columns=["a", "b", "c", "d"],
                        index=[f"cell{i}" for i in range(120)])


def test_feature_names(frame):
    model = UMAP(n_components=3, **FAST)
    with pytest.raises(NotFittedError):
        model.get_feature_names_out()
    model.fit(frame)
    np.testing.assert_array_equal(model.feature_names_in_, ["a", "b", "c", "d"])
    assert list(model.get_feature_names_out()) == ["umap0", "umap1", "umap2"]
    assert list(model.get_feature_names_out(["a", "b", "c", "d"])) == ["umap0", "umap1", "umap2"]
    with pytest.raises(ValueError, match="feature_names_in_"):
        model.get_feature_names_out(["a", "b", "c", "x"])
    with pytest.raises(ValueError, match="length"):
        model.get_feature_names_out(["a"])
    model.fit(frame.to_numpy())  # a refit on an array forgets the names
    assert not hasattr(model, "feature_names_in_")


def test_set_output_pandas(frame):
    model = UMAP(**FAST).set_output(transform="pandas")
    out = model.fit_transform(frame)
    assert isinstance(out, pd.DataFrame) and list(out.columns) == ["umap0", "umap1"]
    assert out.index.equals(frame.index)
    np.testing.assert_array_equal(out.to_numpy(), model.embedding_)
    assert isinstance(clone(model).fit_transform(frame), pd.DataFrame)
    placed = model.transform(frame.iloc[:7])
    assert isinstance(placed, pd.DataFrame) and placed.index.equals(frame.index[:7])
    assert isinstance(model.set_output(transform="default").fit_transform(frame), np.ndarray)
    with pytest.raises(ValueError, match="set_output"):
        model.set_output(transform="arrow")


def test_global_output_config(frame):
    with sklearn.config_context(transform_output="pandas"):
        assert isinstance(UMAP(**FAST).fit_transform(frame), pd.DataFrame)


def test_feature_union_with_pandas_output(frame):
    union = FeatureUnion([("pca", PCA(n_components=2)), ("umap", UMAP(**FAST))])
    union.set_output(transform="pandas")
    out = make_pipeline(StandardScaler(), union).set_output(transform="pandas").fit_transform(
        frame)
    assert list(out.columns) == ["pca__pca0", "pca__pca1", "umap__umap0", "umap__umap1"]
    plain = FeatureUnion([("pca", PCA(n_components=2)), ("umap", UMAP(**FAST))])
    assert plain.fit_transform(frame.to_numpy()).shape == (120, 4)
    assert plain.transform(frame.to_numpy()[:9]).shape == (9, 4)
