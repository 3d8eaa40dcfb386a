// Job settings seen through the printed page: page offsets from the option
// string or the PPD, boolean and halftone choices, the PPD page size.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>

#include "filter_harness.h"

using namespace tavel_test;

namespace {

struct Bitmap {
    int widthBytes = 0;
    int height = 0;
    int mode = -1;
    std::string data;
};

// The first BITMAP command of a TSPL stream (raw mode).
Bitmap firstBitmap(const std::string& tspl)
{
    Bitmap bitmap;
    const size_t at = tspl.find("BITMAP ");
    if (at == std::string::npos)
        return bitmap;
    int x = 0;
    int y = 0;
    int consumed = 0;
    if (std::sscanf(tspl.c_str() + at, "BITMAP %d,%d,%d,%d,%d,%n", &x, &y, &bitmap.widthBytes,
                    &bitmap.height, &bitmap.mode, &consumed) != 5)
        return bitmap;
    const size_t size = static_cast<size_t>(bitmap.widthBytes) * bitmap.height;
    bitmap.data = tspl.substr(at + consumed, size);
    return bitmap;
}

// Bitmap of a page that is black everywhere, shifted by (dx, dy): a dot (0
// bit) wherever a source pixel lands, 1 bits elsewhere and in the fill bits.
std::string shiftedBlackPage(int width, int height, int dx, int dy)
{
    const int widthBytes = (width + 7) / 8;
    std::string bits(static_cast<size_t>(widthBytes) * height, '\xFF');
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int sx = x - dx;
            const int sy = y - dy;
            if (sx >= 0 && sx < width && sy >= 0 && sy < height)
                bits[y * widthBytes + x / 8] &= static_cast<char>(~(0x80 >> (x % 8)));
        }
    }
    return bits;
}

struct OffsetCase {
    const char* name;
    const char* options;
    std::vector<std::pair<std::string, std::string>> ppdLines;
    int dx;
    int dy;
};

class PageOffsets : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(PageOffsets, ShiftThePrintedImage)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:40x30:255"});
    const std::string ppd =
        GetParam().ppdLines.empty() ? testPpdPath() : ppdVariant(dir, GetParam().ppdLines);

    const RunResult result = runFilter(jobArgs(GetParam().options, raster), ppd);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const Bitmap bitmap = firstBitmap(result.out);
    ASSERT_EQ(bitmap.widthBytes, 5);
    ASSERT_EQ(bitmap.height, 30);
    EXPECT_EQ(bitmap.data, shiftedBlackPage(40, 30, GetParam().dx, GetParam().dy));
}

const std::vector<std::pair<std::string, std::string>> kPpdOffsets = {
    {"*DefaultPageOffsetX:", "*DefaultPageOffsetX: Custom.2.0"},
    {"*DefaultPageOffsetY:", "*DefaultPageOffsetY: Custom.1.0"},
};

INSTANTIATE_TEST_SUITE_P(
    Settings, PageOffsets,
    ::testing::Values(
        OffsetCase{"None", "", {}, 0, 0},
        OffsetCase{"At203", "PageOffsetX=2 PageOffsetY=1", {}, 16, 8},
        OffsetCase{"At300", "PageOffsetX=2 PageOffsetY=1 Resolution=300dpi", {}, 24, 12},
        OffsetCase{"At300Prefix", "PageOffsetX=1 PageOffsetY=1 Resolution=300x300dpi", {}, 12, 12},
        OffsetCase{"At600", "PageOffsetX=1 PageOffsetY=0.5 Resolution=600dpi", {}, 24, 12},
        OffsetCase{"At1200FallsBackTo8", "PageOffsetX=1 Resolution=1200dpi", {}, 8, 0},
        OffsetCase{"Negative", "PageOffsetX=-1 PageOffsetY=-2", {}, -8, -16},
        OffsetCase{"CustomPrefix", "PageOffsetX=Custom.1.5 PageOffsetY=0", {}, 12, 0},
        OffsetCase{"HalfRoundsAway", "PageOffsetX=0.3125 PageOffsetY=-0.3125", {}, 3, -3},
        OffsetCase{"LargerThanPage", "PageOffsetX=6 PageOffsetY=0", {}, 48, 0},
        OffsetCase{"UnparsableIsZero", "PageOffsetX=abc PageOffsetY=1", kPpdOffsets, 0, 8},
        OffsetCase{"OnlyYTakesBothFromPpd", "PageOffsetY=3", kPpdOffsets, 16, 8},
        OffsetCase{"PpdDefaults", "", kPpdOffsets, 16, 8},
        OffsetCase{"PpdNone", "",
                   {{"*DefaultPageOffsetX:", "*DefaultPageOffsetX: None"},
                    {"*DefaultPageOffsetY:", "*DefaultPageOffsetY: Custom.-1.0"}},
                   0, -8}),
    [](const ::testing::TestParamInfo<OffsetCase>& info) { return info.param.name; });

// A page whose left half is black: mirrored, the right half prints.
struct MirrorCase {
    const char* name;
    const char* mirrorChoice;
    bool mirrored;
};

class BooleanChoice : public ::testing::TestWithParam<MirrorCase> {};

TEST_P(BooleanChoice, DecidesMirroring)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"rect:16x1:0,0,8,1:255"});
    const std::string ppd = ppdVariant(
        dir, {{"*DefaultMirrorImage:",
               std::string("*DefaultMirrorImage: ") + GetParam().mirrorChoice}});

    const RunResult result = runFilter(jobArgs("", raster), ppd);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const Bitmap bitmap = firstBitmap(result.out);
    EXPECT_EQ(bitmap.data, GetParam().mirrored ? std::string("\xFF\x00", 2)
                                               : std::string("\x00\xFF", 2));
}

INSTANTIATE_TEST_SUITE_P(Settings, BooleanChoice,
                         ::testing::Values(MirrorCase{"False", "False", false},
                                           MirrorCase{"True", "True", true},
                                           MirrorCase{"UpperYes", "YES", true},
                                           MirrorCase{"OnIsNotAWord", "On", false},
                                           MirrorCase{"NumberTwo", "2", true}),
                         [](const ::testing::TestParamInfo<MirrorCase>& info) {
                             return info.param.name;
                         });

TEST(SettingsLog, RecordsEveryKeywordAndThePpdPageSize)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});

    const RunResult result = runFilter(
        jobArgs("PageSize=w288h216 HalftoneType=Tattoo_X8 ZIP=True NegativeImage=true", raster),
        testPpdPath());
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::vector<std::string> expected = {
        "DEBUG:PageSizeName: w288h216",
        "DEBUG:Custom Size: (288.000000,216.000000,0.000000,0.000000,288.000000,216.000000)",
        "DEBUG:Set page size: width 101.606400 mm, height 76.204803 mm",
        "DEBUG:settings->Resolution:203dpi",
        "DEBUG:settings->MediaMethod:Direct",
        "DEBUG:settings->PaperType:LabelGaps",
        "DEBUG:settings->GapsHeight:3",
        "DEBUG:settings->PostAction:TearOff",
        "DEBUG:settings->Occurrence:Page",
        "DEBUG:settings->Origin:Normal",
        "DEBUG:settings->MirrorImage:0",
        "DEBUG:settings->NegativeImage:1",
        "DEBUG:settings->ZippedImage:1",
        "DEBUG:settings->PrintSpeed:4",
        "DEBUG:settings->Darkness:8",
        "DEBUG:settings->halftoneType:9",
        "DEBUG:settings->DirectBuffer:0",
        "DEBUG:settings->StoredGraphics:0",
        "DEBUG:settings->OptionDisplayUnit:0",
        "DEBUG:settings->PageSize:w288h216",
        "DEBUG:settings->pageWidth:101.606400",
        "DEBUG:settings->pageHeight:76.204803",
    };
    // The lines appear in this order, before any page is read.
    size_t from = 0;
    for (const std::string& line : expected) {
        const size_t at = result.err.find(line + "\n", from);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line;
        from = at + line.size();
    }
    EXPECT_LT(from, result.err.find("DEBUG:pageWidth:"));
}

TEST(SettingsLog, HalftoneNamesMatchExactly)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});
    const char* const names[] = {"None",   "FloydSteinberg", "Ordered",       "Burkes", "Stucki",
                                 "JarvisJudiceNinke", "Sierra", "StevensonArce", "Tattoo",
                                 "Tattoo_X8", "Auto"};
    // The shipped PPDs offer Auto; the test PPD gets it here.
    const std::string withAuto =
        ppdVariant(dir, {{"*HalftoneType Tattoo_X8/",
                          "*HalftoneType Tattoo_X8/Tattoo_X8: \"\"\n*HalftoneType Auto/Auto: \"\""}});
    for (int value = 0; value < static_cast<int>(std::size(names)); ++value) {
        const RunResult result =
            runFilter(jobArgs(std::string("HalftoneType=") + names[value], raster), withAuto);
        EXPECT_TRUE(hasLogLine(result.err, "DEBUG:settings->halftoneType:" + std::to_string(value)))
            << names[value];
    }

    // A PPD choice that differs from a name only in letter case is no name.
    const std::string ppd =
        ppdVariant(dir, {{"*DefaultHalftoneType:", "*DefaultHalftoneType: tattoo"},
                         {"*HalftoneType Tattoo/", "*HalftoneType tattoo/Lower Case: \"\""},
                         {"*HalftoneType Tattoo_X8/", ""}});
    const RunResult lower = runFilter(jobArgs("", raster), ppd);
    EXPECT_TRUE(hasLogLine(lower.err, "DEBUG:settings->halftoneType:0")) << lower.err;
}

// The page dump switch follows the queue's default and the job's option like
// every boolean choice; the bound comes from the PPD attribute in MiB.
TEST(SettingsLog, PageDumpSwitchAndBound)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});
    struct Case {
        const char* options;
        std::vector<std::pair<std::string, std::string>> ppdLines;
        int saved;
        const char* bound;
    };
    const std::string noDumps = "*DefaultSavePageImages: False";
    const Case cases[] = {
        {"", {}, 1, "1073741824"},
        {"SavePageImages=False", {}, 0, "1073741824"},
        {"", {{"*DefaultSavePageImages:", noDumps}}, 0, "1073741824"},
        {"SavePageImages=True", {{"*DefaultSavePageImages:", noDumps}}, 1, "1073741824"},
        {"", {{"*OpenUI *SavePageImages", ""}, {"*DefaultSavePageImages:", ""}}, 1, "1073741824"},
        {"", {{"*tavelPageImagesMaxMiB:", "*tavelPageImagesMaxMiB: \"1\""}}, 1, "1048576"},
        {"", {{"*tavelPageImagesMaxMiB:", "*tavelPageImagesMaxMiB: \"-3\""}}, 1, "1073741824"},
        {"", {{"*tavelPageImagesMaxMiB:", "*tavelPageImagesMaxMiB: \"2 GiB\""}}, 1, "1073741824"},
        {"", {{"*tavelPageImagesMaxMiB:", ""}}, 1, "1073741824"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.options) + (c.ppdLines.empty() ? "" : " " + c.ppdLines[0].second));
        const std::string ppd = c.ppdLines.empty() ? testPpdPath() : ppdVariant(dir, c.ppdLines);
        const RunResult result = runFilter(jobArgs(c.options, raster), ppd);
        ASSERT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_TRUE(hasLogLine(result.err, "DEBUG:settings->SavePageImages:" + std::to_string(c.saved)))
            << result.err;
        EXPECT_TRUE(hasLogLine(result.err, std::string("DEBUG:settings->PageImagesMaxBytes:") + c.bound));
        // Each dump is named in the log, written or not; without dumps no
        // name appears at all.
        EXPECT_EQ(result.err.find("origin_") != std::string::npos, c.saved == 1);
        EXPECT_EQ(result.err.find("dithered_") != std::string::npos, c.saved == 1);
        const bool badBound = c.ppdLines.size() == 1 && c.ppdLines[0].second.find("MiB: \"") != std::string::npos &&
                              std::string(c.bound) != "1048576";
        EXPECT_EQ(result.err.find("WARN:tavelPageImagesMaxMiB") != std::string::npos, badBound);
    }
}

}  // namespace
