"""Neighbour search under every metric, dense and sparse, against exact
neighbours and pynndescent; and a sparse TF-IDF matrix end to end against
umap-learn.

kNN table.  Data: the 10,000 MNIST digits (pixels 0-255; the set metrics
jaccard, dice and hamming on pixels binarised at > 127) and a 20,000 x
100,000 TF-IDF-like sparse matrix (``tfidf_like`` below).  Recall@15 counts,
as UMAP uses the search, the 14 neighbours besides the point itself: a found
neighbour is right when its exact distance (float64, NumPy/SciPy) does not
exceed the exact 14th distance of its query, so ties are not penalised; it
is measured on a fixed sample of 2,000 query points, whose exact distances to
every point are computed in chunks and cached in benchmarks/results/exact/.
Times are the best of --reps runs with 2 threads, wall clock; quelmo's
includes the preparation of the data for the metric (row transforms), and
"/ euclidean" divides it by quelmo's Euclidean search of the same data in the
same run.  pynndescent (``NNDescent(X, metric, n_neighbors=15, n_jobs=2)``,
unseeded) runs alternately with quelmo; its warm time excludes the first call
of each metric, which compiles.
With --matched, quelmo's search also runs with the smallest forest of a
short ladder (the other settings at their defaults) whose recall reaches
pynndescent's in the same row: the time each tool needs for the same recall.
quelmo's defaults aim higher (0.998 on MNIST), because on hard data the
embedding is measurably better for it (benchmarks/README.md).

End to end.  quelmo's ``UMAP(metric="cosine")`` and umap-learn's on the
sparse matrix, each in a fresh process with every thread pool pinned to 2
threads: the fit's time (first call in the process; for umap-learn also the
warm second call), the process's resident memory before the fit (data loaded)
and its peak during the fit, and the trustworthiness of the embedding (15
neighbours, cosine, a fixed 5,000-point sample) and the 5-NN accuracy of the
documents' main topics (5-fold cross-validation).

New points.  quelmo fits 8,000 MNIST digits under manhattan and 18,000 rows
of the sparse matrix under cosine, and transforms the remaining rows: fit
time, best-of---reps transform time with the graph search of new points
(what these models use) and with the exact scan of the training data, the
same for the neighbour query alone (the two alternating), the graph
search's recall@15 against the scan (the same ids; and by distance: found
neighbours no farther than the scan's 15th), the 5-NN accuracy of the new
points against the fitted points' labels, and whether 7 uneven chunks give
the batch's bits.

Run from the repository root:
    python benchmarks/metrics.py                     # everything (about an hour)
    python benchmarks/metrics.py --parts knn --data mnist10k --metrics manhattan jaccard
    python benchmarks/metrics.py --parts knn --data mnist10k --matched --force
    python benchmarks/metrics.py --parts transform --reps 2
    python benchmarks/metrics.py --report            # tables from the cache only
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

import numpy as np
import scipy.sparse

import common

CACHE = common.RESULTS / "metrics.json"
EXACT = common.RESULTS / "exact"
K_OTHER = 14
QUERY_SAMPLE = 2000
TRUST_SAMPLE = 5000
TFIDF = "tfidf-20000"
DENSE_METRICS = ["euclidean", "sqeuclidean", "cosine", "correlation", "hellinger", "manhattan",
                 "chebyshev", "minkowski", "canberra", "braycurtis", "hamming", "jaccard",
                 "dice"]
SPARSE_METRICS = ["euclidean", "cosine", "correlation", "hellinger", "manhattan", "canberra",
                  "braycurtis", "hamming", "jaccard", "dice"]
SET_METRICS = ("hamming", "jaccard", "dice")
MINKOWSKI_P = 3.0


# ---------------------------------------------------------------------------
# Data

def tfidf_like(n: int = 20_000, d: int = 100_000, seed: int = 0) -> tuple[Any, np.ndarray]:
    """A TF-IDF matrix of synthetic documents, and each one's main topic.

    Word ranks follow one Zipf law (exponent 1.1) over the vocabulary, so
    term frequencies are power-law distributed.  200 fine topics form 20
    groups; a topic's words are drawn by rank from that law, half through
    the topic's own permutation of the vocabulary and half through its
    group's.  A document of lognormal length (about 95 tokens) draws a quarter
    of its tokens from the background law (global ranks) and the rest from
    its main topic and two other topics of its group, with Dirichlet(1, 0.2,
    0.2) weights.  Counts become (1 + log tf) * idf, rows scaled to unit
    length: density about 0.1%, 9 to 711 stored entries per row.
    """
    rng = np.random.default_rng(seed)
    weights = 1.0 / (np.arange(d) + 5.0) ** 1.1
    cdf = np.cumsum(weights / weights.sum())
    groups, per_group = 20, 10
    group_perm = [rng.permutation(d) for _ in range(groups)]
    topic_perm = [rng.permutation(d) for _ in range(groups * per_group)]
    lengths = np.maximum(10, rng.lognormal(np.log(95), 0.6, n).astype(int))
    main = rng.integers(0, groups * per_group, n)
    rows, cols = [], []
    for i in range(n):
        size = lengths[i]
        group = main[i] // per_group
        others = group * per_group + rng.integers(0, per_group, 2)
        theta = rng.dirichlet([1.0, 0.2, 0.2])
        background = rng.random(size) < 0.25
        ranks = np.minimum(np.searchsorted(cdf, rng.random(size)), d - 1)
        words = ranks.copy()
        pick = rng.choice(3, size=size, p=theta)
        topic = np.where(pick == 0, main[i], np.where(pick == 1, others[0], others[1]))
        own = rng.random(size) < 0.5
        for t in np.unique(topic[~background]):
            chosen = ~background & (topic == t)
            words[chosen & own] = topic_perm[t][ranks[chosen & own]]
            words[chosen & ~own] = group_perm[t // per_group][ranks[chosen & ~own]]
        rows.append(np.full(size, i))
        cols.append(words)
    counts = scipy.sparse.csr_matrix(
        (np.ones(sum(len(r) for r in rows), np.float64), (np.concatenate(rows),
                                                          np.concatenate(cols))), shape=(n, d))
    counts.sum_duplicates()
    df = np.bincount(counts.indices, minlength=d)
    counts.data = (1.0 + np.log(counts.data)) * (np.log((1 + n) / (1 + df)) + 1.0)[counts.indices]
    norms = np.sqrt(np.asarray(counts.multiply(counts).sum(axis=1)).ravel())
    X = (scipy.sparse.diags(1.0 / norms) @ counts).tocsr().astype(np.float32)
    return X, main.astype(np.int64)


def load(name: str) -> tuple[Any, np.ndarray] | None:
    """mnist10k, mnist10k-binary (pixels > 127) or the TF-IDF matrix."""
    if name == TFIDF:
        path = EXACT / "tfidf-20000.npz"
        if not path.exists():
            EXACT.mkdir(parents=True, exist_ok=True)
            X, y = tfidf_like()
            scipy.sparse.save_npz(path, X)
            np.save(EXACT / "tfidf-20000-topics.npy", y)
        return scipy.sparse.load_npz(path).tocsr(), np.load(EXACT / "tfidf-20000-topics.npy")
    mnist = common.load_mnist()
    if mnist is None:
        return None
    X, y = mnist
    return ((X > 127).astype(np.float32) if name == "mnist10k-binary" else X), y


def data_for(dataset: str, metric: str) -> str:
    return "mnist10k-binary" if dataset == "mnist10k" and metric in SET_METRICS else dataset


# ---------------------------------------------------------------------------
# Exact distances (float64, independent of quelmo's kernels)

def _dense_rows(metric: str, Q: np.ndarray, X: np.ndarray) -> np.ndarray:
    from scipy.spatial.distance import cdist

    if metric == "hellinger":
        def roots(A: np.ndarray) -> np.ndarray:
            sums = A.sum(axis=1, keepdims=True)
            return np.sqrt(A / np.where(sums > 0, sums, 1.0))
        return np.sqrt(np.maximum(1.0 - roots(Q) @ roots(X).T, 0.0))
    if metric in ("jaccard", "dice", "hamming"):
        return cdist(Q != 0, X != 0, metric)
    name = {"manhattan": "cityblock"}.get(metric, metric)
    kwds = {"p": MINKOWSKI_P} if metric == "minkowski" else {}
    return cdist(Q, X, name, **kwds)


def _sparse_rows(metric: str, Q: Any, X: Any) -> np.ndarray:
    """Rows of exact distances between non-negative CSR matrices, from sparse
    products (and, for the sums over shared columns, column slices)."""
    d = X.shape[1]
    counts_q, counts_x = np.diff(Q.indptr).astype(float), np.diff(X.indptr).astype(float)
    if metric in SET_METRICS:
        PQ, PX = Q.copy(), X.copy()
        PQ.data[:] = 1.0
        PX.data[:] = 1.0
        both = (PQ @ PX.T).toarray()
        total = counts_q[:, None] + counts_x[None, :]
        if metric == "hamming":
            return (total - 2.0 * both) / d
        if metric == "dice":
            return np.where(total > 0, (total - 2.0 * both) / np.maximum(total, 1.0), 0.0)
        union = total - both
        return np.where(union > 0, (union - both) / np.maximum(union, 1.0), 0.0)
    Q64, X64 = Q.astype(np.float64), X.astype(np.float64)
    if metric in ("euclidean", "cosine", "correlation", "hellinger"):
        if metric == "hellinger":
            Q64 = scipy.sparse.diags(1.0 / np.asarray(Q64.sum(axis=1)).ravel()) @ Q64
            X64 = scipy.sparse.diags(1.0 / np.asarray(X64.sum(axis=1)).ravel()) @ X64
            Q64.data, X64.data = np.sqrt(Q64.data), np.sqrt(X64.data)
            return np.sqrt(np.maximum(1.0 - (Q64 @ X64.T).toarray(), 0.0))
        dot = (Q64 @ X64.T).toarray()
        sq_q = np.asarray(Q64.multiply(Q64).sum(axis=1)).ravel()
        sq_x = np.asarray(X64.multiply(X64).sum(axis=1)).ravel()
        if metric == "euclidean":
            return np.sqrt(np.maximum(sq_q[:, None] + sq_x[None, :] - 2.0 * dot, 0.0))
        if metric == "cosine":
            return 1.0 - dot / np.sqrt(sq_q[:, None] * sq_x[None, :])
        s_q, s_x = np.asarray(Q64.sum(axis=1)).ravel(), np.asarray(X64.sum(axis=1)).ravel()
        var_q, var_x = sq_q - s_q ** 2 / d, sq_x - s_x ** 2 / d
        return 1.0 - (dot - s_q[:, None] * s_x[None, :] / d) / np.sqrt(var_q[:, None] * var_x)
    # manhattan, braycurtis, canberra: sums over the shared columns of each
    # query, from the columns of X it holds.
    l1_q, l1_x = np.asarray(Q64.sum(axis=1)).ravel(), np.asarray(X64.sum(axis=1)).ravel()
    Xc = X64.tocsc()
    out = np.empty((Q.shape[0], X.shape[0]))
    for i in range(Q.shape[0]):
        cols, vals = Q64.indices[Q64.indptr[i]:Q64.indptr[i + 1]], \
            Q64.data[Q64.indptr[i]:Q64.indptr[i + 1]]
        block = Xc[:, cols].toarray()
        if metric == "canberra":
            shared = block > 0
            part = np.where(shared, np.abs(block - vals) / (block + vals + (~shared)), 0.0)
            out[i] = counts_q[i] + counts_x - 2.0 * shared.sum(axis=1) + part.sum(axis=1)
            continue
        manhattan = l1_q[i] + l1_x - 2.0 * np.minimum(block, vals).sum(axis=1)
        out[i] = manhattan if metric == "manhattan" else manhattan / (l1_q[i] + l1_x)
    return out


def exact_reference(dataset: str, metric: str) -> tuple[np.ndarray, np.ndarray]:
    """The query sample and each query's exact 14th distance (itself
    excluded), cached."""
    EXACT.mkdir(parents=True, exist_ok=True)
    name = data_for(dataset, metric)
    path = EXACT / f"metrics-{name}-{metric}.npz"
    if path.exists():
        with np.load(path) as cached:
            return cached["queries"], cached["kth"]
    X, _ = load(name)
    n = X.shape[0]
    queries = np.sort(np.random.default_rng(1).choice(n, QUERY_SAMPLE, replace=False))
    kth = np.empty(len(queries))
    started = time.perf_counter()
    for lo in range(0, len(queries), 100):
        q = queries[lo:lo + 100]
        if scipy.sparse.issparse(X):
            rows = _sparse_rows(metric, X[q], X)
        else:
            rows = _dense_rows(metric, X[q].astype(np.float64), X.astype(np.float64))
        rows[np.arange(len(q)), q] = np.inf
        kth[lo:lo + 100] = np.partition(rows, K_OTHER - 1, axis=1)[:, K_OTHER - 1]
    print(f"  exact {name} {metric}: {time.perf_counter() - started:.0f} s (cached)",
          flush=True)
    np.savez(path, queries=queries, kth=kth)
    return queries, kth


def _paired(metric: str, A: np.ndarray, B: np.ndarray) -> np.ndarray:
    """Exact distances between corresponding rows of A and B (float64), by
    the metrics' definitions (those of SciPy's cdist)."""
    if metric in SET_METRICS:
        a, b = A != 0, B != 0
        both, total = (a & b).sum(axis=1), a.sum(axis=1) + b.sum(axis=1)
        if metric == "hamming":
            return (a != b).mean(axis=1)
        if metric == "dice":
            return np.where(total > 0, (total - 2.0 * both) / np.maximum(total, 1), 0.0)
        union = total - both
        return np.where(union > 0, (union - both) / np.maximum(union, 1), 0.0)
    if metric == "hellinger":
        sa, sb = A.sum(axis=1, keepdims=True), B.sum(axis=1, keepdims=True)
        affinity = np.sqrt(A / np.where(sa > 0, sa, 1) * (B / np.where(sb > 0, sb, 1))).sum(1)
        return np.sqrt(np.maximum(1.0 - affinity, 0.0))
    if metric in ("cosine", "correlation"):
        if metric == "correlation":
            A, B = A - A.mean(axis=1, keepdims=True), B - B.mean(axis=1, keepdims=True)
        return 1.0 - (A * B).sum(axis=1) / np.sqrt((A * A).sum(axis=1) * (B * B).sum(axis=1))
    diff = np.abs(A - B)
    if metric == "euclidean":
        return np.sqrt((diff ** 2).sum(axis=1))
    if metric == "sqeuclidean":
        return (diff ** 2).sum(axis=1)
    if metric == "manhattan":
        return diff.sum(axis=1)
    if metric == "chebyshev":
        return diff.max(axis=1)
    if metric == "minkowski":
        return (diff ** MINKOWSKI_P).sum(axis=1) ** (1.0 / MINKOWSKI_P)
    if metric == "canberra":
        den = np.abs(A) + np.abs(B)
        return np.where(den > 0, diff / np.where(den > 0, den, 1.0), 0.0).sum(axis=1)
    return diff.sum(axis=1) / np.abs(A + B).sum(axis=1)  # braycurtis


def pair_distances(metric: str, X: Any, rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
    """Exact distances of the pairs (rows[i], cols[i]), in chunks (sparse rows
    are made dense a few at a time)."""
    out = np.empty(len(rows))
    step = 50 if scipy.sparse.issparse(X) else 1000
    for lo in range(0, len(rows), step):
        a, b = X[rows[lo:lo + step]], X[cols[lo:lo + step]]
        if scipy.sparse.issparse(X):
            a, b = a.toarray(), b.toarray()
        out[lo:lo + step] = _paired(metric, a.astype(np.float64), b.astype(np.float64))
    return out


def recall(dataset: str, metric: str, indices: np.ndarray) -> float:
    """Share of found neighbours (column 0, the point itself, left out) no
    farther than the exact 14th neighbour of their query."""
    queries, kth = exact_reference(dataset, metric)
    X, _ = load(data_for(dataset, metric))
    found = np.asarray(indices)[queries][:, 1:K_OTHER + 1]
    rows = np.repeat(queries, found.shape[1])
    dist = pair_distances(metric, X, rows, found.ravel()).reshape(found.shape)
    tolerance = 1e-6 * np.maximum(kth, 1e-12)
    return float((dist <= (kth + tolerance)[:, None]).mean())


# ---------------------------------------------------------------------------
# Timed searches

def quelmo_search(metric: str, threads: int,
                  n_trees: int | None = None) -> Callable[[Any], np.ndarray]:
    from quelmo import _metrics, _neighbors

    kwds = {"p": MINKOWSKI_P} if metric == "minkowski" else None
    resolved = _metrics.resolve_metric(metric, kwds)

    def run(X: Any) -> np.ndarray:
        data = _metrics.prepare_data(X, resolved)
        idx, _ = _neighbors.nearest_neighbors(data, resolved, K_OTHER + 1, n_trees=n_trees,
                                              n_iters=None, leaf_size=None, seed=1,
                                              n_threads=threads)
        return idx
    return run


# Forest sizes tried for the matched-recall time, smallest first.
MATCH_TREES = {"euclidean-kernel": (4, 6, 8, 12, 16, 20, 24, 32),
               "general": (2, 3, 4, 6, 8)}


def matched_recall(dataset: str, metric: str, X: Any, target: float,
                   opts: argparse.Namespace) -> dict[str, Any]:
    """The smallest forest (other settings at their defaults) whose recall
    reaches ``target`` (pynndescent's), and its best time of --reps runs."""
    from quelmo import _metrics

    kwds = {"p": MINKOWSKI_P} if metric == "minkowski" else None
    resolved = _metrics.resolve_metric(metric, kwds)
    kind = ("euclidean-kernel" if _metrics.uses_euclidean_kernel(
        resolved, _metrics.prepare_data(X, resolved)) else "general")
    for trees in MATCH_TREES[kind]:
        run = quelmo_search(metric, opts.threads, n_trees=trees)
        wall, _, idx = timed(run, X)
        found = recall(dataset, metric, idx)
        if found >= target:
            best = min([wall] + [timed(run, X)[0] for _ in range(opts.reps - 1)])
            return {"matched_trees": trees, "matched_s": best, "matched_recall": found}
    return {}


def pynndescent_search(metric: str, threads: int) -> Callable[[Any], np.ndarray]:
    from pynndescent import NNDescent

    kwds = {"p": MINKOWSKI_P} if metric == "minkowski" else None

    def run(X: Any) -> np.ndarray:
        data = X.astype(bool) if metric in SET_METRICS and not scipy.sparse.issparse(X) else X
        index = NNDescent(data, metric=metric, metric_kwds=kwds, n_neighbors=K_OTHER + 1,
                          n_jobs=threads)
        return index.neighbor_graph[0]
    return run


def timed(run: Callable[[Any], np.ndarray], X: Any) -> tuple[float, float, np.ndarray]:
    wall, cpu = time.perf_counter(), time.process_time()
    out = run(X)
    return time.perf_counter() - wall, time.process_time() - cpu, out


def knn_rows(opts: argparse.Namespace, cache: dict[str, Any]) -> None:
    peers = not opts.no_pynndescent and _importable("pynndescent")
    for dataset in opts.data:
        if load(dataset) is None:
            print(f"{dataset}: data not present, skipped")
            continue
        metrics = [m for m in (opts.metrics or (SPARSE_METRICS if dataset == TFIDF
                                                 else DENSE_METRICS))]
        for metric in metrics:
            key = f"{dataset}/{metric}"
            if key in cache["knn"] and not opts.force:
                continue
            X, _ = load(data_for(dataset, metric))
            exact_reference(dataset, metric)
            ours, base = quelmo_search(metric, opts.threads), quelmo_search("euclidean",
                                                                            opts.threads)
            theirs = pynndescent_search(metric, opts.threads) if peers else None
            row: dict[str, Any] = {"data": data_for(dataset, metric), "metric": metric,
                                   "load_before": round(common.load_average(), 2),
                                   "commit": common.git_commit()}
            if theirs is not None:
                try:
                    row["pynndescent_first_s"] = timed(theirs, X)[0]
                except Exception as exc:  # a metric it does not offer for this data
                    row["pynndescent_error"] = f"{type(exc).__name__}: {exc}"[:200]
                    theirs = None
            times: dict[str, list[tuple[float, float]]] = {"q": [], "e": [], "p": []}
            for _ in range(opts.reps):
                wall, cpu, idx = timed(ours, X)
                times["q"].append((wall, cpu))
                times["e"].append(timed(base, X)[:2])
                if theirs is not None:
                    wall_p, cpu_p, idx_p = timed(theirs, X)
                    times["p"].append((wall_p, cpu_p))
            row["quelmo_s"], row["quelmo_cpu_s"] = min(times["q"])
            row["euclidean_s"] = min(times["e"])[0]
            row["recall"] = recall(dataset, metric, idx)
            if theirs is not None:
                row["pynndescent_s"], row["pynndescent_cpu_s"] = min(times["p"])
                row["pynndescent_recall"] = recall(dataset, metric, idx_p)
                if opts.matched:
                    row.update(matched_recall(dataset, metric, X, row["pynndescent_recall"],
                                              opts))
            cache["knn"][key] = row
            save(cache)
            print(" ", knn_line(row), flush=True)


def knn_line(r: dict[str, Any]) -> str:
    peer = (f"pynndescent {r['pynndescent_s']:.2f} s ({r['pynndescent_recall']:.4f})"
            if "pynndescent_s" in r else r.get("pynndescent_error", "no pynndescent"))
    return (f"{r['data']:>16} {r['metric']:<12} quelmo {r['quelmo_s']:.2f} s "
            f"(euclidean {r['euclidean_s']:.2f} s) recall {r['recall']:.4f}; {peer}")


# ---------------------------------------------------------------------------
# End to end, each tool in its own process

def child(tool: str, out: str, threads: int) -> None:
    X, _ = load(TFIDF)
    record: dict[str, Any] = {"tool": tool, "input_mb": round(
        (X.data.nbytes + X.indices.nbytes + X.indptr.nbytes) / 2**20, 1)}
    record["rss_before_mb"] = round(common.current_rss_mb(), 1)
    common.reset_peak_rss()
    if tool == "quelmo":
        from quelmo import UMAP

        def fit() -> np.ndarray:
            return UMAP(metric="cosine", n_jobs=threads, random_state=0).fit_transform(X)
    else:
        import umap

        def fit() -> np.ndarray:
            return umap.UMAP(metric="cosine", n_jobs=threads).fit_transform(X)
    start = time.perf_counter()
    embedding = fit()
    record["first_s"] = time.perf_counter() - start
    record["peak_rss_mb"] = round(common.peak_rss_mb(), 1)
    np.save(out + ".npy", np.asarray(embedding, np.float32))
    if tool != "quelmo":  # the first call compiles
        start = time.perf_counter()
        fit()
        record["warm_s"] = time.perf_counter() - start
    with open(out, "w") as handle:
        json.dump(record, handle)


def e2e_rows(opts: argparse.Namespace, cache: dict[str, Any]) -> None:
    from sklearn.manifold import trustworthiness
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    X, topics = load(TFIDF)
    sample = np.sort(np.random.default_rng(0).choice(X.shape[0], TRUST_SAMPLE, replace=False))
    for tool in ("quelmo", "umap-learn"):
        if tool in cache["e2e"] and not opts.force:
            continue
        if tool == "umap-learn" and not _importable("umap"):
            continue
        load_before = common.load_average()
        # The child's record and embedding go to a scratch folder, removed
        # whatever happens to the child.
        with tempfile.TemporaryDirectory(prefix="quelmo-metrics-") as scratch:
            out = os.path.join(scratch, f"e2e-{tool}.json")
            subprocess.run([common.python(), __file__, "--child", tool, out, "--threads",
                            str(opts.threads)], check=True, env=common.thread_env(opts.threads),
                           cwd=common.BENCH)
            with open(out) as handle:
                record = json.load(handle)
            embedding = np.load(out + ".npy")
        record["commit"] = common.git_commit()
        record["trustworthiness"] = float(trustworthiness(X[sample], embedding[sample],
                                                          n_neighbors=15, metric="cosine"))
        record["knn5_accuracy"] = float(cross_val_score(
            KNeighborsClassifier(5), embedding, topics, cv=5).mean())
        record["load_before"] = round(load_before, 2)
        cache["e2e"][tool] = record
        save(cache)
        print(" ", tool, record, flush=True)


# ---------------------------------------------------------------------------
# New points

TRANSFORM_CASES = (("mnist10k", "manhattan", 8000), (TFIDF, "cosine", 18000))


def transform_rows(opts: argparse.Namespace, cache: dict[str, Any]) -> None:
    """quelmo fits the first rows and transforms the rest: fit time,
    best-of-reps transform and query times with the graph search and the
    exact scan, the graph search's recall against the scan, the 5-NN
    accuracy of the new points against the fitted points' labels, and
    whether 7 uneven chunks give the batch's bits."""
    from sklearn.neighbors import KNeighborsClassifier

    from quelmo import UMAP, _metric_query

    cache.setdefault("transform", {})
    for dataset, metric, n_fit in TRANSFORM_CASES:
        key = f"{dataset}/{metric}"
        if key in cache["transform"] and not opts.force:
            continue
        loaded = load(dataset)
        if loaded is None:
            print(f"{dataset}: data not present, skipped")
            continue
        X, y = loaded
        row: dict[str, Any] = {"data": dataset, "metric": metric, "n_fit": n_fit,
                               "n_new": X.shape[0] - n_fit,
                               "load_before": round(common.load_average(), 2),
                               "commit": common.git_commit()}
        model = UMAP(metric=metric, n_jobs=opts.threads, random_state=0)
        row["fit_s"] = timed(lambda data: model.fit(data).embedding_, X[:n_fit])[0]
        new = X[n_fit:]
        best = None
        for _ in range(opts.reps):
            wall, cpu, out = timed(model.transform, new)
            best = (wall, cpu) if best is None else min(best, (wall, cpu))
        row["transform_s"], row["transform_cpu_s"] = best
        row.update(query_comparison(model, new, opts.reps, opts.threads))
        # The same model with its new points sent to the exact scan.
        threshold = _metric_query.GRAPH_MIN_ROWS
        _metric_query.GRAPH_MIN_ROWS = n_fit + 1
        try:
            row["transform_exact_s"] = min(timed(model.transform, new)[0]
                                           for _ in range(opts.reps))
        finally:
            _metric_query.GRAPH_MIN_ROWS = threshold
        cuts = np.linspace(0, new.shape[0], 8).astype(int)
        cuts[1] = 1
        chunks = np.vstack([model.transform(new[a:b]) for a, b in zip(cuts, cuts[1:])])
        row["chunks_same_bits"] = chunks.tobytes() == out.tobytes()
        knn = KNeighborsClassifier(5).fit(model.embedding_, y[:n_fit])
        row["knn5_accuracy"] = float(knn.score(out, y[n_fit:]))
        cache["transform"][key] = row
        save(cache)
        print(" ", row, flush=True)


def query_comparison(model: Any, new: Any, reps: int, threads: int) -> dict[str, float]:
    """Best-of-reps times of the neighbour query of the new points alone by
    the graph search and by the exact scan (alternating), and the graph
    search's recall@15 against the scan: the same ids, and by distance."""
    from quelmo import _metric_query, _metrics, _transform

    state = model._transform_state
    data = state.sparse_rows if state.sparse else state.data
    metric = state.metric_spec
    points = _metrics.search_rows(_transform.check_points(new, state), metric)
    k = state.knn_indices.shape[1] - 1
    runs = {"graph": lambda: _metric_query.graph_query(data, points, state.graph,
                                                       state.query_seeds, metric, k, threads),
            "exact": lambda: _metric_query.exact_query(data, points, metric, k, threads)}
    best: dict[str, float] = {}
    found: dict[str, tuple[np.ndarray, np.ndarray]] = {}
    for _ in range(reps):
        for name, run in runs.items():
            start = time.perf_counter()
            found[name] = run()
            best[name] = min(best.get(name, np.inf), time.perf_counter() - start)
    (gi, gd), (ei, ed) = found["graph"], found["exact"]
    return {"query_graph_s": best["graph"], "query_exact_s": best["exact"],
            "query_recall": float((gi[:, :, None] == ei[:, None, :]).any(axis=2).mean()),
            "query_recall_distance": float((gd <= ed[:, -1:]).mean())}


# ---------------------------------------------------------------------------
# Tables

def tables(cache: dict[str, Any]) -> str:
    lines = ["| data | metric | recall@15 | time s (CPU s) | / euclidean | pynndescent warm s "
             "(CPU s) | pynndescent recall | pynndescent / quelmo | at pynndescent's recall: "
             "trees, s, pynndescent / quelmo | load |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in cache["knn"].values():
        metric = r["metric"] + (f" (p={MINKOWSKI_P:g})" if r["metric"] == "minkowski" else "")
        if "pynndescent_s" in r:
            peer = (f"{r['pynndescent_s']:.2f} ({r['pynndescent_cpu_s']:.2f}) | "
                    f"{r['pynndescent_recall']:.4f} | {r['pynndescent_s'] / r['quelmo_s']:.1f}x")
        else:
            peer = "– | – | –"
        matched = (f"{r['matched_trees']}, {r['matched_s']:.2f}, "
                   f"{r['pynndescent_s'] / r['matched_s']:.1f}x" if "matched_s" in r else "–")
        lines.append(f"| {r['data']} | {metric} | {r['recall']:.4f} | {r['quelmo_s']:.2f} "
                     f"({r['quelmo_cpu_s']:.2f}) | {r['quelmo_s'] / r['euclidean_s']:.2f} | "
                     f"{peer} | {matched} | {r['load_before']:.1f} |")
    out = "\n".join(lines)
    if cache["e2e"]:
        out += ("\n\n| tool (TF-IDF 20,000 x 100,000, cosine) | fit s (first call) | warm s | "
                "input MB | RSS before fit MB | peak RSS MB | peak - before MB | "
                "trustworthiness | 5-NN topic accuracy | load |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for tool, r in cache["e2e"].items():
            warm = f"{r['warm_s']:.1f}" if "warm_s" in r else "–"
            out += (f"\n| {tool} | {r['first_s']:.1f} | {warm} | {r['input_mb']:.1f} | "
                    f"{r['rss_before_mb']:.0f} | {r['peak_rss_mb']:.0f} | "
                    f"{r['peak_rss_mb'] - r['rss_before_mb']:.0f} | "
                    f"{r['trustworthiness']:.3f} | {r['knn5_accuracy']:.3f} | "
                    f"{r['load_before']:.1f} |")
    if cache.get("transform"):
        out += ("\n\n| new points | fit rows | new rows | fit s | transform s (CPU s) | "
                "ms per new point | with the exact scan s | query s: graph / exact | "
                "graph recall@15 (by distance) | 5-NN accuracy of new points | "
                "7 chunks = batch | load |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|")
        for r in cache["transform"].values():
            if "query_graph_s" in r:
                graph = (f"{r['transform_exact_s']:.2f} | {r['query_graph_s']:.3f} / "
                         f"{r['query_exact_s']:.3f} | {r['query_recall']:.4f} "
                         f"({r['query_recall_distance']:.4f})")
            else:
                graph = "– | – | –"
            out += (f"\n| {r['data']}, {r['metric']} | {r['n_fit']} | {r['n_new']} | "
                    f"{r['fit_s']:.1f} | {r['transform_s']:.2f} ({r['transform_cpu_s']:.2f}) | "
                    f"{1000 * r['transform_s'] / r['n_new']:.2f} | {graph} | "
                    f"{r['knn5_accuracy']:.4f} | "
                    f"{'yes' if r['chunks_same_bits'] else 'no'} | {r['load_before']:.1f} |")
    if "machine" in cache:
        m = cache["machine"]
        rows = [r for part in ("knn", "e2e", "transform")
                for r in cache.get(part, {}).values()]
        commits = sorted({r.get("commit", "7aa9f36") for r in rows})
        out += (f"\n\n{m['cpu']}, {m['cores']} cores; one-minute load average before each row "
                f"in the last column; rows measured at quelmo commit(s) {', '.join(commits)}.")
    return out


def _importable(module: str) -> bool:
    from importlib.util import find_spec

    return find_spec(module) is not None


def load_cache() -> dict[str, Any]:
    if CACHE.exists():
        return json.loads(CACHE.read_text())
    return {"knn": {}, "e2e": {}, "transform": {}}


def save(cache: dict[str, Any]) -> None:
    CACHE.parent.mkdir(parents=True, exist_ok=True)
    cache["machine"] = common.machine()
    CACHE.write_text(json.dumps(cache, indent=1, sort_keys=True))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--parts", nargs="+", choices=["knn", "e2e", "transform"],
                        default=["knn", "e2e", "transform"])
    parser.add_argument("--data", nargs="+", default=["mnist10k", TFIDF])
    parser.add_argument("--metrics", nargs="+", help="default: every metric of the data")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--no-pynndescent", action="store_true")
    parser.add_argument("--matched", action="store_true",
                        help="also time quelmo's smallest forest that reaches pynndescent's "
                             "recall")
    parser.add_argument("--force", action="store_true", help="measure cached rows again")
    parser.add_argument("--report", action="store_true", help="print the tables only")
    parser.add_argument("--child", nargs=2, metavar=("TOOL", "OUT"), help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child:
        child(opts.child[0], opts.child[1], opts.threads)
        return
    os.environ.setdefault("NUMBA_NUM_THREADS", str(opts.threads))
    cache = load_cache()
    if not opts.report:
        if "knn" in opts.parts:
            knn_rows(opts, cache)
        if "e2e" in opts.parts:
            e2e_rows(opts, cache)
        if "transform" in opts.parts:
            transform_rows(opts, cache)
    print(tables(cache))


if __name__ == "__main__":
    sys.exit(main())
