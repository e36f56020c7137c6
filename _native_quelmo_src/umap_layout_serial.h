/*
 * umap_layout_serial.h - the serial layout optimiser with a status, shared by
 * the exported serial kernel (which drops the status) and the threaded
 * driver's fallback (which reports it).  Hidden from the shared object.
 */
#ifndef QUELMO_UMAP_LAYOUT_SERIAL_H
#define QUELMO_UMAP_LAYOUT_SERIAL_H

#include <stdint.h>

/*
 * Serial edge-sampling SGD of a UMAP layout, in place; the arguments of
 * vorlix_umap_optimize_layout_euclidean_f32, then a control record or NULL
 * (run_control.h).  Returns 0 when the epochs ran, -1 for invalid arguments
 * and -2 when the edge schedule could not be allocated; on -1 and -2 the
 * embedding is unchanged.  With a control record it publishes the epochs
 * done, and on a stop request returns RUN_STATUS_STOPPED between two edges,
 * with the moves made so far kept.
 */
__attribute__((visibility("hidden"))) int vorlix_umap_optimize_layout_serial_f32(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b,
    float gamma, float initial_alpha, float negative_sample_rate, uint64_t seed,
    int64_t *control);

#endif /* QUELMO_UMAP_LAYOUT_SERIAL_H */
