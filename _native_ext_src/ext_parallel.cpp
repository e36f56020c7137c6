// Contiguous split of independent items over POSIX threads.

#include "ext_parallel.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

namespace {

struct range_work {
    ext_range_fn fn;
    void *ctx;
    int64_t begin, end;
    int worker;
    int status;
};

void *range_worker(void *arg) {
    range_work *w = (range_work *)arg;
    w->status = w->fn(w->ctx, w->begin, w->end, w->worker);
    return nullptr;
}

}  // namespace

int ext_resolve_threads(int n_threads, int64_t n_items) {
    int64_t t = n_threads;
    if (t < 1) {
        const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        t = cpus > 0 ? cpus : 1;
    }
    if (t > n_items) t = n_items;
    return t < 1 ? 1 : (int)t;
}

int ext_parallel_ranges(int64_t n_items, int n_threads, ext_range_fn fn, void *ctx) {
    if (n_items <= 0) return 0;
    const int workers = ext_resolve_threads(n_threads, n_items);
    if (workers == 1) return fn(ctx, 0, n_items, 0);

    range_work *work = (range_work *)std::malloc((size_t)workers * sizeof(range_work));
    pthread_t *threads = (pthread_t *)std::malloc((size_t)workers * sizeof(pthread_t));
    char *started = (char *)std::malloc((size_t)workers);
    if (work == nullptr || threads == nullptr || started == nullptr) {
        std::free(started);
        std::free(threads);
        std::free(work);
        return fn(ctx, 0, n_items, 0);
    }

    for (int e = 0; e < workers; ++e) started[e] = 0;
    const int64_t base = n_items / workers, rem = n_items % workers;
    int64_t begin = 0;
    for (int e = 0; e < workers; ++e) {
        const int64_t count = base + (e < rem ? 1 : 0);
        work[e] = range_work{fn, ctx, begin, begin + count, e, 0};
        begin += count;
    }
    for (int e = 1; e < workers; ++e)
        started[e] = pthread_create(&threads[e], nullptr, range_worker, &work[e]) == 0;
    range_worker(&work[0]);
    for (int e = 1; e < workers; ++e)
        if (!started[e]) range_worker(&work[e]);
    for (int e = 1; e < workers; ++e)
        if (started[e]) pthread_join(threads[e], nullptr);

    int status = 0;
    for (int e = 0; e < workers && status == 0; ++e) status = work[e].status;
    std::free(started);
    std::free(threads);
    std::free(work);
    return status;
}
