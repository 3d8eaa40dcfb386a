// Page-sized pixel blocks in huge pages. A block of several MiB that is
// touched for the first time costs the process one page fault per 4 KiB, and
// an A4 page at 300 dpi passes through several such blocks: on the stencil
// path the faults alone took about a third of the filter's time. Linux backs
// an anonymous range with 2 MiB pages when the program asks for it (or when
// the system is set to do so everywhere), one fault per 2 MiB.
#pragma once

#include <cstddef>

// Asks the system to back the whole 2 MiB pages inside [block, block +
// bytes) with huge pages, before they are first touched. Blocks too small to
// hold several are left alone, and so is everything where the system has no
// huge pages or refuses: it changes only how fast the memory arrives, never
// its contents.
void adviseHugePages(void* block, std::size_t bytes);

// malloc for a page-sized block: one large enough for huge pages starts on a
// 2 MiB boundary, so that only its last part comes in 4 KiB pages, and is
// advised as above. Null when there is no memory; release it with std::free.
void* allocatePageBlock(std::size_t bytes);
