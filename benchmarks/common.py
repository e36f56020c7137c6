"""Data sets, machine description and memory readings shared by the
benchmark scripts.  Nothing here is part of the package."""

from __future__ import annotations

import os
import platform
import re
import subprocess
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "benchmarks"
RESULTS = BENCH / "results"
FIGURES = BENCH / "figures"
MNIST = ROOT.parent / "shared" / "data" / "mnist10k.npz"

# Parameters of the synthetic mixture; fixed so that every size draws from
# the same distribution.
MIXTURE_DIM = 32
MIXTURE_COMPONENTS = 20
MIXTURE_SEED = 20240611


def mixture_params(dim: int = MIXTURE_DIM, n_components: int = MIXTURE_COMPONENTS,
                   seed: int = MIXTURE_SEED) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Weights, means and per-component linear maps of the Gaussian mixture.

    Component sizes follow a Dirichlet(2) draw (the largest several times the
    smallest); each component is an anisotropic Gaussian with a random
    orientation, axis scales spread over a factor of about 6 and an overall
    scale that varies by a factor of 4 between components, and means close
    enough that components overlap: a 5-nearest-neighbour classifier in the
    32-dimensional data space reaches about 0.88 at 30,000 points, not 1.
    """
    rng = np.random.default_rng(seed)
    weights = rng.dirichlet(np.full(n_components, 2.0))
    means = rng.normal(scale=1.0, size=(n_components, dim))
    maps = np.empty((n_components, dim, dim))
    for c in range(n_components):
        rotation, _ = np.linalg.qr(rng.normal(size=(dim, dim)))
        axis_scales = np.exp(rng.uniform(np.log(0.4), np.log(2.5), size=dim))
        overall = rng.uniform(0.5, 2.0)
        maps[c] = (axis_scales * overall)[:, None] * rotation
    return weights, means, maps


def gaussian_mixture(n: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """``n`` float32 points of the fixed 20-component mixture in 32 dimensions,
    with their component labels.  The same ``n`` and ``seed`` give the same
    array on every machine (NumPy's PCG64 and its normal sampler)."""
    weights, means, maps = mixture_params()
    rng = np.random.default_rng([seed, n])
    labels = rng.choice(len(weights), size=n, p=weights)
    data = np.empty((n, means.shape[1]), np.float32)
    for c in range(len(weights)):
        members = np.flatnonzero(labels == c)
        noise = rng.standard_normal((members.size, means.shape[1]))
        data[members] = means[c] + noise @ maps[c]
    return data, labels.astype(np.int64)


def load_mnist() -> tuple[np.ndarray, np.ndarray] | None:
    """The 10,000 MNIST digits as float32 and their labels, or None when the
    shared data folder is absent."""
    if not MNIST.exists():
        return None
    with np.load(MNIST) as data:
        return data["X"].astype(np.float32), data["y"].astype(np.int64)


def dataset(name: str) -> tuple[np.ndarray, np.ndarray] | None:
    """``mnist10k`` or ``mixture-N`` (N points of the synthetic mixture)."""
    if name == "mnist10k":
        return load_mnist()
    match = re.fullmatch(r"mixture-(\d+)", name)
    if match is None:
        raise ValueError(f"unknown data set {name!r}")
    return gaussian_mixture(int(match.group(1)))


def peak_rss_mb() -> float:
    """Peak resident set of this process so far, in MiB (VmHWM)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def current_rss_mb() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def reset_peak_rss() -> bool:
    """Lower VmHWM to the current resident set (Linux 4.0 and later), so that a
    following peak reading covers only what comes after.  False if refused."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def machine() -> dict[str, object]:
    """CPU model, processor count, memory and library versions."""
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory_gb = float("nan")
    try:
        with open("/proc/meminfo") as info:
            for line in info:
                if line.startswith("MemTotal:"):
                    memory_gb = int(line.split()[1]) / 1024.0**2
                    break
    except OSError:
        pass
    versions: dict[str, str] = {"python": platform.python_version()}
    from importlib import metadata

    for package in ("quelmo", "numpy", "scipy", "scikit-learn", "umap-learn", "pynndescent",
                    "numba", "openTSNE"):
        try:
            versions[package] = metadata.version(package)
        except metadata.PackageNotFoundError:
            pass
    return {"cpu": cpu, "cores": os.cpu_count(), "memory_gb": round(memory_gb, 1),
            "kernel": platform.release(), "versions": versions, "commit": git_commit()}


def git_commit() -> str:
    try:
        out = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def load_average() -> float:
    return os.getloadavg()[0]


def thread_env(n_threads: int) -> dict[str, str]:
    """Environment for a child process that pins every thread pool (BLAS,
    OpenMP, Numba) to ``n_threads``."""
    env = dict(os.environ)
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                "NUMBA_NUM_THREADS"):
        env[var] = str(n_threads)
    env["PYTHONUNBUFFERED"] = "1"
    return env


def python() -> str:
    return sys.executable
