// Distance kernels of the neighbour query.
//
// The squared Euclidean distance keeps the accumulation order of the fit's
// neighbour search: two 4-lane accumulators fed by fused multiply-adds over
// 8-blocks, a 4-block into the first, the reduction (A1 + A0), then
// (S0 + S1) + (S2 + S3), and an unfused scalar tail.  The search's own kernel
// is private to its unit, so the order is written out again here; it must
// stay the same so that a query of a training point's values meets its
// neighbours at the very distances the fit computed (the same bandwidths,
// the same ties).  The portable form below defines the order; the AVX2 form
// realises it with one 8-lane register holding A0 (low half) and A1 (high
// half), so both give the same bits.

#include "query_distance.h"

#include <cmath>

#if !defined(QUELMO_EXT_NO_SIMD) && (defined(__x86_64__) || defined(__i386__))
#define QUELMO_EXT_X86 1
#include <immintrin.h>
#endif

namespace {

float sqeuclidean_portable(const float *a, const float *b, int d) {
    float A0[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    float A1[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        for (int l = 0; l < 4; ++l) {
            const float x = a[t + l] - b[t + l];
            A0[l] = std::fma(x, x, A0[l]);
            const float y = a[t + 4 + l] - b[t + 4 + l];
            A1[l] = std::fma(y, y, A1[l]);
        }
    }
    for (; t + 4 <= d; t += 4) {
        for (int l = 0; l < 4; ++l) {
            const float x = a[t + l] - b[t + l];
            A0[l] = std::fma(x, x, A0[l]);
        }
    }
    float S[4];
    for (int l = 0; l < 4; ++l) S[l] = A1[l] + A0[l];
    float s = (S[0] + S[1]) + (S[2] + S[3]);
    for (; t < d; ++t) {
        const float x = a[t] - b[t];
        const float p = x * x;
        s = s + p;
    }
    return s;
}

void sqeuclidean_many_portable(const float *q, const float *const *rows, int count, int d,
                               float *out) {
    for (int j = 0; j < count; ++j) out[j] = sqeuclidean_portable(q, rows[j], d);
}

// Without a vector unit the bytes bring nothing: the float kernel, whose
// bits the byte form has by construction.
void sqeuclidean_bytes_portable(const float *q, const uint8_t *, const float *const *rows,
                                const uint8_t *const *, int count, int d, float *out) {
    sqeuclidean_many_portable(q, rows, count, d, out);
}

#if defined(QUELMO_EXT_X86)

__attribute__((target("avx2,fma"))) inline float finish_avx2(__m256 acc, __m128 a0,
                                                             const float *a, const float *b,
                                                             int t, int d) {
    const __m128 s4 = _mm_add_ps(_mm256_extractf128_ps(acc, 1), a0);
    // Lanes 0 and 2 of h are S0 + S1 and S2 + S3.
    const __m128 h = _mm_add_ps(s4, _mm_movehdup_ps(s4));
    float s = _mm_cvtss_f32(_mm_add_ss(h, _mm_movehl_ps(h, h)));
    for (; t < d; ++t) {
        const float x = a[t] - b[t];
        const float p = x * x;
        s = s + p;
    }
    return s;
}

__attribute__((target("avx2,fma"))) float sqeuclidean_avx2(const float *a, const float *b,
                                                           int d) {
    __m256 acc = _mm256_setzero_ps();
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        const __m256 e = _mm256_sub_ps(_mm256_loadu_ps(a + t), _mm256_loadu_ps(b + t));
        acc = _mm256_fmadd_ps(e, e, acc);
    }
    __m128 low = _mm256_castps256_ps128(acc);
    if (t + 4 <= d) {
        const __m128 e = _mm_sub_ps(_mm_loadu_ps(a + t), _mm_loadu_ps(b + t));
        low = _mm_fmadd_ps(e, e, low);
        t += 4;
    }
    return finish_avx2(acc, low, a, b, t, d);
}

// Four rows at once: one dependent chain of fused steps is bound by their
// latency, four independent ones are not.  Each row keeps its own
// accumulators, so its value is that of sqeuclidean_avx2.
__attribute__((target("avx2,fma"))) void sqeuclidean_four_avx2(const float *q,
                                                               const float *const *r, int d,
                                                               float *out) {
    __m256 c0 = _mm256_setzero_ps(), c1 = _mm256_setzero_ps();
    __m256 c2 = _mm256_setzero_ps(), c3 = _mm256_setzero_ps();
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        const __m256 x = _mm256_loadu_ps(q + t);
        const __m256 e0 = _mm256_sub_ps(x, _mm256_loadu_ps(r[0] + t));
        const __m256 e1 = _mm256_sub_ps(x, _mm256_loadu_ps(r[1] + t));
        const __m256 e2 = _mm256_sub_ps(x, _mm256_loadu_ps(r[2] + t));
        const __m256 e3 = _mm256_sub_ps(x, _mm256_loadu_ps(r[3] + t));
        c0 = _mm256_fmadd_ps(e0, e0, c0);
        c1 = _mm256_fmadd_ps(e1, e1, c1);
        c2 = _mm256_fmadd_ps(e2, e2, c2);
        c3 = _mm256_fmadd_ps(e3, e3, c3);
    }
    __m128 l0 = _mm256_castps256_ps128(c0), l1 = _mm256_castps256_ps128(c1);
    __m128 l2 = _mm256_castps256_ps128(c2), l3 = _mm256_castps256_ps128(c3);
    if (t + 4 <= d) {
        const __m128 x = _mm_loadu_ps(q + t);
        const __m128 e0 = _mm_sub_ps(x, _mm_loadu_ps(r[0] + t));
        const __m128 e1 = _mm_sub_ps(x, _mm_loadu_ps(r[1] + t));
        const __m128 e2 = _mm_sub_ps(x, _mm_loadu_ps(r[2] + t));
        const __m128 e3 = _mm_sub_ps(x, _mm_loadu_ps(r[3] + t));
        l0 = _mm_fmadd_ps(e0, e0, l0);
        l1 = _mm_fmadd_ps(e1, e1, l1);
        l2 = _mm_fmadd_ps(e2, e2, l2);
        l3 = _mm_fmadd_ps(e3, e3, l3);
        t += 4;
    }
    out[0] = finish_avx2(c0, l0, q, r[0], t, d);
    out[1] = finish_avx2(c1, l1, q, r[1], t, d);
    out[2] = finish_avx2(c2, l2, q, r[2], t, d);
    out[3] = finish_avx2(c3, l3, q, r[3], t, d);
}

// A remainder of one to three rows is padded to four with copies of its
// first row: one four-row pass costs less than three one-row chains.
__attribute__((target("avx2,fma"))) void sqeuclidean_many_avx2(const float *q,
                                                               const float *const *rows,
                                                               int count, int d, float *out) {
    int j = 0;
    for (; j + 4 <= count; j += 4) sqeuclidean_four_avx2(q, rows + j, d, out + j);
    if (j == count) return;
    const float *pad[4];
    float val[4];
    for (int r = 0; r < 4; ++r) pad[r] = rows[j + (j + r < count ? r : 0)];
    sqeuclidean_four_avx2(q, pad, d, val);
    for (int r = 0; j + r < count; ++r) out[j + r] = val[r];
}

// Four rows in bytes.  A pair chunk widened to 16-bit lanes feeds one
// multiply-add of adjacent lanes whose 32-bit lane p sums the squares of
// element p of both blocks: lanes 0-3 belong to A0, lanes 4-7 to A1, as in
// the float register.  Every lane stays an integer below 2^24
// (EXT_BYTES_MAX_BLOCKS), so converting it to float is exact and equals the
// float accumulator; the 4-block, the reduction and the tail then run in
// float exactly as in the float kernel.
__attribute__((target("avx2,fma"))) void sqeuclidean_four_bytes_avx2(
    const float *q, const uint8_t *qb, const float *const *r, const uint8_t *const *rb, int d,
    float *out) {
    const int npair = (d / 8 + 1) / 2;
    __m256i c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
    __m256i c2 = _mm256_setzero_si256(), c3 = _mm256_setzero_si256();
    for (int p = 0; p < npair; ++p) {
        const int64_t o = 16 * (int64_t)p;
        const __m256i x = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(qb + o)));
        const __m256i e0 = _mm256_sub_epi16(
            x, _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(rb[0] + o))));
        const __m256i e1 = _mm256_sub_epi16(
            x, _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(rb[1] + o))));
        const __m256i e2 = _mm256_sub_epi16(
            x, _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(rb[2] + o))));
        const __m256i e3 = _mm256_sub_epi16(
            x, _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(rb[3] + o))));
        c0 = _mm256_add_epi32(c0, _mm256_madd_epi16(e0, e0));
        c1 = _mm256_add_epi32(c1, _mm256_madd_epi16(e1, e1));
        c2 = _mm256_add_epi32(c2, _mm256_madd_epi16(e2, e2));
        c3 = _mm256_add_epi32(c3, _mm256_madd_epi16(e3, e3));
    }
    const __m256 f0 = _mm256_cvtepi32_ps(c0), f1 = _mm256_cvtepi32_ps(c1);
    const __m256 f2 = _mm256_cvtepi32_ps(c2), f3 = _mm256_cvtepi32_ps(c3);
    __m128 l0 = _mm256_castps256_ps128(f0), l1 = _mm256_castps256_ps128(f1);
    __m128 l2 = _mm256_castps256_ps128(f2), l3 = _mm256_castps256_ps128(f3);
    int t = 8 * (d / 8);
    if (t + 4 <= d) {
        const __m128 xq = _mm_loadu_ps(q + t);
        const __m128 e0 = _mm_sub_ps(xq, _mm_loadu_ps(r[0] + t));
        const __m128 e1 = _mm_sub_ps(xq, _mm_loadu_ps(r[1] + t));
        const __m128 e2 = _mm_sub_ps(xq, _mm_loadu_ps(r[2] + t));
        const __m128 e3 = _mm_sub_ps(xq, _mm_loadu_ps(r[3] + t));
        l0 = _mm_fmadd_ps(e0, e0, l0);
        l1 = _mm_fmadd_ps(e1, e1, l1);
        l2 = _mm_fmadd_ps(e2, e2, l2);
        l3 = _mm_fmadd_ps(e3, e3, l3);
        t += 4;
    }
    out[0] = finish_avx2(f0, l0, q, r[0], t, d);
    out[1] = finish_avx2(f1, l1, q, r[1], t, d);
    out[2] = finish_avx2(f2, l2, q, r[2], t, d);
    out[3] = finish_avx2(f3, l3, q, r[3], t, d);
}

__attribute__((target("avx2,fma"))) void sqeuclidean_bytes_avx2(
    const float *q, const uint8_t *qb, const float *const *rows, const uint8_t *const *brows,
    int count, int d, float *out) {
    int j = 0;
    for (; j + 4 <= count; j += 4)
        sqeuclidean_four_bytes_avx2(q, qb, rows + j, brows + j, d, out + j);
    if (j == count) return;
    const float *pad[4];
    const uint8_t *bpad[4];
    float val[4];
    for (int r = 0; r < 4; ++r) {
        const int src = j + (j + r < count ? r : 0);
        pad[r] = rows[src];
        bpad[r] = brows[src];
    }
    sqeuclidean_four_bytes_avx2(q, qb, pad, bpad, d, val);
    for (int r = 0; j + r < count; ++r) out[j + r] = val[r];
}

#endif

}  // namespace

int64_t ext_bytes_stride(int d) {
    const int blocks = d / 8;
    if (d < 1 || blocks > EXT_BYTES_MAX_BLOCKS) return 0;
    return 16 * (int64_t)((blocks + 1) / 2);
}

int ext_bytes_eligible(const float *x, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        const float v = x[i];
        if (!(v >= 0.0f && v <= 255.0f) || v != (float)(int)v || std::signbit(v)) return 0;
    }
    return 1;
}

void ext_bytes_pack(const float *x, int d, uint8_t *out) {
    const int blocks = d / 8;
    const int npair = (blocks + 1) / 2;
    for (int p = 0; p < npair; ++p) {
        for (int e = 0; e < 8; ++e) {
            const int b = 2 * p, c = 2 * p + 1;
            out[16 * p + 2 * e] = (uint8_t)x[8 * b + e];
            out[16 * p + 2 * e + 1] = c < blocks ? (uint8_t)x[8 * c + e] : 0;
        }
    }
}

int ext_distance_select(int metric, ext_distance *out) {
    if (metric != EXT_METRIC_SQEUCLIDEAN) return -1;
    out->one = sqeuclidean_portable;
    out->many = sqeuclidean_many_portable;
    out->many_bytes = sqeuclidean_bytes_portable;
#if defined(QUELMO_EXT_X86)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        out->one = sqeuclidean_avx2;
        out->many = sqeuclidean_many_avx2;
        out->many_bytes = sqeuclidean_bytes_avx2;
    }
#endif
    return 0;
}
