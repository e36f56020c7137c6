"""Reading data files for the command line: .npy, .npz, .csv and .tsv."""

from __future__ import annotations

import csv
import zipfile
from pathlib import Path

import numpy as np


class DataFileError(ValueError):
    """A data file that cannot be read as a numeric matrix."""


def read_data(path: str | Path, label_column: str | None = None
              ) -> tuple[np.ndarray, np.ndarray | None]:
    """Read a data matrix and, optionally, labels from one file.

    ``.npy`` holds the matrix; ``.npz`` holds it as ``X`` (or its only array),
    with labels taken from ``y`` when present; ``.csv``/``.tsv`` are numeric
    tables with an optional header row, from which ``label_column`` (a header
    name or a 0-based index) is split off as labels.
    """
    path = Path(path)
    suffix = path.suffix.lower()
    if not path.is_file():
        raise DataFileError(f"{path}: no such file")
    try:
        if suffix == ".npy":
            data, labels = np.load(path, allow_pickle=False), None
        elif suffix == ".npz":
            data, labels = _read_npz(path)
        elif suffix in (".csv", ".tsv", ".txt"):
            data, labels = _read_table(path, "\t" if suffix == ".tsv" else None, label_column)
            return data, labels
        else:
            raise DataFileError(f"{path}: unsupported file type {suffix!r} "
                                "(use .npy, .npz, .csv or .tsv)")
    except (OSError, EOFError, zipfile.BadZipFile, UnicodeDecodeError, csv.Error) as exc:
        raise DataFileError(f"{path}: cannot be read ({exc})") from None
    except ValueError as exc:
        if isinstance(exc, DataFileError):
            raise
        raise DataFileError(f"{path}: cannot be read ({exc})") from None
    if label_column is not None:
        raise DataFileError("a label column can only be taken from a .csv or .tsv file; "
                            "pass a label file instead")
    return data, labels


def read_labels(path: str | Path, n_samples: int) -> np.ndarray:
    """One label per sample from a .npy file or a text file with one per line."""
    path = Path(path)
    try:
        if path.suffix.lower() == ".npy":
            labels = np.load(path, allow_pickle=False)
        else:
            with open(path, newline="", encoding="utf-8") as handle:
                labels = _numbers_if_numeric(
                    np.array([line.strip() for line in handle if line.strip()]))
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise DataFileError(f"{path}: cannot be read as labels ({exc})") from None
    labels = np.asarray(labels).ravel()
    if labels.shape[0] != n_samples:
        raise DataFileError(f"{path}: {labels.shape[0]} labels for {n_samples} samples")
    return labels


def read_precomputed_knn(path: str | Path) -> tuple[np.ndarray, np.ndarray]:
    """Neighbours for ``precomputed_knn`` from a .npz file holding the arrays
    ``indices`` and ``distances`` (as saved from a fit's ``knn_indices_`` and
    ``knn_dists_``).  Their shapes and values are checked by the estimator."""
    path = Path(path)
    if not path.is_file():
        raise DataFileError(f"{path}: no such file")
    try:
        archive = np.load(path, allow_pickle=False)
        if not isinstance(archive, np.lib.npyio.NpzFile):
            raise DataFileError(f"{path}: not a .npz file")
        with archive:
            if not {"indices", "distances"} <= set(archive.files):
                raise DataFileError(f"{path}: holds {list(archive.files)}; "
                                    "neighbours need arrays 'indices' and 'distances'")
            return archive["indices"], archive["distances"]
    except DataFileError:
        raise
    except (OSError, EOFError, ValueError, zipfile.BadZipFile) as exc:
        raise DataFileError(f"{path}: cannot be read ({exc})") from None


def read_array(path: str | Path) -> np.ndarray:
    """One array from a .npy file (an initial embedding, for example)."""
    path = Path(path)
    if not path.is_file():
        raise DataFileError(f"{path}: no such file")
    try:
        array = np.load(path, allow_pickle=False)
    except (OSError, EOFError, ValueError) as exc:
        raise DataFileError(f"{path}: cannot be read ({exc})") from None
    if not isinstance(array, np.ndarray):
        raise DataFileError(f"{path}: holds several arrays; give a .npy file")
    return array


def _read_npz(path: Path) -> tuple[np.ndarray, np.ndarray | None]:
    with np.load(path, allow_pickle=False) as archive:
        names = list(archive.files)
        if "X" in names:
            data = archive["X"]
        elif len(names) == 1:
            data = archive[names[0]]
        else:
            raise DataFileError(f"{path}: holds {names}; name the data array 'X'")
        labels = archive["y"] if "y" in names else None
    return data, labels


def _is_number(field: str) -> bool:
    try:
        float(field)
    except ValueError:
        return False
    return True


def _read_table(path: Path, delimiter: str | None, label_column: str | None
                ) -> tuple[np.ndarray, np.ndarray | None]:
    with open(path, newline="", encoding="utf-8") as handle:
        sample = handle.read(65536)
        handle.seek(0)
        if delimiter is None:
            delimiter = "\t" if sample.count("\t") > sample.count(",") else ","
        rows = [row for row in csv.reader(handle, delimiter=delimiter) if row]
    if not rows:
        raise DataFileError(f"{path}: the file is empty")
    header = None
    if not all(_is_number(field) for field in rows[0]):
        header, rows = [field.strip() for field in rows[0]], rows[1:]
    if not rows:
        raise DataFileError(f"{path}: no data rows")
    width = len(rows[0])
    for number, row in enumerate(rows, start=2 if header else 1):
        if len(row) != width:
            raise DataFileError(f"{path}: line {number} has {len(row)} fields, expected {width}")
    table = np.array(rows, dtype=str)

    labels = None
    if label_column is not None:
        col = _column_index(label_column, header, width, path)
        labels = np.char.strip(table[:, col])
        table = np.delete(table, col, axis=1)
        if header is not None:
            del header[col]
    try:
        data = table.astype(np.float64)
    except ValueError:
        for j in range(table.shape[1]):
            bad = [v for v in table[:, j] if not _is_number(v)]
            if bad:
                name = f"'{header[j]}'" if header else str(j)
                raise DataFileError(f"{path}: column {name} is not numeric "
                                    f"(found {bad[0]!r})") from None
        raise
    return data, None if labels is None else _numbers_if_numeric(labels)


def _numbers_if_numeric(labels: np.ndarray) -> np.ndarray:
    """Text labels as integers or floats when every one is a number."""
    if not all(_is_number(v) for v in labels):
        return labels
    as_float = labels.astype(np.float64)
    return as_float.astype(np.int64) if (as_float == np.round(as_float)).all() else as_float


def _column_index(column: str, header: list[str] | None, width: int, path: Path) -> int:
    if header is not None and column in header:
        return header.index(column)
    try:
        index = int(column)
    except ValueError:
        raise DataFileError(f"{path}: no column named {column!r}") from None
    if not -width <= index < width:
        raise DataFileError(f"{path}: column index {index} out of range for {width} columns")
    return index % width
