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
extern void __libc_free(void *ptr);

// The extensions watched; both link the kernels, so a call can go through
// either.  Each one found gets its address range.
static const char *const watched[] = {"_native_quelmo", "_native_ext"};
#define N_WATCHED (sizeof watched / sizeof watched[0])
static uintptr_t lib_lo[N_WATCHED], lib_hi[N_WATCHED];
static int armed;
static long fail_malloc_at, fail_thread_at;
static long n_malloc, n_thread, n_live, n_failed;

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
    for (size_t w = 0; w < N_WATCHED; ++w)
        if (a >= lib_lo[w] && a < lib_hi[w]) return 1;
    return 0;
}

// Fails when _native_quelmo is not loaded; _native_ext is watched once loaded.
int qfi_arm(long malloc_at, long thread_at) {
    for (size_t w = 0; w < N_WATCHED; ++w) {
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
