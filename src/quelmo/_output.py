"""scikit-learn's naming and output conventions: the feature names of a
data frame, the names of the embedding's columns, and the container that
``set_output`` asks for.  pandas and polars are imported only when asked."""

from __future__ import annotations

import sys
from typing import Any

import numpy as np

FORMATS = ("default", "pandas", "polars")


def input_feature_names(X: object) -> np.ndarray | None:
    """Column names of a data frame when they are all strings, else None
    (scikit-learn records names only in that case)."""
    columns = getattr(X, "columns", None)
    if columns is None or not hasattr(X, "shape"):
        return None
    names = np.asarray(list(columns), dtype=object)
    if names.ndim != 1 or names.size == 0 or not all(isinstance(v, str) for v in names):
        return None
    return names


def output_feature_names(n_components: int, input_features: Any, n_features_in: int,
                         feature_names_in: np.ndarray | None) -> np.ndarray:
    """``umap0``, ``umap1``, ...; ``input_features``, when given, must
    describe the input the model was fitted on."""
    if input_features is not None:
        given = np.asarray(input_features, dtype=object)
        if given.ndim != 1 or given.size != n_features_in:
            raise ValueError(f"input_features should have length equal to the number of "
                             f"features ({n_features_in}), got {given.size}")
        if feature_names_in is not None and not np.array_equal(given, feature_names_in):
            raise ValueError("input_features is not equal to feature_names_in_")
    return np.asarray([f"umap{i}" for i in range(n_components)], dtype=object)


def check_format(transform: object) -> str:
    if transform not in FORMATS:
        raise ValueError(f"set_output(transform=...) must be one of {FORMATS} or None, "
                         f"got {transform!r}")
    return str(transform)


def chosen_format(config: dict[str, str]) -> str:
    """The estimator's own choice, else scikit-learn's global one (which can
    only have been set if scikit-learn is imported)."""
    if "transform" in config:
        return config["transform"]
    if "sklearn" in sys.modules:
        from sklearn import get_config

        return str(get_config().get("transform_output", "default"))
    return "default"


def as_container(embedding: np.ndarray, X: object, names: np.ndarray, fmt: str) -> Any:
    """The embedding as the chosen container; a data frame keeps the row
    index of a pandas input."""
    if fmt == "default":
        return embedding
    if fmt == "pandas":
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("set_output(transform='pandas') needs pandas: "
                              "pip install pandas") from None
        index = getattr(X, "index", None) if isinstance(X, pd.DataFrame) else None
        return pd.DataFrame(embedding, index=index, columns=list(names))
    try:
        import polars as pl
    except ImportError:
        raise ImportError("set_output(transform='polars') needs polars: "
                          "pip install polars") from None
    return pl.DataFrame(embedding, schema=list(names), orient="row")
