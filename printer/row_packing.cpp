// Packing of 8-bit page rows into 1-bit rows in which blank paper is a 1
// bit: the form of TSPL bitmaps and of the 1-bit page dumps.
#include "printer/row_packing.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Bit-reversed bytes: the zero-byte mask of eight pixels has pixel 0 in its
// lowest bit, the bitmap wants it in the highest.
struct BitReverseTable {
    unsigned char bytes[256];
    BitReverseTable()
    {
        for (int v = 0; v < 256; ++v) {
            unsigned char r = 0;
            for (int bit = 0; bit < 8; ++bit)
                r |= static_cast<unsigned char>(((v >> bit) & 1) << (7 - bit));
            bytes[v] = r;
        }
    }
};

// One output byte from count pixels, starting from the bits already in acc.
unsigned char packByte(const unsigned char* pixels, unsigned long count, unsigned char acc)
{
    for (unsigned long bit = 0; bit < count; ++bit)
        acc |= static_cast<unsigned char>((pixels[bit] == 0) << (7 - bit));
    return acc;
}

}  // namespace

void packRowBlankAsOne(const unsigned char* src, unsigned long width, unsigned char* out)
{
    static const BitReverseTable reverse;
    const unsigned long fullBytes = width / 8;
    unsigned long b = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; b + 2 <= fullBytes; b += 2) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * b));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(pixels, zero)));
        out[b] = reverse.bytes[mask & 0xFF];
        out[b + 1] = reverse.bytes[mask >> 8];
    }
#endif
    for (; b < fullBytes; ++b)
        out[b] = packByte(src + 8 * b, 8, 0);
    const unsigned long rest = width % 8;
    if (rest != 0)
        out[fullBytes] = packByte(src + 8 * fullBytes, rest, static_cast<unsigned char>(0xFF >> rest));
}
