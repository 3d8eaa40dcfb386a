// The stencil chain stage by stage ("Tattoo" and "Tattoo_X8"), and both
// chains whole, on the label and the A4 page.
#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

#include "bench/bench_pages.h"
#include "enhance/enhance_filters.h"
#include "enhance/stencil_dither.h"

namespace {

using Stage = std::function<void(ZQImage&, int threshold)>;

void benchStage(benchmark::State& state, const Stage& stage, BenchSize size, PageContent content)
{
    const std::vector<unsigned char>& page = benchPage(content, size);
    ZQImage grey(size.width, size.height, ZQ_IMG_GRAY, page.data());
    const int threshold = thresh_global_moments(grey);
    for (auto _ : state)
        stage(grey, threshold);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}

// The stages with the arguments the chains give them.
const std::vector<std::pair<const char*, Stage>>& stages()
{
    static const std::vector<std::pair<const char*, Stage>> list = {
        {"cvtGray", [](ZQImage& img, int) { benchmark::DoNotOptimize(cvtGray(img).data); }},
        {"thresh_global_moments",
         [](ZQImage& img, int) { benchmark::DoNotOptimize(thresh_global_moments(img)); }},
        // Rewrites the image in place; the cost of a table lookup pass does not
        // depend on the values it meets.
        {"enh_piecewise_gamma",
         [](ZQImage& img, int) { enh_piecewise_gamma(img, 64, 0.85f, 0.7f); }},
        {"enh_gaussian_filter_fast",
         [](ZQImage& img, int) {
             benchmark::DoNotOptimize(enh_gaussian_filter_fast(img, 11, 3.0).data);
         }},
        {"enh_unsharp_mask",
         [](ZQImage& img, int) { benchmark::DoNotOptimize(enh_unsharp_mask(img, 300, 11).data); }},
        {"edf_cus",
         [](ZQImage& img, int t) { benchmark::DoNotOptimize(edf_cus(img, t).data); }},
        {"zqTattooDithering",
         [](ZQImage& img, int) { benchmark::DoNotOptimize(zqTattooDithering(img).data); }},
        {"zqTattooDitheringX8",
         [](ZQImage& img, int) { benchmark::DoNotOptimize(zqTattooDitheringX8(img).data); }},
    };
    return list;
}

int registerStencilBenchmarks()
{
    // Text and blank pages have long runs of one value, which some stages
    // pass through faster than the tones of a photo.
    const std::pair<const char*, PageContent> contents[] = {
        {"photo", PageContent::Photo}, {"text", PageContent::Text}, {"blank", PageContent::Blank}};
    for (const BenchSize& size : {kLabelSize, kA4Size}) {
        for (const auto& [contentName, content] : contents) {
            for (const auto& [name, stage] : stages()) {
                const std::string full =
                    std::string("Stencil/") + name + "/" + size.name + "/" + contentName;
                benchmark::RegisterBenchmark(full.c_str(), benchStage, stage, size, content)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    return 0;
}

const int sRegistered = registerStencilBenchmarks();

}  // namespace
