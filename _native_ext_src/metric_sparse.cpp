// Distance kernels between rows of CSR point sets (sorted column indices, no
// stored zeros).
//
// The query row is scattered once into a dense scratch row; each candidate
// row then walks only its own entries and reads the query's value at each
// column.  Sums over the union of two rows are rewritten as per-row constants
// (aux) minus a sum over the intersection, in double precision, so one walk of
// the candidate's entries suffices.  Symmetry bit for bit: the intersection sum is the
// same sequence of terms, in column order, whichever row is the query, and
// every term and every final expression is symmetric in the two rows.

#include "metric_units.h"

#include <cmath>
#include <cstdint>

namespace {

inline double row_count(const points *s, int64_t i) {
    return (double)(s->indptr[i + 1] - s->indptr[i]);
}

inline void scatter(const points *s, int64_t i, float *dense) {
    for (int64_t e = s->indptr[i]; e < s->indptr[i + 1]; ++e) dense[s->indices[e]] = s->vals[e];
}

inline void unscatter(const points *s, int64_t i, float *dense) {
    for (int64_t e = s->indptr[i]; e < s->indptr[i + 1]; ++e) dense[s->indices[e]] = 0.0f;
}

// Rank distance of one candidate row c of ps to the query scattered into x,
// whose own row is q of qs.  Every entry of the candidate is read in column
// order; where the query's value is 0 the term is skipped (the sums) or is
// exactly +0 (the products), which leaves a sum that never holds -0
// unchanged.  The loop's iterations are independent except for the running
// sums, so the processor can fetch the entries of a candidate that is not in
// the cache ahead of the arithmetic.
template <int ID>
float sparse_one(const metric *m, const points *qs, int64_t q, const points *ps, int64_t c,
                 const float *x) {
    const int32_t *col = ps->indices;
    const float *val = ps->vals;
    const double *aq = qs->aux, *ac = ps->aux;
    double s1 = 0.0, s2 = 0.0;
    int64_t both = 0;
    for (int64_t e = ps->indptr[c]; e < ps->indptr[c + 1]; ++e) {
        const float bf = x[col[e]];
        if (ID == METRIC_HAMMING || ID == METRIC_JACCARD || ID == METRIC_DICE) {
            both += bf != 0.0f;
            continue;
        }
        const double a = (double)val[e], b = (double)bf;
        if (ID == METRIC_SQEUCLIDEAN || ID == METRIC_CORRELATION) {
            s1 += a * b;  // exact: a product of two floats fits a double
        } else if (bf != 0.0f) {
            both += 1;
            if (ID == METRIC_MANHATTAN || ID == METRIC_BRAYCURTIS) {
                // |a| + |b| - |a - b| (and - |a + b|): what the shared column
                // takes off the sums of both rows.
                s1 += (std::fabs(a) + std::fabs(b)) - std::fabs(a - b);
                if (ID == METRIC_BRAYCURTIS) s2 += (std::fabs(a) + std::fabs(b)) - std::fabs(a + b);
            } else if (ID == METRIC_MINKOWSKI) {
                s1 += (std::pow(std::fabs(a), m->p) + std::pow(std::fabs(b), m->p)) -
                      std::pow(std::fabs(a - b), m->p);
            } else if (ID == METRIC_CANBERRA) {
                s1 += std::fabs(a - b) / (std::fabs(a) + std::fabs(b));
            }
        }
    }
    if (ID == METRIC_SQEUCLIDEAN) {
        const double d2 = (aq[q] + ac[c]) - 2.0 * s1;
        return d2 > 0.0 ? (float)d2 : 0.0f;
    }
    if (ID == METRIC_MANHATTAN || ID == METRIC_BRAYCURTIS) {
        const double total = aq[q] + ac[c];
        const double num = total - s1;
        if (ID == METRIC_MANHATTAN) return num > 0.0 ? (float)num : 0.0f;
        const double den = total - s2;
        if (den > 0.0) return (float)(num / den);
        return num > 0.0 ? 1.0f : 0.0f;
    }
    if (ID == METRIC_MINKOWSKI) {
        const double sum = (aq[q] + ac[c]) - s1;
        return sum > 0.0 ? (float)sum : 0.0f;
    }
    const double nq = row_count(qs, q), nc = row_count(ps, c), nb = (double)both;
    if (ID == METRIC_CANBERRA) {
        // A column in one row only adds |a| / |a| = 1.
        return (float)(((nq + nc) - 2.0 * nb) + s1);
    }
    if (ID == METRIC_CORRELATION) {
        // Row-centred rows u, v scaled to unit length (a flat row centres to
        // zero): |u - v|^2 = |u|^2 + |v|^2 - 2 u.v, from the dot product of the
        // raw rows and each row's sum and sum of squares.
        const double dn = (double)qs->d;
        const double sq = aq[2 * q], sc = ac[2 * c];
        const double vq = aq[2 * q + 1] - sq * sq / dn, vc = ac[2 * c + 1] - sc * sc / dn;
        const bool fq = vq > 0.0, fc = vc > 0.0;
        double d2 = (fq ? 1.0 : 0.0) + (fc ? 1.0 : 0.0);
        if (fq && fc) d2 -= 2.0 * ((s1 - sq * sc / dn) / std::sqrt(vq * vc));
        return d2 > 0.0 ? (float)d2 : 0.0f;
    }
    // The set metrics, on the patterns.
    if (ID == METRIC_HAMMING) return (float)(((nq + nc) - 2.0 * nb) / (double)qs->d);
    if (ID == METRIC_JACCARD) {
        const double any = (nq + nc) - nb;
        return any > 0.0 ? (float)((any - nb) / any) : 0.0f;
    }
    // METRIC_DICE
    const double total = nq + nc;
    return total > 0.0 ? (float)((total - 2.0 * nb) / total) : 0.0f;
}

template <int ID>
void sparse_many(const metric *m, const points *qs, int64_t q, const points *ps,
                 const int32_t *ids, int cnt, float *out, float *dense) {
    scatter(qs, q, dense);
    for (int j = 0; j < cnt; ++j) out[j] = sparse_one<ID>(m, qs, q, ps, ids[j], dense);
    unscatter(qs, q, dense);
}

// The largest |a - b| over the union of the two rows, by a merge of the two
// sorted index lists (a maximum needs the columns of both rows).
void chebyshev_many(const metric *, const points *qs, int64_t q, const points *ps,
                    const int32_t *ids, int cnt, float *out, float *) {
    const int64_t q0 = qs->indptr[q], q1 = qs->indptr[q + 1];
    for (int j = 0; j < cnt; ++j) {
        int64_t a = q0, b = ps->indptr[ids[j]];
        const int64_t b1 = ps->indptr[ids[j] + 1];
        float best = 0.0f;
        while (a < q1 || b < b1) {
            float v;
            if (b >= b1 || (a < q1 && qs->indices[a] < ps->indices[b])) {
                v = std::fabs(qs->vals[a++]);
            } else if (a >= q1 || ps->indices[b] < qs->indices[a]) {
                v = std::fabs(ps->vals[b++]);
            } else {
                v = std::fabs(qs->vals[a++] - ps->vals[b++]);
            }
            best = best > v ? best : v;
        }
        out[j] = best;
    }
}

}  // namespace

int64_t sparse_scratch_floats(int64_t d) { return d; }

dist_many_fn sparse_kernel(int id) {
    switch (id) {
        case METRIC_SQEUCLIDEAN: return sparse_many<METRIC_SQEUCLIDEAN>;
        case METRIC_MANHATTAN: return sparse_many<METRIC_MANHATTAN>;
        case METRIC_CHEBYSHEV: return chebyshev_many;
        case METRIC_MINKOWSKI: return sparse_many<METRIC_MINKOWSKI>;
        case METRIC_CANBERRA: return sparse_many<METRIC_CANBERRA>;
        case METRIC_BRAYCURTIS: return sparse_many<METRIC_BRAYCURTIS>;
        case METRIC_HAMMING: return sparse_many<METRIC_HAMMING>;
        case METRIC_JACCARD: return sparse_many<METRIC_JACCARD>;
        case METRIC_DICE: return sparse_many<METRIC_DICE>;
        case METRIC_CORRELATION: return sparse_many<METRIC_CORRELATION>;
        default: return nullptr;
    }
}

int sparse_aux_width(int id) {
    switch (id) {
        case METRIC_SQEUCLIDEAN:
        case METRIC_MANHATTAN:
        case METRIC_MINKOWSKI:
        case METRIC_BRAYCURTIS:
            return 1;
        case METRIC_CORRELATION:
            return 2;
        default:
            return 0;
    }
}

// Per row: sum x^2 (sqeuclidean), sum |x| (manhattan, braycurtis), sum |x|^p
// (minkowski), or sum x and sum x^2 (correlation); in column order, in the
// same double arithmetic as the kernels' terms.
void sparse_aux(int id, double p, const points *s, double *aux) {
    for (int64_t i = 0; i < s->n; ++i) {
        double a = 0.0, b = 0.0;
        for (int64_t e = s->indptr[i]; e < s->indptr[i + 1]; ++e) {
            const double v = (double)s->vals[e];
            switch (id) {
                case METRIC_SQEUCLIDEAN: a += v * v; break;
                case METRIC_MANHATTAN:
                case METRIC_BRAYCURTIS: a += std::fabs(v); break;
                case METRIC_MINKOWSKI: a += std::pow(std::fabs(v), p); break;
                case METRIC_CORRELATION:
                    a += v;
                    b += v * v;
                    break;
                default: break;
            }
        }
        if (id == METRIC_CORRELATION) {
            aux[2 * i] = a;
            aux[2 * i + 1] = b;
        } else if (sparse_aux_width(id) == 1) {
            aux[i] = a;
        }
    }
}

// The direction b - a is scattered into dir (values, or 1 per stored entry
// with pattern), each projection summed in column order in double.
void sparse_project(const points *s, int pattern, int32_t a, int32_t b, const int32_t *ids,
                    int cnt, double *out, float *dir) {
    for (int64_t e = s->indptr[b]; e < s->indptr[b + 1]; ++e)
        dir[s->indices[e]] = pattern ? 1.0f : s->vals[e];
    for (int64_t e = s->indptr[a]; e < s->indptr[a + 1]; ++e)
        dir[s->indices[e]] = dir[s->indices[e]] - (pattern ? 1.0f : s->vals[e]);
    for (int j = 0; j < cnt; ++j) {
        double sum = 0.0;
        const int64_t r0 = s->indptr[ids[j]], r1 = s->indptr[ids[j] + 1];
        if (pattern)
            for (int64_t e = r0; e < r1; ++e) sum += (double)dir[s->indices[e]];
        else
            for (int64_t e = r0; e < r1; ++e) sum += (double)s->vals[e] * (double)dir[s->indices[e]];
        out[j] = sum;
    }
    for (int64_t e = s->indptr[a]; e < s->indptr[a + 1]; ++e) dir[s->indices[e]] = 0.0f;
    for (int64_t e = s->indptr[b]; e < s->indptr[b + 1]; ++e) dir[s->indices[e]] = 0.0f;
}
