"""Scatter plots of 2-D embeddings (needs matplotlib: the ``plot`` extra)."""

from __future__ import annotations

from pathlib import Path

import numpy as np

_MAX_LEGEND_CLASSES = 30


def _pyplot():
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'quelmo[plot]'") from None
    return plt


def save_scatter(embedding: np.ndarray, path: str | Path, labels: np.ndarray | None = None,
                 title: str | None = None) -> None:
    """Write a PNG scatter plot of the first two embedding coordinates,
    coloured by label with a legend when there are few distinct labels."""
    plt = _pyplot()
    if embedding.shape[1] < 2:
        raise ValueError("a scatter plot needs at least 2 embedding dimensions")
    n = embedding.shape[0]
    size = max(0.5, min(12.0, 20000.0 / n))
    fig, ax = plt.subplots(figsize=(7, 6.5), dpi=100)
    if labels is None:
        ax.scatter(embedding[:, 0], embedding[:, 1], s=size, lw=0, c="#3465a4")
    else:
        classes, codes = np.unique(labels, return_inverse=True)
        if classes.size <= _MAX_LEGEND_CLASSES:
            cmap = plt.get_cmap("tab10" if classes.size <= 10 else "tab20")
            for i, value in enumerate(classes):
                pick = labels == value
                ax.scatter(embedding[pick, 0], embedding[pick, 1], s=size, lw=0,
                           color=cmap(i % cmap.N), label=str(value))
            ax.legend(markerscale=max(1.0, 6.0 / size**0.5), fontsize="small",
                      loc="center left", bbox_to_anchor=(1.0, 0.5), frameon=False)
        else:
            points = ax.scatter(embedding[:, 0], embedding[:, 1], s=size, lw=0,
                                c=labels if labels.dtype.kind in "biuf" else codes, cmap="viridis")
            fig.colorbar(points, ax=ax)
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_aspect("equal", adjustable="datalim")
    if title:
        ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def save_overlay(fitted: np.ndarray, points: np.ndarray, path: str | Path,
                 labels: np.ndarray | None = None, title: str | None = None) -> None:
    """Write a PNG of new points over a fitted embedding: the fitted points in
    light grey, the new ones on top, coloured by label when given."""
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(7, 6.5), dpi=100)
    ax.scatter(fitted[:, 0], fitted[:, 1], s=max(0.3, min(6.0, 10000.0 / len(fitted))), lw=0,
               c="#c8c8c8", label="fitted")
    size = max(1.0, min(16.0, 20000.0 / max(len(points), 1)))
    classes, codes = (None, None) if labels is None else np.unique(labels, return_inverse=True)
    if classes is None or classes.size > _MAX_LEGEND_CLASSES:
        ax.scatter(points[:, 0], points[:, 1], s=size, lw=0, label="new",
                   c="#cc0000" if codes is None else codes, cmap="viridis")
    else:
        cmap = plt.get_cmap("tab10" if classes.size <= 10 else "tab20")
        for i, value in enumerate(classes):
            pick = codes == i
            ax.scatter(points[pick, 0], points[pick, 1], s=size, lw=0,
                       color=cmap(i % cmap.N), label=str(value))
    ax.legend(markerscale=max(1.0, 6.0 / size**0.5), fontsize="small", loc="center left",
              bbox_to_anchor=(1.0, 0.5), frameon=False)
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_aspect("equal", adjustable="datalim")
    if title:
        ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
