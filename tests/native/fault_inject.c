/*
 * Fault injection for the kernels' failure paths, loaded with LD_PRELOAD into
 * a test subprocess.  Only calls made from inside the extension module (return
 * address within its mapped segments) are counted, so the interpreter's own
 * allocations never shift the count.
 *
 * Driven through ctypes on the preloaded symbols (ctypes.CDLL(None)):
 *   qfi_arm(fail_malloc_at, fail_thread_at)  1-based call numbers to fail,
 *                                            0 = never; resets the counters
 *   qfi_target(name)                         count calls from the extension
 *                                            whose file name contains name
 *                                            (default "_native_quelmo")
 *   qfi_disarm()                             stop counting and failing
 *   qfi_stats(long out[4])                   mallocs, thread creations,
 *                                            live allocations, failures
 * The live count is mallocs minus frees of non-null pointers made by the
 * extension: 0 after a call means every allocation was released.
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

static uintptr_t lib_lo, lib_hi;
static char target[64] = "_native_quelmo";
static int armed;
static long fail_malloc_at, fail_thread_at;
static long n_malloc, n_thread, n_live, n_failed;

static int find_segments(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    const char *needle = (const char *)data;
    if (info->dlpi_name == NULL || strstr(info->dlpi_name, needle) == NULL) return 0;
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD) continue;
        uintptr_t a = info->dlpi_addr + ph->p_vaddr;
        if (a < lo) lo = a;
        if (a + ph->p_memsz > hi) hi = a + ph->p_memsz;
    }
    lib_lo = lo;
    lib_hi = hi;
    return 1;
}

static int from_extension(void *ret) {
    uintptr_t a = (uintptr_t)ret;
    return armed && a >= lib_lo && a < lib_hi;
}

void qfi_target(const char *name) {
    strncpy(target, name, sizeof target - 1);
    target[sizeof target - 1] = '\0';
}

int qfi_arm(long malloc_at, long thread_at) {
    lib_lo = lib_hi = 0;
    dl_iterate_phdr(find_segments, (void *)target);
    if (lib_hi == 0) return -1;
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
