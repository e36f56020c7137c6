// Online-processor count used by the kNN unit to resolve a thread count of
// zero or less.
#ifndef QUELMO_KNN_H
#define QUELMO_KNN_H

#include <unistd.h>

// sysconf reports -1 when the count is unknown; every caller needs at least
// one thread, so anything below 1 counts as 1.
static inline long vorlix_native_online_cpus(void) {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? n : 1;
}

#endif /* QUELMO_KNN_H */
