/*
 * metric_kernels.h - distances under many metrics between rows of dense or
 * sparse (CSR) float32 point sets, and the general-metric kNN built on them.
 *
 * A point set is described once (points) and a metric resolved once per call
 * (metric_resolve): the resolution picks, from small tables, the distance
 * function for the set's storage, the metric and the instruction set, so that
 * no inner loop branches on any of them.
 *
 * Every distance here is a "rank distance": a float that orders pairs as the
 * metric does (squared for euclidean, the sum of powers for minkowski, the
 * metric itself otherwise); the host turns it into the metric's value.  Every
 * kernel is symmetric bit for bit (d(a, b) and d(b, a) are the same float),
 * which the kNN relies on.  Contract of all functions: no allocation unless
 * stated, no output on invalid input except a status, no printing.
 */
#ifndef QUELMO_METRIC_KERNELS_H
#define QUELMO_METRIC_KERNELS_H

#include <stddef.h>
#include <stdint.h>

// Metrics with a native kernel.  Cosine, correlation and hellinger on dense
// data reach the kNN as euclidean on transformed rows (see the host).
enum metric_id {
    METRIC_SQEUCLIDEAN = 0,  // rank distance of euclidean and sqeuclidean
    METRIC_MANHATTAN,
    METRIC_CHEBYSHEV,
    METRIC_MINKOWSKI,        // sum of |a - b|^p
    METRIC_CANBERRA,
    METRIC_BRAYCURTIS,
    METRIC_HAMMING,          // dense: differing coordinates; sparse: differing patterns
    METRIC_JACCARD,          // on the set of nonzero coordinates
    METRIC_DICE,             // on the set of nonzero coordinates
    METRIC_CORRELATION,      // sparse only: 2 - 2 r of row-centred data (0 / 1 for flat rows)
    METRIC_COUNT
};

// Name of a metric as the host passes it ("manhattan", ...), or -1.
int metric_from_name(const char *name);

// A point set: n rows of d coordinates, dense (X, row-major) or CSR (indptr,
// indices, vals with strictly increasing indices and no stored zeros).  bits,
// when set, holds the dense rows packed one bit per coordinate (words uint64
// per row), for the set metrics on binary data; bytes, the dense rows as bytes
// (bstride per row, zero padded) where every value is an integer 0 .. 255.
// aux holds per-row constants of the metric (metric_aux_width values per row
// for CSR sets, filled by metric_aux; the row sums of a byte set).
struct points {
    int n;
    int64_t d;
    const float *X;
    const uint64_t *bits;
    int64_t words;
    const uint8_t *bytes;
    int64_t bstride;
    const int64_t *indptr;
    const int32_t *indices;
    const float *vals;
    const double *aux;
};

struct metric;

// Distances from row q of set qs to rows ids[0 .. cnt) of set ps, into out.
// scratch: metric_scratch_floats(...) floats of thread scratch, all zero on
// entry and left all zero on return.
typedef void (*dist_many_fn)(const metric *m, const points *qs, int64_t q, const points *ps,
                             const int32_t *ids, int cnt, float *out, float *scratch);

// Realisations of the dense kernels.
enum { SIMD_PORTABLE = 0, SIMD_AVX2 = 1, SIMD_AVX512 = 2 };

struct metric {
    int id;
    double p;           // minkowski exponent
    int sparse;         // 1: CSR sets
    int simd;           // realisation of the dense kernels (same bits in each)
    dist_many_fn many;  // chosen by metric_resolve
};

// Resolves the distance function for metric id on dense (sparse = 0) or CSR
// sets.  Returns 0, or -1 when the metric has no kernel for that storage.
int metric_resolve(metric *m, int id, double p, int sparse);

// Per-row constants that a sparse metric needs, in doubles per row (0 for
// dense sets and metrics that need none).
int metric_aux_width(const metric *m);

// Fills aux (n * metric_aux_width values) for set s.
void metric_aux(const metric *m, const points *s, double *aux);

// Floats of thread scratch a distance call needs on sets of d columns.
int64_t metric_scratch_floats(const metric *m, int64_t d);

// Packs dense binary rows (every value 0 or 1) into bits (n * words uint64,
// words = (d + 63) / 64).  Returns 0, or -1 if a value is neither 0 nor 1.
int metric_pack_bits(const float *X, int n, int64_t d, uint64_t *bits);

// Dense rows that hold only the integers 0 .. 255 as bytes, for the metrics
// whose byte kernels give exactly the bits of their float kernels on such
// rows (manhattan, chebyshev, braycurtis, hamming, with AVX2).  When s
// qualifies, returns one allocation (to be freed by the caller) holding the
// bytes and row sums that s now points at, else null (s unchanged; also when
// out of memory, which only costs speed).  metric_use_bytes then switches m
// to the byte kernel, once every set of the call has its bytes.
void *metric_bytes_view(const metric *m, points *s);
void metric_use_bytes(metric *m);

// Projections of rows ids[0 .. cnt) of set s on the direction from row a to
// row b (dense: the float difference of the rows; CSR: of their values, or of
// their patterns when pattern is set).  dir: d floats of scratch, all zero on
// entry and on return (the CSR path scatters into it).  Fixed summation order.
void metric_project(const metric *m, const points *s, int pattern, int32_t a, int32_t b, const int32_t *ids,
                    int cnt, double *out, float *dir);

// Online processors, at least 1.
long metric_online_cpus(void);

// The general-metric kNN of the rows of s: k neighbours per row (the row
// itself excluded), ids and rank distances as rows sorted by increasing
// (distance, id), -1 / 1e30 at the end where fewer than k were found.  Random-projection
// trees (on the values, or on the patterns when tree_pattern is set) give the
// candidates and NN-descent ranks them by the metric.  The result depends on
// the data, the metric, k, n_trees, n_iters, leaf_size and seed, and not on
// n_threads.  Returns 0, -1 for invalid sizes, -2 when out of memory.
int metric_knn(const metric *m, const points *s, int k, int n_trees, int n_iters, int leaf_size,
               int tree_pattern, uint64_t seed, int n_threads, int32_t *knn_idx,
               float *knn_dist);

// All rank distances from the rows of qs to the rows of ps: out is qs->n x
// ps->n, row-major.  Returns 0 or -2 when out of memory.
int metric_cross(const metric *m, const points *qs, const points *ps, int n_threads,
                 float *out);

#endif /* QUELMO_METRIC_KERNELS_H */
