/*
 * metric_args.h - argument checks shared by the metric methods of
 * _native_ext: the metric name and exponent, CSR matrices, and the per-row
 * constants a CSR set needs.  Each sets a Python exception on failure.
 */
#ifndef QUELMO_METRIC_ARGS_H
#define QUELMO_METRIC_ARGS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "metric_kernels.h"

// Resolves m from a metric name (str) with a kernel for the storage (sparse
// 1: CSR) and its exponent p.  Returns 0, or -1 with TypeError/ValueError.
int metric_parse_arg(PyObject *name, PyObject *p_obj, int sparse, metric *m);

// Checks a CSR matrix of n rows and d columns given as indptr (int64, n + 1),
// indices (int32) and vals (float32, nnz = indptr[n] each): offsets start at 0
// and never decrease, columns lie in [0, d) and increase strictly within a
// row, values are finite and nonzero.  Returns 0, or -1 with a ValueError.
int metric_check_csr(const char *what, const int64_t *indptr, const Py_buffer *indices,
                     const Py_buffer *vals, int n, int64_t d);

// Per-row constants of the metric for the CSR set s, which then points at
// them; the caller frees the result.  Null with MemoryError set.
double *metric_aux_alloc(const metric *m, points *s);

#endif /* QUELMO_METRIC_ARGS_H */
