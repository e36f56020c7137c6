"""Scatter plots of 2-D embeddings (needs matplotlib: the ``plot`` extra)."""

from __future__ import annotations

from pathlib import Path

import numpy as np

_MAX_LEGEND_CLASSES = 30


def save_scatter(embedding: np.ndarray, path: str | Path, labels: np.ndarray | None = None,
                 title: str | None = None) -> None:
    """Write a PNG scatter plot of the first two embedding coordinates,
    coloured by label with a legend when there are few distinct labels."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'quelmo[plot]'") from None

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
