#!/usr/bin/env python3
"""Approximate kNN benchmark: quelmo's ``knn_descent_f32`` side by side with an
exact brute-force search (NumPy/BLAS, blocked) and, where installed, pynndescent.

Run from the repository root, with quelmo installed::

    python benchmarks/knn.py [--threads 2] [--reps 3] [--no-brute]

Data: ``../shared/data/mnist10k.npz`` (skipped when absent) and a synthetic
100,000 x 32 Gaussian mixture.  Exact neighbours (the point itself excluded)
are computed once in float64 and cached under ``~/.cache/quelmo-bench/``.

Times are the best of --reps runs; pynndescent's runs alternate with quelmo's
so that both see about the same load on a shared machine, and its first call
(which compiles) is reported apart.

pynndescent is a peer baseline, never a dependency: it runs in a subprocess of
``--peer-python`` (default: ``$QUELMO_BENCH_PEER_PYTHON``, else
``/work/venv-bench/bin/python`` if present, else this interpreter) and is
skipped when that interpreter cannot import it.

"dist evals/s" divides the distance and projection evaluations that the plain
algorithm performs for the same parameters (counted by the plain reference in
``tests/native/knn_reference.cpp``, built when a C++ compiler is available) by
quelmo's time; the fast paths skip or cut short some of them without changing
a bit of the result, which the same reference run confirms.
"""

from __future__ import annotations

import argparse
import ctypes
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
MNIST = ROOT.parent / "shared" / "data" / "mnist10k.npz"
CACHE = Path(os.environ.get("QUELMO_BENCH_CACHE", Path.home() / ".cache" / "quelmo-bench"))
REFERENCE_SRC = ROOT / "tests" / "native" / "knn_reference.cpp"

# (n_trees, n_iters, leaf_size) per data set; the first row of each is the
# configuration that the summary compares with pynndescent.
CONFIGS = {
    "mnist10k": [(16, 20, 40), (24, 20, 30), (12, 20, 40), (8, 20, 0)],
    "gauss100k": [(6, 20, 400), (16, 20, 200), (8, 20, 0)],
}


def load_mnist() -> np.ndarray | None:
    if not MNIST.exists():
        return None
    with np.load(MNIST) as data:
        return np.ascontiguousarray(data["X"], dtype=np.float32)


def gaussian_mixture(n: int = 100_000, d: int = 32, centres: int = 20,
                     seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    means = rng.standard_normal((centres, d)) * 3.0
    labels = rng.integers(0, centres, n)
    return (means[labels] + rng.standard_normal((n, d))).astype(np.float32)


def fingerprint(X: np.ndarray) -> str:
    return hashlib.sha1(X.tobytes()).hexdigest()[:16]


def blocked_knn(X: np.ndarray, k: int, dtype: type, block: int = 512) -> np.ndarray:
    """k nearest neighbours of every row, itself excluded, by blocked BLAS."""
    A = X.astype(dtype)
    sq = np.einsum("ij,ij->i", A, A)
    n = len(A)
    out = np.empty((n, k), np.int64)
    for s in range(0, n, block):
        e = min(s + block, n)
        D = sq[s:e, None] + sq[None, :] - 2.0 * (A[s:e] @ A.T)
        D[np.arange(e - s), np.arange(s, e)] = np.inf
        part = np.argpartition(D, k, axis=1)[:, :k]
        order = np.argsort(np.take_along_axis(D, part, 1), axis=1, kind="stable")
        out[s:e] = np.take_along_axis(part, order, 1)
    return out


def exact_neighbours(X: np.ndarray, k: int, name: str) -> np.ndarray:
    path = CACHE / f"{name}-{fingerprint(X)}-k{k}-exact.npy"
    if path.exists():
        return np.load(path)
    CACHE.mkdir(parents=True, exist_ok=True)
    print(f"  computing exact neighbours of {name} (once, cached in {CACHE})", flush=True)
    truth = blocked_knn(X, k, np.float64)
    np.save(path, truth)
    return truth


def recall(idx: np.ndarray, truth: np.ndarray) -> float:
    """Mean fraction of the exact k neighbours (self excluded) that were found."""
    n, k = truth.shape
    hits = 0
    for s in range(0, n, 4096):
        got = idx[s:s + 4096]
        hits += int((got[:, :, None] == truth[s:s + 4096, None, :]).any(2).sum())
    return hits / (n * k)


def run_quelmo(X: np.ndarray, k: int, cfg: tuple[int, int, int], threads: int,
               reps: int) -> tuple[float, np.ndarray, np.ndarray]:
    from quelmo import knn_descent_f32

    n_trees, n_iters, leaf = cfg
    n, d = X.shape
    times = []
    for _ in range(reps):
        idx = np.empty((n, k), np.int32)
        dist = np.empty((n, k), np.float32)
        t = time.perf_counter()
        rc = knn_descent_f32(X, idx, dist, n, d, k, n_trees, n_iters, 42, leaf, threads)
        times.append(time.perf_counter() - t)
        assert rc == 0, rc
    return min(times), idx, dist


def reference_lib() -> ctypes.CDLL | None:
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None or not REFERENCE_SRC.exists():
        return None
    CACHE.mkdir(parents=True, exist_ok=True)
    tag = hashlib.sha1(REFERENCE_SRC.read_bytes()).hexdigest()[:12]
    lib = CACHE / f"knn_reference-{tag}.so"
    if not lib.exists():
        subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-shared", "-fPIC",
                        "-o", str(lib), str(REFERENCE_SRC)], check=True)
    ref = ctypes.CDLL(str(lib))
    I, P = ctypes.c_int, ctypes.c_void_p
    ref.ref_knn.argtypes = [I, I, I, P, I, I, I, ctypes.c_uint64, P, P, I, I, I, P, P]
    ref.ref_knn.restype = I
    return ref


def plain_run(ref: ctypes.CDLL, X: np.ndarray, k: int, cfg: tuple[int, int, int],
              threads: int, name: str) -> tuple[int, str]:
    """Evaluations of the plain algorithm and a digest of its result (cached)."""
    n_trees, n_iters, leaf = cfg
    key = f"{name}-{fingerprint(X)}-k{k}-{n_trees}-{n_iters}-{leaf}-t{threads}"
    path = CACHE / "plain-counts.json"
    known = json.loads(path.read_text()) if path.exists() else {}
    if key not in known:
        n, d = X.shape
        idx = np.empty((n, k), np.int32)
        dist = np.empty((n, k), np.float32)
        counts = np.zeros(3, np.int64)
        ref.ref_knn(n, d, k, X.ctypes.data, n_trees, n_iters, leaf, 42, idx.ctypes.data,
                    dist.ctypes.data, threads, 0, 0, None, counts.ctypes.data)
        known[key] = [int(counts.sum()), digest(idx, dist)]
        path.write_text(json.dumps(known, indent=1))
    return known[key][0], known[key][1]


def digest(idx: np.ndarray, dist: np.ndarray) -> str:
    return hashlib.sha1(idx.tobytes() + dist.tobytes()).hexdigest()


# The peer runs in its own interpreter and waits for a line "run" on stdin
# for each timed run, so that its runs can alternate with quelmo's: on a
# shared machine both then see about the same load.
PEER_SCRIPT = r"""
import sys, time, numpy as np
from pynndescent import NNDescent
X = np.load(sys.argv[1]); k = int(sys.argv[2]); threads = int(sys.argv[3])
idx = None
for line in sys.stdin:
    if line.strip() != "run":
        break
    t = time.perf_counter()
    index = NNDescent(X, n_neighbors=k + 1, n_jobs=threads, low_memory=True)
    idx, _ = index.neighbor_graph
    print(time.perf_counter() - t, flush=True)
np.save(sys.argv[4], idx)
"""


def peer_python(arg: str | None) -> str | None:
    candidates = [arg, os.environ.get("QUELMO_BENCH_PEER_PYTHON"), "/work/venv-bench/bin/python",
                  sys.executable]
    for py in candidates:
        if py and Path(py).exists():
            ok = subprocess.run([py, "-c", "import pynndescent"], capture_output=True)
            if ok.returncode == 0:
                return py
    return None


class Peer:
    """pynndescent in a subprocess, one timed run per call of run()."""

    def __init__(self, py: str, X: np.ndarray, k: int, threads: int) -> None:
        self.tmp = tempfile.TemporaryDirectory()
        xpath = Path(self.tmp.name) / "x.npy"
        self.out = Path(self.tmp.name) / "idx.npy"
        np.save(xpath, X)
        self.proc = subprocess.Popen(
            [py, "-c", PEER_SCRIPT, str(xpath), str(k), str(threads), str(self.out)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.k = k

    def run(self) -> float:
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write("run\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def finish(self) -> np.ndarray:
        """The neighbours of the last run, without the point itself."""
        assert self.proc.stdin
        self.proc.stdin.close()
        self.proc.wait()
        raw = np.load(self.out)
        self.tmp.cleanup()
        idx = np.empty((len(raw), self.k), np.int64)
        for i, row in enumerate(raw):
            idx[i] = row[row != i][: self.k]
        return idx


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--k", type=int, default=15)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--no-brute", action="store_true", help="skip the timed brute force")
    ap.add_argument("--no-peer", action="store_true", help="skip pynndescent")
    ap.add_argument("--peer-python", default=None)
    ap.add_argument("--only", choices=sorted(CONFIGS), default=None)
    args = ap.parse_args()

    sets = []
    mnist = load_mnist()
    if mnist is None:
        print(f"mnist10k: {MNIST} not found, skipped")
    else:
        sets.append(("mnist10k", mnist))
    sets.append(("gauss100k", gaussian_mixture()))
    if args.only:
        sets = [s for s in sets if s[0] == args.only]

    ref = reference_lib()
    py = None if args.no_peer else peer_python(args.peer_python)
    if py is None and not args.no_peer:
        print("pynndescent not importable: peer baseline skipped")
    k, threads = args.k, args.threads
    header = (f"{'data':<10} {'method':<22} {'n_trees,n_iters,leaf':<21} {'time s':>8} "
              f"{'vs peer':>8} {'recall@k':>9} {'dist evals/s':>13}  note")
    summary = []
    for name, X in sets:
        n, d = X.shape
        print(f"\n{name}: n={n} d={d} k={k} threads={threads}", flush=True)
        truth = exact_neighbours(X, k, name)
        rows = []
        peer = Peer(py, X, k, threads) if py is not None else None
        cold = peer.run() if peer else None
        peer_times: list[float] = []
        best: dict = {}
        # Alternate the peer's runs with quelmo's.
        for _ in range(args.reps):
            if peer:
                peer_times.append(peer.run())
            for cfg in CONFIGS[name]:
                t, idx, dist = run_quelmo(X, k, cfg, threads, 1)
                if cfg not in best or t < best[cfg][0]:
                    best[cfg] = (t, idx, dist)
        peer_warm = min(peer_times) if peer_times else None
        if peer:
            rows.append(("pynndescent", "defaults", peer_warm, recall(peer.finish(), truth), None,
                         f"first call {cold:.1f} s"))
        for cfg in CONFIGS[name]:
            t, idx, dist = best[cfg]
            evals, note = None, ""
            if ref is not None:
                count, plain_digest = plain_run(ref, X, k, cfg, threads, name)
                evals = count / t
                note = "bits = plain reference" if plain_digest == digest(idx, dist) \
                    else "DIFFERS from plain reference"
            rows.append(("quelmo", ",".join(map(str, cfg)), t, recall(idx, truth), evals, note))
        if not args.no_brute:
            t0 = time.perf_counter()
            b_idx = blocked_knn(X, k, np.float32)
            t = time.perf_counter() - t0
            rows.append(("brute force f32 BLAS", "exact", t, recall(b_idx, truth),
                         n * (n - 1) / t, ""))
        print(header)
        for method, params, t, rec, evals, note in rows:
            ratio = f"{t / peer_warm:8.2f}" if peer_warm else f"{'-':>8}"
            ev = f"{evals:13.3g}" if evals else f"{'-':>13}"
            print(f"{name:<10} {method:<22} {params:<21} {t:8.3f} {ratio} {rec:9.4f} {ev}  {note}")
        first = next(r for r in rows if r[0] == "quelmo")
        if peer_warm:
            summary.append(f"{name}: quelmo {first[1]} takes {first[2] / peer_warm:.2f} of "
                           f"pynndescent's warm time at recall {first[3]:.4f}")
    if summary:
        print("\n" + "\n".join(summary))


if __name__ == "__main__":
    main()
