"""Throughput of the layout optimisers on a realistic edge list.

Builds the symmetric 15-nearest-neighbour graph of 100,000 clustered points
(both edge directions, in head order, as a fuzzy graph delivers them), with
UMAP-like sampling periods, and runs 200 epochs in two dimensions with the
serial optimiser and with the threaded one at 1, 2 and the online processor
count of threads, side by side in one run.  The second case, the same graph
of the MNIST 10k sample (500 epochs, as UMAP runs it), runs when
../shared/data/mnist10k.npz is present.  A third, the layout inputs of a
whole fit of the end-to-end benchmarks' mixture (--mixture N points: its
graph, spectral initialisation, curve and seed, exactly as UMAP hands them
to the optimiser), runs when asked for with --cases; --cache DIR keeps those
inputs between runs (a million points take minutes to build).

With --baseline PATH (the extension's shared object built from an earlier
commit), both builds run the serial optimiser and the threaded one with 2
threads on the same inputs, interleaved, and the table gives the ratio of
their times and whether the two embeddings are the same bytes.

Run from the repository root:
    python benchmarks/layout.py [--quick] [--baseline SO] [--cases clusters mnist mixture]
"""

from __future__ import annotations

import argparse
import ctypes
import os
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from quelmo import _native_quelmo

ROOT = Path(__file__).resolve().parent.parent
MNIST = ROOT.parent / "shared" / "data" / "mnist10k.npz"

# UMAP's curve parameters for min_dist = 0.1, spread = 1.
A, B = 1.576943460405378, 0.8950608781227859


@dataclass
class Graph:
    name: str
    embedding: np.ndarray
    head: np.ndarray
    tail: np.ndarray
    eps: np.ndarray
    a: float = A
    b: float = B
    gamma: float = 1.0
    alpha: float = 1.0
    nsr: float = 5.0
    seed: int | None = None  # None: the run's seed
    n_epochs: int | None = None  # None: the command line's


def knn_brute(x: np.ndarray, k: int, chunk: int = 1000) -> tuple[np.ndarray, np.ndarray]:
    """Exact k nearest neighbours (the point itself excluded) by blocks."""
    sq = (x * x).sum(1)
    idx = np.empty((len(x), k), dtype=np.int64)
    dist = np.empty((len(x), k), dtype=np.float64)
    for lo in range(0, len(x), chunk):
        blk = x[lo:lo + chunk]
        d2 = sq[lo:lo + chunk, None] + sq[None, :] - 2.0 * blk @ x.T
        d2[np.arange(len(blk)), np.arange(lo, lo + len(blk))] = np.inf
        part = np.argpartition(d2, k, axis=1)[:, :k]
        pd = np.take_along_axis(d2, part, 1)
        order = np.argsort(pd, axis=1)
        idx[lo:lo + chunk] = np.take_along_axis(part, order, 1)
        dist[lo:lo + chunk] = np.sqrt(np.maximum(np.take_along_axis(pd, order, 1), 0.0))
    return idx, dist


def knn_tree(x: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    from scipy.spatial import cKDTree
    dist, idx = cKDTree(x).query(x, k + 1)
    return idx[:, 1:], dist[:, 1:]


def edge_list(name: str, idx: np.ndarray, dist: np.ndarray, seed: int) -> Graph:
    """Membership weights exp(-(d - rho) / sigma) per row (sigma: mean excess
    distance, a stand-in for the bandwidth search), every edge in both
    directions, sorted by head; periods are max weight / weight."""
    n, k = idx.shape
    rho = dist[:, :1]
    sigma = np.maximum((dist - rho).mean(1, keepdims=True), 1e-3)
    w = np.exp(-(dist - rho) / sigma).reshape(-1)
    rows = np.repeat(np.arange(n), k)
    cols = idx.reshape(-1)
    head = np.concatenate([rows, cols])
    tail = np.concatenate([cols, rows])
    w = np.concatenate([w, w])
    order = np.lexsort((tail, head))
    rng = np.random.default_rng(seed)
    emb = rng.uniform(0.0, 10.0, (n, 2)).astype(np.float32)
    eps = (w.max() / w[order]).astype(np.float32)
    return Graph(name, emb, head[order].astype(np.int32), tail[order].astype(np.int32), eps)


def synthetic(n: int, k: int, seed: int) -> Graph:
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((12, 8)) * 5.0
    x = centers[rng.integers(0, len(centers), n)] + rng.standard_normal((n, 8))
    idx, dist = knn_tree(x, k)
    return edge_list(f"clusters {n // 1000}k, k={k}", idx, dist, seed)


def mnist(k: int, seed: int) -> Graph | None:
    if not MNIST.exists():
        return None
    with np.load(MNIST) as data:
        x = data["X"].astype(np.float32)
    idx, dist = knn_brute(x, k)
    return edge_list(f"mnist 10k, k={k}", idx, dist, seed)


def mixture(n: int, cache: Path | None) -> Graph:
    """The optimiser's inputs in a fit of the benchmark mixture of n points
    (random_state 0, two threads), captured where UMAP calls the layout."""
    path = cache / f"layout_inputs_mixture_{n}.npz" if cache else None
    if path is not None and path.exists():
        with np.load(path) as d:
            return Graph(f"mixture {n // 1000}k", d["embedding"], d["head"], d["tail"], d["eps"],
                         *(float(v) for v in d["floats"]), int(d["seed"]), int(d["n_epochs"]))
    import quelmo
    from quelmo import _layout
    from common import gaussian_mixture
    x, _ = gaussian_mixture(n)
    seen: dict = {}
    real = _layout.optimize_layout
    _layout.optimize_layout = lambda embedding, head, tail, eps, **kw: seen.update(
        embedding=embedding.copy(), head=head, tail=tail, eps=eps, **kw)
    try:
        quelmo.UMAP(random_state=0, n_jobs=2).fit(x)
    finally:
        _layout.optimize_layout = real
    floats = np.array([seen["a"], seen["b"], seen["gamma"], seen["learning_rate"],
                       seen["negative_sample_rate"]])
    if path is not None:
        path.parent.mkdir(parents=True, exist_ok=True)
        np.savez(path, embedding=seen["embedding"], head=seen["head"], tail=seen["tail"],
                 eps=seen["eps"], floats=floats, seed=np.uint64(seen["seed"]),
                 n_epochs=seen["n_epochs"])
    return Graph(f"mixture {n // 1000}k", seen["embedding"], seen["head"], seen["tail"],
                 seen["eps"], *(float(v) for v in floats), int(seen["seed"]),
                 int(seen["n_epochs"]))


def count_updates(eps: np.ndarray, n_epochs: int, nsr: float) -> tuple[int, int]:
    """Attractive updates and negative samples of one run: the edge schedule
    replayed with the kernel's own double-precision arithmetic."""
    eps64 = eps.astype(np.float64)
    live = eps > 0
    epn = eps64 / np.float64(np.float32(nsr))
    eons = eps64.copy()
    eonn = epn.copy()
    n_att = n_neg = 0
    for n in range(n_epochs):
        due = live & (eons <= n)
        n_att += int(due.sum())
        eons[due] += eps64[due]
        neg = np.trunc((n - eonn[due]) / epn[due])
        neg = np.where(neg > 0, neg, 0)
        n_neg += int(neg.sum())
        sel = np.flatnonzero(due)
        eonn[sel] += neg * epn[sel]
    return n_att, n_neg


_ARGTYPES = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
             ctypes.c_int64, ctypes.c_void_p, ctypes.c_int, ctypes.c_float, ctypes.c_float,
             ctypes.c_float, ctypes.c_float, ctypes.c_float, ctypes.c_uint64]


def kernels(path: str) -> tuple:
    """The serial and the threaded optimiser of one build, through ctypes."""
    lib = ctypes.CDLL(path)
    serial = lib.vorlix_umap_optimize_layout_euclidean_f32
    serial.restype, serial.argtypes = None, _ARGTYPES
    threaded = lib.vorlix_umap_optimize_layout_euclidean_f32_parallel
    threaded.restype, threaded.argtypes = ctypes.c_int, _ARGTYPES + [ctypes.c_int]
    return serial, threaded


def run(graph: Graph, n_epochs: int, n_threads: int | None, seed: int,
        path: str | None = None) -> tuple[float, float, int, np.ndarray]:
    """Wall and process CPU seconds (all threads) of one optimisation, the
    status and the embedding; n_threads None means the serial kernel.  With a
    path, that build's kernels run through ctypes; else this build's (the
    threaded one through the module method)."""
    emb = graph.embedding.copy()
    if graph.seed is not None:
        seed = graph.seed
    args = (emb.ctypes.data, len(emb), 2, graph.head.ctypes.data, graph.tail.ctypes.data,
            len(graph.head), graph.eps.ctypes.data, n_epochs, graph.a, graph.b, graph.gamma,
            graph.alpha, graph.nsr, seed)
    if n_threads is None or path is not None:
        serial, threaded = kernels(path or _native_quelmo.__file__)
        w0, c0 = time.perf_counter(), time.process_time()
        if n_threads is None:
            serial(*args)
            rc = 0
        else:
            rc = threaded(*args, n_threads)
    else:
        w0, c0 = time.perf_counter(), time.process_time()
        rc = _native_quelmo.umap_layout_euclidean_f32(
            emb, graph.head, graph.tail, graph.eps, len(emb), 2, n_epochs, *args[8:], n_threads)
    return time.perf_counter() - w0, time.process_time() - c0, rc, emb


def compare(graph: Graph, n_epochs: int, baseline: str, repeat: int, seed: int,
            serial: bool = True) -> None:
    """This build against the baseline build, serial and 2 threads, same inputs."""
    rows = []
    configs = [("serial", None), ("threaded T=2", 2)] if serial else [("threaded T=2", 2)]
    for label, threads in configs:
        best: dict[str, tuple[float, float]] = {}
        out: dict[str, np.ndarray] = {}
        for _ in range(repeat):
            for build, path in [("baseline", baseline), ("this build", _native_quelmo.__file__)]:
                wall, cpu, _, emb = run(graph, n_epochs, threads, seed, path)
                old = best.get(build, (np.inf, np.inf))
                best[build] = (min(old[0], wall), min(old[1], cpu))
                out[build] = emb
        same = out["baseline"].tobytes() == out["this build"].tobytes()
        rows.append((label, best["baseline"], best["this build"], same))
    print(f"{'optimiser':<16}{'baseline wall':>15}{'cpu':>8}{'this wall':>11}{'cpu':>8}"
          f"{'wall ratio':>12}{'cpu ratio':>11}{'same bytes':>12}")
    for label, (bw, bc), (nw, nc), same in rows:
        print(f"{label:<16}{bw:>15.2f}{bc:>8.2f}{nw:>11.2f}{nc:>8.2f}{bw / nw:>11.2f}x"
              f"{bc / nc:>10.2f}x{str(same):>12}")
    print(f"(best of {repeat} interleaved runs per build; ratio = baseline / this build)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--epochs", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs per configuration, interleaved; the best is kept")
    parser.add_argument("--mnist-epochs", type=int, default=500)
    parser.add_argument("--quick", action="store_true", help="20,000 points, 50 epochs")
    parser.add_argument("--baseline", metavar="SO",
                        help="an earlier build's extension to compare with, same inputs")
    parser.add_argument("--cases", nargs="+", choices=["clusters", "mnist", "mixture"],
                        default=["clusters", "mnist"])
    parser.add_argument("--mixture", type=int, default=1_000_000, metavar="N",
                        help="points of the mixture case (its fit's own epochs)")
    parser.add_argument("--cache", type=Path, metavar="DIR",
                        help="keep the mixture case's layout inputs here")
    parser.add_argument("--no-serial", action="store_true",
                        help="with --baseline: the threaded optimiser only")
    opts = parser.parse_args()
    if opts.quick:
        opts.points, opts.epochs, opts.mnist_epochs = 20_000, 50, 50
    seed = 7
    online = os.cpu_count() or 1

    graphs = []
    if "clusters" in opts.cases:
        graphs.append(synthetic(opts.points, 15, seed))
    if "mnist" in opts.cases:
        m = mnist(15, seed)
        if m is None:
            print(f"(skipping the MNIST case: {MNIST} not found)")
        else:
            graphs.append(m)
    if "mixture" in opts.cases:
        graphs.append(mixture(opts.mixture, opts.cache))

    configs: list[tuple[str, int | None]] = [("serial", None), ("threaded T=1", 1),
                                             ("threaded T=2", 2)]
    if online != 2:
        configs.append((f"threaded T={online} (online)", online))
    for g in graphs:
        epochs = opts.mnist_epochs if g.name.startswith("mnist") else opts.epochs
        if g.n_epochs is not None:
            epochs = g.n_epochs
        if opts.baseline:
            print(f"\n{g.name}: {len(g.embedding)} points, {len(g.head)} edges, {epochs} epochs, "
                  f"dim 2; baseline {opts.baseline}")
            compare(g, epochs, opts.baseline, opts.repeat, seed, serial=not opts.no_serial)
            continue
        n_att, n_neg = count_updates(g.eps, epochs, g.nsr)
        pairs = n_att + n_neg
        print(f"\n{g.name}: {len(g.embedding)} points, {len(g.head)} edges, "
              f"{epochs} epochs, dim 2; {n_att / 1e6:.1f} M attractions, "
              f"{n_neg / 1e6:.1f} M negative samples; {online} online processors")
        best: dict[str, tuple[float, float]] = {}
        rcs: dict[str, int] = {}
        loads = []
        for _ in range(opts.repeat):
            for label, threads in configs:
                loads.append(os.getloadavg()[0])
                wall, cpu, rc, _ = run(g, epochs, threads, seed)
                if label not in best or wall < best[label][0]:
                    best[label] = (wall, cpu)
                rcs[label] = rc
        base = best["serial"][0]
        print(f"{'optimiser':<22}{'rc':>4}{'wall s':>9}{'cpu s':>9}{'M upd/s':>9}"
              f"{'M neg/s':>9}{'M pairs/s':>11}{'pairs/cpu-s':>13}{'vs serial':>11}")
        for label, _ in configs:
            wall, cpu = best[label]
            print(f"{label:<22}{rcs[label]:>4}{wall:>9.2f}{cpu:>9.2f}{n_att / wall / 1e6:>9.1f}"
                  f"{n_neg / wall / 1e6:>9.1f}{pairs / wall / 1e6:>11.1f}"
                  f"{pairs / cpu / 1e6:>12.1f}M{base / wall:>10.2f}x")
        print(f"(load average before the runs: {min(loads):.1f} to {max(loads):.1f} on "
              f"{online} processors; rates are per wall second unless marked per cpu-s)")
        if online == 2:
            print("(online processors = 2: the T=2 row is the online-count run)")


if __name__ == "__main__":
    main()
