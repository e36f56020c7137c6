"""quelmo: fast, reproducible UMAP-style embedding on native float32 kernels."""

from quelmo._native_quelmo import umap_graph_f32, umap_layout_euclidean_f32

__version__ = "0.1.0"

__all__ = ["__version__", "umap_graph_f32", "umap_layout_euclidean_f32"]
