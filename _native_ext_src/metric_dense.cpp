// Distance kernels between dense float32 rows, one per metric, each in a
// portable, an AVX2 and (for most metrics) an AVX-512 realisation with the
// same bits.
//
// Order of evaluation, shared by both realisations: sixteen float lanes; lane
// l folds in coordinates l, l + 16, l + 32, ... in increasing order (the last,
// partial group of sixteen fills lanes 0 .. rest - 1 only); then lane l and
// lane l + 8 are combined, and the eight results are combined as
// ((r0 r1)(r2 r3))((r4 r5)(r6 r7)).  Every per-coordinate term is rounded to
// float on its own (no fused multiply-add), so the AVX2 realisation, which
// keeps lanes 0-7 in one register and lanes 8-15 in another, and the AVX-512
// one, which keeps all sixteen in one, compute exactly the portable sums.  Every term is symmetric in its two coordinates, so every
// kernel is symmetric bit for bit.

#include "metric_units.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if !defined(QUELMO_METRIC_NO_SIMD) && (defined(__x86_64__) || defined(__i386__))
#define QUELMO_METRIC_X86 1
#include <immintrin.h>
#endif

namespace {

constexpr int kLanes = 16;

// ---------------------------------------------------------------------------
// Per-coordinate terms and how lanes combine them (sum, or max).

struct sqeuclid_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float) {
        const float x = a - b;
        return x * x;
    }
};

struct manhattan_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float) { return std::fabs(a - b); }
};

struct chebyshev_term {
    static constexpr bool kMax = true;
    static float term(float a, float b, float) { return std::fabs(a - b); }
};

// |x|^p for an integer p >= 1: the product chain of binary exponentiation
// from the highest bit of p down, rounded after every multiplication.
inline float pow_int(float x, int e) {
    const int top = 31 - __builtin_clz((unsigned)e);
    float r = x;
    for (int bit = top - 1; bit >= 0; --bit) {
        r = r * r;
        if ((e >> bit) & 1) r = r * x;
    }
    return r;
}

// x^p for x >= 0 and any p > 0 as 2^(p log2 x), with log2 from the atanh
// series of the mantissa and 2^f from its Taylor series, in float operations
// only (relative error about 1e-6; exact powers are not needed to rank
// neighbours).  Zero and subnormal x give 0, results of 2^127 and more give
// infinity.
constexpr float kSqrt2 = 1.41421356f, kLog2e = 1.44269504f, kLn2 = 0.693147181f;

inline float pow_real(float x, float p) {
    if (!(x >= 1.17549435e-38f)) return 0.0f;
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    float e = (float)((int)(b >> 23) - 127);
    const uint32_t mb = (b & 0x7FFFFFu) | 0x3F800000u;
    float m;
    std::memcpy(&m, &mb, sizeof m);
    if (m > kSqrt2) {
        m = m * 0.5f;
        e = e + 1.0f;
    }
    const float s = (m - 1.0f) / (m + 1.0f), s2 = s * s;
    const float series =
        2.0f + s2 * (0.666666667f + s2 * (0.4f + s2 * (0.285714286f + s2 * 0.222222222f)));
    const float y = p * (e + (s * series) * kLog2e);
    if (!(y < 127.0f)) return INFINITY;
    if (!(y >= -126.0f)) return 0.0f;
    const float i = std::floor(y + 0.5f);
    const float t = (y - i) * kLn2;
    const float poly =
        1.0f + t * (1.0f + t * (0.5f + t * (0.166666667f + t * (0.0416666667f +
                                                                t * (0.00833333333f +
                                                                     t * 0.00138888889f)))));
    const uint32_t sb = (uint32_t)((int)i + 127) << 23;
    float scale;
    std::memcpy(&scale, &sb, sizeof scale);
    return poly * scale;
}

// E > 0: the exponent fixed at compile time, so the chain unrolls; E = 0:
// the exponent p of the call.
template <int E>
struct minkowski_int_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float p) {
        return pow_int(std::fabs(a - b), E > 0 ? E : (int)p);
    }
};

struct minkowski_real_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float p) { return pow_real(std::fabs(a - b), p); }
};

// Coordinates where both values are 0 contribute 0 (their 0 / 0 is defined so).
struct canberra_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float) {
        const float den = std::fabs(a) + std::fabs(b);
        return den > 0.0f ? std::fabs(a - b) / den : 0.0f;
    }
};

struct hamming_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float) { return a != b ? 1.0f : 0.0f; }
};

// The sum |a + b| of the denominator of braycurtis (its numerator is the
// manhattan sum).
struct absum_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float) { return std::fabs(a + b); }
};

template <class T>
inline float fold(float acc, float t) {
    if (T::kMax) return acc > t ? acc : t;
    return acc + t;
}

// The fixed reduction of the sixteen lanes.
template <class T>
inline float reduce16(const float *acc) {
    float r[8];
    for (int l = 0; l < 8; ++l) r[l] = fold<T>(acc[l], acc[l + 8]);
    const float lo = fold<T>(fold<T>(r[0], r[1]), fold<T>(r[2], r[3]));
    const float hi = fold<T>(fold<T>(r[4], r[5]), fold<T>(r[6], r[7]));
    return fold<T>(lo, hi);
}

template <class T>
float lanes_portable(const float *a, const float *b, int64_t d, float p) {
    float acc[kLanes];
    for (int l = 0; l < kLanes; ++l) acc[l] = 0.0f;
    int64_t t = 0;
    for (; t + kLanes <= d; t += kLanes)
        for (int l = 0; l < kLanes; ++l) acc[l] = fold<T>(acc[l], T::term(a[t + l], b[t + l], p));
    for (int l = 0; t + l < d; ++l) acc[l] = fold<T>(acc[l], T::term(a[t + l], b[t + l], p));
    return reduce16<T>(acc);
}

#if defined(QUELMO_METRIC_X86)
#define QM_AVX2 __attribute__((target("avx2")))

QM_AVX2 inline __m256 vabs(__m256 x) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x); }

template <class T>
struct vec;

template <>
struct vec<sqeuclid_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float) {
        const __m256 x = _mm256_sub_ps(a, b);
        return _mm256_mul_ps(x, x);
    }
};

template <>
struct vec<manhattan_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float) { return vabs(_mm256_sub_ps(a, b)); }
};

template <>
struct vec<chebyshev_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float) { return vabs(_mm256_sub_ps(a, b)); }
};

template <int E>
struct vec<minkowski_int_term<E>> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float p) {
        const __m256 x = vabs(_mm256_sub_ps(a, b));
        const int e = E > 0 ? E : (int)p;
        const int top = 31 - __builtin_clz((unsigned)e);
        __m256 r = x;
        for (int bit = top - 1; bit >= 0; --bit) {
            r = _mm256_mul_ps(r, r);
            if ((e >> bit) & 1) r = _mm256_mul_ps(r, x);
        }
        return r;
    }
};

// pow_real lane by lane, operation for operation.
template <>
struct vec<minkowski_real_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float p) {
        const __m256 x = vabs(_mm256_sub_ps(a, b));
        // Equal coordinates are common (zeros in both rows): 0^p = 0 without
        // the series.
        if (_mm256_movemask_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_NEQ_UQ)) == 0)
            return x;
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256i bits = _mm256_castps_si256(x);
        __m256 e = _mm256_cvtepi32_ps(
            _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)));
        __m256 m = _mm256_castsi256_ps(_mm256_or_si256(
            _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFF)), _mm256_set1_epi32(0x3F800000)));
        const __m256 big = _mm256_cmp_ps(m, _mm256_set1_ps(kSqrt2), _CMP_GT_OQ);
        m = _mm256_blendv_ps(m, _mm256_mul_ps(m, _mm256_set1_ps(0.5f)), big);
        e = _mm256_blendv_ps(e, _mm256_add_ps(e, one), big);
        const __m256 s = _mm256_div_ps(_mm256_sub_ps(m, one), _mm256_add_ps(m, one));
        const __m256 s2 = _mm256_mul_ps(s, s);
        __m256 series = _mm256_mul_ps(s2, _mm256_set1_ps(0.222222222f));
        series = _mm256_mul_ps(s2, _mm256_add_ps(_mm256_set1_ps(0.285714286f), series));
        series = _mm256_mul_ps(s2, _mm256_add_ps(_mm256_set1_ps(0.4f), series));
        series = _mm256_mul_ps(s2, _mm256_add_ps(_mm256_set1_ps(0.666666667f), series));
        series = _mm256_add_ps(_mm256_set1_ps(2.0f), series);
        const __m256 y = _mm256_mul_ps(
            _mm256_set1_ps(p),
            _mm256_add_ps(e, _mm256_mul_ps(_mm256_mul_ps(s, series), _mm256_set1_ps(kLog2e))));
        const __m256 yc = _mm256_max_ps(_mm256_min_ps(y, _mm256_set1_ps(127.0f)),
                                        _mm256_set1_ps(-126.0f));
        const __m256 i = _mm256_floor_ps(_mm256_add_ps(yc, _mm256_set1_ps(0.5f)));
        const __m256 t = _mm256_mul_ps(_mm256_sub_ps(yc, i), _mm256_set1_ps(kLn2));
        __m256 poly = _mm256_mul_ps(t, _mm256_set1_ps(0.00138888889f));
        poly = _mm256_mul_ps(t, _mm256_add_ps(_mm256_set1_ps(0.00833333333f), poly));
        poly = _mm256_mul_ps(t, _mm256_add_ps(_mm256_set1_ps(0.0416666667f), poly));
        poly = _mm256_mul_ps(t, _mm256_add_ps(_mm256_set1_ps(0.166666667f), poly));
        poly = _mm256_mul_ps(t, _mm256_add_ps(_mm256_set1_ps(0.5f), poly));
        poly = _mm256_mul_ps(t, _mm256_add_ps(one, poly));
        poly = _mm256_add_ps(one, poly);
        const __m256 scale = _mm256_castsi256_ps(_mm256_slli_epi32(
            _mm256_add_epi32(_mm256_cvtps_epi32(i), _mm256_set1_epi32(127)), 23));
        __m256 r = _mm256_mul_ps(poly, scale);
        // The three special cases of pow_real, in its order of precedence.
        r = _mm256_blendv_ps(r, _mm256_setzero_ps(),
                             _mm256_cmp_ps(y, _mm256_set1_ps(-126.0f), _CMP_NGE_UQ));
        r = _mm256_blendv_ps(r, _mm256_set1_ps(INFINITY),
                             _mm256_cmp_ps(y, _mm256_set1_ps(127.0f), _CMP_NLT_UQ));
        return _mm256_blendv_ps(
            r, _mm256_setzero_ps(),
            _mm256_cmp_ps(x, _mm256_set1_ps(1.17549435e-38f), _CMP_NGE_UQ));
    }
};

template <>
struct vec<canberra_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float) {
        const __m256 den = _mm256_add_ps(vabs(a), vabs(b));
        const __m256 q = _mm256_div_ps(vabs(_mm256_sub_ps(a, b)), den);
        return _mm256_and_ps(_mm256_cmp_ps(den, _mm256_setzero_ps(), _CMP_GT_OQ), q);
    }
};

template <>
struct vec<hamming_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float) {
        return _mm256_and_ps(_mm256_cmp_ps(a, b, _CMP_NEQ_UQ), _mm256_set1_ps(1.0f));
    }
};

template <>
struct vec<absum_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float) { return vabs(_mm256_add_ps(a, b)); }
};

template <class T>
QM_AVX2 inline __m256 vfold(__m256 acc, __m256 t) {
    // max(acc, t) returns acc where acc > t, else t: the portable fold.
    if (T::kMax) return _mm256_max_ps(acc, t);
    return _mm256_add_ps(acc, t);
}

// Lanes below `count` get their next term; the others keep their value.
template <class T>
QM_AVX2 inline __m256 vfold_part(__m256 acc, const float *a, const float *b, int count,
                                 float p) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i on = _mm256_cmpgt_epi32(_mm256_set1_epi32(count), lane);
    const __m256 x = _mm256_maskload_ps(a, on), y = _mm256_maskload_ps(b, on);
    return _mm256_blendv_ps(acc, vfold<T>(acc, vec<T>::term(x, y, p)), _mm256_castsi256_ps(on));
}

template <class T>
QM_AVX2 float lanes_avx2(const float *a, const float *b, int64_t d, float p) {
    __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
    int64_t t = 0;
    for (; t + kLanes <= d; t += kLanes) {
        lo = vfold<T>(lo, vec<T>::term(_mm256_loadu_ps(a + t), _mm256_loadu_ps(b + t), p));
        hi = vfold<T>(hi, vec<T>::term(_mm256_loadu_ps(a + t + 8), _mm256_loadu_ps(b + t + 8), p));
    }
    const int rest = (int)(d - t);
    if (rest >= 8) {
        lo = vfold<T>(lo, vec<T>::term(_mm256_loadu_ps(a + t), _mm256_loadu_ps(b + t), p));
        if (rest > 8) hi = vfold_part<T>(hi, a + t + 8, b + t + 8, rest - 8, p);
    } else if (rest > 0) {
        lo = vfold_part<T>(lo, a + t, b + t, rest, p);
    }
    alignas(32) float acc[kLanes];
    _mm256_store_ps(acc, lo);
    _mm256_store_ps(acc + 8, hi);
    return reduce16<T>(acc);
}

// The lanes of one query against four rows at once: eight independent
// accumulator chains share each load of the query, and each row's lanes
// follow exactly the order of lanes_avx2.
template <class T>
QM_AVX2 void lanes4_avx2(const float *a, const float *const *b, int64_t d, float p,
                         float *out) {
    __m256 lo[4], hi[4];
    for (int r = 0; r < 4; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
    int64_t t = 0;
    for (; t + kLanes <= d; t += kLanes) {
        const __m256 x0 = _mm256_loadu_ps(a + t), x1 = _mm256_loadu_ps(a + t + 8);
        for (int r = 0; r < 4; ++r) {
            lo[r] = vfold<T>(lo[r], vec<T>::term(x0, _mm256_loadu_ps(b[r] + t), p));
            hi[r] = vfold<T>(hi[r], vec<T>::term(x1, _mm256_loadu_ps(b[r] + t + 8), p));
        }
    }
    const int rest = (int)(d - t);
    for (int r = 0; r < 4; ++r) {
        if (rest >= 8) {
            lo[r] = vfold<T>(lo[r], vec<T>::term(_mm256_loadu_ps(a + t), _mm256_loadu_ps(b[r] + t), p));
            if (rest > 8) hi[r] = vfold_part<T>(hi[r], a + t + 8, b[r] + t + 8, rest - 8, p);
        } else if (rest > 0) {
            lo[r] = vfold_part<T>(lo[r], a + t, b[r] + t, rest, p);
        }
        alignas(32) float acc[kLanes];
        _mm256_store_ps(acc, lo[r]);
        _mm256_store_ps(acc + 8, hi[r]);
        out[r] = reduce16<T>(acc);
    }
}

// AVX-512: the sixteen lanes in one register.  Terms without a realisation
// here (vec512<T>::kHas false) run on AVX2.
#define QM_AVX512 __attribute__((target("avx512f,avx512dq,avx2")))

QM_AVX512 inline __m512 vabs512(__m512 x) {
    return _mm512_andnot_ps(_mm512_set1_ps(-0.0f), x);
}

template <class T>
struct vec512 {
    static constexpr bool kHas = false;
};

template <>
struct vec512<sqeuclid_term> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float) {
        const __m512 x = _mm512_sub_ps(a, b);
        return _mm512_mul_ps(x, x);
    }
};

template <>
struct vec512<manhattan_term> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float) { return vabs512(_mm512_sub_ps(a, b)); }
};

template <>
struct vec512<chebyshev_term> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float) { return vabs512(_mm512_sub_ps(a, b)); }
};

template <int E>
struct vec512<minkowski_int_term<E>> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float p) {
        const __m512 x = vabs512(_mm512_sub_ps(a, b));
        const int e = E > 0 ? E : (int)p;
        const int top = 31 - __builtin_clz((unsigned)e);
        __m512 r = x;
        for (int bit = top - 1; bit >= 0; --bit) {
            r = _mm512_mul_ps(r, r);
            if ((e >> bit) & 1) r = _mm512_mul_ps(r, x);
        }
        return r;
    }
};

template <>
struct vec512<canberra_term> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float) {
        const __m512 den = _mm512_add_ps(vabs512(a), vabs512(b));
        const __m512 q = _mm512_div_ps(vabs512(_mm512_sub_ps(a, b)), den);
        return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(den, _mm512_setzero_ps(), _CMP_GT_OQ), q);
    }
};

template <>
struct vec512<hamming_term> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float) {
        return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(a, b, _CMP_NEQ_UQ), _mm512_set1_ps(1.0f));
    }
};

template <>
struct vec512<absum_term> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float) { return vabs512(_mm512_add_ps(a, b)); }
};

template <class T>
QM_AVX512 inline __m512 vfold512(__m512 acc, __m512 t) {
    if (T::kMax) return _mm512_max_ps(acc, t);  // as vfold
    return _mm512_add_ps(acc, t);
}

// The partial last group: lanes below `count` get their next term.
template <class T>
QM_AVX512 inline __m512 vfold512_part(__m512 acc, const float *a, const float *b, int count,
                                      float p) {
    const __mmask16 on = (__mmask16)((1u << count) - 1u);
    const __m512 x = _mm512_maskz_loadu_ps(on, a), y = _mm512_maskz_loadu_ps(on, b);
    return _mm512_mask_mov_ps(acc, on, vfold512<T>(acc, vec512<T>::term(x, y, p)));
}

template <class T>
QM_AVX512 inline float reduce512(__m512 acc) {
    alignas(64) float lanes[kLanes];
    _mm512_store_ps(lanes, acc);
    return reduce16<T>(lanes);
}

template <class T>
QM_AVX512 float lanes_avx512(const float *a, const float *b, int64_t d, float p) {
    __m512 acc = _mm512_setzero_ps();
    int64_t t = 0;
    for (; t + kLanes <= d; t += kLanes)
        acc = vfold512<T>(acc, vec512<T>::term(_mm512_loadu_ps(a + t), _mm512_loadu_ps(b + t), p));
    if (t < d) acc = vfold512_part<T>(acc, a + t, b + t, (int)(d - t), p);
    return reduce512<T>(acc);
}

template <class T>
QM_AVX512 void lanes4_avx512(const float *a, const float *const *b, int64_t d, float p,
                             float *out) {
    __m512 acc[4];
    for (int r = 0; r < 4; ++r) acc[r] = _mm512_setzero_ps();
    int64_t t = 0;
    for (; t + kLanes <= d; t += kLanes) {
        const __m512 x = _mm512_loadu_ps(a + t);
        for (int r = 0; r < 4; ++r)
            acc[r] = vfold512<T>(acc[r], vec512<T>::term(x, _mm512_loadu_ps(b[r] + t), p));
    }
    for (int r = 0; r < 4; ++r) {
        if (t < d) acc[r] = vfold512_part<T>(acc[r], a + t, b[r] + t, (int)(d - t), p);
        out[r] = reduce512<T>(acc[r]);
    }
}
#endif

// ---------------------------------------------------------------------------
// Whole kernels: the lane sums and the metric's last step.

// SIMD: the realisation, SIMD_PORTABLE, SIMD_AVX2 or SIMD_AVX512.
template <class T, int SIMD>
inline float lanes(const float *a, const float *b, int64_t d, float p) {
#if defined(QUELMO_METRIC_X86)
    if constexpr (SIMD == SIMD_AVX512 && vec512<T>::kHas) return lanes_avx512<T>(a, b, d, p);
    if (SIMD != SIMD_PORTABLE) return lanes_avx2<T>(a, b, d, p);
#endif
    return lanes_portable<T>(a, b, d, p);
}

// The lane sums of one query against four rows.
template <class T, int SIMD>
inline void lanes4(const float *a, const float *const *b, int64_t d, float p, float *out) {
#if defined(QUELMO_METRIC_X86)
    if constexpr (SIMD == SIMD_AVX512 && vec512<T>::kHas) {
        lanes4_avx512<T>(a, b, d, p, out);
        return;
    }
    if (SIMD != SIMD_PORTABLE) {
        lanes4_avx2<T>(a, b, d, p, out);
        return;
    }
#endif
    for (int r = 0; r < 4; ++r) out[r] = lanes_portable<T>(a, b[r], d, p);
}

// A kernel: the metric of one row pair, and of one query with four rows.
template <class T, int SIMD>
struct sum_metric {
    static float one(const float *a, const float *b, int64_t d, float p) {
        return lanes<T, SIMD>(a, b, d, p);
    }
    static void four(const float *a, const float *const *b, int64_t d, float p, float *out) {
        lanes4<T, SIMD>(a, b, d, p, out);
    }
};

// Fraction of differing coordinates; the count is exact (below 2^24 per lane).
template <int SIMD>
struct hamming_metric {
    static float finish(float count, int64_t d) { return (float)((double)count / (double)d); }
    static float one(const float *a, const float *b, int64_t d, float p) {
        return finish(lanes<hamming_term, SIMD>(a, b, d, p), d);
    }
    static void four(const float *a, const float *const *b, int64_t d, float p, float *out) {
        lanes4<hamming_term, SIMD>(a, b, d, p, out);
        for (int r = 0; r < 4; ++r) out[r] = finish(out[r], d);
    }
};

// sum |a - b| / sum |a + b|; 0 for two zero rows, and 1 when only the
// denominator vanishes (a = -b), the largest value it takes on non-negative
// data.
template <int SIMD>
struct braycurtis_metric {
    static float finish(float num, float den) {
        if (den > 0.0f) return num / den;
        return num > 0.0f ? 1.0f : 0.0f;
    }
    static float one(const float *a, const float *b, int64_t d, float p) {
        return finish(lanes<manhattan_term, SIMD>(a, b, d, p), lanes<absum_term, SIMD>(a, b, d, p));
    }
    static void four(const float *a, const float *const *b, int64_t d, float p, float *out) {
        float den[4];
        lanes4<manhattan_term, SIMD>(a, b, d, p, out);
        lanes4<absum_term, SIMD>(a, b, d, p, den);
        for (int r = 0; r < 4; ++r) out[r] = finish(out[r], den[r]);
    }
};

template <class K>
void dense_many(const metric *m, const points *qs, int64_t q, const points *ps,
                const int32_t *ids, int cnt, float *out, float *) {
    const int64_t d = ps->d;
    const float *x = qs->X + q * d;
    const float p = (float)m->p;
    int j = 0;
    for (; j + 4 <= cnt; j += 4) {
        const float *rows[4] = {ps->X + (int64_t)ids[j] * d, ps->X + (int64_t)ids[j + 1] * d,
                                ps->X + (int64_t)ids[j + 2] * d, ps->X + (int64_t)ids[j + 3] * d};
        K::four(x, rows, d, p, out + j);
    }
    for (; j < cnt; ++j) out[j] = K::one(x, ps->X + (int64_t)ids[j] * d, d, p);
}

// ---------------------------------------------------------------------------
// Byte rows (every value an integer 0 .. 255): integer sums.  On such rows
// every float term of the lane kernels is an integer, every partial sum of a
// lane and of the reduction an integer below 2^24 (kMaxByteColumns), so the
// float kernels compute the exact integer sums; the byte kernels compute the
// same integers and round them once, exactly.  Rows are zero padded to a
// multiple of 32 bytes; a padding byte pairs with a padding byte and adds
// nothing (to the differing count either).

// Columns up to which the sums of 255 + 255 per column stay below 2^24.
constexpr int64_t kMaxByteColumns = 32768;

#if defined(QUELMO_METRIC_X86)
template <int ID>
QM_AVX2 void bytes_many(const metric *, const points *qs, int64_t q, const points *ps,
                        const int32_t *ids, int cnt, float *out, float *) {
    const int64_t stride = ps->bstride, chunks = stride / 32;
    const uint8_t *x = qs->bytes + q * stride;
    for (int j = 0; j < cnt; j += 4) {
        const int rows = cnt - j < 4 ? cnt - j : 4;
        const uint8_t *y[4];
        for (int r = 0; r < 4; ++r) y[r] = ps->bytes + (int64_t)ids[j + (r < rows ? r : 0)] * stride;
        __m256i acc[4];
        int64_t equal[4] = {0, 0, 0, 0};
        for (int r = 0; r < 4; ++r) acc[r] = _mm256_setzero_si256();
        for (int64_t c = 0; c < chunks; ++c) {
            const __m256i a = _mm256_loadu_si256((const __m256i *)(x + 32 * c));
            for (int r = 0; r < 4; ++r) {
                const __m256i b = _mm256_loadu_si256((const __m256i *)(y[r] + 32 * c));
                if (ID == METRIC_MANHATTAN || ID == METRIC_BRAYCURTIS)
                    acc[r] = _mm256_add_epi64(acc[r], _mm256_sad_epu8(a, b));
                else if (ID == METRIC_CHEBYSHEV)
                    acc[r] = _mm256_max_epu8(
                        acc[r], _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a)));
                else  // METRIC_HAMMING
                    equal[r] += __builtin_popcount(
                        (unsigned)_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, b)));
            }
        }
        for (int r = 0; r < rows; ++r) {
            alignas(32) uint64_t lane[4];
            alignas(32) uint8_t byte[32];
            float value;
            if (ID == METRIC_CHEBYSHEV) {
                _mm256_store_si256((__m256i *)byte, acc[r]);
                uint8_t top = 0;
                for (int u = 0; u < 32; ++u) top = byte[u] > top ? byte[u] : top;
                value = (float)top;
            } else if (ID == METRIC_HAMMING) {
                value = hamming_metric<false>::finish((float)(stride - equal[r]), ps->d);
            } else {
                _mm256_store_si256((__m256i *)lane, acc[r]);
                const float sum = (float)(int64_t)((lane[0] + lane[1]) + (lane[2] + lane[3]));
                value = ID == METRIC_MANHATTAN
                            ? sum
                            : braycurtis_metric<false>::finish(
                                  sum, (float)(qs->aux[q] + ps->aux[ids[j + r]]));
            }
            out[j + r] = value;
        }
    }
}
#endif

// ---------------------------------------------------------------------------
// Set metrics on rows packed one bit per coordinate: exact integer counts.
// jaccard: 1 - |A & B| / |A | B|; dice: |A ^ B| / (|A| + |B|); both 0 for two
// empty sets.  The body is compiled twice, with and without the popcnt
// instruction; the counts are the same integers either way.

template <int ID>
__attribute__((always_inline)) inline void sets_body(const points *qs, int64_t q,
                                                     const points *ps, const int32_t *ids,
                                                     int cnt, float *out) {
    const int64_t w = ps->words;
    const uint64_t *x = qs->bits + q * w;
    for (int j = 0; j < cnt; ++j) {
        const uint64_t *y = ps->bits + (int64_t)ids[j] * w;
        int64_t both = 0, other = 0;
        for (int64_t u = 0; u < w; ++u) {
            both += __builtin_popcountll(x[u] & y[u]);
            other += ID == METRIC_JACCARD ? __builtin_popcountll(x[u] | y[u])
                                          : __builtin_popcountll(x[u] ^ y[u]);
        }
        if (ID == METRIC_JACCARD)  // other = |A | B|
            out[j] = other > 0 ? (float)((double)(other - both) / (double)other) : 0.0f;
        else  // other = |A ^ B|
            out[j] = other + 2 * both > 0
                         ? (float)((double)other / (double)(other + 2 * both))
                         : 0.0f;
    }
}

template <int ID>
void sets_many(const metric *, const points *qs, int64_t q, const points *ps, const int32_t *ids,
               int cnt, float *out, float *) {
    sets_body<ID>(qs, q, ps, ids, cnt, out);
}

#if defined(QUELMO_METRIC_X86)
template <int ID>
__attribute__((target("popcnt"))) void sets_many_popcnt(const metric *, const points *qs,
                                                         int64_t q, const points *ps,
                                                         const int32_t *ids, int cnt,
                                                         float *out, float *) {
    sets_body<ID>(qs, q, ps, ids, cnt, out);
}
#endif

// ---------------------------------------------------------------------------
// Tree projections: the 16-lane order with unfused products.

struct dot_term {
    static constexpr bool kMax = false;
    static float term(float a, float b, float) { return a * b; }
};

#if defined(QUELMO_METRIC_X86)
template <>
struct vec<dot_term> {
    QM_AVX2 static __m256 term(__m256 a, __m256 b, float) { return _mm256_mul_ps(a, b); }
};

template <>
struct vec512<dot_term> {
    static constexpr bool kHas = true;
    QM_AVX512 static __m512 term(__m512 a, __m512 b, float) { return _mm512_mul_ps(a, b); }
};
#endif

template <int SIMD>
void project(const points *s, int32_t a, int32_t b, const int32_t *ids, int cnt, double *out,
             float *dir) {
    const int64_t d = s->d;
    const float *xa = s->X + (int64_t)a * d, *xb = s->X + (int64_t)b * d;
    for (int64_t t = 0; t < d; ++t) dir[t] = xb[t] - xa[t];
    int j = 0;
    float four[4];
    for (; j + 4 <= cnt; j += 4) {
        const float *rows[4] = {s->X + (int64_t)ids[j] * d, s->X + (int64_t)ids[j + 1] * d,
                                s->X + (int64_t)ids[j + 2] * d, s->X + (int64_t)ids[j + 3] * d};
        // A dot product is symmetric in its factors, so the direction may
        // serve as the shared operand.
        lanes4<dot_term, SIMD>(dir, rows, d, 0.0f, four);
        for (int r = 0; r < 4; ++r) out[j + r] = (double)four[r];
    }
    for (; j < cnt; ++j)
        out[j] = (double)lanes<dot_term, SIMD>(s->X + (int64_t)ids[j] * d, dir, d, 0.0f);
    // The caller's contract: dir is all zero again on return.
    std::memset(dir, 0, (size_t)d * sizeof(float));
}

}  // namespace

int dense_cpu_simd(void) {
#if defined(QUELMO_METRIC_X86)
    // The compiler's runtime detects the CPU features when the library loads.
#if !defined(QUELMO_METRIC_NO_AVX512)  // defined by a test build of the AVX2 kernels
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        return SIMD_AVX512;
#endif
    return __builtin_cpu_supports("avx2") ? SIMD_AVX2 : SIMD_PORTABLE;
#else
    return SIMD_PORTABLE;
#endif
}

namespace {

// dense_many of kernel K in the realisation simd.
template <template <int> class K>
dist_many_fn for_simd(int simd) {
    if (simd == SIMD_AVX512) return dense_many<K<SIMD_AVX512>>;
    if (simd == SIMD_AVX2) return dense_many<K<SIMD_AVX2>>;
    return dense_many<K<SIMD_PORTABLE>>;
}

template <class T>
struct sum_of {
    template <int SIMD>
    using in = sum_metric<T, SIMD>;
};

}  // namespace

dist_many_fn dense_kernel(int id, double p, int simd) {
#if defined(QUELMO_METRIC_X86)
    const bool popcnt = __builtin_cpu_supports("popcnt") != 0;
#endif
    switch (id) {
        case METRIC_SQEUCLIDEAN:
            return for_simd<sum_of<sqeuclid_term>::in>(simd);
        case METRIC_MANHATTAN:
            return for_simd<sum_of<manhattan_term>::in>(simd);
        case METRIC_CHEBYSHEV:
            return for_simd<sum_of<chebyshev_term>::in>(simd);
        case METRIC_MINKOWSKI:
            if (p == 3.0) return for_simd<sum_of<minkowski_int_term<3>>::in>(simd);
            if (p == 4.0) return for_simd<sum_of<minkowski_int_term<4>>::in>(simd);
            if (p == std::floor(p) && p >= 1.0 && p <= 64.0)
                return for_simd<sum_of<minkowski_int_term<0>>::in>(simd);
            return for_simd<sum_of<minkowski_real_term>::in>(simd);
        case METRIC_CANBERRA:
            return for_simd<sum_of<canberra_term>::in>(simd);
        case METRIC_BRAYCURTIS:
            return for_simd<braycurtis_metric>(simd);
        case METRIC_HAMMING:
            return for_simd<hamming_metric>(simd);
#if defined(QUELMO_METRIC_X86)
        case METRIC_JACCARD:
            return popcnt ? sets_many_popcnt<METRIC_JACCARD> : sets_many<METRIC_JACCARD>;
        case METRIC_DICE:
            return popcnt ? sets_many_popcnt<METRIC_DICE> : sets_many<METRIC_DICE>;
#else
        case METRIC_JACCARD:
            return sets_many<METRIC_JACCARD>;
        case METRIC_DICE:
            return sets_many<METRIC_DICE>;
#endif
        default:
            return nullptr;
    }
}

void dense_project(int simd, const points *s, int32_t a, int32_t b, const int32_t *ids, int cnt,
                   double *out, float *dir) {
    if (simd == SIMD_AVX512)
        project<SIMD_AVX512>(s, a, b, ids, cnt, out, dir);
    else if (simd == SIMD_AVX2)
        project<SIMD_AVX2>(s, a, b, ids, cnt, out, dir);
    else
        project<SIMD_PORTABLE>(s, a, b, ids, cnt, out, dir);
}

void *metric_bytes_view(const metric *m, points *s) {
    const bool wanted = m->id == METRIC_MANHATTAN || m->id == METRIC_CHEBYSHEV ||
                        m->id == METRIC_BRAYCURTIS || m->id == METRIC_HAMMING;
    if (!wanted || m->simd == SIMD_PORTABLE || m->sparse || s->d > kMaxByteColumns)
        return nullptr;
    const int64_t n = s->n, d = s->d, stride = (d + 31) / 32 * 32;
    for (int64_t t = 0; t < n * d; ++t) {
        const float v = s->X[t];
        if (!(v >= 0.0f && v <= 255.0f && v == std::floor(v))) return nullptr;
    }
    // The row sums first (doubles), then the bytes.
    char *block = (char *)std::malloc((size_t)n * sizeof(double) + (size_t)(n * stride));
    if (!block) return nullptr;
    double *sums = (double *)block;
    uint8_t *bytes = (uint8_t *)(block + (size_t)n * sizeof(double));
    for (int64_t i = 0; i < n; ++i) {
        int64_t sum = 0;
        for (int64_t t = 0; t < stride; ++t) {
            const uint8_t v = t < d ? (uint8_t)s->X[i * d + t] : (uint8_t)0;
            bytes[i * stride + t] = v;
            sum += v;
        }
        sums[i] = (double)sum;
    }
    s->bytes = bytes;
    s->bstride = stride;
    s->aux = sums;
    return block;
}

void metric_use_bytes(metric *m) {
#if defined(QUELMO_METRIC_X86)
    switch (m->id) {
        case METRIC_MANHATTAN: m->many = bytes_many<METRIC_MANHATTAN>; break;
        case METRIC_CHEBYSHEV: m->many = bytes_many<METRIC_CHEBYSHEV>; break;
        case METRIC_BRAYCURTIS: m->many = bytes_many<METRIC_BRAYCURTIS>; break;
        case METRIC_HAMMING: m->many = bytes_many<METRIC_HAMMING>; break;
        default: break;
    }
#else
    (void)m;
#endif
}

int metric_pack_bits(const float *X, int n, int64_t d, uint64_t *bits) {
    const int64_t words = (d + 63) / 64;
    for (int64_t i = 0; i < n; ++i) {
        const float *x = X + i * d;
        uint64_t *w = bits + i * words;
        for (int64_t u = 0; u < words; ++u) w[u] = 0;
        for (int64_t t = 0; t < d; ++t) {
            if (x[t] == 1.0f)
                w[t >> 6] |= (uint64_t)1 << (t & 63);
            else if (x[t] != 0.0f)
                return -1;
        }
    }
    return 0;
}
