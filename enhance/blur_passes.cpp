// The separable blur passes of the stencil chain: along rows, along columns,
// or both at once. On armhf and amd64 this file is built twice, once for
// the baseline processor and once for NEON or AVX2 (workers/vector_build.h).
//
// Every output pixel is defined as the taps added in double, in order,
// rounded to float and then to a byte. Most pixels take a faster route to
// the same byte: the sum in 32-bit fixed point, sixteen pixels at a time.
// Its error is bounded, and where a pixel's sum lies so near a rounding
// boundary that the bound cannot tell which side the double sum is on, the
// block is summed in double as defined.
#include "enhance/blur_passes.h"

#include "enhance/zq_math.h"
#include "workers/byte_vectors.h"
#include "workers/parallel.h"
#include "workers/vector_build.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Scratch memory of this file's own. The standard containers would bring
// template functions that files share (the linker keeps one copy of each,
// from any object), and this file's copies in the AVX2 or NEON build must
// never be the ones the baseline build calls. As a class of this file's
// unnamed namespace, every function of it stays in this object.
template <typename T>
class Scratch {
public:
    explicit Scratch(std::size_t count = 0) { resize(count); }
    Scratch(std::size_t count, T value)
    {
        resize(count);
        for (std::size_t i = 0; i < count; ++i)
            data_[i] = value;
    }
    ~Scratch() { std::free(data_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Room for count elements; what was there is not kept when it grows.
    void resize(std::size_t count)
    {
        if (count > capacity_) {
            std::free(data_);
            data_ = static_cast<T*>(std::malloc(count * sizeof(T)));
            capacity_ = data_ != nullptr ? count : 0;
            if (data_ == nullptr)
                throw std::bad_alloc();
        }
        size_ = count;
    }
    T* data() { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

unsigned char roundToByte(double acc)
{
    return static_cast<unsigned char>(my_round(static_cast<float>(acc)));
}

// Pixels of a block, one per byte lane; full blocks have a fixed length.
const int kBlurBlock = 16;
static_assert(kBlurBlock == sizeof(ByteVector), "a block is one vector of bytes");
// Kernels of up to this many taps run in blocks; longer ones pixel by pixel.
const int kMaxBlockTaps = 64;

// Output pixels [0, Count) of a block, summed in double as defined; taps[t]
// points at the samples of tap t, aligned with the block's first pixel. The
// taps run in the outer loop, so each pixel still adds them in order.
template <int Count>
inline __attribute__((always_inline)) void accumulateBlock(const unsigned char* const* taps,
                                                           int tapCount, const double* kernel,
                                                           unsigned char* out)
{
    double acc[Count];
    for (int i = 0; i < Count; ++i)
        acc[i] = 0.0;
    for (int t = 0; t < tapCount; ++t) {
        const unsigned char* samples = taps[t];
        const double tap = kernel[t];
        for (int i = 0; i < Count; ++i)
            acc[i] = static_cast<double>(samples[i]) * tap + acc[i];
    }
    for (int i = 0; i < Count; ++i)
        out[i] = roundToByte(acc[i]);
}

// The kernel in fixed point, with 24 fraction bits: weight[t] is kernel[t]
// x 2^24 rounded to the nearest integer, off by at most half a unit.
//
// Why a fixed-point sum gives the defined byte: let T be the exact sum of
// sample x kernel over the taps. The fixed-point sum differs from T x 2^24
// by at most taps x 255 x 0.5 units. The double sum differs from T by far
// less than a unit (2^-24), and rounding it to float, then adding 0.5 in
// float, moves it by at most 2^-17 each time (values below 256), together
// 256 units. So when the fixed-point sum plus one half lies further than
// margin = taps x 128 + 512 units from every integer, both round to the
// same byte. The sum must not reach 2^32, and no sum reaches 256, which is
// why only kernels of non-negative taps whose weights, times 255, stay well
// below 2^32 take this route.
struct FixedPointKernel {
    unsigned weight[kMaxBlockTaps];
    unsigned margin;
    bool usable;

    FixedPointKernel(const double* kernel, int tapCount) : weight(), margin(0), usable(false)
    {
        if (tapCount < 1 || tapCount > kMaxBlockTaps)
            return;
        std::uint64_t total = 0;
        for (int t = 0; t < tapCount; ++t) {
            // Also false for a NaN.
            if (!(kernel[t] >= 0.0 && kernel[t] <= 1.0))
                return;
            weight[t] = static_cast<unsigned>(kernel[t] * 16777216.0 + 0.5);
            total += weight[t];
        }
        margin = static_cast<unsigned>(tapCount) * 128 + 512;  // below 2^23
        usable = total * 255 + (1u << 23) + margin < (std::uint64_t{1} << 32);
    }
};

// Output pixels [i, i + 16) in fixed point, when no pixel lies within the
// margin of a rounding boundary; false, with nothing written, otherwise.
// taps[t] + i points at the samples of tap t. Taps is the tap count when it
// is known when compiling (the chains' eleven), which lets the compiler
// unroll the taps and keep their pointers in registers; 0 when it is not.
// weights and margin are those of a FixedPointKernel.
// The lanes of sum[j] hold pixels j, j + 4, j + 8 and j + 12: a vector of
// sixteen bytes read as four 32-bit lanes holds pixel 4m + j in byte j of
// lane m, so masks and shifts spread the bytes without reordering them,
// and the results go back to their bytes the same way.
template <int Taps>
inline __attribute__((always_inline)) bool fixedPointBlock(const unsigned char* const* taps,
                                                           int tapCount, const unsigned* weights,
                                                           unsigned margin, int i,
                                                           unsigned char* out)
{
    const int count = Taps > 0 ? Taps : tapCount;
    const QuadVector lowByte = QuadVector{} + 0xFFu;
    QuadVector sum[4] = {};
#pragma GCC unroll 16
    for (int t = 0; t < count; ++t) {
        const QuadVector samples = (QuadVector)loadBytes(taps[t] + i);
        const unsigned w = weights[t];
        sum[0] += (samples & lowByte) * w;
        sum[1] += ((samples >> 8) & lowByte) * w;
        sum[2] += ((samples >> 16) & lowByte) * w;
        sum[3] += (samples >> 24) * w;
    }
    // A fraction f is unsure when f < margin or f > 2^24 - 1 - margin, that
    // is when f - margin, taken modulo 2^24, exceeds 2^24 - 1 - 2 margin.
    const QuadVector fractionMask = QuadVector{} + 0xFFFFFFu;
    const QuadVector sureUpTo = QuadVector{} + (0xFFFFFFu - 2 * margin);
    QuadVector unsure = {};
    QuadVector bytes = {};
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
        const QuadVector rounded = sum[j] + (1u << 23);
        unsure |= (QuadVector)(((rounded - margin) & fractionMask) > sureUpTo);
        bytes |= (rounded >> 24) << (8 * j);
    }
    const OctetVector halves = (OctetVector)unsure;
    if ((halves[0] | halves[1]) != 0)
        return false;
    storeBytes(out + i, (ByteVector)bytes);
    return true;
}

// The tap count of the chains' blur.
const int kChainTaps = 11;

// The blur of a window whose samples all have one value v depends on v
// alone: it is worked out once per value, with the taps added in the same
// order as everywhere else. Text and blank pages are mostly such windows.
struct UniformWindowTable {
    unsigned char out[256];
    bool identity;  // out[v] == v for every v

    UniformWindowTable(const double* kernel, int tapCount) : identity(true)
    {
        for (int v = 0; v < 256; ++v) {
            double acc = 0.0;
            for (int t = 0; t < tapCount; ++t)
                acc = static_cast<double>(v) * kernel[t] + acc;
            out[v] = roundToByte(acc);
            identity = identity && out[v] == v;
        }
    }
};

// How a pass blurs: the kernel as defined, in fixed point, and its blur of
// uniform windows.
struct BlurKernel {
    const double* taps;
    int tapCount;
    FixedPointKernel fixedPoint;
    UniformWindowTable uniform;

    BlurKernel(const double* kernel, int count)
        : taps(kernel), tapCount(count), fixedPoint(kernel, count), uniform(kernel, count)
    {
    }
};

// Whether each of the kBlurBlock pixels starting at offset i reads only its
// own value through every tap.
bool blockWindowsUniform(const unsigned char* const* bytes, int tapCount,
                         const unsigned char* centre, int i)
{
    // The outermost taps come first: on a photo they nearly always differ,
    // and the test then ends at once.
    const ByteVector own = loadBytes(centre + i);
    for (int t = 0; t < tapCount; ++t)
        if (!allLanesSet(lanesEqual(loadBytes(bytes[t] + i), own)))
            return false;
    return true;
}

// Blocks of a span of at least kBlurBlock pixels, with Taps taps (0: the
// kernel's count, at most kMaxBlockTaps). The tap pointers and the kernel
// are copied into locals first: a store of output bytes may alias anything
// reached through a pointer, so values read through one would be read
// again for every block.
template <int Taps>
void blurBlocks(const unsigned char* const* bytes, const BlurKernel& kernel, unsigned char* out,
                int count)
{
    const int tapCount = Taps > 0 ? Taps : kernel.tapCount;
    const unsigned char* taps[Taps > 0 ? Taps : kMaxBlockTaps];
    unsigned weights[Taps > 0 ? Taps : kMaxBlockTaps];
    for (int t = 0; t < tapCount; ++t) {
        taps[t] = bytes[t];
        weights[t] = kernel.fixedPoint.weight[t];
    }
    const bool fixedPoint = kernel.fixedPoint.usable;
    const unsigned margin = kernel.fixedPoint.margin;
    const unsigned char* centre = taps[tapCount / 2];
    auto block = [&](int i) {
        if (blockWindowsUniform(taps, tapCount, centre, i)) {
            if (kernel.uniform.identity) {
                std::memcpy(out + i, centre + i, kBlurBlock);
            } else {
                for (int k = i; k < i + kBlurBlock; ++k)
                    out[k] = kernel.uniform.out[centre[k]];
            }
            return;
        }
        if (fixedPoint && fixedPointBlock<Taps>(taps, tapCount, weights, margin, i, out))
            return;
        const unsigned char* shifted[Taps > 0 ? Taps : kMaxBlockTaps];
        for (int t = 0; t < tapCount; ++t)
            shifted[t] = taps[t] + i;
        accumulateBlock<kBlurBlock>(shifted, tapCount, kernel.taps, out + i);
    };
    int done = 0;
    for (; done + kBlurBlock <= count; done += kBlurBlock)
        block(done);
    // The last pixels are the end of one more, overlapping block: every
    // pixel's value depends only on its own window, so the pixels done
    // twice come out the same.
    if (done < count)
        block(count - kBlurBlock);
}

// One span of blurred pixels. bytes[t] points at the samples of tap t,
// aligned with out[0].
void blurSpan(const unsigned char* const* bytes, const BlurKernel& kernel, unsigned char* out,
              int count)
{
    const int tapCount = kernel.tapCount;
    if (count >= kBlurBlock && tapCount > 0 && tapCount <= kMaxBlockTaps) {
        if (tapCount == kChainTaps)
            blurBlocks<kChainTaps>(bytes, kernel, out, count);
        else
            blurBlocks<0>(bytes, kernel, out, count);
        return;
    }
    // Narrow spans, and kernels without taps (a negative size) or with very
    // many, pixel by pixel.
    const std::size_t taps = tapCount > 0 ? static_cast<std::size_t>(tapCount) : 0;
    Scratch<const unsigned char*> single(taps);
    for (std::size_t t = 0; t < taps; ++t)
        single[t] = bytes[t];
    for (int i = 0; i < count; ++i) {
        accumulateBlock<1>(single.data(), tapCount, kernel.taps, out + i);
        for (std::size_t t = 0; t < taps; ++t)
            ++single[t];
    }
}

// One pass along rows, with its scratch buffers.
class RowPass {
public:
    RowPass(const BlurKernel& kernel, int half)
        : kernel_(kernel), half_(std::max(half, 0)),
          bytes_(kernel.tapCount > 0 ? static_cast<std::size_t>(kernel.tapCount) : 0)
    {
    }

    // The row goes through a copy with half pixels more at each end, copies
    // of the end pixels: the samples that clamping would pick. Every pixel
    // of the row then reads its taps from one buffer without a test.
    void run(const unsigned char* in, unsigned char* out, int width)
    {
        padded_.resize(static_cast<std::size_t>(width) + 2 * half_);
        unsigned char* padded = padded_.data();
        std::memset(padded, in[0], static_cast<std::size_t>(half_));
        std::memcpy(padded + half_, in, static_cast<std::size_t>(width));
        std::memset(padded + half_ + width, in[width - 1], static_cast<std::size_t>(half_));
        for (int t = 0; t < kernel_.tapCount; ++t)
            bytes_[t] = padded_.data() + t;
        blurSpan(bytes_.data(), kernel_, out, width);
    }

private:
    const BlurKernel& kernel_;
    int half_;
    Scratch<const unsigned char*> bytes_;
    Scratch<unsigned char> padded_;
};

// Source rows of a vertical pass: the rows of an image or, given a pass
// along rows, that pass's output, made row by row as the vertical pass
// reaches them: a separable blur then never holds its intermediate image.
// Each row is made once and kept while the taps of later output rows still
// reach it: the window of rows in use is never wider than the tap count, so
// row r can live in slot r modulo that count.
class SourceRows {
public:
    SourceRows(const unsigned char* image, int width, int slots, RowPass* along)
        : image_(image), width_(width), slots_(slots), along_(along),
          passed_(along ? static_cast<std::size_t>(width) * slots : 0), passedRow_(slots, -1)
    {
    }

    const unsigned char* bytes(int r)
    {
        const unsigned char* source = image_ + static_cast<std::size_t>(r) * width_;
        if (along_ == nullptr)
            return source;
        const int slot = r % slots_;
        unsigned char* passed = passed_.data() + static_cast<std::size_t>(slot) * width_;
        if (passedRow_[slot] != r) {
            along_->run(source, passed, width_);
            passedRow_[slot] = r;
        }
        return passed;
    }

private:
    const unsigned char* image_;
    int width_;
    int slots_;
    RowPass* along_;
    Scratch<unsigned char> passed_;
    Scratch<int> passedRow_;
};

} // namespace

namespace TAVEL_VECTOR_BUILD {

void blurPasses(const unsigned char* src, int width, int height, const double* kernel, int size,
                bool alongRows, bool alongColumns, unsigned char* out)
{
    const int half = size / 2;
    const int tapCount = half < 0 ? 0 : 2 * half + 1;
    const BlurKernel blur(kernel, tapCount);
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    // Output rows depend only on the source, so bands of rows go to the
    // workers, each with scratch buffers of its own; rows along the edge of
    // a band are passed along by both workers whose taps reach them.
    forEachBand(height, pixels, [&](std::size_t begin, std::size_t end) {
        RowPass rowPass(blur, half);
        if (!alongColumns) {
            for (std::size_t y = begin; y < end; ++y)
                rowPass.run(src + y * width, out + y * width, width);
            return;
        }
        Scratch<const unsigned char*> bytes(static_cast<std::size_t>(tapCount));
        SourceRows rows(src, width, std::max(tapCount, 1), alongRows ? &rowPass : nullptr);
        for (std::size_t y = begin; y < end; ++y) {
            // Clamping picks whole source rows, so every pixel of the row
            // takes the same path.
            for (int t = -half; t <= half; ++t)
                bytes[t + half] = rows.bytes(myClamp(static_cast<int>(y) + t, 0, height - 1));
            blurSpan(bytes.data(), blur, out + y * width, width);
        }
    });
}

} // namespace TAVEL_VECTOR_BUILD
