// The automatic halftone against the Sierra diffusion it builds on, on the
// label: the photo page, the text page and a mixed page (the text page with
// a photo in its lower right quarter), and the block classification alone
// on each. The automatic halftone classifies the page, diffuses it down to
// the last block row with tone and thresholds the line-art blocks, so its
// cost over Sierra is the classification and that threshold.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_pages.h"
#include "image/dib_image.h"
#include "image/halftone_blocks.h"

namespace {

constexpr long kSierraMethod = 5;

enum class Halftone { Sierra, Auto };

// The text page with the photo page's lower right quarter laid over it.
const std::vector<unsigned char>& mixedLabel()
{
    static const std::vector<unsigned char> page = [] {
        std::vector<unsigned char> mixed = benchPage(PageContent::Text, kLabelSize);
        const std::vector<unsigned char>& photo = benchPage(PageContent::Photo, kLabelSize);
        const int width = kLabelSize.width;
        for (int y = kLabelSize.height / 2; y < kLabelSize.height; ++y)
            std::copy(photo.begin() + y * width + width / 2, photo.begin() + (y + 1) * width,
                      mixed.begin() + y * width + width / 2);
        return mixed;
    }();
    return page;
}

const std::vector<unsigned char>& pageOf(const std::string& content)
{
    if (content == "mixed") return mixedLabel();
    return benchPage(content == "text" ? PageContent::Text : PageContent::Photo, kLabelSize);
}

void benchHalftone(benchmark::State& state, Halftone halftone, std::string content)
{
    const std::vector<unsigned char>& page = pageOf(content);
    DibImage image;
    for (auto _ : state) {
        state.PauseTiming();
        const bool loaded = image.CreateFromArray(page.data(), kLabelSize.width, kLabelSize.height,
                                                  8, kLabelSize.width, false);
        state.ResumeTiming();
        const bool done = halftone == Halftone::Auto ? image.DitherAuto() : image.Dither(kSierraMethod);
        if (!loaded || !done) {
            state.SkipWithError("halftoning failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}

void benchClassification(benchmark::State& state, std::string content)
{
    const std::vector<unsigned char>& page = pageOf(content);
    for (auto _ : state) {
        const ToneBlockMap map = classifyToneBlocks(page.data(), kLabelSize.width, kLabelSize.height,
                                                    kLabelSize.width);
        benchmark::DoNotOptimize(map.tone.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}

int registerAutoHalftoneBenchmarks()
{
    for (const char* content : {"photo", "text", "mixed"}) {
        const std::string suffix = std::string("/") + content + "/" + kLabelSize.name;
        benchmark::RegisterBenchmark(("AutoHalftone/Sierra" + suffix).c_str(), benchHalftone,
                                     Halftone::Sierra, std::string(content))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("AutoHalftone/Auto" + suffix).c_str(), benchHalftone,
                                     Halftone::Auto, std::string(content))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("AutoHalftone/classification" + suffix).c_str(), benchClassification,
                                     std::string(content))
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}

const int sRegistered = registerAutoHalftoneBenchmarks();

}  // namespace
