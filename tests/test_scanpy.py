"""The single-cell integration: the fields that neighbors and umap read and
write on AnnData objects, and, where scanpy is installed, the comparison
with scanpy's own functions on the data set that ships with it."""

from __future__ import annotations

import sys

import numpy as np
import pytest
import scipy.sparse

anndata = pytest.importorskip("anndata")
import quelmo.scanpy as qsc  # noqa: E402


def bits(a: np.ndarray) -> bytes:
    return np.ascontiguousarray(a).tobytes()


def cells(n=300, n_vars=20, seed=0):
    rng = np.random.default_rng(seed)
    types = rng.integers(3, size=n)
    X = (rng.normal(scale=6.0, size=(3, n_vars))[types] + rng.normal(size=(n, n_vars)))
    return anndata.AnnData(X.astype(np.float32), obsm={"X_pca": X[:, :8].copy()})


class TestNeighbors:
    def test_fields(self):
        adata = cells()
        assert qsc.neighbors(adata, n_neighbors=10, n_jobs=1) is None
        info = adata.uns["neighbors"]
        assert info["connectivities_key"] == "connectivities"
        assert info["params"] == {"n_neighbors": 10, "method": "umap", "random_state": 0,
                                  "metric": "euclidean"}
        distances, graph = adata.obsp["distances"], adata.obsp["connectivities"]
        assert distances.dtype == np.float64 and graph.dtype == np.float32
        assert (distances.getnnz(axis=1) == 9).all()
        assert abs(graph - graph.T).max() == 0
        # X_pca is searched when present: row 0's neighbours by distance there.
        d0 = np.linalg.norm(adata.obsm["X_pca"] - adata.obsm["X_pca"][0], axis=1)
        np.testing.assert_allclose(np.sort(distances[0].data), np.sort(d0)[1:10], rtol=1e-5)

    def test_key_representation_and_copy(self):
        adata = cells()
        out = qsc.neighbors(adata, n_neighbors=6, use_rep="X", key_added="raw", copy=True,
                            n_jobs=1)
        assert "raw" not in adata.uns and out.uns["raw"]["params"]["use_rep"] == "X"
        assert {"raw_distances", "raw_connectivities"} <= set(out.obsp.keys())
        with pytest.raises(ValueError, match="use_rep"):
            qsc.neighbors(adata, use_rep="X_missing")
        with pytest.raises(ValueError, match="pp.pca"):
            qsc.neighbors(anndata.AnnData(np.zeros((20, 60), np.float32)))
        with pytest.raises(ValueError, match="method"):
            qsc.neighbors(adata, method="gauss")

    def test_other_metrics(self):
        # Any metric of the estimator, with its keywords, gives the estimator's
        # neighbours and distances of the same representation.
        from quelmo import UMAP

        adata = cells()
        qsc.neighbors(adata, n_neighbors=8, metric="minkowski", metric_kwds={"p": 3},
                      random_state=2, n_jobs=2)
        model = UMAP(n_neighbors=8, metric="minkowski", metric_kwds={"p": 3}, random_state=2,
                     n_jobs=2, n_epochs=1).fit(adata.obsm["X_pca"])
        distances = adata.obsp["distances"]
        assert adata.uns["neighbors"]["params"]["metric_kwds"] == {"p": 3}
        np.testing.assert_array_equal(distances.indices.reshape(-1, 7),
                                      model.knn_indices_[:, 1:])
        np.testing.assert_array_equal(distances.data.reshape(-1, 7),
                                      model.knn_dists_[:, 1:].astype(np.float64))
        with pytest.raises(ValueError, match="unknown metric"):
            qsc.neighbors(adata, metric="wasserstein")
        with pytest.raises(ValueError, match="precomputed"):
            qsc.neighbors(adata, metric="precomputed")


class TestUmap:
    def test_fields_and_repeat(self):
        adata = cells()
        qsc.neighbors(adata, n_neighbors=10, n_jobs=1)
        assert qsc.umap(adata, maxiter=50, n_jobs=1) is None
        embedding = adata.obsm["X_umap"]
        assert embedding.shape == (300, 2) and embedding.dtype == np.float32
        params = adata.uns["umap"]["params"]
        assert set(params) == {"a", "b"} and params["a"] == pytest.approx(0.583, abs=1e-3)
        again = qsc.umap(adata, maxiter=50, n_jobs=1, copy=True)
        assert bits(again.obsm["X_umap"]) == bits(embedding)
        qsc.umap(adata, maxiter=50, n_jobs=1, random_state=3, key_added="seed3")
        assert adata.uns["seed3"]["params"]["random_state"] == 3
        assert bits(adata.obsm["X_umap"]) == bits(embedding)

    def test_init_positions_and_neighbors_key(self):
        adata = cells()
        qsc.neighbors(adata, n_neighbors=10, key_added="nb", n_jobs=1)
        adata.obsm["start"] = np.random.default_rng(0).uniform(0, 10, size=(300, 2))
        qsc.umap(adata, neighbors_key="nb", init_pos="start", maxiter=5, n_jobs=1)
        from_key = adata.obsm["X_umap"]
        qsc.umap(adata, neighbors_key="nb", init_pos=adata.obsm["start"], maxiter=5, n_jobs=1)
        assert bits(adata.obsm["X_umap"]) == bits(from_key)
        qsc.umap(adata, neighbors_key="nb", maxiter=5, n_jobs=1)
        assert not np.array_equal(adata.obsm["X_umap"], from_key)
        with pytest.raises(ValueError, match="neighbors"):
            qsc.umap(adata)
        with pytest.raises(ValueError, match="init_pos"):
            qsc.umap(adata, neighbors_key="nb", init_pos="paga")


def test_missing_anndata_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "anndata", None)
    with pytest.raises(ImportError, match=r"pip install \"quelmo\[scanpy\]\""):
        qsc.umap(object())


@pytest.mark.slow
def test_quality_matches_scanpy_on_its_own_data():
    sc = pytest.importorskip("scanpy")
    sklearn = pytest.importorskip("sklearn")
    from sklearn.manifold import trustworthiness
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    adata = sc.datasets.pbmc68k_reduced()
    types = adata.obs["bulk_labels"].cat.codes.to_numpy()

    def quality(key):
        embedding = adata.obsm[key]
        accuracy = cross_val_score(KNeighborsClassifier(5), embedding, types, cv=5).mean()
        return np.array([accuracy, trustworthiness(adata.obsm["X_pca"], embedding,
                                                   n_neighbors=10)])

    ours, theirs = np.zeros(2), np.zeros(2)
    for seed in range(3):  # the same stored neighbour graph for both
        qsc.umap(adata, random_state=seed, key_added="quelmo", n_jobs=2)
        sc.tl.umap(adata, random_state=seed, key_added="scanpy")
        ours += quality("quelmo") / 3
        theirs += quality("scanpy") / 3
    assert sklearn and (ours > theirs - 0.01).all(), (ours, theirs)

    # quelmo's neighbours against scanpy's on the same representation.
    qsc.neighbors(adata, n_neighbors=15, key_added="q")
    sc.pp.neighbors(adata, n_neighbors=15, key_added="s")
    same = adata.obsp["q_distances"].astype(bool).multiply(adata.obsp["s_distances"] != 0)
    assert same.nnz > 0.99 * adata.obsp["s_distances"].nnz
