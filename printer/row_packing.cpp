// Packing of 8-bit page rows into 1-bit rows in which blank paper is a 1
// bit: the form of TSPL bitmaps and of the 1-bit page dumps.
#include "printer/row_packing.h"

#include "workers/byte_vectors.h"

namespace {

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
    const unsigned long fullBytes = width / 8;
    unsigned long b = 0;
    for (; b + 2 <= fullBytes; b += 2)
        storeLaneBits(lanesEqual(loadBytes(src + 8 * b), ByteVector{}), out + b);
    // The last group of eight pixels, when there is an odd count of them.
    for (; b < fullBytes; ++b)
        out[b] = packByte(src + 8 * b, 8, 0);
    const unsigned long rest = width % 8;
    if (rest != 0)
        out[fullBytes] = packByte(src + 8 * fullBytes, rest, static_cast<unsigned char>(0xFF >> rest));
}
