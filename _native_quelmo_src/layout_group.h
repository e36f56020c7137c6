/*
 * layout_group.h - the gradient of a sub-step's due edges eight at a time,
 * in two dimensions, summed into a worker's gradient slice.
 *
 * Within a sub-step the embedding is frozen, so the pulls and pushes of
 * different edges are independent: the eight edges of a group run side by
 * side, one edge per vector lane, from the stream seeds to the coefficient
 * of every sample.  What fixes the bits of a layout is the order in which the
 * terms meet in each coordinate of the slice.  When no two edges of a group
 * share a point other than a head shared by neighbouring lanes, every
 * coordinate the group writes belongs to one lane or to one run of lanes,
 * and adding the terms lane by lane (a run's lanes one after the other) in
 * sample order is that order; otherwise the terms are added one edge after
 * the other, in group order.  Either way the slice holds, bit for bit, what
 * the per-edge loop of the threaded optimiser writes.
 */
#ifndef QUELMO_LAYOUT_GROUP_H
#define QUELMO_LAYOUT_GROUP_H

#include <stdint.h>

#include "layout_coeff.h"
#include "layout_due.h"

/* What the groups of one worker share during a sub-step. */
struct layout_group_ctx {
    const layout_coeff *coeff;
    const float *emb;       /* the frozen embedding, n_vertices rows of two floats */
    float *g;               /* the worker's gradient slice, the same shape */
    uint32_t n_vertices;    /* >= 1 */
    double inv_n_low;       /* the double below the nearest to 1 / n_vertices */
    uint64_t seed;
};

/* Whether layout_group_block serves this layout: two dimensions, the FMA
 * replica of powf on the main path for both exponents (b - 1 and b), and a
 * CPU with AVX-512 (F, VL, DQ, CD, BW).  Elsewhere the worker's chunked
 * path runs. */
bool layout_group_ready(const layout_coeff *c, int dim);

/* Fills the fields that follow from the others (inv_n_low). */
void layout_group_ctx_init(layout_group_ctx *ctx);

/* Adds the pulls and pushes of the n_due due edges of a block (listed by
 * layout_due_scan, in the order of the per-edge loop) into the slice: edge u
 * joins due->head[u] and due->tail[u], is edge number
 * edge_lo + S * due->at[u] of the caller's list and draws due->n_neg[u]
 * samples (none where <= 0) in epoch n.  Only where layout_group_ready. */
void layout_group_block(const layout_group_ctx *ctx, int n, const layout_due_list *due,
                        int n_due, int64_t edge_lo, int64_t S);

#endif /* QUELMO_LAYOUT_GROUP_H */
