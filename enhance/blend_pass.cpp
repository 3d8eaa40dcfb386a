// The weighted blend of the unsharp mask, (1 + amount) x a - amount x b
// rounded and clamped to a byte. On armhf this file is built twice, once for
// the baseline processor and once for NEON or AVX2 (workers/vector_build.h).
//
// Each pixel is defined in float. When both weights are whole numbers, as
// for the stencil chains (4 and -3), every float step is exact: the products
// and their sum are whole numbers far below 2^24, and rounding a whole
// number gives itself. The blend is then the same sum in 16-bit integer
// lanes, sixteen pixels at a time.
#include "enhance/blend_pass.h"

#include "enhance/zq_math.h"
#include "workers/byte_vectors.h"
#include "workers/parallel.h"
#include "workers/vector_build.h"

namespace {

typedef short SignedWordVector __attribute__((vector_size(16)));

// Pixel at of the blend, as defined.
inline unsigned char blendPixel(const unsigned char* pa, const unsigned char* pb, float weightA,
                                float weightB, std::size_t at)
{
    const float v = static_cast<float>(pa[at]) * weightA + static_cast<float>(pb[at]) * weightB;
    return static_cast<unsigned char>(myClamp(my_round(v), 0, 255));
}

// Runs body(i) for i in [0, count), in runs of fixed length that -O2
// vectorises and then one by one for the rest. body must treat every i on its
// own.
template <typename Body>
void forEachIndex(std::size_t count, Body body)
{
    const std::size_t run = 16;
    std::size_t i = 0;
    for (; i + run <= count; i += run) {
#pragma GCC ivdep
        for (std::size_t j = 0; j < run; ++j)
            body(i + j);
    }
    for (; i < count; ++i)
        body(i);
}

// Whether a weight is a whole number small enough for the integer lanes:
// with both weights at most 128 in size, a sum stays within 128 x 255 and
// a 16-bit lane.
bool wholeWeight(float w)
{
    return w >= -128.0f && w <= 128.0f && static_cast<float>(static_cast<int>(w)) == w;
}

// a x weightA + b x weightB in the even (or odd) byte lanes, clamped to
// 0 ... 255, in 16-bit lanes.
inline SignedWordVector blendLanes(SignedWordVector a, SignedWordVector b, short weightA,
                                   short weightB)
{
    const SignedWordVector sum = a * weightA + b * weightB;
    const SignedWordVector zero = {};
    const SignedWordVector top = zero + 255;
    const SignedWordVector atLeastZero = sum > zero ? sum : zero;
    return atLeastZero < top ? atLeastZero : top;
}

// Bytes [begin, end) with whole weights.
void blendWhole(const unsigned char* pa, const unsigned char* pb, float weightA, float weightB,
                std::size_t begin, std::size_t end, unsigned char* out)
{
    const short wa = static_cast<short>(weightA);
    const short wb = static_cast<short>(weightB);
    const WordVector lowByte = WordVector{} + 0xFF;
    std::size_t at = begin;
    for (; at + 16 <= end; at += 16) {
        const WordVector a = (WordVector)loadBytes(pa + at);
        const WordVector b = (WordVector)loadBytes(pb + at);
        const SignedWordVector even =
            blendLanes((SignedWordVector)(a & lowByte), (SignedWordVector)(b & lowByte), wa, wb);
        const SignedWordVector odd =
            blendLanes((SignedWordVector)(a >> 8), (SignedWordVector)(b >> 8), wa, wb);
        storeBytes(out + at, (ByteVector)((WordVector)even | ((WordVector)odd << 8)));
    }
    for (; at < end; ++at)
        out[at] = blendPixel(pa, pb, weightA, weightB, at);
}

} // namespace

namespace TAVEL_VECTOR_BUILD {

void blendInto(const unsigned char* pa, const unsigned char* pb, float amount, std::size_t count,
               unsigned char* out)
{
    const float weightA = 1.0f + amount;
    const float weightB = -amount;
    const bool whole = wholeWeight(weightA) && wholeWeight(weightB);
    forEachBand(count, count, [=](std::size_t begin, std::size_t end) {
        if (whole) {
            blendWhole(pa, pb, weightA, weightB, begin, end, out);
            return;
        }
        forEachIndex(end - begin, [=](std::size_t i) {
            out[begin + i] = blendPixel(pa, pb, weightA, weightB, begin + i);
        });
    });
}

} // namespace TAVEL_VECTOR_BUILD
