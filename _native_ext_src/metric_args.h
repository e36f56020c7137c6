/*
 * metric_args.h - argument handling shared by the metric methods of
 * _native_ext: the buffers of a call, the metric name and exponent, CSR
 * matrices, the bits of binary rows and the per-row constants a CSR set
 * needs.  Each sets a Python exception on failure.
 */
#ifndef QUELMO_METRIC_ARGS_H
#define QUELMO_METRIC_ARGS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "metric_kernels.h"

// The buffer views of one call, released in reverse order of acquisition.
struct metric_views {
    Py_buffer v[10];
    int count;
};

// Acquires obj as the next view (get_buffer's checks); returns its index, or
// -1 with an exception set.
int metric_acquire(metric_views *vs, PyObject *obj, int writable, Py_ssize_t itemsize,
                   Py_ssize_t min_items, const char *name);

// Releases every view acquired so far.
void metric_release_all(metric_views *vs);

// Resolves m from a metric name (str) with a kernel for the storage (sparse
// 1: CSR) and its exponent p.  Returns 0, or -1 with TypeError/ValueError.
int metric_parse_arg(PyObject *name, PyObject *p_obj, int sparse, metric *m);

// Checks a CSR matrix of n rows and d columns given as indptr (int64, n + 1),
// indices (int32) and vals (float32, nnz = indptr[n] each): offsets start at 0
// and never decrease, columns lie in [0, d) and increase strictly within a
// row, values are finite and nonzero.  Returns 0, or -1 with a ValueError.
int metric_check_csr(const char *what, const int64_t *indptr, const Py_buffer *indices,
                     const Py_buffer *vals, int n, int64_t d);

// The three views of a CSR matrix of n rows from objs[0 .. 2]: indptr
// (int64, n + 1), indices (int32) and data (float32), named names[0 .. 2].
// Returns the index of the first, or -1 with an exception set.
int metric_acquire_csr(metric_views *vs, PyObject *const *objs, int n,
                       const char *const *names);

// Checks the CSR matrix of n rows and d columns in views first .. first + 2
// (metric_check_csr, reported as `what`) and points s at it.  Returns 0, or
// -1 with a ValueError.
int metric_csr_points(const metric_views *vs, int first, int n, int64_t d, const char *what,
                      points *s);

// What two dense sets a and b (d columns each) hold for metric m beyond
// their floats: their rows packed as bits for jaccard and dice, and their
// byte form where both sets qualify (m then switches to the byte kernel,
// which gives the float kernel's bits).  Returns 0, or -1 with MemoryError
// or ValueError (jaccard or dice on a value neither 0 nor 1); either way
// the caller frees *held with metric_pair_free.
struct metric_pair_storage {
    uint64_t *bits;
    void *a_bytes, *b_bytes;
};
int metric_dense_pair(metric *m, points *a, points *b, metric_pair_storage *held);
void metric_pair_free(metric_pair_storage *held);

// Per-row constants of the metric for the CSR set s, which then points at
// them; the caller frees the result.  Null with MemoryError set.
double *metric_aux_alloc(const metric *m, points *s);

#endif /* QUELMO_METRIC_ARGS_H */
