// A preloaded allocator for fault-injection runs of the filter. It hands
// every request to the real allocator, except the N-th request of at least
// TAVEL_FAIL_ALLOC_MIN bytes (65536 unless set), N from TAVEL_FAIL_ALLOC_AT:
// that one fails as an exhausted heap does (a null pointer, or bad_alloc
// from operator new). It says so on standard error with a line that starts
// "failing-alloc: ", so that a test knows whether its run met the failure.
//
// With TAVEL_SLOW_WRITEV_MS set, every writev waits that long first: the
// page dumps, written by threads of their own with writev, then lag behind
// the page, as on a slow disk, and a page released under a dump still
// being written shows up every time (AddressSanitizer checks what writev
// reads).
//
// The real functions come from dlsym(RTLD_NEXT): glibc's, or those of
// AddressSanitizer, which replaces both malloc and operator new.
#include <dlfcn.h>
#include <errno.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);
using MemalignFn = int (*)(void**, size_t, size_t);
using AlignedAllocFn = void* (*)(size_t, size_t);
using NewFn = void* (*)(size_t);
using AlignedNewFn = void* (*)(size_t, std::align_val_t);
using WritevFn = ssize_t (*)(int, const iovec*, int);

MallocFn realMalloc;
CallocFn realCalloc;
ReallocFn realRealloc;
FreeFn realFree;
MemalignFn realPosixMemalign;
AlignedAllocFn realAlignedAlloc;
NewFn realNew;
NewFn realNewArray;
AlignedNewFn realAlignedNew;
AlignedNewFn realAlignedNewArray;
WritevFn realWritev;
long writevDelayMs = 0;

// Requests made before this library's constructor has found the real
// functions (by the libraries initialised before it, AddressSanitizer's
// start-up among them, and by dlsym itself) are served from here; such
// blocks are never freed.
alignas(64) unsigned char bootstrap[1 << 20];
std::atomic<size_t> bootstrapUsed{0};
std::atomic<bool> ready{false};
// Set while operator new runs, whose real version may call malloc: the
// request is counted once.
thread_local bool insideNew = false;

std::atomic<long> largeRequests{0};
long failAt = 0;
size_t minimumSize = 65536;

void* bootstrapBlock(size_t size)
{
    const size_t rounded = (size + 63) & ~static_cast<size_t>(63);
    const size_t at = bootstrapUsed.fetch_add(rounded);
    return at + rounded <= sizeof(bootstrap) ? bootstrap + at : nullptr;
}

bool fromBootstrap(const void* block)
{
    const unsigned char* at = static_cast<const unsigned char*>(block);
    return at >= bootstrap && at < bootstrap + sizeof(bootstrap);
}

template <typename Fn>
Fn next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void resolve()
{
    realMalloc = next<MallocFn>("malloc");
    realCalloc = next<CallocFn>("calloc");
    realRealloc = next<ReallocFn>("realloc");
    realFree = next<FreeFn>("free");
    realPosixMemalign = next<MemalignFn>("posix_memalign");
    realAlignedAlloc = next<AlignedAllocFn>("aligned_alloc");
    realNew = next<NewFn>("_Znwm");
    realNewArray = next<NewFn>("_Znam");
    realAlignedNew = next<AlignedNewFn>("_ZnwmSt11align_val_t");
    realAlignedNewArray = next<AlignedNewFn>("_ZnamSt11align_val_t");
    if (const char* at = std::getenv("TAVEL_FAIL_ALLOC_AT"))
        failAt = std::atol(at);
    realWritev = next<WritevFn>("writev");
    if (const char* delay = std::getenv("TAVEL_SLOW_WRITEV_MS"))
        writevDelayMs = std::atol(delay);
    if (const char* minimum = std::getenv("TAVEL_FAIL_ALLOC_MIN"))
        minimumSize = static_cast<size_t>(std::atol(minimum));
    ready = true;
}

// Whether this request is the one to fail.
bool failThis(size_t size)
{
    if (size < minimumSize || insideNew)
        return false;
    const long count = ++largeRequests;
    if (count != failAt)
        return false;
    char line[96];
    const int length = std::snprintf(line, sizeof(line),
                                     "failing-alloc: request %ld of %zu bytes failed\n", count, size);
    if (length > 0)
        (void)!write(2, line, static_cast<size_t>(length));
    return true;
}

// operator new in its four throwing forms: single or array, with or
// without an alignment.
void* newBlock(size_t size, bool array, const std::align_val_t* alignment)
{
    if (!ready) {
        void* block = bootstrapBlock(size);
        if (block == nullptr)
            throw std::bad_alloc();
        return block;
    }
    if (failThis(size))
        throw std::bad_alloc();
    insideNew = true;
    void* block = nullptr;
    try {
        if (alignment != nullptr)
            block = (array ? realAlignedNewArray : realAlignedNew)(size, *alignment);
        else
            block = (array ? realNewArray : realNew)(size);
    } catch (...) {
        insideNew = false;
        throw;
    }
    insideNew = false;
    return block;
}

void* newBlockOrNull(size_t size, bool array, const std::align_val_t* alignment) noexcept
{
    try {
        return newBlock(size, array, alignment);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

extern "C" {

void* malloc(size_t size)
{
    if (!ready)
        return bootstrapBlock(size);
    if (failThis(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realMalloc(size);
}

void* calloc(size_t count, size_t size)
{
    // The bootstrap area is zero and never handed out twice.
    if (!ready)
        return size != 0 && count > static_cast<size_t>(-1) / size ? nullptr
                                                                     : bootstrapBlock(count * size);
    if (size != 0 && count <= static_cast<size_t>(-1) / size && failThis(count * size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realCalloc(count, size);
}

void* realloc(void* block, size_t size)
{
    if (fromBootstrap(block) || !ready) {
        void* moved = malloc(size);
        if (moved != nullptr && block != nullptr) {
            const size_t room = static_cast<size_t>(bootstrap + sizeof(bootstrap) -
                                                    static_cast<unsigned char*>(block));
            std::memcpy(moved, block, size < room ? size : room);
        }
        return moved;
    }
    if (failThis(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realRealloc(block, size);
}

void free(void* block)
{
    if (block == nullptr || fromBootstrap(block) || !ready)
        return;
    realFree(block);
}

int posix_memalign(void** block, size_t alignment, size_t size)
{
    if (!ready && alignment <= 64) {
        *block = bootstrapBlock(size);
        return *block != nullptr ? 0 : ENOMEM;
    }
    if (failThis(size))
        return ENOMEM;
    return realPosixMemalign(block, alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    if (!ready && alignment <= 64)
        return bootstrapBlock(size);
    if (failThis(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realAlignedAlloc(alignment, size);
}

ssize_t writev(int fd, const iovec* pieces, int count)
{
    if (writevDelayMs > 0) {
        const timespec delay = {writevDelayMs / 1000, (writevDelayMs % 1000) * 1000000};
        nanosleep(&delay, nullptr);
    }
    return realWritev(fd, pieces, count);
}

}  // extern "C"

void* operator new(size_t size) { return newBlock(size, false, nullptr); }

void* operator new[](size_t size) { return newBlock(size, true, nullptr); }

void* operator new(size_t size, std::align_val_t alignment)
{
    return newBlock(size, false, &alignment);
}

void* operator new[](size_t size, std::align_val_t alignment)
{
    return newBlock(size, true, &alignment);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return newBlockOrNull(size, false, nullptr);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return newBlockOrNull(size, true, nullptr);
}

void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return newBlockOrNull(size, false, &alignment);
}

void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return newBlockOrNull(size, true, &alignment);
}
