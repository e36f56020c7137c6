/*
 * Fault injection for the kernels' failure paths, loaded with LD_PRELOAD into
 * a test subprocess.  Only calls made from inside the extension modules
 * _native_quelmo and _native_ext (return address within their mapped
 * segments) are counted, so the interpreter's own allocations never shift
 * the count.
 *
 * Driven through ctypes on the preloaded symbols (ctypes.CDLL(None)):
 *   qfi_arm(fail_malloc_at, fail_thread_at)  1-based call numbers to fail,
 *                                            0 = never; resets the counters
 *   qfi_target(name)                         count calls from the one extension
 *                                            whose file name contains name
 *                                            (default: both, which both link
 *                                            the kernels)
 *   qfi_disarm()                             stop counting and failing
 *   qfi_stats(long out[4])                   mallocs, thread creations,
 *                                            live allocations, failures
 * The live count is mallocs minus frees of non-null pointers made by the
 * extensions: 0 after a call means every allocation was released.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void __libc_free(void *ptr);

#define MAX_WATCHED 2
static char watched[MAX_WATCHED][64] = {"_native_quelmo", "_native_ext"};
static size_t n_watched = MAX_WATCHED;
static uintptr_t lib_lo[MAX_WATCHED], lib_hi[MAX_WATCHED];
static int armed;
static long fail_malloc_at, fail_thread_at;
static long n_malloc, n_thread, n_live, n_failed;

// data points to the index of the watched name to look for.
static int find_segments(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    const size_t w = *(const size_t *)data;
    if (info->dlpi_name == NULL || strstr(info->dlpi_name, watched[w]) == NULL) return 0;
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD) continue;
        uintptr_t a = info->dlpi_addr + ph->p_vaddr;
        if (a < lo) lo = a;
        if (a + ph->p_memsz > hi) hi = a + ph->p_memsz;
    }
    lib_lo[w] = lo;
    lib_hi[w] = hi;
    return 1;
}

static int from_extension(void *ret) {
    uintptr_t a = (uintptr_t)ret;
    if (!armed) return 0;
    for (size_t w = 0; w < n_watched; ++w)
        if (a >= lib_lo[w] && a < lib_hi[w]) return 1;
    return 0;
}

void qfi_target(const char *name) {
    strncpy(watched[0], name, sizeof watched[0] - 1);
    watched[0][sizeof watched[0] - 1] = '\0';
    n_watched = 1;
}

// Fails when the first watched extension is not loaded; with both watched,
// _native_ext is counted once it is loaded.
int qfi_arm(long malloc_at, long thread_at) {
    for (size_t w = 0; w < n_watched; ++w) {
        lib_lo[w] = lib_hi[w] = 0;
        dl_iterate_phdr(find_segments, (void *)&w);
    }
    if (lib_hi[0] == 0) return -1;
    fail_malloc_at = malloc_at;
    fail_thread_at = thread_at;
    __atomic_store_n(&n_malloc, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&n_thread, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&n_live, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&n_failed, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&armed, 1, __ATOMIC_SEQ_CST);
    return 0;
}

void qfi_disarm(void) { __atomic_store_n(&armed, 0, __ATOMIC_SEQ_CST); }

void qfi_stats(long *out) {
    out[0] = __atomic_load_n(&n_malloc, __ATOMIC_SEQ_CST);
    out[1] = __atomic_load_n(&n_thread, __ATOMIC_SEQ_CST);
    out[2] = __atomic_load_n(&n_live, __ATOMIC_SEQ_CST);
    out[3] = __atomic_load_n(&n_failed, __ATOMIC_SEQ_CST);
}

void *malloc(size_t size) {
    if (from_extension(__builtin_return_address(0))) {
        long nth = __atomic_add_fetch(&n_malloc, 1, __ATOMIC_SEQ_CST);
        if (nth == fail_malloc_at) {
            __atomic_add_fetch(&n_failed, 1, __ATOMIC_SEQ_CST);
            errno = ENOMEM;
            return NULL;
        }
        void *p = __libc_malloc(size);
        if (p != NULL) __atomic_add_fetch(&n_live, 1, __ATOMIC_SEQ_CST);
        return p;
    }
    return __libc_malloc(size);
}

// Compilers turn malloc followed by zeroing into calloc: counted as a malloc.
void *calloc(size_t count, size_t size) {
    if (from_extension(__builtin_return_address(0))) {
        long nth = __atomic_add_fetch(&n_malloc, 1, __ATOMIC_SEQ_CST);
        if (nth == fail_malloc_at) {
            __atomic_add_fetch(&n_failed, 1, __ATOMIC_SEQ_CST);
            errno = ENOMEM;
            return NULL;
        }
        void *p = __libc_calloc(count, size);
        if (p != NULL) __atomic_add_fetch(&n_live, 1, __ATOMIC_SEQ_CST);
        return p;
    }
    return __libc_calloc(count, size);
}

void free(void *ptr) {
    if (ptr != NULL && from_extension(__builtin_return_address(0)))
        __atomic_sub_fetch(&n_live, 1, __ATOMIC_SEQ_CST);
    __libc_free(ptr);
}

typedef int (*pthread_create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                 void *);

int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                   void *(*start)(void *), void *arg) {
    static pthread_create_fn real;
    if (real == NULL) real = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (from_extension(__builtin_return_address(0))) {
        long nth = __atomic_add_fetch(&n_thread, 1, __ATOMIC_SEQ_CST);
        if (nth == fail_thread_at) {
            __atomic_add_fetch(&n_failed, 1, __ATOMIC_SEQ_CST);
            return EAGAIN;
        }
    }
    return real(thread, attr, start, arg);
}
