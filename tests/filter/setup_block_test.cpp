// The TSPL set-up block written before every page, for the choices a PPD
// offers: paper sensing, direction, speed and density, ribbon, post action.
#include <gtest/gtest.h>

#include "filter_harness.h"

using namespace tavel_test;

namespace {

const std::string kPreamble(64, '\n');

// A 16 x 2 blank page at 203 dpi: SIZE 2.0 mm, 0.3 mm, and a bitmap of two
// rows of two 0xFF bytes (blank paper is a 1 bit).
const std::string kBlankPageBitmap =
    "BITMAP 0,0,2,2,0,\xFF\xFF\xFF\xFF\r\nPRINT 1,1\r\n";

struct SetupCase {
    const char* name;
    const char* options;
    const char* block;  // everything between SIZE and CLS
};

class SetupBlock : public ::testing::TestWithParam<SetupCase> {};

TEST_P(SetupBlock, MatchesTheChoices)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});

    const RunResult result = runFilter(jobArgs(GetParam().options, raster), testPpdPath());
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::string expected = kPreamble + "SIZE 2.0 mm, 0.3 mm\r\n" + GetParam().block +
                                 "CLS\r\n" + kBlankPageBitmap;
    EXPECT_EQ(result.out, expected);
}

// The test PPD's defaults: gap labels of 3 mm, normal origin, speed 4,
// darkness 8, direct thermal, tear off.
const char kDefaultTail[] =
    "REFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\nDENSITY 8\r\nSET RIBBON OFF\r\n"
    "OFFSET 0.0 mm\r\nSET TEAR ON\r\nSET PEEL OFF\r\nSET CUTTER OFF\r\n";

INSTANTIATE_TEST_SUITE_P(
    Choices, SetupBlock,
    ::testing::Values(
        SetupCase{"PpdDefaults", "", "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\n"
                      "DENSITY 8\r\nSET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\n"
                      "SET PEEL OFF\r\nSET CUTTER OFF\r\n"},
        SetupCase{"NormalPaperSkipsGap", "PaperType=Normal", kDefaultTail},
        SetupCase{"ContinuousPaper", "PaperType=Continue", "GAP 0, 0\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\n"
                                        "DENSITY 8\r\nSET RIBBON OFF\r\nOFFSET 0.0 mm\r\n"
                                        "SET TEAR ON\r\nSET PEEL OFF\r\nSET CUTTER OFF\r\n"},
        SetupCase{"BlackMark", "PaperType=LabelMark GapsHeight=2",
                  "BLINE 2.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\n"
                  "DENSITY 8\r\nSET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\n"
                  "SET PEEL OFF\r\nSET CUTTER OFF\r\n"},
        SetupCase{"BlackMarkWithoutHeight", "PaperType=LabelMark GapsHeight=0",
                  "GAP 0, 0\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\nDENSITY 8\r\n"
                  "SET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\nSET PEEL OFF\r\n"
                  "SET CUTTER OFF\r\n"},
        SetupCase{"UnknownPaperWithoutHeight", "PaperType=Plain GapsHeight=0",
                  "GAP 0, 0\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\nDENSITY 8\r\n"
                  "SET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\nSET PEEL OFF\r\n"
                  "SET CUTTER OFF\r\n"},
        SetupCase{"UnknownPaperWithHeight", "PaperType=Plain", kDefaultTail},
        SetupCase{"Rotated", "Origin=Rotation180 PrintSpeed=2.5 Darkness=30",
                  "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 1,0\r\nSPEED 2.5\r\n"
                  "DENSITY 30\r\nSET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\n"
                  "SET PEEL OFF\r\nSET CUTTER OFF\r\n"},
        SetupCase{"NoSpeedNoDensity", "PrintSpeed=Normal Darkness=31",
                  "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\n"
                  "SET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\nSET PEEL OFF\r\n"
                  "SET CUTTER OFF\r\n"},
        SetupCase{"ZeroSpeedNegativeDensity", "PrintSpeed=0 Darkness=-1",
                  "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\n"
                  "SET RIBBON OFF\r\nOFFSET 0.0 mm\r\nSET TEAR ON\r\nSET PEEL OFF\r\n"
                  "SET CUTTER OFF\r\n"},
        SetupCase{"TransferPartialCut", "Darkness=0 MediaMethod=Transfer PostAction=PartialCut",
                  "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\n"
                  "DENSITY 0\r\nSET RIBBON ON\r\nOFFSET 0.0 mm\r\nSET TEAR OFF\r\n"
                  "SET PEEL OFF\r\nSET CUTTER ON\r\n"},
        SetupCase{"UnknownRibbonPeelOff", "MediaMethod=Printer PostAction=PeelOff",
                  "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\n"
                  "DENSITY 8\r\nOFFSET 0.0 mm\r\nSET TEAR OFF\r\nSET PEEL ON\r\n"
                  "SET CUTTER OFF\r\n"},
        SetupCase{"Cut", "PostAction=Cut", "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\n"
                                    "SPEED 4\r\nDENSITY 8\r\nSET RIBBON OFF\r\nOFFSET 0.0 mm\r\n"
                                    "SET TEAR OFF\r\nSET PEEL OFF\r\nSET CUTTER ON\r\n"},
        SetupCase{"PostActionNone", "PostAction=None", "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\n"
                                     "SPEED 4\r\nDENSITY 8\r\nSET RIBBON OFF\r\nOFFSET 0.0 mm\r\n"
                                     "SET TEAR OFF\r\nSET PEEL OFF\r\nSET CUTTER OFF\r\n"},
        SetupCase{"PostActionNormal", "PostAction=Normal", "GAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\n"
                                       "SPEED 4\r\nDENSITY 8\r\nSET RIBBON OFF\r\n"
                                       "OFFSET 0.0 mm\r\n"}),
    [](const ::testing::TestParamInfo<SetupCase>& info) { return info.param.name; });

TEST(SetupBlockLog, PaperTypeDecisionsAreLogged)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("page.ras");
    makeRaster(raster, {"fill:16x2:0"});

    RunResult normal = runFilter(jobArgs("PaperType=Normal", raster), testPpdPath());
    EXPECT_TRUE(hasLogLine(normal.err, "DEBUG:Skip the GAP cmd by Normal paper type"));

    RunResult unknown = runFilter(jobArgs("PaperType=Plain", raster), testPpdPath());
    EXPECT_TRUE(hasLogLine(unknown.err, "DEBUG:Unknown paper type: Plain!"));

    // With a height of 0 the paper type is never examined.
    RunResult zero = runFilter(jobArgs("PaperType=Plain GapsHeight=0", raster), testPpdPath());
    EXPECT_TRUE(logLines(zero.err, "DEBUG:Unknown paper type").empty());
}

TEST(SetupBlockSize, FollowsEachPageRasterNotThePpd)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string raster = dir.file("pages.ras");
    // 812 dots at 203 dpi is 101.6 mm; 300 dots at 300 dpi is 25.4 mm.
    makeRaster(raster, {"fill:812x8:0", "--res", "300", "fill:300x600:0"});

    const RunResult result = runFilter(jobArgs("", raster), testPpdPath());
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const size_t first = result.out.find("SIZE 101.6 mm, 1.0 mm\r\n");
    const size_t second = result.out.find("SIZE 25.4 mm, 50.8 mm\r\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_TRUE(hasLogLine(result.err, "DEBUG:pageWidth: 101.599998,pageHeight: 1.000985"));
}

}  // namespace
