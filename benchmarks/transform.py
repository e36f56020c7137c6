"""Placing new points on a fitted embedding: quelmo's transform against
umap-learn's, in the same run, on MNIST (8,000 fitted, 2,000 new) and on the
32-dimensional Gaussian mixture (90,000 fitted, 10,000 new).

For each tool a fresh child process, with every thread pool pinned to
``--threads``, fits on the first part, saves the model (quelmo: ``save``,
umap-learn: ``joblib.dump``), transforms the new points once (the first
call: just-in-time compilation included), then ``--repeats`` times more (the
warm time is their median), then as 7 uneven chunks and once more as one
batch, and queries the 15 nearest training points of the new points with the
tool's own index.  Then, ``--repeats`` times and alternating the tools, a
fresh process loads the saved model and transforms the new points: its whole
wall time, interpreter start and imports included, is the "load + transform"
figure.  The parent scores the recall of the query against exact neighbours
and the accuracy of a 5-nearest-neighbour classifier, trained on the fitted
embedding and its labels, on the transformed new points.

Results are cached in benchmarks/results/transform.json (``--force`` reruns,
``--report`` prints the tables); the figure is
benchmarks/figures/transform_new_points.png.

Run from the repository root:
    python benchmarks/transform.py
    python benchmarks/transform.py --datasets mnist10k --repeats 3
    python benchmarks/transform.py --report
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

import common

TOOLS = ("quelmo", "umap-learn")
DATASETS = {"mnist10k": 8_000, "mixture-100000": 90_000}
CACHE = common.RESULTS / "transform.json"
RUNS = common.RESULTS / "runs" / "transform"
FIGURE = common.FIGURES / "transform_new_points.png"
K = 15


def chunk_cuts(m: int) -> list[int]:
    """Boundaries of 7 uneven chunks of m rows, two of them single rows."""
    return [0, 1, m // 10, m // 10 + 1, m // 3, m // 2, m - 7, m]


# -- children ----------------------------------------------------------------------

def child_fit(tool: str, name: str, threads: int, repeats: int, out: Path) -> None:
    X, _ = common.dataset(name)
    n_fit = DATASETS[name]
    fitted, new = X[:n_fit], X[n_fit:]
    record: dict[str, Any] = {}
    if tool == "quelmo":
        from quelmo import UMAP, _transform

        model = UMAP(n_neighbors=K, n_jobs=threads, random_state=0)
    else:
        import inspect

        import umap

        # Unseeded: a random_state makes umap-learn run on one thread.
        extra = ({"compatibility_layout": True}
                 if "compatibility_layout" in inspect.signature(umap.UMAP).parameters else {})
        model = umap.UMAP(n_neighbors=K, n_jobs=threads, **extra)
    start = time.perf_counter()
    model.fit(fitted)
    record["fit_s"] = time.perf_counter() - start
    model_path = RUNS / f"{name}__{tool}.model"
    start = time.perf_counter()
    if tool == "quelmo":
        model.save(model_path)
    else:
        import joblib

        joblib.dump(model, model_path)
    record["save_s"] = time.perf_counter() - start
    record["model_mb"] = model_path.stat().st_size / 2**20

    start = time.perf_counter()
    model.transform(new)
    record["first_transform_s"] = time.perf_counter() - start
    warm = []
    for _ in range(repeats):
        start = time.perf_counter()
        batch = np.asarray(model.transform(new), dtype=np.float32)
        warm.append(time.perf_counter() - start)
    record["warm_transform_s"] = warm
    cuts = chunk_cuts(len(new))
    chunks = np.vstack([model.transform(new[a:b]) for a, b in zip(cuts, cuts[1:])])
    again = np.asarray(model.transform(new), dtype=np.float32)
    record["chunks_max_diff"] = float(np.abs(chunks - batch).max())
    record["repeat_max_diff"] = float(np.abs(again - batch).max())

    start = time.perf_counter()
    if tool == "quelmo":
        ids = _transform.query(model._transform_state, new, K, threads)[0]
    else:
        ids = model._knn_search_index.query(new, k=K)[0]
    record["query_s"] = time.perf_counter() - start
    np.save(RUNS / f"{name}__{tool}__ids.npy", np.asarray(ids, dtype=np.int64))
    np.save(RUNS / f"{name}__{tool}__new.npy", batch)
    np.save(RUNS / f"{name}__{tool}__embedding.npy",
            np.asarray(model.embedding_, dtype=np.float32))
    out.write_text(json.dumps(record))


def child_load(tool: str, name: str, out: Path) -> None:
    """Import, load the saved model, transform the new points, save them."""
    start = time.perf_counter()
    if tool == "quelmo":
        import quelmo as package

        load = package.load
    else:
        import joblib
        import umap  # noqa: F401 (the unpickled model needs it)

        load = joblib.load
    record = {"import_s": time.perf_counter() - start}
    start = time.perf_counter()
    model = load(RUNS / f"{name}__{tool}.model")
    record["load_s"] = time.perf_counter() - start
    new = np.load(RUNS / f"{name}__new_points.npy")
    start = time.perf_counter()
    points = np.asarray(model.transform(new), dtype=np.float32)
    record["transform_s"] = time.perf_counter() - start
    np.save(out.with_suffix(".npy"), points)
    out.write_text(json.dumps(record))


# -- parent ------------------------------------------------------------------------

def run_child(args: list[str], threads: int, timeout: float) -> float:
    start = time.perf_counter()
    proc = subprocess.run([common.python(), str(Path(__file__).resolve()), *args],
                          env=common.thread_env(threads), cwd=common.BENCH,
                          capture_output=True, text=True, timeout=timeout)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError(f"child {args} failed:\n{proc.stderr[-3000:]}")
    return wall


def exact_neighbours(name: str, fitted: np.ndarray, new: np.ndarray) -> np.ndarray:
    path = common.RESULTS / "exact" / f"transform_{name}_{K}.npy"
    if path.exists():
        return np.load(path)
    norms = (fitted.astype(np.float64) ** 2).sum(1)
    out = []
    for start in range(0, len(new), 500):
        block = new[start:start + 500].astype(np.float64)
        d2 = norms[None, :] - 2.0 * block @ fitted.T.astype(np.float64)
        part = np.argpartition(d2, K, axis=1)[:, :K]
        out.append(np.take_along_axis(part, np.argsort(np.take_along_axis(d2, part, 1), 1), 1))
    exact = np.vstack(out)
    path.parent.mkdir(parents=True, exist_ok=True)
    np.save(path, exact)
    return exact


def recall(ids: np.ndarray, exact: np.ndarray) -> float:
    return float(np.mean([len(set(a) & set(b)) / K for a, b in zip(ids, exact)]))


def run_dataset(name: str, opts: argparse.Namespace) -> dict[str, Any]:
    from sklearn.neighbors import KNeighborsClassifier

    X, y = common.dataset(name)
    n_fit = DATASETS[name]
    RUNS.mkdir(parents=True, exist_ok=True)
    np.save(RUNS / f"{name}__new_points.npy", X[n_fit:])
    exact = exact_neighbours(name, X[:n_fit], X[n_fit:])
    result: dict[str, Any] = {"dataset": name, "n_fit": n_fit, "n_new": len(X) - n_fit,
                              "threads": opts.threads, "load_before": common.load_average(),
                              "date": time.strftime("%Y-%m-%d %H:%M"), "tools": {}}
    for tool in TOOLS:
        out = RUNS / f"{name}__{tool}__fit.json"
        run_child(["--child-fit", tool, name, str(out), "--threads", str(opts.threads),
                   "--repeats", str(opts.repeats)], opts.threads, opts.timeout)
        record = json.loads(out.read_text())
        record["warm_median_s"] = float(np.median(record["warm_transform_s"]))
        record["query_recall"] = recall(np.load(RUNS / f"{name}__{tool}__ids.npy"), exact)
        embedding = np.load(RUNS / f"{name}__{tool}__embedding.npy")
        new_points = np.load(RUNS / f"{name}__{tool}__new.npy")
        classifier = KNeighborsClassifier(5).fit(embedding, y[:n_fit])
        record["knn5_accuracy"] = float(classifier.score(new_points, y[n_fit:]))
        record["fresh"] = []
        result["tools"][tool] = record
    for _ in range(opts.repeats):  # alternate the tools: drifts in load hit both
        for tool in TOOLS:
            out = RUNS / f"{name}__{tool}__load.json"
            wall = run_child(["--child-load", tool, name, str(out)], opts.threads,
                             opts.timeout)
            record = json.loads(out.read_text())
            record["wall_s"] = wall
            batch = np.load(RUNS / f"{name}__{tool}__new.npy")
            record["max_diff_to_warm"] = float(np.abs(np.load(out.with_suffix(".npy"))
                                                      - batch).max())
            result["tools"][tool]["fresh"].append(record)
    for record in result["tools"].values():
        record["fresh_median_s"] = float(np.median([r["wall_s"] for r in record["fresh"]]))
    result["load_after"] = common.load_average()
    return result


def figure(names: list[str]) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, axes = plt.subplots(len(names), len(TOOLS), figsize=(6 * len(TOOLS), 5.2 * len(names)),
                             dpi=90, squeeze=False)
    for row, name in enumerate(names):
        _, y = common.dataset(name)
        n_fit = DATASETS[name]
        for col, tool in enumerate(TOOLS):
            ax = axes[row][col]
            embedding = np.load(RUNS / f"{name}__{tool}__embedding.npy")
            new = np.load(RUNS / f"{name}__{tool}__new.npy")
            ax.scatter(embedding[:, 0], embedding[:, 1], s=0.3, lw=0, c="#cccccc")
            ax.scatter(new[:, 0], new[:, 1], s=1.5 if len(new) > 5000 else 3, lw=0,
                       c=y[n_fit:], cmap="tab10" if y.max() < 10 else "tab20")
            ax.set_title(f"{tool}: {len(new):,} new points on {n_fit:,} fitted ({name})",
                         fontsize=10)
            ax.set_xticks([])
            ax.set_yticks([])
    fig.tight_layout()
    FIGURE.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(FIGURE)
    plt.close(fig)
    return True


def tables(cache: dict[str, Any]) -> str:
    lines = ["| data | tool | fit s | first transform s | warm transform s "
             "| fresh load + transform s | model MB | query recall@15 | 5-NN accuracy "
             "| max diff, 7 chunks | max diff, same batch again |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    ratios = ["| data | warm: umap-learn / quelmo | load + transform: umap-learn / quelmo "
              "| 5-NN accuracy: quelmo − umap-learn | load avg. |", "|---|---:|---:|---:|---:|"]
    for name in DATASETS:
        result = cache.get(name)
        if result is None:
            continue
        tools = result["tools"]
        for tool in TOOLS:
            r = tools[tool]
            lines.append(
                f"| {name} | {tool} | {r['fit_s']:.1f} | {r['first_transform_s']:.2f} "
                f"| {r['warm_median_s']:.3f} | {r['fresh_median_s']:.2f} | {r['model_mb']:.1f} "
                f"| {r['query_recall']:.4f} | {r['knn5_accuracy']:.4f} "
                f"| {r['chunks_max_diff']:.3g} | {r['repeat_max_diff']:.3g} |")
        q, u = tools["quelmo"], tools["umap-learn"]
        ratios.append(f"| {name} | {u['warm_median_s'] / q['warm_median_s']:.1f} "
                      f"| {u['fresh_median_s'] / q['fresh_median_s']:.1f} "
                      f"| {q['knn5_accuracy'] - u['knn5_accuracy']:+.4f} "
                      f"| {result['load_before']:.1f} / {result['load_after']:.1f} |")
    dates = ", ".join(f"{name} {cache[name]['date']}" for name in DATASETS if name in cache)
    note = (f"Runs of {dates}; one-minute load average before / after each data set in the last "
            "column (2 cores, other work shared the machine).")
    return "\n".join(lines + [""] + ratios + ["", note])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--datasets", nargs="+", default=list(DATASETS), choices=list(DATASETS))
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--timeout", type=float, default=4 * 3600)
    parser.add_argument("--force", action="store_true")
    parser.add_argument("--report", action="store_true")
    parser.add_argument("--child-fit", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--child-load", nargs=3, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child_fit:
        tool, name, out = opts.child_fit
        child_fit(tool, name, opts.threads, opts.repeats, Path(out))
        return
    if opts.child_load:
        tool, name, out = opts.child_load
        child_load(tool, name, Path(out))
        return
    cache = json.loads(CACHE.read_text()) if CACHE.exists() else {}
    if not opts.report:
        cache["machine"] = common.machine()
        for name in opts.datasets:
            if name in cache and not opts.force:
                continue
            if common.dataset(name) is None:
                print(f"{name}: data set not present, skipped", file=sys.stderr)
                continue
            cache[name] = run_dataset(name, opts)
            CACHE.write_text(json.dumps(cache, indent=1, sort_keys=True))
        figure([n for n in DATASETS if n in cache])
    print(tables(cache))


if __name__ == "__main__":
    main()
