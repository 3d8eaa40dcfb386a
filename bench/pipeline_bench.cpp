// Halftoning as the filter runs it: the whole page pipeline (PageProcess)
// for every halftone type, and DibImage::Dither alone for the classic
// methods, on the label and the A4 page. PageProcess is called directly
// because printImage also writes the BMP dumps.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_pages.h"
#include "image/dib_image.h"
#include "printer/tavel_printer.h"

namespace {

// The pipeline without a printer language: PageProcess never prints.
class PipelineOnlyPrinter : public TavelPrinter {
public:
    void doPrintImage(const unsigned char*, unsigned long, unsigned long, unsigned long) override {}
};

void benchPageProcess(benchmark::State& state, DitherType type, BenchSize size)
{
    const std::vector<unsigned char>& page = benchPage(PageContent::Photo, size);
    std::vector<unsigned char> work(2 * page.size());
    PipelineOnlyPrinter printer;
    printer.setHalftoneType(type);
    for (auto _ : state) {
        const int64_t written = printer.PageProcess(type, page.data(), size.width, size.width,
                                                    size.height, work.data());
        if (written == 0) {
            state.SkipWithError("PageProcess failed");
            break;
        }
        benchmark::DoNotOptimize(work.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}

void benchDither(benchmark::State& state, long method, BenchSize size)
{
    const std::vector<unsigned char>& page = benchPage(PageContent::Photo, size);
    DibImage image;
    for (auto _ : state) {
        state.PauseTiming();
        const bool loaded = image.CreateFromArray(page.data(), size.width, size.height, 8,
                                                  size.width, false);
        state.ResumeTiming();
        if (!loaded || !image.Dither(method)) {
            state.SkipWithError("Dither failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}

int registerPipelineBenchmarks()
{
    for (const BenchSize& size : {kLabelSize, kA4Size}) {
        for (int type = DITHER_NONE; type <= DITHER_AUTO; ++type) {
            const std::string name =
                std::string("PageProcess/") + tavelHalftoneTypeToStr(type) + "/" + size.name;
            benchmark::RegisterBenchmark(name.c_str(), benchPageProcess,
                                         static_cast<DitherType>(type), size)
                ->Unit(benchmark::kMillisecond);
        }
        for (long method = 0; method <= 7; ++method) {
            const std::string name =
                "DibImage::Dither/method" + std::to_string(method) + "/" + size.name;
            benchmark::RegisterBenchmark(name.c_str(), benchDither, method, size)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return 0;
}

const int sRegistered = registerPipelineBenchmarks();

}  // namespace
