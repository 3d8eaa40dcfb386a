// rasterwrite: writes a CUPS raster stream of grey pages for tests, the demo
// and users who want to feed the filter without a print system. Page options
// can also make headers that disagree with their data, so that the filter's
// handling of broken streams can be exercised.
#include "tools/grey_page.h"

#include <cups/raster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: rasterwrite [-o OUT] [page options] PAGE [[page options] PAGE ...]\n"
    "\n"
    "Page options stay in force for later pages until changed:\n"
    "  --res X | XxY          resolution in dpi (203x203)\n"
    "  --copies N             NumCopies (1)\n"
    "  --bits N               bits per pixel and per colour: 1, 2, 4, 8, 16, 24, 32 (8)\n"
    "  --bpl N|auto           bytes per line (from width and bits)\n"
    "  --pagesize NAME        cupsPageSizeName (empty)\n"
    "  --header-width N|auto  cupsWidth written instead of the page's width\n"
    "  --header-height N|auto cupsHeight written instead of the page's height\n"
    "  --no-data              next page: header only, no pixel data\n"
    "PAGE: a PGM file (P5 or P2, maxval 255), fill:WxH:V or rect:WxH:X,Y,RW,RH:V\n";

// Marks a header field that takes its value from the page image.
constexpr int64_t kFromImage = -1;

struct PageOptions {
    unsigned xres = 203;
    unsigned yres = 203;
    unsigned copies = 1;
    unsigned bits = 8;
    int64_t bytesPerLine = kFromImage;
    int64_t headerWidth = kFromImage;
    int64_t headerHeight = kFromImage;
    std::string pageSizeName;
    bool noData = false;
};

struct PageJob {
    PageOptions options;
    GreyPage image;
};

struct Job {
    std::string outputPath; // empty: standard output
    std::vector<PageJob> pages;
};

bool parseUint32(const std::string& text, unsigned& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long v = std::stoull(text);
    if (v > UINT32_MAX)
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

bool parseOptionalUint32(const std::string& text, int64_t& value)
{
    if (text == "auto") {
        value = kFromImage;
        return true;
    }
    unsigned v = 0;
    if (!parseUint32(text, v))
        return false;
    value = v;
    return true;
}

bool parseResolution(const std::string& text, PageOptions& options)
{
    const std::string::size_type x = text.find('x');
    if (x == std::string::npos) {
        if (!parseUint32(text, options.xres))
            return false;
        options.yres = options.xres;
        return true;
    }
    return parseUint32(text.substr(0, x), options.xres) &&
           parseUint32(text.substr(x + 1), options.yres);
}

bool isSupportedDepth(unsigned bits)
{
    return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
           bits == 32;
}

// Applies one valued page option; returns false with a message when the value is bad.
bool applyValuedOption(const std::string& name, const std::string& value, PageOptions& options,
                       std::string& error)
{
    bool ok = false;
    if (name == "--res")
        ok = parseResolution(value, options);
    else if (name == "--copies")
        ok = parseUint32(value, options.copies);
    else if (name == "--bits")
        ok = parseUint32(value, options.bits) && isSupportedDepth(options.bits);
    else if (name == "--bpl")
        ok = parseOptionalUint32(value, options.bytesPerLine);
    else if (name == "--header-width")
        ok = parseOptionalUint32(value, options.headerWidth);
    else if (name == "--header-height")
        ok = parseOptionalUint32(value, options.headerHeight);
    else if (name == "--pagesize")
        ok = value.size() < sizeof(cups_page_header2_t::cupsPageSizeName);
    if (ok && name == "--pagesize")
        options.pageSizeName = value;
    if (!ok)
        error = "bad value '" + value + "' for " + name;
    return ok;
}

bool takesValue(const std::string& arg)
{
    return arg == "-o" || arg == "--res" || arg == "--copies" || arg == "--bits" ||
           arg == "--bpl" || arg == "--pagesize" || arg == "--header-width" ||
           arg == "--header-height";
}

bool parseArguments(int argc, char** argv, Job& job, std::string& error)
{
    PageOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (takesValue(arg)) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            const std::string value = argv[++i];
            if (arg == "-o")
                job.outputPath = value;
            else if (!applyValuedOption(arg, value, options, error))
                return false;
        } else if (arg == "--no-data") {
            options.noData = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            PageJob page{options, GreyPage()};
            if (!loadGreyPage(arg, page.image, error))
                return false;
            job.pages.push_back(std::move(page));
            options.noData = false;
        }
    }
    return true;
}

// Encodes one grey row at the requested depth: below 8 bits the top bits of
// each value are packed from the most significant bit on (1 bit is a
// threshold at 128); above 8 bits the grey byte is repeated.
std::vector<unsigned char> encodeRow(const unsigned char* grey, unsigned width, unsigned bits)
{
    if (bits >= 8) {
        std::vector<unsigned char> row;
        row.reserve(static_cast<size_t>(width) * (bits / 8));
        for (unsigned x = 0; x < width; ++x)
            row.insert(row.end(), bits / 8, grey[x]);
        return row;
    }
    std::vector<unsigned char> row((static_cast<size_t>(width) * bits + 7) / 8, 0);
    for (unsigned x = 0; x < width; ++x) {
        const size_t bit = static_cast<size_t>(x) * bits;
        const unsigned value = grey[x] >> (8 - bits);
        row[bit / 8] |= static_cast<unsigned char>(value << (8 - bits - bit % 8));
    }
    return row;
}

unsigned pointsFromDots(unsigned dots, unsigned dpi)
{
    return dpi == 0 ? 0 : static_cast<unsigned>(std::lround(dots * 72.0 / dpi));
}

bool buildHeader(const PageJob& page, cups_page_header2_t& header, std::string& error)
{
    const PageOptions& o = page.options;
    const uint64_t width = o.headerWidth == kFromImage ? page.image.width : o.headerWidth;
    const uint64_t height = o.headerHeight == kFromImage ? page.image.height : o.headerHeight;
    const uint64_t bpl = o.bytesPerLine == kFromImage ? (width * o.bits + 7) / 8 : o.bytesPerLine;
    if (bpl > UINT32_MAX) {
        error = "bytes per line do not fit in the raster header";
        return false;
    }
    std::memset(&header, 0, sizeof header);
    header.HWResolution[0] = o.xres;
    header.HWResolution[1] = o.yres;
    header.NumCopies = o.copies;
    header.cupsWidth = static_cast<unsigned>(width);
    header.cupsHeight = static_cast<unsigned>(height);
    header.cupsBitsPerColor = o.bits;
    header.cupsBitsPerPixel = o.bits;
    header.cupsBytesPerLine = static_cast<unsigned>(bpl);
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsColorSpace = CUPS_CSPACE_K;
    header.cupsNumColors = 1;
    header.PageSize[0] = pointsFromDots(header.cupsWidth, o.xres);
    header.PageSize[1] = pointsFromDots(header.cupsHeight, o.yres);
    header.cupsPageSize[0] = static_cast<float>(header.PageSize[0]);
    header.cupsPageSize[1] = static_cast<float>(header.PageSize[1]);
    header.ImagingBoundingBox[2] = header.PageSize[0];
    header.ImagingBoundingBox[3] = header.PageSize[1];
    std::strncpy(header.cupsPageSizeName, o.pageSizeName.c_str(),
                 sizeof header.cupsPageSizeName - 1);
    return true;
}

// Writes the header's bytes-per-line x height bytes: image rows cut or
// zero-padded to the line length, zero rows below the image.
bool writePixels(cups_raster_t* raster, const PageJob& page, const cups_page_header2_t& header)
{
    const unsigned bpl = header.cupsBytesPerLine;
    if (bpl == 0 || header.cupsHeight == 0)
        return true;
    std::vector<unsigned char> line(bpl);
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
        std::fill(line.begin(), line.end(), 0);
        if (y < page.image.height) {
            const std::vector<unsigned char> row = encodeRow(
                &page.image.pixels[static_cast<size_t>(y) * page.image.width], page.image.width,
                page.options.bits);
            std::copy(row.begin(), row.begin() + std::min<size_t>(row.size(), bpl), line.begin());
        }
        if (cupsRasterWritePixels(raster, line.data(), bpl) != bpl)
            return false;
    }
    return true;
}

bool writeJob(const Job& job, int fd, std::string& error)
{
    cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    if (!raster) {
        error = "cannot start the raster stream";
        return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && i < job.pages.size(); ++i) {
        cups_page_header2_t header;
        ok = buildHeader(job.pages[i], header, error);
        if (ok && !cupsRasterWriteHeader2(raster, &header)) {
            error = "cannot write the header of page " + std::to_string(i + 1);
            ok = false;
        }
        if (ok && !job.pages[i].options.noData && !writePixels(raster, job.pages[i], header)) {
            error = "cannot write the pixels of page " + std::to_string(i + 1);
            ok = false;
        }
    }
    cupsRasterClose(raster);
    return ok;
}

int openOutput(const std::string& path, std::string& error)
{
    if (path.empty())
        return STDOUT_FILENO;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        error = path + ": " + std::strerror(errno);
    return fd;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "rasterwrite: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    Job job;
    std::string error;
    if (!parseArguments(argc, argv, job, error))
        return fail(error);
    const int fd = openOutput(job.outputPath, error);
    if (fd < 0)
        return fail(error);
    const bool written = writeJob(job, fd, error);
    if (fd != STDOUT_FILENO && close(fd) != 0 && written)
        return fail(job.outputPath + ": " + std::strerror(errno));
    return written ? 0 : fail(error);
}
