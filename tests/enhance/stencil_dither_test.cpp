// Stencil dithering: the error diffusion's patterns and the two chains'
// output for ordinary and degenerate pages.
#include "worker_count.h"
#include "enhance/stencil_dither.h"
#include "enhance/zq_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using tavel_test::WorkerCount;

ZQImage uniformImage(int width, int height, unsigned char level)
{
    const std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height, level);
    return ZQImage(width, height, ZQ_IMG_GRAY, pixels.data());
}

// Rows of B (0) and W (255), one string per row.
std::vector<std::string> pattern(const ZQImage& image)
{
    std::vector<std::string> rows;
    for (int y = 0; y < image.height; ++y) {
        std::string row;
        for (int x = 0; x < image.width; ++x) {
            const unsigned char v = image.data[y * image.width + x];
            row += v == 0 ? 'B' : v == 255 ? 'W' : '?';
        }
        rows.push_back(row);
    }
    return rows;
}

::testing::AssertionResult isStencilOfSize(const ZQImage& out, int width, int height)
{
    if (out.width != width || out.height != height || out.channels != 1)
        return ::testing::AssertionFailure() << out.width << " x " << out.height << " x "
                                             << out.channels;
    for (std::size_t i = 0; i < out.pixelCount(); ++i)
        if (out.data[i] != 0 && out.data[i] != 255)
            return ::testing::AssertionFailure() << "byte " << i << " is " << int(out.data[i]);
    return ::testing::AssertionSuccess();
}

TEST(EnhanceErrorDiffusion, Patterns)
{
    const struct {
        unsigned char level;
        int threshold;
        std::vector<std::string> rows;
    } cases[] = {
        {128, 128, {"BWBWBWBW", "WBWBWBWB", "BWWWBWWB", "WBWBWBWB"}},
        // 255 is not greater than 255: the first pixel is black and its
        // error keeps the rest white.
        {255, 255, {"BWWWWWWW", "WWWWWWWW", "WWWWWWWW", "WWWWWWWW"}},
        // 0 > -1 makes the first pixel white; its debt darkens the rest.
        {0, -1, {"WBBBBBWB", "BBBBBBBB", "BBBBBBBB", "BBBBBBBB"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pattern(edf_cus(uniformImage(8, 4, c.level), c.threshold)), c.rows)
            << "level " << int(c.level) << ", threshold " << c.threshold;
}

TEST(EnhanceErrorDiffusion, WhitePageAtThresholdTurnsFourPixelsBlack)
{
    const ZQImage out = edf_cus(uniformImage(50, 20, 255), 255);
    std::vector<std::size_t> black;
    for (std::size_t i = 0; i < out.pixelCount(); ++i)
        if (out.data[i] == 0)
            black.push_back(i);
    EXPECT_EQ(black, (std::vector<std::size_t>{0, 18, 36, 50 * 20 - 1}));
}

TEST(EnhanceErrorDiffusion, ZeroIsNotAboveThresholdZero)
{
    EXPECT_EQ(edf_cus(uniformImage(1, 1, 0), 0).data[0], 0);
    EXPECT_EQ(edf_cus(uniformImage(1, 1, 1), 0).data[0], 255);
}

// The diffusion as plainly as it can be put: a full plane of accumulators,
// each share added only when its target lies inside the image.
ZQImage referenceDiffusion(const ZQImage& src, int threshold)
{
    const int w = src.width;
    const int h = src.height;
    ZQImage out(w, h, ZQ_IMG_GRAY);
    std::vector<float> err(static_cast<std::size_t>(w) * h, 0.0f);
    const struct {
        int dx, dy;
        float weight;
    } shares[] = {{1, 0, 0.505786f},  {2, 0, -0.052926f}, {-2, 1, 0.226194f},
                  {-1, 1, 0.128835f}, {0, 1, 0.243191f},  {1, 1, -0.111078f}};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int pos = y * w + x;
            const float v = err[pos] + src.data[pos];
            float e = v;
            out.data[pos] = 0;
            if (v > static_cast<float>(threshold)) {
                out.data[pos] = 255;
                if (x > 0 && y > 0 && x < w - 1 && y < h - 1) {
                    float s = 0.0f;
                    if (out.data[pos - 1] == 0)
                        s = 0.1427f + s;
                    if (out.data[pos - w] == 0)
                        s = 0.1427f + s;
                    e = (1.0f - s) * -255.0f + v;
                } else {
                    e = v - 255.0f;
                }
            }
            for (const auto& share : shares)
                if (isWithinBounds(x + share.dx, y + share.dy, w, h))
                    err[(y + share.dy) * w + x + share.dx] += e * share.weight;
        }
    }
    return out;
}

TEST(EnhanceErrorDiffusion, MatchesThePlainDiffusionBitForBit)
{
    // Rows narrower than the lead one row keeps on the next, and rows of
    // several progress reports, also with more workers than processors.
    std::mt19937 random(99);
    const int sizes[][2] = {{1, 1},  {1, 7},   {7, 1},    {2, 2},    {3, 3},  {5, 4},
                            {31, 17}, {64, 9}, {4, 12},  {6, 10},  {300, 11}, {517, 6}};
    for (int workers : {1, 2, 3, 7}) {
        const WorkerCount fixed(workers);
        for (const auto& size : sizes) {
            ZQImage src(size[0], size[1], ZQ_IMG_GRAY);
            for (std::size_t i = 0; i < src.byteCount(); ++i)
                src.data[i] = static_cast<unsigned char>(random());
            for (int threshold : {-1, 0, 64, 128, 200, 255}) {
                const ZQImage expected = referenceDiffusion(src, threshold);
                const ZQImage actual = edf_cus(src, threshold);
                EXPECT_EQ(std::vector<unsigned char>(actual.data, actual.data + actual.byteCount()),
                          std::vector<unsigned char>(expected.data, expected.data + expected.byteCount()))
                    << size[0] << " x " << size[1] << ", threshold " << threshold << ", "
                    << workers << " workers";
            }
        }
    }
}

// Blank paper and solid boxes with a few grey dots: runs without error that
// the diffusion passes over in one go, next to the error a dot or an edge
// spreads into them.
TEST(EnhanceErrorDiffusion, FlatAreasMatchThePlainDiffusionBitForBit)
{
    std::mt19937 random(5);
    const int sizes[][2] = {{64, 40}, {300, 25}, {9, 30}, {600, 12}};
    for (int workers : {1, 2}) {
        const WorkerCount fixed(workers);
        for (const auto& size : sizes) {
            for (unsigned char background : {0, 255}) {
                ZQImage src = uniformImage(size[0], size[1], background);
                for (int box = 0; box < 4; ++box) {
                    const int x0 = static_cast<int>(random() % size[0]);
                    const int y0 = static_cast<int>(random() % size[1]);
                    const unsigned char level = box % 2 == 0 ? 255 - background : background;
                    for (int y = y0; y < std::min(size[1], y0 + 9); ++y)
                        for (int x = x0; x < std::min(size[0], x0 + 30); ++x)
                            src.data[y * size[0] + x] = level;
                }
                for (int dot = 0; dot < 3; ++dot)
                    src.data[random() % src.byteCount()] = static_cast<unsigned char>(random());
                for (int threshold : {-1, 0, 128, 254, 255}) {
                    const ZQImage expected = referenceDiffusion(src, threshold);
                    const ZQImage actual = edf_cus(src, threshold);
                    EXPECT_EQ(std::vector<unsigned char>(actual.data, actual.data + actual.byteCount()),
                              std::vector<unsigned char>(expected.data, expected.data + expected.byteCount()))
                        << size[0] << " x " << size[1] << ", background " << int(background)
                        << ", threshold " << threshold << ", " << workers << " workers";
                }
            }
        }
    }
}

// White pixels next to black ones owe more than their own error even where
// no error has arrived: a black left margin, and a black bar in the top row,
// each beside white paper above a grey area, where the extra error shows in
// the pattern.
TEST(EnhanceErrorDiffusion, BlackNeighboursOfErrorFreeWhiteAreas)
{
    ZQImage margin = uniformImage(16, 6, 255);
    ZQImage bar = uniformImage(24, 6, 255);
    for (int y = 2; y < 6; ++y) {
        for (int x = 0; x < 16; ++x)
            margin.data[y * 16 + x] = 100;
        for (int x = 0; x < 24; ++x)
            bar.data[y * 24 + x] = 100;
    }
    ZQImage marginless = margin;
    ZQImage barless = bar;
    for (int y = 0; y < 6; ++y)
        margin.data[y * 16] = 0;
    for (int x = 4; x < 14; ++x)
        bar.data[x] = 0;
    const std::pair<const ZQImage*, const ZQImage*> pages[] = {{&margin, &marginless},
                                                               {&bar, &barless}};
    for (const auto& [page, without] : pages) {
        const ZQImage expected = referenceDiffusion(*page, 128);
        EXPECT_EQ(pattern(edf_cus(*page, 128)), pattern(expected));
        // Without the black pixels the grey area comes out otherwise, so
        // the extra error really reaches it.
        std::vector<std::string> grey = pattern(expected);
        std::vector<std::string> greyWithout = pattern(referenceDiffusion(*without, 128));
        grey[0] = greyWithout[0] = "";
        EXPECT_NE(grey, greyWithout);
    }
}

using Chain = ZQImage (*)(ZQImage&);

const struct {
    const char* name;
    Chain run;
} kChains[] = {{"Tattoo", zqTattooDithering}, {"Tattoo_X8", zqTattooDitheringX8}};

TEST(EnhanceStencilChain, EmptyImagesComeBackAsCopies)
{
    const int sizes[][2] = {{0, 0}, {0, 5}, {5, 0}};
    for (const auto& chain : kChains) {
        for (const auto& size : sizes) {
            ZQImage src(size[0], size[1], ZQ_IMG_BGR);
            const ZQImage out = chain.run(src);
            EXPECT_EQ(out.width, size[0]) << chain.name;
            EXPECT_EQ(out.height, size[1]) << chain.name;
            EXPECT_EQ(out.color, ZQ_IMG_BGR) << chain.name;
            EXPECT_NE(out.data, src.data) << chain.name;
        }
    }
}

TEST(EnhanceStencilChain, StencilOfTheInputsSizeForEveryLayout)
{
    std::mt19937 random(7);
    const ZQ_IMG_COLOR colors[] = {ZQ_IMG_GRAY, ZQ_IMG_BGR, ZQ_IMG_RGB, ZQ_IMG_BGRA};
    for (const auto& chain : kChains) {
        for (ZQ_IMG_COLOR color : colors) {
            ZQImage src(37, 23, color);
            for (std::size_t i = 0; i < src.byteCount(); ++i)
                src.data[i] = static_cast<unsigned char>(random());
            const std::vector<unsigned char> before(src.data, src.data + src.byteCount());
            EXPECT_TRUE(isStencilOfSize(chain.run(src), 37, 23)) << chain.name << ", colour " << color;
            EXPECT_EQ(std::vector<unsigned char>(src.data, src.data + src.byteCount()), before)
                << chain.name << " changed its input";
        }
    }
}

// A source handed over may become the chain's working image; the stencil is
// the one the chain makes of a source it only reads.
TEST(EnhanceStencilChain, HandedOverSourceGivesTheSameStencil)
{
    std::mt19937 random(11);
    for (ZQ_IMG_COLOR color : {ZQ_IMG_GRAY, ZQ_IMG_BGR}) {
        ZQImage src(61, 29, color);
        for (std::size_t i = 0; i < src.byteCount(); ++i)
            src.data[i] = static_cast<unsigned char>(random() % 7 == 0 ? random() : 200);
        const ZQImage read[2] = {zqTattooDithering(src), zqTattooDitheringX8(src)};
        const ZQImage taken[2] = {zqTattooDithering(ZQImage(src)), zqTattooDitheringX8(ZQImage(src))};
        for (int chain = 0; chain < 2; ++chain)
            EXPECT_EQ(pattern(taken[chain]), pattern(read[chain])) << kChains[chain].name << ", colour " << color;
    }
}

// One grey level has no moment threshold; the chains fall back to mid-grey
// and must end with a stencil like any other page, in every shape.
TEST(EnhanceStencilChain, SingleGreyLevelPagesEnd)
{
    const int sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {16, 9}};
    for (const auto& chain : kChains)
        for (const auto& size : sizes)
            for (int level : {0, 1, 64, 128, 200, 255}) {
                ZQImage src = uniformImage(size[0], size[1], static_cast<unsigned char>(level));
                EXPECT_TRUE(isStencilOfSize(chain.run(src), size[0], size[1]))
                    << chain.name << ", " << size[0] << " x " << size[1] << ", level " << level;
            }
}

TEST(EnhanceStencilChain, BlankAndFullPagesStayUniform)
{
    for (const auto& chain : kChains) {
        ZQImage black = uniformImage(12, 7, 0);
        ZQImage white = uniformImage(12, 7, 255);
        EXPECT_EQ(pattern(chain.run(black)), std::vector<std::string>(7, std::string(12, 'B'))) << chain.name;
        EXPECT_EQ(pattern(chain.run(white)), std::vector<std::string>(7, std::string(12, 'W'))) << chain.name;
    }
}

// Mid-grey: threshold 128, and the curve of "Tattoo_X8" has its knee there,
// so the page reaches the diffusion unchanged.
TEST(EnhanceStencilChain, MidGreyPageThroughTattooX8)
{
    ZQImage src = uniformImage(8, 4, 128);
    EXPECT_EQ(pattern(zqTattooDitheringX8(src)),
              (std::vector<std::string>{"BWBWBWBW", "WBWBWBWB", "BWWWBWWB", "WBWBWBWB"}));
}

// Half black and half white measures threshold 255, which "Tattoo_X8" also
// uses as its gamma knee.
TEST(EnhanceStencilChain, ThresholdAtTheTopEnds)
{
    std::vector<unsigned char> pixels(20 * 10, 0);
    std::fill(pixels.begin() + 100, pixels.end(), 255);
    for (const auto& chain : kChains) {
        ZQImage src(20, 10, ZQ_IMG_GRAY, pixels.data());
        EXPECT_TRUE(isStencilOfSize(chain.run(src), 20, 10)) << chain.name;
    }
}

// Flat areas with sharp edges and a band of noise: every stage meets both
// its shortcut and its full path, and the diffusion carries error across
// the rows that the workers share out.
ZQImage mixedPage(int width, int height, std::mt19937& random)
{
    ZQImage page(width, height, ZQ_IMG_GRAY);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char v = (x / 23 + y / 17) % 3 == 0 ? 255 : 0;
            if (y > height / 2 && y < height / 2 + 20)
                v = static_cast<unsigned char>(random());
            page.data[static_cast<std::size_t>(y) * width + x] = v;
        }
    }
    return page;
}

TEST(EnhanceStencilChain, StencilIsTheSameForEveryWorkerCount)
{
    std::mt19937 random(3);
    const int sizes[][2] = {{300, 120}, {517, 41}, {5, 60}, {2, 33}, {1000, 9}};
    for (const auto& size : sizes) {
        ZQImage page = mixedPage(size[0], size[1], random);
        std::vector<unsigned char> single[2];
        {
            const WorkerCount fixed(1);
            const ZQImage a = zqTattooDithering(page);
            const ZQImage b = zqTattooDitheringX8(page);
            single[0].assign(a.data, a.data + a.byteCount());
            single[1].assign(b.data, b.data + b.byteCount());
        }
        for (int workers : {2, 3, 7}) {
            const WorkerCount fixed(workers);
            const ZQImage a = zqTattooDithering(page);
            const ZQImage b = zqTattooDitheringX8(page);
            EXPECT_EQ(std::vector<unsigned char>(a.data, a.data + a.byteCount()), single[0])
                << "Tattoo, " << size[0] << " x " << size[1] << ", " << workers << " workers";
            EXPECT_EQ(std::vector<unsigned char>(b.data, b.data + b.byteCount()), single[1])
                << "Tattoo_X8, " << size[0] << " x " << size[1] << ", " << workers << " workers";
        }
    }
}

}  // namespace
