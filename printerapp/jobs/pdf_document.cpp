// PDF documents, rendered with poppler's C++ interface. Poppler runs in a
// process of its own for each document: the server's threads never call it,
// a crash in it costs that job alone, and a page that renders for ever is
// ended by killing it. That process is the program itself started anew
// (posix_spawn of /proc/self/exe), never a bare fork of the server: a fork
// copies the locks the server's other threads held at that moment, and
// poppler, fontconfig or the C++ library could wait on one for ever. It
// sends the pages through a pipe as grey ink, one byte per dot.
#include "printerapp/jobs/pdf_document.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-image.h>
#include <poppler/cpp/poppler-page-renderer.h>
#include <poppler/cpp/poppler-page.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "printerapp/jobs/document.h"
#include "printerapp/jobs/drawn_pages.h"
#include "printerapp/jobs/job_model.h"
#include "printerapp/jobs/label_crop.h"
#include "printerapp/jobs/page_fit.h"
#include "printerapp/system/stop.h"

namespace {

// The format the drivers take (models.cpp): raw TSPL.
const char* const kDriverFormat = "application/vnd.tavel-tspl";

// The longest message the child sends.
constexpr uint32_t kMaxMessage = 1024;

// ---- in the child ----

bool writeAll(int fd, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool writeNumbers(int fd, uint32_t a, uint32_t b, uint32_t c)
{
    const uint32_t numbers[3] = {a, b, c};
    return writeAll(fd, numbers, sizeof(numbers));
}

// A failure: three zeros, then the message's length and text.
void writeFailure(int fd, const std::string& message)
{
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(message.size(), kMaxMessage));
    if (writeNumbers(fd, 0, 0, 0) && writeAll(fd, &length, sizeof(length)))
        writeAll(fd, message.data(), length);
}

void ignorePopplerMessage(const std::string&, void*) {}

// Renders each page and writes its width, height and resolution (in
// hundredths of a dot per inch), then its rows of ink. First of all the
// page count (as the width, the others 1).
void renderInChild(int fd, const char* path, const PdfLimits& limits)
{
    poppler::set_debug_error_function(ignorePopplerMessage, nullptr);
    std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
    if (!document)
        return writeFailure(fd, "The PDF document is damaged or is no PDF.");
    if (document->is_locked())
        return writeFailure(fd, "The PDF document is protected by a password.");
    const int pages = document->pages();
    if (pages <= 0)
        return writeFailure(fd, "The PDF document has no page.");
    if (static_cast<unsigned>(pages) > limits.maxPages)
        return writeFailure(fd, "The PDF document has " + std::to_string(pages) +
                                    " pages; at most " + std::to_string(limits.maxPages) +
                                    " are printed in one job.");
    if (!writeNumbers(fd, static_cast<uint32_t>(pages), 1, 1))
        return;
    poppler::page_renderer renderer;
    renderer.set_image_format(poppler::image::format_gray8);
    renderer.set_render_hints(poppler::page_renderer::antialiasing |
                              poppler::page_renderer::text_antialiasing);
    std::vector<unsigned char> row;
    for (int index = 0; index < pages; ++index) {
        std::unique_ptr<poppler::page> page(document->create_page(index));
        if (!page)
            return writeFailure(fd, "Page " + std::to_string(index + 1) + " of the PDF is damaged.");
        const poppler::rectf box = page->page_rect();
        double dpi = limits.dpi;
        const double dots = std::fabs(box.width() * box.height()) * dpi * dpi / (72.0 * 72.0);
        if (dots > static_cast<double>(limits.maxPixels))
            dpi *= std::sqrt(static_cast<double>(limits.maxPixels) / dots);
        if (!(dots > 0) || dpi < 1)
            return writeFailure(fd, "Page " + std::to_string(index + 1) + " of the PDF has no size.");
        const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
        if (!image.is_valid() || image.width() <= 0 || image.height() <= 0)
            return writeFailure(fd, "Page " + std::to_string(index + 1) +
                                        " of the PDF could not be rendered.");
        const unsigned width = static_cast<unsigned>(image.width());
        const unsigned height = static_cast<unsigned>(image.height());
        if (!writeNumbers(fd, width, height, static_cast<uint32_t>(std::lround(dpi * 100))))
            return;
        row.resize(width);
        for (unsigned y = 0; y < height; ++y) {
            const unsigned char* grey = reinterpret_cast<const unsigned char*>(image.const_data()) +
                                        static_cast<size_t>(y) * image.bytes_per_row();
            for (unsigned x = 0; x < width; ++x)
                row[x] = static_cast<unsigned char>(255 - grey[x]);
            if (!writeAll(fd, row.data(), width))
                return;
        }
    }
}

// ---- in the server ----

// Reads from the child's pipe; waits at most pageSeconds without data,
// looking at stopped() every second.
class ChildReader {
public:
    ChildReader(int fd, unsigned pageSeconds, const std::function<bool()>& stopped)
        : fd_(fd), pageSeconds_(pageSeconds), stopped_(stopped)
    {
    }

    // Starts the wait bound anew (a new page).
    void newPage() { idleSeconds_ = 0; }

    bool read(void* data, size_t size)
    {
        char* bytes = static_cast<char*>(data);
        while (size > 0) {
            if (stopped_()) {
                stopped = true;
                return false;
            }
            pollfd wait = {fd_, POLLIN, 0};
            const int ready = poll(&wait, 1, 1000);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                if (++idleSeconds_ > pageSeconds_) {
                    timedOut = true;
                    return false;
                }
                continue;
            }
            const ssize_t got = ::read(fd_, bytes, size);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            bytes += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    bool stopped = false;
    bool timedOut = false;

private:
    int fd_;
    unsigned pageSeconds_;
    const std::function<bool()>& stopped_;
    unsigned idleSeconds_ = 0;
};

// Reads a failure's message after its three zeros.
std::string readFailure(ChildReader& reader)
{
    uint32_t length = 0;
    if (!reader.read(&length, sizeof(length)) || length > kMaxMessage)
        return "The PDF document could not be rendered.";
    std::string message(length, '\0');
    if (!reader.read(&message[0], length))
        return "The PDF document could not be rendered.";
    return message;
}

bool readPages(ChildReader& reader, const PdfLimits& limits,
               const std::function<bool(RenderedPage&, unsigned)>& onPage, std::string* error)
{
    uint32_t numbers[3];
    if (!reader.read(numbers, sizeof(numbers)))
        return false;
    if (numbers[0] == 0) {
        *error = readFailure(reader);
        return false;
    }
    const unsigned pages = numbers[0];
    for (unsigned number = 1; number <= pages; ++number) {
        reader.newPage();
        if (!reader.read(numbers, sizeof(numbers)))
            return false;
        if (numbers[0] == 0) {
            *error = readFailure(reader);
            return false;
        }
        // The child keeps to the bound; a page beyond it is a fault.
        if (uint64_t(numbers[0]) * numbers[1] > limits.maxPixels + limits.maxPixels / 8 + 4096) {
            *error = "Page " + std::to_string(number) + " of the PDF is too large.";
            return false;
        }
        RenderedPage page;
        page.width = numbers[0];
        page.height = numbers[1];
        page.dpi = static_cast<int>(numbers[2] / 100);
        page.ink.resize(static_cast<size_t>(page.width) * page.height);
        if (!reader.read(page.ink.data(), page.ink.size()))
            return false;
        if (!onPage(page, number))
            return false;
    }
    return true;
}

// Starts the renderer on path with its standard output on writeEnd (which
// it alone keeps open), its signals as a new program's. The pid, or -1.
pid_t startRenderer(int writeEnd, const char* path, const PdfLimits& limits)
{
    const std::string dpi = std::to_string(limits.dpi);
    const std::string maxPixels = std::to_string(limits.maxPixels);
    const std::string maxPages = std::to_string(limits.maxPages);
    char* const arguments[] = {const_cast<char*>("tavel-printer-app"),
                               const_cast<char*>(kPdfRendererArgument),
                               const_cast<char*>(path),
                               const_cast<char*>(dpi.c_str()),
                               const_cast<char*>(maxPixels.c_str()),
                               const_cast<char*>(maxPages.c_str()),
                               nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    if (posix_spawn(&child, "/proc/self/exe", &actions, &attributes, arguments, environ) != 0)
        child = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return child;
}

bool parseNumber(const char* text, uint64_t low, uint64_t high, uint64_t* value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || number < low ||
        number > high)
        return false;
    *value = number;
    return true;
}

}  // namespace

const char* const kPdfRendererArgument = "--render-pdf-pages";

int appRunPdfRenderer(int argc, char* argv[])
{
    uint64_t dpi = 0, maxPixels = 0, maxPages = 0;
    if (argc != 6 || !parseNumber(argv[3], 1, 10000, &dpi) ||
        !parseNumber(argv[4], 1, UINT64_MAX, &maxPixels) ||
        !parseNumber(argv[5], 1, 1000000, &maxPages)) {
        std::fprintf(stderr, "usage: tavel-printer-app %s FILE DPI MAX-PIXELS MAX-PAGES\n",
                     kPdfRendererArgument);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    PdfLimits limits;
    limits.dpi = static_cast<int>(dpi);
    limits.maxPixels = maxPixels;
    limits.maxPages = static_cast<unsigned>(maxPages);
    try {
        renderInChild(STDOUT_FILENO, argv[2], limits);
    } catch (...) {
        return 1;
    }
    return 0;
}

bool renderPdf(const char* path, const PdfLimits& limits,
               const std::function<bool(RenderedPage&, unsigned)>& onPage,
               const std::function<bool()>& stopped, std::string* error)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *error = "Unable to start rendering the PDF document.";
        return false;
    }
    const pid_t child = startRenderer(fds[1], path, limits);
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        *error = "Unable to start rendering the PDF document.";
        return false;
    }
    ChildReader reader(fds[0], limits.pageSeconds, stopped);
    bool ok = readPages(reader, limits, onPage, error);
    close(fds[0]);
    kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (reader.stopped)
        return true;
    if (reader.timedOut)
        *error = "A page of the PDF took longer than " + std::to_string(limits.pageSeconds) +
                 " s to render; the job was stopped.";
    else if (!ok && error->empty() && WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL)
        *error = "The PDF document could not be rendered (the renderer failed).";
    return ok;
}

namespace {

bool jobStopped(pappl_job_t* job)
{
    return papplJobIsCanceled(job) ||
           appServerStopping(papplPrinterGetSystem(papplJobGetPrinter(job)));
}

bool printPdf(pappl_job_t* job, pappl_device_t* device)
{
    const AppModel* model = appModelOfJob(job);
    if (model == nullptr) {
        papplJobSetMessage(job, "The printer has no Tavel driver.");
        return false;
    }
    DrawnPages printed(job, device, 0);
    unsigned labelWidth = 0, labelHeight = 0;
    if (!printed.labelSize(&labelWidth, &labelHeight))
        return false;
    const bool crop = labelCropEnabled(job);
    PdfLimits limits;
    limits.dpi = model->dpi;
    limits.maxPixels = appMaxImagePixels(*model);
    std::string error;
    bool printFailed = false;
    std::string settingsNotes;
    const auto onPage = [&](RenderedPage& page, unsigned number) {
        std::vector<unsigned char> fitted;
        const std::string note = placeOnLabel(page.ink, page.width, page.height, page.dpi,
                                              labelWidth, labelHeight, model->dpi, crop, &fitted);
        printFailed = !printed.print(fitted);
        // The job's start may have left notes on refused values: kept first.
        if (number == 1 && papplJobGetMessage(job) != nullptr)
            settingsNotes = papplJobGetMessage(job);
        if (!note.empty() && !printFailed) {
            const std::string message = (settingsNotes.empty() ? "" : settingsNotes + "; ") +
                                        "page " + std::to_string(number) + ": " + note;
            papplJobSetMessage(job, "%s", message.c_str());
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%s", message.c_str());
        }
        return !printFailed;
    };
    const bool rendered = renderPdf(papplJobGetFilename(job), limits, onPage,
                                    [job] { return jobStopped(job); }, &error);
    if (!rendered && !printFailed) {
        papplJobSetMessage(job, "%s", error.empty() ? "The PDF document could not be rendered."
                                                    : error.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", papplJobGetMessage(job));
    }
    if (!rendered || printFailed)
        return false;
    return printed.finish() || jobStopped(job);
}

// A filter for PAPPL; no exception may leave it, as PAPPL is C.
bool pdfFilter(pappl_job_t* job, pappl_device_t* device, void* data)
{
    (void)data;
    try {
        return printPdf(job, device);
    } catch (const std::bad_alloc&) {
        papplJobSetMessage(job, "Out of memory while printing the PDF document.");
    } catch (...) {
        papplJobSetMessage(job, "Failed while printing the PDF document.");
    }
    return false;
}

}  // namespace

void appAddPdfFilter(pappl_system_t* system)
{
    papplSystemAddMIMEFilter(system, "application/pdf", kDriverFormat, pdfFilter, nullptr);
}
