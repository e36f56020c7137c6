/*
 * umap_layout_internal.h - arithmetic shared by the serial and the threaded
 * layout optimisers: the seed mixer, the per-edge taus88 stream, the clip,
 * the squared distance and the two gradient coefficients.
 *
 * Both optimisers must produce the same per-edge arithmetic, so these are the
 * only definitions of it.  Every float expression is evaluated one operation
 * at a time in the order written; the build disables contraction into FMA,
 * and reordering any of these operations changes the last bits of a layout.
 */
#ifndef QUELMO_UMAP_LAYOUT_INTERNAL_H
#define QUELMO_UMAP_LAYOUT_INTERNAL_H

#include <limits.h>
#include <math.h>
#include <stdint.h>

/* SplitMix64 step with x as the state, taken by value: chaining calls (each
 * result fed back in) walks the usual SplitMix64 sequence. */
static inline uint64_t vorlix_umap_splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

/* Seeds the stream of one edge in one epoch.  The products are taken on
 * unsigned 64-bit values (wrapping), so edge + 1 and epoch + 1 never overflow
 * a signed type.  The OR-ed bits keep every word above the taus88 minimum
 * (2, 8 and 16), below which a component would be stuck at zero. */
static inline void vorlix_umap_seed_rng(uint64_t seed, int64_t edge, int epoch, uint32_t s[3]) {
    uint64_t z = seed ^ (((uint64_t)edge + 1u) * 0x9E3779B97F4A7C15ull) ^
                 (((uint64_t)(int64_t)epoch + 1u) * 0xD1B54A32D192ED03ull);
    z = vorlix_umap_splitmix64(z);
    s[0] = (uint32_t)z | 2u;
    z = vorlix_umap_splitmix64(z);
    s[1] = (uint32_t)z | 8u;
    z = vorlix_umap_splitmix64(z);
    s[2] = (uint32_t)z | 16u;
}

/* L'Ecuyer's taus88 on 32-bit words; shifts drop the bits leaving the word. */
static inline uint32_t vorlix_umap_tau_rand(uint32_t s[3]) {
    s[0] = ((s[0] & 0xFFFFFFFEu) << 12) ^ (((s[0] << 13) ^ s[0]) >> 19);
    s[1] = ((s[1] & 0xFFFFFFF8u) << 4) ^ (((s[1] << 2) ^ s[1]) >> 25);
    s[2] = ((s[2] & 0xFFFFFFF0u) << 17) ^ (((s[2] << 3) ^ s[2]) >> 11);
    return s[0] ^ s[1] ^ s[2];
}

/* NaN fails both comparisons and passes through unchanged. */
static inline float vorlix_umap_clip(float v) {
    if (v > 4.0f) return 4.0f;
    if (v < -4.0f) return -4.0f;
    return v;
}

/* Strictly sequential sum in coordinate order. */
static inline float vorlix_umap_rdist(const float *x, const float *y, int dim) {
    float r = 0.0f;
    for (int d = 0; d < dim; ++d) {
        const float diff = x[d] - y[d];
        r = r + diff * diff;
    }
    return r;
}

/* The attractive coefficient once pb1 = powf(d2, b - 1) is known; batched
 * callers (layout_coeff.h) evaluate the powers in bulk. */
static inline float vorlix_umap_attractive_from_pow(float d2, float pb1, float a, float b) {
    const float pb = pb1 * d2;
    const float gc = ((-2.0f * a) * b) * pb1;
    return gc / (a * pb + 1.0f);
}

/* d2 <= 0 would put powf on a pole for b < 1; such a pull is zero.  NaN d2
 * fails the guard and propagates. */
static inline float vorlix_umap_attractive_coeff(float d2, float a, float b) {
    if (d2 <= 0.0f) return 0.0f;
    return vorlix_umap_attractive_from_pow(d2, powf(d2, b - 1.0f), a, b);
}

/* The repulsive coefficient once pb = powf(d2, b) is known.  0.001f is the
 * float constant (0x3A83126F), not a double widened later. */
static inline float vorlix_umap_repulsive_from_pow(float d2, float pb, float a, float b,
                                                   float gamma) {
    const float gc = (2.0f * gamma) * b;
    return gc / ((0.001f + d2) * (a * pb + 1.0f));
}

/* Callers guarantee d2 > 0. */
static inline float vorlix_umap_repulsive_coeff(float d2, float a, float b, float gamma) {
    return vorlix_umap_repulsive_from_pow(d2, powf(d2, b), a, b, gamma);
}

/* ---- helpers shared by both optimisers (not part of the arithmetic) ---- */

/* Negative-sample count: truncation toward zero of ((double)n - eonn) / epn.
 * A tiny epochs_per_sample or a huge negative_sample_rate can push the
 * quotient beyond the int range (or make it NaN), where the bare conversion
 * would be undefined; it saturates there instead (NaN gives 0), and equals
 * (int)v everywhere the conversion is defined. */
static inline int vorlix_umap_negative_count(int n, double eonn, double epn) {
    const double v = ((double)n - eonn) / epn;
    if (!(v == v)) return 0;
    if (v >= (double)INT_MAX) return INT_MAX;
    if (v <= (double)INT_MIN) return INT_MIN;
    return (int)v;
}

/* a % d without a division: Lemire's direct remainder, exact for every
 * 32-bit a and every d >= 1 when m = vorlix_umap_fastmod_magic(d) (for d = 1
 * the magic wraps to 0 and the result is 0, as it must be). */
static inline uint64_t vorlix_umap_fastmod_magic(uint32_t d) {
    return UINT64_MAX / d + 1u;
}

static inline uint32_t vorlix_umap_fastmod(uint32_t a, uint64_t m, uint32_t d) {
    const uint64_t low = m * a;
    return (uint32_t)(((unsigned __int128)low * d) >> 64);
}

#endif /* QUELMO_UMAP_LAYOUT_INTERNAL_H */
