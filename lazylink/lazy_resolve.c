/* Resolver for the generated lazy-binding stubs.
 *
 * A stub jumps through lazy_slots[i]; that slot initially points to a thunk
 * that saves the argument registers and calls lazy_resolve(i).  The resolver
 * loads the owning library by soname, looks the symbol up with the version
 * recorded at build time, publishes the address in the slot (so later calls
 * go straight to the library) and returns it; the thunk then restores the
 * argument registers and jumps to the real function.
 *
 * Failure to load a library or find a symbol is fatal: the caller expects
 * the function to run, and there is no value that could be returned in its
 * place, so an "ERROR:" line is written to stderr and the process aborts.
 */
#define _GNU_SOURCE
#include "lazy_resolve.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static pthread_mutex_t lazy_lock = PTHREAD_MUTEX_INITIALIZER;

static void lazy_fail(const char *what, const char *name, const char *lib,
                      const char *detail) __attribute__((noreturn));

static void lazy_fail(const char *what, const char *name, const char *lib,
                      const char *detail)
{
    /* stdio may itself be in an unknown state; a single fprintf to the
       unbuffered stderr is the most robust option available here. */
    fprintf(stderr, "ERROR: lazy binding: %s %s from %s: %s\n", what,
            name ? name : "?", lib ? lib : "?", detail ? detail : "unknown error");
    abort();
}

static void *lazy_lookup(void *handle, const char *name, const char *version)
{
    return version ? dlvsym(handle, name, version) : dlsym(handle, name);
}

/* Load lazy_libs[li] if needed; lazy_lock must be held. */
static void *lazy_load(unsigned li, const char *for_symbol)
{
    struct lazy_lib *lib = &lazy_libs[li];
    const struct lazy_data_check *dc;

    if (lib->handle)
        return lib->handle;

    dlerror();
    void *h = dlopen(lib->soname, RTLD_NOW | RTLD_LOCAL);
    if (!h)
        lazy_fail("cannot load library for", for_symbol, lib->soname, dlerror());

    /* Data objects that a provider defines locally must match the real
       ones; a mismatch means the provider is wrong for this library build. */
    for (dc = lazy_data_checks; dc->name; dc++) {
        if (dc->lib != li)
            continue;
        dlerror();
        void *real = lazy_lookup(h, dc->name, dc->version);
        if (!real)
            lazy_fail("cannot find data symbol", dc->name, lib->soname, dlerror());
        if (!dc->check(real))
            lazy_fail("local copy differs from the library's data symbol",
                      dc->name, lib->soname, "provider is out of date");
    }

    lib->handle = h;
    return h;
}

void *lazy_resolve(unsigned long index)
{
    if (index >= lazy_nsyms)
        lazy_fail("invalid stub index for", "?", "?", "corrupted trampoline");

    const struct lazy_sym *s = &lazy_syms[index];

    if (pthread_mutex_lock(&lazy_lock) != 0)
        lazy_fail("cannot lock resolver for", s->name, lazy_libs[s->lib].soname,
                  "pthread_mutex_lock failed");

    void *h = lazy_load(s->lib, s->name);

    dlerror();
    void *fn = lazy_lookup(h, s->name, s->version);
    if (!fn) {
        const char *err = dlerror();
        pthread_mutex_unlock(&lazy_lock);
        lazy_fail("cannot find function", s->name, lazy_libs[s->lib].soname, err);
    }

    /* Release so that a thread seeing the new slot value through the stub's
       acquire load also sees the library's relocated data. */
    __atomic_store_n(&lazy_slots[index], fn, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&lazy_lock);
    return fn;
}
