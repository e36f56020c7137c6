// AVX-512 kNN distance kernels.  Twice the lanes of the AVX2 kernels, with
// every distance's accumulation order unchanged:
//  - float rows: a 16-lane register holds the A0 | A1 lanes of two rows, fed
//    an 8-block of each row against the query's 8-block in both halves, so
//    each half advances exactly as the AVX2 register of its row does;
//  - byte rows, in the quad layout of rows_view: a distance takes two chunks
//    a step, one in each half, by multiply-adds of four bytes (VNNI), and
//    the halves are added at the end; a projection one chunk a step, in
//    16 bits.  Integer sums are exact, so their order and form are free (see
//    rows_view): each lane comes out as the same integer as in the AVX2
//    kernels.
// The 4-block, the reduction and the scalar tail are those of knn_lanes.h.

#include "knn_avx512.h"

#include <cstring>

#if defined(QUELMO_KNN_X86)

#define QK512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512vnni,avx2,fma")))

namespace quelmo_knn {
namespace {

// ---------------------------------------------------------------------------
// Float rows

// Row r0's 8-block in the low half, r1's in the high half.
QK512 inline __m512 pair_rows(const float *r0, const float *r1) {
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(r0)), _mm256_loadu_ps(r1),
                              1);
}

// The query's 8-block in both halves.
QK512 inline __m512 both_halves(const float *q) {
    return _mm512_broadcast_f32x8(_mm256_loadu_ps(q));
}

template <bool DOT>
QK512 inline __m512 step16(__m512 acc, __m512 x, __m512 y) {
    if (DOT) return _mm512_fmadd_ps(x, y, acc);
    const __m512 e = _mm512_sub_ps(x, y);
    return _mm512_fmadd_ps(e, e, acc);
}

QK512 inline __m256 low_half(__m512 c) { return _mm512_castps512_ps256(c); }
QK512 inline __m256 high_half(__m512 c) { return _mm512_extractf32x8_ps(c, 1); }

// q with eight rows: four registers of two rows each, enough independent
// chains to cover the latency of the fused step.  The 8-blocks are those of
// `blocks` (see all_blocks).
template <bool DOT, typename Blocks>
QK512 void eight_rows(const float *q, const float *const *r, int d, Blocks blocks, float *out) {
    __m512 c0 = _mm512_setzero_ps(), c1 = _mm512_setzero_ps();
    __m512 c2 = _mm512_setzero_ps(), c3 = _mm512_setzero_ps();
    for (int i = 0; i < blocks.count; ++i) {
        const int t = 8 * blocks(i);
        const __m512 x = both_halves(q + t);
        c0 = step16<DOT>(c0, x, pair_rows(r[0] + t, r[1] + t));
        c1 = step16<DOT>(c1, x, pair_rows(r[2] + t, r[3] + t));
        c2 = step16<DOT>(c2, x, pair_rows(r[4] + t, r[5] + t));
        c3 = step16<DOT>(c3, x, pair_rows(r[6] + t, r[7] + t));
    }
    const int t = 8 * (d >> 3);
    const __m512 c[4] = {c0, c1, c2, c3};
    for (int j = 0; j < 4; ++j) {
        out[2 * j] = finish_rows<DOT>(low_half(c[j]), q, r[2 * j], t, d);
        out[2 * j + 1] = finish_rows<DOT>(high_half(c[j]), q, r[2 * j + 1], t, d);
    }
}

// Rows in groups of eight; a last, short group repeats its last row, whose
// extra distances are dropped: one group costs less than a lone distance,
// which is bound by the latency of its single chain.
template <bool DOT, typename Blocks>
QK512 void rows_f32(const float *X, int d, const float *q, Blocks blocks, const int32_t *ids,
                    int cnt, float *out) {
    for (int j = 0; j < cnt; j += 8) {
        const int g = cnt - j < 8 ? cnt - j : 8;
        const float *r[8];
        for (int u = 0; u < 8; ++u) r[u] = X + (int64_t)ids[j + (u < g ? u : g - 1)] * d;
        prefetch_rows(X, (int64_t)d * sizeof(float), ids, j + 8, j + 16, cnt);
        if (g == 8) {
            eight_rows<DOT>(q, r, d, blocks, out + j);
        } else {
            float part[8];
            eight_rows<DOT>(q, r, d, blocks, part);
            std::memcpy(out + j, part, (size_t)g * sizeof(float));
        }
    }
}

// ---------------------------------------------------------------------------
// Byte rows, in the quad layout of rows_view

// Bytes less 128, as signed bytes.
QK512 inline __m512i less128(__m512i x) {
    return _mm512_xor_si512(x, _mm512_set1_epi8((char)0x80));
}

QK512 inline __m256i fold_halves(__m512i a) {
    return _mm256_add_epi32(_mm512_castsi512_si256(a), _mm512_extracti64x4_epi64(a, 1));
}

// Squared differences without differences: a lane of sqd is sum q^2 +
// sum r^2 - 2 sum q r, and the multiply-add of unsigned by signed bytes
// (four products a lane) gives sum q (r - 128) = sum q r - 128 sum q, so the
// lane is qterm + sum r^2 - 2 acc with qterm = sum q^2 - 256 sum q.  Every
// term is an exact integer, so the lane is the exact sum of its squares, as
// in the float kernels.
QK512 inline __m256i lane_squares(const rows_view *v, const uint8_t *row) {
    return _mm256_loadu_si256((const __m256i *)(row + v->sums));
}

QK512 inline __m256i query_term(const rows_view *v, const uint8_t *q) {
    const __m256i sum = _mm256_loadu_si256((const __m256i *)(q + v->sums + 32));
    return _mm256_sub_epi32(lane_squares(v, q), _mm256_slli_epi32(sum, 8));
}

QK512 inline __m256i sqd_lanes(__m256i qterm, const rows_view *v, const uint8_t *r,
                               __m512i acc) {
    return _mm256_sub_epi32(_mm256_add_epi32(qterm, lane_squares(v, r)),
                            _mm256_slli_epi32(fold_halves(acc), 1));
}

// The bytes of chunks 2 s and 2 s + 1 of a row, or of chunk 2 s alone (high
// half zero) under the mask of the last step of an odd count.
QK512 inline __m512i chunks_at(const uint8_t *p, int s, __mmask64 on) {
    return _mm512_maskz_loadu_epi8(on, p + 64 * (int64_t)s);
}

// sum q (r - 128) of byte query q with four rows, by lanes (two chunks a
// step, one in each half; sqd_lanes folds them).  q's high half is zero in
// the last step of an odd count, so the -128 of the rows' masked-out half
// adds nothing.
QK512 inline void cross4(const rows_view *v, const uint8_t *q, const uint8_t *const *r,
                         __m512i *c) {
    const int nq = v->nquad, steps = (nq + 1) >> 1;
    __m512i c0 = _mm512_setzero_si512(), c1 = _mm512_setzero_si512();
    __m512i c2 = _mm512_setzero_si512(), c3 = _mm512_setzero_si512();
    for (int s = 0; s < steps; ++s) {
        const __mmask64 on = 2 * s + 1 < nq ? ~(__mmask64)0 : (__mmask64)0xFFFFFFFFu;
        const __m512i x = chunks_at(q, s, on);
        c0 = _mm512_dpbusd_epi32(c0, x, less128(chunks_at(r[0], s, on)));
        c1 = _mm512_dpbusd_epi32(c1, x, less128(chunks_at(r[1], s, on)));
        c2 = _mm512_dpbusd_epi32(c2, x, less128(chunks_at(r[2], s, on)));
        c3 = _mm512_dpbusd_epi32(c3, x, less128(chunks_at(r[3], s, on)));
    }
    c[0] = c0;
    c[1] = c1;
    c[2] = c2;
    c[3] = c3;
}

// sqd of the byte query q (a row of Xp; rest elements as floats in qt) with
// rows ids[j], in groups of four, a short last group padded as in rows_f32.
QK512 void rows_u8(const rows_view *v, const uint8_t *q, const float *qt, const int32_t *ids,
                   int cnt, float *out) {
    const __m256i qterm = query_term(v, q);
    for (int j = 0; j < cnt; j += 4) {
        const int g = cnt - j < 4 ? cnt - j : 4;
        const uint8_t *r[4];
        for (int u = 0; u < 4; ++u) r[u] = v->Xp + ids[j + (u < g ? u : g - 1)] * v->stride;
        prefetch_rows(v->Xp, v->stride, ids, j + 4, j + 8, cnt);
        __m512i c[4];
        cross4(v, q, r, c);
        // All four finished, so that c stays in registers.
        float o[4];
#pragma GCC unroll 4
        for (int u = 0; u < 4; ++u)
            o[u] = ifinish<false>(sqd_lanes(qterm, v, r[u], c[u]), qt, r[u] + v->body, v->rest);
        std::memcpy(out + j, o, (size_t)g * sizeof(float));
    }
}

// A dotp accumulator of one chunk a step: the 16-bit multiply-add puts the
// products of byte 2 l and 2 l + 1 of the chunk into lane l, so lanes 2 e and
// 2 e + 1 hold accumulator lane e; added pairwise and narrowed, the eight
// lanes come out in order.
QK512 inline __m256i pair_lanes(__m512i a) {
    return _mm512_cvtepi64_epi32(_mm512_add_epi32(a, _mm512_shuffle_epi32(a, _MM_PERM_CDAB)));
}

// One chunk of a row widened to 16 bits.
QK512 inline __m512i widen(const uint8_t *p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256((const __m256i *)p));
}

// dotp of the direction dir16 (16-bit, in the layout of Xp; rest elements as
// floats in qt) with rows ids[j], grouped as rows_u8.
QK512 void rows_dir(const rows_view *v, const int16_t *dir16, const float *qt,
                    const int32_t *ids, int cnt, float *out) {
    const int nq = v->nquad;
    for (int j = 0; j < cnt; j += 4) {
        const int g = cnt - j < 4 ? cnt - j : 4;
        const uint8_t *r[4];
        for (int u = 0; u < 4; ++u) r[u] = v->Xp + ids[j + (u < g ? u : g - 1)] * v->stride;
        prefetch_rows(v->Xp, v->stride, ids, j + 4, j + 8, cnt);
        __m512i c0 = _mm512_setzero_si512(), c1 = _mm512_setzero_si512();
        __m512i c2 = _mm512_setzero_si512(), c3 = _mm512_setzero_si512();
        for (int p = 0; p < nq; ++p) {
            const __m512i x = _mm512_loadu_si512(dir16 + 32 * p);
            c0 = _mm512_dpwssd_epi32(c0, x, widen(r[0] + 32 * p));
            c1 = _mm512_dpwssd_epi32(c1, x, widen(r[1] + 32 * p));
            c2 = _mm512_dpwssd_epi32(c2, x, widen(r[2] + 32 * p));
            c3 = _mm512_dpwssd_epi32(c3, x, widen(r[3] + 32 * p));
        }
        const __m512i c[4] = {c0, c1, c2, c3};
        float o[4];
#pragma GCC unroll 4
        for (int u = 0; u < 4; ++u)
            o[u] = ifinish<true>(pair_lanes(c[u]), qt, r[u] + v->body, v->rest);
        std::memcpy(out + j, o, (size_t)g * sizeof(float));
    }
}

// sqd of two float queries with eight rows: o0[j] for q0, o1[j] for q1.
QK512 void tile_f32(const float *q0, const float *q1, const float *const *r, int d, float *o0,
                    float *o1) {
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps();
    __m512 a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
    __m512 b0 = _mm512_setzero_ps(), b1 = _mm512_setzero_ps();
    __m512 b2 = _mm512_setzero_ps(), b3 = _mm512_setzero_ps();
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        const __m512 x0 = both_halves(q0 + t), x1 = both_halves(q1 + t);
        __m512 y = pair_rows(r[0] + t, r[1] + t);
        a0 = step16<false>(a0, x0, y);
        b0 = step16<false>(b0, x1, y);
        y = pair_rows(r[2] + t, r[3] + t);
        a1 = step16<false>(a1, x0, y);
        b1 = step16<false>(b1, x1, y);
        y = pair_rows(r[4] + t, r[5] + t);
        a2 = step16<false>(a2, x0, y);
        b2 = step16<false>(b2, x1, y);
        y = pair_rows(r[6] + t, r[7] + t);
        a3 = step16<false>(a3, x0, y);
        b3 = step16<false>(b3, x1, y);
    }
    const __m512 ha[4] = {a0, a1, a2, a3}, hb[4] = {b0, b1, b2, b3};
    for (int j = 0; j < 4; ++j) {
        o0[2 * j] = finish_rows<false>(low_half(ha[j]), q0, r[2 * j], t, d);
        o0[2 * j + 1] = finish_rows<false>(high_half(ha[j]), q0, r[2 * j + 1], t, d);
        o1[2 * j] = finish_rows<false>(low_half(hb[j]), q1, r[2 * j], t, d);
        o1[2 * j + 1] = finish_rows<false>(high_half(hb[j]), q1, r[2 * j + 1], t, d);
    }
}

// sqd of two byte queries with four rows of Xp, two chunks a step, as
// cross4.
QK512 void tile_u8(const rows_view *v, const uint8_t *q0, const float *qt0, const uint8_t *q1,
                   const float *qt1, const uint8_t *const *r, float *o0, float *o1) {
    const int nq = v->nquad, steps = (nq + 1) >> 1;
    // Unrolled, so that the accumulators stay in registers.
    __m512i a[4], b[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) a[j] = b[j] = _mm512_setzero_si512();
    for (int s = 0; s < steps; ++s) {
        const __mmask64 on = 2 * s + 1 < nq ? ~(__mmask64)0 : (__mmask64)0xFFFFFFFFu;
        const __m512i x0 = chunks_at(q0, s, on), x1 = chunks_at(q1, s, on);
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            const __m512i y = less128(chunks_at(r[j], s, on));
            a[j] = _mm512_dpbusd_epi32(a[j], x0, y);
            b[j] = _mm512_dpbusd_epi32(b[j], x1, y);
        }
    }
    const __m256i t0 = query_term(v, q0), t1 = query_term(v, q1);
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
        o0[j] = ifinish<false>(sqd_lanes(t0, v, r[j], a[j]), qt0, r[j] + v->body, v->rest);
        o1[j] = ifinish<false>(sqd_lanes(t1, v, r[j], b[j]), qt1, r[j] + v->body, v->rest);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points

int avx512_usable() {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("fma");
}

void rows_f32_avx512(const float *X, int d, const float *q, const int32_t *ids, int cnt,
                     float *out) {
    rows_f32<false>(X, d, q, all_blocks{d >> 3}, ids, cnt, out);
}

void dir_f32_avx512(const float *X, int d, const float *dir, const int32_t *blocks,
                    int nblocks, const int32_t *ids, int cnt, float *out) {
    if (blocks)
        rows_f32<true>(X, d, dir, listed_blocks{blocks, nblocks}, ids, cnt, out);
    else
        rows_f32<true>(X, d, dir, all_blocks{d >> 3}, ids, cnt, out);
}

void rows_u8_avx512(const rows_view *v, const uint8_t *q, const float *qt, const int32_t *ids,
                    int cnt, float *out) {
    rows_u8(v, q, qt, ids, cnt, out);
}

void rows_dir_avx512(const rows_view *v, const int16_t *dir16, const float *qt,
                     const int32_t *ids, int cnt, float *out) {
    rows_dir(v, dir16, qt, ids, cnt, out);
}

// Leaf rows a and a + 1 against the rows after a, in groups padded as in
// rows_f32; row a + 1 is one of the rows, so db[a + 1] (its distance to
// itself) is written as well.
void leaf_f32_avx512(const float *L, int d, int m, int a, float *da, float *db) {
    const float *qa = L + (int64_t)a * d, *qb = qa + d;
    for (int b = a + 1; b < m; b += 8) {
        const int g = m - b < 8 ? m - b : 8;
        const float *r[8];
        for (int u = 0; u < 8; ++u) r[u] = L + (int64_t)(b + (u < g ? u : g - 1)) * d;
        if (g == 8) {
            tile_f32(qa, qb, r, d, da + b, db + b);
        } else {
            float pa[8], pb[8];
            tile_f32(qa, qb, r, d, pa, pb);
            std::memcpy(da + b, pa, (size_t)g * sizeof(float));
            std::memcpy(db + b, pb, (size_t)g * sizeof(float));
        }
    }
}

void leaf_u8_avx512(const rows_view *v, const int32_t *ids, int m, int a, float *da,
                    float *db) {
    const uint8_t *q0 = v->Xp + ids[a] * v->stride, *q1 = v->Xp + ids[a + 1] * v->stride;
    float qt0[8], qt1[8];
    rest_floats(v, ids[a], qt0);
    rest_floats(v, ids[a + 1], qt1);
    for (int b = a + 1; b < m; b += 4) {
        const int g = m - b < 4 ? m - b : 4;
        const uint8_t *r[4];
        for (int u = 0; u < 4; ++u) r[u] = v->Xp + ids[b + (u < g ? u : g - 1)] * v->stride;
        float pa[4], pb[4];
        tile_u8(v, q0, qt0, q1, qt1, r, pa, pb);
        std::memcpy(da + b, pa, (size_t)g * sizeof(float));
        std::memcpy(db + b, pb, (size_t)g * sizeof(float));
    }
}

}  // namespace quelmo_knn

#endif
