/*
 * metric_query.h - the k nearest training points of new points under the
 * general metrics (dense or CSR sets, metric_kernels.h): a best-first search
 * over the fit's search graph from a fixed set of seeds.
 *
 * A query's result depends on nothing but its own values, the training set,
 * the graph, the seeds, k and the pool width: not on the other queries
 * of the call, their order, or the thread count.
 */
#ifndef QUELMO_METRIC_QUERY_H
#define QUELMO_METRIC_QUERY_H

#include <stdint.h>

#include "metric_kernels.h"

// Rank distances of the k nearest rows of ps (n = ps->n training points) to
// each row of qs, into out_idx / out_dist (qs->n x k), each row by
// increasing (distance, id); distances below zero (rounding) read as zero.
// The search measures the training points seeds[0 .. n_seeds) first (ids
// outside [0, n) and repeats are passed over), then repeatedly expands the
// nearest not yet expanded point among the best `pool` found (by (distance,
// id)): its row of graph (n x width, ids, -1 for none) is measured in one
// call of the metric's kernel, its points offered to the pool; it ends when
// every point of the pool has been expanded.  Slots the search could not
// fill hold -1 and +infinity.  Ids read from graph are checked against n.
// Requires 1 <= k <= pool and n_seeds >= 1.  Returns 0, -1 for invalid
// sizes, -2 when a worker's scratch could not be allocated.
int metric_graph_query(const metric *m, const points *qs, const points *ps,
                       const int32_t *graph, int width, const int32_t *seeds, int n_seeds,
                       int k, int pool, int n_threads, int32_t *out_idx, float *out_dist);

#endif /* QUELMO_METRIC_QUERY_H */
