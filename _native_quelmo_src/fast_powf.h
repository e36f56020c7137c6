/*
 * fast_powf.h - replicas of the platform's powf that give the same bits,
 * for evaluating many powers at once.
 *
 * The x86-64 GNU C library computes powf(x, y) by a table-driven base-2
 * logarithm and exponential in double precision (16-entry log2 table with a
 * degree-5 polynomial, 32-entry exp2 table with a degree-3 polynomial).  It
 * ships two builds of that code and picks one when it is loaded: one that
 * fuses nine of the multiply-adds into FMA instructions (CPUs with FMA and
 * AVX2), and a plain SSE2 one that rounds every product and sum.  The
 * replicas below perform exactly the operations of each build, in the same
 * order, with the library's own constants, so that for every input on the
 * library's main path they return the library's float.  Inputs off that path
 * (x not a positive normal float, |y log2 x| too large) are flagged for the
 * caller, who then calls the platform powf itself.
 *
 * Whether a replica applies is decided at run time by powf_identify(), which
 * recognises the code of the resolved powf; everywhere else (another C
 * library, another build of it, an interposed powf) callers use powf.
 *
 * The replicas rely on the build's -ffp-contract=off: a product and a sum that
 * the library rounds separately must not be fused here, and the fused ones
 * are written as explicit FMA operations.
 */
#ifndef QUELMO_FAST_POWF_H
#define QUELMO_FAST_POWF_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(__x86_64__)
/* GCC 12 warns inside the AVX-512 intrinsics themselves (their
 * _mm512_undefined_* placeholders, its bug 105593); the warnings are
 * silenced for the header only. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define QUELMO_POWF_X86 1
#else
#define QUELMO_POWF_X86 0
#endif

/* Which replica matches the powf that this process resolved. */
enum powf_kind {
    POWF_PLATFORM = 0,   /* no replica: call powf */
    POWF_GLIBC_FMA = 1,  /* the library's FMA build */
    POWF_GLIBC_SSE2 = 2, /* the library's SSE2 build */
};

/* Identifies the resolved powf (fast_powf.cpp): a hash of its first code
 * bytes against the builds whose replicas were checked over every positive
 * float input, then a spot check of the replica against it.  Pure: looks at
 * the process as it is, keeps nothing. */
int powf_identify(void);

/* out[i] = powf(x[i], y) for every x[i] that is not <= 0 (NaN included);
 * where x[i] <= 0 the result is unspecified and powf is not called, since
 * the layout has no use for it there.  n is any count; x and out may be the
 * same array. */
typedef void (*powf_batch_fn)(float y, const float *x, float *out, size_t n);

/* The batch evaluation for a kind of powf_identify(): the widest vector form
 * of the replica this CPU runs, or calls of powf for POWF_PLATFORM. */
powf_batch_fn powf_batch_select(int kind);

/* The instruction set powf_batch_select(kind) uses: 0 none (scalar code),
 * 2 AVX2 with FMA, 5 AVX-512 (F, VL, DQ, CD and BW). */
int powf_batch_simd(int kind);

/* The widest of those the CPU runs (the C library's view where it has one,
 * which GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512F,... can narrow). */
int cpu_simd_level(void);

/* FNV-1a hash of the first code bytes of the resolved powf, the key of the
 * identification (printed by the verification tool). */
uint64_t powf_code_hash(void);

/* ---- constants of the library's powf (published data, as installed) ---- */

/* log2 part: x = 2^k z with z in [0x3f330000, 2 * 0x3f330000) (bit patterns),
 * table index from the four bits below the exponent of x - OFF. */
#define QUELMO_POWF_OFF 0x3f330000u

static const double quelmo_powf_invc[16] = {
    0x1.661ec79f8f3bep+0, 0x1.571ed4aaf883dp+0, 0x1.49539f0f010bp+0,  0x1.3c995b0b80385p+0,
    0x1.30d190c8864a5p+0, 0x1.25e227b0b8eap+0,  0x1.1bb4a4a1a343fp+0, 0x1.12358f08ae5bap+0,
    0x1.0953f419900a7p+0, 0x1p+0,               0x1.e608cfd9a47acp-1, 0x1.ca4b31f026aap-1,
    0x1.b2036576afce6p-1, 0x1.9c2d163a1aa2dp-1, 0x1.886e6037841edp-1, 0x1.767dcf5534862p-1,
};
static const double quelmo_powf_logc[16] = {
    -0x1.efec65b963019p-2, -0x1.b0b6832d4fca4p-2, -0x1.7418b0a1fb77bp-2, -0x1.39de91a6dcf7bp-2,
    -0x1.01d9bf3f2b631p-2, -0x1.97c1d1b3b7afp-3,  -0x1.2f9e393af3c9fp-3, -0x1.960cbbf788d5cp-4,
    -0x1.a6f9db6475fcep-5, 0x0p+0,                0x1.338ca9f24f53dp-4,  0x1.476a9543891bap-3,
    0x1.e840b4ac4e4d2p-3,  0x1.40645f0c6651cp-2,  0x1.88e9c2c1b9ff8p-2,  0x1.ce0a44eb17bccp-2,
};
/* log1p(r) / ln 2 ~ A0 r^5 + A1 r^4 + A2 r^3 + A3 r^2 + A4 r */
#define QUELMO_POWF_A0 0x1.27616c9496e0bp-2
#define QUELMO_POWF_A1 (-0x1.71969a075c67ap-2)
#define QUELMO_POWF_A2 0x1.ec70a6ca7baddp-2
#define QUELMO_POWF_A3 (-0x1.7154748bef6c8p-1)
#define QUELMO_POWF_A4 0x1.71547652ab82bp+0

/* exp2 part: 2^(i/32) as bit patterns with the exponent bits of i/32 left
 * out; the integer part of the scaled argument is added into the exponent. */
static const uint64_t quelmo_exp2_tab[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};
/* Adding and subtracting 1.5 * 2^47 rounds to a multiple of 1/32; the low
 * bits of the sum's pattern are then the scaled integer. */
#define QUELMO_EXP2_SHIFT 0x1.8p+47
/* 2^r ~ C0 r^3 + C1 r^2 + C2 r + 1 for |r| <= 1/64 */
#define QUELMO_EXP2_C0 0x1.c6af84b912394p-5
#define QUELMO_EXP2_C1 0x1.ebfce50fac4f3p-3
#define QUELMO_EXP2_C2 0x1.62e42ff0c52d6p-1
/* Patterns (bits 47..62 of y log2 x) from 126.0 up leave the main path:
 * the result could overflow or underflow there. */
#define QUELMO_POWF_BIG 0x80bfu

/* ---- scalar pieces shared by every replica ---- */

static inline uint32_t quelmo_f2u(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    return u;
}

static inline float quelmo_u2f(uint32_t u) {
    float f;
    memcpy(&f, &u, sizeof f);
    return f;
}

static inline uint64_t quelmo_d2u(double d) {
    uint64_t u;
    memcpy(&u, &d, sizeof u);
    return u;
}

static inline double quelmo_u2d(uint64_t u) {
    double d;
    memcpy(&d, &u, sizeof d);
    return d;
}

/* x is on the main path when it is a positive normal float. */
static inline int powf_x_on_main_path(float x) {
    return quelmo_f2u(x) - 0x00800000u < 0x7f800000u - 0x00800000u;
}

/* y = 0, +-inf and NaN take the library's special cases for every x. */
static inline int powf_y_on_main_path(float y) {
    return 2u * quelmo_f2u(y) - 1u < 2u * 0x7f800000u - 1u;
}

/* The SSE2 build: every product and sum rounded.  Returns 0 and leaves *out
 * alone where the input leaves the main path.  x and y must pass the two
 * checks above. */
static inline int powf_sse2_replica(float x, float y, float *out) {
    const uint32_t ix = quelmo_f2u(x);
    const uint32_t tmp = ix - QUELMO_POWF_OFF;
    const uint32_t i = (tmp >> 19) & 15u;
    const uint32_t top = tmp & 0xff800000u;
    const double z = (double)quelmo_u2f(ix - top);
    const double k = (double)((int32_t)top >> 23);
    const double r = z * quelmo_powf_invc[i] - 1.0;
    const double y0 = quelmo_powf_logc[i] + k;
    const double r2 = r * r;
    double yl = QUELMO_POWF_A0 * r + QUELMO_POWF_A1;
    const double p = QUELMO_POWF_A2 * r + QUELMO_POWF_A3;
    const double r4 = r2 * r2;
    double q = QUELMO_POWF_A4 * r + y0;
    q = p * r2 + q;
    yl = yl * r4 + q;
    const double ylogx = (double)y * yl;
    if (((quelmo_d2u(ylogx) >> 47) & 0xffffu) >= QUELMO_POWF_BIG) return 0;
    double kd = ylogx + QUELMO_EXP2_SHIFT;
    const uint64_t ki = quelmo_d2u(kd);
    kd = kd - QUELMO_EXP2_SHIFT;
    const double rr = ylogx - kd;
    const double s = quelmo_u2d(quelmo_exp2_tab[ki & 31u] + (ki << 47));
    const double zz = QUELMO_EXP2_C0 * rr + QUELMO_EXP2_C1;
    const double rr2 = rr * rr;
    double e = QUELMO_EXP2_C2 * rr + 1.0;
    e = zz * rr2 + e;
    e = e * s;
    *out = (float)e;
    return 1;
}

#if QUELMO_POWF_X86

/* The FMA build, one input at a time (same contract as above). */
__attribute__((target("fma"))) static inline int powf_fma_replica(float x, float y,
                                                                   float *out) {
    const uint32_t ix = quelmo_f2u(x);
    const uint32_t tmp = ix - QUELMO_POWF_OFF;
    const uint32_t i = (tmp >> 19) & 15u;
    const uint32_t top = tmp & 0xff800000u;
    const double z = (double)quelmo_u2f(ix - top);
    const double k = (double)((int32_t)top >> 23);
    const double r = __builtin_fma(z, quelmo_powf_invc[i], -1.0);
    const double y0 = quelmo_powf_logc[i] + k;
    double yl = __builtin_fma(r, QUELMO_POWF_A0, QUELMO_POWF_A1);
    const double p = __builtin_fma(r, QUELMO_POWF_A2, QUELMO_POWF_A3);
    const double r2 = r * r;
    double q = __builtin_fma(r, QUELMO_POWF_A4, y0);
    const double r4 = r2 * r2;
    q = __builtin_fma(r2, p, q);
    yl = __builtin_fma(yl, r4, q);
    const double ylogx = (double)y * yl;
    if (((quelmo_d2u(ylogx) >> 47) & 0xffffu) >= QUELMO_POWF_BIG) return 0;
    double kd = ylogx + QUELMO_EXP2_SHIFT;
    const uint64_t ki = quelmo_d2u(kd);
    kd = kd - QUELMO_EXP2_SHIFT;
    const double rr = ylogx - kd;
    const double s = quelmo_u2d(quelmo_exp2_tab[ki & 31u] + (ki << 47));
    const double zz = __builtin_fma(rr, QUELMO_EXP2_C0, QUELMO_EXP2_C1);
    const double rr2 = rr * rr;
    double e = __builtin_fma(rr, QUELMO_EXP2_C2, 1.0);
    e = __builtin_fma(zz, rr2, e);
    e = e * s;
    *out = (float)e;
    return 1;
}

/* The FMA build on four inputs (AVX2 with table gathers).  Returns the four
 * results and sets bit l of *off for every lane l off the main path (its
 * result is then meaningless).  y must be on the main path. */
__attribute__((target("avx2,fma"))) static inline __m128 powf_fma_replica_x4(__m128 x, double y,
                                                                             int *off) {
    const __m128i ix = _mm_castps_si128(x);
    const __m128i tmp = _mm_sub_epi32(ix, _mm_set1_epi32((int)QUELMO_POWF_OFF));
    const __m128i i = _mm_and_si128(_mm_srli_epi32(tmp, 19), _mm_set1_epi32(15));
    const __m128i top = _mm_and_si128(tmp, _mm_set1_epi32((int)0xff800000u));
    const __m256d z = _mm256_cvtps_pd(_mm_castsi128_ps(_mm_sub_epi32(ix, top)));
    const __m256d k = _mm256_cvtepi32_pd(_mm_srai_epi32(top, 23));
    const __m256d invc = _mm256_i32gather_pd(quelmo_powf_invc, i, 8);
    const __m256d logc = _mm256_i32gather_pd(quelmo_powf_logc, i, 8);
    const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
    const __m256d y0 = _mm256_add_pd(logc, k);
    __m256d yl = _mm256_fmadd_pd(r, _mm256_set1_pd(QUELMO_POWF_A0), _mm256_set1_pd(QUELMO_POWF_A1));
    const __m256d p =
        _mm256_fmadd_pd(r, _mm256_set1_pd(QUELMO_POWF_A2), _mm256_set1_pd(QUELMO_POWF_A3));
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d q = _mm256_fmadd_pd(r, _mm256_set1_pd(QUELMO_POWF_A4), y0);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    q = _mm256_fmadd_pd(r2, p, q);
    yl = _mm256_fmadd_pd(yl, r4, q);
    const __m256d ylogx = _mm256_mul_pd(_mm256_set1_pd(y), yl);
    // Off the main path: x not a positive normal (unsigned ix - 2^23 beyond
    // the normal range; the sign flip turns the unsigned test into a signed
    // compare), or the exponent test on bits 47..62 of y log2 x.
    const __m128i xoff = _mm_cmpgt_epi32(
        _mm_xor_si128(_mm_sub_epi32(ix, _mm_set1_epi32(0x00800000)), _mm_set1_epi32(INT32_MIN)),
        _mm_set1_epi32((int)(0x7f800000u - 0x00800000u - 1u) ^ INT32_MIN));
    const __m256i big = _mm256_cmpgt_epi64(
        _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(ylogx), 47),
                         _mm256_set1_epi64x(0xffff)),
        _mm256_set1_epi64x(QUELMO_POWF_BIG - 1));
    *off = _mm_movemask_ps(_mm_castsi128_ps(xoff)) | _mm256_movemask_pd(_mm256_castsi256_pd(big));

    const __m256d shift = _mm256_set1_pd(QUELMO_EXP2_SHIFT);
    __m256d kd = _mm256_add_pd(ylogx, shift);
    const __m256i ki = _mm256_castpd_si256(kd);
    kd = _mm256_sub_pd(kd, shift);
    const __m256d rr = _mm256_sub_pd(ylogx, kd);
    const __m256i t = _mm256_i64gather_epi64(
        (const long long *)quelmo_exp2_tab, _mm256_and_si256(ki, _mm256_set1_epi64x(31)), 8);
    const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(t, _mm256_slli_epi64(ki, 47)));
    const __m256d zz =
        _mm256_fmadd_pd(rr, _mm256_set1_pd(QUELMO_EXP2_C0), _mm256_set1_pd(QUELMO_EXP2_C1));
    const __m256d rr2 = _mm256_mul_pd(rr, rr);
    __m256d e = _mm256_fmadd_pd(rr, _mm256_set1_pd(QUELMO_EXP2_C2), _mm256_set1_pd(1.0));
    e = _mm256_fmadd_pd(zz, rr2, e);
    e = _mm256_mul_pd(e, s);
    return _mm256_cvtpd_ps(e);
}

/* The FMA build on eight inputs (AVX-512 F and VL).  The tables sit in
 * registers and two-source permutes replace the gathers.  Same contract as
 * the 4-lane form, bits 0..7 of the returned mask. */
__attribute__((target("avx512f,avx512vl"))) static inline __m256 powf_fma_replica_x8(__m256 x, __m512d y,
                                                                            __mmask8 *off) {
    const __m256i ix = _mm256_castps_si256(x);
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32((int)QUELMO_POWF_OFF));
    const __m256i i = _mm256_and_si256(_mm256_srli_epi32(tmp, 19), _mm256_set1_epi32(15));
    const __m256i top = _mm256_and_si256(tmp, _mm256_set1_epi32((int)0xff800000u));
    const __m512d z = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm256_sub_epi32(ix, top)));
    const __m512d k = _mm512_cvtepi32_pd(_mm256_srai_epi32(top, 23));
    const __m512i i64 = _mm512_cvtepu32_epi64(i);
    const __m512d invc = _mm512_permutex2var_pd(_mm512_loadu_pd(quelmo_powf_invc), i64,
                                                _mm512_loadu_pd(quelmo_powf_invc + 8));
    const __m512d logc = _mm512_permutex2var_pd(_mm512_loadu_pd(quelmo_powf_logc), i64,
                                                _mm512_loadu_pd(quelmo_powf_logc + 8));
    const __m512d r = _mm512_fmadd_pd(z, invc, _mm512_set1_pd(-1.0));
    const __m512d y0 = _mm512_add_pd(logc, k);
    __m512d yl = _mm512_fmadd_pd(r, _mm512_set1_pd(QUELMO_POWF_A0), _mm512_set1_pd(QUELMO_POWF_A1));
    const __m512d p =
        _mm512_fmadd_pd(r, _mm512_set1_pd(QUELMO_POWF_A2), _mm512_set1_pd(QUELMO_POWF_A3));
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d q = _mm512_fmadd_pd(r, _mm512_set1_pd(QUELMO_POWF_A4), y0);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    q = _mm512_fmadd_pd(r2, p, q);
    yl = _mm512_fmadd_pd(yl, r4, q);
    const __m512d ylogx = _mm512_mul_pd(y, yl);
    // Off the main path: x not a positive normal (ix - 2^23 unsigned beyond
    // the normal range), or bits 47..62 of y log2 x at or above 0x80bf,
    // which is |y log2 x| >= 126.0 (0x405f800000000000) or NaN.
    const __mmask8 xoff =
        _mm256_cmp_epu32_mask(_mm256_sub_epi32(ix, _mm256_set1_epi32(0x00800000)),
                              _mm256_set1_epi32((int)(0x7f800000u - 0x00800000u)), _MM_CMPINT_NLT);
    const __mmask8 big =
        _mm512_cmp_pd_mask(_mm512_abs_pd(ylogx), _mm512_set1_pd(126.0), _CMP_NLT_UQ);
    *off = (__mmask8)(xoff | big);

    const __m512d shift = _mm512_set1_pd(QUELMO_EXP2_SHIFT);
    __m512d kd = _mm512_add_pd(ylogx, shift);
    const __m512i ki = _mm512_castpd_si512(kd);
    kd = _mm512_sub_pd(kd, shift);
    const __m512d rr = _mm512_sub_pd(ylogx, kd);
    const __m512i *tab = (const __m512i *)quelmo_exp2_tab;
    const __m512i t_lo = _mm512_permutex2var_epi64(_mm512_loadu_si512(tab), ki,
                                                   _mm512_loadu_si512(tab + 1));
    const __m512i t_hi = _mm512_permutex2var_epi64(_mm512_loadu_si512(tab + 2), ki,
                                                   _mm512_loadu_si512(tab + 3));
    const __m512i t = _mm512_mask_blend_epi64(_mm512_test_epi64_mask(ki, _mm512_set1_epi64(16)),
                                              t_lo, t_hi);
    const __m512d s = _mm512_castsi512_pd(_mm512_add_epi64(t, _mm512_slli_epi64(ki, 47)));
    const __m512d zz =
        _mm512_fmadd_pd(rr, _mm512_set1_pd(QUELMO_EXP2_C0), _mm512_set1_pd(QUELMO_EXP2_C1));
    const __m512d rr2 = _mm512_mul_pd(rr, rr);
    __m512d e = _mm512_fmadd_pd(rr, _mm512_set1_pd(QUELMO_EXP2_C2), _mm512_set1_pd(1.0));
    e = _mm512_fmadd_pd(zz, rr2, e);
    e = _mm512_mul_pd(e, s);
    return _mm512_cvtpd_ps(e);
}

#endif /* QUELMO_POWF_X86 */

#endif /* QUELMO_FAST_POWF_H */
