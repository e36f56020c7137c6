// What the kNN distance kernels share across their realisations: the view
// of the data matrix and, on x86, the steps of the accumulator lane order
// (two 4-lane fused accumulators A0 and A1, the 4-block into A0, the
// reduction (S0 + S1) + (S2 + S3) of S = A1 + A0, an unfused scalar tail).
// Used by the kNN unit and by its AVX-512 realisation.
#ifndef QUELMO_KNN_LANES_H
#define QUELMO_KNN_LANES_H

#include <cstdint>
#include <cstring>

#if !defined(QUELMO_KNN_NO_SIMD) && (defined(__x86_64__) || defined(__i386__))
#define QUELMO_KNN_X86 1
#include <immintrin.h>
#endif

namespace quelmo_knn {

// Distance kernel realisations; the choice is made once per call.  AVX-512
// runs the AVX2 kernels too, wherever it has none of its own.
enum { ISA_PORTABLE = 0, ISA_AVX2 = 1, ISA_NEON = 2, ISA_AVX512 = 3 };

inline bool has_avx2(int isa) { return isa == ISA_AVX2 || isa == ISA_AVX512; }

// Asks for the first two cache lines of rows ids[from .. to) (to clipped to
// cnt) of a row-major set whose rows are row_bytes apart.  The kernels call
// it for the next group of rows: those lie anywhere in the set, and short
// rows are then wholly on their way before they are needed.
inline void prefetch_rows(const void *base, int64_t row_bytes, const int32_t *ids, int from,
                          int to, int cnt) {
    const char *set = (const char *)base;
    for (int u = from; u < to && u < cnt; ++u) {
        const char *row = set + (int64_t)ids[u] * row_bytes;
        __builtin_prefetch(row);
        __builtin_prefetch(row + 64);
    }
}

// The data matrix as the distance kernels see it.
//
// Xp, when present, holds X as bytes: X holds only the integers 0 .. 255
// (no -0), and the x86 kernels then accumulate in integers.  That gives the
// same bits as the fused float steps: every product (of two values of
// magnitude <= 255) and every partial sum of a lane is an integer of
// magnitude <= 2^24 (kMaxIntBlocks), which a float holds exactly, so no
// fused step ever rounds and each lane is just the exact sum of its
// products, in whatever order it is formed.  The 4-block, the reduction and
// the scalar tail then run in float as usual.
//
// Layout of a row of Xp (stride bytes) for the AVX2 kernels: the 8-blocks in
// pairs, 16 bytes per pair with the two blocks interleaved element by
// element (b0 c0 b1 c1 ... b7 c7, c all zero for an odd last block), then the
// rest elements after the last 8-block.  Widened to 16 bits, a pair chunk
// feeds one multiply-add of adjacent 16-bit lanes whose 32-bit lane p
// gathers exactly the two products that belong to accumulator lane p (A0 for
// p < 4, A1 for p >= 4).
//
// For the AVX-512 kernels (quad = 1): the 8-blocks in fours, 32 bytes per
// quad chunk holding element e of the four blocks in bytes 4e .. 4e + 3
// (blocks past the last all zero), so that a multiply-add of four adjacent
// bytes gathers in 32-bit lane e products of accumulator lane e alone; then
// the rest elements; then, at byte `sums`, the row's eight lane sums of
// squares and its eight lane sums (int32 each).
struct rows_view {
    const float *X;
    int d;
    int isa;
    const uint8_t *Xp;
    int64_t stride;
    int npair;     // pair chunks per row: 8-blocks / 2, rounded up
    int quad;      // 1: the AVX-512 layout
    int nquad;     // its quad chunks per row: 8-blocks / 4, rounded up
    int64_t body;  // bytes of a row's chunks, after which its rest elements follow
    int64_t sums;  // the lane sums' offset in a row (AVX-512 layout)
    int rest;      // d - 8 * (d / 8): elements after the last 8-block
};

// The 8-blocks a float kernel visits, by index: every block of the row in
// order (all_blocks), or the listed ones, ascending (listed_blocks).  A dotp
// may leave out the blocks in which one operand is all zeros as long as the
// other is finite: each product there is a zero, which leaves a lane as it was
// unless the lane is -0 (a negative product that underflowed) and the zero +0.
// So the result can differ only in the sign of a zero, and the projections of
// a split are only compared by value, where -0 equals +0.
struct all_blocks {
    int count;
    int operator()(int i) const { return i; }
};
struct listed_blocks {
    const int32_t *at;
    int count;
    int operator()(int i) const { return at[i]; }
};

// The rest elements of row i of Xp as floats (at most 7).
inline void rest_floats(const rows_view *v, int64_t i, float *qt) {
    const uint8_t *p = v->Xp + i * v->stride + v->body;
    for (int u = 0; u < v->rest; ++u) qt[u] = (float)p[u];
}

#if defined(QUELMO_KNN_X86)
// One 8-lane register holds A0 in its low half and A1 in its high half, so a
// single fused step advances both accumulators exactly as the portable loop
// does.

__attribute__((target("avx2,fma"))) inline float reduce_avx2(__m256 acc, __m128 a0) {
    const __m128 a1 = _mm256_extractf128_ps(acc, 1);
    const __m128 s = _mm_add_ps(a1, a0);
    // Lanes 0 and 2 of h are S0 + S1 and S2 + S3.
    const __m128 h = _mm_add_ps(s, _mm_movehdup_ps(s));
    return _mm_cvtss_f32(_mm_add_ss(h, _mm_movehl_ps(h, h)));
}

__attribute__((target("avx2,fma"), always_inline)) inline __m128 load4_u8(const uint8_t *p) {
    int32_t w;
    std::memcpy(&w, p, sizeof w);
    return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(w)));
}

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

// The rest of a float distance after its 8-blocks, whose lanes are in c:
// the 4-block (if any) from element t on, the reduction and the tail.
template <bool DOT>
__attribute__((target("avx2,fma"))) inline float finish_rows(__m256 c, const float *q,
                                                             const float *r, int t, int d) {
    __m128 l = _mm256_castps256_ps128(c);
    if (t + 4 <= d) {
        l = step4<DOT>(l, _mm_loadu_ps(q + t), _mm_loadu_ps(r + t));
        t += 4;
    }
    float s = reduce_avx2(c, l);
    for (; t < d; ++t) s = s + tail_term<DOT>(q[t], r[t]);
    return s;
}

// Integer lanes over Xp (see rows_view).  A query is a row of Xp (bytes, for
// sqd) or a projection direction (16-bit, for dotp) in the same paired
// layout, with its rest elements as floats in qt.

__attribute__((target("avx2,fma"), always_inline)) inline __m256i qload(const uint8_t *p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)p));
}

__attribute__((target("avx2,fma"), always_inline)) inline __m256i qload(const int16_t *p) {
    return _mm256_loadu_si256((const __m256i *)p);
}

template <bool DOT>
__attribute__((target("avx2,fma"), always_inline)) inline __m256i istep(__m256i acc, __m256i x,
                                                                       __m256i y) {
    if (DOT) return _mm256_add_epi32(acc, _mm256_madd_epi16(x, y));
    const __m256i e = _mm256_sub_epi16(x, y);
    return _mm256_add_epi32(acc, _mm256_madd_epi16(e, e));
}

// The float part after the integer lanes: the 4-block, the reduction and the
// scalar tail; rt points at the row's rest bytes.
template <bool DOT>
__attribute__((target("avx2,fma"))) inline float ifinish(__m256i acc, const float *qt,
                                                         const uint8_t *rt, int rest) {
    const __m256 A = _mm256_cvtepi32_ps(acc);
    __m128 l = _mm256_castps256_ps128(A);
    int u = 0;
    if (rest >= 4) {
        l = step4<DOT>(l, _mm_loadu_ps(qt), load4_u8(rt));
        u = 4;
    }
    float s = reduce_avx2(A, l);
    for (; u < rest; ++u) s = s + tail_term<DOT>(qt[u], (float)rt[u]);
    return s;
}
#endif

}  // namespace quelmo_knn

#endif /* QUELMO_KNN_LANES_H */
