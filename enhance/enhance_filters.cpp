// Image filters of the stencil chain. Every float step is rounded to single
// precision as it is performed, and double is used only for the Gaussian
// kernels and the blur accumulators: the printed stencil depends on each
// rounding.
#include "enhance/enhance_filters.h"

#include "enhance/zq_math.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
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

int thresh_global_moments(const ZQImage& src)
{
    const std::size_t count = src.pixelCount();
    std::size_t histogram[256] = {};
    for (std::size_t i = 0; i < count; ++i)
        ++histogram[src.data[i]];

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
    const std::size_t count = img.pixelCount();
    for (std::size_t i = 0; i < count; ++i)
        img.data[i] = table[img.data[i]];
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

// Output pixels [0, Count) of a block; taps[t] points at the samples of tap
// t, aligned with the block's first pixel.
template <int Count>
static void accumulateBlock(const double* const* taps, int tapCount, const double* kernel,
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

static void accumulateSpan(const std::vector<const double*>& taps, const double* kernel,
                           unsigned char* out, int count)
{
    const int tapCount = static_cast<int>(taps.size());
    std::vector<const double*> shifted(taps);
    int done = 0;
    for (; done + kBlurBlock <= count; done += kBlurBlock) {
        accumulateBlock<kBlurBlock>(shifted.data(), tapCount, kernel, out + done);
        for (const double*& p : shifted)
            p += kBlurBlock;
    }
    for (; done < count; ++done) {
        accumulateBlock<1>(shifted.data(), tapCount, kernel, out + done);
        for (const double*& p : shifted)
            ++p;
    }
}

// Interior pixels of a row read no clamped samples; only the few near each
// end do.
static void convolveRow(const unsigned char* in, unsigned char* out, int width,
                        const double* kernel, int half, double* samples,
                        std::vector<const double*>& taps)
{
    const int begin = myClamp(half, 0, width);
    const int end = myClamp(width - half, begin, width);
    if (end > begin) {
        for (int x = 0; x < width; ++x)
            samples[x] = in[x];
        for (int t = -half; t <= half; ++t)
            taps[t + half] = samples + (begin + t);
        accumulateSpan(taps, kernel, out + begin, end - begin);
    }
    for (int x = 0; x < begin; ++x)
        out[x] = convolveClamped(in, x, width, kernel, half);
    for (int x = end; x < width; ++x)
        out[x] = convolveClamped(in, x, width, kernel, half);
}

// Source rows of a vertical pass as doubles. Each row is converted once and
// kept while the taps of later output rows still reach it: the window of
// rows in use is never wider than the tap count, so row r can live in slot
// r modulo that count.
class ConvertedRows {
public:
    ConvertedRows(const unsigned char* image, int width, int slots)
        : image_(image), width_(width), slots_(slots),
          values_(static_cast<std::size_t>(width) * slots), slotRow_(slots, -1)
    {
    }

    const double* row(int r)
    {
        const int slot = r % slots_;
        double* values = values_.data() + static_cast<std::size_t>(slot) * width_;
        if (slotRow_[slot] != r) {
            const unsigned char* in = image_ + static_cast<std::size_t>(r) * width_;
            for (int x = 0; x < width_; ++x)
                values[x] = in[x];
            slotRow_[slot] = r;
        }
        return values;
    }

private:
    const unsigned char* image_;
    int width_;
    int slots_;
    std::vector<double> values_;
    std::vector<int> slotRow_;
};

// Row y of a vertical pass: clamping picks whole source rows, so every pixel
// of the row takes the same path.
static void convolveColumnsAt(ConvertedRows& rows, unsigned char* out, int width, int height, int y,
                              const double* kernel, int half, std::vector<const double*>& taps)
{
    for (int t = -half; t <= half; ++t)
        taps[t + half] = rows.row(myClamp(y + t, 0, height - 1));
    accumulateSpan(taps, kernel, out, width);
}

ZQImage convolve1D(const ZQImage& src, const double* kernel, int size, bool horizontal)
{
    ZQImage result(src);
    if (src.pixelCount() == 0)
        return result;
    const int half = size / 2;
    const std::size_t tapCount = half < 0 ? 0 : 2 * half + 1;
    const int width = src.width;
    const int height = src.height;
    std::vector<const double*> taps(tapCount);
    if (horizontal) {
        std::vector<double> samples(width);
        for (int y = 0; y < height; ++y) {
            const std::size_t offset = static_cast<std::size_t>(y) * width;
            convolveRow(src.data + offset, result.data + offset, width, kernel, half,
                        samples.data(), taps);
        }
        return result;
    }
    ConvertedRows rows(src.data, width, std::max<int>(static_cast<int>(tapCount), 1));
    for (int y = 0; y < height; ++y)
        convolveColumnsAt(rows, result.data + static_cast<std::size_t>(y) * width, width, height,
                          y, kernel, half, taps);
    return result;
}

ZQImage enh_gaussian_filter_fast(const ZQImage& src, int size, double sigma)
{
    std::vector<double> kernel(tapCountOf(size));
    generateGaussianKernel1D(size, sigma, kernel.data());
    const ZQImage rows = convolve1D(src, kernel.data(), size, true);
    return convolve1D(rows, kernel.data(), size, false);
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
ZQImage add_Weighted(const ZQImage& a, const ZQImage& b, float amount)
{
    const float weightA = 1.0f + amount;
    const float weightB = -amount;
    ZQImage result(a);
    const unsigned char* pa = a.data;
    const unsigned char* pb = b.data;
    unsigned char* out = result.data;
    forEachIndex(std::min(a.pixelCount(), b.byteCount()), [=](std::size_t i) {
        const float v = static_cast<float>(pa[i]) * weightA + static_cast<float>(pb[i]) * weightB;
        out[i] = lowByte(myClamp(my_round(v), 0, 255));
    });
    return result;
}

ZQImage enh_unsharp_mask(const ZQImage& src, float amountPercent, int size)
{
    const float amount = amountPercent / 100.0f;
    const ZQImage blurred = enh_gaussian_filter_fast(src, size, 3.0);
    return add_Weighted(src, blurred, amount);
}
