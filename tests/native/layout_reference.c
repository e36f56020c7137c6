/*
 * Plain reference of the layout optimisers for the tests: the serial
 * optimiser and a single-threaded simulation of the threaded sub-step /
 * worker scheme, written as directly as possible, with no attention to
 * speed.  The native test driver checks the library's optimised kernels
 * against it bit for bit on inputs too large for the Python references of
 * tests/test_layout.py.
 */
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static uint64_t sm64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

static void seed_rng(uint64_t seed, int64_t edge, int epoch, uint32_t s[3]) {
    uint64_t z = seed ^ (((uint64_t)edge + 1u) * 0x9E3779B97F4A7C15ull) ^
                 (((uint64_t)(int64_t)epoch + 1u) * 0xD1B54A32D192ED03ull);
    z = sm64(z);
    s[0] = (uint32_t)z | 2u;
    z = sm64(z);
    s[1] = (uint32_t)z | 8u;
    z = sm64(z);
    s[2] = (uint32_t)z | 16u;
}

static uint32_t tau(uint32_t s[3]) {
    s[0] = ((s[0] & 0xFFFFFFFEu) << 12) ^ (((s[0] << 13) ^ s[0]) >> 19);
    s[1] = ((s[1] & 0xFFFFFFF8u) << 4) ^ (((s[1] << 2) ^ s[1]) >> 25);
    s[2] = ((s[2] & 0xFFFFFFF0u) << 17) ^ (((s[2] << 3) ^ s[2]) >> 11);
    return s[0] ^ s[1] ^ s[2];
}

static float clip(float v) {
    if (v > 4.0f) return 4.0f;
    if (v < -4.0f) return -4.0f;
    return v;
}

static float rdist(const float *x, const float *y, int dim) {
    float r = 0.0f;
    for (int d = 0; d < dim; d++) {
        float diff = x[d] - y[d];
        r = r + diff * diff;
    }
    return r;
}

static float attractive(float d2, float a, float b) {
    if (d2 <= 0.0f) return 0.0f;
    float pb1 = powf(d2, b - 1.0f);
    float pb = pb1 * d2;
    float gc = ((-2.0f * a) * b) * pb1;
    return gc / (a * pb + 1.0f);
}

static float repulsive(float d2, float a, float b, float gamma) {
    float pb = powf(d2, b);
    float gc = (2.0f * gamma) * b;
    return gc / ((0.001f + d2) * (a * pb + 1.0f));
}

static int n_negative(int n, double eonn, double epn) {
    double v = ((double)n - eonn) / epn;
    if (v != v) return 0;
    if (v >= (double)INT_MAX) return INT_MAX;
    if (v <= (double)INT_MIN) return INT_MIN;
    return (int)v;
}

void ref_serial(float *emb, int n_samples, int dim, const int32_t *head, const int32_t *tail,
                int64_t n_edges, const float *eps, int n_epochs, float a, float b,
                float gamma, float initial_alpha, float nsr, uint64_t seed) {
    double *eons = malloc(n_edges * sizeof(double));
    double *eonn = malloc(n_edges * sizeof(double));
    double *epn = malloc(n_edges * sizeof(double));
    for (int64_t i = 0; i < n_edges; i++) {
        epn[i] = (double)eps[i] / (double)nsr;
        eons[i] = (double)eps[i];
        eonn[i] = epn[i];
    }
    float alpha = initial_alpha;
    for (int n = 0; n < n_epochs; n++) {
        for (int64_t i = 0; i < n_edges; i++) {
            if (eps[i] <= 0.0f || eons[i] > (double)n) continue;
            int j = head[i];
            float *cur = emb + (int64_t)j * dim;
            float *oth = emb + (int64_t)tail[i] * dim;
            float gc = attractive(rdist(cur, oth, dim), a, b);
            for (int d = 0; d < dim; d++) {
                float grad = clip((cur[d] - oth[d]) * gc);
                cur[d] = cur[d] + grad * alpha;
                oth[d] = oth[d] - grad * alpha;
            }
            eons[i] = eons[i] + (double)eps[i];
            int n_neg = n_negative(n, eonn[i], epn[i]);
            if (n_neg > 0) {
                uint32_t rng[3];
                seed_rng(seed, i, n, rng);
                for (int p = 0; p < n_neg; p++) {
                    uint32_t k2 = tau(rng) % (uint32_t)n_samples;
                    float *oth2 = emb + (int64_t)k2 * dim;
                    float dd2 = rdist(cur, oth2, dim);
                    if (dd2 <= 0.0f && (int)k2 == j) continue;
                    float gcn = dd2 > 0.0f ? repulsive(dd2, a, b, gamma) : 0.0f;
                    for (int d = 0; d < dim; d++) {
                        float grad = gcn > 0.0f ? clip(gcn * (cur[d] - oth2[d])) : 0.0f;
                        cur[d] = cur[d] + grad * alpha;
                    }
                }
                eonn[i] = eonn[i] + (double)n_neg * epn[i];
            }
        }
        alpha = (1.0f - (float)n / (float)n_epochs) * initial_alpha;
    }
    free(epn);
    free(eonn);
    free(eons);
}

/* The threaded scheme run by one thread: workers t = 0 .. T-1 one after
 * another within each sub-step, then the apply of every coordinate. */
void ref_threaded(float *emb, int n_samples, int dim, const int32_t *head, const int32_t *tail,
                  int64_t n_edges, const float *eps, int n_epochs, float a, float b,
                  float gamma, float initial_alpha, float nsr, uint64_t seed, int T, int S) {
    size_t emb_len = (size_t)n_samples * dim;
    float *gbuf = malloc(T * emb_len * sizeof(float));
    double *eons = malloc(n_edges * sizeof(double));
    double *eonn = malloc(n_edges * sizeof(double));
    double *epn = malloc(n_edges * sizeof(double));
    for (int64_t i = 0; i < n_edges; i++) {
        epn[i] = (double)eps[i] / (double)nsr;
        eons[i] = (double)eps[i];
        eonn[i] = epn[i];
    }
    for (int n = 0; n < n_epochs; n++) {
        float alpha = n == 0 ? initial_alpha
                             : (1.0f - (float)(n - 1) / (float)n_epochs) * initial_alpha;
        for (int64_t s = 0; s < S; s++) {
            memset(gbuf, 0, T * emb_len * sizeof(float));
            int64_t K = s < n_edges ? (n_edges - s + S - 1) / S : 0;
            for (int t = 0; t < T; t++) {
                float *g = gbuf + t * emb_len;
                for (int64_t k = t * K / T; k < (t + 1) * K / T; k++) {
                    int64_t i = s + S * k;
                    if (eps[i] <= 0.0f || eons[i] > (double)n) continue;
                    int j = head[i], kk = tail[i];
                    const float *cur = emb + (int64_t)j * dim;
                    const float *oth = emb + (int64_t)kk * dim;
                    float *gj = g + (int64_t)j * dim;
                    float *gk = g + (int64_t)kk * dim;
                    float gc = attractive(rdist(cur, oth, dim), a, b);
                    for (int d = 0; d < dim; d++) {
                        float grad = clip((cur[d] - oth[d]) * gc);
                        gj[d] = gj[d] + grad;
                        gk[d] = gk[d] - grad;
                    }
                    eons[i] = eons[i] + (double)eps[i];
                    int n_neg = n_negative(n, eonn[i], epn[i]);
                    if (n_neg > 0) {
                        uint32_t rng[3];
                        seed_rng(seed, i, n, rng);
                        for (int p = 0; p < n_neg; p++) {
                            uint32_t k2 = tau(rng) % (uint32_t)n_samples;
                            const float *oth2 = emb + (int64_t)k2 * dim;
                            float dd2 = rdist(cur, oth2, dim);
                            if (dd2 <= 0.0f) continue;
                            float gcn = repulsive(dd2, a, b, gamma);
                            if (gcn > 0.0f)
                                for (int d = 0; d < dim; d++)
                                    gj[d] = gj[d] + clip(gcn * (cur[d] - oth2[d]));
                        }
                        eonn[i] = eonn[i] + (double)n_neg * epn[i];
                    }
                }
            }
            for (size_t v = 0; v < emb_len; v++) {
                float acc = 0.0f;
                for (int t = 0; t < T; t++) acc = acc + gbuf[t * emb_len + v];
                emb[v] = emb[v] + acc * alpha;
            }
        }
    }
    free(epn);
    free(eonn);
    free(eons);
    free(gbuf);
}
