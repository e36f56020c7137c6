/*
 * layout_due.h - the due edges of a block of the threaded optimiser's plan
 * in one epoch, eight positions per vector (AVX-512).
 *
 * Per position the same double operations as the per-edge loop: an edge is
 * due when !(eons > n); a due edge's eons grows by its period eps, its sample
 * count is vorlix_umap_negative_count(n, eonn, epn) with the sample period
 * epn = eps / rate, and where that is positive eonn grows by count * epn.  A
 * disabled edge is never due (the driver starts its eons at +inf).
 */
#ifndef QUELMO_LAYOUT_DUE_H
#define QUELMO_LAYOUT_DUE_H

#include <stdint.h>

/* Room past the last listed entry that layout_due_scan may write. */
#define LAYOUT_DUE_SLACK 8

/* The schedule of a block of positions and what the due edges' list takes
 * along (the arrays start at the block's first position, in plan order). */
struct layout_due_block {
    double *eons;
    double *eonn;
    const float *eps;
    double rate;         /* the negative sample rate */
    const int32_t *head; /* the edges' heads and tails, listed with them */
    const int32_t *tail;
    int64_t n_ahead;     /* positions valid in these arrays from the block's
                            first on (the block and those after it), which
                            are requested ahead */
};

/* The due edges of a list (each array with room for m + LAYOUT_DUE_SLACK
 * entries): offsets from the block's first position, sample counts, heads
 * and tails. */
struct layout_due_list {
    int32_t *at;
    int32_t *n_neg;
    int32_t *head;
    int32_t *tail;
};

/* Positions [0, m) of a block in epoch n: advances the schedule of the due
 * ones, lists them in position order and returns how many are due.  Only
 * where cpu_simd_level() of fast_powf.h is 5. */
int layout_due_scan(const layout_due_block *blk, int m, int n, const layout_due_list *out);

#endif /* QUELMO_LAYOUT_DUE_H */
