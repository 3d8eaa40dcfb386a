// The job callbacks PAPPL calls for each printer: a job's settings and its
// TSPL printer are made at the start, each page is gathered line by line and
// sent through the same page pipeline and encoder as the filter's when it
// ends, and raw TSPL goes to the device unchanged. Everything a job needs
// lives in its own AppJob, so jobs on different printers run at once; no
// exception leaves a callback, as PAPPL is C.
#include <pappl/pappl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "printer/image_dump.h"
#include "printerapp/jobs/job_model.h"
#include "printerapp/system/models.h"
#include "printerapp/jobs/page_fit.h"
#include "printerapp/devices/folder_device.h"
#include "printerapp/devices/status.h"
#include "printerapp/jobs/job_options.h"
#include "tspl/tspl_commands.h"
#include "tspl/tspl_printer.h"

namespace {

// Bytes between the encoder and the device are buffered this much; a page
// is pushed out whole after its PRINT.
constexpr size_t kDeviceBuffer = 64 * 1024;

ssize_t writeToDevice(void* cookie, const char* buffer, size_t size)
{
    const ssize_t written = papplDeviceWrite(static_cast<pappl_device_t*>(cookie), buffer, size);
    return written < 0 ? -1 : written;
}

// A stdio stream over the job's device, so that the encoder writes to the
// printer exactly as the filter writes to standard output.
FILE* openDeviceStream(pappl_device_t* device)
{
    cookie_io_functions_t functions = {};
    functions.write = writeToDevice;
    FILE* stream = fopencookie(device, "w", functions);
    if (stream != nullptr)
        setvbuf(stream, nullptr, _IOFBF, kDeviceBuffer);
    return stream;
}

struct FileCloser {
    void operator()(FILE* file) const
    {
        if (file != nullptr)
            std::fclose(file);
    }
};

struct AppJob {
    const AppModel* model = nullptr;
    std::unique_ptr<FILE, FileCloser> device;
    std::unique_ptr<FILE, FileCloser> recording;
    std::unique_ptr<TsplPrinter> printer;
    JobSettings settings;
    cups_page_header2_t header = {};
    std::vector<unsigned char> page;
    unsigned linesReceived = 0;  // lines of the current page written so far
    PageLevels levels = PageLevels::kInk;
    unsigned imageWidth = 0;  // a PNG or JPEG to turn to the label's orientation; 0: none
    unsigned imageHeight = 0;
    unsigned fitWidth = 0;   // label size the page is fitted onto; 0: printed as it is
    unsigned fitLength = 0;
    unsigned pages = 0;
};

AppJob* appJobOf(pappl_job_t* job) { return static_cast<AppJob*>(papplJobGetData(job)); }

bool isImageFormat(const char* format)
{
    return format != nullptr &&
           (std::strcmp(format, "image/png") == 0 || std::strcmp(format, "image/jpeg") == 0);
}

// Opens the job's recording file in the spool folder; everything sent to
// the printer goes there too.
void openRecording(pappl_job_t* job, AppJob* appJob)
{
    char path[1024];
    const int fd = papplJobOpenFile(job, path, sizeof(path), nullptr, "tspl", "w");
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Unable to create the recording file.");
        return;
    }
    appJob->recording.reset(fdopen(fd, "w"));
    if (!appJob->recording) {
        close(fd);
        return;
    }
    appJob->printer->getOutputStreams()->push_back(appJob->recording.get());
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Recording printer commands to \"%s\".", path);
}

// The server's spool folder, where PAPPL keeps the job's files (PAPPL 1.3.1
// does not tell it otherwise): the folder part of the name a job file of
// this job would have there, asked without creating one.
std::string spoolFolderOf(pappl_job_t* job)
{
    char path[1024] = "";
    const int fd = papplJobOpenFile(job, path, sizeof(path), nullptr, "name", "r");
    if (fd >= 0)
        close(fd);
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash == path)
        return std::string();
    return std::string(path, static_cast<size_t>(slash - path));
}

// One line with every setting the job prints with, defaults included.
void logSettings(pappl_job_t* job, const JobSettings& settings)
{
    const Settings& s = settings.settings;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "Settings: halftone-type=%s, image-darkening=%d, mirror=%d, negative=%d, "
                "direction=%s, method=%s, zip=%d, paper=%s, gap=%d mm, after=%s, speed=%s, "
                "density=%d, offset=%d,%d dots, copies=%d, record=%d, page-images=%d",
                kHalftoneKeywords[s.halftoneType], s.Brightness, s.MirrorImage, s.NegativeImage,
                s.Origin, s.MediaMethod, s.ZippedImage, s.PaperType, s.GapsHeight, s.PostAction,
                s.PrintSpeed, s.Darkness, settings.offsetX, settings.offsetY, settings.copies,
                settings.record ? 1 : 0, s.SavePageImages);
}

bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
    const AppModel* model = appModelOfJob(job);
    if (model == nullptr) {
        papplJobSetMessage(job, "The printer has no Tavel driver.");
        return false;
    }
    if (!appFolderDeviceReady(job, device) || !appWaitBeforeJob(job, device))
        return false;
    std::unique_ptr<AppJob> appJob(new AppJob);
    appJob->model = model;
    // PAPPL places a PNG or JPEG upright; one that the job leaves to the
    // printer to fit is turned to the label's orientation at its end of page.
    if (isImageFormat(papplJobGetFormat(job)) && options->print_scaling == PAPPL_SCALING_FIT &&
        papplJobGetAttribute(job, "orientation-requested") == nullptr)
        imageFileSize(papplJobGetFilename(job), &appJob->imageWidth, &appJob->imageHeight);

    pappl_pr_driver_data_t data;
    pappl_printer_t* printer = papplJobGetPrinter(job);
    papplPrinterGetDriverData(printer, &data);
    // A copy of the printer's defaults and supported values as they are now.
    std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer),
                                                        ippDelete);
    buildJobSettings(*model, *options, attrs.get(), data.mode_configured,
                     papplJobGetFormat(job), &appJob->settings);
    if (!appJob->settings.notes.empty()) {
        papplJobSetMessage(job, "%s", appJob->settings.notes.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", appJob->settings.notes.c_str());
    }

    logSettings(job, appJob->settings);

    appJob->device.reset(openDeviceStream(device));
    if (!appJob->device) {
        papplJobSetMessage(job, "Unable to write to the printer.");
        return false;
    }
    appJob->printer.reset(new TsplPrinter(appJob->device.get()));
    if (appJob->settings.record)
        openRecording(job, appJob.get());

    const Settings& s = appJob->settings.settings;
    TsplPrinter& tspl = *appJob->printer;
    tspl.setBrightness(s.Brightness);
    tspl.setHalftoneType(s.halftoneType);
    tspl.setMirrorPrint(s.MirrorImage != 0);
    tspl.setNegativePrint(s.NegativeImage != 0);
    tspl.zippedImage = s.ZippedImage;
    tspl.setImageOffset(appJob->settings.offsetX, appJob->settings.offsetY);
    ImageDumpPolicy dumps = tspl.getImageDumpPolicy();
    dumps.enabled = s.SavePageImages != 0;
    dumps.maxTotalBytes = s.PageImagesMaxBytes;
    // Page dumps show what is printed (addresses, names): they stay in the
    // server's own spool folder, readable by its user alone.
    dumps.folder = spoolFolderOf(job);
    dumps.fileMode = 0600;
    dumps.enabled = dumps.enabled && !dumps.folder.empty();
    tspl.setImageDumpPolicy(dumps);

    papplJobSetData(job, appJob.release());
    return true;
}

bool startPage(pappl_job_t* job, pappl_pr_options_t* options)
{
    AppJob* appJob = appJobOf(job);
    if (appJob == nullptr)
        return false;
    const pappl_media_col_t* jobMedia = nullptr;
    if (papplJobGetAttribute(job, "media-col") != nullptr ||
        papplJobGetAttribute(job, "media") != nullptr)
        jobMedia = &options->media;
    char message[512];
    bool fit = false;
    if (!checkPageHeader(*appJob->model, options->header, jobMedia, &appJob->levels, &fit,
                         message, sizeof(message))) {
        papplJobSetMessage(job, "%s", message);
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
        return false;
    }
    appJob->fitWidth = appJob->fitLength = 0;
    if (fit && !labelDots(*appJob->model, options->media, &appJob->fitWidth, &appJob->fitLength)) {
        papplJobSetMessage(job, "Page refused: the page does not fit the printer and the label "
                                "%s cannot be printed either.", options->media.size_name);
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", papplJobGetMessage(job));
        return false;
    }
    appJob->header = options->header;
    appJob->header.NumCopies = static_cast<unsigned>(appJob->settings.copies);
    appJob->page.assign(static_cast<size_t>(appJob->header.cupsBytesPerLine) *
                            appJob->header.cupsHeight,
                        0);
    appJob->linesReceived = 0;
    return true;
}

bool writeLine(pappl_job_t* job, unsigned y, const unsigned char* line)
{
    AppJob* appJob = appJobOf(job);
    if (appJob == nullptr || y >= appJob->header.cupsHeight)
        return false;
    const size_t bytes = appJob->header.cupsBytesPerLine;
    unsigned char* row = appJob->page.data() + static_cast<size_t>(y) * bytes;
    if (appJob->levels == PageLevels::kInk) {
        std::memcpy(row, line, bytes);
    } else {
        // sGray: 255 is white paper; the pipeline wants 255 = full ink.
        for (size_t x = 0; x < bytes; ++x)
            row[x] = static_cast<unsigned char>(255 - line[x]);
    }
    ++appJob->linesReceived;
    return true;
}

// Prints one page whose header and every line are in appJob: the one place
// where a whole page goes to the pipeline and the printer.
bool printPage(pappl_job_t* job, AppJob* appJob)
{
    cups_page_header2_t& header = appJob->header;
    Settings& s = appJob->settings.settings;
    s.pageWidth = static_cast<float>(header.cupsWidth * 25.4 / header.HWResolution[0]);
    s.pageHeight = static_cast<float>(header.cupsHeight * 25.4 / header.HWResolution[1]);

    TsplPrinter& tspl = *appJob->printer;
    if (appJob->pages == 0) {
        // The preamble the filter starts every job with, once the first
        // page is complete: a refused or cut short job sends nothing.
        for (int i = 0; i < 64; ++i)
            tspl.printByte(10);
    }
    jobSetup(tspl, s);
    tspl.setPageHeader(&header);
    if (appJob->pages == 0)
        setCls(tspl);
    ++appJob->pages;
    tspl.printImage(appJob->page.data(), header.cupsBytesPerLine, header.cupsHeight,
                    header.cupsWidth);
    if (tspl.pageFailed()) {
        papplJobSetMessage(job, "Page %u could not be processed (out of memory?).",
                           appJob->pages);
        return false;
    }
    if (std::fflush(appJob->device.get()) != 0 || std::ferror(appJob->device.get())) {
        papplJobSetMessage(job, "Unable to write to the printer.");
        return false;
    }
    return true;
}

// PAPPL ends a page also when the client's raster stopped inside it; such a
// page is not printed and the job fails, as in the filter.
bool endPage(pappl_job_t* job)
{
    AppJob* appJob = appJobOf(job);
    if (appJob == nullptr)
        return false;
    if (appJob->linesReceived < appJob->header.cupsHeight) {
        papplJobSetMessage(job,
                           "The document ends inside page %u (%u of %u lines); that page was "
                           "not printed.",
                           appJob->pages + 1, appJob->linesReceived, appJob->header.cupsHeight);
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", papplJobGetMessage(job));
        return false;
    }
    cups_page_header2_t& header = appJob->header;
    if (appJob->imageWidth != 0 &&
        turnPlacedImage(&appJob->page, header.cupsWidth, header.cupsHeight, appJob->imageWidth,
                        appJob->imageHeight))
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The image was turned to the label's orientation.");
    if (appJob->fitWidth != 0) {
        std::string note;
        fitPageToLabel(&header, &appJob->page, appJob->fitWidth, appJob->fitLength,
                       appJob->settings.labelCrop, &note);
        if (!appJob->settings.notes.empty())
            note = appJob->settings.notes + "; " + note;
        papplJobSetMessage(job, "%s", note.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%s", note.c_str());
    }
    return printPage(job, appJob);
}

bool endJob(pappl_job_t* job, pappl_device_t* device)
{
    std::unique_ptr<AppJob> appJob(appJobOf(job));
    papplJobSetData(job, nullptr);
    if (!appJob)
        return false;
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Job ends after %u pages.", appJob->pages);
    if (appJob->pages == 0 && !papplJobIsCanceled(job)) {
        // A job that printed nothing did not succeed, and says why.
        if (papplJobGetMessage(job) == nullptr || *papplJobGetMessage(job) == '\0')
            papplJobSetMessage(job, "The document has no page to print.");
        return false;
    }
    bool sent = std::fflush(appJob->device.get()) == 0 && !std::ferror(appJob->device.get());
    appJob->printer.reset();
    appJob->recording.reset();
    appJob->device.reset();
    papplDeviceFlush(device);
    return sent && appWaitAfterJob(job, device);
}

// Runs one callback body; an exception becomes a failed job with a message.
template <typename Body>
bool guarded(pappl_job_t* job, const char* what, Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        papplJobSetMessage(job, "Out of memory while %s.", what);
    } catch (const std::exception& error) {
        papplJobSetMessage(job, "Failed while %s: %s", what, error.what());
    } catch (...) {
        papplJobSetMessage(job, "Failed while %s.", what);
    }
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", papplJobGetMessage(job));
    return false;
}

}  // namespace

const AppModel* appModelOfJob(pappl_job_t* job)
{
    pappl_pr_driver_data_t data;
    if (papplPrinterGetDriverData(papplJobGetPrinter(job), &data) == nullptr)
        return nullptr;
    return static_cast<const AppModel*>(data.extension);
}

bool appStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
    return guarded(job, "starting the job", [&] { return startJob(job, options, device); });
}

bool appStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                  unsigned page)
{
    (void)device;
    (void)page;
    return guarded(job, "starting a page", [&] { return startPage(job, options); });
}

bool appWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                  unsigned y, const unsigned char* line)
{
    (void)options;
    (void)device;
    return guarded(job, "reading a page", [&] { return writeLine(job, y, line); });
}

bool appEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device,
                unsigned page)
{
    (void)options;
    (void)device;
    (void)page;
    return guarded(job, "printing a page", [&] { return endPage(job); });
}

bool appEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
    (void)options;
    return guarded(job, "ending the job", [&] { return endJob(job, device); });
}

// Raw TSPL: the document goes to the printer as it is.
bool appPrintFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
    (void)options;
    return guarded(job, "sending the document", [&] {
        std::unique_ptr<FILE, FileCloser> input(std::fopen(papplJobGetFilename(job), "rb"));
        if (!input) {
            papplJobSetMessage(job, "Unable to open the document.");
            return false;
        }
        if (!appFolderDeviceReady(job, device) || !appWaitBeforeJob(job, device))
            return false;
        std::vector<char> buffer(kDeviceBuffer);
        size_t bytes;
        while ((bytes = std::fread(buffer.data(), 1, buffer.size(), input.get())) > 0) {
            if (papplJobIsCanceled(job))
                break;
            if (papplDeviceWrite(device, buffer.data(), bytes) < 0) {
                papplJobSetMessage(job, "Unable to write to the printer.");
                return false;
            }
        }
        papplDeviceFlush(device);
        return papplJobIsCanceled(job) || appWaitAfterJob(job, device);
    });
}

// Recognises a TSPL document by its first command, after any blank lines,
// so that raw TSPL sent without a format (or one PAPPL does not know) still
// goes to the printer unchanged. Null for anything else.
const char* appDetectFormat(const unsigned char* header, size_t size, void* data)
{
    (void)data;
    static const char* const commands[] = {
        "SIZE", "GAP", "BLINE", "CLS", "DIRECTION", "REFERENCE", "SPEED", "DENSITY", "SET",
        "OFFSET", "BITMAP", "PRINT", "TEXT", "BAR", "BOX", "BARCODE", "QRCODE", "HOME",
        "FORMFEED", "DOWNLOAD", "CODEPAGE", "SOUND",
    };
    size_t start = 0;
    while (start < size && (header[start] == '\n' || header[start] == '\r' ||
                            header[start] == ' ' || header[start] == '\t'))
        ++start;
    for (const char* command : commands) {
        const size_t length = std::strlen(command);
        if (size - start > length && std::memcmp(header + start, command, length) == 0 &&
            (header[start + length] == ' ' || header[start + length] == '\r' ||
             header[start + length] == '\n'))
            return "application/vnd.tavel-tspl";
    }
    return nullptr;
}
