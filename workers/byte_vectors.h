// Sixteen bytes at a time, written once for every processor: GCC's vector
// types, which compile to SSE2 on amd64, to NEON on arm64, and to plain
// word operations where the processor has no vector unit (armhf without
// NEON). The image passes of a page share these few operations.
//
// The functions are static: each file that uses them gets its own copy, so a
// file built a second time for NEON or AVX2 (workers/vector_build.h) never
// lends those copies to code that must run without that unit.
#ifndef TAVEL_WORKERS_BYTE_VECTORS_H
#define TAVEL_WORKERS_BYTE_VECTORS_H

#include <cstring>

typedef unsigned char ByteVector __attribute__((vector_size(16)));
typedef signed char SignedByteVector __attribute__((vector_size(16)));
typedef unsigned short WordVector __attribute__((vector_size(16)));
typedef unsigned int QuadVector __attribute__((vector_size(16)));
typedef unsigned long long OctetVector __attribute__((vector_size(16)));

// Bit masks and lane order below assume that byte lane 0 is the lowest byte
// of every wider lane, as on all the processors the filter is built for.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte lanes need a little-endian processor");

// Loads and stores of sixteen bytes at any address.
static inline ByteVector loadBytes(const unsigned char* from)
{
    ByteVector v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

static inline void storeBytes(unsigned char* to, ByteVector v) { std::memcpy(to, &v, sizeof v); }

static inline ByteVector splatBytes(unsigned char value)
{
    return ByteVector{} + value;
}

// A comparison gives 0xFF in the lanes where it holds, 0 elsewhere.
static inline ByteVector lanesEqual(ByteVector a, ByteVector b) { return (ByteVector)(a == b); }

static inline ByteVector lanewiseMin(ByteVector a, ByteVector b) { return a < b ? a : b; }
static inline ByteVector lanewiseMax(ByteVector a, ByteVector b) { return a > b ? a : b; }

// a + b and a - b held in 0 ... 255.
static inline ByteVector addSaturated(ByteVector a, ByteVector b) { return lanewiseMin(a, ~b) + b; }
static inline ByteVector subtractSaturated(ByteVector a, ByteVector b) { return lanewiseMax(a, b) - b; }

// Whether every lane of a comparison's mask holds.
static inline bool allLanesSet(ByteVector mask)
{
    const OctetVector halves = (OctetVector)mask;
    return (halves[0] & halves[1]) == ~0ULL;
}

// The sixteen lanes of a comparison's mask as two bytes of bits, lane 0 in
// the most significant bit of out[0]: the bit order of 1-bit rows. Each
// lane keeps its own bit; a multiplication by 0x0101010101010101 then adds
// the eight bytes of each half into its top byte (the bits are disjoint, so
// no sum carries).
static inline void storeLaneBits(ByteVector mask, unsigned char* out)
{
    const ByteVector bitOfLane = {0x80, 0x40, 0x20, 0x10, 8, 4, 2, 1, 0x80, 0x40, 0x20, 0x10, 8, 4, 2, 1};
    const OctetVector bits = (OctetVector)(mask & bitOfLane);
    const unsigned long long everyByte = 0x0101010101010101ULL;
    out[0] = static_cast<unsigned char>((bits[0] * everyByte) >> 56);
    out[1] = static_cast<unsigned char>((bits[1] * everyByte) >> 56);
}

#endif
