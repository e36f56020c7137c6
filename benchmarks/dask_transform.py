"""Beyond one machine: fit on a sample, transform the rest on a Dask cluster.

The mixture of 300,000 points: fit quelmo on a 30,000-point sample on this
machine, save the model, then transform all 300,000 points as a Dask array
on a ``distributed.LocalCluster`` of two worker processes (one thread each):
the model, loaded from its file, goes to each worker once, and the workers
read the data from chunk files on disk.  For comparison, one fit of all
300,000 points.  Reports the times and the 5-NN accuracy of the points
outside the sample under a classifier trained on the sample's coordinates,
for both, and checks that the cluster's result has the bits of an in-memory
transform of a slice.

Results go to benchmarks/results/dask_transform.json.

Run from the repository root:
    python benchmarks/dask_transform.py
"""

from __future__ import annotations

import json
import shutil
import time

import numpy as np

import common

N, SAMPLE, CHUNK = 300_000, 30_000, 25_000
OUT = common.RESULTS / "dask_transform.json"


def main() -> None:
    import dask.array as da
    import distributed
    from sklearn.neighbors import KNeighborsClassifier

    import quelmo

    X, y = common.gaussian_mixture(N)
    sample = np.sort(np.random.default_rng(0).choice(N, SAMPLE, replace=False))
    record: dict = {"n": N, "sample": SAMPLE, "chunk": CHUNK, "machine": common.machine(),
                    "load_before": common.load_average()}

    start = time.perf_counter()
    model = quelmo.UMAP(n_jobs=2, random_state=0).fit(X[sample])
    record["fit_sample_s"] = time.perf_counter() - start
    path = common.RESULTS / "runs" / "dask_model.qmodel"
    path.parent.mkdir(parents=True, exist_ok=True)
    model.save(path)
    record["model_mb"] = path.stat().st_size / 2**20

    stack = common.RESULTS / "runs" / "dask_rows"
    shutil.rmtree(stack, ignore_errors=True)
    da.to_npy_stack(stack, da.from_array(X, chunks=(CHUNK, X.shape[1])))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        start = time.perf_counter()
        worker_model = quelmo.load(path)
        worker_model.set_params(n_jobs=1)  # one thread per worker process
        lazy = worker_model.transform(da.from_npy_stack(stack))
        placed = client.compute(lazy).result()
        record["transform_cluster_s"] = time.perf_counter() - start

    check = slice(123_456, 123_456 + 2_000)
    record["slice_bits_equal"] = bool(model.transform(X[check]).tobytes()
                                      == placed[check].tobytes())
    rest = np.setdiff1d(np.arange(N), sample)
    classifier = KNeighborsClassifier(5).fit(model.embedding_, y[sample])
    record["knn5_accuracy_transformed"] = float(classifier.score(placed[rest], y[rest]))

    start = time.perf_counter()
    full = quelmo.UMAP(n_jobs=2, random_state=0).fit_transform(X)
    record["fit_full_s"] = time.perf_counter() - start
    classifier = KNeighborsClassifier(5).fit(full[sample], y[sample])
    record["knn5_accuracy_full_fit"] = float(classifier.score(full[rest], y[rest]))
    record["load_after"] = common.load_average()
    OUT.write_text(json.dumps(record, indent=1, sort_keys=True))
    print(json.dumps({k: v for k, v in record.items() if k != "machine"}, indent=1))


if __name__ == "__main__":
    main()
