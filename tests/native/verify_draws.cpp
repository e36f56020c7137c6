// Checks the vector forms of the layout's random draws against the per-edge
// primitives of umap_layout_internal.h: the stream seeds of eight edges
// (layout_seed8, every instruction set the CPU has) against
// vorlix_umap_seed_rng, and the remainders by the point count of the vector
// lanes (layout_lanes.h) against %, for point counts across the whole int
// range and stream values at and around multiples of them.
//
//   g++ -O2 -std=c++17 -ffp-contract=off -I_native_quelmo_src
//       tests/native/verify_draws.cpp _native_quelmo_src/layout_draw.cpp
//       _native_quelmo_src/fast_powf.cpp -o verify_draws
//
// Prints one line per check; exits 1 on any mismatch.

#include "fast_powf.h"
#include "layout_draw.h"
#include "layout_lanes.h"
#include "umap_layout_internal.h"

#include <math.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

uint64_t next_u64(uint64_t *state) {
    *state = vorlix_umap_splitmix64(*state);
    return *state;
}

int check_seeds(int simd) {
    uint64_t state = 42;
    int bad = 0;
    for (int round = 0; round < 20000; ++round) {
        const uint64_t seed = next_u64(&state);
        const int epoch = (int)(next_u64(&state) >> 40) - (round % 3 == 0 ? 1 << 23 : 0);
        int64_t edge[LAYOUT_DRAW_LANES];
        for (int l = 0; l < LAYOUT_DRAW_LANES; ++l)
            edge[l] = round % 5 == 0 ? (int64_t)next_u64(&state) : (int64_t)(next_u64(&state) >> 33);
        uint32_t s0[LAYOUT_DRAW_LANES], s1[LAYOUT_DRAW_LANES], s2[LAYOUT_DRAW_LANES];
        layout_seed8(seed, edge, epoch, s0, s1, s2, simd);
        for (int l = 0; l < LAYOUT_DRAW_LANES; ++l) {
            uint32_t want[3];
            vorlix_umap_seed_rng(seed, edge[l], epoch, want);
            bad += want[0] != s0[l] || want[1] != s1[l] || want[2] != s2[l];
        }
    }
    std::printf("seeds, simd level %d: %d mismatches\n", simd, bad);
    return bad;
}

#if defined(__x86_64__)
QUELMO_LANES_AVX2 void mod8_avx2(const uint32_t *r, uint32_t n, uint32_t *out) {
    const __m256d nd = _mm256_set1_pd((double)n);
    const __m256d inv = _mm256_set1_pd(1.0 / (double)n);
    _mm256_storeu_si256((__m256i *)out,
                        lanes_mod8_avx2(_mm256_loadu_si256((const __m256i *)r), nd, inv));
}

QUELMO_LANES_AVX512 void mod8_avx512(const uint32_t *r, uint32_t n, uint32_t *out) {
    const __m512d inv_low = _mm512_set1_pd(nextafter(1.0 / (double)n, 0.0));
    _mm256_storeu_si256((__m256i *)out,
                        lanes_mod8(_mm256_loadu_si256((const __m256i *)r),
                                   _mm256_set1_epi32((int)n), inv_low));
}
#endif

// Stream values for a point count: both ends of the range, the multiples of
// n nearest to a spread of values and their neighbours, and random ones.
std::vector<uint32_t> values_for(uint32_t n, uint64_t *state) {
    std::vector<uint32_t> r = {0u, 1u, 2u, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x80000000u, 0x7FFFFFFFu};
    for (int i = 0; i < 200; ++i) {
        const uint64_t at = next_u64(state) >> 32;
        const uint64_t m = at - at % n;
        for (int64_t d = -2; d <= 2; ++d) {
            const int64_t v = (int64_t)m + d;
            if (v >= 0 && v <= 0xFFFFFFFFll) r.push_back((uint32_t)v);
        }
        r.push_back((uint32_t)next_u64(state));
    }
    while (r.size() % 8 != 0) r.push_back((uint32_t)next_u64(state));
    return r;
}

int check_remainders(int simd) {
    uint64_t state = 7;
    std::vector<uint32_t> counts = {1u, 2u, 3u, 7u, 10u, 600u, 10000u, 65536u, 100003u,
                                    (1u << 20) - 1u, 1u << 20, (1u << 20) + 1u, 1000000u,
                                    (1u << 30) + 3u, 0x7FFFFFFEu, 0x7FFFFFFFu};
    for (int i = 0; i < 400; ++i) counts.push_back(1u + (uint32_t)(next_u64(&state) >> 33));
    int bad = 0;
    for (uint32_t n : counts) {
        const std::vector<uint32_t> r = values_for(n, &state);
        for (size_t i = 0; i < r.size(); i += 8) {
            uint32_t got[8];
#if defined(__x86_64__)
            if (simd >= 5)
                mod8_avx512(&r[i], n, got);
            else
                mod8_avx2(&r[i], n, got);
#endif
            for (int l = 0; l < 8; ++l) bad += got[l] != r[i + l] % n;
        }
    }
    std::printf("remainders, simd level %d: %zu point counts, %d mismatches\n", simd,
                counts.size(), bad);
    return bad;
}

}  // namespace

int main() {
    const int level = cpu_simd_level();
    int bad = check_seeds(0);
    for (int simd : {2, 5}) {
        if (simd > level) continue;
        bad += check_seeds(simd);
        bad += check_remainders(simd);
    }
    return bad == 0 ? 0 : 1;
}
