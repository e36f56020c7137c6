"""The neighbour query of new points, and the alternatives it was chosen
from: recall@15 against exact neighbours and query time (2 threads, same
run) on MNIST (8,000 fitted, 2,000 new) and the mixture (90,000 / 10,000).

    forest only          the leaves of the trees, no graph search
    graph only           a best-first search from one fixed entry point
    forest + graph       the leaves as the start of the graph search

each at several search widths (the number of points the search keeps),
the last also with the cut at (1 + epsilon) times the k-th nearest found,
epsilon as the fit calibrated it (used).

Run from the repository root:
    python benchmarks/query_design.py
"""

from __future__ import annotations

import time

import numpy as np

import common
from transform import DATASETS, K, exact_neighbours, recall


def main() -> None:
    from quelmo import UMAP, _native_ext, _transform

    print("| data | index | search width | cut | recall@15 | query s (2 threads) |")
    print("|---|---|---:|---:|---:|---:|")
    for name, n_fit in DATASETS.items():
        data = common.dataset(name)
        if data is None:
            continue
        X = data[0]
        fitted, new = X[:n_fit], X[n_fit:]
        exact = exact_neighbours(name, fitted, new)
        # The kNN arrays of a fit; a short layout keeps this quick.
        model = UMAP(n_neighbors=K, n_epochs=10, init="random", random_state=0,
                     n_jobs=2).fit(fitted)
        state = model._transform_state
        n, d = fitted.shape
        no_graph = np.empty((n, 0), np.int32)
        cut = state.epsilon
        variants = [("forest only", state.n_trees, no_graph, [K], np.inf),
                    ("graph only (fixed entry)", 0, state.graph, [32, 64, 96], np.inf),
                    ("forest + graph", state.n_trees, state.graph, [16, 32, 64, 96, 128], np.inf),
                    ("forest + graph", state.n_trees, state.graph, [64, 96, 128], cut)]
        for label, n_trees, graph, widths, epsilon in variants:
            for ef in widths:
                idx = np.empty((len(new), K), np.int32)
                dist = np.empty((len(new), K), np.float32)
                best = np.inf
                for _ in range(3):
                    start = time.perf_counter()
                    _native_ext.knn_query_f32(
                        state.data, state.data_bytes, graph, state.forest_nodes,
                        state.forest_threshold, state.forest_perm, new, idx, dist,
                        np.empty(0, np.int32), n, d,
                        graph.shape[1], n_trees, len(new), K, ef, epsilon, 2)
                    best = min(best, time.perf_counter() - start)
                shown = "none" if np.isinf(epsilon) else f"{1 + epsilon:g} x k-th"
                print(f"| {name} | {label} | {ef} | {shown} | {recall(idx, exact):.4f} "
                      f"| {best:.3f} |", flush=True)


if __name__ == "__main__":
    main()
