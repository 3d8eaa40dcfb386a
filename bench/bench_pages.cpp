// Page content for the benchmarks. Deterministic (a fixed-seed generator) so
// that every run and every build measures the same pixels.
#include "bench/bench_pages.h"

#include <cmath>
#include <cstdint>
#include <map>
#include <tuple>

const BenchSize kLabelSize = {"label-4x6-203dpi", 812, 1218, 203};
const BenchSize kA4Size = {"a4-300dpi", 2480, 3508, 300};

namespace {

// Small linear congruential generator: reproducible across libraries,
// unlike std::rand or the distributions of <random>.
class Lcg {
public:
    explicit Lcg(uint32_t seed) : state_(seed) {}
    uint32_t next()
    {
        state_ = state_ * 1664525u + 1013904223u;
        return state_ >> 8;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }

private:
    uint32_t state_;
};

void fillRect(std::vector<unsigned char>& page, int width, int height, int x0, int y0, int w,
              int h, unsigned char value)
{
    for (int y = y0; y < y0 + h && y < height; ++y)
        for (int x = x0; x < x0 + w && x < width; ++x)
            page[static_cast<size_t>(y) * width + x] = value;
}

// A barcode: bars of one to four modules with gaps of one to three.
void drawBarcode(std::vector<unsigned char>& page, int width, int height, Lcg& rng, int x0,
                 int y0, int barsWidth, int barsHeight, int module)
{
    int x = x0;
    while (x < x0 + barsWidth) {
        const int bar = (1 + rng.below(4)) * module;
        fillRect(page, width, height, x, y0, bar, barsHeight, 255);
        x += bar + (1 + rng.below(3)) * module;
    }
}

// Lines of "words": glyph-sized cells with strokes, separated by spaces.
void drawTextBlock(std::vector<unsigned char>& page, int width, int height, Lcg& rng, int x0,
                   int y0, int blockWidth, int lines, int glyph)
{
    const int stroke = glyph / 7 > 0 ? glyph / 7 : 1;
    for (int line = 0; line < lines; ++line) {
        const int y = y0 + line * glyph * 3 / 2;
        int x = x0;
        while (x + glyph < x0 + blockWidth) {
            const int letters = 2 + rng.below(7);
            for (int i = 0; i < letters && x + glyph < x0 + blockWidth; ++i) {
                const int shape = rng.below(16);
                if (shape & 1) fillRect(page, width, height, x, y, stroke, glyph, 255);
                if (shape & 2) fillRect(page, width, height, x + glyph - stroke * 2, y, stroke, glyph, 255);
                if (shape & 4) fillRect(page, width, height, x, y, glyph - stroke, stroke, 255);
                if (shape & 8) fillRect(page, width, height, x, y + glyph / 2, glyph - stroke, stroke, 255);
                fillRect(page, width, height, x, y + glyph - stroke, glyph - stroke, stroke, 255);
                x += glyph;
            }
            x += glyph;
        }
    }
}

void makeTextPage(std::vector<unsigned char>& page, int width, int height)
{
    Lcg rng(12345);
    const int margin = width / 20;
    const int inner = width - 2 * margin;
    const int glyph = width / 40;
    int y = margin;
    // Header text, a wide barcode, more text, a second barcode, small print.
    drawTextBlock(page, width, height, rng, margin, y, inner, 3, glyph * 2);
    y += glyph * 10;
    drawBarcode(page, width, height, rng, margin, y, inner, height / 6, width / 300 + 1);
    y += height / 6 + glyph * 2;
    drawTextBlock(page, width, height, rng, margin, y, inner, 8, glyph);
    y += glyph * 14;
    drawBarcode(page, width, height, rng, margin, y, inner / 2, height / 10, width / 400 + 1);
    y += height / 10 + glyph * 2;
    const int rest = (height - margin - y) / (glyph * 3 / 2);
    if (rest > 0) drawTextBlock(page, width, height, rng, margin, y, inner, rest, glyph);
}

void makePhotoPage(std::vector<unsigned char>& page, int width, int height)
{
    Lcg rng(424242);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            double tone = 128.0 + 90.0 * std::sin(6.0 * u + 2.0 * v) * std::cos(5.0 * v - u) +
                          30.0 * (u - v) + (rng.below(41) - 20);
            if (tone < 0.0) tone = 0.0;
            if (tone > 255.0) tone = 255.0;
            page[static_cast<size_t>(y) * width + x] = static_cast<unsigned char>(tone);
        }
    }
}

}  // namespace

bool pageContentFromName(const std::string& name, PageContent& content)
{
    if (name == "text") content = PageContent::Text;
    else if (name == "photo") content = PageContent::Photo;
    else if (name == "blank") content = PageContent::Blank;
    else return false;
    return true;
}

std::vector<unsigned char> makeBenchPage(PageContent content, int width, int height)
{
    std::vector<unsigned char> page(static_cast<size_t>(width) * height, 0);
    if (content == PageContent::Text)
        makeTextPage(page, width, height);
    else if (content == PageContent::Photo)
        makePhotoPage(page, width, height);
    return page;
}

const std::vector<unsigned char>& benchPage(PageContent content, const BenchSize& size)
{
    static std::map<std::tuple<int, int, int>, std::vector<unsigned char>> cache;
    const auto key = std::make_tuple(static_cast<int>(content), size.width, size.height);
    auto found = cache.find(key);
    if (found == cache.end())
        found = cache.emplace(key, makeBenchPage(content, size.width, size.height)).first;
    return found->second;
}
