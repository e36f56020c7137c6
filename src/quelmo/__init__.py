"""quelmo: fast, reproducible UMAP-style embedding on native float32 kernels.

``quelmo.UMAP`` is the estimator and ``quelmo.embed_graph`` lays out a
caller's own graph; the native methods are re-exported for
callers that drive the pipeline themselves.
"""

from __future__ import annotations

import os

from quelmo._native_quelmo import knn_descent_f32, umap_graph_f32, umap_layout_euclidean_f32

__version__ = "0.1.0"

__all__ = ["UMAP", "__version__", "embed_graph", "get_include", "knn_descent_f32", "load",
           "umap_graph_f32", "umap_layout_euclidean_f32"]


def get_include() -> str:
    """Folder of the installed ``quelmo_kernels.h``, for C and C++ callers of
    the exported kernels."""
    # os.path rather than pathlib: pathlib (with re and fnmatch) would be
    # the largest part of the import time.
    return os.path.join(os.path.dirname(os.path.realpath(__file__)), "include")


def load(path: str | os.PathLike) -> "UMAP":  # noqa: F821 (imported on first use)
    """A fitted ``UMAP`` from a file written by ``UMAP.save``.

    Raises
    ------
    quelmo._persist.ModelFileError
        (a ValueError) When the file cannot be read, is not a model file, is
        truncated, corrupted or inconsistent, or comes from a newer quelmo.
    """
    from quelmo._persist import load as load_model

    return load_model(path)


def __getattr__(name: str) -> object:
    # The estimator and the graph layout are imported on first use, which
    # keeps `import quelmo` cheap.
    if name == "UMAP":
        from quelmo.estimator import UMAP

        return UMAP
    if name == "embed_graph":
        from quelmo._embed_graph import embed_graph

        return embed_graph
    raise AttributeError(f"module 'quelmo' has no attribute {name!r}")
