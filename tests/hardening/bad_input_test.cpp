// Bad-input battery: broken raster streams, broken or absurd PPDs, odd
// option strings and uniform pages for every halftone method. Every run is
// bounded in time and memory; each case states how the job must end.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "outcome.h"

namespace tavel_test {
namespace {

constexpr int kAnyStatus = -1;  // printed as expected, or refused with an ERROR: line

struct Expect {
    int exitStatus;
    int pages;
    int widthBytes;
    int height;
    std::string errorLine;  // a whole stderr line that must appear, if any
};

std::vector<BitmapPage> expectOutcome(const GuardedResult& run, const Expect& expect)
{
    const std::vector<BitmapPage> pages = expectCleanEnd(run);
    if (expect.exitStatus == kAnyStatus && run.exitStatus == 1)
        return pages;
    if (expect.exitStatus != kAnyStatus) {
        EXPECT_EQ(run.exitStatus, expect.exitStatus) << run.err.substr(0, 4000);
    }
    EXPECT_EQ(pages.size(), static_cast<size_t>(expect.pages));
    for (const BitmapPage& page : pages) {
        EXPECT_EQ(page.widthBytes, expect.widthBytes);
        EXPECT_EQ(page.height, expect.height);
    }
    if (!expect.errorLine.empty()) {
        EXPECT_TRUE(hasLogLine(run.err, expect.errorLine)) << "missing: " << expect.errorLine;
    }
    return pages;
}

std::string writeRaster(const TempDir& dir, const std::vector<std::string>& args)
{
    const std::string path = dir.file("job.ras");
    makeRaster(path, args);
    return path;
}

// A raster cut to its first keep bytes (negative: all but the last -keep).
std::string cutRaster(const TempDir& dir, const std::vector<std::string>& args, long keep)
{
    const std::string path = writeRaster(dir, args);
    std::string data = readFile(path);
    data.resize(keep >= 0 ? static_cast<size_t>(keep) : data.size() - static_cast<size_t>(-keep));
    writeFile(path, data);
    return path;
}

std::string randomBytes(uint32_t seed, size_t count)
{
    std::mt19937 engine(seed);
    std::string data(count, '\0');
    for (char& byte : data)
        byte = static_cast<char>(engine() & 0xFF);
    return data;
}

bool startsWithSyncWord(const std::string& data)
{
    for (const char* sync : {"RaSt", "tSaR", "RaS2", "2SaR", "RaS3", "3SaR"}) {
        if (data.compare(0, 4, sync) == 0)
            return true;
    }
    return false;
}

std::string writeBytes(const TempDir& dir, const std::string& data)
{
    const std::string path = dir.file("job.ras");
    writeFile(path, data);
    return path;
}

std::string unsupportedBits(int bits)
{
    return "ERROR:Unsupported bits per pixel : " + std::to_string(bits) +
           " ! Requires 8 bits per pixel!";
}

// ---------------------------------------------------------------------------
// Broken raster streams, run with the test PPD and no options.

struct RasterCase {
    const char* name;
    std::function<std::string(const TempDir&)> raster;
    Expect expect;
    bool headerless = false;  // no header can be read: only the preamble is written
};

const Expect kNoPage = {0, 0, 0, 0, ""};
const Expect kOnePage16x8 = {0, 1, 2, 8, ""};
const Expect kRefused = {1, 0, 0, 0, ""};

const std::vector<RasterCase> kRasterCases = {
    // A stream that ends inside the first header has no page.
    {"TruncatedHeader",
     [](const TempDir& d) { return cutRaster(d, {"fill:16x8:128"}, 200); }, kNoPage, true},
    {"SyncWordOnly", [](const TempDir& d) { return cutRaster(d, {"fill:16x8:128"}, 4); },
     kNoPage, true},
    // A stream that ends inside a page did not end normally: the pages
    // before it print, and the job fails.
    {"TruncatedPixelData",
     [](const TempDir& d) { return cutRaster(d, {"fill:16x8:128", "fill:16x8:128"}, -10); },
     {1, 1, 2, 8, "ERROR:Unable to read the pixel data of page 2, stopping the job"}},
    {"HeaderWithoutPixelData",
     [](const TempDir& d) { return writeRaster(d, {"--no-data", "fill:16x8:128"}); },
     {1, 0, 0, 0, "ERROR:Unable to read the pixel data of page 1, stopping the job"}},
    {"RandomBytesSeed1", [](const TempDir& d) { return writeBytes(d, randomBytes(1, 4096)); },
     kNoPage, true},
    {"RandomBytesSeed2", [](const TempDir& d) { return writeBytes(d, randomBytes(2, 100000)); },
     kNoPage, true},
    // A valid sync word followed by noise: any header at all may result.
    {"SyncWordThenRandomBytes1",
     [](const TempDir& d) { return writeBytes(d, "RaSt" + randomBytes(3, 20000)); },
     {kAnyStatus, 0, 0, 0, ""}},
    {"SyncWordThenRandomBytes2",
     [](const TempDir& d) { return writeBytes(d, "RaS2" + randomBytes(4, 20000)); },
     {kAnyStatus, 0, 0, 0, ""}},
    {"HugePage",
     [](const TempDir& d) {
         return writeRaster(d, {"--header-width", "100000", "--header-height", "100000", "--bpl",
                                "100000", "--no-data", "fill:8x8:0"});
     },
     kRefused},
    {"ZeroResolution",
     [](const TempDir& d) { return writeRaster(d, {"--res", "0", "fill:16x8:128"}); }, kRefused},
    {"ZeroHorizontalResolution",
     [](const TempDir& d) { return writeRaster(d, {"--res", "0x203", "fill:16x8:128"}); },
     kRefused},
    {"ZeroVerticalResolution",
     [](const TempDir& d) { return writeRaster(d, {"--res", "203x0", "fill:16x8:128"}); },
     kRefused},
    {"OneBitPerPixel",
     [](const TempDir& d) { return writeRaster(d, {"--bits", "1", "fill:16x8:128"}); },
     {1, 0, 0, 0, unsupportedBits(1)}},
    {"SixteenBitsPerPixel",
     [](const TempDir& d) { return writeRaster(d, {"--bits", "16", "fill:16x8:128"}); },
     {1, 0, 0, 0, unsupportedBits(16)}},
    // libcups itself refuses a one-colour header of 24 bits, as if the
    // stream ended there: nothing is printed either way.
    {"TwentyFourBitsPerPixel",
     [](const TempDir& d) { return writeRaster(d, {"--bits", "24", "fill:16x8:128"}); },
     {kAnyStatus, 0, 0, 0, ""}},
    // Pages before the unsupported one stay printed.
    {"SixteenBitPageAfterGoodPage",
     [](const TempDir& d) {
         return writeRaster(d, {"fill:16x8:128", "--bits", "16", "fill:16x8:128"});
     },
     {1, 1, 2, 8, unsupportedBits(16)}},
    // Padded rows: the padding is not part of the page.
    {"BytesPerLineAboveWidth",
     [](const TempDir& d) { return writeRaster(d, {"--bpl", "24", "fill:16x8:128"}); },
     kOnePage16x8},
    // Rows shorter than the page would be read past their end.
    {"BytesPerLineBelowWidth",
     [](const TempDir& d) { return writeRaster(d, {"--bpl", "8", "fill:16x8:128"}); }, kRefused},
};

class BrokenRaster : public ::testing::TestWithParam<RasterCase> {};

TEST_P(BrokenRaster, EndsAsExpected)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = GetParam().raster(dir);
    const std::string data = readFile(raster);
    if (std::string(GetParam().name).rfind("RandomBytes", 0) == 0) {
        ASSERT_FALSE(startsWithSyncWord(data)) << "the noise happens to start with a sync word";
    }
    const GuardedResult run = runGuarded(jobArgs("", raster), testPpdPath());
    expectOutcome(run, GetParam().expect);
    if (GetParam().headerless) {
        EXPECT_EQ(run.out, preamble()) << "a stream without a readable header prints nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Hardening, BrokenRaster, ::testing::ValuesIn(kRasterCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The padding bytes of a row must not shift the next row: the left half of
// every row is dots (0 bits), the right half blank paper (1 bits).
TEST(HardeningStride, PaddedRowsKeepTheirPixels)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = writeRaster(dir, {"--bpl", "21", "rect:16x8:0,0,8,8:255"});
    const GuardedResult run = runGuarded(jobArgs("", raster), testPpdPath());
    const std::vector<BitmapPage> pages = expectCleanEnd(run);
    ASSERT_EQ(run.exitStatus, 0);
    ASSERT_EQ(pages.size(), 1u);
    std::string rows;
    for (int y = 0; y < 8; ++y)
        rows += std::string("\x00\xFF", 2);
    EXPECT_EQ(pages[0].data, rows);
}

// ---------------------------------------------------------------------------
// PPDs that are missing, unreadable or hold absurd values.

const std::string kNoPaperSize = "ERROR: Paper size must not less than 1.0 : (0.000000, 0.000000)";

struct PpdCase {
    const char* name;
    std::function<std::string(const TempDir&)> ppd;  // empty path: PPD unset
    std::string options;
    Expect expect;
};

std::string ppdWith(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& lines)
{
    return ppdVariant(dir, lines);
}

// Sets the default choice of a PPD option to value and adds value as a
// choice, so that the marked choice is that value.
std::string ppdDefault(const TempDir& dir, const std::string& keyword, const std::string& value)
{
    return ppdWith(dir, {{"*Default" + keyword + ":",
                          "*Default" + keyword + ": " + value + "\n*" + keyword + " " + value +
                              "/Absurd: \"\""}});
}

const Expect kPaperSizeError = {1, 0, 0, 0, kNoPaperSize};
// A 16 x 8 page still prints, or the job is refused with a clear message.
const Expect kPrintsOrRefuses = {kAnyStatus, 1, 2, 8, ""};

const std::vector<PpdCase> kPpdCases = {
    {"Unset", [](const TempDir&) { return std::string(); }, "", kPaperSizeError},
    {"MissingFile", [](const TempDir& d) { return d.file("absent.ppd"); }, "", kPaperSizeError},
    {"EmptyFile",
     [](const TempDir& d) {
         writeFile(d.file("empty.ppd"), "");
         return d.file("empty.ppd");
     },
     "", kPaperSizeError},
    {"Malformed",
     [](const TempDir& d) {
         writeFile(d.file("bad.ppd"), "*PPD-Adobe: \"4.3\"\n*OpenUI *PageSize: PickOne\n\x01\x02"
                                      "*PageSize w1h1: \"\n*DefaultPageSize w1h1\n*CloseUI");
         return d.file("bad.ppd");
     },
     "", kPaperSizeError},
    {"NotAPpd",
     [](const TempDir& d) {
         writeFile(d.file("noise.ppd"), randomBytes(5, 5000));
         return d.file("noise.ppd");
     },
     "", kPaperSizeError},
    {"OffsetXHuge", [](const TempDir& d) { return ppdDefault(d, "PageOffsetX", "Custom.1e300"); },
     "", kPrintsOrRefuses},
    {"OffsetYHugeNegative",
     [](const TempDir& d) { return ppdDefault(d, "PageOffsetY", "Custom.-1e300"); }, "",
     kPrintsOrRefuses},
    {"OffsetXNan", [](const TempDir& d) { return ppdDefault(d, "PageOffsetX", "Custom.nan"); },
     "", kPrintsOrRefuses},
    {"OffsetXInf", [](const TempDir& d) { return ppdDefault(d, "PageOffsetX", "Custom.inf"); },
     "", kPrintsOrRefuses},
    {"OffsetYMinusInf",
     [](const TempDir& d) { return ppdDefault(d, "PageOffsetY", "Custom.-inf"); }, "",
     kPrintsOrRefuses},
    {"OffsetXBeyondInt",
     [](const TempDir& d) { return ppdDefault(d, "PageOffsetX", "Custom.3e8"); }, "",
     kPrintsOrRefuses},
    {"OffsetXNegative",
     [](const TempDir& d) { return ppdDefault(d, "PageOffsetX", "Custom.-40"); }, "",
     kPrintsOrRefuses},
    {"DarknessHuge", [](const TempDir& d) { return ppdDefault(d, "Darkness", "99999"); }, "",
     kPrintsOrRefuses},
    {"BrightnessHugeNegative",
     [](const TempDir& d) { return ppdDefault(d, "Brightness", "-99999"); }, "",
     kPrintsOrRefuses},
    {"BrightnessBeyondInt",
     [](const TempDir& d) { return ppdDefault(d, "Brightness", "99999999999"); }, "",
     kPrintsOrRefuses},
    {"GapsHeightHuge", [](const TempDir& d) { return ppdDefault(d, "GapsHeight", "2147483647"); },
     "", kPrintsOrRefuses},
    {"GapsHeightNegative",
     [](const TempDir& d) { return ppdDefault(d, "GapsHeight", "-2147483648"); }, "",
     kPrintsOrRefuses},
    {"PrintSpeedLongText",
     [](const TempDir& d) { return ppdDefault(d, "PrintSpeed", std::string(200, '9')); }, "",
     kPrintsOrRefuses},
    // The recording file cannot be created: the job prints all the same.
    {"RecordingIntoMissingFolder",
     [](const TempDir& d) {
         return ppdWith(d, {{"*tavelFilterOutputFile:",
                             "*tavelFilterOutputFile: \"/nonexistent-tavel-folder/sub/rec\""}});
     },
     "RecordPrinterCommands=1", kOnePage16x8},
};

class BrokenPpd : public ::testing::TestWithParam<PpdCase> {};

TEST_P(BrokenPpd, EndsAsExpected)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = writeRaster(dir, {"fill:16x8:128"});
    const GuardedResult run = runGuarded(jobArgs(GetParam().options, raster), GetParam().ppd(dir));
    expectOutcome(run, GetParam().expect);
    if (GetParam().expect.errorLine == kNoPaperSize) {
        EXPECT_EQ(run.out, "") << "nothing reaches the printer without a paper size";
    }
}

INSTANTIATE_TEST_SUITE_P(Hardening, BrokenPpd, ::testing::ValuesIn(kPpdCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Option strings with odd characters and very long values.

struct OptionCase {
    const char* name;
    std::string options;
    Expect expect;
};

const std::vector<OptionCase> kOptionCases = {
    {"QuotesAndBraces", "PageOffsetX=\"'{} \\\" HalftoneType='Tattoo Brightness={1 2}",
     kOnePage16x8},
    {"EmptyKeysAndValues", "= == a= =b   c=d=e ,,", kOnePage16x8},
    {"HighBytes", "HalftoneType=\xff\xfe\x80 MirrorImage=\xc3\xa9 \x7f=\x01", kOnePage16x8},
    {"LongUnknownValue", "Title=" + std::string(100000, 'x'), kOnePage16x8},
    {"LongHalftoneName", "HalftoneType=" + std::string(100000, 'S'), kOnePage16x8},
    {"LongOffsetText", "PageOffsetX=Custom." + std::string(100000, 'x'), kOnePage16x8},
    {"LongOffsetNumber", "PageOffsetX=" + std::string(100000, '9'), kPrintsOrRefuses},
    {"OffsetKeyAtEnd", "PageOffsetY=1 PageOffsetX=", kOnePage16x8},
    {"ManyOptions",
     [] {
         std::string many;
         for (int i = 0; i < 10000; ++i)
             many += "k" + std::to_string(i) + "=v" + std::to_string(i) + " ";
         return many;
     }(),
     kOnePage16x8},
};

class OddOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OddOptions, EndsAsExpected)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = writeRaster(dir, {"fill:16x8:128"});
    expectOutcome(runGuarded(jobArgs(GetParam().options, raster), testPpdPath()),
                  GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Hardening, OddOptions, ::testing::ValuesIn(kOptionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A uniform page through every halftone method: each must finish with one
// bitmap of the page's size. The width is not a multiple of 8, so the row
// fill bits are exercised too.

const char* const kHalftones[] = {"None",   "FloydSteinberg", "Ordered",       "Burkes",
                                  "Stucki", "JarvisJudiceNinke", "Sierra", "StevensonArce",
                                  "Tattoo", "Tattoo_X8"};

class UniformPage : public ::testing::TestWithParam<std::tuple<const char*, int>> {};

TEST_P(UniformPage, PrintsOneBitmapOfThePageSize)
{
    const auto [halftone, level] = GetParam();
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = writeRaster(dir, {"fill:203x101:" + std::to_string(level)});
    const GuardedResult run =
        runGuarded(jobArgs(std::string("HalftoneType=") + halftone, raster), testPpdPath());
    const std::vector<BitmapPage> pages = expectOutcome(run, {0, 1, 26, 101, ""});
    if (std::string(halftone) != "None" || pages.size() != 1)
        return;
    // The plain threshold makes dots only of levels above 128; 203 = 25 x 8
    // + 3, so the last byte of a row carries 3 pixels and 5 fill bits.
    const bool dots = level > 128;
    std::string row(25, dots ? '\x00' : '\xFF');
    row += dots ? '\x1F' : '\xFF';
    std::string expected;
    for (int y = 0; y < 101; ++y)
        expected += row;
    EXPECT_EQ(pages[0].data, expected);
}

INSTANTIATE_TEST_SUITE_P(Hardening, UniformPage,
                         ::testing::Combine(::testing::ValuesIn(kHalftones),
                                            ::testing::Values(0, 128, 255)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace tavel_test
