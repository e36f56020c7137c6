"""Does a smaller neighbour search show in the embedding?  quelmo's UMAP fitted
with its default forest and with smaller ones (n_trees given, everything else
at its default): the search's recall@15, the 5-NN accuracy of the embedding
(5-fold cross-validated, true labels) and its trustworthiness (15
neighbours, a fixed 3,000-point sample), mean and spread over the seeds.

Data: the 10,000 MNIST digits and the hard 32-dimensional Gaussian mixture of
the kNN benchmarks at 10,000 and 100,000 points (labels: the component).

Run from the repository root:
    python benchmarks/knn_quality.py                              # the full table
    python benchmarks/knn_quality.py --data mixture-10000 --trees 16 20
    python benchmarks/knn_quality.py --report
"""

from __future__ import annotations

import argparse
import json
import statistics
import time
from typing import Any

import numpy as np

import common
import knn_params

RESULT = common.RESULTS / "knn_quality.json"
DATA = ("mnist10k", "mixture-10000", "mixture-100000")


def measure(name: str, X: np.ndarray, y: np.ndarray, n_trees: int | None,
            seeds: list[int]) -> dict[str, Any]:
    from sklearn.manifold import trustworthiness
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    from quelmo import UMAP

    sample = np.random.default_rng(0).choice(len(X), min(3000, len(X)), replace=False)
    queries, kth = knn_params.exact_neighbours(name, X)
    accuracy, trust, recall, seconds = [], [], [], []
    for seed in seeds:
        model = UMAP(n_trees=n_trees, random_state=seed, n_jobs=2)
        start = time.perf_counter()
        embedding = model.fit_transform(X)
        seconds.append(time.perf_counter() - start)
        accuracy.append(cross_val_score(KNeighborsClassifier(5), embedding, y, cv=5).mean())
        trust.append(trustworthiness(X[sample], embedding[sample], n_neighbors=15))
        # knn_indices_ holds the point itself first, as the recall expects it gone.
        found = np.ascontiguousarray(model.knn_indices_[:, 1:], dtype=np.int32)
        recall.append(knn_params.recall(X, found, queries, kth))
    return {"data": name, "n_trees": n_trees or "default", "seeds": seeds,
            "recall": statistics.mean(recall), "accuracy": statistics.mean(accuracy),
            "accuracy_sd": statistics.pstdev(accuracy), "trust": statistics.mean(trust),
            "trust_sd": statistics.pstdev(trust), "fit_s": statistics.median(seconds),
            "load": round(common.load_average(), 2), "date": time.strftime("%Y-%m-%d %H:%M")}


def table(rows: list[dict[str, Any]]) -> str:
    lines = ["| data | n_trees | recall@15 | 5-NN accuracy | trustworthiness | fit s |",
             "|---|---:|---:|---:|---:|---:|"]
    order = {name: i for i, name in enumerate(DATA)}
    for r in sorted(rows, key=lambda r: (order.get(r["data"], len(DATA)), r["data"],
                                          r["n_trees"] != "default", str(r["n_trees"]).zfill(4))):
        lines.append(f"| {r['data']} | {r['n_trees']} | {r['recall']:.4f} | "
                     f"{r['accuracy']:.4f} ± {r['accuracy_sd']:.4f} | "
                     f"{r['trust']:.4f} ± {r['trust_sd']:.4f} | {r['fit_s']:.1f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", nargs="+", default=list(DATA))
    parser.add_argument("--trees", nargs="+", type=int, help="forest sizes besides the default")
    parser.add_argument("--seeds", nargs="+", type=int, default=[1, 2, 3])
    parser.add_argument("--report", action="store_true", help="print the cached table only")
    opts = parser.parse_args()
    rows: list[dict[str, Any]] = json.loads(RESULT.read_text()) if RESULT.exists() else []
    if not opts.report:
        from quelmo import _neighbors

        for name in opts.data:
            loaded = common.dataset(name)
            if loaded is None:
                print(f"{name}: data not present, skipped")
                continue
            X, y = np.ascontiguousarray(loaded[0], dtype=np.float32), loaded[1]
            default_trees = _neighbors.default_knn_params(len(X))[0]
            sizes = opts.trees or [default_trees // 2, (default_trees * 5) // 8]
            for n_trees in [None, *sizes]:
                row = measure(name, X, y, n_trees, opts.seeds)
                rows = [r for r in rows if (r["data"], r["n_trees"]) !=
                        (row["data"], row["n_trees"])] + [row]
                RESULT.write_text(json.dumps(rows, indent=1))
                print(table([row]).splitlines()[-1], flush=True)
    print(table(rows))


if __name__ == "__main__":
    main()
