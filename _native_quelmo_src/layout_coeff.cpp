// Gradient terms of the layout in bulk (layout_coeff.h).
//
// Each kernel runs in blocks: a loop forms the squared distances, the powers
// of the whole block come from the batch powf, and a second loop finishes the
// per-pair arithmetic.  The plain loops below are the per-pair code as it
// stands; the AVX2 ones do the same per lane (layout_lanes.h).

#include "layout_coeff.h"

#include "layout_lanes.h"
#include "umap_layout_internal.h"

namespace {

constexpr size_t kBlock = 256;

// rdist of two coordinates: 0.0f + x0 * x0 is x0 * x0, a square never being
// -0.0f, so the leading zero of the sequential sum is left out.
inline float sq2(float x0, float x1) { return x0 * x0 + x1 * x1; }

inline void pull2_loops(const layout_coeff *c, float *d0, float *d1, size_t n) {
    float d2[kBlock], pw[kBlock];
    const float a = c->a, b = c->b;
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x0 = d0 + lo, *x1 = d1 + lo;
        for (size_t i = 0; i < m; ++i) d2[i] = sq2(x0[i], x1[i]);
        c->pow(b - 1.0f, d2, pw, m);
        for (size_t i = 0; i < m; ++i) {
            // Formed for every lane and then selected: a conditional
            // division would keep the compiler from vectorising the loop.
            const float g = vorlix_umap_attractive_from_pow(d2[i], pw[i], a, b);
            const float gc = d2[i] <= 0.0f ? 0.0f : g;
            x0[i] = vorlix_umap_clip(x0[i] * gc);
            x1[i] = vorlix_umap_clip(x1[i] * gc);
        }
    }
}

inline void push2_loops(const layout_coeff *c, float *e0, float *e1, size_t n) {
    float d2[kBlock], pw[kBlock];
    const float a = c->a, b = c->b, gamma = c->gamma;
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x0 = e0 + lo, *x1 = e1 + lo;
        for (size_t i = 0; i < m; ++i) d2[i] = sq2(x0[i], x1[i]);
        c->pow(b, d2, pw, m);
        for (size_t i = 0; i < m; ++i) {
            // gcn is formed for every lane, but only a positive squared
            // distance lets it count: the skip of the per-pair code.
            const float gcn = vorlix_umap_repulsive_from_pow(d2[i], pw[i], a, b, gamma);
            const bool moves = !(d2[i] <= 0.0f) && gcn > 0.0f;
            x0[i] = moves ? vorlix_umap_clip(gcn * x0[i]) : -0.0f;
            x1[i] = moves ? vorlix_umap_clip(gcn * x1[i]) : -0.0f;
        }
    }
}

inline void pull_loops(const layout_coeff *c, float *d2, size_t n) {
    float pw[kBlock];
    const float a = c->a, b = c->b;
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x = d2 + lo;
        c->pow(b - 1.0f, x, pw, m);
        for (size_t i = 0; i < m; ++i) {
            const float g = vorlix_umap_attractive_from_pow(x[i], pw[i], a, b);
            x[i] = x[i] <= 0.0f ? 0.0f : g;
        }
    }
}

inline void push_loops(const layout_coeff *c, float *d2, size_t n) {
    float pw[kBlock];
    const float a = c->a, b = c->b, gamma = c->gamma;
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x = d2 + lo;
        c->pow(b, x, pw, m);
        for (size_t i = 0; i < m; ++i) {
            const float g = vorlix_umap_repulsive_from_pow(x[i], pw[i], a, b, gamma);
            x[i] = x[i] <= 0.0f ? 0.0f : g;
        }
    }
}

#if QUELMO_POWF_X86
// The same loops in 8-lane AVX2 (layout_lanes.h).  The second loop of each
// kernel is written with intrinsics: the compiler leaves the per-pair form
// scalar (its clip and guards are branches it will not turn into selects).
#define QUELMO_AVX2 QUELMO_LANES_AVX2

// Lanes [0, m) of a group of eight.
QUELMO_AVX2 inline __m256i lanes8(size_t m) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32((int)m),
                              _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

QUELMO_AVX2 void pull2_avx2(const layout_coeff *c, float *d0, float *d1, size_t n) {
    float d2[kBlock], pw[kBlock];
    const __m256 a = _mm256_set1_ps(c->a);
    const __m256 k = _mm256_set1_ps((-2.0f * c->a) * c->b);
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x0 = d0 + lo, *x1 = d1 + lo;
        for (size_t i = 0; i < m; ++i) d2[i] = sq2(x0[i], x1[i]);
        c->pow(c->b - 1.0f, d2, pw, m);
        for (size_t i = 0; i < m; i += 8) {
            const __m256i on = lanes8(m - i);
            const __m256 v2 = _mm256_maskload_ps(d2 + i, on);
            const __m256 g = lanes_attract8(v2, _mm256_maskload_ps(pw + i, on), a, k);
            const __m256 gc = _mm256_andnot_ps(lanes_le_zero8(v2), g);
            const __m256 v0 = _mm256_maskload_ps(x0 + i, on);
            const __m256 v1 = _mm256_maskload_ps(x1 + i, on);
            _mm256_maskstore_ps(x0 + i, on, lanes_clip8(_mm256_mul_ps(v0, gc)));
            _mm256_maskstore_ps(x1 + i, on, lanes_clip8(_mm256_mul_ps(v1, gc)));
        }
    }
}

QUELMO_AVX2 void push2_avx2(const layout_coeff *c, float *e0, float *e1, size_t n) {
    float d2[kBlock], pw[kBlock];
    const __m256 a = _mm256_set1_ps(c->a);
    const __m256 k = _mm256_set1_ps((2.0f * c->gamma) * c->b);
    const __m256 neg0 = _mm256_set1_ps(-0.0f);
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x0 = e0 + lo, *x1 = e1 + lo;
        for (size_t i = 0; i < m; ++i) d2[i] = sq2(x0[i], x1[i]);
        c->pow(c->b, d2, pw, m);
        for (size_t i = 0; i < m; i += 8) {
            const __m256i on = lanes8(m - i);
            const __m256 v2 = _mm256_maskload_ps(d2 + i, on);
            const __m256 gcn = lanes_repulse8(v2, _mm256_maskload_ps(pw + i, on), a, k);
            const __m256 moves = _mm256_andnot_ps(
                lanes_le_zero8(v2), _mm256_cmp_ps(gcn, _mm256_setzero_ps(), _CMP_GT_OQ));
            const __m256 g0 = lanes_clip8(_mm256_mul_ps(gcn, _mm256_maskload_ps(x0 + i, on)));
            const __m256 g1 = lanes_clip8(_mm256_mul_ps(gcn, _mm256_maskload_ps(x1 + i, on)));
            _mm256_maskstore_ps(x0 + i, on, _mm256_blendv_ps(neg0, g0, moves));
            _mm256_maskstore_ps(x1 + i, on, _mm256_blendv_ps(neg0, g1, moves));
        }
    }
}

QUELMO_AVX2 void pull_avx2(const layout_coeff *c, float *d2, size_t n) {
    float pw[kBlock];
    const __m256 a = _mm256_set1_ps(c->a);
    const __m256 k = _mm256_set1_ps((-2.0f * c->a) * c->b);
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x = d2 + lo;
        c->pow(c->b - 1.0f, x, pw, m);
        for (size_t i = 0; i < m; i += 8) {
            const __m256i on = lanes8(m - i);
            const __m256 v2 = _mm256_maskload_ps(x + i, on);
            const __m256 g = lanes_attract8(v2, _mm256_maskload_ps(pw + i, on), a, k);
            _mm256_maskstore_ps(x + i, on, _mm256_andnot_ps(lanes_le_zero8(v2), g));
        }
    }
}

QUELMO_AVX2 void push_avx2(const layout_coeff *c, float *d2, size_t n) {
    float pw[kBlock];
    const __m256 a = _mm256_set1_ps(c->a);
    const __m256 k = _mm256_set1_ps((2.0f * c->gamma) * c->b);
    for (size_t lo = 0; lo < n; lo += kBlock) {
        const size_t m = n - lo < kBlock ? n - lo : kBlock;
        float *x = d2 + lo;
        c->pow(c->b, x, pw, m);
        for (size_t i = 0; i < m; i += 8) {
            const __m256i on = lanes8(m - i);
            const __m256 v2 = _mm256_maskload_ps(x + i, on);
            const __m256 g = lanes_repulse8(v2, _mm256_maskload_ps(pw + i, on), a, k);
            _mm256_maskstore_ps(x + i, on, _mm256_andnot_ps(lanes_le_zero8(v2), g));
        }
    }
}
#undef QUELMO_AVX2
#endif

}  // namespace

void layout_coeff_init_kind(layout_coeff *c, float a, float b, float gamma, int kind) {
    c->a = a;
    c->b = b;
    c->gamma = gamma;
    c->powf_kind = kind;
    c->pow = powf_batch_select(kind);
    // The AVX2 loops need nothing from the replica: they serve the plain
    // powf as well wherever the CPU has AVX2.
    c->simd = cpu_simd_level();
}

void layout_coeff_init(layout_coeff *c, float a, float b, float gamma) {
    layout_coeff_init_kind(c, a, b, gamma, powf_identify());
}

void layout_pull2(const layout_coeff *c, float *d0, float *d1, size_t n) {
#if QUELMO_POWF_X86
    if (c->simd) return pull2_avx2(c, d0, d1, n);
#endif
    pull2_loops(c, d0, d1, n);
}

void layout_push2(const layout_coeff *c, float *e0, float *e1, size_t n) {
#if QUELMO_POWF_X86
    if (c->simd) return push2_avx2(c, e0, e1, n);
#endif
    push2_loops(c, e0, e1, n);
}

void layout_pull(const layout_coeff *c, float *d2, size_t n) {
#if QUELMO_POWF_X86
    if (c->simd) return pull_avx2(c, d2, n);
#endif
    pull_loops(c, d2, n);
}

void layout_push(const layout_coeff *c, float *d2, size_t n) {
#if QUELMO_POWF_X86
    if (c->simd) return push_avx2(c, d2, n);
#endif
    push_loops(c, d2, n);
}
