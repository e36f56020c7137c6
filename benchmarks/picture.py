"""Time of one picture of the synthetic mixture, coloured by component, per
backend of ``quelmo.plot.points``: each in a fresh process, imports included
(the best of ``--repeats`` runs; CPU time is the steadier figure on a shared
machine).

    python benchmarks/picture.py                       # 1,000,000 points, PCA stand-in
    python benchmarks/picture.py --embedding emb.npy   # a real 2-D embedding of them
"""

from __future__ import annotations

import argparse
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from common import gaussian_mixture, load_average, python

CHILD = """
import sys, time
start = time.perf_counter()
import numpy as np
from quelmo import plot
xy, labels = np.load(sys.argv[1]), np.load(sys.argv[2])
plot.points(xy, labels, backend=sys.argv[3], title=sys.argv[5], path=sys.argv[4])
print(time.perf_counter() - start)
"""


def principal_plane(data: np.ndarray) -> np.ndarray:
    """The first two principal components (directions from a fixed 100,000-row
    sample), a cheap stand-in for an embedding."""
    centred = data - data.mean(axis=0)
    _, _, directions = np.linalg.svd(centred[:100_000].astype(np.float64), full_matrices=False)
    return (centred @ directions[:2].T.astype(np.float32)).astype(np.float32)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--embedding", help=".npy of shape (n, 2); default: principal plane")
    parser.add_argument("--backends", nargs="+", default=["raster", "datashader", "matplotlib"])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--out", type=Path, default=Path(tempfile.gettempdir()) / "quelmo-pictures",
                        help="folder for the PNGs")
    args = parser.parse_args()

    data, labels = gaussian_mixture(args.n)
    xy = np.load(args.embedding) if args.embedding else principal_plane(data)
    what = "quelmo embedding" if args.embedding else "principal plane"
    args.out.mkdir(parents=True, exist_ok=True)
    print(f"{args.n} points ({what}), 20 components; load average {load_average():.1f}")
    print("| backend | whole process: wall s | CPU s | import + draw + save: wall s | PNG KB |")
    print("|---|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        xy_file, label_file = Path(folder) / "xy.npy", Path(folder) / "labels.npy"
        np.save(xy_file, xy)
        np.save(label_file, labels)
        for backend in args.backends:
            png = args.out / f"mixture{args.n}_{backend}.png"
            title = f"{args.n:,} points of the mixture ({what}), backend={backend}"
            walls, cpus, inside = [], [], []
            for _ in range(args.repeats):
                cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
                start = time.perf_counter()
                done = subprocess.run([python(), "-c", CHILD, str(xy_file), str(label_file),
                                       backend, str(png), title], capture_output=True,
                                      text=True)
                walls.append(time.perf_counter() - start)
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                cpus.append(after.ru_utime + after.ru_stime - cpu.ru_utime - cpu.ru_stime)
                if done.returncode != 0:
                    print(f"| {backend} | failed: {done.stderr.strip().splitlines()[-1]} | | | |")
                    break
                inside.append(float(done.stdout.split()[-1]))
            else:
                print(f"| {backend} | {min(walls):.2f} | {min(cpus):.2f} | {min(inside):.2f} | "
                      f"{png.stat().st_size // 1024} |")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
