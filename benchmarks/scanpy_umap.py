"""quelmo.scanpy against scanpy on the data set that ships with scanpy
(pbmc68k_reduced, 700 cells): the layout of the same stored neighbour graph
by ``quelmo.scanpy.umap`` and ``scanpy.tl.umap`` (warm, alternating calls),
and the neighbour graph by ``quelmo.scanpy.neighbors`` and
``scanpy.pp.neighbors``.  Quality: 5-NN accuracy of the cell types
(``bulk_labels``, 5-fold cross-validated) and trustworthiness against the
PCA representation (10 neighbours), averaged over seeds.

Run from the repository root:  python benchmarks/scanpy_umap.py [--repeat 5] [--force]
"""

from __future__ import annotations

import argparse
import json
import statistics
import time

import numpy as np

import common

RESULT = common.RESULTS / "scanpy_umap.json"


def measure(repeat: int, seeds: list[int]) -> dict[str, object]:
    import scanpy as sc
    from sklearn.manifold import trustworthiness
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    import quelmo.scanpy as qsc

    adata = sc.datasets.pbmc68k_reduced()
    types = adata.obs["bulk_labels"].cat.codes.to_numpy()

    def quality(key: str) -> tuple[float, float]:
        embedding = adata.obsm[key]
        accuracy = cross_val_score(KNeighborsClassifier(5), embedding, types, cv=5).mean()
        return float(accuracy), float(trustworthiness(adata.obsm["X_pca"], embedding,
                                                      n_neighbors=10))

    calls = {
        "quelmo umap, n_jobs=1": lambda s: qsc.umap(adata, random_state=s, key_added="q1",
                                                    n_jobs=1),
        "quelmo umap, n_jobs=2": lambda s: qsc.umap(adata, random_state=s, key_added="q2",
                                                    n_jobs=2),
        "scanpy tl.umap": lambda s: sc.tl.umap(adata, random_state=s, key_added="sc"),
        "quelmo neighbors": lambda s: qsc.neighbors(adata, random_state=s, key_added="qn",
                                                    n_jobs=2),
        "scanpy pp.neighbors": lambda s: sc.pp.neighbors(adata, random_state=s,
                                                         key_added="sn"),
    }
    first = {}
    for name, call in calls.items():  # first calls: imports and compilation
        start = time.perf_counter()
        call(0)
        first[name] = time.perf_counter() - start
    warm: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(repeat):
        for name, call in calls.items():
            start = time.perf_counter()
            call(0)
            warm[name].append(time.perf_counter() - start)

    scores: dict[str, list[tuple[float, float]]] = {"q2": [], "sc": []}
    for seed in seeds:
        calls["quelmo umap, n_jobs=2"](seed)
        calls["scanpy tl.umap"](seed)
        for key in scores:
            scores[key].append(quality(key))
    repeat_equal = bool(np.array_equal(
        qsc.umap(adata, copy=True, n_jobs=2).obsm["X_umap"],
        qsc.umap(adata, copy=True, n_jobs=2).obsm["X_umap"]))
    calls["quelmo neighbors"](0)
    calls["scanpy pp.neighbors"](0)
    ours, theirs = adata.obsp["qn_distances"], adata.obsp["sn_distances"]
    recall = ours.astype(bool).multiply(theirs != 0).nnz / theirs.nnz
    return {
        "first_s": first, "warm_s": {k: statistics.median(v) for k, v in warm.items()},
        "quality": {k: np.mean(v, axis=0).tolist() for k, v in scores.items()},
        "seeds": seeds, "repeat": repeat, "repeat_bit_identical": repeat_equal,
        "neighbour_agreement": recall, "machine": common.machine(),
        "load": round(common.load_average(), 2), "date": time.strftime("%Y-%m-%d %H:%M")}


def table(result: dict) -> str:
    warm, first = result["warm_s"], result["first_s"]
    base = warm["scanpy tl.umap"]
    lines = ["| call | first | warm (median) | scanpy tl.umap / this |", "|---|---|---|---|"]
    for name in warm:
        ratio = f"{base / warm[name]:.1f}x" if "umap" in name else ""
        lines.append(f"| {name} | {first[name]:.2f} s | {warm[name] * 1000:.0f} ms | {ratio} |")
    q, s = result["quality"]["q2"], result["quality"]["sc"]
    lines += ["", "| layout of the same graph | 5-NN accuracy | trustworthiness |",
              "|---|---|---|",
              f"| quelmo.scanpy.umap | {q[0]:.4f} | {q[1]:.4f} |",
              f"| scanpy.tl.umap | {s[0]:.4f} | {s[1]:.4f} |", "",
              f"Means over seeds {result['seeds']}; warm times are medians of "
              f"{result['repeat']} alternating calls (load {result['load']}). A repeated call "
              f"is bit-identical: {result['repeat_bit_identical']}. quelmo's neighbours agree "
              f"with scanpy's on {result['neighbour_agreement']:.4f} of the entries."]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2, 3, 4])
    parser.add_argument("--force", action="store_true")
    opts = parser.parse_args()
    if opts.force or not RESULT.exists():
        RESULT.write_text(json.dumps(measure(opts.repeat, opts.seeds), indent=1))
    print(table(json.loads(RESULT.read_text())))


if __name__ == "__main__":
    main()
