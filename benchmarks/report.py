"""Figures and the generated sections of benchmarks/README.md, from the cached
results only (nothing is measured here).

Run from the repository root:  python benchmarks/report.py
"""

from __future__ import annotations

import json
import re
from typing import Any

import numpy as np

import common
import end_to_end
import import_time
import knn_params
import knn_quality
import metrics
import profile_fit
import transform

README = common.BENCH / "README.md"
TIME_PLOT = common.FIGURES / "time_vs_n.png"
MNIST_PLOT = common.FIGURES / "mnist10k_embeddings.png"
STYLE = {"quelmo": ("tab:blue", "o"), "umap-learn": ("tab:orange", "s"),
         "opentsne": ("tab:green", "^")}


def _load(path: Any) -> dict[str, Any] | None:
    return json.loads(path.read_text()) if path.exists() else None


def time_plot(cache: dict[str, Any]) -> bool:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    runs = [r for r in cache["runs"].values() if r["dataset"].startswith("mixture-")]
    if not runs:
        return False
    fig, ax = plt.subplots(figsize=(6.0, 4.2), dpi=100)
    for tool, (colour, marker) in STYLE.items():
        mine = sorted((r for r in runs if r["tool"] == tool), key=lambda r: r["n"])
        for key, style, label in (("warm_s", "-", "warm call"), ("first_s", ":", "first call")):
            if tool == "quelmo" and key == "first_s":
                continue  # import and compilation are negligible for quelmo
            points = [(r["n"], r[key] if key in r else r.get("first_fit_s")) for r in mine
                      if key in r or (key == "warm_s" and "first_fit_s" in r)]
            if points:
                xs, ys = zip(*points)
                ax.plot(xs, ys, style, color=colour, marker=marker, label=f"{tool}, {label}")
        stopped = [r for r in mine if r.get("status") == "timeout" and "first_s" not in r]
        for r in stopped:
            ax.plot([r["n"]], [r["limit_s"]], marker=marker, color=colour, fillstyle="none",
                    markersize=10, linestyle="none")
            ax.annotate("stopped", (r["n"], r["limit_s"]), textcoords="offset points",
                        xytext=(-18, 8), fontsize=8, color=colour)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("points (Gaussian mixture, 32 dimensions)")
    ax.set_ylabel("seconds, end to end (2 threads)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    _save(fig, TIME_PLOT)
    return True


def _save(fig: Any, path: Any) -> None:
    import matplotlib.pyplot as plt

    fig.tight_layout()
    common.FIGURES.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


def mnist_plot(cache: dict[str, Any]) -> bool:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    data = common.load_mnist()
    tools = [t for t in ("quelmo", "umap-learn", "opentsne")
             if (end_to_end.EMBEDDINGS / f"mnist10k__{t}.npy").exists()]
    if data is None or not tools:
        return False
    labels = data[1]
    fig, axes = plt.subplots(1, len(tools), figsize=(4.0 * len(tools), 4.2), dpi=90)
    for ax, tool in zip(np.atleast_1d(axes), tools):
        emb = np.load(end_to_end.EMBEDDINGS / f"mnist10k__{tool}.npy")
        ax.scatter(emb[:, 0], emb[:, 1], c=labels, cmap="tab10", s=0.6, linewidths=0,
                   rasterized=True)
        run = cache["runs"].get(f"mnist10k/{tool}", {})
        seconds = run.get("warm_s", run.get("first_fit_s"))
        title = tool if seconds is None else f"{tool}: {seconds:.1f} s warm"
        if "trustworthiness" in run:
            title += (f"\ntrust. {run['trustworthiness']:.3f}, "
                      f"5-NN acc. {run['knn5_accuracy']:.3f}")
        ax.set_title(title, fontsize=9)
        ax.set_xticks([])
        ax.set_yticks([])
    _save(fig, MNIST_PLOT)
    return True


def machine_line(machine: dict[str, Any]) -> str:
    v = machine["versions"]
    libs = ", ".join(f"{k} {v[k]}" for k in ("quelmo", "numpy", "scipy", "scikit-learn",
                                               "umap-learn", "pynndescent", "numba", "openTSNE")
                     if k in v)
    return (f"{machine['cpu']}, {machine['cores']} cores, {machine['memory_gb']} GB memory, "
            f"Linux {machine['kernel']}; Python {v['python']}; {libs}; quelmo commit "
            f"{machine['commit']}.")


def sections() -> dict[str, str]:
    out: dict[str, str] = {}
    e2e = _load(end_to_end.CACHE)
    if e2e and e2e.get("runs"):
        loads = [r.get("load_before") for r in e2e["runs"].values() if "load_before" in r]
        dates = sorted(r["date"] for r in e2e["runs"].values() if "date" in r)
        out["machine"] = machine_line(e2e["machine"])
        out["end_to_end"] = (end_to_end.tables(e2e) + "\n\n" +
                             f"Runs from {dates[0]} to {dates[-1]}; one-minute load average "
                             f"before a run between {min(loads):.1f} and {max(loads):.1f} on "
                             "2 cores (other work shared the machine).")
    knn = _load(knn_params.CACHE)
    if knn and knn.get("runs"):
        from quelmo import _neighbors

        rows = list(knn["runs"].values())
        for r in rows:
            r["default"] = ((r["n_trees"], r["n_iters"], r["leaf_size"])
                            == _neighbors.default_knn_params(r["n"]))
        order = {name: i for i, name in enumerate(knn_params.DATA)}
        rows.sort(key=lambda r: (order.get(r["data"], 99), r["leaf_size"], r["n_iters"],
                                 r["n_trees"]))
        # The settings before these measurements: trees min(64, 8 + sqrt(n)/10),
        # leaves of 30.
        def previous(n: int) -> tuple[int, int, int]:
            return (int(min(64, 8 + round(np.sqrt(n) / 10.0))),
                    int(max(5, round(np.log2(n)))), 30)

        summary = [dict(r, default=r["default"]) for r in rows
                   if r["default"] or (r["n_trees"], r["n_iters"], r["leaf_size"]) == previous(r["n"])]
        for r in summary:
            r["data"] = r["data"] + (" (new default)" if r["default"] else " (old default)")
            r["default"] = False
        out["knn_params"] = (knn_params.table(summary) + "\n\n<details><summary>All "
                             f"{len(rows)} measured settings</summary>\n\n"
                             + knn_params.table(rows) + "\n\n</details>")
    quality = _load(knn_quality.RESULT)
    if quality:
        out["knn_quality"] = knn_quality.table(quality)
    metric_runs = _load(metrics.CACHE)
    if metric_runs and (metric_runs.get("knn") or metric_runs.get("e2e")):
        out["metrics"] = metrics.tables(metric_runs)
    new_points = _load(transform.CACHE)
    if new_points:
        out["transform"] = transform.tables(new_points)
    imp = _load(common.RESULTS / "import_time.json")
    if imp:
        out["import_time"] = import_time.table(imp)
    profiles = []
    for path in sorted(common.RESULTS.glob("profile_*.json"),
                       key=lambda p: [int(x) if x.isdigit() else x
                                      for x in re.split(r"(\d+)", p.name)]):
        profiles.append(profile_fit.table(json.loads(path.read_text())))
    if profiles:
        out["profiles"] = "\n\n".join(profiles)
    return out


def update_readme(parts: dict[str, str]) -> None:
    """Replace the text between <!-- begin NAME --> and <!-- end NAME -->."""
    text = README.read_text()
    for name, body in parts.items():
        pattern = re.compile(rf"(<!-- begin {name} -->\n).*?(<!-- end {name} -->)", re.S)
        text, count = pattern.subn(lambda m: m.group(1) + body + "\n" + m.group(2), text)
        if count == 0:
            print(f"README has no section {name!r}; skipped")
    README.write_text(text)


def main() -> None:
    cache = _load(end_to_end.CACHE)
    if cache and cache.get("runs"):
        print("time plot:", "written" if time_plot(cache) else "no data")
        print("MNIST plot:", "written" if mnist_plot(cache) else "no data")
    parts = sections()
    if README.exists():
        update_readme(parts)
        print(f"README sections updated: {', '.join(parts) or 'none'}")
    else:
        print("\n\n".join(parts.values()))


if __name__ == "__main__":
    main()
