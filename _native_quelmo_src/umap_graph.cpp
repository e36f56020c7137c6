// Fuzzy graph: per-point bandwidths (sigma) and offsets (rho), membership
// strengths, and the fuzzy-union symmetrization.
//
// Every expression is evaluated operation by operation in the precision
// written (float unless cast), and the build forbids contraction into FMA:
// the outputs are reproducible bit for bit only under that rule.

#include "quelmo_kernels.h"

#include <math.h>

#include <climits>
#include <cmath>
#include <cstdint>

namespace {

// Mean of every entry of the table, accumulated in double in memory order.
inline float vorlix_umap_mean_all(int n_samples, int n_neighbors, const float *distances) {
    const int64_t n = (int64_t)n_samples * (int64_t)n_neighbors;
    double sum = 0.0;
    for (int64_t index = 0; index < n; ++index) sum += (double)distances[index];
    return (float)(sum / (double)n);
}

// floor(v) as an int, saturating instead of overflowing: NaN and values
// beyond the int range only reach this through direct C callers, and the
// plain conversion would be undefined there.
inline int floor_to_int_saturated(float v) {
    if (!(v == v)) return 0;
    const double f = std::floor((double)v);
    if (f >= (double)INT_MAX) return INT_MAX;
    if (f <= (double)INT_MIN) return INT_MIN;
    return (int)f;
}

inline void vorlix_umap_smooth_range(int start, int end, int n_neighbors,
                                     const float *distances, float k, int n_iter,
                                     float local_connectivity, float bandwidth,
                                     float mean_distances, float *sigmas, float *rhos) {
    const double target = (double)bandwidth * std::log2((double)k);
    const int lc_index = floor_to_int_saturated(local_connectivity);
    const float lc_interp = local_connectivity - (float)lc_index;
    // The tolerance is the float constant 1e-5f widened, not the double 1e-5.
    const double tolerance = (double)1e-5f;

    for (int i = start; i < end; ++i) {
        const float *row = distances + (int64_t)i * n_neighbors;
        int non_zero_count = 0;
        float first_non_zero = 0.0f;
        float max_non_zero = 0.0f;
        float lc_value = 0.0f;
        float lc_next = 0.0f;
        double row_sum = 0.0;

        // Column order, not distance order: nothing sorts the row.
        for (int j = 0; j < n_neighbors; ++j) {
            const float d = row[j];
            row_sum += (double)d;
            if (d > 0.0f) {
                if (non_zero_count == 0) first_non_zero = d;
                non_zero_count += 1;
                if (d > max_non_zero) max_non_zero = d;
                // non_zero_count - 1 == lc_index stands for
                // non_zero_count == lc_index + 1 without overflowing at INT_MAX.
                if (non_zero_count == lc_index) {
                    lc_value = d;
                } else if (non_zero_count - 1 == lc_index) {
                    lc_next = d;
                }
            }
        }

        float rho = 0.0f;
        if (local_connectivity <= (float)non_zero_count) {
            if (lc_index > 0) {
                rho = lc_value;
                if (lc_interp > 1e-5f && non_zero_count > lc_index) {
                    const float gap = lc_next - lc_value;
                    const float step = lc_interp * gap;
                    rho = lc_value + step;
                }
            } else {
                rho = non_zero_count > 0 ? lc_interp * first_non_zero : 0.0f;
            }
        } else {
            rho = non_zero_count > 0 ? max_non_zero : 0.0f;
        }
        rhos[i] = rho;

        float lo = 0.0f;
        float hi = INFINITY;
        float mid = 1.0f;
        for (int it = 0; it < n_iter; ++it) {
            float psum = 0.0f;
            for (int j = 1; j < n_neighbors; ++j) {
                const float t = row[j] - rho;
                if (t > 0.0f) {
                    psum += expf(-(t / mid));
                } else {
                    psum += 1.0f;
                }
            }
            if (std::fabs((double)psum - target) < tolerance) break;
            if ((double)psum > target) {
                hi = mid;
                mid = (lo + hi) / 2.0f;
            } else {
                lo = mid;
                if (std::isinf(hi)) {
                    mid = mid * 2.0f;
                } else {
                    mid = (lo + hi) / 2.0f;
                }
            }
        }
        sigmas[i] = mid;

        float min_sigma;
        if (rho > 0.0f) {
            // The integer column count, not k, divides the row sum.
            const float row_mean = (float)(row_sum / (double)n_neighbors);
            min_sigma = row_mean * 1e-3f;
        } else {
            min_sigma = mean_distances * 1e-3f;
        }
        if (min_sigma > sigmas[i]) sigmas[i] = min_sigma;
    }
}

inline void vorlix_umap_membership_range(int start, int end, int n_neighbors,
                                         const int32_t *knn_indices, const float *knn_dists,
                                         const float *sigmas, const float *rhos,
                                         int return_dists, int bipartite, int32_t *rows,
                                         int32_t *cols, float *vals, float *dists) {
    for (int i = start; i < end; ++i) {
        const float sigma = sigmas[i];
        const float rho = rhos[i];
        const int64_t base = (int64_t)i * n_neighbors;
        for (int j = 0; j < n_neighbors; ++j) {
            const int64_t off = base + j;
            const int32_t col = knn_indices[off];
            if (col == -1) {
                rows[off] = 0;
                cols[off] = 0;
                vals[off] = 0.0f;
                if (return_dists) dists[off] = 0.0f;
                continue;
            }
            float val;
            if (bipartite == 0 && col == i) {
                val = 0.0f;
            } else {
                const float t = knn_dists[off] - rho;
                if (t <= 0.0f || sigma == 0.0f) {
                    val = 1.0f;
                } else {
                    // Quotient and negation in float, exponential in double.
                    const float x = -(t / sigma);
                    val = (float)exp((double)x);
                }
            }
            rows[off] = i;
            cols[off] = col;
            vals[off] = val;
            if (return_dists) dists[off] = knn_dists[off];
        }
    }
}

// Strength of the edge src -> dst as recorded in row src: the first entry
// with a positive value, or 0 when there is none.
inline float vorlix_umap_reverse_value(int n_neighbors, const int32_t *rows,
                                       const int32_t *cols, const float *vals, int32_t src,
                                       int32_t dst) {
    const int64_t base = (int64_t)src * n_neighbors;
    for (int j2 = 0; j2 < n_neighbors; ++j2) {
        const int64_t off2 = base + j2;
        if (rows[off2] == src && cols[off2] == dst && vals[off2] > 0.0f) return vals[off2];
    }
    return 0.0f;
}

inline void vorlix_umap_symmetrize_range(int start, int end, int n_samples, int n_neighbors,
                                         const int32_t *rows, const int32_t *cols,
                                         const float *vals, float set_op_mix_ratio,
                                         int32_t *out_rows, int32_t *out_cols,
                                         float *out_vals) {
    for (int i = start; i < end; ++i) {
        for (int j = 0; j < n_neighbors; ++j) {
            const int64_t off = (int64_t)i * n_neighbors + j;
            const int64_t out0 = 2 * off;
            const int64_t out1 = 2 * off + 1;
            out_rows[out0] = 0;
            out_cols[out0] = 0;
            out_vals[out0] = 0.0f;
            out_rows[out1] = 0;
            out_cols[out1] = 0;
            out_vals[out1] = 0.0f;

            const float a = vals[off];
            const int32_t col = cols[off];
            if (a <= 0.0f || col < 0 || col >= n_samples || col == i || rows[off] != i)
                continue;

            const float b = vorlix_umap_reverse_value(n_neighbors, rows, cols, vals, col, i);
            // a + b and a * b are symmetric in a and b, so both directions of a
            // mutual pair compute the same value.
            const float prod = a * b;
            const float uni = ((a + b) - prod) * set_op_mix_ratio;
            const float inter = (1.0f - set_op_mix_ratio) * prod;
            const float sym = uni + inter;
            if (sym <= 0.0f) continue;

            out_rows[out0] = i;
            out_cols[out0] = col;
            out_vals[out0] = sym;
            // Without a reverse entry this entry writes the reverse direction too.
            if (b == 0.0f) {
                out_rows[out1] = col;
                out_cols[out1] = i;
                out_vals[out1] = sym;
            }
        }
    }
}

}  // namespace

extern "C" {

QUELMO_API void vorlix_umap_smooth_knn_dist_f32(int n_samples, int n_neighbors,
                                                const float *distances, float k, int n_iter,
                                                float local_connectivity, float bandwidth,
                                                float *sigmas, float *rhos) {
    if (n_samples <= 0 || n_neighbors <= 0) return;
    if (distances == nullptr || sigmas == nullptr || rhos == nullptr) return;
    if (k <= 0.0f || n_iter <= 0) return;
    const float mean_distances = vorlix_umap_mean_all(n_samples, n_neighbors, distances);
    vorlix_umap_smooth_range(0, n_samples, n_neighbors, distances, k, n_iter,
                             local_connectivity, bandwidth, mean_distances, sigmas, rhos);
}

QUELMO_API void vorlix_umap_membership_strengths_f32(int n_samples, int n_neighbors,
                                                     const int32_t *knn_indices,
                                                     const float *knn_dists,
                                                     const float *sigmas, const float *rhos,
                                                     int return_dists, int bipartite,
                                                     int32_t *rows, int32_t *cols,
                                                     float *vals, float *dists) {
    if (n_samples <= 0 || n_neighbors <= 0) return;
    if (knn_indices == nullptr || knn_dists == nullptr || sigmas == nullptr ||
        rhos == nullptr || rows == nullptr || cols == nullptr || vals == nullptr)
        return;
    if (return_dists && dists == nullptr) return;
    vorlix_umap_membership_range(0, n_samples, n_neighbors, knn_indices, knn_dists, sigmas,
                                 rhos, return_dists, bipartite, rows, cols, vals, dists);
}

QUELMO_API void vorlix_umap_symmetrize_fuzzy_graph_f32(int n_samples, int n_neighbors,
                                                       const int32_t *rows,
                                                       const int32_t *cols,
                                                       const float *vals,
                                                       float set_op_mix_ratio,
                                                       int32_t *out_rows, int32_t *out_cols,
                                                       float *out_vals) {
    if (n_samples <= 0 || n_neighbors <= 0) return;
    if (rows == nullptr || cols == nullptr || vals == nullptr || out_rows == nullptr ||
        out_cols == nullptr || out_vals == nullptr)
        return;
    vorlix_umap_symmetrize_range(0, n_samples, n_samples, n_neighbors, rows, cols, vals,
                                 set_op_mix_ratio, out_rows, out_cols, out_vals);
}

}  // extern "C"
