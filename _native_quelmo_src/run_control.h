/*
 * run_control.h - progress counts and a stop request for the long kernels,
 * and the internal entry points that take them.  Hidden from the shared
 * object: the exported kernels call these entry points with no control
 * record, which leaves their work and their results exactly as they are.
 *
 * A control record is an array of RUN_CONTROL_SLOTS int64 values owned by
 * the caller, who reads it from another thread while the call runs and may
 * set RUN_STOP there at any time.  The kernels touch it only through the
 * helpers below, as relaxed atomic operations on naturally aligned words:
 * the counts are only shown, and the stop request is only polled, so
 * neither has to order any other memory.  Where the workers of one call
 * must agree on stopping, they do so through their own synchronisation
 * (the layout's barrier), not through the record.
 */
#ifndef QUELMO_RUN_CONTROL_H
#define QUELMO_RUN_CONTROL_H

#include <stddef.h>
#include <stdint.h>

// The slots of a control record.
enum run_control_slot {
    RUN_STOP = 0,      // set by the caller: non-zero asks the call to stop
    RUN_PHASE,         // the phase now running (run_phase_code)
    RUN_TREES_DONE,    // kNN: trees built so far
    RUN_TREES_TOTAL,   //      trees to build
    RUN_ITERS_DONE,    // kNN: descent iterations finished
    RUN_ITERS_TOTAL,   //      the iteration cap (the descent may stop sooner)
    RUN_EPOCHS_DONE,   // layout: epochs finished
    RUN_EPOCHS_TOTAL,  //         epochs to run
    RUN_CONTROL_SLOTS
};

enum run_phase_code {
    RUN_PHASE_NONE = 0,
    RUN_PHASE_TREES = 1,
    RUN_PHASE_MERGE = 2,
    RUN_PHASE_DESCENT = 3,
    RUN_PHASE_LAYOUT = 4,
};

// Status of a call that stopped on request before it finished.
#define RUN_STATUS_STOPPED (-3)

static inline int run_stop_requested(const int64_t *control) {
    return control != NULL && __atomic_load_n(&control[RUN_STOP], __ATOMIC_RELAXED) != 0;
}

static inline void run_set(int64_t *control, int slot, int64_t value) {
    if (control != NULL) __atomic_store_n(&control[slot], value, __ATOMIC_RELAXED);
}

static inline void run_add(int64_t *control, int slot, int64_t delta) {
    if (control != NULL) (void)__atomic_fetch_add(&control[slot], delta, __ATOMIC_RELAXED);
}

/*
 * vorlix_knn_descent_f32 with a control record (or NULL): the phase, the
 * trees built and the descent iterations done are published as they
 * progress.  A stop request is honoured between trees and within a tree's
 * splits, between descent iterations and every 1024 rows of one;
 * the call then returns RUN_STATUS_STOPPED with every thread joined and
 * every buffer freed, and knn_idx / knn_dist hold unspecified values.
 * Otherwise the statuses and the results are those of the exported kernel,
 * bit for bit.
 */
__attribute__((visibility("hidden"))) int vorlix_knn_descent_control_f32(
    int n_cells, int n_dims, int k, const float *X, int n_trees, int n_iters, int leaf_size,
    uint64_t seed, int32_t *knn_idx, float *knn_dist, int n_threads, int64_t *control);

/*
 * vorlix_umap_optimize_layout_euclidean_f32_parallel with a control record
 * (or NULL): the epochs done are published after each epoch.  A stop
 * request is honoured between sub-steps of the threaded optimiser (all
 * workers stop at the same one) and every 2^16 edges of the serial one; the
 * call then returns RUN_STATUS_STOPPED with every thread joined and every
 * buffer freed, and the embedding holds the layout as far as it got: every
 * move applied so far stays, none is half applied in the threaded optimiser.
 * Otherwise the statuses and the results are those of the exported kernel,
 * bit for bit.  With may_run_inline, a threaded layout too small to gain
 * from threads (a few microseconds of work per worker and sub-step) runs its
 * workers one after the other on the calling thread, with the same bytes
 * and status.
 */
__attribute__((visibility("hidden"))) int vorlix_umap_optimize_layout_control_f32(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b,
    float gamma, float initial_alpha, float negative_sample_rate, uint64_t seed,
    int n_threads, int64_t *control, int may_run_inline);

#endif /* QUELMO_RUN_CONTROL_H */
