/* Preloaded into a test process: once armed, pthread_create succeeds a given
 * number of times and then fails with EAGAIN, as it does when the system runs
 * out of threads or memory. Armed from Python through ctypes after start-up,
 * so that threads started by the interpreter's own libraries do not count. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

/* Starts left before failing; negative while disarmed. */
static atomic_long starts_left = -1;

void fail_pthread_create_after(long starts) { atomic_store(&starts_left, starts); }

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static _Atomic(create_fn) real;
    create_fn next = atomic_load(&real);
    if (!next) {
        next = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
        atomic_store(&real, next);
    }
    long left = atomic_load(&starts_left);
    while (left >= 0) {
        if (left == 0) return EAGAIN;
        if (atomic_compare_exchange_weak(&starts_left, &left, left - 1)) break;
    }
    return next(thread, attr, start, arg);
}
