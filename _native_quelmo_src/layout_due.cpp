// Due edges of a block of the plan, eight positions at a time (layout_due.h).
//
// The sample count's clamp to the int range with NaN as 0 is done by max/min
// (which give the second operand for a NaN first) and a select; a lane that
// is not due computes on eonn = 0, epn = 1 and is not stored.  The period
// eps of a due edge is read once: its float widened to double is both what
// eons grows by and the dividend of epn = eps / rate.

#include "layout_due.h"

#include "layout_lanes.h"

#include <climits>

#if defined(__x86_64__)

namespace {
constexpr int kAhead = 128;
}

QUELMO_LANES_AVX512 int layout_due_scan(const layout_due_block *blk, int m, int n,
                                        const layout_due_list *out) {
    double *eons = blk->eons;
    double *eonn = blk->eonn;
    const float *eps = blk->eps;
    const __m512d rate = _mm512_set1_pd(blk->rate);
    const __m512d nd = _mm512_set1_pd((double)n);
    const __m512d lo = _mm512_set1_pd((double)INT_MIN), hi = _mm512_set1_pd((double)INT_MAX);
    const __m512d one = _mm512_set1_pd(1.0);
    __m256i at = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    int n_due = 0;
    for (int i = 0; i < m; i += 8, at = _mm256_add_epi32(at, _mm256_set1_epi32(8))) {
        const __mmask8 in = m - i >= 8 ? (__mmask8)0xFF : (__mmask8)((1u << (m - i)) - 1u);
        // The schedule streams in from beyond the caches in all but small
        // layouts, five arrays at once: each is requested kAhead positions
        // ahead (one line of doubles per step, of 32-bit words every other).
        if (i + kAhead < blk->n_ahead) {
            __builtin_prefetch(eons + i + kAhead, 1);
            __builtin_prefetch(eonn + i + kAhead, 1);
            if ((i & 15) == 0) {
                __builtin_prefetch(eps + i + kAhead, 0);
                __builtin_prefetch(blk->head + i + kAhead, 0);
                __builtin_prefetch(blk->tail + i + kAhead, 0);
            }
        }
        const __m512d on = _mm512_maskz_loadu_pd(in, eons + i);
        const __mmask8 d = _mm512_mask_cmp_pd_mask(in, on, nd, _CMP_NGT_UQ);
        if (d == 0) continue;
        const __m512d period = _mm512_cvtps_pd(_mm256_maskz_loadu_ps(d, eps + i));
        _mm512_mask_storeu_pd(eons + i, d, _mm512_add_pd(on, period));
        const __m512d next = _mm512_maskz_loadu_pd(d, eonn + i);
        const __m512d per = _mm512_mask_div_pd(one, d, period, rate);
        const __m512d v = _mm512_div_pd(_mm512_sub_pd(nd, next), per);
        const __mmask8 nan = _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q);
        const __m256i k =
            _mm512_cvttpd_epi32(_mm512_maskz_mov_pd((__mmask8)~nan, _mm512_min_pd(_mm512_max_pd(v, lo), hi)));
        const __mmask8 draws = _mm256_mask_cmpgt_epi32_mask(d, k, _mm256_setzero_si256());
        _mm512_mask_storeu_pd(eonn + i, draws,
                              _mm512_add_pd(next, _mm512_mul_pd(_mm512_cvtepi32_pd(k), per)));
        _mm256_storeu_si256((__m256i *)(out->at + n_due), _mm256_maskz_compress_epi32(d, at));
        _mm256_storeu_si256((__m256i *)(out->n_neg + n_due), _mm256_maskz_compress_epi32(d, k));
        _mm256_storeu_si256((__m256i *)(out->head + n_due),
                            _mm256_maskz_compress_epi32(d, _mm256_maskz_loadu_epi32(d, blk->head + i)));
        _mm256_storeu_si256((__m256i *)(out->tail + n_due),
                            _mm256_maskz_compress_epi32(d, _mm256_maskz_loadu_epi32(d, blk->tail + i)));
        n_due += __builtin_popcount(d);
    }
    return n_due;
}

#else

int layout_due_scan(const layout_due_block *, int, int, const layout_due_list *) { return 0; }

#endif
