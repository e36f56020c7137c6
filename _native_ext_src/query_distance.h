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

// The same distances for data whose values are all integers 0 ... 255 (no
// -0.0), given as bytes as well: q and every row also as `npair` chunks of
// 16 bytes, the row's 8-blocks in pairs with the two blocks of a pair
// interleaved element by element (b0 c0 b1 c1 ... b7 c7; c all zero for an
// odd last block), as ext_bytes_pack lays them out.  The float rows still
// serve the elements after the last 8-block.  Same bits as `many`.
typedef void (*ext_dist_bytes_fn)(const float *q, const uint8_t *qb,
                                  const float *const *rows, const uint8_t *const *brows,
                                  int count, int d, float *out);

enum { EXT_METRIC_SQEUCLIDEAN = 0 };

struct ext_distance {
    ext_dist_fn one;
    ext_dist_many_fn many;
    ext_dist_bytes_fn many_bytes;  // null where the metric has no byte form
};

// Largest number of 8-blocks per row for which the byte form is exact: every
// accumulator lane then sums at most 258 squares of at most 255^2 (one per
// 8-block and one from the 4-block), 16,776,450 <= 2^24, so every partial
// sum is an integer that a float holds exactly and the fused float steps
// never round.
#define EXT_BYTES_MAX_BLOCKS 257

// C linkage so that a test can build this unit alone and reach it by name.
#ifdef __cplusplus
extern "C" {
#endif

// The kernels of `metric` for this processor; returns -1 for an unknown
// metric.  Every instruction set gives the same bits for the same metric.
int ext_distance_select(int metric, struct ext_distance *out);

// Bytes per row of the byte form of d-element rows (16 per pair of 8-blocks),
// or 0 when d has more than EXT_BYTES_MAX_BLOCKS 8-blocks.
int64_t ext_bytes_stride(int d);

// Whether the count values of x are all integers 0 ... 255 (-0.0 excluded:
// it would come back from a byte as +0.0).
int ext_bytes_eligible(const float *x, int64_t count);

// The byte form of one eligible row of d values into out (ext_bytes_stride
// bytes).
void ext_bytes_pack(const float *x, int d, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif /* QUELMO_QUERY_DISTANCE_H */
