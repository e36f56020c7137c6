// Approximate k nearest neighbours: a random-projection forest built on
// threads into private neighbour tables, merged row by row, then refined by
// NN-descent iterations over a snapshot of the table.
//
// Reproducibility: the result depends only on the input, the seed, the tree
// count, the leaf size and the resolved thread count (through the split of
// trees over threads and the per-thread seeds).  The distance kernels fix
// their accumulation order (two 4-lane fused accumulators, a fixed reduction,
// an unfused scalar tail), so every SIMD realisation below gives the same
// bits as the portable one.  Everything else is evaluated operation by
// operation as written; the build forbids contraction into FMA.
//
// The fast paths (several distances at once, rows kept as bytes, skipped
// candidates, rows visited in another order) never change an output bit;
// each carries the argument why next to it.
//
// In file order: the neighbour heap, the distance kernels, the random
// stream, the forest (rp, treeworker, mergeworker), the descent (descworker)
// and the renumbering it runs on, then the driver: run_phase runs every
// phase's workers, and vorlix_knn_descent_control_f32 allocates the call's
// buffers and runs build_forest, merge_forest and refine_by_descent in turn,
// publishing progress to a control record and stopping on request when it
// has one (run_control.h); the exported vorlix_knn_descent_f32 runs it
// without.

#include "quelmo_kernels.h"
#include "knn.h"
#include "knn_avx512.h"
#include "knn_lanes.h"
#include "run_control.h"

#include <pthread.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if !defined(QUELMO_KNN_X86) && !defined(QUELMO_KNN_NO_SIMD) && defined(__aarch64__) && \
    defined(__ARM_NEON)
#define QUELMO_KNN_NEON 1
#include <arm_neon.h>
#endif

namespace {

using namespace quelmo_knn;

// Value of an empty slot: larger than any distance worth keeping, and finite
// so that it compares normally.
constexpr float kEmptyDist = 1e30f;

// A descent worker looks at a stop request every this many rows (a power of
// two): a few milliseconds of work.
constexpr int kStopCheckRows = 1024;

// Largest copy of one leaf's rows that a tree thread keeps, in floats.
constexpr int64_t kLeafBufFloats = (int64_t)1 << 21;

// Leaf pairs are tested for a push in groups of this many.
constexpr int kPushGroup = 8;

// Byte data are worked on in integers when every lane of the accumulators
// sums at most this many products of two values of magnitude <= 255 (one
// per 8-block, and one from the 4-block): 258 * 255 * 255 <= 2^24, so every
// partial sum is an integer that a float holds exactly (see rows_view).
constexpr int kMaxIntBlocks = 257;

// ---------------------------------------------------------------------------
// Neighbour heap

// Offers candidate c at distance dc to one row of a neighbour table: hd, hi
// and hf are the row's distances, ids and flags, a max-heap on hd of length
// k with the largest distance at slot 0.  Returns 1 when inserted.  The
// distance test comes first and is an ordered comparison, so a NaN distance
// passes it; an id already in the row is never inserted twice, whatever its
// new distance.
inline int hpush(float *hd, int32_t *hi, uint8_t *hf, int k, int32_t c, float dc) {
    if (dc >= hd[0]) return 0;
    // The whole row is compared without an early exit, so that the compiler
    // can compare several ids at once: the id is usually absent, and then
    // every slot is looked at anyway.
    int present = 0;
    for (int j = 0; j < k; ++j) present |= hi[j] == c;
    if (present) return 0;
    hd[0] = dc;
    hi[0] = c;
    hf[0] = 1;
    int m = 0;
    for (;;) {
        const int l = 2 * m + 1;
        const int r = l + 1;
        int p = m;
        // Strict comparisons: equal distances never move, and of two equal
        // children the left one is taken.
        if (l < k && hd[l] > hd[p]) p = l;
        if (r < k && hd[r] > hd[p]) p = r;
        if (p == m) break;
        const float td = hd[m];
        hd[m] = hd[p];
        hd[p] = td;
        const int32_t ti = hi[m];
        hi[m] = hi[p];
        hi[p] = ti;
        const uint8_t tf = hf[m];
        hf[m] = hf[p];
        hf[p] = tf;
        m = p;
    }
    return 1;
}

// Sets count slots empty: distance kEmptyDist, id -1, flagged new.
inline void row_clear(float *hd, int32_t *hi, uint8_t *hf, int64_t count) {
    for (int64_t j = 0; j < count; ++j) {
        hd[j] = kEmptyDist;
        hi[j] = -1;
        hf[j] = 1;
    }
}

// ---------------------------------------------------------------------------
// Distance kernels.  The portable versions define the order: lane l of
// accumulator A0 sums elements t + l of the 8-blocks and of the 4-block, lane
// l of A1 elements t + 4 + l of the 8-blocks.

inline float sqd(const float *a, const float *b, int d) {
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

inline float dotp(const float *a, const float *b, int d) {
    float A0[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    float A1[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        for (int l = 0; l < 4; ++l) {
            A0[l] = std::fma(a[t + l], b[t + l], A0[l]);
            A1[l] = std::fma(a[t + 4 + l], b[t + 4 + l], A1[l]);
        }
    }
    for (; t + 4 <= d; t += 4) {
        for (int l = 0; l < 4; ++l) A0[l] = std::fma(a[t + l], b[t + l], A0[l]);
    }
    float S[4];
    for (int l = 0; l < 4; ++l) S[l] = A1[l] + A0[l];
    float s = (S[0] + S[1]) + (S[2] + S[3]);
    for (; t < d; ++t) {
        const float p = a[t] * b[t];
        s = s + p;
    }
    return s;
}

#if defined(QUELMO_KNN_X86)
// AVX2 kernels (the lane steps are in knn_lanes.h).  Several rows are
// evaluated at once, each with its own accumulators, because one chain alone
// is bound by the latency of the fused step.

// sqd (or dotp) of q with one row, over the 8-blocks of `blocks` (see
// all_blocks).
template <bool DOT, typename Blocks>
__attribute__((target("avx2,fma"))) float one_avx2(const float *q, const float *r, int d,
                                                   Blocks blocks) {
    __m256 c = _mm256_setzero_ps();
    for (int i = 0; i < blocks.count; ++i) {
        const int t = 8 * blocks(i);
        c = step8<DOT>(c, _mm256_loadu_ps(q + t), _mm256_loadu_ps(r + t));
    }
    return finish_rows<DOT>(c, q, r, 8 * (d >> 3), d);
}

// sqd (or dotp) of q with four rows.
template <bool DOT, typename Blocks>
__attribute__((target("avx2,fma"))) void four_avx2(const float *q, const float *r0,
                                                   const float *r1, const float *r2,
                                                   const float *r3, int d, Blocks blocks,
                                                   float *out) {
    __m256 c0 = _mm256_setzero_ps(), c1 = _mm256_setzero_ps();
    __m256 c2 = _mm256_setzero_ps(), c3 = _mm256_setzero_ps();
    for (int i = 0; i < blocks.count; ++i) {
        const int t = 8 * blocks(i);
        const __m256 x = _mm256_loadu_ps(q + t);
        c0 = step8<DOT>(c0, x, _mm256_loadu_ps(r0 + t));
        c1 = step8<DOT>(c1, x, _mm256_loadu_ps(r1 + t));
        c2 = step8<DOT>(c2, x, _mm256_loadu_ps(r2 + t));
        c3 = step8<DOT>(c3, x, _mm256_loadu_ps(r3 + t));
    }
    const int t = 8 * (d >> 3);
    out[0] = finish_rows<DOT>(c0, q, r0, t, d);
    out[1] = finish_rows<DOT>(c1, q, r1, t, d);
    out[2] = finish_rows<DOT>(c2, q, r2, t, d);
    out[3] = finish_rows<DOT>(c3, q, r3, t, d);
}

// sqd of two queries with the same four rows: eight accumulator chains that
// share every row load, for the all-pairs work of a leaf.
__attribute__((target("avx2,fma"))) void tile_avx2(const float *q0, const float *q1,
                                                   const float *const *r, int d, float *o0,
                                                   float *o1) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
    __m256 a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
    __m256 b0 = _mm256_setzero_ps(), b1 = _mm256_setzero_ps();
    __m256 b2 = _mm256_setzero_ps(), b3 = _mm256_setzero_ps();
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        const __m256 x0 = _mm256_loadu_ps(q0 + t), x1 = _mm256_loadu_ps(q1 + t);
        __m256 y = _mm256_loadu_ps(r[0] + t);
        a0 = step8<false>(a0, x0, y);
        b0 = step8<false>(b0, x1, y);
        y = _mm256_loadu_ps(r[1] + t);
        a1 = step8<false>(a1, x0, y);
        b1 = step8<false>(b1, x1, y);
        y = _mm256_loadu_ps(r[2] + t);
        a2 = step8<false>(a2, x0, y);
        b2 = step8<false>(b2, x1, y);
        y = _mm256_loadu_ps(r[3] + t);
        a3 = step8<false>(a3, x0, y);
        b3 = step8<false>(b3, x1, y);
    }
    const __m256 ha[4] = {a0, a1, a2, a3}, hb[4] = {b0, b1, b2, b3};
    for (int j = 0; j < 4; ++j) {
        o0[j] = finish_rows<false>(ha[j], q0, r[j], t, d);
        o1[j] = finish_rows<false>(hb[j], q1, r[j], t, d);
    }
}

template <bool DOT, typename Blocks>
__attribute__((target("avx2,fma"))) void rows_avx2(const float *X, int d, const float *q,
                                                    Blocks blocks, const int32_t *ids, int cnt,
                                                    float *out) {
    int j = 0;
    for (; j + 4 <= cnt; j += 4) {
        prefetch_rows(X, (int64_t)d * sizeof(float), ids, j + 4, j + 8, cnt);
        four_avx2<DOT>(q, X + (int64_t)ids[j] * d, X + (int64_t)ids[j + 1] * d,
                       X + (int64_t)ids[j + 2] * d, X + (int64_t)ids[j + 3] * d, d, blocks,
                       out + j);
    }
    for (; j < cnt; ++j) out[j] = one_avx2<DOT>(q, X + (int64_t)ids[j] * d, d, blocks);
}

// Integer kernels over Xp (see rows_view and knn_lanes.h).

template <bool DOT, typename Q>
__attribute__((target("avx2,fma"))) float one_int(const rows_view *v, const Q *q,
                                                  const float *qt, const uint8_t *r) {
    __m256i c = _mm256_setzero_si256();
    for (int j = 0; j < v->npair; ++j) c = istep<DOT>(c, qload(q + 16 * j), qload(r + 16 * j));
    return ifinish<DOT>(c, qt, r + 16 * v->npair, v->rest);
}

template <bool DOT, typename Q>
__attribute__((target("avx2,fma"))) void rows_int(const rows_view *v, const Q *q,
                                                  const float *qt, const int32_t *ids, int cnt,
                                                  float *out) {
    const int np = v->npair;
    int j = 0;
    for (; j + 4 <= cnt; j += 4) {
        const uint8_t *r0 = v->Xp + ids[j] * v->stride, *r1 = v->Xp + ids[j + 1] * v->stride;
        const uint8_t *r2 = v->Xp + ids[j + 2] * v->stride, *r3 = v->Xp + ids[j + 3] * v->stride;
        prefetch_rows(v->Xp, v->stride, ids, j + 4, j + 8, cnt);
        __m256i c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
        __m256i c2 = _mm256_setzero_si256(), c3 = _mm256_setzero_si256();
        for (int p = 0; p < np; ++p) {
            const __m256i x = qload(q + 16 * p);
            c0 = istep<DOT>(c0, x, qload(r0 + 16 * p));
            c1 = istep<DOT>(c1, x, qload(r1 + 16 * p));
            c2 = istep<DOT>(c2, x, qload(r2 + 16 * p));
            c3 = istep<DOT>(c3, x, qload(r3 + 16 * p));
        }
        out[j] = ifinish<DOT>(c0, qt, r0 + 16 * np, v->rest);
        out[j + 1] = ifinish<DOT>(c1, qt, r1 + 16 * np, v->rest);
        out[j + 2] = ifinish<DOT>(c2, qt, r2 + 16 * np, v->rest);
        out[j + 3] = ifinish<DOT>(c3, qt, r3 + 16 * np, v->rest);
    }
    for (; j < cnt; ++j) out[j] = one_int<DOT, Q>(v, q, qt, v->Xp + ids[j] * v->stride);
}

// sqd of two byte queries with the same four rows of Xp, for the leaves.
__attribute__((target("avx2,fma"))) void tile_int(const rows_view *v, const uint8_t *q0,
                                                  const float *qt0, const uint8_t *q1,
                                                  const float *qt1, const uint8_t *const *r,
                                                  float *o0, float *o1) {
    const int np = v->npair;
    __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
    __m256i a2 = _mm256_setzero_si256(), a3 = _mm256_setzero_si256();
    __m256i b0 = _mm256_setzero_si256(), b1 = _mm256_setzero_si256();
    __m256i b2 = _mm256_setzero_si256(), b3 = _mm256_setzero_si256();
    for (int p = 0; p < np; ++p) {
        const __m256i x0 = qload(q0 + 16 * p), x1 = qload(q1 + 16 * p);
        __m256i y = qload(r[0] + 16 * p);
        a0 = istep<false>(a0, x0, y);
        b0 = istep<false>(b0, x1, y);
        y = qload(r[1] + 16 * p);
        a1 = istep<false>(a1, x0, y);
        b1 = istep<false>(b1, x1, y);
        y = qload(r[2] + 16 * p);
        a2 = istep<false>(a2, x0, y);
        b2 = istep<false>(b2, x1, y);
        y = qload(r[3] + 16 * p);
        a3 = istep<false>(a3, x0, y);
        b3 = istep<false>(b3, x1, y);
    }
    const __m256i ha[4] = {a0, a1, a2, a3}, hb[4] = {b0, b1, b2, b3};
    for (int j = 0; j < 4; ++j) {
        o0[j] = ifinish<false>(ha[j], qt0, r[j] + 16 * np, v->rest);
        o1[j] = ifinish<false>(hb[j], qt1, r[j] + 16 * np, v->rest);
    }
}
#endif

#if defined(QUELMO_KNN_NEON)
// A0 and A1 are two q-registers, advanced by vfmaq_f32 exactly as the
// portable loop advances its lanes.
inline float reduce_neon(float32x4_t a0, float32x4_t a1) {
    const float32x4_t s = vaddq_f32(a1, a0);
    const float lo = vgetq_lane_f32(s, 0) + vgetq_lane_f32(s, 1);
    const float hi = vgetq_lane_f32(s, 2) + vgetq_lane_f32(s, 3);
    return lo + hi;
}

template <bool DOT>
inline float one_neon(const float *a, const float *b, int d) {
    float32x4_t a0 = vdupq_n_f32(0.0f), a1 = vdupq_n_f32(0.0f);
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        if (DOT) {
            a0 = vfmaq_f32(a0, vld1q_f32(a + t), vld1q_f32(b + t));
            a1 = vfmaq_f32(a1, vld1q_f32(a + t + 4), vld1q_f32(b + t + 4));
        } else {
            const float32x4_t x = vsubq_f32(vld1q_f32(a + t), vld1q_f32(b + t));
            const float32x4_t y = vsubq_f32(vld1q_f32(a + t + 4), vld1q_f32(b + t + 4));
            a0 = vfmaq_f32(a0, x, x);
            a1 = vfmaq_f32(a1, y, y);
        }
    }
    for (; t + 4 <= d; t += 4) {
        if (DOT) {
            a0 = vfmaq_f32(a0, vld1q_f32(a + t), vld1q_f32(b + t));
        } else {
            const float32x4_t x = vsubq_f32(vld1q_f32(a + t), vld1q_f32(b + t));
            a0 = vfmaq_f32(a0, x, x);
        }
    }
    float s = reduce_neon(a0, a1);
    for (; t < d; ++t) {
        if (DOT) {
            const float p = a[t] * b[t];
            s = s + p;
        } else {
            const float x = a[t] - b[t];
            const float p = x * x;
            s = s + p;
        }
    }
    return s;
}
#endif

// sqd of two float rows, in the realisation of this call.
inline float sqd1(int isa, const float *a, const float *b, int d) {
#if defined(QUELMO_KNN_X86)
    if (has_avx2(isa)) return one_avx2<false>(a, b, d, all_blocks{d >> 3});
#elif defined(QUELMO_KNN_NEON)
    if (isa == ISA_NEON) return one_neon<false>(a, b, d);
#endif
    (void)isa;
    return sqd(a, b, d);
}

// out[j] = sqd(X row qi, X row ids[j]) for j in [0, cnt).  sqd is symmetric
// in its operands bit for bit (a - b is exactly -(b - a)), so which of the
// two points is the query does not matter.
inline void sqd_rows(const rows_view *v, int64_t qi, const int32_t *ids, int cnt,
                     float *out) {
    const int d = v->d;
#if defined(QUELMO_KNN_X86)
    if (v->Xp) {
        float qt[8];
        rest_floats(v, qi, qt);
        if (v->isa == ISA_AVX512)
            rows_u8_avx512(v, v->Xp + qi * v->stride, qt, ids, cnt, out);
        else
            rows_int<false, uint8_t>(v, v->Xp + qi * v->stride, qt, ids, cnt, out);
        return;
    }
    if (v->isa == ISA_AVX512) {
        rows_f32_avx512(v->X, d, v->X + qi * d, ids, cnt, out);
        return;
    }
    if (v->isa == ISA_AVX2) {
        rows_avx2<false>(v->X, d, v->X + qi * d, all_blocks{d >> 3}, ids, cnt, out);
        return;
    }
#endif
    for (int j = 0; j < cnt; ++j) out[j] = sqd1(v->isa, v->X + qi * d, v->X + (int64_t)ids[j] * d, d);
}

// out[j] = dotp(X row ids[j], dir); the fused product is symmetric in its
// factors, so the operand order does not matter.  dir: the direction as d
// floats, or with Xp its rest elements, the rest in dir16 in the layout of
// Xp.  Float rows: blocks, when not null, lists the nblocks 8-blocks
// where dir is not zero, to which the products may be limited on finite
// data (see listed_blocks).
inline void dotp_rows(const rows_view *v, const float *dir, const int16_t *dir16,
                      const int32_t *blocks, int nblocks, const int32_t *ids, int cnt,
                      float *out) {
    const int d = v->d;
#if defined(QUELMO_KNN_X86)
    if (v->Xp) {
        if (v->isa == ISA_AVX512)
            rows_dir_avx512(v, dir16, dir, ids, cnt, out);
        else
            rows_int<true, int16_t>(v, dir16, dir, ids, cnt, out);
        return;
    }
    if (v->isa == ISA_AVX512) {
        dir_f32_avx512(v->X, d, dir, blocks, nblocks, ids, cnt, out);
        return;
    }
    if (v->isa == ISA_AVX2) {
        if (blocks)
            rows_avx2<true>(v->X, d, dir, listed_blocks{blocks, nblocks}, ids, cnt, out);
        else
            rows_avx2<true>(v->X, d, dir, all_blocks{d >> 3}, ids, cnt, out);
        return;
    }
#elif defined(QUELMO_KNN_NEON)
    if (v->isa == ISA_NEON) {
        for (int j = 0; j < cnt; ++j) out[j] = one_neon<true>(v->X + (int64_t)ids[j] * d, dir, d);
        return;
    }
#endif
    (void)dir16;
    (void)blocks;
    (void)nblocks;
    for (int j = 0; j < cnt; ++j) out[j] = dotp(v->X + (int64_t)ids[j] * d, dir, d);
}

// Distances of leaf rows a and a + 1 (a + 1 < m) to the rows after them:
// da[b] = sqd(a, b) for b in (a, m) and db[b] = sqd(a + 1, b) for b in
// (a + 1, m) (db[a + 1] may be overwritten).  The rows are ids[] of Xp, or,
// without Xp, the m contiguous float rows of L.
inline void leaf_rows(const rows_view *v, const int32_t *ids, const float *L, int m, int a,
                      float *da, float *db) {
    const int d = v->d;
#if defined(QUELMO_KNN_X86)
    if (v->Xp && v->isa == ISA_AVX512) {
        leaf_u8_avx512(v, ids, m, a, da, db);
        return;
    }
    if (v->isa == ISA_AVX512) {
        leaf_f32_avx512(L, d, m, a, da, db);
        return;
    }
    if (v->Xp) {
        const uint8_t *q0 = v->Xp + ids[a] * v->stride, *q1 = v->Xp + ids[a + 1] * v->stride;
        float qt0[8], qt1[8];
        rest_floats(v, ids[a], qt0);
        rest_floats(v, ids[a + 1], qt1);
        da[a + 1] = one_int<false, uint8_t>(v, q0, qt0, q1);
        int b = a + 2;
        for (; b + 4 <= m; b += 4) {
            const uint8_t *r[4] = {v->Xp + ids[b] * v->stride, v->Xp + ids[b + 1] * v->stride,
                                   v->Xp + ids[b + 2] * v->stride, v->Xp + ids[b + 3] * v->stride};
            tile_int(v, q0, qt0, q1, qt1, r, da + b, db + b);
        }
        for (; b < m; ++b) {
            const uint8_t *r = v->Xp + ids[b] * v->stride;
            da[b] = one_int<false, uint8_t>(v, q0, qt0, r);
            db[b] = one_int<false, uint8_t>(v, q1, qt1, r);
        }
        return;
    }
#endif
    (void)ids;
    const float *qa = L + (int64_t)a * d, *qb = L + (int64_t)(a + 1) * d;
    int b = a + 2;
    da[a + 1] = sqd1(v->isa, qa, qb, d);
#if defined(QUELMO_KNN_X86)
    if (v->isa == ISA_AVX2)
        for (; b + 4 <= m; b += 4) {
            const float *r[4] = {L + (int64_t)b * d, L + (int64_t)(b + 1) * d,
                                 L + (int64_t)(b + 2) * d, L + (int64_t)(b + 3) * d};
            tile_avx2(qa, qb, r, d, da + b, db + b);
        }
#endif
    for (; b < m; ++b) {
        da[b] = sqd1(v->isa, qa, L + (int64_t)b * d, d);
        db[b] = sqd1(v->isa, qb, L + (int64_t)b * d, d);
    }
}

// The CPU features are detected by the compiler's runtime when the library
// is loaded, before any call can get here.
inline int resolve_isa() {
#if defined(QUELMO_KNN_X86)
#if !defined(QUELMO_KNN_NO_AVX512)  // defined by a test build of the AVX2 kernels
    if (avx512_usable()) return ISA_AVX512;
#endif
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return ISA_AVX2;
    return ISA_PORTABLE;
#elif defined(QUELMO_KNN_NEON)
    return ISA_NEON;
#else
    return ISA_PORTABLE;
#endif
}

// ---------------------------------------------------------------------------
// Random stream

// One step of SplitMix64 on the state word *s: the published increment
// (2^64 divided by the golden ratio, odd) and the published multipliers and
// shifts of its output mix.
inline uint64_t sm64(uint64_t *s) {
    *s += 0x9E3779B97F4A7C15ULL;
    uint64_t z = *s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A draw in [0, m), m >= 1: the plain remainder, slightly biased for large
// m, which is part of the result.
inline uint64_t draw_below(uint64_t *s, uint64_t m) { return sm64(s) % m; }

// ---------------------------------------------------------------------------
// Random-projection forest

// A projection and the id of its point, moved together by the selection.
// Projections are compared as floats: ranking them by their widening to
// double, which is exact, gives the same order.
struct ranked {
    float value;
    int32_t id;
};

// The context of one tree thread, shared by every split and leaf of its trees.
struct rpx {
    int n, d, k;  // points, dimensions, row length
    int leaf;     // largest leaf: a range of more points is split
    const float *X;
    float *hd;    // the thread's private table: distances,
    int32_t *hi;  // ids
    uint8_t *hf;  // and flags, n * k each
    ranked *pv;   // n projections with their ids, scratch indexed from 0 in every range
    // Thread scratch.  The split direction: d floats, and with Xp also in
    // its layout (dir16, 16-bit, v.body values); it is needed only before
    // the recursive calls, so one vector serves every depth.  Leaf scratch,
    // null where it would not fit a modest buffer (or is not needed): two
    // rows of distances and the rows' largest distances (ldist, 3 * lcap)
    // and, without Xp, the leaf's rows as contiguous floats (lbuf, lcap * d).
    float *dir;
    int16_t *dir16;
    float *ldist;
    float *lbuf;
    const uint64_t *masks;  // the non-zero 8-blocks of each row of X (block_masks), or null
    int mwords;             // words per row of masks
    uint64_t *lany;         // mwords: scratch of copy_leaf_rows
    int32_t *dblocks;       // d / 8: the blocks where the split direction is not zero
    int lcap;
    rows_view v;
    int finite;  // 1 when X is finite
    const int64_t *control;  // the call's control record, or null
};

// One tree thread.
struct treework {
    int t0, t1;       // builds trees [t0, t1)
    int n, d, k, leaf;
    const float *X;
    float *hd;        // its private table: distances,
    int32_t *hi;      // ids
    uint8_t *hf;      // and flags
    uint64_t seed;    // start of its random stream, carried from tree to tree
    rows_view v;
    int finite;      // 1 when X is finite
    const uint64_t *masks;  // block_masks of X, or null
    int mwords;
    int32_t *order;  // receives the last tree's leaf order, or null
    int status;      // 0, or -2 when the thread's scratch could not be allocated
    int started;     // 1 when running on its own thread, to be joined
    int64_t *control;  // the call's control record, or null
};

// One merge thread.
struct mergework {
    int i0, i1;       // merges rows [i0, i1)
    int k;
    int P;            // number of private tables
    float **thd;      // the P private tables' distances
    int32_t **thi;    // and ids
    float *hd;        // the output table: the caller's distances,
    int32_t *hi;      // the caller's ids
    uint8_t *hf;      // and the driver's flags
    int started;      // 1 when running on its own thread, to be joined
};

// Reorders e[0 .. n-1] so that the entry of rank target (by value) sits at
// target, everything before it not greater and everything after not smaller.
void qselect(ranked *e, int n, int target, uint64_t *rng) {
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        const int p = lo + (int)draw_below(rng, (uint64_t)(hi - lo + 1));
        const float pivot = e[p].value;
        ranked t = e[p];
        e[p] = e[lo];
        e[lo] = t;
        // Each entry below the pivot is swapped with the one after the
        // stored run; the others stay.  Written as a swap with position j,
        // which is i itself (no change) for those others, so that the
        // comparison, true about half the time, needs no branch; j is picked
        // by a mask, as with a conditional the compiler sees the no-op swap
        // and branches around it.
        int store = lo;
        for (int i = lo + 1; i <= hi; ++i) {
            const ranked x = e[i];
            const int below = x.value < pivot;
            const int j = i + ((store + 1 - i) & -below);
            e[i] = e[j];
            e[j] = x;
            store += below;
        }
        t = e[lo];
        e[lo] = e[store];
        e[store] = t;
        if (store == target) break;
        if (store < target)
            lo = store + 1;
        else
            hi = store - 1;
    }
}

inline void push_pair(rpx *c, int32_t u, int32_t v, float dd) {
    const int k = c->k;
    hpush(c->hd + (int64_t)u * k, c->hi + (int64_t)u * k, c->hf + (int64_t)u * k, k, v, dd);
    hpush(c->hd + (int64_t)v * k, c->hi + (int64_t)v * k, c->hf + (int64_t)v * k, k, u, dd);
}

// Bit j set when x[j] < a or x[j] < y[j], j < kPushGroup (ordered
// comparisons: false for NaN).  Reads all kPushGroup values of x and y.
inline unsigned below_either(const float *x, float a, const float *y) {
#if defined(QUELMO_KNN_X86) && defined(__SSE__)
    static_assert(kPushGroup == 8, "two groups of four lanes");
    const __m128 a4 = _mm_set1_ps(a);
    const __m128 x0 = _mm_loadu_ps(x), x1 = _mm_loadu_ps(x + 4);
    const __m128 lo = _mm_or_ps(_mm_cmplt_ps(x0, a4), _mm_cmplt_ps(x0, _mm_loadu_ps(y)));
    const __m128 hi = _mm_or_ps(_mm_cmplt_ps(x1, a4), _mm_cmplt_ps(x1, _mm_loadu_ps(y + 4)));
    return (unsigned)_mm_movemask_ps(lo) | (unsigned)_mm_movemask_ps(hi) << 4;
#else
    unsigned bits = 0;
    for (int j = 0; j < kPushGroup; ++j)
        bits |= ((unsigned)(x[j] < a) | (unsigned)(x[j] < y[j])) << j;
    return bits;
#endif
}

// Offers the pairs (a, b), b = from .. m - 1 in order, of a leaf to both
// rows.  On finite data each group of kPushGroup pairs is first tested
// against the rows' largest distances at once, and only the pairs that pass
// are pushed.
// A pair that fails, dd >= both largest distances, is rejected by the first
// test of both pushes, and still is when its turn comes: row ids[a] only
// loses its largest distance to smaller ones, and row ids[b] receives no
// other push in between.  (With NaN about, a largest distance can grow, so
// then every pair is pushed.)  lroot[j] follows the largest distance of row
// ids[j] for j > a.
inline void push_row(rpx *c, const int32_t *ids, int m, int a, int from, const float *dist,
                     float *lroot) {
    const int k = c->k;
    const int32_t u = ids[a];
    float *ud = c->hd + (int64_t)u * k;
    int32_t *ui = c->hi + (int64_t)u * k;
    uint8_t *uf = c->hf + (int64_t)u * k;
    for (int b0 = from; b0 < m; b0 += kPushGroup) {
        const int e = m - b0 < kPushGroup ? m - b0 : kPushGroup;
        unsigned pass = (1u << e) - 1u;
        if (c->finite) pass &= below_either(dist + b0, ud[0], lroot + b0);
        // The rows that will be pushed to lie anywhere in the table: ask for
        // them all before the first push waits on one.
        for (unsigned ahead = pass; ahead; ahead &= ahead - 1) {
            const int64_t v = ids[b0 + __builtin_ctz(ahead)];
            __builtin_prefetch(c->hd + v * k, 1);
            __builtin_prefetch(c->hi + v * k, 1);
            __builtin_prefetch(c->hf + v * k, 1);
        }
        while (pass) {
            const int b = b0 + __builtin_ctz(pass);
            pass &= pass - 1;
            const int32_t v = ids[b];
            float *vd = c->hd + (int64_t)v * k;
            hpush(ud, ui, uf, k, v, dist[b]);
            hpush(vd, c->hi + (int64_t)v * k, c->hf + (int64_t)v * k, k, u, dist[b]);
            lroot[b] = vd[0];
        }
    }
}

// True when the 8 floats at x are all +0 or -0.
inline bool zero_block(const float *x) {
    uint32_t any = 0;
    for (int e = 0; e < 8; ++e) {
        uint32_t bits;
        std::memcpy(&bits, x + e, sizeof bits);
        any |= bits << 1;  // the sign bit shifted out: -0 is a zero
    }
    return any == 0;
}

// Copies rows ids[0 .. m) of X (d floats each) into L without the 8-blocks
// that are zero in all of them (by their bits in masks, see block_masks), and
// returns the length of the copied rows.  Their distances are the same bit
// for bit: in such a block every difference is a zero, whose square adds +0
// to a lane, and a lane that starts at +0 and only ever gains squares is
// never -0, so the addition leaves it as it was.  The 4-block and the tail
// after the last 8-block are kept, so they still follow the 8-blocks.  Leaves
// of data with many zeros (pixels, counts) often share most of their zero
// blocks.  any: scratch of words entries.
int copy_leaf_rows(const float *X, int d, const int32_t *ids, int m, float *L,
                   const uint64_t *masks, int words, uint64_t *any) {
    const int nblk = d >> 3, rest = d - 8 * nblk;
    int kept = nblk;
    if (masks) {
        for (int w = 0; w < words; ++w) any[w] = 0;
        for (int a = 0; a < m; ++a) {
            const uint64_t *row = masks + (int64_t)ids[a] * words;
            for (int w = 0; w < words; ++w) any[w] |= row[w];
        }
        kept = 0;
        for (int w = 0; w < words; ++w) kept += __builtin_popcountll(any[w]);
    }
    // Whole rows copy fastest from memory; the blocks are then packed within
    // L, where the rows are in cache.
    for (int a = 0; a < m; ++a)
        std::memcpy(L + (int64_t)a * d, X + (int64_t)ids[a] * d, (size_t)d * sizeof(float));
    // Above this the packing would cost what it saves.
    if (!masks || kept == nblk || kept > nblk - nblk / 8) return d;
    const int d2 = 8 * kept + rest;
    for (int a = 0; a < m; ++a) {
        // Row a moves down to a * d2 <= a * d, and each block of it to a
        // place no later than its own, so no block is overwritten before it
        // has moved.
        const float *src = L + (int64_t)a * d;
        float *dst = L + (int64_t)a * d2;
        // Source and destination lie a multiple of 8 floats apart, so a
        // block is either already in place or overlaps nothing it moves onto.
        for (int w = 0; w < words; ++w)
            for (uint64_t bits = any[w]; bits; bits &= bits - 1) {
                const float *block = src + 8 * (64 * w + __builtin_ctzll(bits));
                if (block != dst) std::memcpy(dst, block, 8 * sizeof(float));
                dst += 8;
            }
        if (rest) std::memmove(dst, src + 8 * nblk, (size_t)rest * sizeof(float));
    }
    return d2;
}

// All pairs of one leaf, a ascending and b ascending within it, each pair
// offered to both rows.  Distances do not depend on the table, so they are
// computed ahead, two values of a at a time; only the order of the pushes
// matters, and it is kept.  Float rows are first copied into thread scratch
// (less the blocks that are zero in all of them, see copy_leaf_rows),
// where the leaf's m (m - 1) / 2 distances find them in cache.
void leaf_pairs(rpx *c, const int32_t *ids, int m) {
    const int d = c->d;
    if (!c->ldist || m > c->lcap || (!c->v.Xp && !c->lbuf)) {
        for (int a = 0; a + 1 < m; ++a)
            for (int b = a + 1; b < m; ++b) {
                float dd;
                sqd_rows(&c->v, ids[a], ids + b, 1, &dd);
                push_pair(c, ids[a], ids[b], dd);
            }
        return;
    }
    rows_view v = c->v;
    if (!v.Xp) v.d = copy_leaf_rows(c->X, d, ids, m, c->lbuf, c->masks, c->mwords, c->lany);
    float *da = c->ldist, *db = da + c->lcap, *lroot = db + c->lcap;
    for (int j = 0; j < m; ++j) {
        // The ids and flags of these rows are read by the pushes; asking for
        // them now hides their misses behind the distances.
        const int64_t row = (int64_t)ids[j] * c->k;
        lroot[j] = c->hd[row];
        __builtin_prefetch(c->hi + row, 1);
        __builtin_prefetch(c->hf + row, 1);
    }
    for (int a = 0; a + 1 < m; a += 2) {
        leaf_rows(&v, ids, c->lbuf, m, a, da, db);
        push_row(c, ids, m, a, a + 1, da, lroot);
        push_row(c, ids, m, a + 1, a + 2, db, lroot);
    }
}

// Lists in blocks the 8-blocks of the d floats x that hold a value other
// than +0 or -0, ascending, and returns their count.
int nonzero_blocks(const float *x, int d, int32_t *blocks) {
    int count = 0;
    for (int b = 0; b < d >> 3; ++b) {
        blocks[count] = b;
        count += !zero_block(x + 8 * b);
    }
    return count;
}

// Splits positions [lo, hi) of the permutation idx into a tree: a range of
// at most leaf points is a leaf, whose pairs are offered to the table; a
// larger one is halved by rank of the projections on the direction between
// two random points of it, lower half first.
void rp(rpx *c, int32_t *idx, int lo, int hi, uint64_t *rng) {
    // On a stop request the tree is left unfinished; the call's result is
    // discarded then.
    if (run_stop_requested(c->control)) return;
    const int m = hi - lo;
    if (m <= c->leaf) {
        leaf_pairs(c, idx + lo, m);
        return;
    }
    const int ia = (int)draw_below(rng, (uint64_t)m);
    int ib;
    do {
        ib = (int)draw_below(rng, (uint64_t)m);
    } while (ib == ia);
    const rows_view *v = &c->v;
    if (v->Xp) {
        // Differences of bytes: integers in [-255, 255], the same values as
        // the float differences.
        const uint8_t *pa = v->Xp + idx[lo + ia] * v->stride;
        const uint8_t *pb = v->Xp + idx[lo + ib] * v->stride;
        const int w16 = (int)v->body;
        for (int u = 0; u < w16; ++u) c->dir16[u] = (int16_t)((int)pb[u] - (int)pa[u]);
        for (int u = 0; u < v->rest; ++u) c->dir[u] = (float)pb[w16 + u] - (float)pa[w16 + u];
    } else {
        const float *xa = c->X + (int64_t)idx[lo + ia] * c->d;
        const float *xb = c->X + (int64_t)idx[lo + ib] * c->d;
        for (int t = 0; t < c->d; ++t) c->dir[t] = xb[t] - xa[t];
    }
    // On finite float rows with many zero blocks (those with masks) the
    // products can skip the blocks where dir is zero (often those that are
    // zero in both points); see listed_blocks for why the split stays the
    // same.  Dense rows do not look for them.
    const int32_t *blocks = nullptr;
    int nblocks = 0;
    if (!v->Xp && c->finite && c->masks) {
        nblocks = nonzero_blocks(c->dir, c->d, c->dblocks);
        const int nblk = c->d >> 3;
        if (nblocks < nblk && nblocks <= nblk - nblk / 8) blocks = c->dblocks;
    }
    // Projections in chunks through a fixed buffer; the chunk size changes
    // no value.  The selection moves each projection with its id.
    constexpr int kChunk = 64;
    float chunk[kChunk];
    for (int i = 0; i < m; i += kChunk) {
        const int cnt = m - i < kChunk ? m - i : kChunk;
        dotp_rows(v, c->dir, c->dir16, blocks, nblocks, idx + lo + i, cnt, chunk);
        for (int j = 0; j < cnt; ++j) c->pv[i + j] = ranked{chunk[j], idx[lo + i + j]};
    }
    const int mid = m / 2;
    qselect(c->pv, m, mid, rng);
    for (int i = 0; i < m; ++i) idx[lo + i] = c->pv[i].id;
    rp(c, idx, lo, lo + mid, rng);
    rp(c, idx, lo + mid, hi, rng);
}

// Builds trees [t0, t1) into the thread's private table, each from a fresh
// shuffle of the points, all from one random stream.
void *treeworker(void *arg) {
    treework *w = (treework *)arg;
    const int n = w->n, d = w->d;
    row_clear(w->hd, w->hi, w->hf, (int64_t)n * w->k);
    int32_t *idx = (int32_t *)std::malloc((size_t)n * sizeof(int32_t));
    ranked *pv = (ranked *)std::malloc((size_t)n * sizeof(ranked));
    // The direction's floats, then its form in the layout of Xp.
    const size_t w16 = (size_t)w->v.body;
    float *dir = (float *)std::malloc((size_t)d * sizeof(float) + w16 * sizeof(int16_t));
    uint64_t *lany = (uint64_t *)std::malloc(((size_t)w->mwords + 1) * sizeof(uint64_t));
    int32_t *dblocks = (int32_t *)std::malloc(((size_t)(d >> 3) + 1) * sizeof(int32_t));
    // Leaf scratch only saves time; the leaves work without it.
    const int lcap = w->leaf < n ? w->leaf : n;
    // The three distance rows are followed by kPushGroup floats that the
    // push filter may read past the last of them (set to 0, never used).
    const int64_t lfloats = 3 * (int64_t)lcap + kPushGroup + (w->v.Xp ? 0 : (int64_t)lcap * d);
    float *ldist = lfloats <= kLeafBufFloats
                       ? (float *)std::malloc((size_t)lfloats * sizeof(float))
                       : nullptr;
    if (ldist) std::memset(ldist, 0, (3 * (size_t)lcap + kPushGroup) * sizeof(float));
    if (idx && pv && dir && lany && dblocks) {
        rpx c;
        c.n = n;
        c.d = d;
        c.k = w->k;
        c.leaf = w->leaf;
        c.X = w->X;
        c.hd = w->hd;
        c.hi = w->hi;
        c.hf = w->hf;
        c.pv = pv;
        c.dir = dir;
        c.dir16 = (int16_t *)(dir + d);
        c.ldist = ldist;
        c.lbuf = ldist && !w->v.Xp ? ldist + 3 * (int64_t)lcap + kPushGroup : nullptr;
        c.masks = w->masks;
        c.mwords = w->mwords;
        c.lany = lany;
        c.dblocks = dblocks;
        c.lcap = lcap;
        c.v = w->v;
        c.finite = w->finite;
        c.control = w->control;
        uint64_t rng = w->seed;
        for (int t = w->t0; t < w->t1 && !run_stop_requested(w->control); ++t) {
            for (int i = 0; i < n; ++i) idx[i] = i;
            for (int i = n - 1; i >= 1; --i) {
                const int j = (int)draw_below(&rng, (uint64_t)i + 1);
                const int32_t tmp = idx[i];
                idx[i] = idx[j];
                idx[j] = tmp;
            }
            rp(&c, idx, 0, n, &rng);
            run_add(w->control, RUN_TREES_DONE, 1);
        }
        if (w->order) std::memcpy(w->order, idx, (size_t)n * sizeof(int32_t));
        w->status = 0;
    } else {
        w->status = -2;
    }
    std::free(ldist);
    std::free(dblocks);
    std::free(lany);
    std::free(dir);
    std::free(pv);
    std::free(idx);
    return nullptr;
}

// Folds rows [i0, i1) of the private tables into the output table, table by
// table in thread order; the private flags are not read.
void *mergeworker(void *arg) {
    mergework *w = (mergework *)arg;
    const int k = w->k;
    for (int i = w->i0; i < w->i1; ++i) {
        const int64_t off = (int64_t)i * k;
        row_clear(w->hd + off, w->hi + off, w->hf + off, k);
        for (int e = 0; e < w->P; ++e) {
            const float *pd = w->thd[e] + off;
            const int32_t *pi = w->thi[e] + off;
            for (int j = 0; j < k; ++j) {
                const int32_t c = pi[j];
                if (c >= 0) hpush(w->hd + off, w->hi + off, w->hf + off, k, c, pd[j]);
            }
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// NN-descent

// One descent thread.
struct work {
    int i0, i1;  // refines rows [i0, i1) (positions in order, when present)
    int n, d, k;
    const float *X;
    const int32_t *sh;    // snapshot of the table's ids at the iteration's start
    const uint8_t *sf;    // snapshot of its flags
    const int32_t *revn;  // reverse lists: row v holds points listing v as new
    const int *rcn;       // fill count of each reverse list
    float *hd;            // the live table: distances,
    int32_t *hi;          // ids
    uint8_t *hf;          // and flags
    long upd;             // insertions made by this thread in the iteration
    rows_view v;
    // Rows are visited as order[i0 .. i1) (see the driver), or i0 .. i1
    // when order is null.
    const int32_t *order;
    // Thread scratch, or null for the plain path: candidate ids and their
    // distances (k * k + k each), and a mark per point (n) that holds the
    // stamp of the last row the point was offered to.
    int32_t *cand;
    float *cdist;
    uint32_t *mark;
    int finite;   // 1 when X is finite: offered ids may be skipped
    int started;  // 1 when running on its own thread, to be joined
    const int64_t *control;  // the call's control record, or null
};

// Marks c as offered to the row with this stamp; returns 1 when it was not
// offered to that row before.
inline int offer_once(work *w, uint32_t stamp, int32_t c) {
    const int fresh = w->mark[c] != stamp;
    w->mark[c] = stamp;
    return fresh;
}

// The plain order of one row: every candidate, repeats included, evaluated
// and offered as it comes.
long desc_row_plain(work *w, int i) {
    const int n = w->n, k = w->k;
    const int64_t off = (int64_t)i * k;
    float *row_dist = w->hd + off;
    int32_t *row_ids = w->hi + off;
    uint8_t *row_flags = w->hf + off;
    long upd = 0;
    for (int a = 0; a < k; ++a) {
        if (!w->sf[off + a]) continue;
        const int32_t j = w->sh[off + a];
        if (j < 0 || j >= n) continue;
        for (int b = 0; b < k; ++b) {
            const int32_t c = w->sh[(int64_t)j * k + b];
            if (c < 0 || c >= n || c == i) continue;
            float dc;
            sqd_rows(&w->v, i, &c, 1, &dc);
            upd += hpush(row_dist, row_ids, row_flags, k, c, dc);
        }
    }
    for (int a = 0; a < w->rcn[i]; ++a) {
        const int32_t c = w->revn[off + a];
        if (c < 0 || c >= n || c == i) continue;
        float dc;
        sqd_rows(&w->v, i, &c, 1, &dc);
        upd += hpush(row_dist, row_ids, row_flags, k, c, dc);
    }
    return upd;
}

// The gathered order of one row, with the same result as the plain one:
// the candidates are collected first (on finite data each id once, see
// below), their distances computed together, and then offered in the order
// collected.  stamp marks the ids offered to this row.
long desc_row_gathered(work *w, int i, uint32_t stamp) {
    const int n = w->n, k = w->k;
    const int64_t off = (int64_t)i * k;
    float *row_dist = w->hd + off;
    int32_t *row_ids = w->hi + off;
    uint8_t *row_flags = w->hf + off;
    // Why an id offered to this row once in this iteration can be skipped
    // (finite data, so every distance is a number >= 0, and the distance of
    // a pair is the same bits wherever it is computed):
    //  - the row's largest distance hd[0] never increases, since a push only
    //    replaces the largest entry by a smaller one;
    //  - an offer of c is rejected either because dc >= hd[0], which stays
    //    true, or because c is in the row with the same distance dc;
    //  - an id in the row with distance dc stays rejected: while present as
    //    a duplicate, and once pushed out (only the root leaves, and every
    //    remaining entry is <= dc) by dc >= hd[0].
    // The ids in the row when it is reached count as offered for the same
    // reason.  With NaN in play a NaN root can be replaced by a larger value,
    // so the skip is only taken on finite data.
    if (w->finite)
        for (int a = 0; a < k; ++a)
            if (row_ids[a] >= 0) offer_once(w, stamp, row_ids[a]);
    int ncand = 0;
    for (int a = 0; a < k; ++a) {
        if (!w->sf[off + a]) continue;
        const int32_t j = w->sh[off + a];
        if (j < 0 || j >= n) continue;
        const int32_t *neighbours_of_j = w->sh + (int64_t)j * k;
        for (int b = 0; b < k; ++b) {
            const int32_t c = neighbours_of_j[b];
            if (c < 0 || c >= n || c == i) continue;
            if (w->finite && !offer_once(w, stamp, c)) continue;
            w->cand[ncand++] = c;
        }
    }
    for (int a = 0; a < w->rcn[i]; ++a) {
        const int32_t c = w->revn[off + a];
        if (c < 0 || c >= n || c == i) continue;
        if (w->finite && !offer_once(w, stamp, c)) continue;
        w->cand[ncand++] = c;
    }
    // Distances do not depend on the row, so they are all computed ahead of
    // the pushes, which keep their order.
    sqd_rows(&w->v, i, w->cand, ncand, w->cdist);
    long upd = 0;
    for (int q = 0; q < ncand; ++q)
        upd += hpush(row_dist, row_ids, row_flags, k, w->cand[q], w->cdist[q]);
    return upd;
}

// Refines rows [i0, i1) against the snapshot; gathered when the thread has
// scratch, plain otherwise.
void *descworker(void *arg) {
    work *w = (work *)arg;
    long upd = 0;
    // Stamps are 1 + the row's position in this run, so no mark left from
    // an earlier run may match.
    if (w->cand && w->finite) std::memset(w->mark, 0, (size_t)w->n * sizeof(uint32_t));
    for (int pos = w->i0; pos < w->i1; ++pos) {
        // Stopped rows leave the table unfinished; the call's result is
        // discarded then.
        if (((pos - w->i0) & (kStopCheckRows - 1)) == 0 && run_stop_requested(w->control))
            break;
        const int i = w->order ? w->order[pos] : pos;
        if (w->cand)
            upd += desc_row_gathered(w, i, (uint32_t)(pos - w->i0) + 1u);
        else
            upd += desc_row_plain(w, i);
    }
    w->upd = upd;
    return nullptr;
}

// Properties of X: bit 0 of the result is set when every element is finite
// (exponent bits not all ones), bit 1 when every element is one of the
// integers 0 .. 255, -0 not included.  Branch-free so that it vectorises:
// adding and taking away 2^23 rounds a float in [0, 2^23) to an integer, and
// only the integers 0 .. 255 come back with their own bits and have bits no
// larger than those of 255.0f (negatives, NaN and infinities have larger
// ones, as unsigned integers).
int scan_data(const float *X, int64_t count) {
    uint32_t nonfinite = 0, nonbyte = 0;
    for (int64_t j = 0; j < count; ++j) {
        const float v = X[j];
        const float r = (v + 8388608.0f) - 8388608.0f;  // 2^23
        uint32_t b, rb;
        std::memcpy(&b, &v, sizeof b);
        std::memcpy(&rb, &r, sizeof rb);
        // 0x7F800000: the exponent bits; 0x437F0000: the bits of 255.0f.
        nonfinite |= (uint32_t)((b & 0x7F800000u) == 0x7F800000u);
        nonbyte |= (uint32_t)(rb != b) | (uint32_t)(b > 0x437F0000u);
    }
    return (nonfinite ? 0 : 1) | (nonbyte ? 0 : 2);
}

// Writes byte data X into the layout of v (see rows_view).
void pack_bytes(const float *X, int n, const rows_view &v, uint8_t *Xp) {
    const int d = v.d, nblk = d >> 3, rest = v.rest;
    // Chunks of `group` blocks, element e of block j of a chunk at e * group + j.
    const int group = v.quad ? 4 : 2, chunks = v.quad ? v.nquad : v.npair;
    for (int64_t i = 0; i < n; ++i) {
        const float *x = X + i * d;
        uint8_t *p = Xp + i * v.stride;
        int32_t sq[8] = {0, 0, 0, 0, 0, 0, 0, 0}, sum[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (int c = 0; c < chunks; ++c)
            for (int e = 0; e < 8; ++e)
                for (int j = 0; j < group; ++j) {
                    const int b = group * c + j;
                    const int32_t value = b < nblk ? (int32_t)x[8 * b + e] : 0;
                    p[8 * group * c + group * e + j] = (uint8_t)value;
                    sq[e] += value * value;
                    sum[e] += value;
                }
        for (int u = 0; u < rest; ++u) p[v.body + u] = (uint8_t)(int32_t)x[8 * nblk + u];
        if (v.quad) {
            const int64_t gap = v.sums - v.body - rest;  // alignment, never read
            std::memset(p + v.body + rest, 0, (size_t)gap);
            std::memcpy(p + v.sums, sq, sizeof sq);
            std::memcpy(p + v.sums + sizeof sq, sum, sizeof sum);
        }
    }
}

// The descent on renumbered points.  Point order[p] becomes point p: its row
// of X (or Xp) is copied to row p, its table row to row p, and every id in
// the table is renamed the same way.  A tree's leaf order puts neighbours
// next to each other, so a row's candidates, their rows of X and their rows
// of the table all lie close together in memory.  Nothing in the descent
// depends on id values except through equality, which renaming keeps, and
// through the order in which the reverse lists are gathered, which the
// driver keeps in the caller's numbering (inv).  All buffers are optional:
// if one is missing the descent runs on the caller's arrays instead.
struct renamed {
    int32_t *inv;   // inv[order[p]] = p; null when renaming is off
    int32_t *idx;   // the table renumbered: ids,
    float *dist;    // distances
    uint8_t *flag;  // and flags
    void *rows;     // renumbered X (floats) or Xp (bytes)
    rows_view v;    // the view on rows
};

void rename_free(renamed *r) {
    std::free(r->rows);
    std::free(r->flag);
    std::free(r->dist);
    std::free(r->idx);
    std::free(r->inv);
    r->rows = nullptr;
    r->flag = nullptr;
    r->dist = nullptr;
    r->idx = nullptr;
    r->inv = nullptr;
}

void rename_start(renamed *r, const rows_view &v, const int32_t *order, int n, int k,
                  const int32_t *idx, const float *dist, const uint8_t *flag) {
    const size_t nk = (size_t)n * (size_t)k;
    const size_t row_bytes = v.Xp ? (size_t)v.stride : (size_t)v.d * sizeof(float);
    r->inv = (int32_t *)std::malloc((size_t)n * sizeof(int32_t));
    r->idx = (int32_t *)std::malloc(nk * sizeof(int32_t));
    r->dist = (float *)std::malloc(nk * sizeof(float));
    r->flag = (uint8_t *)std::malloc(nk);
    r->rows = std::malloc((size_t)n * row_bytes);
    if (!r->inv || !r->idx || !r->dist || !r->flag || !r->rows) {
        rename_free(r);
        return;
    }
    for (int p = 0; p < n; ++p) r->inv[order[p]] = p;
    const char *src = v.Xp ? (const char *)v.Xp : (const char *)v.X;
    for (int p = 0; p < n; ++p) {
        std::memcpy((char *)r->rows + (size_t)p * row_bytes,
                    src + (size_t)order[p] * row_bytes, row_bytes);
        const int64_t from = (int64_t)order[p] * k, to = (int64_t)p * k;
        for (int j = 0; j < k; ++j) {
            const int32_t c = idx[from + j];
            r->idx[to + j] = c >= 0 && c < n ? r->inv[c] : c;
            r->dist[to + j] = dist[from + j];
            r->flag[to + j] = flag[from + j];
        }
    }
    r->v = v;
    if (v.Xp)
        r->v.Xp = (const uint8_t *)r->rows;
    else
        r->v.X = (const float *)r->rows;
}

void rename_finish(const renamed *r, const int32_t *order, int n, int k, int32_t *idx,
                   float *dist) {
    for (int p = 0; p < n; ++p) {
        const int64_t from = (int64_t)p * k, to = (int64_t)order[p] * k;
        for (int j = 0; j < k; ++j) {
            const int32_t c = r->idx[from + j];
            idx[to + j] = c >= 0 && c < n ? order[c] : c;
            dist[to + j] = r->dist[from + j];
        }
    }
}

// ---------------------------------------------------------------------------
// Thread phases

// Runs one phase: worker over records[0 .. count), each record on a thread of
// its own, started in record order.  A record whose thread cannot be created
// is worked in the calling thread at once, so a failed creation only moves
// work and never changes a result.  Returns when every started thread has
// been joined; each record's `started` says whether it had a thread.
template <typename Record>
void run_phase(void *(*worker)(void *), Record *records, pthread_t *threads, int count) {
    for (int e = 0; e < count; ++e) {
        records[e].started = pthread_create(&threads[e], nullptr, worker, &records[e]) == 0;
        if (!records[e].started) worker(&records[e]);
    }
    for (int e = 0; e < count; ++e)
        if (records[e].started) pthread_join(threads[e], nullptr);
}

// The contiguous split of total items over parts workers, in worker order:
// worker part gets [*begin, *end), and the first total % parts workers one
// item more than the others.  Every phase calls it with parts <= total, so
// no worker is left without items.
inline void split_range(int total, int parts, int part, int *begin, int *end) {
    const int base = total / parts, rem = total % parts;
    *begin = part * base + (part < rem ? part : rem);
    *end = *begin + base + (part < rem ? 1 : 0);
}

// ---------------------------------------------------------------------------
// The driver: buffers, the tree, merge and descent phases, and the exported
// entry that runs them in order.

// Tree thread e starts its random stream at seed ^ ((e + 1) * this): a fixed
// odd multiplier (0x9E37, the top 16 bits of sm64's increment) that gives
// every thread a stream of its own.  It is part of the result: another value
// changes every table.
constexpr uint64_t kTreeSeedMultiplier = 40503;

// The descent stops after an iteration that inserts fewer than this fraction
// of all n * k table slots (the count truncated toward zero).
constexpr double kStopFraction = 0.0002;

// Bits of scan_data's result.
enum { DATA_FINITE = 1, DATA_BYTES = 2 };

// What one call shares between its phases: sizes, data, thread counts, the
// output table, and the buffers the driver owns for the whole call.
struct knn_call {
    int n, d, k;
    int64_t slots;        // n * k: the entries of one neighbour table
    const float *X;
    rows_view rows;       // X as the distance kernels see it
    uint8_t *byte_rows;   // X as bytes behind rows.Xp, or null (owned)
    uint64_t *block_masks;  // float rows: their non-zero 8-blocks, or null (owned)
    int mask_words;         // words per row of block_masks
    int finite;           // 1 when every element of X is finite
    int tree_threads;     // min(threads, trees): one private table each
    int row_threads;      // min(threads, n): the merge and descent workers
    int32_t *leaf_order;  // the first tree thread's last leaf order, or null (owned)
    // The output table: the caller's ids and distances with the driver's flags.
    int32_t *knn_idx;
    float *knn_dist;
    uint8_t *live_flags;  // hf: 1 = new, inserted since the last snapshot
    // The descent's buffers, reused by every iteration.
    int32_t *snapshot_ids;    // sh: the table's ids when the iteration began
    uint8_t *snapshot_flags;  // sf: its flags then
    int32_t *reverse_ids;     // revn: row v lists up to k points holding v as new
    int *reverse_counts;      // rcn: the fill count of each reverse row (n entries)
    int64_t *control;         // the caller's control record, or null
};

void free_call_buffers(knn_call *c) {
    std::free(c->leaf_order);
    std::free(c->byte_rows);
    std::free(c->block_masks);
    std::free(c->reverse_counts);
    std::free(c->reverse_ids);
    std::free(c->snapshot_flags);
    std::free(c->snapshot_ids);
    std::free(c->live_flags);
}

// The flags and the descent's buffers, which the call cannot do without.
// Returns 0, or -2 with none of them left allocated.
int alloc_call_buffers(knn_call *c) {
    const size_t slots = (size_t)c->slots;
    c->live_flags = (uint8_t *)std::malloc(slots);
    c->snapshot_ids = (int32_t *)std::malloc(slots * sizeof(int32_t));
    c->snapshot_flags = (uint8_t *)std::malloc(slots);
    c->reverse_ids = (int32_t *)std::malloc(slots * sizeof(int32_t));
    c->reverse_counts = (int *)std::malloc((size_t)c->n * sizeof(int));
    if (c->live_flags && c->snapshot_ids && c->snapshot_flags && c->reverse_ids &&
        c->reverse_counts)
        return 0;
    free_call_buffers(c);
    return -2;
}

// The view of X for the distance kernels.  With AVX2 (or AVX-512) and data
// of bytes it also holds a copy of X in the byte layout of the call's
// kernels (see rows_view), stored in *byte_rows; that copy only saves time,
// so when it cannot be allocated the float kernels run and give the same
// bits.
rows_view make_rows_view(const float *X, int n, int d, int isa, int bytes,
                         uint8_t **byte_rows) {
    rows_view v;
    v.X = X;
    v.d = d;
    v.isa = isa;
    v.Xp = nullptr;
    v.npair = ((d >> 3) + 1) >> 1;
    v.quad = isa == ISA_AVX512;
    v.nquad = ((d >> 3) + 3) >> 2;
    v.body = 16 * (int64_t)v.npair;
    v.rest = d - 8 * (d >> 3);
    v.sums = 0;
    v.stride = v.body + v.rest;
    if (v.quad) {
        v.body = 32 * (int64_t)v.nquad;
        v.sums = (v.body + v.rest + 3) & ~(int64_t)3;
        v.stride = v.sums + 16 * (int64_t)sizeof(int32_t);
    }
    *byte_rows = nullptr;
    // The AVX-512 rows carry 64 bytes of sums and whole chunks of four
    // blocks: for short rows (below 24 values) they would take more memory
    // than the float rows, and there is little integer work to gain.
    if (v.quad && v.stride > 4 * (int64_t)d) return v;
    if (has_avx2(isa) && bytes && (d >> 3) <= kMaxIntBlocks) {
        *byte_rows = (uint8_t *)std::malloc((size_t)n * (size_t)v.stride);
        if (*byte_rows) pack_bytes(X, n, v, *byte_rows);
        v.Xp = *byte_rows;
    }
    return v;
}

// Bit b of row i's words (words = ceil(d / 8 / 64) per row) is set when 8-block b
// of row i of X holds a value that is not zero (+0 or -0).  The leaves skip
// the blocks that are zero in all their rows (copy_leaf_rows).  Returns null
// when X has no whole 8-block, when fewer than a quarter of the blocks of
// sampled rows are zero, or when the masks cannot be allocated: they only
// save time.
uint64_t *block_masks(const float *X, int n, int d, int words) {
    const int nblk = d >> 3;
    if (nblk == 0) return nullptr;
    // A leaf keeps every block that any of its rows needs, so the masks pay
    // only where single rows have many zero blocks; a sample of rows tells.
    const int sample = n < 256 ? n : 256;
    int64_t zero = 0;
    for (int s = 0; s < sample; ++s) {
        const float *x = X + (int64_t)s * (n / sample) * d;
        for (int b = 0; b < nblk; ++b) zero += zero_block(x + 8 * b);
    }
    if (zero * 4 < (int64_t)sample * nblk) return nullptr;
    uint64_t *masks = (uint64_t *)std::calloc((size_t)n * (size_t)words, sizeof(uint64_t));
    if (!masks) return nullptr;
    for (int64_t i = 0; i < n; ++i) {
        const float *x = X + i * d;
        uint64_t *row = masks + i * words;
        for (int b = 0; b < nblk; ++b)
            row[b >> 6] |= (uint64_t)!zero_block(x + 8 * b) << (b & 63);
    }
    return masks;
}

// The private neighbour tables of the tree threads, one per thread, kept
// from the tree phase until the merge has been joined.
struct forest_tables {
    int count;
    float **dist;     // thd: per thread, n * k distances
    int32_t **ids;    // thi: per thread, n * k ids
    uint8_t **flags;  // thf: per thread, n * k flags (never read by the merge)
};

void free_forest_tables(forest_tables *f) {
    if (f->dist && f->ids && f->flags)
        for (int e = 0; e < f->count; ++e) {
            std::free(f->flags[e]);
            std::free(f->ids[e]);
            std::free(f->dist[e]);
        }
    std::free(f->flags);
    std::free(f->ids);
    std::free(f->dist);
}

// Returns 0, or -2 when a table could not be allocated (free_forest_tables
// releases what was, in either case).
int alloc_forest_tables(forest_tables *f, int count, int64_t slots) {
    f->count = count;
    f->dist = (float **)std::malloc((size_t)count * sizeof(float *));
    f->ids = (int32_t **)std::malloc((size_t)count * sizeof(int32_t *));
    f->flags = (uint8_t **)std::malloc((size_t)count * sizeof(uint8_t *));
    if (!f->dist || !f->ids || !f->flags) return -2;
    for (int e = 0; e < count; ++e) {
        f->dist[e] = nullptr;
        f->ids[e] = nullptr;
        f->flags[e] = nullptr;
    }
    for (int e = 0; e < count; ++e) {
        f->dist[e] = (float *)std::malloc((size_t)slots * sizeof(float));
        f->ids[e] = (int32_t *)std::malloc((size_t)slots * sizeof(int32_t));
        f->flags[e] = (uint8_t *)std::malloc((size_t)slots);
        if (!f->dist[e] || !f->ids[e] || !f->flags[e]) return -2;
    }
    return 0;
}

// Tree phase: the n_trees trees are split over the tree threads, and thread e
// builds its trees into private table e from its own seed.  Returns 0, or -2
// when the phase's thread or record array, or a thread's own scratch, could
// not be allocated.
int build_forest(const knn_call *c, const forest_tables *f, int n_trees, int leaf_size,
                 uint64_t seed) {
    const int count = c->tree_threads;
    pthread_t *threads = (pthread_t *)std::malloc((size_t)count * sizeof(pthread_t));
    treework *records = (treework *)std::malloc((size_t)count * sizeof(treework));
    int rc = -2;
    if (threads && records) {
        // A leaf may hold k + 1 points at least, so that a root small enough
        // to be a leaf fills every row.
        const int leaf = leaf_size > c->k + 1 ? leaf_size : c->k + 1;
        for (int e = 0; e < count; ++e) {
            treework *w = &records[e];
            split_range(n_trees, count, e, &w->t0, &w->t1);
            w->n = c->n;
            w->d = c->d;
            w->k = c->k;
            w->leaf = leaf;
            w->X = c->X;
            w->hd = f->dist[e];
            w->hi = f->ids[e];
            w->hf = f->flags[e];
            w->seed = seed ^ ((uint64_t)(e + 1) * kTreeSeedMultiplier);
            w->v = c->rows;
            w->finite = c->finite;
            w->masks = c->block_masks;
            w->mwords = c->mask_words;
            w->order = e == 0 ? c->leaf_order : nullptr;
            w->status = 0;
            w->control = c->control;
        }
        run_phase(treeworker, records, threads, count);
        rc = 0;
        for (int e = 0; e < count; ++e)
            if (records[e].status != 0) rc = -2;
    }
    std::free(records);
    std::free(threads);
    return rc;
}

// Merge phase: row i of the output table gets the best k of the rows i of all
// private tables, every entry flagged new.  The rows are split over the row
// threads.  Returns 0, or -2 when the phase's thread or record array could
// not be allocated.
int merge_forest(const knn_call *c, const forest_tables *f) {
    const int count = c->row_threads;
    pthread_t *threads = (pthread_t *)std::malloc((size_t)count * sizeof(pthread_t));
    mergework *records = (mergework *)std::malloc((size_t)count * sizeof(mergework));
    int rc = -2;
    if (threads && records) {
        for (int e = 0; e < count; ++e) {
            mergework *w = &records[e];
            split_range(c->n, count, e, &w->i0, &w->i1);
            w->k = c->k;
            w->P = f->count;
            w->thd = f->dist;
            w->thi = f->ids;
            w->hd = c->knn_dist;
            w->hi = c->knn_idx;
            w->hf = c->live_flags;
        }
        run_phase(mergeworker, records, threads, count);
        rc = 0;
    }
    std::free(records);
    std::free(threads);
    return rc;
}

// The table the descent works on: the caller's, or its renumbered copy.
struct table_ptrs {
    float *dist;
    int32_t *ids;
    uint8_t *flags;
};

// The most candidates one row can collect: k new neighbours with k
// neighbours each, and k reverse ones.
inline size_t candidate_capacity(int k) { return (size_t)k * (size_t)k + (size_t)k; }

// Optional scratch of one descent worker, in bytes: ids and distances of one
// row's candidates, then a mark per point.  Four-byte items throughout, so
// every part stays aligned.
inline size_t descent_scratch_bytes(int n, int k) {
    return candidate_capacity(k) * (sizeof(int32_t) + sizeof(float)) +
           (size_t)n * sizeof(uint32_t);
}

// One descent record per row thread: its rows, the shared buffers, the table
// and its slice of scratch, or no scratch (the plain path, same result).
void fill_descent_records(const knn_call *c, const renamed *r, table_ptrs table, char *scratch,
                          work *records, int count) {
    const size_t per_worker = descent_scratch_bytes(c->n, c->k);
    const size_t candidates = candidate_capacity(c->k);
    for (int e = 0; e < count; ++e) {
        work *w = &records[e];
        split_range(c->n, count, e, &w->i0, &w->i1);
        w->n = c->n;
        w->d = c->d;
        w->k = c->k;
        w->X = c->X;
        w->sh = c->snapshot_ids;
        w->sf = c->snapshot_flags;
        w->revn = c->reverse_ids;
        w->rcn = c->reverse_counts;
        w->hd = table.dist;
        w->hi = table.ids;
        w->hf = table.flags;
        w->upd = 0;
        w->v = r->inv ? r->v : c->rows;
        // Renumbered rows are already in leaf order.
        w->order = r->inv ? nullptr : c->leaf_order;
        w->finite = c->finite;
        w->control = c->control;
        w->cand = nullptr;
        w->cdist = nullptr;
        w->mark = nullptr;
        if (scratch) {
            char *p = scratch + per_worker * (size_t)e;
            w->cand = (int32_t *)p;
            p += candidates * sizeof(int32_t);
            w->cdist = (float *)p;
            p += candidates * sizeof(float);
            w->mark = (uint32_t *)p;
        }
    }
}

// Starts an iteration: the snapshot takes the table's ids and flags, and the
// live flags are cleared, so that what this iteration inserts is what the
// next one sees as new.
void take_snapshot(const knn_call *c, table_ptrs table) {
    const size_t slots = (size_t)c->slots;
    std::memcpy(c->snapshot_ids, table.ids, slots * sizeof(int32_t));
    std::memcpy(c->snapshot_flags, table.flags, slots);
    std::memset(table.flags, 0, slots);
}

// Reverse lists of the snapshot: for each new entry v of row j, j joins
// reverse row v.  Only new entries are reversed, the first k per row in (j,
// l) order, with j in the caller's numbering (inv maps it to a renumbered
// row; null when there is no renumbering).
void gather_reverse_lists(const knn_call *c, const int32_t *inv) {
    const int n = c->n, k = c->k;
    int *counts = c->reverse_counts;
    std::memset(counts, 0, (size_t)n * sizeof(int));
    for (int jo = 0; jo < n; ++jo) {
        const int j = inv ? inv[jo] : jo;
        const int64_t off = (int64_t)j * k;
        for (int l = 0; l < k; ++l) {
            if (!c->snapshot_flags[off + l]) continue;
            const int32_t v = c->snapshot_ids[off + l];
            if (v >= 0 && v < n && counts[v] < k) {
                c->reverse_ids[(int64_t)v * k + counts[v]] = j;
                counts[v] += 1;
            }
        }
    }
}

// The iterations, at most max(n_iters, 1), each a snapshot, the reverse
// lists and one run of the descent workers; they stop after an iteration
// that inserts fewer than kStopFraction of the table's slots.
void descent_iterations(const knn_call *c, const int32_t *inv, table_ptrs table, work *records,
                        pthread_t *threads, int count, int n_iters) {
    const int iters = n_iters > 1 ? n_iters : 1;
    const int64_t threshold = (int64_t)(((double)c->n * (double)c->k) * kStopFraction);
    run_set(c->control, RUN_ITERS_TOTAL, iters);
    run_set(c->control, RUN_PHASE, RUN_PHASE_DESCENT);
    for (int it = 0; it < iters && !run_stop_requested(c->control); ++it) {
        take_snapshot(c, table);
        gather_reverse_lists(c, inv);
        for (int e = 0; e < count; ++e) records[e].upd = 0;
        run_phase(descworker, records, threads, count);
        int64_t inserted = 0;
        for (int e = 0; e < count; ++e) inserted += records[e].upd;
        run_set(c->control, RUN_ITERS_DONE, it + 1);
        if (inserted < threshold) break;
    }
}

// Descent phase: NN-descent refines the merged table in place, on renumbered
// points where it can (see renamed).  Without its thread and record arrays
// it is skipped, and the call still succeeds with the merged table; its
// other buffers only save time.
void refine_by_descent(const knn_call *c, int n_iters) {
    const int count = c->row_threads;
    pthread_t *threads = (pthread_t *)std::malloc((size_t)count * sizeof(pthread_t));
    work *records = (work *)std::malloc((size_t)count * sizeof(work));
    if (threads && records) {
        char *scratch = (char *)std::malloc(descent_scratch_bytes(c->n, c->k) * (size_t)count);
        renamed r = {};
        if (c->leaf_order)
            rename_start(&r, c->rows, c->leaf_order, c->n, c->k, c->knn_idx, c->knn_dist,
                         c->live_flags);
        const table_ptrs table = r.inv ? table_ptrs{r.dist, r.idx, r.flag}
                                       : table_ptrs{c->knn_dist, c->knn_idx, c->live_flags};
        fill_descent_records(c, &r, table, scratch, records, count);
        descent_iterations(c, r.inv, table, records, threads, count, n_iters);
        if (r.inv) rename_finish(&r, c->leaf_order, c->n, c->k, c->knn_idx, c->knn_dist);
        rename_free(&r);
        std::free(scratch);
    }
    std::free(records);
    std::free(threads);
}

}  // namespace

// The driver with a control record (run_control.h): a stop request ends the
// call after the phase or the part of one it interrupts.
int vorlix_knn_descent_control_f32(int n_cells, int n_dims, int k, const float *X, int n_trees,
                                   int n_iters, int leaf_size, uint64_t seed, int32_t *knn_idx,
                                   float *knn_dist, int n_threads, int64_t *control) {
    if (n_cells <= 0 || n_dims <= 0 || k <= 0 || k >= n_cells) return -1;
    knn_call c = {};
    c.control = control;
    c.n = n_cells;
    c.d = n_dims;
    c.k = k;
    c.slots = (int64_t)n_cells * k;
    c.X = X;
    c.knn_idx = knn_idx;
    c.knn_dist = knn_dist;
    if (alloc_call_buffers(&c) != 0) return -2;

    const long threads = n_threads > 0 ? (long)n_threads : vorlix_native_online_cpus();
    if (n_trees <= 0) n_trees = 1;
    // Both at least 1: threads, n_trees and n all are.
    c.tree_threads = threads < (long)n_trees ? (int)threads : n_trees;
    c.row_threads = threads < (long)c.n ? (int)threads : c.n;
    const int data = scan_data(X, (int64_t)c.n * c.d);
    c.finite = data & DATA_FINITE;
    c.rows = make_rows_view(X, c.n, c.d, resolve_isa(), data & DATA_BYTES, &c.byte_rows);
    c.mask_words = ((c.d >> 3) + 63) >> 6;
    if (!c.rows.Xp) c.block_masks = block_masks(X, c.n, c.d, c.mask_words);
    // Optional: the descent without it visits rows in plain order.
    c.leaf_order = (int32_t *)std::malloc((size_t)c.n * sizeof(int32_t));

    forest_tables forest;
    int rc = alloc_forest_tables(&forest, c.tree_threads, c.slots);
    run_set(control, RUN_TREES_TOTAL, n_trees);
    run_set(control, RUN_PHASE, RUN_PHASE_TREES);
    if (rc == 0) rc = build_forest(&c, &forest, n_trees, leaf_size, seed);
    if (rc == 0 && run_stop_requested(control)) rc = RUN_STATUS_STOPPED;
    if (rc == 0) {
        run_set(control, RUN_PHASE, RUN_PHASE_MERGE);
        rc = merge_forest(&c, &forest);
    }
    free_forest_tables(&forest);
    if (rc == 0) refine_by_descent(&c, n_iters);
    if (rc == 0 && run_stop_requested(control)) rc = RUN_STATUS_STOPPED;
    free_call_buffers(&c);
    return rc;
}

extern "C" QUELMO_API int vorlix_knn_descent_f32(int n_cells, int n_dims, int k, const float *X,
                                                 int n_trees, int n_iters, int leaf_size,
                                                 uint64_t seed, int32_t *knn_idx,
                                                 float *knn_dist, int n_threads) {
    return vorlix_knn_descent_control_f32(n_cells, n_dims, k, X, n_trees, n_iters, leaf_size,
                                          seed, knn_idx, knn_dist, n_threads, nullptr);
}
