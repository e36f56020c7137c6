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
 *
 * A point whose float32 values are those of a training point, bit for bit,
 * is that point: it gets its fitted position (of the first such training
 * point, by id), so transforming the training data repeats the fit.
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

// Hash of the bytes of x (d float32 values).  The random-stream seed of a
// new point is splitmix64(model seed ^ its hash).
uint64_t ext_row_hash(const float *x, int d);

// Hashes of the n rows of X (n x d) into out, on threads.
void ext_row_hashes(const float *X, int64_t n, int d, int n_threads, uint64_t *out);

// The training points as the layout needs them: their data (n x d), their
// fitted positions E (n x dim), and their row hashes in increasing order
// with the ids of the rows in that order (hash_order: ids of equal hashes
// ascending), for the lookup of new points equal to a training point.
struct ext_fitted {
    const float *X;
    int64_t n;
    int d;
    const float *E;
    int dim;
    const uint64_t *hash_sorted;
    const int32_t *hash_order;
};

// New positions (m x dim, into out) of the m rows of Q (m x d) whose k
// nearest training points are knn_idx / knn_sqdist (m x k, by increasing
// squared Euclidean distance; -1 marks an empty slot).  Returns 0, -1 for
// invalid arguments or -2 when scratch could not be allocated.
int ext_transform_layout(const ext_fitted *fit, const float *Q, int64_t m,
                         const int32_t *knn_idx, const float *knn_sqdist, int k,
                         const ext_layout_params *p, int n_threads, float *out);

#endif /* QUELMO_TRANSFORM_LAYOUT_H */
