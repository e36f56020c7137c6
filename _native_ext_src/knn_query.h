/*
 * knn_query.h - the k nearest training points of new points: candidates from
 * the leaves of a random-projection forest, refined by a best-first search
 * over a neighbour graph of the training points.
 *
 * The result of a query depends on nothing but its own values, the training
 * data, the graph, the forest and the search width: not on the other queries
 * of the call, their order, or the thread count.  Ties in distance are
 * broken by the smaller id.
 */
#ifndef QUELMO_KNN_QUERY_H
#define QUELMO_KNN_QUERY_H

#include <stdint.h>

#include "rp_forest.h"

// Search graph of n training points from their kNN arrays (n x k ids and
// distances; entries with the row's own id or outside [0, n) are ignored):
// row i lists, in `graph` (n x width, int32), the nearest `width` distinct
// points among i's neighbours and the points that list i as a neighbour,
// by increasing (distance, id), padded with -1.  Returns 0, -1 for invalid
// sizes, or -2 when scratch could not be allocated.
int ext_search_graph(int64_t n, int k, const int32_t *knn_idx, const float *knn_dist,
                     int width, int n_threads, int32_t *graph);

// The k nearest rows of X (n x d) to each of the m rows of Q, under `metric`:
// ids in out_idx and distances (as the metric's kernel gives them) in
// out_dist, m x k each, every row by increasing (distance, id); a slot that
// the search could not fill holds -1 and +infinity.  The search keeps the
// best `ef` points found (ef >= k; more is slower and finds more true
// neighbours) and stops when the nearest unexpanded candidate is farther
// than all of them, or farther than (1 + epsilon) times the k-th nearest
// found (epsilon >= 0; infinity: no such cut); candidates beyond that are
// not kept either.  graph is n x width (width 0: the leaves alone).
// exclude, when not null, names for each query a training point that its
// search must neither return nor pass through (a training point queried as
// if it were new); ids outside [0, n) exclude nothing.
// Ids read from graph and forest are checked against n before use.
// Xb, when not null, holds X in byte form (n rows of ext_bytes_stride(d)
// bytes, ext_bytes_pack): queries whose values are bytes too are then
// measured in integers, to the same bits.  Returns 0, -1 for invalid
// arguments, or -2 when scratch could not be allocated.
int ext_knn_query(const float *X, const uint8_t *Xb, int64_t n, int d, int metric,
                  const int32_t *graph, int width, const ext_forest *forest, const float *Q,
                  const int32_t *exclude, int64_t m, int k, int ef, float epsilon,
                  int n_threads, int32_t *out_idx, float *out_dist);

// Packs the n rows of X (n x d) into Xb (n x ext_bytes_stride(d) bytes) when
// every value is an integer 0 ... 255; returns 1 if it did, 0 (Xb then
// unspecified) if not.
int ext_bytes_pack_rows(const float *X, int64_t n, int d, int n_threads, uint8_t *Xb);

#endif /* QUELMO_KNN_QUERY_H */
