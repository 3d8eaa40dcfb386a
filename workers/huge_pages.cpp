#include "workers/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace {

const std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

// Blocks below this are not worth a system call: they hold at most one huge
// page, often none.
const std::size_t kSmallestAdvised = 4 * kHugePage;

}  // namespace

void adviseHugePages(void* block, std::size_t bytes)
{
#ifdef MADV_HUGEPAGE
    if (block == nullptr || bytes < kSmallestAdvised)
        return;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

void* allocatePageBlock(std::size_t bytes)
{
    if (bytes < kSmallestAdvised)
        return std::malloc(bytes == 0 ? 1 : bytes);
    void* block = nullptr;
    if (posix_memalign(&block, kHugePage, bytes) != 0)
        return nullptr;
    adviseHugePages(block, bytes);
    return block;
}
