/*
 * layout_lanes.h - the per-pair arithmetic of the layout in vector lanes,
 * shared by the bulk kernels (layout_coeff, layout_draw, layout_group).
 *
 * Every lane performs the operations of the per-pair code of
 * umap_layout_internal.h in its order (IEEE float operations give the same
 * bits in any lane, and the build's -ffp-contract=off keeps products and sums
 * apart); the guards become selects after the fact, and min/max keep the
 * clip's NaN and signed-zero behaviour: min(4, v) is v unless 4 < v,
 * max(-4, r) is r unless -4 > r.
 */
#ifndef QUELMO_LAYOUT_LANES_H
#define QUELMO_LAYOUT_LANES_H

#include <stdint.h>

#if defined(__x86_64__)
/* GCC 12 warns inside the AVX-512 intrinsics themselves (their
 * _mm512_undefined_* placeholders, its bug 105593); the warnings are
 * silenced for the header only. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#define QUELMO_LANES_AVX2 __attribute__((target("avx2,fma")))
#define QUELMO_LANES_AVX512 \
    __attribute__((target("avx512f,avx512vl,avx512dq,avx512cd,avx512bw,avx2,fma")))

QUELMO_LANES_AVX2 static inline __m256 lanes_clip8(__m256 v) {
    return _mm256_max_ps(_mm256_set1_ps(-4.0f), _mm256_min_ps(_mm256_set1_ps(4.0f), v));
}

QUELMO_LANES_AVX2 static inline __m256 lanes_le_zero8(__m256 v) {
    return _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_LE_OQ);
}

/* ((-2a) b) pb1 / (a (pb1 d2) + 1), the attractive coefficient per lane;
 * k = (-2a) b. */
QUELMO_LANES_AVX2 static inline __m256 lanes_attract8(__m256 d2, __m256 pb1, __m256 a,
                                                      __m256 k) {
    const __m256 pb = _mm256_mul_ps(pb1, d2);
    const __m256 gc = _mm256_mul_ps(k, pb1);
    return _mm256_div_ps(gc, _mm256_add_ps(_mm256_mul_ps(a, pb), _mm256_set1_ps(1.0f)));
}

/* ((2 gamma) b) / ((0.001 + d2) (a pb + 1)), the repulsive coefficient;
 * k = (2 gamma) b. */
QUELMO_LANES_AVX2 static inline __m256 lanes_repulse8(__m256 d2, __m256 pb, __m256 a,
                                                      __m256 k) {
    const __m256 den = _mm256_mul_ps(_mm256_add_ps(_mm256_set1_ps(0.001f), d2),
                                     _mm256_add_ps(_mm256_mul_ps(a, pb), _mm256_set1_ps(1.0f)));
    return _mm256_div_ps(k, den);
}

/* One taus88 component on eight streams:
 * ((s & mask) << a) ^ (((s << b) ^ s) >> c). */
QUELMO_LANES_AVX2 static inline __m256i lanes_taus_step(__m256i s, int mask, int a, int b,
                                                        int c) {
    const __m256i t = _mm256_srli_epi32(_mm256_xor_si256(_mm256_slli_epi32(s, b), s), c);
    return _mm256_xor_si256(_mm256_slli_epi32(_mm256_and_si256(s, _mm256_set1_epi32(mask)), a),
                            t);
}

/* The next value of eight taus88 streams (vorlix_umap_tau_rand per lane). */
QUELMO_LANES_AVX2 static inline __m256i lanes_taus88(__m256i *s0, __m256i *s1, __m256i *s2) {
    *s0 = lanes_taus_step(*s0, (int)0xFFFFFFFEu, 12, 13, 19);
    *s1 = lanes_taus_step(*s1, (int)0xFFFFFFF8u, 4, 2, 25);
    *s2 = lanes_taus_step(*s2, (int)0xFFFFFFF0u, 17, 3, 11);
    return _mm256_xor_si256(_mm256_xor_si256(*s0, *s1), *s2);
}

/*
 * r mod n of unsigned 32-bit r, formed in double precision:
 * q = floor(r * (1/n)) is the true quotient or off by one (the product's
 * relative error is below 2^-52 and the quotient below 2^32, so it lies
 * within 2^-20 of r / n), r - q * n is exact (every term an integer below
 * 2^53) and lies in [-n, 2n), and one correction each way makes it the
 * remainder.  The result equals vorlix_umap_fastmod's for every r and n >= 1.
 */

/* Four lanes, r given as doubles. */
QUELMO_LANES_AVX2 static inline __m128i lanes_mod4(__m256d r, __m256d n, __m256d inv_n) {
    const __m256d q = _mm256_floor_pd(_mm256_mul_pd(r, inv_n));
    __m256d t = _mm256_sub_pd(r, _mm256_mul_pd(q, n));
    t = _mm256_add_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, _mm256_setzero_pd(), _CMP_LT_OQ), n));
    t = _mm256_sub_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, n, _CMP_GE_OQ), n));
    return _mm256_cvttpd_epi32(t);
}

/* Unsigned 32-bit lanes to doubles: flip the sign bit, convert as signed,
 * add 2^31 back (exact). */
QUELMO_LANES_AVX2 static inline __m256d lanes_u32_to_pd(__m128i v) {
    const __m128i flipped = _mm_xor_si128(v, _mm_set1_epi32(INT32_MIN));
    return _mm256_add_pd(_mm256_cvtepi32_pd(flipped), _mm256_set1_pd(2147483648.0));
}

/* Eight lanes in AVX2. */
QUELMO_LANES_AVX2 static inline __m256i lanes_mod8_avx2(__m256i r, __m256d n, __m256d inv_n) {
    const __m128i lo = lanes_mod4(lanes_u32_to_pd(_mm256_castsi256_si128(r)), n, inv_n);
    const __m128i hi = lanes_mod4(lanes_u32_to_pd(_mm256_extracti128_si256(r, 1)), n, inv_n);
    return _mm256_set_m128i(hi, lo);
}

/*
 * Eight lanes in AVX-512, with a quotient that is never too large: with
 * inv_n_low = the double below the nearest to 1/n (so inv_n_low <= 1/n and
 * inv_n_low >= (1/n)(1 - 2^-51)), the product r * inv_n_low rounded toward
 * zero is at most r / n and short of it by less than 2^32 * 2^-50, so its
 * integer part q is floor(r / n) or one less.  Then q n <= r < 2^32, so the
 * 32-bit lanes give t = r - q n exactly, in [0, 2n) with 2n < 2^32, and
 * min(t, t - n) unsigned is the remainder (t - n wraps above t when t < n).
 */
QUELMO_LANES_AVX512 static inline __m256i lanes_mod8(__m256i r, __m256i n, __m512d inv_n_low) {
    const __m512d prod = _mm512_mul_round_pd(_mm512_cvtepu32_pd(r), inv_n_low,
                                             _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256i q = _mm512_cvttpd_epu32(prod);
    const __m256i t = _mm256_sub_epi32(r, _mm256_mullo_epi32(q, n));
    return _mm256_min_epu32(t, _mm256_sub_epi32(t, n));
}

/* One SplitMix64 step (vorlix_umap_splitmix64) on eight 64-bit lanes. */
QUELMO_LANES_AVX512 static inline __m512i lanes_splitmix8(__m512i x) {
    x = _mm512_add_epi64(x, _mm512_set1_epi64((long long)0x9E3779B97F4A7C15ull));
    x = _mm512_mullo_epi64(_mm512_xor_si512(x, _mm512_srli_epi64(x, 30)),
                           _mm512_set1_epi64((long long)0xBF58476D1CE4E5B9ull));
    x = _mm512_mullo_epi64(_mm512_xor_si512(x, _mm512_srli_epi64(x, 27)),
                           _mm512_set1_epi64((long long)0x94D049BB133111EBull));
    return _mm512_xor_si512(x, _mm512_srli_epi64(x, 31));
}

/* The stream words of eight edges (vorlix_umap_seed_rng per lane), from
 * mix = seed ^ ((epoch + 1) * 0xD1B54A32D192ED03) and the edge indices. */
QUELMO_LANES_AVX512 static inline void lanes_seed8(uint64_t mix, __m512i edge, __m256i *s0,
                                                   __m256i *s1, __m256i *s2) {
    const __m512i e = _mm512_add_epi64(edge, _mm512_set1_epi64(1));
    __m512i z = _mm512_xor_si512(
        _mm512_set1_epi64((long long)mix),
        _mm512_mullo_epi64(e, _mm512_set1_epi64((long long)0x9E3779B97F4A7C15ull)));
    z = lanes_splitmix8(z);
    *s0 = _mm256_or_si256(_mm512_cvtepi64_epi32(z), _mm256_set1_epi32(2));
    z = lanes_splitmix8(z);
    *s1 = _mm256_or_si256(_mm512_cvtepi64_epi32(z), _mm256_set1_epi32(8));
    z = lanes_splitmix8(z);
    *s2 = _mm256_or_si256(_mm512_cvtepi64_epi32(z), _mm256_set1_epi32(16));
}

#endif /* __x86_64__ */

#endif /* QUELMO_LAYOUT_LANES_H */
