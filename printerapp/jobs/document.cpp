// PNG and JPEG documents: the application decodes them itself, turns them
// as their EXIF orientation says, and hands the pixels to PAPPL's image
// placement (papplJobFilterImage), which scales and places them on the
// label and calls the job's raster callbacks. A carrier page (an image
// larger than the label holding one ruled box shaped like it) is cut to
// its box here instead, unless label-crop is none, and printed as a drawn
// page, as a PDF's are.
//
// PAPPL 1.3.1's own PNG filter loops for ever, logging "PNG: Read Error"
// at full speed, on an image it finds too large, and neither Cancel-Job nor
// SIGTERM stops it. Here an image's size is read from its header and an
// image larger than appMaxImagePixels is refused before any pixel is
// decoded; a damaged image fails the job at the first error; a canceled
// job or a server that shuts down stops the decoding within a few rows.
#include "printerapp/jobs/document.h"

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "printerapp/jobs/drawn_pages.h"
#include "printerapp/jobs/exif_orientation.h"
#include "printerapp/jobs/job_model.h"
#include "printerapp/jobs/label_crop.h"
#include "printerapp/jobs/pdf_document.h"
#include "printerapp/system/stop.h"

namespace {

// The format the drivers take (models.cpp): raw TSPL.
const char* const kDriverFormat = "application/vnd.tavel-tspl";

// Rows decoded between two looks at the job's cancel flag.
constexpr unsigned kRowsBetweenChecks = 64;

struct FileCloser {
    void operator()(FILE* file) const
    {
        if (file != nullptr)
            std::fclose(file);
    }
};

struct OptionsDeleter {
    void operator()(pappl_pr_options_t* options) const { papplJobDeletePrintOptions(options); }
};

bool jobStopped(pappl_job_t* job)
{
    return papplJobIsCanceled(job) ||
           appServerStopping(papplPrinterGetSystem(papplJobGetPrinter(job)));
}

// An image's pixels, grey (depth 1) or RGB (depth 3), top row first.
struct Image {
    unsigned width = 0;
    unsigned height = 0;
    int depth = 1;
    int ppi = 0;  // 0 when the image does not say
    int orientation = 1;  // EXIF orientation of the stored pixels
    std::vector<unsigned char> pixels;
};

// Checks the size an image's header gives; false with a message for the
// job when it is empty or too large for the printer.
bool checkImageSize(pappl_job_t* job, const char* kind, unsigned width, unsigned height)
{
    const AppModel* model = appModelOfJob(job);
    if (model == nullptr) {
        papplJobSetMessage(job, "The printer has no Tavel driver.");
        return false;
    }
    const uint64_t pixels = uint64_t(width) * height;
    if (pixels == 0 || pixels > appMaxImagePixels(*model)) {
        papplJobSetMessage(job,
                           "The %s image is %ux%u pixels: more than this printer can print "
                           "(at most %llu pixels).",
                           kind, width, height,
                           static_cast<unsigned long long>(appMaxImagePixels(*model)));
        return false;
    }
    return true;
}

// Prints image through PAPPL's placement with the job's options.
bool printImage(pappl_job_t* job, pappl_device_t* device, const Image& image)
{
    std::unique_ptr<pappl_pr_options_t, OptionsDeleter> options(
        papplJobCreatePrintOptions(job, 1, false));
    if (!options) {
        papplJobSetMessage(job, "Out of memory while preparing the job.");
        return false;
    }
    // Nearest-neighbour scaling keeps the edges of bar codes and text sharp;
    // the halftoning that follows makes the grey levels.
    return papplJobFilterImage(job, device, options.get(), image.pixels.data(),
                               static_cast<int>(image.width), static_cast<int>(image.height),
                               image.depth, image.ppi, false);
}

// One byte of ink a pixel (0 = blank, 255 = full ink) from the image's
// grey or RGB pixels: 255 less the grey (or the RGB's luminance, in
// integers).
std::vector<unsigned char> inkOf(const Image& image)
{
    std::vector<unsigned char> ink(static_cast<size_t>(image.width) * image.height);
    const unsigned char* p = image.pixels.data();
    for (size_t i = 0; i < ink.size(); ++i, p += image.depth) {
        const unsigned grey =
            image.depth == 3 ? (p[0] * 299u + p[1] * 587u + p[2] * 114u + 500) / 1000 : p[0];
        ink[i] = static_cast<unsigned char>(255 - grey);
    }
    return ink;
}

// Prints image when it is a carrier page: its label box cut out, fitted
// and printed through the raster callbacks, once per copy (the job's
// settings leave an image's copies to its pages, as PAPPL's placement
// repeats them). *printed says whether it was one; false with a message
// when the job failed. An image that does not say its resolution is taken
// at the printer's.
bool printCarrierImage(pappl_job_t* job, pappl_device_t* device, const Image& image,
                       bool* printed)
{
    *printed = false;
    const AppModel* model = appModelOfJob(job);
    if (model == nullptr) {
        papplJobSetMessage(job, "The printer has no Tavel driver.");
        return false;
    }
    DrawnPages pages(job, device, 0);
    unsigned labelWidth = 0, labelHeight = 0;
    if (!pages.labelSize(&labelWidth, &labelHeight))
        return false;
    std::vector<unsigned char> fitted;
    std::string note;
    if (!cutOutLabelBox(inkOf(image), image.width, image.height,
                        image.ppi > 0 ? image.ppi : model->dpi, labelWidth, labelHeight,
                        model->dpi, &fitted, &note))
        return true;
    *printed = true;
    // The job's start may have left notes on refused values: kept first.
    const char* notes = papplJobGetMessage(job);
    if (notes != nullptr && *notes != '\0')
        note = std::string(notes) + "; " + note;
    for (int copy = 0; copy < pages.copiesAsked(); ++copy) {
        if (jobStopped(job))
            return true;
        if (!pages.print(fitted))
            return false;
        if (copy == 0) {
            papplJobSetMessage(job, "%s", note.c_str());
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%s", note.c_str());
        }
    }
    return pages.finish() || jobStopped(job);
}

// ---- PNG ----

struct PngReader {
    pappl_job_t* job;
    char error[200] = "";
};

void pngError(png_structp png, png_const_charp message)
{
    PngReader* reader = static_cast<PngReader*>(png_get_error_ptr(png));
    std::snprintf(reader->error, sizeof(reader->error), "%s", message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp png, png_const_charp message)
{
    PngReader* reader = static_cast<PngReader*>(png_get_error_ptr(png));
    papplLogJob(reader->job, PAPPL_LOGLEVEL_WARN, "PNG: %s", message);
}

// Decodes the PNG file into image; false with a message for the job. The
// libpng state is cleaned up on every path, the error path included.
bool decodePng(pappl_job_t* job, FILE* file, Image* image)
{
    PngReader reader = {job};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, pngError, pngWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        papplJobSetMessage(job, "Out of memory while reading the PNG image.");
        return false;
    }
    // Everything setjmp may come back to lives outside this frame or is
    // volatile.
    volatile bool stopped = false;
    volatile bool tooLarge = false;
    volatile bool noMemory = false;
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (stopped)
            image->pixels.clear();
        if (noMemory)
            papplJobSetMessage(job, "Out of memory while reading the PNG image.");
        else if (!tooLarge && !stopped)
            papplJobSetMessage(job, "The PNG image is damaged or cut short (%s).", reader.error);
        return stopped;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_uint_32 exifSize = 0;
    png_bytep exif = nullptr;
    if (png_get_eXIf_1(png, info, &exifSize, &exif) != 0)
        image->orientation = exifOrientation(exif, exifSize);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (!checkImageSize(job, "PNG", width, height)) {
        tooLarge = true;
        png_error(png, "too large");
    }
    // Any PNG becomes 8-bit grey or RGB; transparency shows the white label.
    const png_byte colorType = png_get_color_type(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_color_16 white = {0, 255, 255, 255, 255};
    if ((colorType & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS))
        png_set_background(png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_byte channels = png_get_channels(png, info);
    image->depth = channels >= 3 ? 3 : 1;
    image->width = width;
    image->height = height;
    png_uint_32 xPerMetre = 0, yPerMetre = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &xPerMetre, &yPerMetre, &unit) && unit == PNG_RESOLUTION_METER)
        image->ppi = static_cast<int>(xPerMetre * 0.0254 + 0.5);
    const size_t rowBytes = png_get_rowbytes(png, info);
    if (rowBytes != size_t(width) * channels || (channels != 1 && channels != 3))
        png_error(png, "unexpected pixel layout");
    try {
        image->pixels.resize(rowBytes * height);
    } catch (const std::bad_alloc&) {
        noMemory = true;
    }
    if (noMemory)
        png_error(png, "out of memory");
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            png_read_row(png, image->pixels.data() + rowBytes * y, nullptr);
            if (y % kRowsBetweenChecks == 0 && jobStopped(job)) {
                stopped = true;
                png_error(png, "stopped");
            }
        }
    }
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// ---- JPEG ----

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    pappl_job_t* job;
    bool damaged;
};

[[noreturn]] void jpegError(j_common_ptr info)
{
    JpegErrors* errors = reinterpret_cast<JpegErrors*>(info->err);
    std::longjmp(errors->jump, 1);
}

// libjpeg reports damaged data (a file cut short, a bad Huffman code) as a
// warning and goes on with grey: such an image is refused, not printed.
void jpegMessage(j_common_ptr info, int level)
{
    if (level < 0)
        reinterpret_cast<JpegErrors*>(info->err)->damaged = true;
}

struct JpegDecompressor {
    jpeg_decompress_struct info;
    ~JpegDecompressor() { jpeg_destroy_decompress(&info); }
};

bool decodeJpeg(pappl_job_t* job, FILE* file, Image* image)
{
    JpegErrors errors;
    std::memset(&errors, 0, sizeof(errors));
    errors.job = job;
    std::unique_ptr<JpegDecompressor> jpeg(new JpegDecompressor);
    std::memset(&jpeg->info, 0, sizeof(jpeg->info));
    jpeg->info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegError;
    errors.manager.emit_message = jpegMessage;
    if (setjmp(errors.jump) != 0) {
        char message[JMSG_LENGTH_MAX] = "";
        errors.manager.format_message(reinterpret_cast<j_common_ptr>(&jpeg->info), message);
        papplJobSetMessage(job, "The JPEG image is damaged or cut short (%s).", message);
        return false;
    }
    jpeg_create_decompress(&jpeg->info);
    jpeg_stdio_src(&jpeg->info, file);
    jpeg_save_markers(&jpeg->info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&jpeg->info, TRUE);
    for (jpeg_saved_marker_ptr marker = jpeg->info.marker_list; marker != nullptr;
         marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1) {
            image->orientation = jpegApp1Orientation(marker->data, marker->data_length);
            if (image->orientation != 1)
                break;
        }
    }
    if (!checkImageSize(job, "JPEG", jpeg->info.image_width, jpeg->info.image_height))
        return false;
    if (jpeg->info.num_components == 1) {
        jpeg->info.out_color_space = JCS_GRAYSCALE;
        image->depth = 1;
    } else if (jpeg->info.jpeg_color_space == JCS_YCbCr || jpeg->info.jpeg_color_space == JCS_RGB) {
        jpeg->info.out_color_space = JCS_RGB;
        image->depth = 3;
    } else {
        papplJobSetMessage(job, "CMYK JPEG images are not supported; send grey or RGB.");
        return false;
    }
    if (jpeg->info.density_unit == 1)
        image->ppi = jpeg->info.X_density;
    else if (jpeg->info.density_unit == 2)
        image->ppi = static_cast<int>(jpeg->info.X_density * 2.54 + 0.5);
    jpeg_start_decompress(&jpeg->info);
    image->width = jpeg->info.output_width;
    image->height = jpeg->info.output_height;
    const size_t rowBytes = size_t(image->width) * image->depth;
    image->pixels.resize(rowBytes * image->height);
    while (jpeg->info.output_scanline < jpeg->info.output_height) {
        JSAMPROW row = image->pixels.data() + rowBytes * jpeg->info.output_scanline;
        jpeg_read_scanlines(&jpeg->info, &row, 1);
        if (errors.damaged)
            break;
        if (jpeg->info.output_scanline % kRowsBetweenChecks == 0 && jobStopped(job)) {
            image->pixels.clear();
            return true;
        }
    }
    if (errors.damaged) {
        char message[JMSG_LENGTH_MAX] = "";
        errors.manager.format_message(reinterpret_cast<j_common_ptr>(&jpeg->info), message);
        papplJobSetMessage(job, "The JPEG image is damaged or cut short (%s).", message);
        return false;
    }
    jpeg_finish_decompress(&jpeg->info);
    return true;
}

// Decodes the job's document with Decode, then prints it.
template <bool (*Decode)(pappl_job_t*, FILE*, Image*)>
bool filterImage(pappl_job_t* job, pappl_device_t* device)
{
    std::unique_ptr<FILE, FileCloser> file(std::fopen(papplJobGetFilename(job), "rb"));
    if (!file) {
        papplJobSetMessage(job, "Unable to open the document.");
        return false;
    }
    Image image;
    if (!Decode(job, file.get(), &image))
        return false;
    file.reset();
    if (image.pixels.empty())
        return true;  // canceled or shutting down while decoding
    applyOrientation(image.orientation, &image.pixels, &image.width, &image.height, image.depth);
    if (labelCropEnabled(job)) {
        bool printed = false;
        const bool ok = printCarrierImage(job, device, image, &printed);
        if (!ok || printed)
            return ok;
    }
    return printImage(job, device, image);
}

// A filter for PAPPL; no exception may leave it, as PAPPL is C.
template <bool (*Decode)(pappl_job_t*, FILE*, Image*)>
bool guardedFilter(pappl_job_t* job, pappl_device_t* device, void* data)
{
    (void)data;
    try {
        return filterImage<Decode>(job, device);
    } catch (const std::bad_alloc&) {
        papplJobSetMessage(job, "Out of memory while reading the image.");
    } catch (...) {
        papplJobSetMessage(job, "Failed while reading the image.");
    }
    return false;
}

}  // namespace

uint64_t appMaxImagePixels(const AppModel& model)
{
    return 2 * uint64_t(model.headWidthDots) * uint64_t(model.maxLengthDots);
}

// PAPPL looks for a filter to the driver's own format before one to its
// raster interface, where its built-in PNG and JPEG filters sit: filters to
// the driver's format take their place. They still print through the
// raster callbacks.
void appAddDocumentFilters(pappl_system_t* system)
{
    papplSystemAddMIMEFilter(system, "image/png", kDriverFormat, guardedFilter<decodePng>,
                             nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", kDriverFormat, guardedFilter<decodeJpeg>,
                             nullptr);
    appAddPdfFilter(system);
}
