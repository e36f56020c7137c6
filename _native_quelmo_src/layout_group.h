/*
 * layout_group.h - the gradient of eight due edges of a sub-step at once, in
 * two dimensions, summed into a worker's gradient slice.
 *
 * Within a sub-step the embedding is frozen, so the pulls and pushes of
 * different edges are independent: the eight edges of a group run side by
 * side, one edge per vector lane, from the stream words to the coefficient
 * of every sample.  What fixes the bits of a layout is the order in which the
 * terms meet in each coordinate of the slice.  When the group's heads and
 * tails are sixteen different points, every coordinate it touches belongs to
 * one lane, and adding the terms lane by lane in sample order is that order;
 * otherwise the terms are added one edge after the other, in group order.
 * Either way the slice holds, bit for bit, what the per-edge loop of the
 * threaded optimiser writes.
 */
#ifndef QUELMO_LAYOUT_GROUP_H
#define QUELMO_LAYOUT_GROUP_H

#include <stdint.h>

#include "layout_coeff.h"
#include "layout_draw.h"

/* Largest sample count of a group that layout_group_dim2 takes (the terms of
 * a group with a shared point wait in a buffer of this many draws). */
#define LAYOUT_GROUP_MOST_SAMPLES 32

/* Up to eight due edges in the order of the per-edge loop. */
struct layout_group {
    int n_edges;                         /* 1 .. 8 */
    int most;                            /* largest n_neg; at most LAYOUT_GROUP_MOST_SAMPLES */
    int32_t head[LAYOUT_DRAW_LANES];
    int32_t tail[LAYOUT_DRAW_LANES];
    int32_t n_neg[LAYOUT_DRAW_LANES];    /* samples of the edge; <= 0: none */
    uint32_t s0[LAYOUT_DRAW_LANES];      /* its taus88 stream words, seeded */
    uint32_t s1[LAYOUT_DRAW_LANES];      /* by vorlix_umap_seed_rng (any */
    uint32_t s2[LAYOUT_DRAW_LANES];      /* words where n_neg <= 0) */
};

/* Whether layout_group_dim2 serves this layout: two dimensions, the FMA
 * replica of powf on the main path for both exponents (b - 1 and b), and a
 * CPU with AVX-512 (F, VL, DQ, CD, BW).  Elsewhere the worker's chunked
 * path runs. */
bool layout_group_ready(const layout_coeff *c, int dim);

/* Adds the group's pulls and pushes into the slice g (n_vertices rows of two
 * floats), reading the frozen embedding emb.  Only where layout_group_ready. */
void layout_group_dim2(const layout_coeff *c, const float *emb, float *g, uint32_t n_vertices,
                       const layout_group *grp);

#endif /* QUELMO_LAYOUT_GROUP_H */
