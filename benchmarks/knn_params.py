"""Recall and time of the neighbour search for a grid of forest sizes, leaf
sizes and descent-iteration caps, next to the defaults that quelmo chooses
from the number of points.

Recall@15 is measured as UMAP uses the search: 14 neighbours besides the
point itself (n_neighbors=15), compared with the exact 14 nearest others; a
found neighbour counts when its distance does not exceed the exact 14th
distance, so ties are not penalised.  Exact neighbours come from a float64
brute-force search over every point for up to 10,000 points and over a fixed
2,000-point query subsample above; they are cached in
benchmarks/results/exact/.

Run from the repository root:
    python benchmarks/knn_params.py                      # the full grid
    python benchmarks/knn_params.py --data mixture-100000 --trees 8 16 --leaves 30
    python benchmarks/knn_params.py --report
"""

from __future__ import annotations

import argparse
import json
import time
from typing import Any

import numpy as np

import common

CACHE = common.RESULTS / "knn_params.json"
EXACT = common.RESULTS / "exact"
K_OTHER = 14
QUERY_SAMPLE = 2000
DATA = ("mnist10k", "mixture-10000", "mixture-100000", "mixture-1000000")


def exact_neighbours(name: str, X: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Query rows and the exact distance of each one's 14th nearest other
    point (float64 arithmetic), cached per data set."""
    EXACT.mkdir(parents=True, exist_ok=True)
    path = EXACT / f"{name}.npz"
    if path.exists():
        with np.load(path) as cached:
            return cached["queries"], cached["kth"]
    n = len(X)
    if n <= 10_000:
        queries = np.arange(n)
    else:
        queries = np.sort(np.random.default_rng(1).choice(n, QUERY_SAMPLE, replace=False))
    data = X.astype(np.float64)
    norms = np.einsum("ij,ij->i", data, data)
    kth = np.empty(len(queries))
    for lo in range(0, len(queries), 500):
        q = queries[lo:lo + 500]
        best = np.full((len(q), K_OTHER + 1), np.inf)
        for start in range(0, n, 100_000):
            block = slice(start, min(n, start + 100_000))
            d2 = norms[q, None] - 2.0 * data[q] @ data[block].T + norms[None, block]
            own = (q >= start) & (q < block.stop)
            d2[np.flatnonzero(own), q[own] - start] = np.inf
            merged = np.concatenate([best, d2], axis=1)
            best = np.partition(merged, K_OTHER, axis=1)[:, :K_OTHER + 1]
        best.sort(axis=1)
        kth[lo:lo + len(q)] = np.maximum(best[:, K_OTHER - 1], 0.0)
    np.savez(path, queries=queries, kth=kth)
    return queries, kth


def recall(X: np.ndarray, idx: np.ndarray, queries: np.ndarray, kth: np.ndarray) -> float:
    found = idx[queries]
    valid = found >= 0
    diff = X[np.where(valid, found, 0)].astype(np.float64) - X[queries, None].astype(np.float64)
    d2 = np.einsum("ijk,ijk->ij", diff, diff)
    # Slack for the rounding of the expanded form |q|^2 - 2 q.x + |x|^2 in
    # the exact search (relative error near 1e-15 of the squared norms).
    hits = valid & (d2 <= kth[:, None] * (1 + 1e-9) + 1e-9)
    return float(hits.sum() / (len(queries) * K_OTHER))


def measure(name: str, X: np.ndarray, queries: np.ndarray, kth: np.ndarray, n_trees: int,
            n_iters: int, leaf_size: int, threads: int, repeat: int) -> dict[str, Any]:
    from quelmo import _neighbors

    best = best_cpu = np.inf
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        idx, _ = _neighbors.search_knn(X, K_OTHER, n_trees=n_trees, n_iters=n_iters,
                                       leaf_size=leaf_size, seed=12345, n_threads=threads)
        best = min(best, time.perf_counter() - start)
        best_cpu = min(best_cpu, time.process_time() - start_cpu)
    return {"data": name, "n": len(X), "n_trees": n_trees, "n_iters": n_iters,
            "leaf_size": leaf_size, "threads": threads, "seconds": best,
            "cpu_seconds": best_cpu,
            "recall": recall(X, idx, queries, kth), "load": round(common.load_average(), 2),
            "date": time.strftime("%Y-%m-%d %H:%M")}


def default_grid(n: int) -> list[tuple[int, int, int]]:
    """(n_trees, n_iters, leaf_size) settings tried at size n."""
    from quelmo import _neighbors

    _, cap, _ = _neighbors.default_knn_params(n)
    trees = [2, 4, 6, 8, 12, 16, 24, 32, 48, 64] if n <= 100_000 else [2, 4, 6, 8, 12, 16, 32]
    grid = [(t, cap, 30) for t in trees]
    grid += [(t, cap, leaf) for t in (4, 8, 16) for leaf in (15, 60)]
    grid += [(t, iters, 30) for t in (4, 8) for iters in (2, 3, 5)]
    return grid


def table(rows: list[dict[str, Any]]) -> str:
    lines = ["| data | n_trees | n_iters (cap) | leaf_size | wall s | CPU s (both threads) "
             "| recall@15 | default |",
             "|---|---:|---:|---:|---:|---:|---:|:---:|"]
    for r in rows:
        lines.append(f"| {r['data']} | {r['n_trees']} | {r['n_iters']} | {r['leaf_size']} | "
                     f"{r['seconds']:.2f} | {r.get('cpu_seconds', float('nan')):.2f} | "
                     f"{r['recall']:.4f} | "
                     f"{'yes' if r.get('default') else ''} |")
    return "\n".join(lines)


def _key(r: dict[str, Any]) -> str:
    return f"{r['data']}/{r['n_trees']}/{r['n_iters']}/{r['leaf_size']}/{r['threads']}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", nargs="+", default=list(DATA))
    parser.add_argument("--trees", nargs="+", type=int, help="forest sizes (default: a grid)")
    parser.add_argument("--iters", nargs="+", type=int, help="descent iteration caps")
    parser.add_argument("--leaves", nargs="+", type=int, help="leaf sizes")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3, help="runs per setting, best kept")
    parser.add_argument("--force", action="store_true", help="rerun cached settings")
    parser.add_argument("--report", action="store_true", help="print the cached table only")
    opts = parser.parse_args()

    from quelmo import _neighbors

    cache: dict[str, Any] = json.loads(CACHE.read_text()) if CACHE.exists() else {"runs": {}}
    if not opts.report:
        cache["machine"] = common.machine()
        for name in opts.data:
            data = common.dataset(name)
            if data is None:
                print(f"skipping {name}: {common.MNIST} not found")
                continue
            X = data[0]
            n = len(X)
            queries, kth = exact_neighbours(name, X)
            chosen = _neighbors.default_knn_params(n)
            if opts.trees or opts.iters or opts.leaves:
                grid = [(t, i, leaf) for t in (opts.trees or [chosen[0]])
                        for i in (opts.iters or [chosen[1]])
                        for leaf in (opts.leaves or [chosen[2]])]
            else:
                grid = [chosen] + [s for s in default_grid(n) if s != chosen]
            for n_trees, n_iters, leaf_size in grid:
                row = {"data": name, "n_trees": n_trees, "n_iters": n_iters,
                       "leaf_size": leaf_size, "threads": opts.threads}
                if _key(row) in cache["runs"] and not opts.force:
                    continue
                row = measure(name, X, queries, kth, n_trees, n_iters, leaf_size,
                              opts.threads, opts.repeat)
                cache["runs"][_key(row)] = row
                CACHE.parent.mkdir(parents=True, exist_ok=True)
                CACHE.write_text(json.dumps(cache, indent=1, sort_keys=True))
                print(f"{name} trees={n_trees} iters={n_iters} leaf={leaf_size}: "
                      f"{row['seconds']:.2f} s, recall {row['recall']:.4f}", flush=True)
    rows = list(cache["runs"].values())
    for r in rows:
        r["default"] = (r["n_trees"], r["n_iters"], r["leaf_size"]) == \
            _neighbors.default_knn_params(r["n"])
    order = {name: i for i, name in enumerate(DATA)}
    rows.sort(key=lambda r: (order.get(r["data"], 99), r["n"], r["leaf_size"], r["n_iters"],
                             r["n_trees"]))
    print(table(rows))


if __name__ == "__main__":
    main()
