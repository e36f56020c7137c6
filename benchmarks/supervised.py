"""Supervised and semi-supervised embeddings of the 10,000 MNIST digits:
5-NN accuracy (5-fold cross-validated, true labels) of the embedding when
fitted without labels, with 90 % of the labels hidden (-1), and with all
labels; quelmo against umap-learn, the same seeds and hidden labels.

Run from the repository root:  python benchmarks/supervised.py [--seeds 1 2 3] [--force]
"""

from __future__ import annotations

import argparse
import json
import statistics
import time

import numpy as np

import common

RESULT = common.RESULTS / "supervised.json"
MODES = ("unsupervised", "semi (10 % labels)", "supervised")


def fit(tool: str, X: np.ndarray, target: np.ndarray | None, seed: int) -> np.ndarray:
    if tool == "quelmo":
        from quelmo import UMAP

        return UMAP(random_state=seed, n_jobs=2).fit_transform(X, target)
    import umap  # seeded: single-threaded, but repeatable

    return umap.UMAP(random_state=seed).fit_transform(X, target)


def measure(tools: list[str], seeds: list[int]) -> dict[str, object]:
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    X, y = common.load_mnist()
    hidden = y.copy()
    hidden[np.random.default_rng(0).random(y.size) < 0.9] = -1
    targets = dict(zip(MODES, (None, hidden, y)))
    rows = []
    for tool in tools:
        fit(tool, X[:500], None, 0)  # compilation and imports out of the timings
        for seed in seeds:
            for mode in MODES:
                start = time.perf_counter()
                embedding = fit(tool, X, targets[mode], seed)
                seconds = time.perf_counter() - start
                accuracy = cross_val_score(KNeighborsClassifier(5), embedding, y, cv=5).mean()
                rows.append({"tool": tool, "seed": seed, "mode": mode,
                             "accuracy": float(accuracy), "seconds": seconds})
                print(tool, seed, mode, f"{accuracy:.4f}", f"{seconds:.1f} s", flush=True)
    return {"rows": rows, "machine": common.machine(),
            "load": round(common.load_average(), 2), "date": time.strftime("%Y-%m-%d %H:%M")}


def table(result: dict) -> str:
    lines = ["| tool | " + " | ".join(MODES) + " |", "|---|" + "---|" * len(MODES)]
    tools = dict.fromkeys(r["tool"] for r in result["rows"])
    for tool in tools:
        cells = []
        for mode in MODES:
            values = [r["accuracy"] for r in result["rows"]
                      if r["tool"] == tool and r["mode"] == mode]
            cells.append(f"{statistics.mean(values):.4f} ({min(values):.4f}-{max(values):.4f})")
        lines.append(f"| {tool} | " + " | ".join(cells) + " |")
    seeds = sorted({r["seed"] for r in result["rows"]})
    lines.append(f"\n5-NN accuracy, mean (min-max) over seeds {seeds}.")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3])
    parser.add_argument("--tools", nargs="+", default=["quelmo", "umap-learn"])
    parser.add_argument("--force", action="store_true")
    opts = parser.parse_args()
    if common.load_mnist() is None:
        print("MNIST sample not present; nothing to do")
        return
    if opts.force or not RESULT.exists():
        RESULT.write_text(json.dumps(measure(opts.tools, opts.seeds), indent=1))
    print(table(json.loads(RESULT.read_text())))


if __name__ == "__main__":
    main()
