/*
 * ext_parallel.h - the one helper that splits a range of independent items
 * over POSIX threads, for the units of _native_ext.
 */
#ifndef QUELMO_EXT_PARALLEL_H
#define QUELMO_EXT_PARALLEL_H

#include <stdint.h>

// Work on items [begin, end) as worker `worker` of the call.  Returns 0, or a
// negative status (for example -2 when the worker's scratch could not be
// allocated); the helper reports the first failure in worker order.
typedef int (*ext_range_fn)(void *ctx, int64_t begin, int64_t end, int worker);

// Thread count of a call: n_threads, or the online processors when it is
// below 1, never more than n_items and never below 1.
int ext_resolve_threads(int n_threads, int64_t n_items);

// Runs fn over [0, n_items) split into contiguous ranges, one per worker
// (the first n_items % workers ranges one item longer), with
// ext_resolve_threads(n_threads, n_items) workers.  Worker 0 runs on the
// calling thread; a worker whose thread cannot be created runs there too,
// after the others have started.  Every created thread is joined before the
// helper returns.  Callers whose items are independent get the same result
// for every thread count.  When the thread bookkeeping cannot be allocated,
// fn runs once over everything on the calling thread.  Returns 0 or the
// first negative status of a worker, in worker order.
int ext_parallel_ranges(int64_t n_items, int n_threads, ext_range_fn fn, void *ctx);

#endif /* QUELMO_EXT_PARALLEL_H */
