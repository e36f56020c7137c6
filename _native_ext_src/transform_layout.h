/*
 * transform_layout.h - positions of new points on a fitted embedding.
 *
 * Each new point is placed on its own: its membership strengths to its
 * nearest training points (the fit's bandwidth and membership rules, the
 * point itself counted as its own first neighbour at distance 0), a start
 * at the strength-weighted mean of those neighbours' embedded positions,
 * then the fit's edge-sampling SGD on the point alone, the fitted embedding
 * held fixed and negative samples drawn among the training points.  Its
 * random streams come from the model seed and the point's own float32
 * values, never from its row number, so its position depends on nothing but
 * its values, its neighbours and the model.
 */
#ifndef QUELMO_TRANSFORM_LAYOUT_H
#define QUELMO_TRANSFORM_LAYOUT_H

#include <stdint.h>

struct ext_layout_params {
    float a, b, gamma;
    float learning_rate;
    float negative_sample_rate;
    int n_epochs;
    float local_connectivity;
    uint64_t seed;
};

// The random-stream seed of the new point x (d values): the model seed mixed
// with a hash of x's bytes.
uint64_t ext_point_seed(uint64_t model_seed, const float *x, int d);

// New positions (m x dim, into out) of the m rows of Q (d columns, hashed
// for the seeds) whose k nearest training points are knn_idx / knn_sqdist
// (m x k, by increasing squared Euclidean distance; -1 marks an empty slot)
// on the fitted embedding E (n x dim).  Returns 0, -1 for invalid arguments
// or -2 when scratch could not be allocated.
int ext_transform_layout(const float *Q, int64_t m, int d, const int32_t *knn_idx,
                         const float *knn_sqdist, int k, const float *E, int64_t n, int dim,
                         const ext_layout_params *p, int n_threads, float *out);

#endif /* QUELMO_TRANSFORM_LAYOUT_H */
