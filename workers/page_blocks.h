// Heap blocks of page-sized images. The stencil path makes and frees several
// images of one page in turn: ZQImage rows (width x height bytes) and
// DibImage blocks (the same rows behind a header and colour table of about
// 1 KiB). Rounded up to one 64 KiB step, a freed image of either kind has
// room for the next image of the other, which then takes its memory, already
// in place, instead of new pages that each cost a page fault per 4 KiB.
#pragma once

#include <cstddef>

// The bytes to allocate for an image block of `bytes`: blocks from 256 KiB
// on are rounded up to a multiple of 64 KiB (the rest is never touched, so
// it takes address space only), smaller ones keep their size.
inline std::size_t pageBlockBytes(std::size_t bytes)
{
    const std::size_t step = std::size_t{64} << 10;
    if (bytes < (std::size_t{256} << 10) || bytes > static_cast<std::size_t>(-1) - step)
        return bytes;
    return (bytes + step - 1) / step * step;
}
