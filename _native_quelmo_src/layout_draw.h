/*
 * layout_draw.h - the negative samples of several edges at once.
 *
 * Every edge draws its samples from its own taus88 stream (seeded by
 * vorlix_umap_seed_rng of umap_layout_internal.h), so the streams of eight
 * edges can run side by side in the eight 32-bit lanes of a vector.  The
 * values are bit for bit those of vorlix_umap_tau_rand followed by the
 * remainder by the point count, draw after draw.
 */
#ifndef QUELMO_LAYOUT_DRAW_H
#define QUELMO_LAYOUT_DRAW_H

#include <stdint.h>

/* Lanes of layout_draw8. */
#define LAYOUT_DRAW_LANES 8

/* Runs the streams of up to eight edges: lane l starts from the words
 * s0[l], s1[l], s2[l] and draws n_draw values, each the next stream value
 * modulo n_vertices (>= 1), written to out[p * 8 + l] for draw p.  Unused
 * lanes may hold any words (taus88 with zero words draws zeros).  The words
 * are not updated.  simd is cpu_simd_level() of fast_powf.h: AVX2 where it
 * is not 0. */
void layout_draw8(const uint32_t *s0, const uint32_t *s1, const uint32_t *s2, int n_draw,
                  uint32_t n_vertices, uint32_t *out, int simd);

/* The stream words of eight edges in one epoch: lane l gets the words of
 * vorlix_umap_seed_rng(seed, edge[l], epoch, ...), in s0[l], s1[l], s2[l].
 * simd as above; 5 (AVX-512) runs all eight lanes in one vector. */
void layout_seed8(uint64_t seed, const int64_t *edge, int epoch, uint32_t *s0, uint32_t *s1,
                  uint32_t *s2, int simd);

#endif /* QUELMO_LAYOUT_DRAW_H */
