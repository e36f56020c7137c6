// Run-time identification of the platform powf for the replicas of
// fast_powf.h.
//
// A replica is exact only for the code it was proven against, so the resolved
// function itself is recognised: its first code bytes (the whole main path,
// with the offsets of its tables) are hashed and compared with the hashes of
// the builds that were checked over every positive float input.  A short
// comparison with the replica follows, as a guard against a hash collision
// or a patched table.  Anything else - another C library or build, a powf
// interposed by a preloaded library, a CPU without the replica's
// instructions - answers POWF_PLATFORM.

#include "fast_powf.h"

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GLIBC__) && defined(__has_include)
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define QUELMO_HAVE_GLIBC_CPU_FEATURES 1
#endif
#endif

namespace {

// Bytes hashed from the start of the resolved powf: the main path of both
// builds ends before this (317 and 363 bytes in the GNU C library 2.36).
constexpr size_t kCodeBytes = 384;

struct known_build {
    uint64_t hash;
    int kind;
};

// FNV-1a hashes of the first kCodeBytes bytes of powf in the GNU C library
// 2.36 of Debian 12 (x86-64): the FMA build (CPUs with FMA and AVX2) and the
// SSE2 build (all others, or GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA).
// tests/native/verify_powf.cpp prints the hash of the running library and
// checks the replica over every input.
constexpr known_build kKnownBuilds[] = {
    {0xdeae29d87217fc1dull, POWF_GLIBC_FMA},
    {0x7e9401b1092faac6ull, POWF_GLIBC_SSE2},
};

uint64_t fnv1a(const unsigned char *p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

// The C library's view of the CPU where it has one: it includes the state
// the kernel enables and honours GLIBC_TUNABLES=glibc.cpu.hwcaps=-..., which
// is also what steers the library's own choice of its powf build.
bool cpu_has_fma_avx2() {
#if QUELMO_POWF_X86
#if defined(QUELMO_HAVE_GLIBC_CPU_FEATURES)
    return CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2);
#else
    return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
#endif
#else
    return false;
#endif
}

// AVX-512 counts only with the subsets every kernel here may use (F, VL,
// DQ, CD, BW: all AVX-512 CPUs but the first Xeon Phi have them), so that
// masking any one of them with GLIBC_TUNABLES steers every choice alike.
bool cpu_has_avx512() {
#if QUELMO_POWF_X86
#if defined(QUELMO_HAVE_GLIBC_CPU_FEATURES)
    return CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512VL) &&
           CPU_FEATURE_ACTIVE(AVX512DQ) && CPU_FEATURE_ACTIVE(AVX512CD) &&
           CPU_FEATURE_ACTIVE(AVX512BW);
#else
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512cd") &&
           __builtin_cpu_supports("avx512bw");
#endif
#else
    return false;
#endif
}

void batch_platform(float y, const float *x, float *out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = x[i] <= 0.0f ? 0.0f : powf(x[i], y);
}

void batch_sse2(float y, const float *x, float *out, size_t n) {
    if (!powf_y_on_main_path(y)) {
        batch_platform(y, x, out, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        const float xi = x[i];
        float r = 0.0f;
        if (xi <= 0.0f) {
            out[i] = 0.0f;
            continue;
        }
        if (!(powf_x_on_main_path(xi) && powf_sse2_replica(xi, y, &r))) r = powf(xi, y);
        out[i] = r;
    }
}

#if QUELMO_POWF_X86

// Lanes the replica left (off its main path) get the platform powf, except
// those with x <= 0, whose result nobody reads.
void fix_lanes(float y, const float *x, float *out, int off) {
    while (off) {
        const int l = __builtin_ctz((unsigned)off);
        off &= off - 1;
        if (!(x[l] <= 0.0f)) out[l] = powf(x[l], y);
    }
}

__attribute__((target("avx2,fma"))) void batch_avx2(float y, const float *x, float *out,
                                                    size_t n) {
    if (!powf_y_on_main_path(y)) {
        batch_platform(y, x, out, n);
        return;
    }
    const double yd = (double)y;
    float xs[8], rs[8];
    for (size_t i = 0; i < n; i += 8) {
        const size_t m = n - i < 8 ? n - i : 8;
        // A short tail is padded with 1.0f, which stays on the main path.
        for (size_t l = 0; l < 8; ++l) xs[l] = l < m ? x[i + l] : 1.0f;
        int off_lo = 0, off_hi = 0;
        _mm_storeu_ps(rs, powf_fma_replica_x4(_mm_loadu_ps(xs), yd, &off_lo));
        _mm_storeu_ps(rs + 4, powf_fma_replica_x4(_mm_loadu_ps(xs + 4), yd, &off_hi));
        fix_lanes(y, xs, rs, off_lo | off_hi << 4);
        for (size_t l = 0; l < m; ++l) out[i + l] = rs[l];
    }
}

__attribute__((target("avx512f,avx512vl,avx2,fma"))) void batch_avx512(float y, const float *x, float *out,
                                                              size_t n) {
    if (!powf_y_on_main_path(y)) {
        batch_platform(y, x, out, n);
        return;
    }
    const __m512d yd = _mm512_set1_pd((double)y);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __mmask8 off = 0;
        const __m256 xv = _mm256_loadu_ps(x + i);
        _mm256_storeu_ps(out + i, powf_fma_replica_x8(xv, yd, &off));
        if (off) {
            // x and out may be one array: the inputs come from the register.
            float xs[8];
            _mm256_storeu_ps(xs, xv);
            fix_lanes(y, xs, out + i, off);
        }
    }
    if (i < n) {
        float xs[8], rs[8];
        const size_t m = n - i;
        for (size_t l = 0; l < 8; ++l) xs[l] = l < m ? x[i + l] : 1.0f;
        __mmask8 off = 0;
        _mm256_storeu_ps(rs, powf_fma_replica_x8(_mm256_loadu_ps(xs), yd, &off));
        fix_lanes(y, xs, rs, off);
        for (size_t l = 0; l < m; ++l) out[i + l] = rs[l];
    }
}

#endif /* QUELMO_POWF_X86 */

// Replica against powf on a spread of inputs: every binade of x at a few
// mantissas, for exponents like the layout's (b - 1 and b for the usual
// curves) and a few others.
bool spot_check(int kind) {
    static const float ys[] = {-0.1049391f, 0.8950609f, -0.3516708f, 0.6483010f, 1.5f, -2.25f};
    static const uint32_t mantissas[] = {0x000000u, 0x1a2b3cu, 0x3f3300u, 0x555555u, 0x7fffffu};
    for (float y : ys) {
        for (uint32_t e = 1; e < 255; e += 3) {
            for (uint32_t m : mantissas) {
                const float x = quelmo_u2f(e << 23 | m);
                float want = powf(x, y);
                float got = 0.0f;
                int on_path = 0;
#if QUELMO_POWF_X86
                if (kind == POWF_GLIBC_FMA) on_path = powf_fma_replica(x, y, &got);
#endif
                if (kind == POWF_GLIBC_SSE2) on_path = powf_sse2_replica(x, y, &got);
                if (on_path && quelmo_f2u(got) != quelmo_f2u(want)) return false;
            }
        }
    }
    return true;
}

}  // namespace

uint64_t powf_code_hash(void) {
    // Through a volatile pointer: the address of the function that the
    // dynamic linker resolved powf to, not a compiler builtin.
    float (*volatile fn)(float, float) = powf;
    return fnv1a((const unsigned char *)(uintptr_t)fn, kCodeBytes);
}

powf_batch_fn powf_batch_select(int kind) {
#if QUELMO_POWF_X86
    if (kind == POWF_GLIBC_FMA && cpu_has_fma_avx2())
        return cpu_has_avx512() ? batch_avx512 : batch_avx2;
#endif
    if (kind == POWF_GLIBC_SSE2) return batch_sse2;
    return batch_platform;
}

int cpu_simd_level(void) {
    if (!cpu_has_fma_avx2()) return 0;
    return cpu_has_avx512() ? 5 : 2;
}

int powf_batch_simd(int kind) { return kind == POWF_GLIBC_FMA ? cpu_simd_level() : 0; }

int powf_identify(void) {
    const uint64_t h = powf_code_hash();
    int kind = POWF_PLATFORM;
    for (const known_build &b : kKnownBuilds)
        if (b.hash == h) kind = b.kind;
    if (kind == POWF_GLIBC_FMA && !cpu_has_fma_avx2()) kind = POWF_PLATFORM;
    if (kind != POWF_PLATFORM && !spot_check(kind)) kind = POWF_PLATFORM;
    return kind;
}
