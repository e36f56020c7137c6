"""Every benchmark, then the figures and the tables of benchmarks/README.md.

Measurements already in benchmarks/results/ are reused (each script caches
its runs); ``--force`` measures again, ``--report`` only regenerates the
README and the figures.  Without ../shared/data the MNIST runs are skipped.

Run from the repository root:
    python benchmarks/run_all.py                 # hours: umap-learn at 1M points
    python benchmarks/run_all.py --sizes mnist10k 30000 100000 --no-profile
    python benchmarks/run_all.py --report
"""

from __future__ import annotations

import argparse
import subprocess
import sys

import common


def step(script: str, *args: str) -> None:
    cmd = [common.python(), str(common.BENCH / script), *args]
    print("$", " ".join(cmd[1:]), flush=True)
    subprocess.run(cmd, check=True, cwd=common.ROOT)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", help="end-to-end sizes (default: all)")
    parser.add_argument("--tools", nargs="+", help="end-to-end tools (default: all installed)")
    parser.add_argument("--force", action="store_true", help="measure cached runs again")
    parser.add_argument("--report", action="store_true", help="README and figures only")
    parser.add_argument("--no-knn", action="store_true", help="skip the kNN parameter sweep and its embedding quality")
    parser.add_argument("--no-profile", action="store_true", help="skip the profiles")
    opts = parser.parse_args()
    force = ["--force"] if opts.force else []
    if not opts.report:
        step("import_time.py")
        e2e = force + (["--sizes", *opts.sizes] if opts.sizes else []) + \
            (["--tools", *opts.tools] if opts.tools else [])
        step("end_to_end.py", *e2e)
        if not opts.no_knn:
            step("knn_params.py", *force)
            step("knn_quality.py")
        step("transform.py", *force)
        if not opts.no_profile:
            for n in ("100000", "1000000"):
                step("profile_fit.py", "--n", n, *force)
    step("report.py")


if __name__ == "__main__":
    sys.exit(main())
