"""Cost of the progress bars and of Ctrl-C: the neighbour search and the
layout of one problem run three ways in one process, repetitions
interleaved:

- plain: the first module's method, called directly (no thread, no control
  record: what a fit did before);
- record: the progress entry point on a worker thread with a control
  record, the calling thread waiting for it (what a fit does now without
  ``verbose``);
- bars: the same with tqdm bars (``verbose=True``), the record read and the
  bars drawn (to /dev/null) every 0.2 s.

Prints the median wall and CPU seconds of each (CPU: all threads of the
process), the ratios to plain, whether all three gave the same bytes, and,
for the two ways on a worker thread, the CPU seconds of the calling thread,
which does nothing but poll the record and draw the bars: their whole cost
on the host side, as a share of the stage's wall time.

Run from the repository root:  python benchmarks/progress_cost.py [--n N] [--rounds R]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import sys
import time
from typing import Callable

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import gaussian_mixture  # noqa: E402

from quelmo import _graph, _layout, _native_quelmo, _neighbors  # noqa: E402

A, B = 1.576943460405378, 0.8950608781227859
THREADS = 2


def timed(run: Callable[[], bytes]) -> tuple[float, float, float, bytes]:
    wall, cpu, own = time.perf_counter(), time.process_time(), time.thread_time()
    out = run()
    return (time.perf_counter() - wall, time.process_time() - cpu, time.thread_time() - own,
            out)


def knn_runs(x: np.ndarray) -> dict[str, Callable[[], bytes]]:
    n, d = x.shape
    k = 14
    n_trees, n_iters, leaf_size = _neighbors.default_knn_params(n)

    def plain() -> bytes:
        idx = np.empty((n, k), np.int32)
        dist = np.empty((n, k), np.float32)
        assert _native_quelmo.knn_descent_f32(x, idx, dist, n, d, k, n_trees, n_iters, 5,
                                              leaf_size, THREADS) == 0
        return idx.tobytes() + dist.tobytes()

    def progress(show: bool) -> bytes:
        idx, dist = _neighbors.search_knn(x, k, n_trees=n_trees, n_iters=n_iters,
                                          leaf_size=leaf_size, seed=5, n_threads=THREADS,
                                          show_progress=show)
        return idx.tobytes() + dist.tobytes()

    return {"plain": plain, "record": lambda: progress(False), "bars": lambda: progress(True)}


def layout_runs(x: np.ndarray, n_epochs: int) -> dict[str, Callable[[], bytes]]:
    n = len(x)
    idx, squared = _neighbors.search_knn(x, 14, n_trees=8, n_iters=10, leaf_size=60, seed=5,
                                         n_threads=THREADS)
    _neighbors.fill_empty_slots(x, idx, squared)
    graph = _graph.fuzzy_graph(*_neighbors.dense_knn(idx, squared))
    head, tail, eps = _graph.edge_list(graph, n_epochs)
    start = np.random.default_rng(1).uniform(0, 10, (n, 2)).astype(np.float32)

    def plain() -> bytes:
        emb = start.copy()
        _native_quelmo.umap_layout_euclidean_f32(emb, head, tail, eps, n, 2, n_epochs, A, B,
                                                 1.0, 1.0, 5.0, 9, THREADS)
        return emb.tobytes()

    def progress(show: bool) -> bytes:
        emb = start.copy()
        _layout.optimize_layout(emb, head, tail, eps, n_epochs=n_epochs, a=A, b=B, gamma=1.0,
                                learning_rate=1.0, negative_sample_rate=5.0, seed=9,
                                n_threads=THREADS, show_progress=show)
        return emb.tobytes()

    return {"plain": plain, "record": lambda: progress(False), "bars": lambda: progress(True)}


def measure(stage: str, runs: dict[str, Callable[[], bytes]], rounds: int) -> None:
    walls: dict[str, list[float]] = {name: [] for name in runs}
    cpus: dict[str, list[float]] = {name: [] for name in runs}
    owns: dict[str, list[float]] = {name: [] for name in runs}
    outputs: dict[str, bytes] = {}
    names = list(runs)
    with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
        for r in range(rounds):
            for name in names[r % 3:] + names[:r % 3]:  # each first in turn
                wall, cpu, own, out = timed(runs[name])
                walls[name].append(wall)
                cpus[name].append(cpu)
                owns[name].append(own / wall)
                outputs.setdefault(name, out)
    same = len(set(outputs.values())) == 1
    base_wall = statistics.median(walls["plain"])
    base_cpu = statistics.median(cpus["plain"])
    for name in names:
        wall, cpu = statistics.median(walls[name]), statistics.median(cpus[name])
        # The plain way runs the kernel's driver in the calling thread.
        own = "-" if name == "plain" else f"{100 * statistics.median(owns[name]):.3f} %"
        print(f"| {stage} | {name} | {wall:.3f} | {cpu:.3f} | {wall / base_wall:.4f} | "
              f"{cpu / base_cpu:.4f} | {'yes' if same else 'NO'} | {own} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000, help="points of the mixture")
    parser.add_argument("--rounds", type=int, default=5, help="repetitions of each way")
    parser.add_argument("--epochs", type=int, default=200, help="layout epochs")
    args = parser.parse_args()
    x, _ = gaussian_mixture(args.n)
    print(f"mixture of {args.n} points, {THREADS} threads, {args.rounds} rounds, medians")
    print("| stage | way | wall s | CPU s | wall / plain | CPU / plain | same bytes | "
          "calling thread CPU / wall |")
    print("|---|---|---|---|---|---|---|---|")
    measure("kNN", knn_runs(x), args.rounds)
    measure("layout", layout_runs(x, args.epochs), args.rounds)


if __name__ == "__main__":
    main()
