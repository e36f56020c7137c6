"""quelmo: fast, reproducible UMAP-style embedding on native float32 kernels.

``quelmo.UMAP`` is the estimator; the native methods are re-exported for
callers that drive the pipeline themselves.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from quelmo._native_quelmo import knn_descent_f32, umap_graph_f32, umap_layout_euclidean_f32

__version__ = "0.1.0"

__all__ = ["UMAP", "__version__", "get_include", "knn_descent_f32", "umap_graph_f32",
           "umap_layout_euclidean_f32"]


def get_include() -> str:
    """Folder of the installed ``quelmo_kernels.h``, for C and C++ callers of
    the exported kernels."""
    return str(Path(__file__).resolve().parent / "include")


def __getattr__(name: str) -> Any:
    # The estimator pulls in SciPy; importing it on first use keeps
    # `import quelmo` cheap.
    if name == "UMAP":
        from quelmo.estimator import UMAP

        return UMAP
    raise AttributeError(f"module 'quelmo' has no attribute {name!r}")
