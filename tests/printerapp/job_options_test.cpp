// The mapping of IPP job attributes onto the encoder's settings, where a
// fault would print with the wrong setting without any error: defaults of
// attributes the job left out, values outside -supported, offsets in dots,
// darkness and speed conversions, copies; and the page header check.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "printerapp/system/models.h"
#include "printerapp/jobs/job_options.h"

namespace {

// A printer of the given driver as PAPPL would create it: its driver data
// and driver attributes from our driver callback.
struct TestPrinter {
    explicit TestPrinter(const char* driver)
    {
        std::memset(&data, 0, sizeof(data));
        EXPECT_TRUE(appDriverCallback(nullptr, driver, "file:///dev/null", "", &data, &attrs,
                                      nullptr));
        model = findModel(driver);
    }
    ~TestPrinter() { ippDelete(attrs); }

    // Job options as PAPPL fills them for a job that gave only VENDOR.
    JobSettings job(const std::string& vendor = "", const char* format = "image/pwg-raster",
                    int copies = 1)
    {
        pappl_pr_options_t options;
        std::memset(&options, 0, sizeof(options));
        options.media = data.media_default;
        options.darkness_configured = data.darkness_configured;
        options.print_speed = data.speed_default;
        options.copies = copies;
        options.num_vendor = cupsParseOptions(vendor.c_str(), 0, &options.vendor);
        tweak(options);
        JobSettings result;
        buildJobSettings(*model, options, attrs, data.mode_configured, format, &result);
        cupsFreeOptions(options.num_vendor, options.vendor);
        return result;
    }

    pappl_pr_driver_data_t data;
    ipp_t* attrs = nullptr;
    const AppModel* model = nullptr;
    std::function<void(pappl_pr_options_t&)> tweak = [](pappl_pr_options_t&) {};
};

TEST(JobOptions, DefaultsAreThoseOfThePpds)
{
    TestPrinter label("tavel_tl4_203dpi");
    JobSettings job = label.job();
    const Settings& s = job.settings;
    EXPECT_EQ(job.notes, "");
    // Unlike the PPD, whose default stays the threshold: a printer made by
    // the application prints photos and barcodes right without a choice.
    EXPECT_EQ(s.halftoneType, DITHER_AUTO);
    EXPECT_STREQ(s.PaperType, "LabelGaps");
    EXPECT_EQ(s.GapsHeight, 2);
    EXPECT_STREQ(s.PostAction, "TearOff");
    EXPECT_STREQ(s.MediaMethod, "Direct");
    EXPECT_STREQ(s.Origin, "Normal");
    EXPECT_STREQ(s.PrintSpeed, "Normal");
    EXPECT_EQ(s.Darkness, 8);
    EXPECT_EQ(s.Brightness, 0);
    EXPECT_EQ(s.MirrorImage + s.NegativeImage + s.ZippedImage, 0);
    EXPECT_STREQ(s.Resolution, "203dpi");
    EXPECT_FALSE(job.record);
    EXPECT_EQ(s.SavePageImages, 0);

    TestPrinter stencil("tavel_ts8_300dpi");
    job = stencil.job();
    EXPECT_EQ(job.settings.halftoneType, DITHER_TATTOO);
    EXPECT_STREQ(job.settings.PaperType, "Continue");
    EXPECT_STREQ(job.settings.PostAction, "Normal");
    EXPECT_STREQ(job.settings.Resolution, "300dpi");
}

TEST(JobOptions, JobValuesAndPrinterDefaultsWin)
{
    TestPrinter label("tavel_tl4_300dpi");
    JobSettings job = label.job("halftone-type=tattoo-x8 image-darkening=-40 mirror-image=true "
                                "print-direction=rotated-180 print-method=thermal-transfer "
                                "compress-label-data=true media-gap-height=10");
    EXPECT_EQ(job.notes, "");
    EXPECT_EQ(job.settings.halftoneType, DITHER_TATTOO_X8);
    EXPECT_EQ(job.settings.Brightness, -40);
    EXPECT_EQ(job.settings.MirrorImage, 1);
    EXPECT_STREQ(job.settings.Origin, "Rotation180");
    EXPECT_STREQ(job.settings.MediaMethod, "Transfer");
    EXPECT_EQ(job.settings.ZippedImage, 1);
    EXPECT_EQ(job.settings.GapsHeight, 10);

    // A default changed on the printer (web page, Set-Printer-Attributes)
    // applies to the next job that leaves the attribute out.
    ipp_attribute_t* def = ippFindAttribute(label.attrs, "halftone-type-default", IPP_TAG_KEYWORD);
    ippSetString(label.attrs, &def, 0, "sierra");
    // The filter's JarvisJudiceNinke is the method that runs Sierra.
    EXPECT_EQ(label.job().settings.halftoneType, DITHER_JARVIS_JUDICE_NINKE);
}

TEST(JobOptions, UnsupportedValuesAreReplacedAndNamed)
{
    TestPrinter label("tavel_tl4_203dpi");
    const struct {
        const char* vendor;
        const char* note;
    } cases[] = {
        {"halftone-type=FloydSteinberg", "halftone-type=FloydSteinberg is not supported, printed with auto"},
        {"image-darkening=41", "image-darkening=41 is not supported, printed with 0"},
        {"image-darkening=5x", "image-darkening=5x is not supported, printed with 0"},
        {"mirror-image=yes", "mirror-image=yes is not supported, printed with false"},
        {"media-gap-height=-1", "media-gap-height=-1 is not supported, printed with 2"},
        {"print-method=ribbon", "print-method=ribbon is not supported, printed with direct-thermal"},
    };
    for (const auto& c : cases) {
        const JobSettings job = label.job(c.vendor);
        EXPECT_EQ(job.notes, c.note) << c.vendor;
        EXPECT_EQ(job.settings.halftoneType, DITHER_AUTO) << c.vendor;
        EXPECT_EQ(job.settings.Brightness, 0) << c.vendor;
        EXPECT_EQ(job.settings.MirrorImage, 0) << c.vendor;
        EXPECT_EQ(job.settings.GapsHeight, 2) << c.vendor;
        EXPECT_STREQ(job.settings.MediaMethod, "Direct") << c.vendor;
    }
    // Two refusals are both named.
    EXPECT_EQ(label.job("halftone-type=x negative-image=2").notes,
              "halftone-type=x is not supported, printed with auto; "
              "negative-image=2 is not supported, printed with false");
}

TEST(JobOptions, OffsetsInDotsAndOutOfRangeRefused)
{
    // Offsets in hundredths of mm; 8 dots per mm at 203 dpi, 12 at 300,
    // rounded to the nearest dot.
    const struct {
        const char* driver;
        int left, top, dotsX, dotsY;
        bool refused;
    } cases[] = {
        {"tavel_tl4_203dpi", 150, -100, 12, -8, false},
        {"tavel_tl4_203dpi", 6, -6, 0, 0, false},      // 0.48 dots
        {"tavel_tl4_203dpi", 7, -7, 1, -1, false},     // 0.56 dots
        {"tavel_tl4_300dpi", 150, -5000, 18, -600, false},
        {"tavel_ts8_300dpi", 5001, 25, 0, 3, true},
    };
    for (const auto& c : cases) {
        TestPrinter printer(c.driver);
        printer.tweak = [&c](pappl_pr_options_t& o) {
            o.media.left_offset = c.left;
            o.media.top_offset = c.top;
        };
        const JobSettings job = printer.job();
        EXPECT_EQ(job.offsetX, c.dotsX) << c.driver << " " << c.left;
        EXPECT_EQ(job.offsetY, c.dotsY) << c.driver << " " << c.top;
        EXPECT_EQ(job.notes.find("media-left-offset=5001 is not supported") == 0, c.refused);
    }
}

TEST(JobOptions, DarknessSpeedTrackingAndLabelMode)
{
    TestPrinter label("tavel_tl4_203dpi");
    const struct {
        int configured, darkness, density;
    } darkness[] = {{53, 0, 8}, {53, 27, 12}, {100, 100, 15}, {0, -100, 0}, {30, 3, 5}};
    for (const auto& d : darkness) {
        label.tweak = [&d](pappl_pr_options_t& o) {
            o.darkness_configured = d.configured;
            o.print_darkness = d.darkness;
        };
        EXPECT_EQ(label.job().settings.Darkness, d.density) << d.configured << "+" << d.darkness;
    }

    const struct {
        int speed;
        const char* text;
        bool refused;
    } speeds[] = {{0, "Normal", false}, {5080, "2", false}, {10160, "4", false},
                  {15240, "6", false}, {2540, "Normal", true}, {17780, "Normal", true}};
    for (const auto& s : speeds) {
        label.tweak = [&s](pappl_pr_options_t& o) { o.print_speed = s.speed; };
        const JobSettings job = label.job();
        EXPECT_STREQ(job.settings.PrintSpeed, s.text) << s.speed;
        EXPECT_EQ(!job.notes.empty(), s.refused) << s.speed;
    }

    label.tweak = [](pappl_pr_options_t& o) { o.media.tracking = PAPPL_MEDIA_TRACKING_MARK; };
    EXPECT_STREQ(label.job().settings.PaperType, "LabelMark");
    label.tweak = [](pappl_pr_options_t& o) { std::strcpy(o.media.type, "continuous"); };
    EXPECT_STREQ(label.job().settings.PaperType, "Continue");

    label.data.mode_configured = PAPPL_LABEL_MODE_CUTTER_DELAYED;
    EXPECT_STREQ(label.job().settings.PostAction, "PartialCut");
    label.data.mode_configured = PAPPL_LABEL_MODE_PEEL_OFF;
    EXPECT_STREQ(label.job().settings.PostAction, "PeelOff");
}

TEST(JobOptions, CopiesAreNeverMultipliedTwice)
{
    TestPrinter label("tavel_tl4_203dpi");
    EXPECT_EQ(label.job("", "image/pwg-raster", 3).copies, 3);  // raster: PRINT 1,3
    EXPECT_EQ(label.job("", "image/png", 3).copies, 1);  // PNG/JPEG: PAPPL repeats the page
    EXPECT_EQ(label.job("", "image/jpeg", 3).copies, 1);
    EXPECT_EQ(label.job("", "image/pwg-raster", 0).copies, 1);
}

TEST(JobOptions, PhotosGetAHalftoneUnlessOneIsNamed)
{
    const DitherType diffusion = DITHER_JARVIS_JUDICE_NINKE;  // runs "sierra"
    ASSERT_STREQ(kHalftoneKeywords[diffusion], kPhotoHalftone);
    const struct {
        const char* format;
        pappl_content_t content;
        const char* vendor;
        const char* printerDefault;
        DitherType expected;
    } cases[] = {
        {"image/jpeg", PAPPL_CONTENT_AUTO, "", "threshold", diffusion},
        {"image/png", PAPPL_CONTENT_PHOTO, "", "threshold", diffusion},
        {"image/pwg-raster", PAPPL_CONTENT_PHOTO, "", "threshold", diffusion},
        {"image/png", PAPPL_CONTENT_AUTO, "", "threshold", DITHER_NONE},
        {"image/jpeg", PAPPL_CONTENT_TEXT, "", "threshold", DITHER_NONE},
        {"image/jpeg", PAPPL_CONTENT_AUTO, "halftone-type=threshold", "threshold", DITHER_NONE},
        {"image/jpeg", PAPPL_CONTENT_AUTO, "", "burkes", DITHER_ORDERED},
        {"image/jpeg", PAPPL_CONTENT_PHOTO, "halftone-type=bayer", "threshold", DITHER_STEVENSON_ARCE},
        // The automatic halftone already diffuses a photo, in whatever format.
        {"image/png", PAPPL_CONTENT_AUTO, "", "auto", DITHER_AUTO},
        {"image/jpeg", PAPPL_CONTENT_PHOTO, "", "auto", DITHER_AUTO},
        {"image/jpeg", PAPPL_CONTENT_AUTO, "halftone-type=auto", "threshold", DITHER_AUTO},
    };
    for (const auto& c : cases) {
        TestPrinter label("tavel_tl4_203dpi");
        ipp_attribute_t* def = ippFindAttribute(label.attrs, "halftone-type-default", IPP_TAG_KEYWORD);
        ippSetString(label.attrs, &def, 0, c.printerDefault);
        label.tweak = [&c](pappl_pr_options_t& o) { o.print_content_optimize = c.content; };
        EXPECT_EQ(label.job(c.vendor, c.format).settings.halftoneType, c.expected)
            << c.format << " " << c.content << " " << c.vendor << " " << c.printerDefault;
    }
}

TEST(JobOptions, PageImagesAreThePrintersSettingAlone)
{
    TestPrinter label("tavel_tl4_203dpi");
    JobSettings job = label.job("save-page-images=true");
    EXPECT_EQ(job.settings.SavePageImages, 0);
    EXPECT_EQ(job.notes, "save-page-images is a printer setting, the job's value is ignored");
    ipp_attribute_t* def = ippFindAttribute(label.attrs, "save-page-images-default", IPP_TAG_BOOLEAN);
    ippSetBoolean(label.attrs, &def, 0, 1);
    EXPECT_EQ(label.job().settings.SavePageImages, 1);
    EXPECT_EQ(label.job("save-page-images=false").settings.SavePageImages, 1);
}

TEST(PageHeader, PagesOfAnotherSizeAreFittedUnprintableOnesRefused)
{
    const AppModel& label = *findModel("tavel_tl4_203dpi");
    pappl_media_col_t media = {};
    std::strcpy(media.size_name, "oe_4x2-label_4x2in");
    media.size_width = 10160;
    media.size_length = 5080;

    cups_page_header2_t good = {};
    good.cupsBitsPerPixel = good.cupsBitsPerColor = 8;
    good.cupsNumColors = 1;
    good.cupsColorSpace = CUPS_CSPACE_SW;
    good.HWResolution[0] = good.HWResolution[1] = 203;
    good.cupsWidth = good.cupsBytesPerLine = 812;
    good.cupsHeight = 406;

    char message[512];
    PageLevels levels = PageLevels::kInk;
    bool fit = true;
    EXPECT_TRUE(checkPageHeader(label, good, &media, &levels, &fit, message, sizeof(message)));
    EXPECT_EQ(levels, PageLevels::kInverted);
    EXPECT_FALSE(fit);
    cups_page_header2_t k = good;
    k.cupsColorSpace = CUPS_CSPACE_K;
    EXPECT_TRUE(checkPageHeader(label, k, nullptr, &levels, &fit, message, sizeof(message)));
    EXPECT_EQ(levels, PageLevels::kInk);

    // Pages of another size than the label's are fitted onto it.
    const struct {
        const char* what;
        void (*change)(cups_page_header2_t&);
        bool withMedia;
    } fitted[] = {
        {"too wide", [](cups_page_header2_t& h) { h.cupsWidth = h.cupsBytesPerLine = 833; }, false},
        {"Letter", [](cups_page_header2_t& h) { h.cupsWidth = h.cupsBytesPerLine = 1726; h.cupsHeight = 2233; }, false},
        {"other media", [](cups_page_header2_t& h) { h.cupsHeight = 1218; }, true},
        {"one dot short", [](cups_page_header2_t& h) { h.cupsHeight = 403; }, true},
    };
    for (const auto& f : fitted) {
        cups_page_header2_t header = good;
        f.change(header);
        fit = false;
        EXPECT_TRUE(checkPageHeader(label, header, f.withMedia ? &media : nullptr, &levels, &fit,
                                    message, sizeof(message))) << f.what;
        EXPECT_TRUE(fit) << f.what;
    }
    cups_page_header2_t near = good;
    near.cupsHeight = 404;  // two dots of rounding
    EXPECT_TRUE(checkPageHeader(label, near, &media, &levels, &fit, message, sizeof(message)));
    EXPECT_FALSE(fit);

    const struct {
        const char* what;
        void (*change)(cups_page_header2_t&);
        const char* text;
    } bad[] = {
        {"1-bit", [](cups_page_header2_t& h) { h.cupsBitsPerPixel = h.cupsBitsPerColor = 1; }, "8-bit grey"},
        {"packed rows", [](cups_page_header2_t& h) { h.cupsBytesPerLine = 102; }, "bytes per line"},
        {"colour", [](cups_page_header2_t& h) { h.cupsColorSpace = CUPS_CSPACE_SRGB; }, "colour space"},
        {"300 dpi", [](cups_page_header2_t& h) { h.HWResolution[0] = h.HWResolution[1] = 300; }, "300x300 dpi"},
        {"absurd size", [](cups_page_header2_t& h) { h.cupsWidth = h.cupsBytesPerLine = 40000; }, "not a page"},
    };
    for (const auto& b : bad) {
        cups_page_header2_t header = good;
        b.change(header);
        message[0] = '\0';
        EXPECT_FALSE(checkPageHeader(label, header, &media, &levels, &fit, message, sizeof(message)))
            << b.what;
        EXPECT_NE(std::strstr(message, b.text), nullptr) << b.what << ": " << message;
    }
}

}  // namespace
