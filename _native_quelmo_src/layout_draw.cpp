// Negative samples of eight edges at once (layout_draw.h).
//
// The streams run in the lanes of a vector (layout_lanes.h), the remainder by
// the point count in double precision; the seeds' SplitMix64 steps need
// 64-bit products, which AVX-512 has and AVX2 composes from 32-bit ones.

#include "layout_draw.h"

#include "layout_lanes.h"
#include "umap_layout_internal.h"

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

void seed8_scalar(uint64_t seed, const int64_t *edge, int epoch, uint32_t *s0, uint32_t *s1,
                  uint32_t *s2) {
    for (int l = 0; l < LAYOUT_DRAW_LANES; ++l) {
        uint32_t words[3];
        vorlix_umap_seed_rng(seed, edge[l], epoch, words);
        s0[l] = words[0];
        s1[l] = words[1];
        s2[l] = words[2];
    }
}

#if defined(__x86_64__)

QUELMO_LANES_AVX2 void draw8_avx2(const uint32_t *s0, const uint32_t *s1, const uint32_t *s2,
                                  int n_draw, uint32_t n_vertices, uint32_t *out) {
    __m256i a = _mm256_loadu_si256((const __m256i *)s0);
    __m256i b = _mm256_loadu_si256((const __m256i *)s1);
    __m256i c = _mm256_loadu_si256((const __m256i *)s2);
    const __m256d n = _mm256_set1_pd((double)n_vertices);
    const __m256d inv_n = _mm256_set1_pd(1.0 / (double)n_vertices);
    for (int p = 0; p < n_draw; ++p) {
        const __m256i r = lanes_taus88(&a, &b, &c);
        _mm256_storeu_si256((__m256i *)(out + p * LAYOUT_DRAW_LANES),
                            lanes_mod8_avx2(r, n, inv_n));
    }
}

// The low 64 bits of a * b per lane from 32-bit products:
// lo(a) lo(b) + ((hi(a) lo(b) + lo(a) hi(b)) << 32), all modulo 2^64.
QUELMO_LANES_AVX2 inline __m256i mul64_avx2(__m256i a, __m256i b) {
    const __m256i low = _mm256_mul_epu32(a, b);
    const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), b),
                                           _mm256_mul_epu32(a, _mm256_srli_epi64(b, 32)));
    return _mm256_add_epi64(low, _mm256_slli_epi64(cross, 32));
}

QUELMO_LANES_AVX2 inline __m256i splitmix4_avx2(__m256i x) {
    x = _mm256_add_epi64(x, _mm256_set1_epi64x((long long)0x9E3779B97F4A7C15ull));
    x = mul64_avx2(_mm256_xor_si256(x, _mm256_srli_epi64(x, 30)),
                   _mm256_set1_epi64x((long long)0xBF58476D1CE4E5B9ull));
    x = mul64_avx2(_mm256_xor_si256(x, _mm256_srli_epi64(x, 27)),
                   _mm256_set1_epi64x((long long)0x94D049BB133111EBull));
    return _mm256_xor_si256(x, _mm256_srli_epi64(x, 31));
}

// Low 32 bits of four 64-bit lanes, OR-ed with a floor, into out[0..3].
QUELMO_LANES_AVX2 inline void low_words4(__m256i z, uint32_t floor_bits, uint32_t *out) {
    const __m256i packed = _mm256_permutevar8x32_epi32(z, _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0));
    _mm_storeu_si128((__m128i *)out, _mm_or_si128(_mm256_castsi256_si128(packed),
                                                  _mm_set1_epi32((int)floor_bits)));
}

QUELMO_LANES_AVX2 void seed8_avx2(uint64_t seed, const int64_t *edge, int epoch, uint32_t *s0,
                                  uint32_t *s1, uint32_t *s2) {
    const uint64_t mix_epoch = ((uint64_t)(int64_t)epoch + 1u) * 0xD1B54A32D192ED03ull;
    const __m256i base = _mm256_set1_epi64x((long long)(seed ^ mix_epoch));
    for (int h = 0; h < LAYOUT_DRAW_LANES; h += 4) {
        const __m256i e = _mm256_add_epi64(_mm256_loadu_si256((const __m256i *)(edge + h)),
                                           _mm256_set1_epi64x(1));
        __m256i z = _mm256_xor_si256(
            base, mul64_avx2(e, _mm256_set1_epi64x((long long)0x9E3779B97F4A7C15ull)));
        z = splitmix4_avx2(z);
        low_words4(z, 2u, s0 + h);
        z = splitmix4_avx2(z);
        low_words4(z, 8u, s1 + h);
        z = splitmix4_avx2(z);
        low_words4(z, 16u, s2 + h);
    }
}

QUELMO_LANES_AVX512 void seed8_avx512(uint64_t seed, const int64_t *edge, int epoch,
                                      uint32_t *s0, uint32_t *s1, uint32_t *s2) {
    const uint64_t mix = seed ^ (((uint64_t)(int64_t)epoch + 1u) * 0xD1B54A32D192ED03ull);
    __m256i w0, w1, w2;
    lanes_seed8(mix, _mm512_loadu_si512(edge), &w0, &w1, &w2);
    _mm256_storeu_si256((__m256i *)s0, w0);
    _mm256_storeu_si256((__m256i *)s1, w1);
    _mm256_storeu_si256((__m256i *)s2, w2);
}

#endif

}  // namespace

void layout_draw8(const uint32_t *s0, const uint32_t *s1, const uint32_t *s2, int n_draw,
                  uint32_t n_vertices, uint32_t *out, int simd) {
#if defined(__x86_64__)
    if (simd != 0) return draw8_avx2(s0, s1, s2, n_draw, n_vertices, out);
#endif
    draw8_scalar(s0, s1, s2, n_draw, n_vertices, out);
}

void layout_seed8(uint64_t seed, const int64_t *edge, int epoch, uint32_t *s0, uint32_t *s1,
                  uint32_t *s2, int simd) {
#if defined(__x86_64__)
    if (simd >= 5) return seed8_avx512(seed, edge, epoch, s0, s1, s2);
    if (simd != 0) return seed8_avx2(seed, edge, epoch, s0, s1, s2);
#endif
    seed8_scalar(seed, edge, epoch, s0, s1, s2);
}
