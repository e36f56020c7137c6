// Eight due edges side by side, in two dimensions (layout_group.h).
//
// Lane l carries edge l of the group from start to end: its head and tail
// rows, its pull, then draw after draw its stream value, sample row, push.
// The rows of two floats are moved as 64-bit words (one gather per eight
// rows), split into an x and a y vector for the arithmetic, which is the
// per-pair code lane by lane (layout_lanes.h), with the powers from the
// 8-lane replica of powf.

#include "layout_group.h"

#include "layout_lanes.h"
#include "umap_layout_internal.h"

#include <math.h>

namespace {

#if QUELMO_POWF_X86
#define QUELMO_AVX512 QUELMO_LANES_AVX512

// Rows idx of an n x 2 float matrix as 64-bit words, and back.
QUELMO_AVX512 inline __m512i rows8(const float *m, __m256i idx) {
    return _mm512_i32gather_epi64(idx, (const void *)m, 8);
}

QUELMO_AVX512 inline __m512i rows8_masked(const float *m, __mmask8 live, __m256i idx) {
    return _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), live, idx, (const void *)m, 8);
}

// Eight rows as two vectors of eight coordinates, and back: one permute
// of the sixteen 32-bit words (x0 y0 x1 y1 ... <-> x0 ... x7 y0 ... y7).
struct cols8 {
    __m256 x0;
    __m256 x1;
};

QUELMO_AVX512 inline cols8 split_rows8(__m512i rows) {
    const __m512i by_col = _mm512_permutexvar_epi32(
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15), rows);
    return cols8{_mm256_castsi256_ps(_mm512_castsi512_si256(by_col)),
                 _mm256_castsi256_ps(_mm512_extracti64x4_epi64(by_col, 1))};
}

QUELMO_AVX512 inline void store_rows8(float *m, __mmask8 live, __m256i idx, __m256 x0,
                                      __m256 x1) {
    const __m512i by_col =
        _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_castps_si256(x0)),
                           _mm256_castps_si256(x1), 1);
    const __m512i rows = _mm512_permutexvar_epi32(
        _mm512_setr_epi32(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15), by_col);
    _mm512_mask_i32scatter_epi64((void *)m, live, idx, rows, 8);
}

// powf(x, y) in eight lanes where x > 0 (NaN included): the replica, and
// powf itself for the lanes off the replica's main path.  Lanes with x <= 0
// hold anything; the callers select those away.
QUELMO_AVX512 inline __m256 pow8(__m256 x, float y, __m512d yd) {
    __mmask8 off = 0;
    __m256 r = powf_fma_replica_x8(x, yd, &off);
    if (off) {
        float xs[8], rs[8];
        _mm256_storeu_ps(xs, x);
        _mm256_storeu_ps(rs, r);
        for (unsigned bits = off; bits != 0; bits &= bits - 1) {
            const int l = __builtin_ctz(bits);
            if (!(xs[l] <= 0.0f)) rs[l] = powf(xs[l], y);
        }
        r = _mm256_loadu_ps(rs);
    }
    return r;
}

// Largest sample count of a group done side by side; the terms of a group
// that cannot add them lane by lane wait in buffers of this many draws.
// Larger counts (a tiny period or a huge sample rate) go edge by edge.
constexpr int kMostSamples = 32;

// Per-layout constants of the lanes.
struct lanes_consts {
    __m256 a;
    __m256 k_pull;  // (-2a) b
    __m256 k_push;  // (2 gamma) b
    __m512d y_pull; // b - 1 as a double, the replica's exponent
    __m512d y_push; // b
    __m256i n;          // the point count, and a reciprocal from below, for
    __m512d inv_n_low;  // the draws (lanes_mod8)
    float b1;
    float b;
};

// The streams of a group's eight edges.  Each draw's rows are requested two
// draws ahead of their use, so that the wait for them (beyond the L2 cache in
// a large layout) overlaps with the arithmetic of the draws before.
struct streams8 {
    __m256i s0, s1, s2;
    __m512i rows;   // the sample rows of the next draw
    __m512i after;  // and of the one after it
};

QUELMO_AVX512 inline void draw_rows8(const lanes_consts &k, const float *emb, streams8 *st) {
    const __m256i k2 = lanes_mod8(lanes_taus88(&st->s0, &st->s1, &st->s2), k.n, k.inv_n_low);
    st->rows = st->after;
    st->after = rows8(emb, k2);
}

// The pushes of a draw whose sample rows are given: clip(gcn * (head -
// sample)) per coordinate in the lanes whose sample moves the head
// (returned mask).
QUELMO_AVX512 inline __mmask8 push8(const lanes_consts &k, __m512i rows, __m256 hx, __m256 hy,
                                    __m256i due, __m256 *gx, __m256 *gy) {
    const cols8 sample = split_rows8(rows);
    const __m256 ex = _mm256_sub_ps(hx, sample.x0);
    const __m256 ey = _mm256_sub_ps(hy, sample.x1);
    const __m256 dd2 = _mm256_add_ps(_mm256_mul_ps(ex, ex), _mm256_mul_ps(ey, ey));
    const __m256 pw = pow8(dd2, k.b, k.y_push);
    const __m256 gcn = lanes_repulse8(dd2, pw, k.a, k.k_push);
    // Moves where dd2 > 0 (not NaN), gcn > 0, and the edge still draws.
    const __mmask8 moves = _mm256_cmp_ps_mask(dd2, _mm256_setzero_ps(), _CMP_NLE_UQ) &
                           _mm256_cmp_ps_mask(gcn, _mm256_setzero_ps(), _CMP_GT_OQ) &
                           _mm256_cmpgt_epi32_mask(due, _mm256_setzero_si256());
    *gx = lanes_clip8(_mm256_mul_ps(gcn, ex));
    *gy = lanes_clip8(_mm256_mul_ps(gcn, ey));
    return moves;
}

// One group: the edges of the live lanes, their heads and tails, sample
// counts and stream words.  Lanes past the group's edges hold row 0
// (n_vertices >= 1), draw nothing and write nothing.
QUELMO_AVX512 void group8(const lanes_consts &k, const float *emb, float *g, __mmask8 live,
                          __m256i head, __m256i tail, __m256i n_neg, int most, __m256i s0,
                          __m256i s1, __m256i s2) {
    // The first draws' rows are requested before the pulls are formed.
    streams8 st = {s0, s1, s2, _mm512_setzero_si512(), _mm512_setzero_si512()};
    if (most > 0) draw_rows8(k, emb, &st);
    if (most > 1) draw_rows8(k, emb, &st);
    if (most == 1) st.rows = st.after;
    const cols8 head_rows = split_rows8(rows8(emb, head));
    const cols8 tail_rows = split_rows8(rows8(emb, tail));
    const __m256 hx = head_rows.x0, hy = head_rows.x1;

    // The pulls: clip(diff * gc), gc = 0 where d2 <= 0.
    const __m256 dx = _mm256_sub_ps(hx, tail_rows.x0);
    const __m256 dy = _mm256_sub_ps(hy, tail_rows.x1);
    const __m256 d2 = _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy));
    const __m256 pw = pow8(d2, k.b1, k.y_pull);
    const __m256 gc =
        _mm256_andnot_ps(lanes_le_zero8(d2), lanes_attract8(d2, pw, k.a, k.k_pull));
    const __m256 px = lanes_clip8(_mm256_mul_ps(dx, gc));
    const __m256 py = lanes_clip8(_mm256_mul_ps(dy, gc));

    // Draws left per lane: draw p counts where it is above 0.
    __m256i due = n_neg;
    const __m256i one = _mm256_set1_epi32(1);

    // Which lanes may add their terms side by side.  Tails must be points of
    // their own (no other tail, no head); heads may repeat, but only in runs
    // of neighbouring lanes, as edges listed by head arrive: the terms of a
    // run then meet its head's coordinates lane after lane, each lane's sum
    // continuing from its predecessor's.  vpconflictd marks, per lane, the
    // lanes below it with the same point, dead lanes included, so only the
    // bits of live lanes count.
    const __m512i points = _mm512_inserti64x4(_mm512_castsi256_si512(head), tail, 1);
    const unsigned both = live | (unsigned)live << 8;
    const __m512i shared = _mm512_conflict_epi32(points);
    const __mmask16 repeats = _mm512_mask_test_epi32_mask((__mmask16)both, shared,
                                                          _mm512_set1_epi32((int)both));
    // Lane l continues a run when its head is lane l - 1's.
    const __m256i prev_lane = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
    const unsigned cont = _mm256_mask_cmpeq_epi32_mask(
        (__mmask8)(live & 0xFEu), head, _mm256_permutexvar_epi32(prev_lane, head));
    const bool apart = (repeats >> 8) == 0 && ((repeats & 0xFFu) & ~cont) == 0;
    if (apart) {
        // Tail: g - pull.  Head: g + pull, then + push after push in draw
        // order (a masked add leaves a lane alone, as adding -0.0f would),
        // first for the lanes that start a run; lanes that continue one wait
        // for their predecessor, their pushes kept in buffers.
        const cols8 gt = split_rows8(rows8_masked(g, live, tail));
        store_rows8(g, live, tail, _mm256_sub_ps(gt.x0, px), _mm256_sub_ps(gt.x1, py));
        const cols8 gh = split_rows8(rows8_masked(g, live, head));
        const __mmask8 first = (__mmask8)(live & ~cont);
        __m256 ax = _mm256_mask_add_ps(gh.x0, first, gh.x0, px);
        __m256 ay = _mm256_mask_add_ps(gh.x1, first, gh.x1, py);
        float push_x[kMostSamples * 8];
        float push_y[kMostSamples * 8];
        const __m256 none = _mm256_set1_ps(-0.0f);
        for (int p = 0; p < most; ++p) {
            const __m512i rows = st.rows;
            if (p + 2 < most) draw_rows8(k, emb, &st);
            else st.rows = st.after;
            __m256 gx, gy;
            const __mmask8 moves = push8(k, rows, hx, hy, due, &gx, &gy);
            ax = _mm256_mask_add_ps(ax, moves & first, ax, gx);
            ay = _mm256_mask_add_ps(ay, moves & first, ay, gy);
            if (cont != 0) {
                _mm256_storeu_ps(push_x + p * 8,
                                 _mm256_mask_blend_ps(moves, none, gx));
                _mm256_storeu_ps(push_y + p * 8,
                                 _mm256_mask_blend_ps(moves, none, gy));
            }
            due = _mm256_sub_epi32(due, one);
        }
        for (unsigned now = (first << 1) & cont; now != 0; now = (now << 1) & cont) {
            const __mmask8 m = (__mmask8)now;
            ax = _mm256_mask_permutexvar_ps(ax, m, prev_lane, ax);
            ay = _mm256_mask_permutexvar_ps(ay, m, prev_lane, ay);
            ax = _mm256_mask_add_ps(ax, m, ax, px);
            ay = _mm256_mask_add_ps(ay, m, ay, py);
            for (int p = 0; p < most; ++p) {
                ax = _mm256_mask_add_ps(ax, m, ax, _mm256_loadu_ps(push_x + p * 8));
                ay = _mm256_mask_add_ps(ay, m, ay, _mm256_loadu_ps(push_y + p * 8));
            }
        }
        // The last lane of each run holds its head's sum.
        store_rows8(g, (__mmask8)(live & ~(cont >> 1)), head, ax, ay);
        return;
    }

    // Points shared otherwise (a loop edge, a tail met twice or as a head,
    // heads out of order): the terms wait in buffers (a push that moves
    // nothing as -0.0f, which adds nothing) and are added edge after edge,
    // through memory, in the order of the per-edge loop.
    float pull_x[8], pull_y[8];
    int32_t heads[8], tails[8], counts[8];
    float push_x[kMostSamples * 8];
    float push_y[kMostSamples * 8];
    _mm256_storeu_ps(pull_x, px);
    _mm256_storeu_ps(pull_y, py);
    const __m256 none = _mm256_set1_ps(-0.0f);
    for (int p = 0; p < most; ++p) {
        const __m512i rows = st.rows;
        if (p + 2 < most) draw_rows8(k, emb, &st);
        else st.rows = st.after;
        __m256 gx, gy;
        const __mmask8 moves = push8(k, rows, hx, hy, due, &gx, &gy);
        _mm256_storeu_ps(push_x + p * 8, _mm256_mask_blend_ps(moves, none, gx));
        _mm256_storeu_ps(push_y + p * 8, _mm256_mask_blend_ps(moves, none, gy));
        due = _mm256_sub_epi32(due, one);
    }
    _mm256_storeu_si256((__m256i *)heads, head);
    _mm256_storeu_si256((__m256i *)tails, tail);
    _mm256_storeu_si256((__m256i *)counts, n_neg);
    for (int l = 0; l < 8 && ((live >> l) & 1u); ++l) {
        float *gj = g + 2 * (int64_t)heads[l];
        float *gk = g + 2 * (int64_t)tails[l];
        gj[0] = gj[0] + pull_x[l];
        gk[0] = gk[0] - pull_x[l];
        gj[1] = gj[1] + pull_y[l];
        gk[1] = gk[1] - pull_y[l];
        for (int p = 0; p < counts[l]; ++p) {
            gj[0] = gj[0] + push_x[p * 8 + l];
            gj[1] = gj[1] + push_y[p * 8 + l];
        }
    }
}

// One edge with its samples, edge by edge, with the per-edge arithmetic of
// the threaded optimiser: for groups with more samples than the buffers hold.
void edge_alone(const layout_group_ctx *ctx, int32_t head, int32_t tail, int64_t edge, int n,
                int n_neg) {
    const layout_coeff *c = ctx->coeff;
    const float *cur = ctx->emb + 2 * (int64_t)head;
    const float *oth = ctx->emb + 2 * (int64_t)tail;
    float *gj = ctx->g + 2 * (int64_t)head;
    float *gk = ctx->g + 2 * (int64_t)tail;
    const float gc = vorlix_umap_attractive_coeff(vorlix_umap_rdist(cur, oth, 2), c->a, c->b);
    for (int d = 0; d < 2; ++d) {
        const float grad = vorlix_umap_clip((cur[d] - oth[d]) * gc);
        gj[d] = gj[d] + grad;
        gk[d] = gk[d] - grad;
    }
    if (n_neg <= 0) return;
    const uint64_t magic = vorlix_umap_fastmod_magic(ctx->n_vertices);
    uint32_t rng[3];
    vorlix_umap_seed_rng(ctx->seed, edge, n, rng);
    for (int p = 0; p < n_neg; ++p) {
        const uint32_t k2 = vorlix_umap_fastmod(vorlix_umap_tau_rand(rng), magic, ctx->n_vertices);
        const float *oth2 = ctx->emb + 2 * (int64_t)k2;
        const float dd2 = vorlix_umap_rdist(cur, oth2, 2);
        if (dd2 <= 0.0f) continue;
        const float gcn = vorlix_umap_repulsive_coeff(dd2, c->a, c->b, c->gamma);
        if (gcn > 0.0f) {
            for (int d = 0; d < 2; ++d) gj[d] = gj[d] + vorlix_umap_clip(gcn * (cur[d] - oth2[d]));
        }
    }
}

// The groups of a block, from the due list in eights.
QUELMO_AVX512 void block_avx512(const layout_group_ctx *ctx, int n, const layout_due_list *due,
                                int n_due, int64_t edge_lo, int64_t S) {
    const layout_coeff *c = ctx->coeff;
    lanes_consts k;
    k.a = _mm256_set1_ps(c->a);
    k.k_pull = _mm256_set1_ps((-2.0f * c->a) * c->b);
    k.k_push = _mm256_set1_ps((2.0f * c->gamma) * c->b);
    k.b1 = c->b - 1.0f;
    k.b = c->b;
    k.y_pull = _mm512_set1_pd((double)k.b1);
    k.y_push = _mm512_set1_pd((double)k.b);
    k.n = _mm256_set1_epi32((int)ctx->n_vertices);
    k.inv_n_low = _mm512_set1_pd(ctx->inv_n_low);
    const uint64_t mix = ctx->seed ^ (((uint64_t)(int64_t)n + 1u) * 0xD1B54A32D192ED03ull);
    for (int u0 = 0; u0 < n_due; u0 += 8) {
        const int m = n_due - u0 < 8 ? n_due - u0 : 8;
        const __mmask8 live = (__mmask8)((1u << m) - 1u);
        // The next group's tails, scattered where its heads are not (edges
        // listed by head), requested a group ahead: their rows and sums.
        for (int u = u0 + 8; u < u0 + 16 && u < n_due; ++u) {
            __builtin_prefetch(ctx->emb + 2 * (int64_t)due->tail[u]);
            __builtin_prefetch(ctx->g + 2 * (int64_t)due->tail[u], 1);
        }
        const __m256i counts = _mm256_maskz_loadu_epi32(live, due->n_neg + u0);
        const int most = _mm512_reduce_max_epi32(_mm512_zextsi256_si512(counts));
        if (most > kMostSamples) {
            for (int u = u0; u < u0 + m; ++u)
                edge_alone(ctx, due->head[u], due->tail[u], edge_lo + S * due->at[u], n,
                           due->n_neg[u]);
            continue;
        }
        __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0;
        if (most > 0) {
            const __m256i at = _mm256_maskz_loadu_epi32(live, due->at + u0);
            const __m512i edge = _mm512_add_epi64(
                _mm512_set1_epi64(edge_lo),
                _mm512_mullo_epi64(_mm512_set1_epi64(S), _mm512_cvtepi32_epi64(at)));
            lanes_seed8(mix, edge, &s0, &s1, &s2);
        }
        group8(k, ctx->emb, ctx->g, live, _mm256_maskz_loadu_epi32(live, due->head + u0),
               _mm256_maskz_loadu_epi32(live, due->tail + u0), counts, most, s0, s1, s2);
    }
}

#undef QUELMO_AVX512
#endif /* QUELMO_POWF_X86 */

}  // namespace

bool layout_group_ready(const layout_coeff *c, int dim) {
#if QUELMO_POWF_X86
    return dim == 2 && c->simd >= 5 && c->powf_kind == POWF_GLIBC_FMA &&
           powf_y_on_main_path(c->b) && powf_y_on_main_path(c->b - 1.0f);
#else
    (void)c;
    (void)dim;
    return false;
#endif
}

void layout_group_ctx_init(layout_group_ctx *ctx) {
    ctx->inv_n_low = nextafter(1.0 / (double)ctx->n_vertices, 0.0);
}

void layout_group_block(const layout_group_ctx *ctx, int n, const layout_due_list *due,
                        int n_due, int64_t edge_lo, int64_t S) {
#if QUELMO_POWF_X86
    block_avx512(ctx, n, due, n_due, edge_lo, S);
#else
    (void)ctx;
    (void)n;
    (void)due;
    (void)n_due;
    (void)edge_lo;
    (void)S;
#endif
}
