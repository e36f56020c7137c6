"""Input checks shared by the estimator and the command line."""

from __future__ import annotations

import contextlib
import numbers
import warnings
from typing import Any, Iterator

import numpy as np

try:
    from numpy._core import multiarray as _multiarray  # NumPy 2
except ImportError:  # pragma: no cover - NumPy 1
    from numpy.core import multiarray as _multiarray

_INT32_MAX = 2**31 - 1

# NumPy's switch for its huge-page advice on new arrays (absent: no switch).
_set_hugepage_advice = getattr(_multiarray, "_set_madvise_hugepage", None)


@contextlib.contextmanager
def without_hugepage_advice() -> Iterator[None]:
    """NumPy allocates the arrays made in this block without asking the kernel
    for huge pages.

    NumPy advises huge pages for every array of 4 MB and more.  Where the
    kernel then compacts memory to find them (transparent huge pages with
    ``defrag=madvise``, a common default), one fresh array of 60 MB took 0.5
    to 0.7 s to fault in on a long-running machine instead of 0.05 s.  The
    copies of the input made here are written once and then read by rows, for
    which ordinary pages cost 3 to 5 % of a neighbour search (measured at
    200,000 x 32 and 50,000 x 784): less than such a stall up to about 10^6
    rows.  The switch is process-wide: arrays that other threads make
    meanwhile go without the advice too, which only changes their page size.
    """
    if _set_hugepage_advice is None:
        yield
        return
    previous = _set_hugepage_advice(False)
    try:
        yield
    finally:
        _set_hugepage_advice(previous)


def check_data(X: object, *, name: str = "X") -> np.ndarray:
    """Validate a data matrix and return it as a C-contiguous float32 array.

    A copy is made only when the input is not already C-contiguous float32.

    Raises
    ------
    TypeError
        If ``X`` is an object array holding something other than numbers.
    ValueError
        If ``X`` is sparse (see ``check_sparse``), not 2-D, not numeric, empty,
        too large for the native kernels, or holds NaN or infinite values
        (also after the conversion to float32, which overflows beyond about
        3.4e38).
    """
    if hasattr(X, "tocsr"):  # scipy.sparse matrices and arrays
        raise ValueError(f"{name} is sparse; this step needs a dense array")
    try:
        array = np.asarray(X)
    except Exception as exc:  # ragged lists and other unconvertible objects
        raise ValueError(f"{name} could not be converted to a numeric array: {exc}") from exc
    if array.dtype.kind == "c":
        raise ValueError(f"{name} is complex: Complex data not supported")
    if array.dtype.kind == "O":
        try:
            array = array.astype(np.float64)
        except TypeError as exc:
            raise TypeError(f"{name} must be numeric: {exc}") from None
        except ValueError as exc:
            raise ValueError(f"{name} must be numeric: {exc}") from None
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must be numeric (booleans, integers or floats), "
                         f"got dtype {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array of shape (n_samples, n_features), "
                         f"got {array.ndim} dimension(s)")
    n, d = array.shape
    if n == 0 or d == 0:
        what = "sample" if n == 0 else "feature"
        raise ValueError(f"{name} is empty: found array with 0 {what}(s) "
                         f"(shape={array.shape}) while a minimum of 1 is required.")
    if n > _INT32_MAX or d > _INT32_MAX:
        raise ValueError(f"{name} has too many rows or columns for the native kernels")
    with np.errstate(over="ignore"), without_hugepage_advice():
        data = np.ascontiguousarray(array, dtype=np.float32)
    # A float64 sum is finite exactly when every float32 value is (it cannot
    # overflow), and needs no n x d temporary.
    if not np.isfinite(data.sum(dtype=np.float64)):
        if array.dtype.kind == "f" and np.isfinite(array).all():
            raise ValueError(f"{name} holds values too large for float32")
        raise ValueError(f"{name} contains NaN or infinity")
    return data


def check_sparse(X: Any, *, name: str = "X", keep_zeros: bool = False) -> Any:
    """Validate a SciPy sparse matrix or array and return it as canonical CSR.

    Canonical: float32 values, sorted column indices without duplicates
    (duplicates are summed) and, unless ``keep_zeros``, no stored zeros.  The
    input is returned as it is when it already has that form, and is
    otherwise copied once; it is never made dense and never modified.

    Raises
    ------
    ValueError
        If ``X`` is empty, not numeric, too large for the native kernels, or
        holds NaN or infinite values (also after the conversion to float32).
    """
    import scipy.sparse

    if X.dtype.kind == "c":
        raise ValueError(f"{name} is complex: Complex data not supported")
    if X.dtype.kind not in "biuf":
        raise ValueError(f"{name} must be numeric (booleans, integers or floats), "
                         f"got dtype {X.dtype}")
    if len(X.shape) != 2:
        raise ValueError(f"{name} must be 2-D, got {len(X.shape)} dimension(s)")
    n, d = X.shape
    if n == 0 or d == 0:
        what = "sample" if n == 0 else "feature"
        raise ValueError(f"{name} is empty: found array with 0 {what}(s) "
                         f"(shape={X.shape}) while a minimum of 1 is required.")
    if n > _INT32_MAX or d > _INT32_MAX:
        raise ValueError(f"{name} has too many rows or columns for the native kernels")
    # CSR input is used as it is (a csr_array through a matrix sharing its
    # arrays); other formats are converted, which copies.
    csr = X if isinstance(X, scipy.sparse.csr_matrix) else scipy.sparse.csr_matrix(X)
    owned = X.format != "csr"
    if not np.isfinite(csr.data).all():
        raise ValueError(f"{name} contains NaN or infinity")
    if csr.dtype != np.float32:
        with np.errstate(over="ignore"):
            values = csr.data.astype(np.float32)
        if not np.isfinite(values).all():
            raise ValueError(f"{name} holds values too large for float32")
        csr = scipy.sparse.csr_matrix((values, csr.indices, csr.indptr), shape=csr.shape,
                                      copy=not owned)
        owned = True
    if not _sorted_unique_columns(csr) or (not keep_zeros and not csr.data.all()):
        if not owned:
            csr = csr.copy()
        csr.sum_duplicates()  # sorts the indices too
        if not keep_zeros:
            csr.eliminate_zeros()
    return csr


def _sorted_unique_columns(csr: Any) -> bool:
    """Whether every row's column indices increase strictly.  Computed here
    rather than read from SciPy's has_canonical_format, which caches its
    answer on the caller's matrix."""
    indices, indptr = csr.indices, csr.indptr
    if indices.size < 2:
        return True
    increasing = indices[1:] > indices[:-1]
    starts = indptr[1:-1]
    starts = starts[(starts > 0) & (starts < indices.size)]
    increasing[starts - 1] = True  # a row may start below the previous row's end
    return bool(increasing.all())


def normalize_rows(data: np.ndarray, in_place: bool = False) -> np.ndarray:
    """Rows of C-contiguous float32 data scaled to unit Euclidean length (zero
    rows stay zero), so that Euclidean neighbours are cosine neighbours.  With
    ``in_place`` the rows of ``data`` itself are scaled and it is returned."""
    norms = np.sqrt(np.einsum("ij,ij->i", data, data, dtype=np.float64))
    norms[norms == 0.0] = 1.0
    divisors = norms[:, None].astype(np.float32)
    if in_place:
        return np.divide(data, divisors, out=data)
    return np.ascontiguousarray(data / divisors, dtype=np.float32)


def effective_n_neighbors(n_neighbors: int, n_samples: int) -> int:
    """n_neighbors counts the point itself; it cannot exceed the number of
    points.  A larger value is reduced with a warning."""
    if n_samples < 2:
        raise ValueError(f"at least 2 samples are needed, got n_samples={n_samples}")
    if n_neighbors > n_samples:
        warnings.warn(
            f"n_neighbors={n_neighbors} is larger than the number of samples; "
            f"using n_neighbors={n_samples}",
            UserWarning,
            stacklevel=3,
        )
        return n_samples
    return n_neighbors


def check_int(value: object, name: str, minimum: int, maximum: int = _INT32_MAX) -> int:
    """An integer parameter in [minimum, maximum] (booleans refused)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    value = int(value)
    if not minimum <= value <= maximum:
        raise ValueError(f"{name} must lie in [{minimum}, {maximum}], got {value}")
    return value


def check_float(value: object, name: str, *, positive: bool = False,
                non_negative: bool = False, float32: bool = False) -> float:
    """A finite real parameter, optionally positive or non-negative.

    With ``float32``, the parameter goes to a kernel as float32 and must stay
    finite, and positive when asked, after that narrowing.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a real number, got {value!r}")
    value = float(value)
    if not np.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value}")
    if positive and value <= 0.0:
        raise ValueError(f"{name} must be positive, got {value}")
    if non_negative and value < 0.0:
        raise ValueError(f"{name} must be non-negative, got {value}")
    if float32:
        with np.errstate(over="ignore"):
            narrowed = np.float32(value)
        if not np.isfinite(narrowed):
            raise ValueError(f"{name} is too large for float32, got {value}")
        if positive and narrowed == 0.0:
            raise ValueError(f"{name} is too small for float32 (it rounds to 0), got {value}")
    return value
