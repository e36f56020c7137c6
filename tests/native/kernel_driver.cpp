// Stand-alone driver of the six exported kernels, built with the kernel
// sources linked in directly (not through the Python module) so that it can
// run under AddressSanitizer + UndefinedBehaviorSanitizer and under
// ThreadSanitizer.  It feeds the kernels random and edge-case inputs, checks
// their invariants and compares them bit for bit with the plain references
// in knn_reference.cpp and layout_reference.c, then fails every allocation
// and every thread creation of representative calls, one at a time.
//
// malloc, calloc, realloc, free and pthread_create are interposed with
// -Wl,--wrap (see CMakeLists.txt): only calls from the objects linked into
// this program are seen, which are the kernels, the references and this
// file.  This file itself allocates through operator new (std::vector) and
// starts its own threads through std::thread, neither of which is wrapped,
// so while armed the counters see the kernels alone.
//
// Usage: quelmo_kernel_driver    exit status 0 when every check held.

#include "quelmo_kernels.h"
#include "run_control.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

extern "C" {
// The plain references (tests/native).
float ref_sqd(const float *a, const float *b, int d);
int ref_knn(int n, int d, int k, const float *X, int n_trees, int n_iters, int leaf_size,
            uint64_t seed, int32_t *out_idx, float *out_dist, int threads,
            int stop_after_merge, int no_stop, int64_t *iter_upd, int64_t *counts);
void ref_serial(float *emb, int n_samples, int dim, const int32_t *head, const int32_t *tail,
                int64_t n_edges, const float *eps, int n_epochs, float a, float b, float gamma,
                float initial_alpha, float nsr, uint64_t seed);
void ref_threaded(float *emb, int n_samples, int dim, const int32_t *head,
                  const int32_t *tail, int64_t n_edges, const float *eps, int n_epochs,
                  float a, float b, float gamma, float initial_alpha, float nsr,
                  uint64_t seed, int T, int S);

void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *ptr, size_t size);
void __real_free(void *ptr);
int __real_pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                          void *(*start)(void *), void *arg);
}

namespace {

// ---------------------------------------------------------------------------
// Fault injection.  Counters are atomics: the kernels' worker threads
// allocate too.

std::atomic<int> g_armed{0};
std::atomic<long> g_fail_malloc_at{0}, g_fail_thread_at{0};
std::atomic<long> g_mallocs{0}, g_threads{0}, g_live{0}, g_failed{0};

struct FaultStats {
    long mallocs, threads, live, failed;
};

void arm(long malloc_at, long thread_at) {
    g_fail_malloc_at = malloc_at;
    g_fail_thread_at = thread_at;
    g_mallocs = 0;
    g_threads = 0;
    g_live = 0;
    g_failed = 0;
    g_armed = 1;
}

FaultStats disarm() {
    g_armed = 0;
    return FaultStats{g_mallocs.load(), g_threads.load(), g_live.load(), g_failed.load()};
}

// Returns 1 when this allocation is to fail.
int count_alloc() {
    if (!g_armed) return 0;
    const long nth = ++g_mallocs;
    if (nth == g_fail_malloc_at) {
        ++g_failed;
        return 1;
    }
    return 0;
}

}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
    if (count_alloc()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = __real_malloc(size);
    if (p != nullptr && g_armed) ++g_live;
    return p;
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
    if (count_alloc()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = __real_calloc(count, size);
    if (p != nullptr && g_armed) ++g_live;
    return p;
}

extern "C" void *__wrap_realloc(void *ptr, size_t size) {
    // Counted as a new allocation only when it is one.
    if (ptr == nullptr) return __wrap_malloc(size);
    return __real_realloc(ptr, size);
}

extern "C" void __wrap_free(void *ptr) {
    if (ptr != nullptr && g_armed) --g_live;
    __real_free(ptr);
}

extern "C" int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                                     void *(*start)(void *), void *arg) {
    if (g_armed) {
        const long nth = ++g_threads;
        if (nth == g_fail_thread_at) {
            ++g_failed;
            return EAGAIN;
        }
    }
    return __real_pthread_create(thread, attr, start, arg);
}

namespace {

// ---------------------------------------------------------------------------
// Bookkeeping of checks

int g_checks = 0;
int g_failures = 0;

void check(bool ok, const std::string &what) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        if (g_failures <= 50) std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

template <typename T>
bool same_bits(const std::vector<T> &a, const std::vector<T> &b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Bit equality, except that any NaN equals any NaN: which operand's payload
// a NaN result carries depends on the operand order the compiler picked for
// a commutative operation, which the results do not promise.
bool same_floats(const std::vector<float> &a, const std::vector<float> &b) {
    if (a.size() != b.size()) return false;
    for (size_t j = 0; j < a.size(); ++j) {
        if (std::isnan(a[j]) && std::isnan(b[j])) continue;
        if (std::memcmp(&a[j], &b[j], sizeof(float)) != 0) return false;
    }
    return true;
}

uint32_t float_bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// SplitMix64 stream for the inputs.
struct Rng {
    uint64_t s;
    uint64_t next() {
        s += 0x9E3779B97F4A7C15ULL;
        uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return (double)(next() >> 11) * (1.0 / 9007199254740992.0); }
    int below(int m) { return (int)(next() % (uint64_t)m); }
    float gauss() {
        const double u = uniform() + 1e-12, v = uniform();
        return (float)(std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v));
    }
};

// ---------------------------------------------------------------------------
// kNN

enum DataKind {
    GAUSS,       // normal values
    CLUSTERS,    // a few tight clusters
    DUPLICATES,  // only three distinct rows
    ZEROS,       // all zero: every distance 0
    BYTES,       // integers 0 .. 255, mostly zero blocks (byte copy and masks)
    WITH_NAN,    // normal values with some NaN
    WITH_INF,    // normal values with some infinities
    HUGE_VALUES  // values near the float32 limit: squares overflow to inf
};

const char *kind_name(int kind) {
    static const char *names[] = {"gauss", "clusters", "duplicates", "zeros",
                                  "bytes", "nan",      "inf",        "huge"};
    return names[kind];
}

std::vector<float> make_data(int kind, int n, int d, uint64_t seed) {
    Rng r{seed};
    std::vector<float> X((size_t)n * d);
    std::vector<float> centres(4 * (size_t)d);
    for (auto &c : centres) c = 10.0f * r.gauss();
    for (int i = 0; i < n; ++i) {
        float *x = X.data() + (size_t)i * d;
        for (int t = 0; t < d; ++t) {
            switch (kind) {
                case GAUSS: x[t] = r.gauss(); break;
                case CLUSTERS: x[t] = centres[(size_t)(i % 4) * d + t] + 0.1f * r.gauss(); break;
                case DUPLICATES: x[t] = (float)(i % 3) + (float)t; break;
                case ZEROS: x[t] = 0.0f; break;
                case BYTES: x[t] = (t / 8) % 3 == 0 ? (float)r.below(256) : 0.0f; break;
                case WITH_NAN: x[t] = r.below(17) == 0 ? NAN : r.gauss(); break;
                case WITH_INF:
                    x[t] = r.below(19) == 0 ? (r.below(2) ? INFINITY : -INFINITY) : r.gauss();
                    break;
                case HUGE_VALUES: x[t] = 3e38f * (float)(2.0 * r.uniform() - 1.0); break;
            }
        }
    }
    return X;
}

struct KnnCase {
    int kind, n, d, k, n_trees, n_iters, leaf_size, n_threads;
    uint64_t seed;
};

std::string describe(const KnnCase &c) {
    char buf[200];
    std::snprintf(buf, sizeof buf, "knn %s n=%d d=%d k=%d trees=%d iters=%d leaf=%d threads=%d",
                  kind_name(c.kind), c.n, c.d, c.k, c.n_trees, c.n_iters, c.leaf_size,
                  c.n_threads);
    return buf;
}

int resolved_threads(int n_threads) {
    if (n_threads > 0) return n_threads;
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 ? (int)cpus : 1;
}

// The invariants every output row keeps, whatever the data: ids in range,
// never the point itself, no id twice, empty slots exactly (-1, 1e30f); and
// on finite data heap order and distances equal to the exact kernel's.
void check_knn_rows(const KnnCase &c, const std::vector<float> &X,
                    const std::vector<int32_t> &idx, const std::vector<float> &dist,
                    bool finite) {
    const int n = c.n, d = c.d, k = c.k;
    bool ids_ok = true, empty_ok = true, heap_ok = true, exact_ok = true;
    std::vector<int32_t> seen;
    for (int i = 0; i < n; ++i) {
        const int32_t *ri = idx.data() + (size_t)i * k;
        const float *rd = dist.data() + (size_t)i * k;
        seen.assign(ri, ri + k);
        std::sort(seen.begin(), seen.end());
        for (int j = 0; j < k; ++j) {
            if (ri[j] == -1) {
                empty_ok &= float_bits(rd[j]) == float_bits(1e30f);
                continue;
            }
            ids_ok &= ri[j] >= 0 && ri[j] < n && ri[j] != i;
            if (j > 0 && seen[j] >= 0) ids_ok &= seen[j] != seen[j - 1];
            if (finite && ri[j] >= 0 && ri[j] < n) {
                const float e = ref_sqd(X.data() + (size_t)i * d, X.data() + (size_t)ri[j] * d, d);
                exact_ok &= float_bits(e) == float_bits(rd[j]);
            }
            if (finite && j > 0) heap_ok &= !(rd[j] > rd[(j - 1) / 2]);
        }
    }
    const std::string what = describe(c);
    check(ids_ok, what + ": ids in range, no self, no duplicate");
    check(empty_ok, what + ": empty slots hold 1e30f");
    check(heap_ok, what + ": rows are max-heaps");
    check(exact_ok, what + ": stored distances are exact");
}

int run_knn(const KnnCase &c, const std::vector<float> &X, std::vector<int32_t> &idx,
            std::vector<float> &dist) {
    idx.assign((size_t)c.n * c.k, -7);
    dist.assign((size_t)c.n * c.k, -7.0f);
    return vorlix_knn_descent_f32(c.n, c.d, c.k, X.data(), c.n_trees, c.n_iters, c.leaf_size,
                                  c.seed, idx.data(), dist.data(), c.n_threads);
}

void knn_case(const KnnCase &c) {
    const std::vector<float> X = make_data(c.kind, c.n, c.d, c.seed * 31 + 7);
    const bool finite = std::all_of(X.begin(), X.end(), [](float v) { return std::isfinite(v); });
    std::vector<int32_t> idx, idx2, ridx((size_t)c.n * c.k);
    std::vector<float> dist, dist2, rdist((size_t)c.n * c.k);
    const std::string what = describe(c);
    check(run_knn(c, X, idx, dist) == 0, what + ": status 0");
    check_knn_rows(c, X, idx, dist, finite);
    // The same call again gives the same bits (no dependence on timing).
    check(run_knn(c, X, idx2, dist2) == 0 && same_bits(idx, idx2) && same_bits(dist, dist2),
          what + ": repeats bit for bit");
    // And the plain single-threaded reference gives them too.
    ref_knn(c.n, c.d, c.k, X.data(), c.n_trees, c.n_iters, c.leaf_size, c.seed, ridx.data(),
            rdist.data(), resolved_threads(c.n_threads), 0, 0, nullptr, nullptr);
    check(same_bits(idx, ridx) && same_bits(dist, rdist), what + ": equals the reference");
    // With one tree thread the thread count only splits rows, which changes
    // nothing.
    if (c.n_trees == 1) {
        KnnCase other = c;
        other.n_threads = c.n_threads == 1 ? 3 : 1;
        check(run_knn(other, X, idx2, dist2) == 0 && same_bits(idx, idx2) &&
                  same_bits(dist, dist2),
              what + ": independent of the row split");
    }
    // With the root a leaf, every tree is an exact search: the distances of a
    // row are the k smallest of all (ties may pick other ids).
    if (finite && c.kind != HUGE_VALUES && c.leaf_size >= c.n) {
        bool exact = true;
        std::vector<float> all, got;
        for (int i = 0; i < c.n; ++i) {
            all.clear();
            for (int j = 0; j < c.n; ++j)
                if (j != i)
                    all.push_back(ref_sqd(X.data() + (size_t)i * c.d, X.data() + (size_t)j * c.d,
                                          c.d));
            std::sort(all.begin(), all.end());
            got.assign(dist.begin() + (size_t)i * c.k, dist.begin() + (size_t)(i + 1) * c.k);
            std::sort(got.begin(), got.end());
            exact &= std::equal(got.begin(), got.end(), all.begin());
        }
        check(exact, what + ": exact when the root is a leaf");
    }
}

void knn_invalid() {
    const std::vector<float> X = make_data(GAUSS, 10, 3, 1);
    const int bad[][3] = {{10, 3, 10}, {10, 3, 11}, {0, 3, 1}, {10, 0, 2},
                          {10, 3, 0},  {-1, 3, 2},  {1, 3, 1}, {10, 3, -4}};
    for (const auto &b : bad) {
        std::vector<int32_t> idx(200, 77);
        std::vector<float> dist(200, 7.0f);
        const int rc = vorlix_knn_descent_f32(b[0], b[1], b[2], X.data(), 1, 1, 0, 0,
                                              idx.data(), dist.data(), 2);
        check(rc == -1 && std::all_of(idx.begin(), idx.end(), [](int32_t v) { return v == 77; }) &&
                  std::all_of(dist.begin(), dist.end(), [](float v) { return v == 7.0f; }),
              "knn invalid sizes: -1, nothing written");
    }
}

void knn_suite() {
    std::vector<KnnCase> cases = {
        {GAUSS, 200, 5, 10, 3, 5, 0, 3, 1},
        {CLUSTERS, 150, 9, 7, 4, 6, 12, 2, 2},
        {GAUSS, 30, 4, 29, 2, 3, 0, 2, 3},           // k = n - 1
        {GAUSS, 2, 1, 1, 1, 1, 0, 1, 4},             // smallest problem
        {GAUSS, 3, 1, 2, 5, 2, 0, 64, 5},            // many threads, tiny n
        {GAUSS, 120, 1, 5, 3, 4, 0, 0, 6},           // d = 1, online processors
        {GAUSS, 90, 13, 6, 1, 4, 1, 4, 7},           // tiny leaf (raised to k + 1)
        {GAUSS, 60, 7, 5, 2, 3, 1 << 30, 2, 8},      // huge leaf: root is a leaf
        {DUPLICATES, 80, 6, 5, 2, 4, 0, 3, 9},       // zero distances and ties
        {ZEROS, 40, 3, 4, 2, 2, 0, 2, 10},           // every distance 0
        {BYTES, 100, 256, 8, 3, 4, 0, 3, 11},        // byte copy and block masks
        {WITH_NAN, 70, 9, 6, 2, 3, 0, 2, 12},        // NaN distances
        {WITH_INF, 70, 12, 6, 2, 3, 0, 2, 13},       // infinite coordinates
        {HUGE_VALUES, 50, 8, 5, 2, 3, 0, 2, 14},     // overflowing distances
        {GAUSS, 64, 300, 6, 2, 3, 0, 3, 15},         // 8-, 4- and scalar blocks
        {GAUSS, 80, 5, 6, 0, 0, -5, -1, 16},         // zero and negative counts
        {CLUSTERS, 100, 4, 3, 1, 8, 0, 2, 17},       // one tree: row split only
        {GAUSS, 257, 3, 1, 2, 5, 0, 5, 18},          // k = 1
        {GAUSS, 100, 3, 4, 70, 2, 0, 100, 19},       // 70 tree and 100 row threads
        {GAUSS, 800, 16, 15, 5, 8, 20, 4, 20},
        {CLUSTERS, 500, 40, 12, 6, 6, 0, 0, 21},
    };
    for (const KnnCase &c : cases) knn_case(c);
    knn_invalid();
}

// ---------------------------------------------------------------------------
// Fuzzy graph

struct GraphCase {
    int n, k;
    int hostile;  // ids may be anything, distances may be NaN, inf or negative
    uint64_t seed;
};

void graph_case(const GraphCase &c) {
    Rng r{c.seed};
    const size_t flat = (size_t)c.n * c.k;
    std::vector<int32_t> idx(flat);
    std::vector<float> dist(flat);
    bool well_formed = !c.hostile;
    for (int i = 0; i < c.n; ++i) {
        // Column 0 the point itself, then distinct others by rising distance.
        std::vector<int32_t> others;
        for (int j = 0; j < c.n; ++j)
            if (j != i) others.push_back(j);
        for (size_t j = others.size(); j > 1; --j) std::swap(others[j - 1], others[r.below((int)j)]);
        float acc = 0.0f;
        for (int j = 0; j < c.k; ++j) {
            const size_t off = (size_t)i * c.k + j;
            if (j == 0) {
                idx[off] = i;
                dist[off] = 0.0f;
            } else if (j - 1 < (int)others.size()) {
                idx[off] = others[j - 1];
                acc += (float)r.uniform() * (r.below(5) == 0 ? 0.0f : 1.0f);
                dist[off] = acc;
            } else {
                idx[off] = -1;
                dist[off] = 1e30f;
            }
            if (c.hostile) {
                const int pick = r.below(10);
                if (pick == 0) idx[off] = r.below(c.n + 6) - 3;   // out of range or -1
                if (pick == 1 && c.k > 1) idx[off] = idx[(size_t)i * c.k + (j + 1) % c.k];
                const int pd = r.below(12);
                if (pd == 0) dist[off] = NAN;
                if (pd == 1) dist[off] = INFINITY;
                if (pd == 2) dist[off] = -1.5f;
            }
        }
    }
    std::vector<float> sigmas(c.n, -1.0f), rhos(c.n, -1.0f);
    std::vector<int32_t> rows(flat, 9), cols(flat, 9);
    std::vector<float> vals(flat, 9.0f), tmp(flat, 9.0f);
    std::vector<int32_t> orows(2 * flat, 9), ocols(2 * flat, 9);
    std::vector<float> ovals(2 * flat, 9.0f);
    arm(0, 0);
    vorlix_umap_smooth_knn_dist_f32(c.n, c.k, dist.data(), (float)c.k, 64, 1.0f, 1.0f,
                                    sigmas.data(), rhos.data());
    vorlix_umap_membership_strengths_f32(c.n, c.k, idx.data(), dist.data(), sigmas.data(),
                                         rhos.data(), 1, 0, rows.data(), cols.data(),
                                         vals.data(), tmp.data());
    vorlix_umap_symmetrize_fuzzy_graph_f32(c.n, c.k, rows.data(), cols.data(), vals.data(), 1.0f,
                                           orows.data(), ocols.data(), ovals.data());
    const FaultStats st = disarm();
    char what[120];
    std::snprintf(what, sizeof what, "graph n=%d k=%d hostile=%d", c.n, c.k, c.hostile);
    check(st.mallocs == 0 && st.threads == 0, std::string(what) + ": allocates nothing");
    // Every slot rewritten: either the empty triplet or an edge between two
    // distinct points in range.
    bool slots_ok = true;
    std::vector<std::pair<std::pair<int32_t, int32_t>, uint32_t>> fwd, rev;
    for (size_t s = 0; s < 2 * flat; ++s) {
        const bool empty = orows[s] == 0 && ocols[s] == 0 && float_bits(ovals[s]) == 0;
        const bool edge = orows[s] >= 0 && orows[s] < c.n && ocols[s] >= 0 && ocols[s] < c.n &&
                          orows[s] != ocols[s] && !(ovals[s] <= 0.0f);
        slots_ok &= empty || edge;
        if (!empty) {
            fwd.push_back({{orows[s], ocols[s]}, float_bits(ovals[s])});
            rev.push_back({{ocols[s], orows[s]}, float_bits(ovals[s])});
        }
    }
    check(slots_ok, std::string(what) + ": every slot empty or a valid edge");
    if (well_formed) {
        std::sort(fwd.begin(), fwd.end());
        std::sort(rev.begin(), rev.end());
        check(fwd == rev, std::string(what) + ": triplets symmetric");
        bool range_ok = true;
        for (float v : ovals) range_ok &= v >= 0.0f && v <= 1.0f;
        check(range_ok, std::string(what) + ": strengths in [0, 1]");
    }
}

void graph_invalid() {
    std::vector<float> d(12, 1.0f), s(3, 5.0f), rh(3, 5.0f);
    std::vector<int32_t> id(12, 1), r(24, 5), co(24, 5);
    std::vector<float> v(24, 5.0f);
    vorlix_umap_smooth_knn_dist_f32(3, 4, d.data(), 0.0f, 64, 1.0f, 1.0f, s.data(), rh.data());
    vorlix_umap_smooth_knn_dist_f32(3, 4, d.data(), 4.0f, 0, 1.0f, 1.0f, s.data(), rh.data());
    vorlix_umap_smooth_knn_dist_f32(3, 4, d.data(), 4.0f, 64, 1.0f, 1.0f, nullptr, rh.data());
    vorlix_umap_smooth_knn_dist_f32(0, 4, d.data(), 4.0f, 64, 1.0f, 1.0f, s.data(), rh.data());
    check(s == std::vector<float>(3, 5.0f) && rh == std::vector<float>(3, 5.0f),
          "smooth_knn_dist invalid arguments write nothing");
    vorlix_umap_membership_strengths_f32(3, 4, id.data(), d.data(), s.data(), rh.data(), 1, 0,
                                         r.data(), co.data(), v.data(), nullptr);
    vorlix_umap_symmetrize_fuzzy_graph_f32(3, 0, r.data(), co.data(), v.data(), 1.0f, r.data(),
                                           co.data(), v.data());
    check(r == std::vector<int32_t>(24, 5) && v == std::vector<float>(24, 5.0f),
          "membership and symmetrize invalid arguments write nothing");
    // Hostile scalars of the bandwidth search: bounded by n_iter, no UB.
    const float lcs[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, 0.5f, 2147483648.0f};
    for (float lc : lcs) {
        vorlix_umap_smooth_knn_dist_f32(3, 4, d.data(), NAN, 70, lc, NAN, s.data(), rh.data());
        vorlix_umap_smooth_knn_dist_f32(3, 4, d.data(), 1e38f, 70, lc, 1e30f, s.data(),
                                        rh.data());
    }
    check(true, "smooth_knn_dist hostile scalars");
}

void graph_suite() {
    const GraphCase cases[] = {{1, 1, 0, 1},  {2, 2, 0, 2},   {5, 3, 0, 3},  {50, 8, 0, 4},
                               {40, 15, 0, 5}, {7, 12, 0, 6},  {30, 6, 1, 7}, {60, 10, 1, 8},
                               {3, 1, 1, 9},  {120, 16, 0, 10}};
    for (const GraphCase &c : cases) graph_case(c);
    graph_invalid();
}

// ---------------------------------------------------------------------------
// Layout

struct LayoutCase {
    int n, dim, n_edges, n_epochs;
    float nsr;
    int special;  // 1: loops, disabled and NaN periods; 2: non-finite coordinates
    uint64_t seed;
};

struct LayoutInput {
    std::vector<float> emb, eps;
    std::vector<int32_t> head, tail;
};

LayoutInput make_layout(const LayoutCase &c) {
    Rng r{c.seed};
    LayoutInput in;
    in.emb.resize((size_t)c.n * c.dim);
    for (auto &v : in.emb) {
        v = (float)(10.0 * r.uniform());
        if (c.special == 2 && r.below(40) == 0) v = r.below(2) ? NAN : INFINITY;
    }
    for (int e = 0; e < c.n_edges; ++e) {
        in.head.push_back(r.below(c.n));
        in.tail.push_back(r.below(c.n));
        in.eps.push_back((float)(1.0 / (0.1 + 0.9 * r.uniform())));
        if (c.special == 1) {
            const int pick = r.below(12);
            if (pick == 0) in.tail.back() = in.head.back();
            if (pick == 1) in.eps.back() = 0.0f;
            if (pick == 2) in.eps.back() = -1.0f;
            if (pick == 3) in.eps.back() = NAN;
            if (pick == 4) in.eps.back() = INFINITY;
        }
    }
    return in;
}

int default_substeps(int64_t n_edges, int n_vertices) {
    int64_t s = (n_edges + n_vertices - 1) / n_vertices;
    s = std::max<int64_t>(1, std::min<int64_t>(64, s));
    return (int)std::min<int64_t>(s, n_edges);
}

const float kA = 1.577f, kB = 0.895f, kGamma = 1.0f, kAlpha = 1.0f;

int run_parallel(const LayoutCase &c, const LayoutInput &in, std::vector<float> &emb, int T) {
    emb = in.emb;
    return vorlix_umap_optimize_layout_euclidean_f32_parallel(
        emb.data(), c.n, c.dim, in.head.data(), in.tail.data(), c.n_edges, in.eps.data(),
        c.n_epochs, kA, kB, kGamma, kAlpha, c.nsr, c.seed, T);
}

void run_serial(const LayoutCase &c, const LayoutInput &in, std::vector<float> &emb) {
    emb = in.emb;
    vorlix_umap_optimize_layout_euclidean_f32(emb.data(), c.n, c.dim, in.head.data(),
                                              in.tail.data(), c.n_edges, in.eps.data(),
                                              c.n_epochs, kA, kB, kGamma, kAlpha, c.nsr, c.seed);
}

void layout_case(const LayoutCase &c, const std::vector<int> &thread_counts) {
    const LayoutInput in = make_layout(c);
    char what[160];
    std::snprintf(what, sizeof what, "layout n=%d dim=%d edges=%d epochs=%d nsr=%g special=%d",
                  c.n, c.dim, c.n_edges, c.n_epochs, (double)c.nsr, c.special);
    std::vector<float> serial, ref, emb, again;
    run_serial(c, in, serial);
    ref = in.emb;
    ref_serial(ref.data(), c.n, c.dim, in.head.data(), in.tail.data(), c.n_edges, in.eps.data(),
               c.n_epochs, kA, kB, kGamma, kAlpha, c.nsr, c.seed);
    check(same_floats(serial, ref), std::string(what) + ": serial equals the reference");
    for (int T : thread_counts) {
        const int resolved = resolved_threads(T);
        const int eff = c.n_edges < resolved ? c.n_edges : resolved;
        const int rc = run_parallel(c, in, emb, T);
        const std::string w = std::string(what) + " T=" + std::to_string(T);
        if (eff == 1) {
            check(rc == -1 && same_bits(emb, serial), w + ": one worker runs the serial optimiser");
            continue;
        }
        check(rc == 0, w + ": threaded path completes");
        ref = in.emb;
        ref_threaded(ref.data(), c.n, c.dim, in.head.data(), in.tail.data(), c.n_edges,
                     in.eps.data(), c.n_epochs, kA, kB, kGamma, kAlpha, c.nsr, c.seed, eff,
                     default_substeps(c.n_edges, c.n));
        check(same_floats(emb, ref), w + ": equals the sub-step reference");
        check(run_parallel(c, in, again, T) == 0 && same_bits(emb, again),
              w + ": repeats bit for bit");
        if (c.n_epochs == 1) check(same_bits(emb, in.emb), w + ": one epoch moves nothing");
    }
}

void layout_invalid() {
    const LayoutCase c{10, 2, 20, 5, 5.0f, 0, 3};
    const LayoutInput in = make_layout(c);
    struct Bad {
        int n, dim;
        int64_t edges;
        int epochs;
        float nsr;
        bool null_head;
    };
    const Bad bad[] = {{0, 2, 20, 5, 5.0f, false},  {10, 0, 20, 5, 5.0f, false},
                       {10, 2, 0, 5, 5.0f, false},  {10, 2, -3, 5, 5.0f, false},
                       {10, 2, 20, 0, 5.0f, false}, {10, 2, 20, 5, 0.0f, false},
                       {10, 2, 20, 5, -1.0f, false}, {10, 2, 20, 5, 5.0f, true}};
    for (const Bad &b : bad) {
        std::vector<float> emb = in.emb, emb2 = in.emb;
        arm(0, 0);
        const int rc = vorlix_umap_optimize_layout_euclidean_f32_parallel(
            emb.data(), b.n, b.dim, b.null_head ? nullptr : in.head.data(), in.tail.data(),
            b.edges, in.eps.data(), b.epochs, kA, kB, kGamma, kAlpha, b.nsr, 1, 3);
        vorlix_umap_optimize_layout_euclidean_f32(
            emb2.data(), b.n, b.dim, b.null_head ? nullptr : in.head.data(), in.tail.data(),
            b.edges, in.eps.data(), b.epochs, kA, kB, kGamma, kAlpha, b.nsr, 1);
        const FaultStats st = disarm();
        check(rc == -1 && same_bits(emb, in.emb) && same_bits(emb2, in.emb) &&
                  st.mallocs == 0 && st.threads == 0,
              "layout invalid arguments: -1, nothing allocated or changed");
    }
}

void layout_suite() {
    const std::vector<int> many = {0, 1, 2, 3, 7};
    const std::vector<int> few = {2, 4};
    layout_case({100, 2, 600, 12, 5.0f, 0, 1}, many);
    layout_case({80, 2, 400, 10, 5.0f, 1, 2}, few);      // loops, disabled, NaN periods
    layout_case({60, 1, 300, 8, 3.0f, 1, 3}, few);       // dim 1
    layout_case({50, 3, 250, 8, 5.0f, 0, 4}, few);       // dim 3
    layout_case({30, 16, 200, 6, 2.0f, 0, 5}, few);      // wide rows
    layout_case({1, 2, 40, 6, 5.0f, 0, 6}, few);         // one point: every sample is itself
    layout_case({20, 2, 1, 6, 5.0f, 0, 7}, few);         // one edge: serial
    layout_case({20, 2, 3, 8, 5.0f, 0, 8}, {16});        // fewer edges than threads
    layout_case({40, 2, 200, 8, 1e-30f, 0, 9}, few);     // tiny rate: no negative samples
    layout_case({40, 2, 200, 1, 5.0f, 0, 10}, few);      // one epoch
    layout_case({60, 2, 300, 6, 5.0f, 2, 11}, few);       // NaN and inf coordinates
    layout_case({50, 2, 100, 4, 5.0f, 0, 13}, {64});      // 64 workers
    layout_case({300, 2, 3000, 20, 5.0f, 1, 14}, {2, 3, 5});
    layout_invalid();

    // Sub-steps from the environment, up to one edge per sub-step.
    const LayoutCase c{30, 2, 90, 6, 5.0f, 0, 12};
    const LayoutInput in = make_layout(c);
    const char *values[] = {"5", "1000000", "12abc", "-3", "junk"};
    const int expect[] = {5, 90, 12, default_substeps(90, 30), default_substeps(90, 30)};
    for (int v = 0; v < 5; ++v) {
        setenv("VORLIX_UMAP_SUBSTEPS", values[v], 1);
        std::vector<float> emb, ref = in.emb;
        const int rc = run_parallel(c, in, emb, 3);
        ref_threaded(ref.data(), c.n, c.dim, in.head.data(), in.tail.data(), c.n_edges,
                     in.eps.data(), c.n_epochs, kA, kB, kGamma, kAlpha, c.nsr, c.seed, 3,
                     expect[v]);
        check(rc == 0 && same_floats(emb, ref),
              std::string("layout VORLIX_UMAP_SUBSTEPS=") + values[v] + ": equals the reference");
    }
    unsetenv("VORLIX_UMAP_SUBSTEPS");
}

// ---------------------------------------------------------------------------
// Injected faults: every allocation and every thread creation of a
// representative call, one at a time.

void knn_faults() {
    const KnnCase c{CLUSTERS, 200, 5, 6, 3, 6, 0, 3, 21};
    const std::vector<float> X = make_data(c.kind, c.n, c.d, 99);
    std::vector<int32_t> full, idx;
    std::vector<float> full_d, dist;
    arm(0, 0);
    const int rc0 = run_knn(c, X, full, full_d);
    const FaultStats base = disarm();
    check(rc0 == 0 && base.live == 0 && base.mallocs > 5 && base.threads >= 6,
          "knn faults: baseline call releases everything");
    int ok = 0, refused = 0;
    for (long nth = 1; nth <= base.mallocs; ++nth) {
        arm(nth, 0);
        const int rc = run_knn(c, X, idx, dist);
        const FaultStats st = disarm();
        const std::string what = "knn malloc " + std::to_string(nth) + " failing";
        check(st.failed == 1 && st.live == 0, what + ": everything released");
        check(rc == 0 || rc == -2, what + ": status 0 or -2");
        if (rc == 0) {
            ++ok;
            check_knn_rows(c, X, idx, dist, true);
        } else {
            ++refused;
        }
    }
    check(refused >= 5 && ok >= 1, "knn faults: both outcomes occur");
    for (long nth = 1; nth <= base.threads; ++nth) {
        arm(0, nth);
        const int rc = run_knn(c, X, idx, dist);
        const FaultStats st = disarm();
        check(rc == 0 && st.failed == 1 && st.live == 0 && same_bits(idx, full) &&
                  same_bits(dist, full_d),
              "knn thread " + std::to_string(nth) + " failing: same result in the caller");
    }
    std::printf("knn faults: %ld allocations (%d refused, %d succeeded), %ld thread creations\n",
                base.mallocs, refused, ok, base.threads);
}

void layout_faults() {
    const LayoutCase c{120, 2, 900, 10, 5.0f, 1, 22};
    const LayoutInput in = make_layout(c);
    std::vector<float> serial, emb;
    run_serial(c, in, serial);
    long total_mallocs = 0, total_threads = 0;
    for (int T : {2, 3, 5}) {
        arm(0, 0);
        const int rc0 = run_parallel(c, in, emb, T);
        const FaultStats base = disarm();
        check(rc0 == 0 && base.live == 0 && base.threads == T,
              "layout faults: baseline releases everything");
        for (long nth = 1; nth <= base.mallocs; ++nth) {
            arm(nth, 0);
            const int rc = run_parallel(c, in, emb, T);
            const FaultStats st = disarm();
            // The serial fallback allocates its own schedule, which succeeds.
            check(rc == -1 && same_bits(emb, serial) && st.live == 0 && st.threads == 0,
                  "layout malloc " + std::to_string(nth) + " failing: serial result, no leak");
        }
        // Failing creation nth aborts the barrier with nth - 1 workers
        // started, which leave at their first wait.
        for (long nth = 1; nth <= T; ++nth) {
            arm(0, nth);
            const int rc = run_parallel(c, in, emb, T);
            const FaultStats st = disarm();
            check(rc == -1 && same_bits(emb, serial) && st.live == 0 && st.failed == 1 &&
                      st.threads == nth,
                  "layout thread " + std::to_string(nth) + " of " + std::to_string(T) +
                      " failing: serial result, no leak");
        }
        // A failed creation and then the serial fallback's schedule: nothing
        // ran, which the driver reports as -2.
        for (long nth = 1; nth <= 3; ++nth) {
            arm(base.mallocs + nth, 2);
            const int rc = run_parallel(c, in, emb, T);
            const FaultStats st = disarm();
            check(rc == -2 && same_bits(emb, in.emb) && st.live == 0 && st.failed == 2,
                  "layout thread 2 of " + std::to_string(T) + " and serial malloc " +
                      std::to_string(nth) + " failing: -2, unchanged, no leak");
        }
        total_mallocs += base.mallocs;
        total_threads += T;
    }
    // The serial optimiser's own three allocations, called directly (silent)
    // and as the one-thread path of the threaded driver (-2).
    for (long nth = 1; nth <= 3; ++nth) {
        arm(nth, 0);
        run_serial(c, in, emb);
        FaultStats st = disarm();
        check(same_bits(emb, in.emb) && st.live == 0, "serial layout malloc failing: unchanged");
        arm(nth, 0);
        const int rc = run_parallel(c, in, emb, 1);
        st = disarm();
        check(rc == -2 && same_bits(emb, in.emb) && st.live == 0,
              "one-thread layout malloc failing: -2, unchanged");
    }
    std::printf("layout faults: %ld allocations, %ld thread creations, 3 serial allocations "
                "(each also after a failed creation and on one thread)\n",
                total_mallocs, total_threads);
}

// ---------------------------------------------------------------------------
// Control records: while nobody asks them to stop, the internal entry points
// give the exported kernels' bits and count every tree, iteration and epoch;
// a stop request, before the call or from another thread during it, ends
// the call with RUN_STATUS_STOPPED, every thread joined, every buffer freed.

int64_t slot(const int64_t *control, int s) { return __atomic_load_n(&control[s], __ATOMIC_RELAXED); }

// Sets the stop slot as soon as slot `watch` reaches `at`.
std::thread stop_when(int64_t *control, int watch, int64_t at) {
    return std::thread([control, watch, at] {
        while (slot(control, watch) < at) std::this_thread::yield();
        __atomic_store_n(&control[RUN_STOP], 1, __ATOMIC_RELAXED);
    });
}

int run_knn_control(const KnnCase &c, const std::vector<float> &X, std::vector<int32_t> &idx,
                    std::vector<float> &dist, int64_t *control) {
    idx.assign((size_t)c.n * c.k, -7);
    dist.assign((size_t)c.n * c.k, -7.0f);
    return vorlix_knn_descent_control_f32(c.n, c.d, c.k, X.data(), c.n_trees, c.n_iters,
                                          c.leaf_size, c.seed, idx.data(), dist.data(),
                                          c.n_threads, control);
}

int run_layout_control(const LayoutCase &c, const LayoutInput &in, std::vector<float> &emb,
                       int T, int64_t *control, int may_run_inline) {
    emb = in.emb;
    return vorlix_umap_optimize_layout_control_f32(
        emb.data(), c.n, c.dim, in.head.data(), in.tail.data(), c.n_edges, in.eps.data(),
        c.n_epochs, kA, kB, kGamma, kAlpha, c.nsr, c.seed, T, control, may_run_inline);
}

void control_records() {
    const KnnCase kc{GAUSS, 3000, 16, 8, 8, 10, 0, 3, 41};
    const std::vector<float> X = make_data(kc.kind, kc.n, kc.d, 43);
    std::vector<int32_t> idx0, idx;
    std::vector<float> dist0, dist;
    run_knn(kc, X, idx0, dist0);
    {
        int64_t control[RUN_CONTROL_SLOTS] = {};
        const int rc = run_knn_control(kc, X, idx, dist, control);
        check(rc == 0 && same_bits(idx, idx0) && same_bits(dist, dist0),
              "knn with a control record: the exported bits");
        check(control[RUN_TREES_DONE] == 8 && control[RUN_TREES_TOTAL] == 8 &&
                  control[RUN_ITERS_TOTAL] == 10 && control[RUN_ITERS_DONE] >= 1 &&
                  control[RUN_ITERS_DONE] <= 10 && control[RUN_PHASE] == RUN_PHASE_DESCENT,
              "knn with a control record: every tree and iteration counted");
    }
    for (int during = 0; during < 2; ++during) {
        int64_t control[RUN_CONTROL_SLOTS] = {};
        if (!during) control[RUN_STOP] = 1;
        arm(0, 0);
        std::thread stopper = during ? stop_when(control, RUN_TREES_DONE, 1) : std::thread();
        const int rc = run_knn_control(kc, X, idx, dist, control);
        if (during) stopper.join();
        const FaultStats st = disarm();
        check(rc == RUN_STATUS_STOPPED && st.live == 0 && control[RUN_TREES_DONE] < 8,
              std::string("knn stopped ") + (during ? "during the trees" : "before the call") +
                  ": stopped, everything released");
    }

    const LayoutCase lc{300, 2, 3000, 200, 5.0f, 0, 44};
    const LayoutInput in = make_layout(lc);
    // A layout this small runs its workers inline where allowed: both ways.
    for (int may_run_inline : {0, 1})
    for (int T : {1, 3}) {
        const std::string what = "layout on " + std::to_string(T) + " thread(s)" +
                                 (may_run_inline ? ", inline" : "");
        std::vector<float> emb0, emb;
        const int rc0 = run_parallel(lc, in, emb0, T);
        int64_t control[RUN_CONTROL_SLOTS] = {};
        const int rc = run_layout_control(lc, in, emb, T, control, may_run_inline);
        check(rc == rc0 && same_bits(emb, emb0) && control[RUN_EPOCHS_DONE] == 200 &&
                  control[RUN_EPOCHS_TOTAL] == 200 && control[RUN_PHASE] == RUN_PHASE_LAYOUT,
              what + " with a control record: the exported bits, every epoch counted");
        for (int during = 0; during < 2; ++during) {
            int64_t ctl[RUN_CONTROL_SLOTS] = {};
            if (!during) ctl[RUN_STOP] = 1;
            arm(0, 0);
            std::thread stopper = during ? stop_when(ctl, RUN_EPOCHS_DONE, 2) : std::thread();
            const int rcs = run_layout_control(lc, in, emb, T, ctl, may_run_inline);
            if (during) stopper.join();
            const FaultStats st = disarm();
            const bool finite =
                std::all_of(emb.begin(), emb.end(), [](float v) { return std::isfinite(v); });
            check(rcs == RUN_STATUS_STOPPED && st.live == 0 && finite &&
                      ctl[RUN_EPOCHS_DONE] < 200 && (during || same_bits(emb, in.emb)),
                  what + " stopped " + (during ? "during the epochs" : "before the call") +
                      ": stopped, everything released" + (during ? "" : ", nothing moved"));
        }
    }
}

// ---------------------------------------------------------------------------
// Calls from several threads at once share nothing: each gets the bits of a
// call made alone.

void concurrency() {
    const KnnCase kc{GAUSS, 150, 6, 8, 3, 4, 0, 2, 31};
    const std::vector<float> X = make_data(kc.kind, kc.n, kc.d, 5);
    const LayoutCase lc{80, 2, 500, 8, 5.0f, 0, 32};
    const LayoutInput in = make_layout(lc);
    std::vector<int32_t> idx0;
    std::vector<float> dist0, emb0;
    run_knn(kc, X, idx0, dist0);
    run_parallel(lc, in, emb0, 2);
    const int n_callers = 4;
    std::vector<int> ok(n_callers, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < n_callers; ++t) {
        callers.emplace_back([&, t] {
            std::vector<int32_t> idx;
            std::vector<float> dist, emb;
            int good = 1;
            for (int rep = 0; rep < 2; ++rep) {
                good &= run_knn(kc, X, idx, dist) == 0 && same_bits(idx, idx0) &&
                        same_bits(dist, dist0);
                good &= run_parallel(lc, in, emb, 2) == 0 && same_bits(emb, emb0);
            }
            ok[t] = good;
        });
    }
    for (auto &th : callers) th.join();
    for (int t = 0; t < n_callers; ++t)
        check(ok[t] == 1, "concurrent caller " + std::to_string(t) + ": same bits as alone");
}

}  // namespace

int main() {
    unsetenv("VORLIX_UMAP_SUBSTEPS");
    knn_suite();
    graph_suite();
    layout_suite();
    knn_faults();
    layout_faults();
    control_records();
    concurrency();
    std::printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
