// Negative samples of eight edges at once (layout_draw.h).
//
// The remainder r mod n of a 32-bit stream value is formed in double
// precision: q = floor(r * (1/n)) is the true quotient or off by one (the
// product's relative error is below 2^-52 and the quotient below 2^32, so it
// lies within 2^-20 of r / n), r - q * n is exact (every term an integer
// below 2^53) and lies in [-n, 2n), and one correction each way makes it the
// remainder.  The result equals vorlix_umap_fastmod's for every r and n.

#include "layout_draw.h"

#include "umap_layout_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

void draw8_scalar(const uint32_t *s0, const uint32_t *s1, const uint32_t *s2, int n_draw,
                  uint32_t n_vertices, uint32_t *out) {
    const uint64_t magic = vorlix_umap_fastmod_magic(n_vertices);
    for (int l = 0; l < LAYOUT_DRAW_LANES; ++l) {
        uint32_t s[3] = {s0[l], s1[l], s2[l]};
        for (int p = 0; p < n_draw; ++p)
            out[p * LAYOUT_DRAW_LANES + l] =
                vorlix_umap_fastmod(vorlix_umap_tau_rand(s), magic, n_vertices);
    }
}

#if defined(__x86_64__)
#define QUELMO_AVX2 __attribute__((target("avx2,fma")))

// One taus88 component: ((s & mask) << a) ^ (((s << b) ^ s) >> c).
QUELMO_AVX2 inline __m256i taus_step(__m256i s, int mask, int a, int b, int c) {
    const __m256i t = _mm256_srli_epi32(_mm256_xor_si256(_mm256_slli_epi32(s, b), s), c);
    return _mm256_xor_si256(_mm256_slli_epi32(_mm256_and_si256(s, _mm256_set1_epi32(mask)), a), t);
}

// r mod n for four unsigned 32-bit r (as doubles), see the top of the file.
QUELMO_AVX2 inline __m128i mod4(__m256d r, __m256d n, __m256d inv_n) {
    const __m256d q = _mm256_floor_pd(_mm256_mul_pd(r, inv_n));
    __m256d t = _mm256_sub_pd(r, _mm256_mul_pd(q, n));
    t = _mm256_add_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, _mm256_setzero_pd(), _CMP_LT_OQ), n));
    t = _mm256_sub_pd(t, _mm256_and_pd(_mm256_cmp_pd(t, n, _CMP_GE_OQ), n));
    return _mm256_cvttpd_epi32(t);
}

// Unsigned 32-bit lanes to doubles: flip the sign bit, convert as signed,
// add 2^31 back (exact).
QUELMO_AVX2 inline __m256d u32_to_pd(__m128i v) {
    const __m128i flipped = _mm_xor_si128(v, _mm_set1_epi32(INT32_MIN));
    return _mm256_add_pd(_mm256_cvtepi32_pd(flipped), _mm256_set1_pd(2147483648.0));
}

QUELMO_AVX2 void draw8_avx2(const uint32_t *s0, const uint32_t *s1, const uint32_t *s2, int n_draw,
                            uint32_t n_vertices, uint32_t *out) {
    __m256i a = _mm256_loadu_si256((const __m256i *)s0);
    __m256i b = _mm256_loadu_si256((const __m256i *)s1);
    __m256i c = _mm256_loadu_si256((const __m256i *)s2);
    const __m256d n = _mm256_set1_pd((double)n_vertices);
    const __m256d inv_n = _mm256_set1_pd(1.0 / (double)n_vertices);
    for (int p = 0; p < n_draw; ++p) {
        a = taus_step(a, (int)0xFFFFFFFEu, 12, 13, 19);
        b = taus_step(b, (int)0xFFFFFFF8u, 4, 2, 25);
        c = taus_step(c, (int)0xFFFFFFF0u, 17, 3, 11);
        const __m256i r = _mm256_xor_si256(_mm256_xor_si256(a, b), c);
        const __m128i lo = mod4(u32_to_pd(_mm256_castsi256_si128(r)), n, inv_n);
        const __m128i hi = mod4(u32_to_pd(_mm256_extracti128_si256(r, 1)), n, inv_n);
        _mm256_storeu_si256((__m256i *)(out + p * LAYOUT_DRAW_LANES),
                            _mm256_set_m128i(hi, lo));
    }
}
#undef QUELMO_AVX2
#endif

}  // namespace

void layout_draw8(const uint32_t *s0, const uint32_t *s1, const uint32_t *s2, int n_draw,
                  uint32_t n_vertices, uint32_t *out, int simd) {
#if defined(__x86_64__)
    if (simd != 0) return draw8_avx2(s0, s1, s2, n_draw, n_vertices, out);
#endif
    draw8_scalar(s0, s1, s2, n_draw, n_vertices, out);
}
