// Image filters of the stencil chain. Every float step is rounded to single
// precision as it is performed, and double is used only for the Gaussian
// kernels and the blur accumulators: the printed stencil depends on each
// rounding.
#include "enhance/enhance_filters.h"

#include "enhance/blend_pass.h"
#include "enhance/blur_passes.h"
#include "workers/parallel.h"
#include "workers/vector_build.h"
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
        // One base pointer per histogram saves an addition per byte.
        std::size_t* const h0 = h.data();
        std::size_t* const h1 = h0 + 256;
        std::size_t* const h2 = h0 + 512;
        std::size_t* const h3 = h0 + 768;
        std::size_t i = begin;
        for (; i + 8 <= end; i += 8) {
            ++h0[data[i]];
            ++h1[data[i + 1]];
            ++h2[data[i + 2]];
            ++h3[data[i + 3]];
            ++h0[data[i + 4]];
            ++h1[data[i + 5]];
            ++h2[data[i + 6]];
            ++h3[data[i + 7]];
        }
        for (; i < end; ++i)
            ++h0[data[i]];
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
    unsigned char* const image = img.data;
    const unsigned char* const mapping = table;
    forEachBand(img.pixelCount(), img.pixelCount(), [&](std::size_t begin, std::size_t end) {
        // Both pointers are copied into locals: reached through the capture,
        // they would be loaded again after every byte stored, which might
        // change them as far as the compiler knows.
        unsigned char* const pixels = image;
        const unsigned char* const map = mapping;
        std::size_t i = begin;
        // Four bytes a round, read before any is written.
        for (; i + 4 <= end; i += 4) {
            const unsigned char a = pixels[i];
            const unsigned char b = pixels[i + 1];
            const unsigned char c = pixels[i + 2];
            const unsigned char d = pixels[i + 3];
            pixels[i] = map[a];
            pixels[i + 1] = map[b];
            pixels[i + 2] = map[c];
            pixels[i + 3] = map[d];
        }
        for (; i < end; ++i)
            pixels[i] = map[pixels[i]];
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
#ifdef TAVEL_HAS_EXTENDED_BUILD
    if (extendedBuildSelected()) {
        extended_build::blurPasses(src.data, src.width, src.height, kernel, size, alongRows,
                               alongColumns, result.data);
        return result;
    }
#endif
    baseline_build::blurPasses(src.data, src.width, src.height, kernel, size, alongRows,
                               alongColumns, result.data);
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

// The pass covers a's pixels but stops at the end of b's buffer, so a smaller
// b is never read past its end; bytes beyond keep a's values.
static void blendInto(const unsigned char* pa, const unsigned char* pb, float amount,
                      std::size_t count, unsigned char* out)
{
#ifdef TAVEL_HAS_EXTENDED_BUILD
    if (extendedBuildSelected()) {
        extended_build::blendInto(pa, pb, amount, count, out);
        return;
    }
#endif
    baseline_build::blendInto(pa, pb, amount, count, out);
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
