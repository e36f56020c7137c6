/*
 * rp_forest.h - random-projection trees over the training points, kept by a
 * fitted model to seed the neighbour query of new points.
 *
 * A forest of n_trees trees over n points with leaves of at most leaf_size
 * points.  Every tree has the same shape (a node of m > leaf_size points
 * splits into m / 2 and m - m / 2), so its node count depends on n and
 * leaf_size alone (ext_forest_nodes_per_tree).  Tree t owns nodes
 * [t * P, (t + 1) * P) in preorder, its root first, and perm[t * n ... ].
 * Per node, four int32 in `nodes`:
 *   inner node: left child, right child (local node numbers, both greater
 *               than the node's own), pivot a, pivot b (point ids);
 *   leaf:       -1, -1, first position in the tree's perm, point count;
 * and one float32 in `threshold` (0 for leaves).  An inner node sends a
 * point x right when dist(x, a) - dist(x, b) >= threshold, else left.
 */
#ifndef QUELMO_RP_FOREST_H
#define QUELMO_RP_FOREST_H

#include <stdint.h>

#include "query_distance.h"

struct ext_forest {
    int n_trees;
    int64_t nodes_per_tree;
    const int32_t *nodes;     // n_trees * nodes_per_tree * 4
    const float *threshold;   // n_trees * nodes_per_tree
    const int32_t *perm;      // n_trees * n_points
};

// Nodes of one tree over n points, or -1 when n < 1 or leaf_size < 1.
int64_t ext_forest_nodes_per_tree(int64_t n, int leaf_size);

// Builds the forest of the rows of X (n x d) into nodes, threshold and perm,
// sized as above.  Tree t draws from its own stream, seeded from seed and t,
// so the forest does not depend on n_threads.  Returns 0, -1 for invalid
// sizes or metric, or -2 when scratch could not be allocated.
int ext_forest_build(const float *X, int64_t n, int d, int metric, int n_trees, int leaf_size,
                     uint64_t seed, int n_threads, int32_t *nodes, float *threshold,
                     int32_t *perm);

// Distances of the query at hand to the points ids[0 .. count-1] (count at
// most 64), into out.
typedef void (*ext_ids_dist_fn)(void *ctx, const int32_t *ids, int count, float *out);

// The leaf of every tree that a query falls into, as ranges of the trees'
// perms: first[t] and count[t].  dist(ctx, ...) measures the query against
// pivots; the trees are walked side by side so that their pivots are
// measured together.  The forest may come from a file: a node whose
// children are not further down its tree, or a leaf range outside
// [0, n_points), yields an empty range instead of a wild read.
void ext_forest_leaves(const ext_forest *f, int64_t n_points, ext_ids_dist_fn dist, void *ctx,
                       int64_t *first, int64_t *count);

#endif /* QUELMO_RP_FOREST_H */
