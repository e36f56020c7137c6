// Compares the powf replicas of _native_quelmo_src/fast_powf.h with the
// platform powf, bit for bit, on every input the replicas accept.
//
//   g++ -O2 -std=c++17 -ffp-contract=off -pthread -I_native_quelmo_src
//       tests/native/verify_powf.cpp _native_quelmo_src/fast_powf.cpp -o verify_powf
//   ./verify_powf [--exhaustive] [--threads N] [--kind fma|sse2] [y ...]
//
// Without --exhaustive: 2^22 random positive floats plus every binade's edges
// per exponent (the test suite runs this).  With it: every positive finite
// float (all 2,139,095,040 patterns from +0 to the largest finite) per
// exponent.  The default exponents are those of the default layout curve
// (b - 1 and b for min_dist 0.1, spread 1), of a few other curves and some
// round ones.  The replica checked is the one that powf_identify() picks for
// the running library; run once more under
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA to check the SSE2 build's.
// --kind checks that replica whatever the identification says (to prove a
// new build before its hash is added).  Every vector width the CPU has is checked next to the scalar form.
// Prints the code hash, the identified kind and per exponent the number of
// inputs on the main path, off it, and mismatches; exits 1 on any mismatch.

#include "fast_powf.h"

#include <math.h>
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

struct job {
    int kind;
    float y;
    uint64_t lo, hi;    // bit patterns [lo, hi) when exhaustive
    const uint32_t *xs; // else these inputs
    uint64_t n;
    bool avx2, avx512;
    uint64_t on_path, off_path, mismatches;
    uint32_t first_bad;
};

uint32_t pattern(const job *j, uint64_t t) { return j->xs ? j->xs[t] : (uint32_t)(j->lo + t); }

// One input against the platform's result: a lane off the main path is
// counted (its x must really be off the path when the replica says so for
// the x test alone), a lane on it must give the same bits.
void compare(job *j, uint32_t ix, float want, float got, bool on) {
    if (!on) {
        j->off_path += 1;
        return;
    }
    j->on_path += 1;
    if (quelmo_f2u(got) != quelmo_f2u(want)) {
        if (j->mismatches == 0) j->first_bad = ix;
        j->mismatches += 1;
    }
}

#if QUELMO_POWF_X86
__attribute__((target("avx2,fma"))) void vector_x4(const job *j, const uint32_t *in, float *out,
                                                   int *off) {
    for (int h = 0; h < 8; h += 4) {
        int o = 0;
        _mm_storeu_ps(out + h,
                      powf_fma_replica_x4(_mm_loadu_ps((const float *)in + h), (double)j->y, &o));
        *off |= o << h;
    }
}

__attribute__((target("avx512f,avx512vl"))) void vector_x8(const job *j, const uint32_t *in, float *out,
                                                  int *off) {
    __mmask8 o = 0;
    _mm256_storeu_ps(out, powf_fma_replica_x8(_mm256_loadu_ps((const float *)in),
                                              _mm512_set1_pd((double)j->y), &o));
    *off = o;
}
#endif

// Blocks of eight inputs: the platform's powf once per input, then the
// scalar replica and every vector form against it.  A vector lane that
// claims the main path must agree with the scalar form's claim.
void *worker(void *raw) {
    job *j = (job *)raw;
    const uint64_t n = j->xs ? j->n : j->hi - j->lo;
    uint32_t in[8];
    float want[8], got[8], vec[8];
    for (uint64_t t = 0; t + 8 <= n; t += 8) {
        int scalar_on = 0;
        for (int l = 0; l < 8; ++l) {
            in[l] = pattern(j, t + l);
            const float x = quelmo_u2f(in[l]);
            want[l] = powf(x, j->y);
            int on = 0;
            if (powf_x_on_main_path(x)) {
#if QUELMO_POWF_X86
                if (j->kind == POWF_GLIBC_FMA) on = powf_fma_replica(x, j->y, &got[l]);
#endif
                if (j->kind == POWF_GLIBC_SSE2) on = powf_sse2_replica(x, j->y, &got[l]);
            }
            scalar_on |= on << l;
            compare(j, in[l], want[l], got[l], on);
        }
#if QUELMO_POWF_X86
        for (int form = 0; form < 2; ++form) {
            if (j->kind != POWF_GLIBC_FMA || !(form == 0 ? j->avx2 : j->avx512)) continue;
            int off = 0;
            if (form == 0) vector_x4(j, in, vec, &off);
            else vector_x8(j, in, vec, &off);
            if ((~off & 0xff) != scalar_on) j->mismatches += 1;
            for (int l = 0; l < 8; ++l) compare(j, in[l], want[l], vec[l], !((off >> l) & 1));
        }
#endif
    }
    return nullptr;
}

uint64_t splitmix(uint64_t *s) {
    uint64_t z = (*s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char **argv) {
    bool exhaustive = false;
    int n_threads = 2;
    int forced = -1;
    std::vector<float> ys;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--exhaustive")) exhaustive = true;
        else if (!std::strcmp(argv[a], "--threads") && a + 1 < argc) n_threads = std::atoi(argv[++a]);
        else if (!std::strcmp(argv[a], "--kind") && a + 1 < argc)
            forced = !std::strcmp(argv[++a], "fma") ? POWF_GLIBC_FMA : POWF_GLIBC_SSE2;
        else ys.push_back(std::strtof(argv[a], nullptr));
    }
    if (n_threads < 1) n_threads = 1;
    if (ys.empty()) {
        // b - 1 and b of the default curve (a = 1.5769, b = 0.8950609), of
        // min_dist 0.5 and 0.0 (b = 1.3617292, 0.64830101 / 1.5769862 as
        // b and b - 1 of other curves), and round exponents.
        ys = {-0.1049391f, 0.8950609f, 1.0f, 1.5f, 0.5f, 1.3617292f,
              0.64830101f, 1.5769862f, -0.3516708f, -2.0f, 3.0f};
    }
    const int identified = powf_identify();
    const int kind = forced >= 0 ? forced : identified;
    bool avx2 = false, avx512 = false;
#if QUELMO_POWF_X86
    avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#endif
    std::printf("powf code hash 0x%016llx, identified kind %d (%s); vector forms:%s%s\n",
                (unsigned long long)powf_code_hash(), kind,
                kind == POWF_GLIBC_FMA ? "FMA build" : kind == POWF_GLIBC_SSE2 ? "SSE2 build"
                                                                                : "no replica",
                kind == POWF_GLIBC_FMA && avx2 ? " avx2" : "",
                kind == POWF_GLIBC_FMA && avx512 ? " avx512f" : "");
    if (kind == POWF_PLATFORM) {
        std::printf("nothing to check: callers use powf\n");
        return 0;
    }

    std::vector<uint32_t> sample;
    if (!exhaustive) {
        uint64_t s = 12345;
        for (int t = 0; t < (1 << 22); ++t) sample.push_back((uint32_t)splitmix(&s) & 0x7fffffffu);
        for (uint32_t e = 0; e < 255; ++e) {
            for (uint32_t m : {0u, 1u, 0x3f3300u, 0x400000u, 0x7ffffeu, 0x7fffffu})
                sample.push_back(e << 23 | m);
        }
        while (sample.size() % (8 * (size_t)n_threads)) sample.push_back(0x3f800000u);
    }

    const uint64_t total = exhaustive ? 0x7f800000ull : sample.size();
    uint64_t bad = 0;
    for (float y : ys) {
        const double t0 = (double)std::clock() / CLOCKS_PER_SEC;
        struct timespec w0, w1;
        clock_gettime(CLOCK_MONOTONIC, &w0);
        std::vector<job> jobs(n_threads);
        std::vector<pthread_t> th(n_threads);
        for (int t = 0; t < n_threads; ++t) {
            // Multiples of 8 per thread, so every vector form sees every input.
            const uint64_t lo = total / 8 * t / n_threads * 8;
            const uint64_t hi = t + 1 == n_threads ? total : total / 8 * (t + 1) / n_threads * 8;
            jobs[t] = job{kind, y, lo, hi, nullptr, hi - lo, avx2, avx512, 0, 0, 0, 0};
            if (!exhaustive) jobs[t].xs = sample.data() + lo;
            pthread_create(&th[t], nullptr, worker, &jobs[t]);
        }
        uint64_t on = 0, off = 0, mis = 0;
        uint32_t first = 0;
        for (int t = 0; t < n_threads; ++t) {
            pthread_join(th[t], nullptr);
            on += jobs[t].on_path;
            off += jobs[t].off_path;
            if (jobs[t].mismatches && !mis) first = jobs[t].first_bad;
            mis += jobs[t].mismatches;
        }
        clock_gettime(CLOCK_MONOTONIC, &w1);
        const double wall = (double)(w1.tv_sec - w0.tv_sec) + 1e-9 * (double)(w1.tv_nsec - w0.tv_nsec);
        std::printf("y = %.9g: %llu inputs x %d forms, %llu on the main path, %llu off it, "
                    "%llu mismatches",
                    (double)y, (unsigned long long)total,
                    1 + (kind == POWF_GLIBC_FMA) * ((int)avx2 + (int)avx512),
                    (unsigned long long)on, (unsigned long long)off, (unsigned long long)mis);
        if (mis) std::printf(" (first x = 0x%08x)", first);
        std::printf("; %.1f s wall, %.1f s cpu\n", wall, (double)std::clock() / CLOCKS_PER_SEC - t0);
        std::fflush(stdout);
        bad += mis;
    }
    std::printf("%s\n", bad ? "MISMATCH" : "all equal");
    return bad ? 1 : 0;
}
