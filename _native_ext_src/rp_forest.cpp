// Random-projection trees over the training points: each inner node splits
// its points at the median of dist(x, a) - dist(x, b) for two of them, a and
// b, drawn at random (a hyperplane between the two pivots, moved to the
// median so that the halves have equal size).

#include "rp_forest.h"

#include <cstdlib>

#include "ext_parallel.h"
#include "umap_layout_internal.h"

namespace {

// Rows evaluated per call of the many-row distance kernel.
constexpr int kBatch = 64;

// SplitMix64 as a stateful stream: the output for state s is the mix of
// s + increment, and the state then advances by that increment.
inline uint64_t next_draw(uint64_t *state) {
    const uint64_t z = vorlix_umap_splitmix64(*state);
    *state += 0x9E3779B97F4A7C15ull;
    return z;
}

inline int64_t draw_below(uint64_t *state, int64_t m) {
    return (int64_t)(next_draw(state) % (uint64_t)m);
}

inline void swap_entries(float *pv, int32_t *idx, int64_t a, int64_t b) {
    const float tv = pv[a];
    pv[a] = pv[b];
    pv[b] = tv;
    const int32_t ti = idx[a];
    idx[a] = idx[b];
    idx[b] = ti;
}

// Reorders pv[0 .. m-1] with idx so that entry `target` has its rank, every
// entry before it not greater and every entry after it not smaller.  The
// three-way partition keeps runs of equal values (duplicate points) linear.
void select_rank(float *pv, int32_t *idx, int64_t m, int64_t target, uint64_t *rng) {
    int64_t lo = 0, hi = m - 1;
    while (lo < hi) {
        const float pivot = pv[lo + draw_below(rng, hi - lo + 1)];
        // [lo, lt) < pivot, [lt, i) == pivot, (gt, hi] > pivot.
        int64_t lt = lo, i = lo, gt = hi;
        while (i <= gt) {
            if (pv[i] < pivot)
                swap_entries(pv, idx, lt++, i++);
            else if (pv[i] > pivot)
                swap_entries(pv, idx, i, gt--);
            else
                ++i;
        }
        if (target < lt)
            hi = lt - 1;
        else if (target > gt)
            lo = gt + 1;
        else
            return;
    }
}

struct tree_ctx {
    const float *X;
    int64_t n;
    int d;
    int leaf;
    ext_distance dist;
    int32_t *nodes;
    float *threshold;
    int32_t *perm;
    float *proj;
    int64_t next;
    uint64_t rng;
};

// Builds the subtree of perm[lo, hi) as node number ctx->next and returns it.
int64_t build_node(tree_ctx *c, int64_t lo, int64_t hi) {
    const int64_t v = c->next++;
    int32_t *node = c->nodes + 4 * v;
    const int64_t m = hi - lo;
    if (m <= c->leaf) {
        node[0] = -1;
        node[1] = -1;
        node[2] = (int32_t)lo;
        node[3] = (int32_t)m;
        c->threshold[v] = 0.0f;
        return v;
    }
    const int64_t ia = draw_below(&c->rng, m);
    int64_t ib = draw_below(&c->rng, m - 1);
    if (ib >= ia) ++ib;
    const int32_t a = c->perm[lo + ia], b = c->perm[lo + ib];
    const float *xa = c->X + (int64_t)a * c->d;
    const float *xb = c->X + (int64_t)b * c->d;
    const float *rows[kBatch];
    float da[kBatch], db[kBatch];
    for (int64_t s = 0; s < m; s += kBatch) {
        const int cnt = (int)(m - s < kBatch ? m - s : kBatch);
        for (int j = 0; j < cnt; ++j) rows[j] = c->X + (int64_t)c->perm[lo + s + j] * c->d;
        c->dist.many(xa, rows, cnt, c->d, da);
        c->dist.many(xb, rows, cnt, c->d, db);
        for (int j = 0; j < cnt; ++j) c->proj[s + j] = da[j] - db[j];
    }
    const int64_t mid = m / 2;
    select_rank(c->proj, c->perm + lo, m, mid, &c->rng);
    c->threshold[v] = c->proj[mid];
    const int64_t left = build_node(c, lo, lo + mid);
    const int64_t right = build_node(c, lo + mid, hi);
    node[0] = (int32_t)left;
    node[1] = (int32_t)right;
    node[2] = a;
    node[3] = b;
    return v;
}

struct forest_job {
    const float *X;
    int64_t n;
    int d;
    int leaf;
    ext_distance dist;
    uint64_t seed;
    int64_t per_tree;
    int32_t *nodes;
    float *threshold;
    int32_t *perm;
};

int forest_worker(void *arg, int64_t t0, int64_t t1, int) {
    const forest_job *job = (const forest_job *)arg;
    float *proj = (float *)std::malloc((size_t)job->n * sizeof(float));
    if (proj == nullptr) return -2;
    for (int64_t t = t0; t < t1; ++t) {
        tree_ctx c;
        c.X = job->X;
        c.n = job->n;
        c.d = job->d;
        c.leaf = job->leaf;
        c.dist = job->dist;
        c.nodes = job->nodes + 4 * t * job->per_tree;
        c.threshold = job->threshold + t * job->per_tree;
        c.perm = job->perm + t * job->n;
        c.proj = proj;
        c.next = 0;
        c.rng = vorlix_umap_splitmix64(job->seed ^ (((uint64_t)t + 1u) * 0xD1B54A32D192ED03ull));
        for (int64_t i = 0; i < job->n; ++i) c.perm[i] = (int32_t)i;
        build_node(&c, 0, job->n);
    }
    std::free(proj);
    return 0;
}

}  // namespace

int64_t ext_forest_nodes_per_tree(int64_t n, int leaf_size) {
    if (n < 1 || leaf_size < 1) return -1;
    if (n <= leaf_size) return 1;
    // Both halves of one level differ in size by at most one, so the count
    // recurses on at most two sizes per level.
    return 1 + ext_forest_nodes_per_tree(n / 2, leaf_size) +
           ext_forest_nodes_per_tree(n - n / 2, leaf_size);
}

int ext_forest_build(const float *X, int64_t n, int d, int metric, int n_trees, int leaf_size,
                     uint64_t seed, int n_threads, int32_t *nodes, float *threshold,
                     int32_t *perm) {
    if (X == nullptr || nodes == nullptr || threshold == nullptr || perm == nullptr) return -1;
    if (n < 2 || n > INT32_MAX || d < 1 || n_trees < 1 || leaf_size < 1) return -1;
    forest_job job;
    if (ext_distance_select(metric, &job.dist) != 0) return -1;
    job.X = X;
    job.n = n;
    job.d = d;
    job.leaf = leaf_size;
    job.seed = seed;
    job.per_tree = ext_forest_nodes_per_tree(n, leaf_size);
    job.nodes = nodes;
    job.threshold = threshold;
    job.perm = perm;
    return ext_parallel_ranges(n_trees, n_threads, forest_worker, &job);
}

void ext_forest_leaves(const ext_forest *f, int64_t n_points, ext_ids_dist_fn dist, void *ctx,
                       int64_t *first, int64_t *count) {
    const int64_t P = f->nodes_per_tree;
    // Trees in groups of kBatch / 2, each group walked level by level: the
    // node of every tree still inside the group, its two pivots evaluated in
    // one call.
    for (int t0 = 0; t0 < f->n_trees; t0 += kBatch / 2) {
        const int group = f->n_trees - t0 < kBatch / 2 ? f->n_trees - t0 : kBatch / 2;
        int64_t at[kBatch / 2];
        for (int g = 0; g < group; ++g) {
            at[g] = 0;
            first[t0 + g] = 0;
            count[t0 + g] = 0;
        }
        for (;;) {
            int32_t pivots[kBatch];
            float dv[kBatch];
            int inner[kBatch / 2], n_inner = 0;
            for (int g = 0; g < group; ++g) {
                if (at[g] < 0) continue;
                const int32_t *node = f->nodes + 4 * ((int64_t)(t0 + g) * P + at[g]);
                if (node[0] < 0) {
                    const int64_t lo = node[2], m = node[3];
                    if (lo >= 0 && m >= 0 && lo + m <= n_points) {
                        first[t0 + g] = lo;
                        count[t0 + g] = m;
                    }
                    at[g] = -1;
                    continue;
                }
                const int32_t a = node[2], b = node[3];
                if (a < 0 || a >= n_points || b < 0 || b >= n_points) {
                    at[g] = -1;
                    continue;
                }
                pivots[2 * n_inner] = a;
                pivots[2 * n_inner + 1] = b;
                inner[n_inner++] = g;
            }
            if (n_inner == 0) break;
            dist(ctx, pivots, 2 * n_inner, dv);
            for (int i = 0; i < n_inner; ++i) {
                const int g = inner[i];
                const int64_t v = at[g];
                const int32_t *node = f->nodes + 4 * ((int64_t)(t0 + g) * P + v);
                const float side = dv[2 * i] - dv[2 * i + 1];
                const int64_t next =
                    side >= f->threshold[(int64_t)(t0 + g) * P + v] ? node[1] : node[0];
                // Children lie further down the tree, so every walk ends.
                at[g] = next > v && next < P ? next : -1;
            }
        }
    }
}
