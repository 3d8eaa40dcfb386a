// The TSPL output of a processed page: offset copy, packing to 1 bit per
// pixel, zlib compression and Base64 (compressed mode) and the writes to the
// output streams, here /dev/null. Base64 is also timed on its own.
#include <benchmark/benchmark.h>

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_pages.h"
#include "codec/base64.h"
#include "tspl/tspl_printer.h"

namespace {

// A processed page as PageProcess leaves it in its work buffer.
struct ProcessedPage {
    std::vector<unsigned char> bytes;
    unsigned long stride = 0;
};

// /dev/null, open for as long as the printer that writes to it.
struct DevNull {
    DevNull() : file(std::fopen("/dev/null", "wb")) {}
    ~DevNull()
    {
        if (file != nullptr)
            std::fclose(file);
    }
    FILE* file;
};

ProcessedPage processPage(TsplPrinter& printer, PageContent content, BenchSize size)
{
    const std::vector<unsigned char>& page = benchPage(content, size);
    ProcessedPage result;
    result.bytes.resize(2 * page.size());
    printer.setHalftoneType(DITHER_BURKES);
    const int64_t written = printer.PageProcess(DITHER_BURKES, page.data(), size.width,
                                                size.width, size.height, result.bytes.data());
    result.stride = static_cast<unsigned long>(written / size.height);
    return result;
}

void benchPrint(benchmark::State& state, PageContent content, BenchSize size, bool zipped)
{
    DevNull devNull;
    if (devNull.file == nullptr) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    TsplPrinter printer(devNull.file);
    cups_page_header2_t header = {};
    header.NumCopies = 1;
    printer.setPageHeader(&header);
    printer.zippedImage = zipped ? 1 : 0;
    const ProcessedPage page = processPage(printer, content, size);
    if (page.stride == 0) {
        state.SkipWithError("PageProcess failed");
    } else {
        for (auto _ : state)
            printer.doPrintImage(page.bytes.data(), page.stride, size.height, size.width);
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size.width * size.height);
    }
}

void benchBase64(benchmark::State& state, BenchSize size)
{
    // A packed photo-like page compresses poorly: the largest text to encode.
    const std::vector<unsigned char>& page = benchPage(PageContent::Photo, size);
    std::vector<unsigned char> packed(page.size() / 8);
    for (size_t i = 0; i < packed.size(); ++i)
        packed[i] = static_cast<unsigned char>(page[8 * i] ^ page[8 * i + 3]);
    uLongf zippedLength = compressBound(packed.size());
    std::vector<unsigned char> zipped(zippedLength);
    compress(zipped.data(), &zippedLength, packed.data(), packed.size());
    std::vector<char> text(4 * ((zippedLength + 2) / 3) + 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(base64_encode(zipped.data(), zippedLength, text.data()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * zippedLength);
}

int registerOutputBenchmarks()
{
    const std::pair<const char*, PageContent> contents[] = {{"text", PageContent::Text},
                                                            {"photo", PageContent::Photo}};
    for (const BenchSize& size : {kLabelSize, kA4Size}) {
        for (const auto& [contentName, content] : contents) {
            for (bool zipped : {false, true}) {
                const std::string name = std::string("TsplOutput/") + (zipped ? "zip/" : "raw/") +
                                         contentName + "/" + size.name;
                benchmark::RegisterBenchmark(name.c_str(), benchPrint, content, size, zipped)
                    ->Unit(benchmark::kMillisecond);
            }
        }
        const std::string name = std::string("base64_encode/") + size.name;
        benchmark::RegisterBenchmark(name.c_str(), benchBase64, size)
            ->Unit(benchmark::kMicrosecond);
    }
    return 0;
}

const int sRegistered = registerOutputBenchmarks();

}  // namespace
