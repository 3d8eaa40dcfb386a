// Synthetic grey pages shared by the benchmark programs and the page
// generator of the whole-process comparison: the two page sizes that are
// measured and three kinds of content. Values are ink (0 = blank paper,
// 255 = full dot), as the filter receives them from CUPS.
#pragma once

#include <string>
#include <vector>

struct BenchSize {
    const char* name;
    int width;
    int height;
    int dpi;
};

// 4 x 6 in label at 203 dpi and A4 at 300 dpi.
extern const BenchSize kLabelSize;
extern const BenchSize kA4Size;

enum class PageContent {
    Text,   // text lines and barcodes: 0/255 with sharp edges, mostly blank
    Photo,  // smooth tone gradients with fine noise, every grey level
    Blank,  // nothing to print
};

// Parses "text", "photo" or "blank"; false for anything else.
bool pageContentFromName(const std::string& name, PageContent& content);

// width * height bytes, rows packed; the same arguments always give the
// same bytes.
std::vector<unsigned char> makeBenchPage(PageContent content, int width, int height);

// makeBenchPage of a measured size, made once per program and kept: the
// benchmark functions run several times while Google Benchmark settles the
// iteration count, and making a photo page costs more than most stages.
const std::vector<unsigned char>& benchPage(PageContent content, const BenchSize& size);
