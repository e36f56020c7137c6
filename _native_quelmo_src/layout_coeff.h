/*
 * layout_coeff.h - the gradient terms of the layout for many pairs at once,
 * bit for bit equal to the per-pair arithmetic of umap_layout_internal.h
 * (vorlix_umap_attractive_coeff, vorlix_umap_repulsive_coeff, the clip).
 *
 * Wherever all pairs of a batch read the same frozen embedding (a sub-step of
 * the threaded optimiser, or placing new points against a fixed one), their
 * coefficients are independent of each other: these kernels evaluate the
 * powers in bulk with a replica of the platform powf (fast_powf.h) where one
 * applies, and the remaining float arithmetic with SIMD where the CPU has
 * AVX2.  Callers add the results into their gradients in their own order,
 * which is what fixes the bits of a layout.
 *
 * Every kernel works in place on arrays of n floats (any n, no alignment).
 */
#ifndef QUELMO_LAYOUT_COEFF_H
#define QUELMO_LAYOUT_COEFF_H

#include <stddef.h>

#include "fast_powf.h"

/* The curve and the kernels for one layout; fill with layout_coeff_init. */
struct layout_coeff {
    float a;
    float b;
    float gamma;
    powf_batch_fn pow; /* powf in bulk, see fast_powf.h */
    int powf_kind;     /* enum powf_kind behind pow */
    int simd;          /* cpu_simd_level(): 0 plain loops, else AVX2 loops (and the
                          widest vector form of the replica, where one is used) */
};

/* Identifies the platform powf (powf_identify) and picks the kernels: call it
 * once per layout, not per batch. */
void layout_coeff_init(layout_coeff *c, float a, float b, float gamma);

/* The same with a given powf kind; POWF_PLATFORM gives the plain powf in
 * scalar loops (the reference the fast kernels are compared with). */
void layout_coeff_init_kind(layout_coeff *c, float a, float b, float gamma, int kind);

/* Two-dimensional pulls: on entry d0[i], d1[i] hold head - tail of pair i;
 * on return clip(d * gc) per coordinate, gc the attractive coefficient of the
 * squared distance d0^2 + d1^2 (0 where that is <= 0). */
void layout_pull2(const layout_coeff *c, float *d0, float *d1, size_t n);

/* Two-dimensional pushes: on entry e0[i], e1[i] hold head - sample; on return
 * clip(gcn * e) per coordinate where the sample moves the head (squared
 * distance > 0 and gcn > 0), and -0.0f where it does not, so that the caller
 * may add every entry: x + -0.0f is x for every x, -0.0f and NaN included. */
void layout_push2(const layout_coeff *c, float *e0, float *e1, size_t n);

/* Any dimension: d2[i] holds a squared distance; on return the attractive
 * coefficient (0 where d2 <= 0). */
void layout_pull(const layout_coeff *c, float *d2, size_t n);

/* Any dimension: d2[i] holds a squared distance; on return the repulsive
 * coefficient where d2 > 0, and 0 where d2 <= 0 (callers move the head only
 * where the result is > 0). */
void layout_push(const layout_coeff *c, float *d2, size_t n);

#endif /* QUELMO_LAYOUT_COEFF_H */
