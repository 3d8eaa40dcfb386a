/* Tables shared between the generated lazy_table.c and lazy_resolve.c. */
#ifndef LAZY_RESOLVE_H
#define LAZY_RESOLVE_H

/* A lazily loaded library: soname passed to dlopen() and its handle once
   loaded (written only under the resolver lock). */
#pragma GCC visibility push(hidden)

struct lazy_lib {
    const char *soname;
    void *handle;
};

/* One stubbed function: name, default symbol version found at build time
   (null for unversioned libraries) and index into lazy_libs. */
struct lazy_sym {
    const char *name;
    const char *version;
    unsigned lib;
};

/* A data symbol defined locally by a hand-written provider.  check() gets
   the address of the real object once its library is loaded and returns
   non-zero when the local copy is equivalent to it. */
struct lazy_data_check {
    const char *name;
    const char *version;
    unsigned lib;
    int (*check)(const void *real_object);
};

extern struct lazy_lib lazy_libs[];
extern const struct lazy_sym lazy_syms[];
extern const unsigned lazy_nsyms;
extern const struct lazy_data_check lazy_data_checks[];

/* Pointer slots the stubs jump through (defined in lazy_stubs.S). */
extern void *lazy_slots[];

/* Called by the first-call thunk with the stub index; returns the real
   function address after storing it in lazy_slots[index]. Never returns on
   failure. */
void *lazy_resolve(unsigned long index);

#pragma GCC visibility pop

#endif
