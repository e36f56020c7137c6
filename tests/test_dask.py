"""Dask arrays through UMAP.transform: a Dask array back, with the bits of
the in-memory transform for any chunking, on a real two-process cluster."""

from __future__ import annotations

import numpy as np
import pytest

from quelmo import UMAP

da = pytest.importorskip("dask.array")


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(0)
    X = (rng.normal(size=(900, 8)) + 4 * rng.integers(0, 3, size=(900, 1))).astype(np.float32)
    model = UMAP(n_neighbors=10, n_epochs=30, random_state=2, n_jobs=2).fit(X[:600])
    return model, X[600:], model.transform(X[600:])


def test_blocks_in_process_equal_the_in_memory_result(fitted):
    model, new, want = fitted
    lazy = model.transform(da.from_array(new, chunks=(47, 3)))
    assert isinstance(lazy, da.Array) and lazy.dtype == np.float32
    assert lazy.shape == (300, 2) and lazy.chunks[1] == (2,)
    assert lazy.compute(scheduler="threads").tobytes() == want.tobytes()
    with pytest.raises(ValueError, match="X has 5 features"):
        model.transform(da.zeros((10, 5), chunks=5))
    # Blocks stay arrays when the model's own output is a data frame.
    framed = model.set_output(transform="pandas").transform(da.from_array(new, chunks=(47, 8)))
    model.set_output(transform="default")
    assert framed.compute(scheduler="threads").tobytes() == want.tobytes()


@pytest.mark.slow
def test_two_worker_processes_any_chunking(fitted):
    distributed = pytest.importorskip("distributed")
    model, new, want = fitted
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        for chunks in (1000, 64, (13, 200, 7, 80)):
            lazy = model.transform(da.from_array(new, chunks=(chunks, 8)))
            assert client.compute(lazy).result().tobytes() == want.tobytes(), chunks
