/*
 * metric_units.h - what the metric units offer each other: the dense and the
 * sparse kernel tables and projections, behind the resolution of
 * metric_kernels.h.  Not for the module methods.
 */
#ifndef QUELMO_METRIC_UNITS_H
#define QUELMO_METRIC_UNITS_H

#include "metric_kernels.h"

// metric_dense.cpp
int dense_cpu_simd(void);
dist_many_fn dense_kernel(int id, double p, int simd);  // null when id has none
void dense_project(int simd, const points *s, int32_t a, int32_t b, const int32_t *ids, int cnt,
                   double *out, float *dir);

// metric_sparse.cpp
dist_many_fn sparse_kernel(int id);  // null when id has no sparse kernel
int sparse_aux_width(int id);
int64_t sparse_scratch_floats(int64_t d);
void sparse_aux(int id, double p, const points *s, double *aux);
void sparse_project(const points *s, int pattern, int32_t a, int32_t b, const int32_t *ids,
                    int cnt, double *out, float *dir);

#endif /* QUELMO_METRIC_UNITS_H */
