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

#include "quelmo_kernels.h"
#include "knn.h"

#include <pthread.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if !defined(QUELMO_KNN_NO_SIMD) && (defined(__x86_64__) || defined(__i386__))
#define QUELMO_KNN_X86 1
#include <immintrin.h>
#elif !defined(QUELMO_KNN_NO_SIMD) && defined(__aarch64__) && defined(__ARM_NEON)
#define QUELMO_KNN_NEON 1
#include <arm_neon.h>
#endif

namespace {

// Distance kernel realisations; the choice is made once per call.
enum { ISA_PORTABLE = 0, ISA_AVX2 = 1, ISA_NEON = 2 };

// Value of an empty slot: larger than any distance worth keeping, and finite
// so that it compares normally.
constexpr float kEmptyDist = 1e30f;

// Largest copy of one leaf's rows that a tree thread keeps, in floats.
constexpr int64_t kLeafBufFloats = (int64_t)1 << 21;

// ---------------------------------------------------------------------------
// Neighbour heap

// Offers candidate c at distance dc to one row (a max-heap on hd of length k).
// Returns 1 when inserted.  The distance test comes first and is an ordered
// comparison, so a NaN distance passes it; an id already in the row is never
// inserted twice, whatever its new distance.
inline int hpush(float *hd, int32_t *hi, uint8_t *hf, int k, int32_t c, float dc) {
    if (dc >= hd[0]) return 0;
    for (int j = 0; j < k; ++j)
        if (hi[j] == c) return 0;
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

// The data matrix as the distance kernels see it.  Xb, when present, is X as
// bytes: X holds only the integers 0 .. 255 (no -0), so the bytes convert
// back to exactly the same floats while a row costs a quarter of the memory
// traffic.  Only the AVX2 kernels read it.
struct rows_view {
    const float *X;
    int d;
    int isa;
    const uint8_t *Xb;
};

#if defined(QUELMO_KNN_X86)
// One 8-lane register holds A0 in its low half and A1 in its high half, so a
// single fused step advances both accumulators exactly as the portable loop
// does; several rows are evaluated at once, each with its own accumulators,
// because one chain alone is bound by the latency of the fused step.

__attribute__((target("avx2,fma"))) inline float reduce_avx2(__m256 acc, __m128 a0) {
    const __m128 a1 = _mm256_extractf128_ps(acc, 1);
    const __m128 s = _mm_add_ps(a1, a0);
    // Lanes 0 and 2 of h are S0 + S1 and S2 + S3.
    const __m128 h = _mm_add_ps(s, _mm_movehdup_ps(s));
    return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehl_ps(h, h)));
}

__attribute__((target("avx2,fma"), always_inline)) inline __m256 load8(const float *p) {
    return _mm256_loadu_ps(p);
}

__attribute__((target("avx2,fma"), always_inline)) inline __m256 load8(const uint8_t *p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *)p)));
}

__attribute__((target("avx2,fma"), always_inline)) inline __m128 load4(const float *p) {
    return _mm_loadu_ps(p);
}

__attribute__((target("avx2,fma"), always_inline)) inline __m128 load4(const uint8_t *p) {
    int32_t w;
    std::memcpy(&w, p, sizeof w);
    return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(w)));
}

inline float elem(const float *p) { return *p; }
inline float elem(const uint8_t *p) { return (float)*p; }

template <bool DOT>
__attribute__((target("avx2,fma"), always_inline)) inline __m256 step8(__m256 acc, __m256 x,
                                                                      __m256 y) {
    if (DOT) return _mm256_fmadd_ps(x, y, acc);
    const __m256 e = _mm256_sub_ps(x, y);
    return _mm256_fmadd_ps(e, e, acc);
}

template <bool DOT>
__attribute__((target("avx2,fma"), always_inline)) inline __m128 step4(__m128 acc, __m128 x,
                                                                      __m128 y) {
    if (DOT) return _mm_fmadd_ps(x, y, acc);
    const __m128 e = _mm_sub_ps(x, y);
    return _mm_fmadd_ps(e, e, acc);
}

// The unfused scalar tail: the product is rounded before it is added.
template <bool DOT>
inline float tail_term(float x, float y) {
    if (DOT) return x * y;
    const float e = x - y;
    return e * e;
}

// sqd (or dotp) of q with one row.
template <bool DOT, typename T>
__attribute__((target("avx2,fma"))) float one_avx2(const float *q, const T *r, int d) {
    __m256 c = _mm256_setzero_ps();
    int t = 0;
    for (; t + 8 <= d; t += 8) c = step8<DOT>(c, _mm256_loadu_ps(q + t), load8(r + t));
    __m128 l = _mm256_castps256_ps128(c);
    if (t + 4 <= d) {
        l = step4<DOT>(l, _mm_loadu_ps(q + t), load4(r + t));
        t += 4;
    }
    float s = reduce_avx2(c, l);
    for (; t < d; ++t) s = s + tail_term<DOT>(q[t], elem(r + t));
    return s;
}

// sqd (or dotp) of q with four rows.
template <bool DOT, typename T>
__attribute__((target("avx2,fma"))) void four_avx2(const float *q, const T *r0, const T *r1,
                                                   const T *r2, const T *r3, int d,
                                                   float *out) {
    __m256 c0 = _mm256_setzero_ps(), c1 = _mm256_setzero_ps();
    __m256 c2 = _mm256_setzero_ps(), c3 = _mm256_setzero_ps();
    int t = 0;
    for (; t + 8 <= d; t += 8) {
        const __m256 x = _mm256_loadu_ps(q + t);
        c0 = step8<DOT>(c0, x, load8(r0 + t));
        c1 = step8<DOT>(c1, x, load8(r1 + t));
        c2 = step8<DOT>(c2, x, load8(r2 + t));
        c3 = step8<DOT>(c3, x, load8(r3 + t));
    }
    __m128 l0 = _mm256_castps256_ps128(c0), l1 = _mm256_castps256_ps128(c1);
    __m128 l2 = _mm256_castps256_ps128(c2), l3 = _mm256_castps256_ps128(c3);
    if (t + 4 <= d) {
        const __m128 x = _mm_loadu_ps(q + t);
        l0 = step4<DOT>(l0, x, load4(r0 + t));
        l1 = step4<DOT>(l1, x, load4(r1 + t));
        l2 = step4<DOT>(l2, x, load4(r2 + t));
        l3 = step4<DOT>(l3, x, load4(r3 + t));
        t += 4;
    }
    float s0 = reduce_avx2(c0, l0), s1 = reduce_avx2(c1, l1);
    float s2 = reduce_avx2(c2, l2), s3 = reduce_avx2(c3, l3);
    for (; t < d; ++t) {
        s0 = s0 + tail_term<DOT>(q[t], elem(r0 + t));
        s1 = s1 + tail_term<DOT>(q[t], elem(r1 + t));
        s2 = s2 + tail_term<DOT>(q[t], elem(r2 + t));
        s3 = s3 + tail_term<DOT>(q[t], elem(r3 + t));
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
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
    __m128 la[4] = {_mm256_castps256_ps128(a0), _mm256_castps256_ps128(a1),
                    _mm256_castps256_ps128(a2), _mm256_castps256_ps128(a3)};
    __m128 lb[4] = {_mm256_castps256_ps128(b0), _mm256_castps256_ps128(b1),
                    _mm256_castps256_ps128(b2), _mm256_castps256_ps128(b3)};
    if (t + 4 <= d) {
        const __m128 x0 = _mm_loadu_ps(q0 + t), x1 = _mm_loadu_ps(q1 + t);
        for (int j = 0; j < 4; ++j) {
            const __m128 y = _mm_loadu_ps(r[j] + t);
            la[j] = step4<false>(la[j], x0, y);
            lb[j] = step4<false>(lb[j], x1, y);
        }
        t += 4;
    }
    const __m256 ha[4] = {a0, a1, a2, a3}, hb[4] = {b0, b1, b2, b3};
    for (int j = 0; j < 4; ++j) {
        float sa = reduce_avx2(ha[j], la[j]), sb = reduce_avx2(hb[j], lb[j]);
        for (int u = t; u < d; ++u) {
            sa = sa + tail_term<false>(q0[u], r[j][u]);
            sb = sb + tail_term<false>(q1[u], r[j][u]);
        }
        o0[j] = sa;
        o1[j] = sb;
    }
}

template <bool DOT, typename T>
__attribute__((target("avx2,fma"))) void rows_avx2(const T *X, int d, const float *q,
                                                    const int32_t *ids, int cnt, float *out) {
    int j = 0;
    for (; j + 4 <= cnt; j += 4)
        four_avx2<DOT, T>(q, X + (int64_t)ids[j] * d, X + (int64_t)ids[j + 1] * d,
                          X + (int64_t)ids[j + 2] * d, X + (int64_t)ids[j + 3] * d, d, out + j);
    for (; j < cnt; ++j) out[j] = one_avx2<DOT, T>(q, X + (int64_t)ids[j] * d, d);
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

// out[j] = sqd(q, X row ids[j]) for j in [0, cnt).  sqd is symmetric in its
// operands bit for bit (a - b is exactly -(b - a)), so which of the two
// points is the query does not matter.
inline void sqd_rows(const rows_view *v, const float *q, const int32_t *ids, int cnt,
                     float *out) {
#if defined(QUELMO_KNN_X86)
    if (v->isa == ISA_AVX2) {
        if (v->Xb)
            rows_avx2<false, uint8_t>(v->Xb, v->d, q, ids, cnt, out);
        else
            rows_avx2<false, float>(v->X, v->d, q, ids, cnt, out);
        return;
    }
#elif defined(QUELMO_KNN_NEON)
    if (v->isa == ISA_NEON) {
        for (int j = 0; j < cnt; ++j) out[j] = one_neon<false>(q, v->X + (int64_t)ids[j] * v->d, v->d);
        return;
    }
#endif
    for (int j = 0; j < cnt; ++j) out[j] = sqd(q, v->X + (int64_t)ids[j] * v->d, v->d);
}

// out[j] = dotp(X row ids[j], q); the fused product is symmetric in its
// factors, so the operand order does not matter.
inline void dotp_rows(const rows_view *v, const float *q, const int32_t *ids, int cnt,
                      float *out) {
#if defined(QUELMO_KNN_X86)
    if (v->isa == ISA_AVX2) {
        if (v->Xb)
            rows_avx2<true, uint8_t>(v->Xb, v->d, q, ids, cnt, out);
        else
            rows_avx2<true, float>(v->X, v->d, q, ids, cnt, out);
        return;
    }
#elif defined(QUELMO_KNN_NEON)
    if (v->isa == ISA_NEON) {
        for (int j = 0; j < cnt; ++j) out[j] = one_neon<true>(v->X + (int64_t)ids[j] * v->d, q, v->d);
        return;
    }
#endif
    for (int j = 0; j < cnt; ++j) out[j] = dotp(v->X + (int64_t)ids[j] * v->d, q, v->d);
}

// All distances of a leaf whose rows L (m rows, contiguous floats) are in
// cache: da[b] = sqd(row a, row b) for b in (a, m), and, when a + 1 < m,
// db[b] = sqd(row a + 1, row b) for b in (a + 1, m).
inline void leaf_rows(int isa, const float *L, int m, int d, int a, float *da, float *db) {
    if (a + 1 >= m) return;
    const float *qa = L + (int64_t)a * d;
    const float *qb = L + (int64_t)(a + 1) * d;
#if defined(QUELMO_KNN_X86)
    if (isa == ISA_AVX2) {
        const rows_view lv = {L, d, isa, nullptr};
        const int32_t next = a + 1;
        sqd_rows(&lv, qa, &next, 1, da + a + 1);
        int b = a + 2;
        for (; b + 4 <= m; b += 4) {
            const float *r[4] = {L + (int64_t)b * d, L + (int64_t)(b + 1) * d,
                                 L + (int64_t)(b + 2) * d, L + (int64_t)(b + 3) * d};
            tile_avx2(qa, qb, r, d, da + b, db + b);
        }
        for (; b < m; ++b) {
            da[b] = one_avx2<false, float>(qa, L + (int64_t)b * d, d);
            db[b] = one_avx2<false, float>(qb, L + (int64_t)b * d, d);
        }
        return;
    }
#endif
    const rows_view lv = {L, d, isa, nullptr};
    for (int b = a + 1; b < m; ++b) {
        const int32_t rb = b;
        sqd_rows(&lv, qa, &rb, 1, da + b);
        if (b > a + 1) sqd_rows(&lv, qb, &rb, 1, db + b);
    }
}

inline int resolve_isa() {
#if defined(QUELMO_KNN_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return ISA_AVX2;
    return ISA_PORTABLE;
#elif defined(QUELMO_KNN_NEON)
    return ISA_NEON;
#else
    return ISA_PORTABLE;
#endif
}

// Row i of X as floats into dst: from the byte copy where there is one (the
// values are the same), which costs a quarter of the memory traffic.
inline void load_row(const rows_view *v, int64_t i, float *dst) {
    const int d = v->d;
    if (v->Xb) {
        const uint8_t *src = v->Xb + i * d;
        for (int t = 0; t < d; ++t) dst[t] = (float)src[t];
    } else {
        std::memcpy(dst, v->X + i * d, (size_t)d * sizeof(float));
    }
}

// ---------------------------------------------------------------------------
// Random stream

inline uint64_t sm64(uint64_t *s) {
    *s += 0x9E3779B97F4A7C15ULL;
    uint64_t z = *s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

inline uint64_t draw_below(uint64_t *s, uint64_t m) { return sm64(s) % m; }

// ---------------------------------------------------------------------------
// Random-projection forest

struct rpx {
    int n, d, k, leaf;
    const float *X;
    float *hd;
    int32_t *hi;
    uint8_t *hf;
    double *pv;
    // Thread scratch: the split direction (d floats; it is needed only before
    // the recursive calls, so one vector serves every depth) with room for a
    // second row, and, when a leaf of lcap rows fits, the leaf's rows as
    // floats (lbuf) and two rows of its distances (ldist, 2 * lcap).
    float *dir;
    float *lbuf;
    float *ldist;
    int lcap;
    rows_view v;
};

struct treework {
    int t0, t1;
    int n, d, k, leaf;
    const float *X;
    float *hd;
    int32_t *hi;
    uint8_t *hf;
    uint64_t seed;
    int isa;
    const uint8_t *Xb;  // X as bytes, or null
    int32_t *order;     // receives the last tree's leaf order, or null
    int status;         // 0, or -2 when the thread's scratch could not be allocated
    int started;        // 1 when running on its own thread, to be joined
};

struct mergework {
    int i0, i1, k, P;
    float **thd;
    int32_t **thi;
    float *hd;
    int32_t *hi;
    uint8_t *hf;
    int started;
};

// Reorders pv[0 .. n-1] with idx so that the entry of rank target sits at
// target, everything before it not greater and everything after not smaller.
void qselect(double *pv, int32_t *idx, int n, int target, uint64_t *rng) {
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        const int p = lo + (int)draw_below(rng, (uint64_t)(hi - lo + 1));
        const double pivot = pv[p];
        double tv = pv[p];
        pv[p] = pv[lo];
        pv[lo] = tv;
        int32_t ti = idx[p];
        idx[p] = idx[lo];
        idx[lo] = ti;
        int store = lo;
        for (int i = lo + 1; i <= hi; ++i) {
            if (pv[i] < pivot) {
                ++store;
                tv = pv[store];
                pv[store] = pv[i];
                pv[i] = tv;
                ti = idx[store];
                idx[store] = idx[i];
                idx[i] = ti;
            }
        }
        tv = pv[lo];
        pv[lo] = pv[store];
        pv[store] = tv;
        ti = idx[lo];
        idx[lo] = idx[store];
        idx[store] = ti;
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

// All pairs of one leaf, a ascending and b ascending within it, each pair
// offered to both rows.  Distances do not depend on the table, so they are
// computed ahead, two values of a at a time; only the order of the pushes
// matters, and it is kept.  The leaf's rows are first copied into thread
// scratch, where its m (m - 1) / 2 distances find them in cache.
void leaf_pairs(rpx *c, const int32_t *ids, int m) {
    const int d = c->d;
    if (!c->lbuf || m > c->lcap) {
        for (int a = 0; a + 1 < m; ++a) {
            const float *q = c->X + (int64_t)ids[a] * d;
            for (int b = a + 1; b < m; ++b) {
                float dd;
                sqd_rows(&c->v, q, ids + b, 1, &dd);
                push_pair(c, ids[a], ids[b], dd);
            }
        }
        return;
    }
    for (int a = 0; a < m; ++a) load_row(&c->v, ids[a], c->lbuf + (int64_t)a * d);
    float *da = c->ldist, *db = c->ldist + c->lcap;
    for (int a = 0; a + 1 < m; a += 2) {
        leaf_rows(c->v.isa, c->lbuf, m, d, a, da, db);
        for (int b = a + 1; b < m; ++b) push_pair(c, ids[a], ids[b], da[b]);
        for (int b = a + 2; b < m; ++b) push_pair(c, ids[a + 1], ids[b], db[b]);
    }
}

void rp(rpx *c, int32_t *idx, int lo, int hi, uint64_t *rng) {
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
    const int d = c->d;
    float *xa = c->dir + d;
    load_row(&c->v, idx[lo + ia], xa);
    load_row(&c->v, idx[lo + ib], c->dir);
    for (int t = 0; t < d; ++t) c->dir[t] = c->dir[t] - xa[t];
    // Projections in chunks through a fixed buffer, widened to double.
    float chunk[64];
    for (int i = 0; i < m; i += 64) {
        const int cnt = m - i < 64 ? m - i : 64;
        dotp_rows(&c->v, c->dir, idx + lo + i, cnt, chunk);
        for (int j = 0; j < cnt; ++j) c->pv[i + j] = (double)chunk[j];
    }
    const int mid = m / 2;
    qselect(c->pv, idx + lo, m, mid, rng);
    rp(c, idx, lo, lo + mid, rng);
    rp(c, idx, lo + mid, hi, rng);
}

void *treeworker(void *arg) {
    treework *w = (treework *)arg;
    const int n = w->n, d = w->d;
    row_clear(w->hd, w->hi, w->hf, (int64_t)n * w->k);
    int32_t *idx = (int32_t *)std::malloc((size_t)n * sizeof(int32_t));
    double *pv = (double *)std::malloc((size_t)n * sizeof(double));
    float *dir = (float *)std::malloc(2 * (size_t)d * sizeof(float));
    // The leaf copy only saves time; without it (a leaf too large for a
    // modest buffer, or no memory) the leaves read X directly.
    const int lcap = w->leaf < n ? w->leaf : n;
    float *lbuf = nullptr;
    if ((int64_t)lcap * (d + 2) <= kLeafBufFloats)
        lbuf = (float *)std::malloc((size_t)lcap * ((size_t)d + 2) * sizeof(float));
    if (idx && pv && dir) {
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
        c.lbuf = lbuf;
        c.ldist = lbuf ? lbuf + (int64_t)lcap * d : nullptr;
        c.lcap = lcap;
        c.v.X = w->X;
        c.v.d = d;
        c.v.isa = w->isa;
        c.v.Xb = w->Xb;
        uint64_t rng = w->seed;
        for (int t = w->t0; t < w->t1; ++t) {
            for (int i = 0; i < n; ++i) idx[i] = i;
            for (int i = n - 1; i >= 1; --i) {
                const int j = (int)draw_below(&rng, (uint64_t)i + 1);
                const int32_t tmp = idx[i];
                idx[i] = idx[j];
                idx[j] = tmp;
            }
            rp(&c, idx, 0, n, &rng);
        }
        if (w->order) std::memcpy(w->order, idx, (size_t)n * sizeof(int32_t));
        w->status = 0;
    } else {
        w->status = -2;
    }
    std::free(lbuf);
    std::free(dir);
    std::free(pv);
    std::free(idx);
    return nullptr;
}

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

struct work {
    int i0, i1, n, d, k;
    const float *X;
    const int32_t *sh;
    const uint8_t *sf;
    const int32_t *revn;
    const int *rcn;
    float *hd;
    int32_t *hi;
    uint8_t *hf;
    long upd;
    int isa;
    const uint8_t *Xb;  // X as bytes, or null
    // Rows are visited as order[i0 .. i1) (see the driver), or i0 .. i1
    // when order is null.
    const int32_t *order;
    // Thread scratch, or null for the plain path: candidate ids and their
    // distances (k * k + k each), the row as floats (d), and an
    // open-addressing set of the ids offered to the current row (2^hbits
    // slots; a slot is live when its stamp equals the row's stamp).
    int32_t *cand;
    float *cdist;
    float *xrow;
    int32_t *hkey;
    uint32_t *hstamp;
    int hbits;
    int finite;   // 1 when X is finite: offered ids may be skipped
    int started;  // 1 when running on its own thread, to be joined
};

// Inserts c into the offered set of the row with this stamp; returns 1 when c
// was not there yet.  At most half of the slots are ever live, so probing ends.
inline int offer_once(work *w, uint32_t stamp, int32_t c) {
    const uint32_t mask = (1u << w->hbits) - 1u;
    uint32_t h = ((uint32_t)c * 0x9E3779B1u) >> (32 - w->hbits);
    for (;;) {
        if (w->hstamp[h] != stamp) {
            w->hstamp[h] = stamp;
            w->hkey[h] = c;
            return 1;
        }
        if (w->hkey[h] == c) return 0;
        h = (h + 1) & mask;
    }
}

// The plain order of one row: every candidate, repeats included, evaluated
// and offered as it comes.
long desc_row_plain(work *w, const rows_view *v, int i) {
    const int n = w->n, k = w->k;
    const int64_t off = (int64_t)i * k;
    const float *x = w->X + (int64_t)i * w->d;
    float *rd = w->hd + off;
    int32_t *ri = w->hi + off;
    uint8_t *rf = w->hf + off;
    long upd = 0;
    for (int a = 0; a < k; ++a) {
        if (!w->sf[off + a]) continue;
        const int32_t j = w->sh[off + a];
        if (j < 0 || j >= n) continue;
        for (int b = 0; b < k; ++b) {
            const int32_t c = w->sh[(int64_t)j * k + b];
            if (c < 0 || c >= n || c == i) continue;
            float dc;
            sqd_rows(v, x, &c, 1, &dc);
            upd += hpush(rd, ri, rf, k, c, dc);
        }
    }
    for (int a = 0; a < w->rcn[i]; ++a) {
        const int32_t c = w->revn[off + a];
        if (c < 0 || c >= n || c == i) continue;
        float dc;
        sqd_rows(v, x, &c, 1, &dc);
        upd += hpush(rd, ri, rf, k, c, dc);
    }
    return upd;
}

void *descworker(void *arg) {
    work *w = (work *)arg;
    const int n = w->n, k = w->k;
    const rows_view v = {w->X, w->d, w->isa, w->Xb};
    long upd = 0;
    if (w->cand && w->finite)
        std::memset(w->hstamp, 0, ((size_t)1 << w->hbits) * sizeof(uint32_t));
    for (int pos = w->i0; pos < w->i1; ++pos) {
        const int i = w->order ? w->order[pos] : pos;
        if (!w->cand) {
            upd += desc_row_plain(w, &v, i);
            continue;
        }
        const int64_t off = (int64_t)i * k;
        float *rd = w->hd + off;
        int32_t *ri = w->hi + off;
        uint8_t *rf = w->hf + off;
        // Why an id offered to this row once in this iteration can be
        // skipped (finite data, so every distance is a number >= 0, and the
        // distance of a pair is the same bits wherever it is computed):
        //  - the row's largest distance hd[0] never increases, since a push
        //    only replaces the largest entry by a smaller one;
        //  - an offer of c is rejected either because dc >= hd[0], which
        //    stays true, or because c is in the row with the same distance dc;
        //  - an id in the row with distance dc stays rejected: while present
        //    as a duplicate, and once pushed out (only the root leaves, and
        //    every remaining entry is <= dc) by dc >= hd[0].
        // The ids in the row when it is reached count as offered for the same
        // reason.  With NaN in play a NaN root can be replaced by a larger
        // value, so the skip is only taken on finite data.
        const uint32_t stamp = (uint32_t)(pos - w->i0) + 1u;
        if (w->finite)
            for (int a = 0; a < k; ++a)
                if (ri[a] >= 0) offer_once(w, stamp, ri[a]);
        int nc = 0;
        for (int a = 0; a < k; ++a) {
            if (!w->sf[off + a]) continue;
            const int32_t j = w->sh[off + a];
            if (j < 0 || j >= n) continue;
            const int32_t *nb = w->sh + (int64_t)j * k;
            for (int b = 0; b < k; ++b) {
                const int32_t c = nb[b];
                if (c < 0 || c >= n || c == i) continue;
                if (w->finite && !offer_once(w, stamp, c)) continue;
                w->cand[nc++] = c;
            }
        }
        for (int a = 0; a < w->rcn[i]; ++a) {
            const int32_t c = w->revn[off + a];
            if (c < 0 || c >= n || c == i) continue;
            if (w->finite && !offer_once(w, stamp, c)) continue;
            w->cand[nc++] = c;
        }
        // Distances do not depend on the row, so they are all computed ahead
        // of the pushes, which keep their order.
        load_row(&v, i, w->xrow);
        sqd_rows(&v, w->xrow, w->cand, nc, w->cdist);
        for (int q = 0; q < nc; ++q) upd += hpush(rd, ri, rf, k, w->cand[q], w->cdist[q]);
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
        const float r = (v + 8388608.0f) - 8388608.0f;
        uint32_t b, rb;
        std::memcpy(&b, &v, sizeof b);
        std::memcpy(&rb, &r, sizeof rb);
        nonfinite |= (uint32_t)((b & 0x7F800000u) == 0x7F800000u);
        nonbyte |= (uint32_t)(rb != b) | (uint32_t)(b > 0x437F0000u);
    }
    return (nonfinite ? 0 : 1) | (nonbyte ? 0 : 2);
}

// Runs fn(arg) on a new thread, or in the calling thread when no thread can
// be created.  Returns 1 when a thread was started (and must be joined).
int spawn_or_run(pthread_t *th, void *(*fn)(void *), void *arg) {
    if (pthread_create(th, nullptr, fn, arg) == 0) return 1;
    fn(arg);
    return 0;
}

}  // namespace

extern "C" QUELMO_API int vorlix_knn_descent_f32(int n_cells, int n_dims, int k, const float *X,
                                                 int n_trees, int n_iters, int leaf_size,
                                                 uint64_t seed, int32_t *knn_idx,
                                                 float *knn_dist, int n_threads) {
    if (n_cells <= 0 || n_dims <= 0 || k <= 0 || k >= n_cells) return -1;
    const int n = n_cells, d = n_dims;
    const size_t nk = (size_t)n * (size_t)k;

    uint8_t *hf = (uint8_t *)std::malloc(nk);
    int32_t *sh = (int32_t *)std::malloc(nk * sizeof(int32_t));
    uint8_t *sf = (uint8_t *)std::malloc(nk);
    int32_t *revn = (int32_t *)std::malloc(nk * sizeof(int32_t));
    int *rcn = (int *)std::malloc((size_t)n * sizeof(int));
    if (!hf || !sh || !sf || !revn || !rcn) {
        std::free(rcn);
        std::free(revn);
        std::free(sf);
        std::free(sh);
        std::free(hf);
        return -2;
    }

    const long eff = n_threads > 0 ? (long)n_threads : vorlix_native_online_cpus();
    if (n_trees <= 0) n_trees = 1;
    const int teff = eff < (long)n_trees ? (int)eff : n_trees;  // >= 1: both are
    const int isa = resolve_isa();
    const int flags = scan_data(X, (int64_t)n * d);
    const int finite = flags & 1;
    int rc = 0;

    // Two optional buffers that only save time: a byte copy of X where it is
    // exact, and the leaf order of the first tree thread's last tree, for the
    // descent.
    uint8_t *Xb = nullptr;
    if (isa == ISA_AVX2 && (flags & 2)) {
        Xb = (uint8_t *)std::malloc((size_t)n * (size_t)d);
        if (Xb)
            for (int64_t j = 0; j < (int64_t)n * d; ++j) Xb[j] = (uint8_t)(int32_t)X[j];
    }
    int32_t *order = (int32_t *)std::malloc((size_t)n * sizeof(int32_t));

    pthread_t *tth = (pthread_t *)std::malloc((size_t)teff * sizeof(pthread_t));
    treework *tw = (treework *)std::malloc((size_t)teff * sizeof(treework));
    float **thd = (float **)std::malloc((size_t)teff * sizeof(float *));
    int32_t **thi = (int32_t **)std::malloc((size_t)teff * sizeof(int32_t *));
    uint8_t **thf = (uint8_t **)std::malloc((size_t)teff * sizeof(uint8_t *));
    if (!tth || !tw || !thd || !thi || !thf) {
        rc = -2;
        goto free_tree_arrays;
    }
    for (int e = 0; e < teff; ++e) {
        thd[e] = nullptr;
        thi[e] = nullptr;
        thf[e] = nullptr;
        tw[e].started = 0;
    }

    {
        // Tree phase.  Every thread gets at least one tree (n_trees >= teff).
        const int leaf = leaf_size > k + 1 ? leaf_size : k + 1;
        const int base = n_trees / teff, rem = n_trees % teff;
        int t0 = 0;
        for (int e = 0; e < teff; ++e) {
            thd[e] = (float *)std::malloc(nk * sizeof(float));
            thi[e] = (int32_t *)std::malloc(nk * sizeof(int32_t));
            thf[e] = (uint8_t *)std::malloc(nk);
            if (!thd[e] || !thi[e] || !thf[e]) {
                rc = -2;
                break;
            }
            const int count = base + (e < rem ? 1 : 0);
            treework *w = &tw[e];
            w->t0 = t0;
            w->t1 = t0 + count;
            t0 += count;
            w->n = n;
            w->d = d;
            w->k = k;
            w->leaf = leaf;
            w->X = X;
            w->hd = thd[e];
            w->hi = thi[e];
            w->hf = thf[e];
            w->seed = seed ^ ((uint64_t)(e + 1) * 40503ULL);
            w->isa = isa;
            w->Xb = Xb;
            w->order = e == 0 ? order : nullptr;
            w->status = 0;
            if (count > 0) w->started = spawn_or_run(&tth[e], treeworker, w);
        }
        for (int e = 0; e < teff; ++e)
            if (tw[e].started) pthread_join(tth[e], nullptr);
        if (rc == 0)
            for (int e = 0; e < teff; ++e)
                if (tw[e].status != 0) rc = -2;
    }
    if (rc != 0) goto free_tables;

    {
        // Merge phase; the descent uses the same row split.
        const int meff = eff < (long)n ? (int)eff : n;
        pthread_t *mth = (pthread_t *)std::malloc((size_t)meff * sizeof(pthread_t));
        mergework *mw = (mergework *)std::malloc((size_t)meff * sizeof(mergework));
        if (!mth || !mw) {
            std::free(mw);
            std::free(mth);
            rc = -2;
            goto free_tables;
        }
        const int base = n / meff, rem = n % meff;
        int i0 = 0;
        for (int e = 0; e < meff; ++e) {
            const int rows = base + (e < rem ? 1 : 0);
            mergework *w = &mw[e];
            w->i0 = i0;
            w->i1 = i0 + rows;
            i0 += rows;
            w->k = k;
            w->P = teff;
            w->thd = thd;
            w->thi = thi;
            w->hd = knn_dist;
            w->hi = knn_idx;
            w->hf = hf;
            w->started = rows > 0 ? spawn_or_run(&mth[e], mergeworker, w) : 0;
        }
        for (int e = 0; e < meff; ++e)
            if (mw[e].started) pthread_join(mth[e], nullptr);
        std::free(mw);
        std::free(mth);
    }
    for (int e = 0; e < teff; ++e) {
        std::free(thf[e]);
        std::free(thi[e]);
        std::free(thd[e]);
        thd[e] = nullptr;
        thi[e] = nullptr;
        thf[e] = nullptr;
    }

    {
        // Descent.  Without its thread and record arrays the call still
        // succeeds with the merged forest table; without the optional scratch
        // it runs the plain path, which gives the same result.
        //
        // Within an iteration a row's outcome depends only on the snapshot
        // and on the row itself, so rows may be visited in any order and on
        // any thread.  Visiting them in a tree's leaf order puts neighbours
        // next to each other, and their shared candidates are still in cache.
        const int deff = eff < (long)n ? (int)eff : n;
        pthread_t *dth = (pthread_t *)std::malloc((size_t)deff * sizeof(pthread_t));
        work *dw = (work *)std::malloc((size_t)deff * sizeof(work));
        if (dth && dw) {
            // Distinct ids offered to one row: its k entries plus at most
            // k * k + k candidates, and never more than n.  The offered set
            // is kept at most half full.
            const size_t ncand = (size_t)k * (size_t)k + (size_t)k;
            const size_t distinct = ncand + (size_t)k < (size_t)n ? ncand + (size_t)k : (size_t)n;
            int hbits = 4;
            while (((size_t)1 << hbits) < 2 * distinct) ++hbits;
            const size_t hcap = (size_t)1 << hbits;
            const size_t per = ncand * (sizeof(int32_t) + sizeof(float)) +
                               (size_t)d * sizeof(float) +
                               hcap * (sizeof(int32_t) + sizeof(uint32_t));
            char *scratch = hbits <= 30 ? (char *)std::malloc(per * (size_t)deff) : nullptr;
            const int base = n / deff, rem = n % deff;
            for (int e = 0; e < deff; ++e) {
                work *w = &dw[e];
                w->n = n;
                w->d = d;
                w->k = k;
                w->X = X;
                w->sh = sh;
                w->sf = sf;
                w->revn = revn;
                w->rcn = rcn;
                w->hd = knn_dist;
                w->hi = knn_idx;
                w->hf = hf;
                w->isa = isa;
                w->Xb = Xb;
                w->order = order;
                w->hbits = hbits;
                w->finite = finite;
                w->cand = nullptr;
                w->cdist = nullptr;
                w->xrow = nullptr;
                w->hkey = nullptr;
                w->hstamp = nullptr;
                if (scratch) {
                    // Four-byte items throughout, so every part stays aligned.
                    char *p = scratch + per * (size_t)e;
                    w->cand = (int32_t *)p;
                    p += ncand * sizeof(int32_t);
                    w->cdist = (float *)p;
                    p += ncand * sizeof(float);
                    w->xrow = (float *)p;
                    p += (size_t)d * sizeof(float);
                    w->hkey = (int32_t *)p;
                    p += hcap * sizeof(int32_t);
                    w->hstamp = (uint32_t *)p;
                }
            }
            const int iters = n_iters > 1 ? n_iters : 1;
            const int64_t threshold = (int64_t)(((double)n * (double)k) * 0.0002);
            for (int it = 0; it < iters; ++it) {
                std::memcpy(sh, knn_idx, nk * sizeof(int32_t));
                std::memcpy(sf, hf, nk);
                std::memset(hf, 0, nk);
                std::memset(rcn, 0, (size_t)n * sizeof(int));
                // Only new forward entries are reversed, the first k per
                // target in (j, l) order.
                for (int j = 0; j < n; ++j) {
                    const int64_t off = (int64_t)j * k;
                    for (int l = 0; l < k; ++l) {
                        if (!sf[off + l]) continue;
                        const int32_t v = sh[off + l];
                        if (v >= 0 && v < n && rcn[v] < k) {
                            revn[(int64_t)v * k + rcn[v]] = j;
                            rcn[v] += 1;
                        }
                    }
                }
                int i0 = 0;
                for (int e = 0; e < deff; ++e) {
                    const int rows = base + (e < rem ? 1 : 0);
                    dw[e].i0 = i0;
                    dw[e].i1 = i0 + rows;
                    dw[e].upd = 0;
                    i0 += rows;
                    dw[e].started = rows > 0 ? spawn_or_run(&dth[e], descworker, &dw[e]) : 0;
                }
                int64_t upd = 0;
                for (int e = 0; e < deff; ++e) {
                    if (dw[e].started) pthread_join(dth[e], nullptr);
                    upd += dw[e].upd;
                }
                if (upd < threshold) break;
            }
            std::free(scratch);
        }
        std::free(dw);
        std::free(dth);
    }

free_tables:
    if (thd && thi && thf)
        for (int e = 0; e < teff; ++e) {
            std::free(thf[e]);
            std::free(thi[e]);
            std::free(thd[e]);
        }
free_tree_arrays:
    std::free(thf);
    std::free(thi);
    std::free(thd);
    std::free(tw);
    std::free(tth);
    std::free(order);
    std::free(Xb);
    std::free(rcn);
    std::free(revn);
    std::free(sf);
    std::free(sh);
    std::free(hf);
    return rc;
}
