// Image filters of the stencil chain. Every float step is rounded to single
// precision as it is performed, and double is used only for the Gaussian
// kernels and the blur accumulators: the printed stencil depends on each
// rounding.
#include "enhance/enhance_filters.h"

#include "workers/byte_vectors.h"
#include "workers/parallel.h"
#include "enhance/zq_math.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>


// Fallback threshold when the moment equations give no usable root.
static const int kNoRootThreshold = 128;

static unsigned char lowByte(int v)
{
    return static_cast<unsigned char>(v);
}

static unsigned char roundToByte(double acc)
{
    return lowByte(my_round(static_cast<float>(acc)));
}

ZQImage cvtGray(const ZQImage& src)
{
    ZQImage gray(src.width, src.height, ZQ_IMG_GRAY);
    const std::size_t count = src.pixelCount();
    if (src.color == ZQ_IMG_GRAY) {
        if (count > 0)
            std::memcpy(gray.data, src.data, count);
        return gray;
    }
    const bool blueFirst = src.color == ZQ_IMG_BGR || src.color == ZQ_IMG_BGRA;
    const unsigned char* pixel = src.data;
    for (std::size_t i = 0; i < count; ++i, pixel += src.channels) {
        const float b0 = pixel[0];
        const float b1 = pixel[1];
        const float b2 = pixel[2];
        const float grey = blueFirst ? 0.299f * b2 + (0.114f * b0 + 0.587f * b1)
                                     : 0.114f * b2 + (0.299f * b0 + 0.587f * b1);
        gray.data[i] = lowByte(my_round(grey));
    }
    return gray;
}

// How many of the first count bytes have each value. Each worker counts its
// band into four histograms of its own, so that runs of one value do not
// wait on one counter, and adds them to the total at the end; the counts are
// exact integers, whatever the order.
static std::vector<std::size_t> countLevels(const unsigned char* data, std::size_t count)
{
    std::vector<std::size_t> histogram(256, 0);
    std::mutex totalLock;
    forEachBand(count, count, [&](std::size_t begin, std::size_t end) {
        std::vector<std::size_t> h(4 * 256, 0);
        std::size_t i = begin;
        for (; i + 4 <= end; i += 4) {
            ++h[data[i]];
            ++h[256 + data[i + 1]];
            ++h[512 + data[i + 2]];
            ++h[768 + data[i + 3]];
        }
        for (; i < end; ++i)
            ++h[data[i]];
        std::lock_guard<std::mutex> hold(totalLock);
        for (int v = 0; v < 4 * 256; ++v)
            histogram[v % 256] += h[v];
    });
    return histogram;
}

int thresh_global_moments(const ZQImage& src)
{
    const std::size_t count = src.pixelCount();
    const std::vector<std::size_t> histogram = countLevels(src.data, count);

    float p[256];
    for (int k = 0; k < 256; ++k)
        p[k] = static_cast<float>(histogram[k]) / static_cast<float>(count);

    const float m0 = 1.0f;
    float m1 = 0.0f;
    float m2 = 0.0f;
    float m3 = 0.0f;
    for (int k = 0; k < 256; ++k) {
        m1 = static_cast<float>(k) * p[k] + m1;
        m2 = static_cast<float>(k * k) * p[k] + m2;
        m3 = static_cast<float>(k * k * k) * p[k] + m3;
    }

    const float cd = m0 * m2 + (-(m1 * m1));
    const float c0 = ((-m2) * m2 + m1 * m3) / cd;
    const float c1 = (m0 * (-m3) + m2 * m1) / cd;
    const float disc = static_cast<float>(static_cast<double>(c0) * -4.0 +
                                          static_cast<double>(c1 * c1));
    // A single grey level makes cd zero; the square-root iteration must never
    // see the NaN or infinity that follows.
    if (cd == 0.0f || !myIsFinite(c0) || !myIsFinite(c1) || !myIsFinite(disc))
        return kNoRootThreshold;
    if (disc < 0.0f)
        return kNoRootThreshold;

    const float s = my_sqrt(disc);
    const float z0 = 0.5f * (-c1 - s);
    const float z1 = 0.5f * (-c1 + s);
    const float p0 = (z1 - m1) / (z1 - z0);

    float cumulative = 0.0f;
    for (int level = 0; level < 256; ++level) {
        cumulative = p[level] + cumulative;
        if (cumulative > p0)
            return level;
    }
    return -1;
}

static unsigned char gammaEntry(int i, int knee, float gammaLow, float gammaHigh)
{
    const float k = static_cast<float>(knee);
    if (i < knee)
        return lowByte(myTrunc(my_pow(static_cast<float>(i) / k, gammaLow) * k));
    // Formed in 64 bits so that no knee overflows it.
    const std::int64_t upperWidth = 255 - std::int64_t{knee};
    // A knee at 255 leaves the upper segment the single point 255, which maps
    // to itself as every other knee does; the formula would divide 0 by 0.
    if (upperWidth == 0)
        return 255;
    const float w = static_cast<float>(upperWidth);
    return lowByte(myTrunc(my_pow((static_cast<float>(i) - k) / w, gammaHigh) * w + k));
}

void enh_piecewise_gamma(ZQImage& img, int knee, float gammaLow, float gammaHigh)
{
    unsigned char table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = gammaEntry(i, knee, gammaLow, gammaHigh);
    unsigned char* pixels = img.data;
    forEachBand(img.pixelCount(), img.pixelCount(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            pixels[i] = table[pixels[i]];
    });
}

// Kernel arrays hold 2 * (size / 2) + 1 taps, which is size itself for the
// odd sizes a Gaussian needs; other sizes then never write past the array.
static int tapCountOf(int size)
{
    return size < 0 ? 1 : size / 2 * 2 + 1;
}

static void normalise(double* kernel, int taps)
{
    double sum = 0.0;
    for (int i = 0; i < taps; ++i)
        sum += kernel[i];
    for (int i = 0; i < taps; ++i)
        kernel[i] /= sum;
}

void generateGaussianKernel1D(int size, double sigma, double* kernel)
{
    const int half = size / 2;
    const double scale = 1.0 / (static_cast<double>(my_sqrt(6.2831855f)) * sigma);
    for (int i = -half; i <= half; ++i) {
        const float exponent = static_cast<float>((-0.5 * (i * i)) / (sigma * sigma));
        kernel[i + half] = scale * static_cast<double>(my_exp(exponent));
    }
    normalise(kernel, 2 * half + 1);
}

// Pixel x of a row, with every sample position clamped into the row.
static unsigned char convolveClamped(const unsigned char* row, int x, int width,
                                     const double* kernel, int half)
{
    double acc = 0.0;
    for (int t = -half; t <= half; ++t)
        acc = static_cast<double>(row[myClamp(x + t, 0, width - 1)]) * kernel[t + half] + acc;
    return roundToByte(acc);
}

// Blur passes work on blocks of neighbouring pixels: the taps run in the
// outer loop and the pixels of the block in the inner one, so the compiler
// computes several pixels at once while each pixel still adds its taps in
// order. Full blocks have a fixed length, which lets -O2 vectorise them; the
// few pixels left at a row end take the same code one by one.
static const int kBlurBlock = 16;
// Kernels of up to this many taps run in blocks; longer ones pixel by pixel.
static const int kMaxBlockTaps = 64;

// Output pixels [0, Count) of a block; taps[t] points at the samples of tap
// t, aligned with the block's first pixel.
template <int Count>
static inline __attribute__((always_inline)) void accumulateBlock(const double* const* taps, int tapCount, const double* kernel,
                            unsigned char* out)
{
    double acc[Count];
    for (int i = 0; i < Count; ++i)
        acc[i] = 0.0;
    for (int t = 0; t < tapCount; ++t) {
        const double* samples = taps[t];
        const double tap = kernel[t];
#pragma GCC unroll 16
        for (int i = 0; i < Count; ++i)
            acc[i] = samples[i] * tap + acc[i];
    }
    for (int i = 0; i < Count; ++i)
        out[i] = roundToByte(acc[i]);
}

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

// Whether each of the kBlurBlock pixels starting at offset i reads only its
// own value through every tap.
static bool blockWindowsUniform(const unsigned char* const* bytes, int tapCount,
                                const unsigned char* centre, int i)
{
    static_assert(kBlurBlock == sizeof(ByteVector), "a block is one vector of bytes");
    // The outermost taps come first: on a photo they nearly always differ,
    // and the test then ends at once.
    const ByteVector own = loadBytes(centre + i);
    for (int t = 0; t < tapCount; ++t)
        if (!allLanesSet(lanesEqual(loadBytes(bytes[t] + i), own)))
            return false;
    return true;
}

// One span of blurred pixels. bytes[t] points at the samples of tap t as
// bytes, aligned with out[0]; doubleTaps() gives the same samples as
// doubles, and is called only once a block needs them, so a span of uniform
// windows never converts its samples.
template <typename DoubleTaps>
static void blurSpan(const unsigned char* const* bytes, int tapCount, const double* kernel,
                     const UniformWindowTable& uniform, unsigned char* out, int count,
                     DoubleTaps doubleTaps)
{
    // Without taps (a negative kernel size) every pixel takes the sum path.
    const unsigned char* centre = tapCount > 0 ? bytes[tapCount / 2] : nullptr;
    const double* const* samples = nullptr;
    const double* shifted[kMaxBlockTaps];
    auto shiftTo = [&](int i) {
        if (samples == nullptr)
            samples = doubleTaps();
        for (int t = 0; t < tapCount; ++t)
            shifted[t] = samples[t] + i;
        return shifted;
    };
    auto block = [&](int i) {
        if (centre == nullptr || !blockWindowsUniform(bytes, tapCount, centre, i)) {
            accumulateBlock<kBlurBlock>(shiftTo(i), tapCount, kernel, out + i);
        } else if (uniform.identity) {
            std::memcpy(out + i, centre + i, kBlurBlock);
        } else {
            for (int k = i; k < i + kBlurBlock; ++k)
                out[k] = uniform.out[centre[k]];
        }
    };
    if (count >= kBlurBlock && tapCount <= kMaxBlockTaps) {
        int done = 0;
        for (; done + kBlurBlock <= count; done += kBlurBlock)
            block(done);
        // The last pixels are the end of one more, overlapping block: every
        // pixel's value depends only on its own window, so the pixels done
        // twice come out the same.
        if (done < count)
            block(count - kBlurBlock);
        return;
    }
    const double* const* all = doubleTaps();
    std::vector<const double*> single(all, all + tapCount);
    for (int i = 0; i < count; ++i) {
        accumulateBlock<1>(single.data(), tapCount, kernel, out + i);
        for (const double*& p : single)
            ++p;
    }
}

// One pass along rows, with its scratch buffers.
class RowPass {
public:
    RowPass(const double* kernel, int half, std::size_t tapCount, const UniformWindowTable& uniform,
            int width)
        : kernel_(kernel), half_(half), uniform_(uniform), samples_(width), bytes_(tapCount),
          taps_(tapCount)
    {
    }

    // Interior pixels of a row read no clamped samples; only the few near
    // each end do.
    void run(const unsigned char* in, unsigned char* out, int width)
    {
        const int begin = myClamp(half_, 0, width);
        const int end = myClamp(width - half_, begin, width);
        if (end > begin) {
            for (int t = -half_; t <= half_; ++t)
                bytes_[t + half_] = in + (begin + t);
            blurSpan(bytes_.data(), static_cast<int>(bytes_.size()), kernel_, uniform_,
                     out + begin, end - begin, [&]() {
                         for (int x = 0; x < width; ++x)
                             samples_[x] = in[x];
                         for (int t = -half_; t <= half_; ++t)
                             taps_[t + half_] = samples_.data() + (begin + t);
                         return taps_.data();
                     });
        }
        for (int x = 0; x < begin; ++x)
            out[x] = convolveClamped(in, x, width, kernel_, half_);
        for (int x = end; x < width; ++x)
            out[x] = convolveClamped(in, x, width, kernel_, half_);
    }

private:
    const double* kernel_;
    int half_;
    const UniformWindowTable& uniform_;
    std::vector<double> samples_;
    std::vector<const unsigned char*> bytes_;
    std::vector<const double*> taps_;
};

// Source rows of a vertical pass, as bytes and, once a block needs them, as
// doubles. They are the rows of an image or, given a pass along rows, that
// pass's output, made row by row as the vertical pass reaches them: a
// separable blur then never holds its intermediate image. Each row is made
// once and kept while the taps of later output rows still reach it: the
// window of rows in use is never wider than the tap count, so row r can live
// in slot r modulo that count.
class ConvertedRows {
public:
    ConvertedRows(const unsigned char* image, int width, int slots, RowPass* along = nullptr)
        : image_(image), width_(width), slots_(slots), along_(along),
          values_(static_cast<std::size_t>(width) * slots), slotRow_(slots, -1),
          passed_(along ? static_cast<std::size_t>(width) * slots : 0), passedRow_(slots, -1)
    {
    }

    const double* row(int r)
    {
        const int slot = r % slots_;
        double* values = values_.data() + static_cast<std::size_t>(slot) * width_;
        if (slotRow_[slot] != r) {
            const unsigned char* in = bytes(r);
            for (int x = 0; x < width_; ++x)
                values[x] = in[x];
            slotRow_[slot] = r;
        }
        return values;
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
    std::vector<double> values_;
    std::vector<int> slotRow_;
    std::vector<unsigned char> passed_;
    std::vector<int> passedRow_;
};

// Row y of a vertical pass: clamping picks whole source rows, so every pixel
// of the row takes the same path.
static void convolveColumnsAt(ConvertedRows& rows, unsigned char* out, int width, int height, int y,
                              const double* kernel, int half, const UniformWindowTable& uniform,
                              std::vector<const unsigned char*>& bytes,
                              std::vector<const double*>& taps)
{
    for (int t = -half; t <= half; ++t)
        bytes[t + half] = rows.bytes(myClamp(y + t, 0, height - 1));
    blurSpan(bytes.data(), static_cast<int>(bytes.size()), kernel, uniform, out, width, [&]() {
        for (int t = -half; t <= half; ++t)
            taps[t + half] = rows.row(myClamp(y + t, 0, height - 1));
        return taps.data();
    });
}

// A new image of src's size and layout whose bytes from `from` on are
// src's. Passes that write bytes [0, from) themselves start from it, which
// saves copying what they overwrite.
static ZQImage copyOfTail(const ZQImage& src, std::size_t from)
{
    ZQImage result(src.width, src.height, src.color);
    const std::size_t total = src.byteCount();
    if (from < total)
        std::memcpy(result.data + from, src.data + from, total - from);
    return result;
}

// The blur passes of src: along rows, along columns, or both, the second
// taking the rows of the first as they are made.
static ZQImage convolvePasses(const ZQImage& src, const double* kernel, int size, bool alongRows,
                              bool alongColumns)
{
    if (src.pixelCount() == 0)
        return src;
    // Every pixel of the single-channel pass is written below.
    ZQImage result = copyOfTail(src, src.pixelCount());
    const int half = size / 2;
    const std::size_t tapCount = half < 0 ? 0 : 2 * half + 1;
    const int width = src.width;
    const int height = src.height;
    const UniformWindowTable uniform(kernel, static_cast<int>(tapCount));
    // Output rows depend only on the source, so bands of rows go to the
    // workers, each with scratch buffers of its own; rows along the edge of
    // a band are passed along by both workers whose taps reach them.
    forEachBand(height, src.pixelCount(), [&](std::size_t begin, std::size_t end) {
        RowPass rowPass(kernel, half, tapCount, uniform, width);
        if (!alongColumns) {
            for (std::size_t y = begin; y < end; ++y)
                rowPass.run(src.data + y * width, result.data + y * width, width);
            return;
        }
        std::vector<const double*> taps(tapCount);
        std::vector<const unsigned char*> bytes(tapCount);
        ConvertedRows rows(src.data, width, std::max<int>(static_cast<int>(tapCount), 1),
                           alongRows ? &rowPass : nullptr);
        for (std::size_t y = begin; y < end; ++y)
            convolveColumnsAt(rows, result.data + y * width, width, height, static_cast<int>(y),
                              kernel, half, uniform, bytes, taps);
    });
    return result;
}

ZQImage convolve1D(const ZQImage& src, const double* kernel, int size, bool horizontal)
{
    return convolvePasses(src, kernel, size, horizontal, !horizontal);
}

// Both passes of convolve1D, the rows rounded to bytes between them as
// always, without the intermediate image.
ZQImage enh_gaussian_filter_fast(const ZQImage& src, int size, double sigma)
{
    std::vector<double> kernel(tapCountOf(size));
    generateGaussianKernel1D(size, sigma, kernel.data());
    return convolvePasses(src, kernel.data(), size, true, true);
}

void generateGaussianKernel(int size, double sigmaX, double sigmaY, double* kernel)
{
    const int half = size / 2;
    const int taps = 2 * half + 1;
    const double scale = 1.0 / (6.283185307179586 * sigmaX * sigmaY);
    for (int i = -half; i <= half; ++i) {
        for (int j = -half; j <= half; ++j) {
            const float exponent = static_cast<float>((-(j * j)) / (2.0 * sigmaX * sigmaX) -
                                                      (i * i) / (2.0 * sigmaY * sigmaY));
            kernel[(i + half) * taps + (j + half)] = scale * static_cast<double>(my_exp(exponent));
        }
    }
    normalise(kernel, taps * taps);
}

ZQImage enh_gaussian_filter(const ZQImage& src, int size, double sigmaX, double sigmaY)
{
    ZQImage result(src.width, src.height, ZQ_IMG_GRAY);
    const int half = size / 2;
    const int taps = tapCountOf(size);
    std::vector<double> kernel(static_cast<std::size_t>(taps) * taps);
    generateGaussianKernel(size, sigmaX, sigmaY, kernel.data());
    for (int y = 0; y < src.height; ++y) {
        for (int x = 0; x < src.width; ++x) {
            double acc = 0.0;
            for (int k = -half; k <= half; ++k) {
                const std::size_t row = static_cast<std::size_t>(myClamp(y + k, 0, src.height - 1)) * src.width;
                for (int l = -half; l <= half; ++l) {
                    const int column = myClamp(x + l, 0, src.width - 1);
                    acc = static_cast<double>(src.data[row + column]) *
                              kernel[(k + half) * taps + (l + half)] + acc;
                }
            }
            result.data[static_cast<std::size_t>(y) * src.width + x] = roundToByte(acc);
        }
    }
    return result;
}

// Runs body(i) for i in [0, count), in runs of fixed length that -O2
// vectorises and then one by one for the rest. body must treat every i on its
// own.
template <typename Body>
static void forEachIndex(std::size_t count, Body body)
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

// The pass covers a's pixels but stops at the end of b's buffer, so a smaller
// b is never read past its end; bytes beyond keep a's values.
// Bytes [0, count) of (1 + amount) * a - amount * b into out, which may be
// b itself: each byte is read before it is written.
static void blendInto(const unsigned char* pa, const unsigned char* pb, float amount,
                      std::size_t count, unsigned char* out)
{
    const float weightA = 1.0f + amount;
    const float weightB = -amount;
    forEachBand(count, count, [=](std::size_t begin, std::size_t end) {
        forEachIndex(end - begin, [=](std::size_t i) {
            const std::size_t at = begin + i;
            const float v =
                static_cast<float>(pa[at]) * weightA + static_cast<float>(pb[at]) * weightB;
            out[at] = lowByte(myClamp(my_round(v), 0, 255));
        });
    });
}

ZQImage add_Weighted(const ZQImage& a, const ZQImage& b, float amount)
{
    const std::size_t count = std::min(a.pixelCount(), b.byteCount());
    ZQImage result = copyOfTail(a, count);
    blendInto(a.data, b.data, amount, count, result.data);
    return result;
}

ZQImage enh_unsharp_mask(const ZQImage& src, float amountPercent, int size)
{
    const float amount = amountPercent / 100.0f;
    // The blend goes into the blurred image, which has src's size and bytes
    // past the pixels: the result of add_Weighted without a third page.
    ZQImage blurred = enh_gaussian_filter_fast(src, size, 3.0);
    blendInto(src.data, blurred.data, amount, src.pixelCount(), blurred.data);
    return blurred;
}
