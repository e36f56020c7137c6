/*
 * query_distance.h - the distance of the neighbour query, chosen once per
 * call: one entry per metric and instruction set, behind a function pointer.
 */
#ifndef QUELMO_QUERY_DISTANCE_H
#define QUELMO_QUERY_DISTANCE_H

#include <stdint.h>

// Distance of two float32 vectors of length d.  Smaller is nearer; the
// query compares values only, so a monotone stand-in (the squared Euclidean
// distance) is as good as the distance itself.
typedef float (*ext_dist_fn)(const float *a, const float *b, int d);

// Distances of q to `count` rows: out[j] = dist(q, rows[j]).  Each value has
// the bits of one ext_dist_fn call; several rows are only evaluated together.
typedef void (*ext_dist_many_fn)(const float *q, const float *const *rows, int count, int d,
                                 float *out);

enum { EXT_METRIC_SQEUCLIDEAN = 0 };

struct ext_distance {
    ext_dist_fn one;
    ext_dist_many_fn many;
};

// C linkage so that a test can build this unit alone and reach it by name.
#ifdef __cplusplus
extern "C" {
#endif

// The kernels of `metric` for this processor; returns -1 for an unknown
// metric.  Every instruction set gives the same bits for the same metric.
int ext_distance_select(int metric, struct ext_distance *out);

#ifdef __cplusplus
}
#endif

#endif /* QUELMO_QUERY_DISTANCE_H */
