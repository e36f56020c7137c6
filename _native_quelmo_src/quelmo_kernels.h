/*
 * quelmo_kernels.h - the six exported float32 kernels of quelmo.
 *
 * Contract shared by every kernel:
 *   - All arrays belong to the caller; kernels write results only into the
 *     arrays documented as outputs and keep nothing between calls.
 *   - Scratch is allocated with malloc and freed before return, on every path.
 *   - Kernels never print, log or throw.  Kernels returning int report
 *     0 = success, -1 = invalid arguments, -2 = allocation failure (the
 *     threaded layout's -1 also covers a completed serial run, see there);
 *     void kernels return silently, writing nothing, on invalid arguments.
 *   - Results repeat bit for bit for equal inputs, seed and resolved thread
 *     count (and, for the threaded layout, equal sub-step count).
 *
 * Usable from C and C++.  Built with -fvisibility=hidden; only these six
 * functions (and the Python module init) are exported from the extension.
 */
#ifndef QUELMO_KERNELS_H
#define QUELMO_KERNELS_H

#include <stdint.h>

#if defined(_WIN32)
#define QUELMO_API
#else
#define QUELMO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Approximate k nearest neighbours of the rows of X (n_cells x n_dims,
 * row-major) under squared Euclidean distance: a random-projection forest
 * followed by NN-descent.  Writes knn_idx / knn_dist (n_cells x k each), every
 * row a max-heap on distance (slot 0 farthest), the point itself excluded;
 * unfilled slots hold id -1 and distance 1e30f.
 *   n_trees <= 0 means 1, n_iters <= 0 means 1, leaf_size is raised to k + 1,
 *   n_threads <= 0 means the online processor count.
 * Returns 0, -1 (n_cells, n_dims or k not positive, or k >= n_cells; nothing
 * written) or -2 (allocation failure).
 */
QUELMO_API int vorlix_knn_descent_f32(int n_cells, int n_dims, int k, const float *X,
                                      int n_trees, int n_iters, int leaf_size,
                                      uint64_t seed, int32_t *knn_idx, float *knn_dist,
                                      int n_threads);

/*
 * Per-row bandwidth (sigmas) and local offset (rhos) of a dense kNN distance
 * table (n_samples x n_neighbors).  The first column of every row is left out
 * of the bandwidth search.  Silent no-op on invalid arguments.
 */
QUELMO_API void vorlix_umap_smooth_knn_dist_f32(int n_samples, int n_neighbors,
                                                const float *distances, float k, int n_iter,
                                                float local_connectivity, float bandwidth,
                                                float *sigmas, float *rhos);

/*
 * Directed membership strengths of every kNN entry as COO triplets aligned
 * with the kNN arrays (slot i * n_neighbors + j).  An id of -1 gives the empty
 * triplet (0, 0, 0).  dists is written only when return_dists is non-zero
 * (it may be NULL otherwise).  Silent no-op on invalid arguments.
 */
QUELMO_API void vorlix_umap_membership_strengths_f32(int n_samples, int n_neighbors,
                                                     const int32_t *knn_indices,
                                                     const float *knn_dists,
                                                     const float *sigmas, const float *rhos,
                                                     int return_dists, int bipartite,
                                                     int32_t *rows, int32_t *cols,
                                                     float *vals, float *dists);

/*
 * Fuzzy union / intersection of every membership edge with its reverse.
 * Outputs hold 2 * n_samples * n_neighbors triplets: entry off owns slots
 * 2 * off and 2 * off + 1; slots without an edge hold (0, 0, 0).
 * Silent no-op on invalid arguments.
 */
QUELMO_API void vorlix_umap_symmetrize_fuzzy_graph_f32(int n_samples, int n_neighbors,
                                                       const int32_t *rows,
                                                       const int32_t *cols,
                                                       const float *vals,
                                                       float set_op_mix_ratio,
                                                       int32_t *out_rows, int32_t *out_cols,
                                                       float *out_vals);

/*
 * Serial edge-sampling SGD of a UMAP layout, in place.  head/tail ids must lie
 * in [0, n_samples): they are trusted, not checked.  Silent no-op on invalid
 * arguments or allocation failure (embedding unchanged).
 */
QUELMO_API void vorlix_umap_optimize_layout_euclidean_f32(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b,
    float gamma, float initial_alpha, float negative_sample_rate, uint64_t seed);

/*
 * Threaded variant of the layout optimiser (n_threads <= 0: online
 * processors).  Returns
 *    0  the threaded path ran to completion;
 *   -1  invalid arguments (nothing done), or the serial optimiser ran in its
 *       place to completion (one effective thread, allocation or
 *       thread-creation failure of the threaded path);
 *   -2  the threaded path could not run and the serial optimiser could not
 *       allocate its schedule either: nothing ran, the embedding is unchanged.
 */
QUELMO_API int vorlix_umap_optimize_layout_euclidean_f32_parallel(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b,
    float gamma, float initial_alpha, float negative_sample_rate, uint64_t seed,
    int n_threads);

#ifdef __cplusplus
}
#endif

#endif /* QUELMO_KERNELS_H */
