// Enhancement filters: grey conversion, moment threshold, gamma tables,
// Gaussian kernels and blurs, weighted blend and unsharp mask.
#include "enhance/enhance_filters.h"
#include "worker_count.h"
#include "enhance/zq_math.h"
#include "workers/vector_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

ZQImage grayImage(int width, int height, const std::vector<unsigned char>& pixels)
{
    return ZQImage(width, height, ZQ_IMG_GRAY, pixels.data());
}

ZQImage uniformImage(int width, int height, unsigned char level)
{
    return grayImage(width, height, std::vector<unsigned char>(static_cast<std::size_t>(width) * height, level));
}

std::vector<unsigned char> bytesOf(const ZQImage& image)
{
    return std::vector<unsigned char>(image.data, image.data + image.byteCount());
}

TEST(EnhanceCvtGray, WeightsFollowTheByteOrder)
{
    const struct {
        int color;
        std::vector<unsigned char> pixel;
        int grey;
    } cases[] = {
        {ZQ_IMG_BGR, {255, 0, 0}, 29},       {ZQ_IMG_RGB, {255, 0, 0}, 76},
        {ZQ_IMG_BGR, {0, 0, 255}, 76},       {ZQ_IMG_RGB, {0, 0, 255}, 29},
        {ZQ_IMG_BGR, {0, 255, 0}, 150},      {ZQ_IMG_BGRA, {255, 0, 0, 200}, 29},
        {7, {255, 0, 0, 200}, 76},           {ZQ_IMG_RGB, {255, 255, 255}, 255},
    };
    for (const auto& c : cases) {
        // Two pixels, so that a wrong stride shows in the second.
        std::vector<unsigned char> pixels = c.pixel;
        pixels.insert(pixels.end(), c.pixel.begin(), c.pixel.end());
        const ZQImage src(2, 1, static_cast<ZQ_IMG_COLOR>(c.color), pixels.data());
        const ZQImage gray = cvtGray(src);
        EXPECT_EQ(gray.color, ZQ_IMG_GRAY);
        EXPECT_EQ(gray.data[0], c.grey) << "colour " << c.color;
        EXPECT_EQ(gray.data[1], c.grey) << "colour " << c.color;
    }
}

TEST(EnhanceCvtGray, GreyInputIsCopiedExactly)
{
    const std::vector<unsigned char> pixels = {0, 1, 127, 128, 254, 255};
    EXPECT_EQ(bytesOf(cvtGray(grayImage(3, 2, pixels))), pixels);
}

// Images made of a few grey levels; share of each level in quarters.
ZQImage levelsImage(const std::vector<std::pair<unsigned char, int>>& levels)
{
    std::vector<unsigned char> pixels;
    for (const auto& level : levels)
        pixels.insert(pixels.end(), level.second, level.first);
    return grayImage(static_cast<int>(pixels.size()), 1, pixels);
}

TEST(EnhanceThreshold, MomentPreservingLevel)
{
    // The expected levels come from Tsai's equations solved exactly: the
    // share p0 below the threshold is 0.4255, 0.4875 and 0.7253, each well
    // inside a step of the cumulative histogram. Half 0 and half 255 gives
    // p0 = 0.5 exactly, which level 0 does not exceed.
    const struct {
        std::vector<std::pair<unsigned char, int>> levels;
        int threshold;
    } cases[] = {
        {{{0, 1}, {100, 1}, {255, 2}}, 100},
        {{{10, 3}, {50, 1}, {200, 4}}, 50},
        {{{20, 1}, {60, 2}, {230, 1}}, 60},
        {{{0, 2}, {255, 2}}, 255},
    };
    for (const auto& c : cases)
        EXPECT_EQ(thresh_global_moments(levelsImage(c.levels)), c.threshold);
}

// One grey level leaves the moment equations without a solution (0 / 0 or
// x / 0); the mid-grey fallback keeps the diffusion at the page's own tone.
TEST(EnhanceThreshold, SingleGreyLevelFallsBackToMidGrey)
{
    for (int level : {0, 1, 64, 128, 200, 255})
        EXPECT_EQ(thresh_global_moments(uniformImage(5, 3, static_cast<unsigned char>(level))), 128)
            << "level " << level;
}

std::vector<int> gammaTable(int knee, float gammaLow, float gammaHigh)
{
    std::vector<unsigned char> ramp(256);
    for (int i = 0; i < 256; ++i)
        ramp[i] = static_cast<unsigned char>(i);
    ZQImage image = grayImage(16, 16, ramp);
    enh_piecewise_gamma(image, knee, gammaLow, gammaHigh);
    return std::vector<int>(image.data, image.data + 256);
}

TEST(EnhancePiecewiseGamma, TablesOfBothStencilCurves)
{
    const struct {
        int knee;
        float low, high;
        std::vector<std::pair<int, int>> entries;
    } cases[] = {
        {64, 0.85f, 0.7f,
         {{0, 0}, {1, 1}, {16, 19}, {32, 35}, {63, 63}, {64, 64}, {65, 68}, {100, 123}, {128, 152},
          {192, 208}, {254, 254}, {255, 255}}},
        {128, 0.5f, 1.5f,
         {{0, 0}, {1, 11}, {16, 45}, {32, 64}, {64, 90}, {127, 127}, {128, 128}, {129, 128},
          {192, 173}, {254, 253}, {255, 255}}},
        {-1, 0.5f, 1.5f, {{1, 0}, {128, 90}, {254, 253}, {255, 255}}},
        {0, 0.5f, 1.5f, {{1, 0}, {128, 90}, {254, 253}, {255, 255}}},
    };
    for (const auto& c : cases) {
        const std::vector<int> table = gammaTable(c.knee, c.low, c.high);
        for (const auto& entry : c.entries)
            EXPECT_EQ(table[entry.first], entry.second) << "knee " << c.knee << ", entry " << entry.first;
    }
}

// Every knee maps itself and 255 to themselves; a knee of 255 included, where
// the upper segment has no width.
TEST(EnhancePiecewiseGamma, KneeAndTopAreFixedPointsForEveryKnee)
{
    for (int knee = 0; knee <= 255; ++knee) {
        const std::vector<int> table = gammaTable(knee, 0.5f, 1.5f);
        EXPECT_EQ(table[knee], knee) << "knee " << knee;
        EXPECT_EQ(table[255], 255) << "knee " << knee;
    }
    EXPECT_EQ(gammaTable(255, 0.5f, 1.5f)[254], 254);
}

TEST(EnhanceGaussianKernel, ElevenTapsOfSigmaThree)
{
    const double expected[] = {0.035483, 0.058501, 0.086310, 0.113945, 0.134610, 0.142300};
    double kernel[11];
    generateGaussianKernel1D(11, 3.0, kernel);
    double sum = 0.0;
    for (int i = 0; i < 11; ++i) {
        EXPECT_NEAR(kernel[i], expected[i < 6 ? i : 10 - i], 5e-7) << "tap " << i;
        EXPECT_EQ(kernel[i], kernel[10 - i]) << "tap " << i;
        sum += kernel[i];
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
}

TEST(EnhanceGaussianKernel, SigmaXActsAlongRows)
{
    // exp(-j^2 / 2 - i^2 / 8) for row offset i and column offset j, normalised.
    double kernel[9];
    generateGaussianKernel(3, 1.0, 2.0, kernel);
    const double expected[9] = {0.087474, 0.144220, 0.087474, 0.099121, 0.163423,
                                0.099121, 0.087474, 0.144220, 0.087474};
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(kernel[i], expected[i], 1e-6) << "entry " << i;
}

// The plain blur pass, one pixel at a time with every sample clamped, to
// hold the optimised pass to.
ZQImage referenceConvolve1D(const ZQImage& src, const double* kernel, int size, bool horizontal)
{
    ZQImage result(src);
    const int half = size / 2;
    for (int y = 0; y < src.height; ++y) {
        for (int x = 0; x < src.width; ++x) {
            double acc = 0.0;
            for (int t = -half; t <= half; ++t) {
                const int sx = horizontal ? myClamp(x + t, 0, src.width - 1) : x;
                const int sy = horizontal ? y : myClamp(y + t, 0, src.height - 1);
                acc = static_cast<double>(src.data[sy * src.width + sx]) * kernel[t + half] + acc;
            }
            result.data[y * src.width + x] = static_cast<unsigned char>(my_round(static_cast<float>(acc)));
        }
    }
    return result;
}

// Hand-worked from the eleven taps: 255 times each tap, rounded, and at a
// clamped edge 255 times the sum of the taps that reach past it.
TEST(EnhanceBlurPass, ImpulseAndClampedEdgeByHand)
{
    double kernel[11];
    generateGaussianKernel1D(11, 3.0, kernel);
    const std::vector<unsigned char> spread = {9, 15, 22, 29, 34, 36, 34, 29, 22, 15, 9};

    std::vector<unsigned char> impulse(41, 0);
    impulse[20] = 255;
    std::vector<unsigned char> expected(41, 0);
    std::copy(spread.begin(), spread.end(), expected.begin() + 15);
    for (bool horizontal : {true, false}) {
        const ZQImage src = horizontal ? grayImage(41, 1, impulse) : grayImage(1, 41, impulse);
        EXPECT_EQ(bytesOf(convolve1D(src, kernel, 11, horizontal)), expected);
        EXPECT_EQ(bytesOf(referenceConvolve1D(src, kernel, 11, horizontal)), expected);
    }

    const std::vector<unsigned char> edge = {0, 0, 255};
    const std::vector<unsigned char> blurredEdge = {75, 109, 146};
    EXPECT_EQ(bytesOf(convolve1D(grayImage(3, 1, edge), kernel, 11, true)), blurredEdge);
    EXPECT_EQ(bytesOf(convolve1D(grayImage(1, 3, edge), kernel, 11, false)), blurredEdge);
    EXPECT_EQ(bytesOf(referenceConvolve1D(grayImage(3, 1, edge), kernel, 11, true)), blurredEdge);
}

// Runs the baseline build of the passes for as long as it lives, also where
// the processor would take the extended build (NEON on armhf, AVX2 on amd64).
class BaselineBuildChoice {
public:
    explicit BaselineBuildChoice(bool baseline) { allowExtendedBuild(!baseline); }
    ~BaselineBuildChoice() { allowExtendedBuild(true); }
    BaselineBuildChoice(const BaselineBuildChoice&) = delete;
    BaselineBuildChoice& operator=(const BaselineBuildChoice&) = delete;
};

// Most blocks are summed in fixed point and only those near a rounding
// boundary as defined. Kernels of tenths put many exact sums on a boundary
// (a + 2b + 7c + 5 a multiple of 10 for {0.1, 0.2, 0.7}), where the fixed-
// point weights, rounded up or down from the double ones, land on the
// other side unless the block falls back; the Gaussians meet the boundary
// by chance.
TEST(EnhanceBlurPass, MatchesThePlainPassBitForBit)
{
    std::mt19937 random(20240607);
    const int sizes[][2] = {{1, 1}, {1, 9},  {9, 1},   {3, 5},   {11, 11}, {13, 7},
                            {37, 23}, {61, 17}, {127, 5}, {5, 131}, {257, 3}, {120, 90}};
    // Gaussians (sigma > 0) and kernels given tap by tap (sigma 0).
    struct Kernel {
        double sigma;
        std::vector<double> taps;
    };
    std::vector<Kernel> kernels = {{0.0, {0.1, 0.2, 0.7}},
                                   {0.0, {0.7, 0.3, 0.0}},
                                   {0.0, {0.3, 0.1, 0.2, 0.1, 0.3}}};
    for (const auto& g : {std::make_pair(11, 3.0), std::make_pair(3, 0.8), std::make_pair(1, 1.0),
                          std::make_pair(21, 5.0)}) {
        kernels.push_back({g.second, std::vector<double>(g.first)});
        generateGaussianKernel1D(g.first, g.second, kernels.back().taps.data());
    }
    for (bool baseline : {false, true}) {
        const BaselineBuildChoice build(baseline);
        for (const Kernel& k : kernels) {
            const int taps = static_cast<int>(k.taps.size());
            for (const auto& size : sizes) {
                std::vector<unsigned char> pixels(static_cast<std::size_t>(size[0]) * size[1]);
                for (unsigned char& p : pixels)
                    p = static_cast<unsigned char>(random());
                const ZQImage src = grayImage(size[0], size[1], pixels);
                for (bool horizontal : {true, false})
                    EXPECT_EQ(bytesOf(convolve1D(src, k.taps.data(), taps, horizontal)),
                              bytesOf(referenceConvolve1D(src, k.taps.data(), taps, horizontal)))
                        << size[0] << " x " << size[1] << ", " << taps << " taps, horizontal "
                        << horizontal << ", baseline build " << baseline;
                if (k.sigma == 0.0)
                    continue;
                const ZQImage rows = referenceConvolve1D(src, k.taps.data(), taps, true);
                EXPECT_EQ(bytesOf(enh_gaussian_filter_fast(src, taps, k.sigma)),
                          bytesOf(referenceConvolve1D(rows, k.taps.data(), taps, false)))
                    << size[0] << " x " << size[1] << ", " << taps << " taps, baseline build "
                    << baseline;
            }
        }
    }
}

// Flat background with flat boxes of other levels and a few lone dots: most
// blur windows see one value, and the rest straddle an edge.
std::vector<unsigned char> flatAreasPage(int width, int height, std::mt19937& random)
{
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height,
                                      static_cast<unsigned char>(random()));
    for (int box = 0; box < 6; ++box) {
        const int x0 = static_cast<int>(random() % width);
        const int y0 = static_cast<int>(random() % height);
        const int x1 = std::min(width, x0 + 1 + static_cast<int>(random() % 40));
        const int y1 = std::min(height, y0 + 1 + static_cast<int>(random() % 40));
        const unsigned char level = static_cast<unsigned char>(random());
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                pixels[static_cast<std::size_t>(y) * width + x] = level;
    }
    for (int dot = 0; dot < 5; ++dot)
        pixels[random() % pixels.size()] = static_cast<unsigned char>(random());
    return pixels;
}

// Flat windows take a shortcut through a table of the blur of each level;
// it must give what summing the taps gives, also for kernels that do not add
// up to 1 and so change a flat level.
TEST(EnhanceBlurPass, FlatAreasMatchThePlainPassBitForBit)
{
    std::mt19937 random(7);
    std::vector<double> gaussian(11);
    generateGaussianKernel1D(11, 3.0, gaussian.data());
    const std::vector<std::vector<double>> kernels = {
        gaussian, {0.25, 0.5, 0.25}, {0.2, 0.3, 0.1}, {0.1, 0.2, 0.9, 0.2, 0.1}, {1.003}};
    const int sizes[][2] = {{16, 16}, {40, 33}, {100, 70}, {17, 90}, {129, 41}};
    // Bands of rows go to the workers; their edges must not show.
    for (int workers : {1, 3}) {
        const tavel_test::WorkerCount fixed(workers);
        for (const std::vector<double>& kernel : kernels) {
            const int taps = static_cast<int>(kernel.size());
            for (const auto& size : sizes) {
                const ZQImage src = grayImage(size[0], size[1], flatAreasPage(size[0], size[1], random));
                for (bool horizontal : {true, false})
                    EXPECT_EQ(bytesOf(convolve1D(src, kernel.data(), taps, horizontal)),
                              bytesOf(referenceConvolve1D(src, kernel.data(), taps, horizontal)))
                        << size[0] << " x " << size[1] << ", " << taps << " taps, horizontal "
                        << horizontal << ", " << workers << " workers";
                if (&kernel == &kernels.front()) {
                    const ZQImage rows = referenceConvolve1D(src, kernel.data(), taps, true);
                    EXPECT_EQ(bytesOf(enh_gaussian_filter_fast(src, 11, 3.0)),
                              bytesOf(referenceConvolve1D(rows, kernel.data(), taps, false)))
                        << size[0] << " x " << size[1] << ", " << workers << " workers";
                }
            }
        }
    }
}

TEST(EnhanceBlurPass, UniformAndSingleColumnImagesPassUnchanged)
{
    for (int level : {0, 1, 77, 128, 254, 255}) {
        const ZQImage src = uniformImage(23, 17, static_cast<unsigned char>(level));
        EXPECT_EQ(bytesOf(enh_gaussian_filter_fast(src, 11, 3.0)), bytesOf(src)) << level;
        EXPECT_EQ(bytesOf(enh_unsharp_mask(src, 300.0f, 11)), bytesOf(src)) << level;
        EXPECT_EQ(bytesOf(enh_gaussian_filter(src, 5, 1.5, 2.5)), bytesOf(src)) << level;
    }
    double kernel[11];
    generateGaussianKernel1D(11, 3.0, kernel);
    const ZQImage column = grayImage(1, 5, {3, 200, 17, 255, 0});
    EXPECT_EQ(bytesOf(convolve1D(column, kernel, 11, true)), bytesOf(column));
}

TEST(EnhanceGaussianFilter, ImpulseResponseByHand)
{
    // 255 times the normalised exp(-(i^2 + j^2) / 2): 52.07, 31.58, 19.15.
    std::vector<unsigned char> pixels(25, 0);
    pixels[12] = 255;
    const std::vector<unsigned char> expected = {0, 0,  0,  0,  0, 0, 19, 32, 19, 0, 0, 32, 52,
                                                 32, 0, 0, 19, 32, 19, 0, 0, 0,  0,  0, 0};
    EXPECT_EQ(bytesOf(enh_gaussian_filter(grayImage(5, 5, pixels), 3, 1.0, 1.0)), expected);
}

TEST(EnhanceAddWeighted, RoundsAndClamps)
{
    const struct {
        unsigned char a, b;
        int expected;
    } cases[] = {{255, 0, 255}, {0, 255, 0}, {100, 90, 130}, {90, 100, 60}, {10, 10, 10}};
    for (const auto& c : cases) {
        const ZQImage a = uniformImage(1, 1, c.a);
        const ZQImage b = uniformImage(1, 1, c.b);
        EXPECT_EQ(add_Weighted(a, b, 3.0f).data[0], c.expected) << int(c.a) << ", " << int(c.b);
    }
}

// Every pair of levels, sixteen pixels at a time and one by one at the end,
// against the blend as defined in float. Whole weights (amount 3 as in the
// chains, up to 127 and 128 where a sum nears the end of a 16-bit lane) take
// integer lanes; the others take float.
TEST(EnhanceAddWeighted, EveryPairOfLevelsMatchesTheFloatBlend)
{
    std::vector<unsigned char> first, second;
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            first.push_back(static_cast<unsigned char>(a));
            second.push_back(static_cast<unsigned char>(b));
        }
    }
    // Width 257: rows end off the sixteen-pixel grid.
    const ZQImage a = grayImage(257, 255, std::vector<unsigned char>(first.begin(), first.begin() + 257 * 255));
    const ZQImage b = grayImage(257, 255, std::vector<unsigned char>(second.begin(), second.begin() + 257 * 255));
    for (bool baseline : {false, true}) {
        const BaselineBuildChoice build(baseline);
        for (float amount : {3.0f, 0.5f, 1.0f, -1.0f, 127.0f, 128.0f, 2.7f, -0.3f}) {
            const float weightA = 1.0f + amount;
            const float weightB = -amount;
            const ZQImage blended = add_Weighted(a, b, amount);
            std::size_t mismatches = 0;
            for (std::size_t i = 0; i < a.pixelCount(); ++i) {
                const float v = static_cast<float>(a.data[i]) * weightA + static_cast<float>(b.data[i]) * weightB;
                mismatches += blended.data[i] != myClamp(my_round(v), 0, 255);
            }
            EXPECT_EQ(mismatches, 0u) << "amount " << amount << ", baseline build " << baseline;
        }
    }
}

TEST(EnhanceAddWeighted, SmallerSecondImageIsNeverReadPastItsEnd)
{
    const ZQImage a = grayImage(4, 1, {100, 100, 100, 100});
    const ZQImage b = grayImage(2, 1, {90, 90});
    EXPECT_EQ(bytesOf(add_Weighted(a, b, 3.0f)), (std::vector<unsigned char>{130, 130, 100, 100}));
}

TEST(EnhanceUnsharpMask, FourTimesSourceLessThreeTimesBlur)
{
    // A 10-level bump on grey 100 lifts the first pass by at most
    // 10 * 0.1423 (101 in nine pixels of its row) and the second pass by at
    // most 0.1423 more: the blur is 100 everywhere. The bump becomes
    // 4 * 110 - 3 * 100 = 140 and everything else stays 100.
    std::vector<unsigned char> pixels(21 * 21, 100);
    pixels[10 * 21 + 10] = 110;
    std::vector<unsigned char> expected(21 * 21, 100);
    expected[10 * 21 + 10] = 140;
    EXPECT_EQ(bytesOf(enh_unsharp_mask(grayImage(21, 21, pixels), 300.0f, 11)), expected);
}

}  // namespace
