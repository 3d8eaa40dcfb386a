// The life of one print job: arguments, settings, the optional recording
// file, the preamble, and the loop over the raster pages, each preceded by
// its TSPL set-up block and printed through the page pipeline.
#include <cups/raster.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "filter/filter_internal.h"

namespace {

// The project version, from the build (CMakeLists.txt).
const char* const sVersion = TAVEL_VERSION;

// Largest page, in bytes, the filter accepts. A page is read in one call
// with a 32-bit length; builds that run under a tighter allocation limit
// (the fuzzer) lower it.
#ifndef TAVEL_MAX_PAGE_BYTES
#define TAVEL_MAX_PAGE_BYTES 0xFFFFFFFFull
#endif

// Set by SIGTERM, which CUPS sends to cancel the job. The page being sent
// is finished first: a printer left waiting for bitmap bytes would print
// the next job as garbage.
volatile sig_atomic_t sCancelRequested = 0;

void requestCancel(int) { sCancelRequested = 1; }

// Interrupted reads and writes resume after SIGTERM, so the current page
// goes out whole. A printer connection that went away shows up as a write
// error instead of killing the filter with SIGPIPE.
void installSignalHandlers()
{
    struct sigaction action = {};
    action.sa_handler = requestCancel;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Each page allocates and frees several page-sized blocks. Keeping them in
// the heap instead of returning each to the system lets the next block
// reuse memory that is already mapped, which saves a page fault per 4 KiB
// touched; peak memory stays that of the largest page.
void keepFreedPagesForReuse()
{
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

// True, once logged, when the print system has asked the job to stop.
bool jobCanceled(int pages)
{
    if (!sCancelRequested)
        return false;
    tavelLogCommon(0, "Job canceled after %d pages", pages);
    return true;
}

// The watch's view of a cancel: true once SIGTERM came.
bool cancelRequested() { return sCancelRequested != 0; }

// True once standard output, the printer, failed to take our bytes.
bool printerConnectionLost()
{
    if (!std::ferror(stdout))
        return false;
    tavelLogCommon(3, "Unable to write to the printer, stopping the job");
    return true;
}

// Tells the print system that page n went to the printer, with its copy
// count: CUPS counts a job's pages from these lines, for its page log and
// the job's impressions. One write, like the log lines.
void writePageLine(int page, unsigned copies)
{
    char line[64];
    const int length = std::snprintf(line, sizeof(line), "PAGE: %d %u\n", page, copies);
    if (length > 0)
        std::fwrite(line, 1, static_cast<size_t>(length), stderr);
}

struct CFileCloser {
    void operator()(FILE* file) const
    {
        if (file != nullptr)
            std::fclose(file);
    }
};

// Opens path for reading and writing as it stands, but never follows a
// symbolic link and never touches anything but a regular file: the side
// file lives in a world-writable folder, where anyone could plant a link to
// another file or a FIFO that would block the job. -1 when it cannot.
int openRegularFile(const char* path)
{
    const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Opens path for writing, truncated, as fopen(path, mode) would, with the
// safeguards of openRegularFile.
FILE* openRegularFileForWriting(const char* path, const char* mode)
{
    const int fd = openRegularFile(path);
    if (fd < 0)
        return nullptr;
    if (ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, mode);
    if (file == nullptr)
        close(fd);
    return file;
}

// The side file holds the latest page's line. The line is written over the
// old content and the file then cut to the line's length, which leaves the
// same file as emptying it first. Emptying it first would cost every page a
// flush to disk: file systems write back, on close, a file that was cut to
// nothing and written again.
void writeHeaderSideFile(const cups_page_header2_t& header)
{
    const int fd = openRegularFile("/tmp/xxxxx.log");
    if (fd < 0)
        return;
    char line[192];
    const int length = std::snprintf(line, sizeof(line),
                                     "cupsWidth:%d, cupsHeight:%d, cupsBytesPerLine:%d, cupsBitsPerPixel:%d\n",
                                     header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine,
                                     header.cupsBitsPerPixel);
    if (length > 0 && pwrite(fd, line, static_cast<size_t>(length), 0) == length)
        (void)!ftruncate(fd, length);
    close(fd);
}

// Enumerated header fields come straight from the raster stream and may
// hold any value, so they are logged through their raw 32-bit contents.
template <typename Field>
unsigned rawValue(const Field& field)
{
    static_assert(sizeof(Field) == sizeof(unsigned), "raster header fields are 32-bit");
    unsigned value;
    std::memcpy(&value, &field, sizeof(value));
    return value;
}

void logPageHeader(const cups_page_header2_t& header)
{
    tavelLogCommon(0, "header.HWResolution[0]:%d\n", header.HWResolution[0]);
    tavelLogCommon(0, "header.HWResolution[1]:%d", header.HWResolution[1]);
    tavelLogCommon(0, "header.cupsWidth:%d", header.cupsWidth);
    tavelLogCommon(0, "header.cupsHeight:%d", header.cupsHeight);
    tavelLogCommon(0, "header.cupsMediaType:%d", header.cupsMediaType);
    tavelLogCommon(0, "header.cupsBitsPerColor:%d", header.cupsBitsPerColor);
    tavelLogCommon(0, "header.cupsBitsPerPixel:%d", header.cupsBitsPerPixel);
    tavelLogCommon(0, "header.cupsBytesPerLine:%d", header.cupsBytesPerLine);
    tavelLogCommon(0, "header.cupsColorOrder:%d", rawValue(header.cupsColorOrder));
    tavelLogCommon(0, "header.cupsColorSpace:%d", rawValue(header.cupsColorSpace));
    tavelLogCommon(0, "header.cupsCompression:%d", header.cupsCompression);
    tavelLogCommon(0, "header.cupsRowCount:%d", header.cupsRowCount);
    tavelLogCommon(0, "header.cupsRowFeed:%d", header.cupsRowFeed);
    tavelLogCommon(0, "header.cupsRowStep:%d", header.cupsRowStep);
}

// Bytes of pixel data of the page, without wrapping.
uint64_t pageByteCount(const cups_page_header2_t& header)
{
    return static_cast<uint64_t>(header.cupsHeight) * header.cupsBytesPerLine;
}

// Refuses headers the pipeline cannot handle safely: a zero resolution
// would make the page size infinite, rows shorter than the page width would
// be read past their end, and a page of 4 GiB or more cannot be read in one
// call. Returns false after logging why.
bool pageGeometryIsUsable(const cups_page_header2_t& header)
{
    if (header.HWResolution[0] == 0 || header.HWResolution[1] == 0) {
        tavelLogCommon(3, "Invalid resolution %ux%u dpi in the page header!",
                       header.HWResolution[0], header.HWResolution[1]);
        return false;
    }
    if (header.cupsBytesPerLine < header.cupsWidth) {
        tavelLogCommon(3, "Bytes per line %u is less than the page width %u!",
                       header.cupsBytesPerLine, header.cupsWidth);
        return false;
    }
    if (pageByteCount(header) > TAVEL_MAX_PAGE_BYTES) {
        tavelLogCommon(3, "Page of %u x %u bytes is too large!",
                       header.cupsBytesPerLine, header.cupsHeight);
        return false;
    }
    return true;
}

// The number after "key" in a line of a /proc or cgroup text file whose
// lines read "key value [unit]", times scale; UINT64_MAX when the file or the
// line is missing.
uint64_t readKeyedValue(const char* path, const char* key, uint64_t scale)
{
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return UINT64_MAX;
    uint64_t value = UINT64_MAX;
    const size_t keyLength = std::strlen(key);
    char line[256];
    unsigned long long number = 0;
    while (std::fgets(line, sizeof(line), file) != nullptr) {
        if (std::strncmp(line, key, keyLength) == 0 &&
            std::sscanf(line + keyLength, "%llu", &number) == 1) {
            value = static_cast<uint64_t>(number) * scale;
            break;
        }
    }
    std::fclose(file);
    return value;
}

// The number a cgroup file holds; UINT64_MAX when it is missing or says
// "max" (no limit).
uint64_t readCgroupNumber(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return UINT64_MAX;
    unsigned long long number = 0;
    const bool read = std::fscanf(file, "%llu", &number) == 1;
    std::fclose(file);
    return read ? static_cast<uint64_t>(number) : UINT64_MAX;
}

// How the memory controller of one cgroup version shows itself.
struct CgroupLayout {
    const char* membership;  // the part of a /proc/self/cgroup line before the path
    const char* root;        // where the hierarchy is mounted
    const char* limitFile;
    const char* usageFile;
    const char* reclaimableKey;  // the file cache the kernel takes back first, in memory.stat
};

const CgroupLayout sCgroupLayouts[] = {
    {"0::", "/sys/fs/cgroup", "memory.max", "memory.current", "inactive_file "},
    {":memory:", "/sys/fs/cgroup/memory", "memory.limit_in_bytes", "memory.usage_in_bytes",
     "total_inactive_file "},
};

// Below this a limit is real; the kernel shows "no limit" in cgroup v1 as
// a number near 2^63.
constexpr uint64_t kNoCgroupLimit = 1ull << 60;

}  // namespace

uint64_t cgroupMemoryLeft(const char* membershipFile, const char* rootPrefix)
{
    uint64_t left = UINT64_MAX;
    FILE* membership = std::fopen(membershipFile, "r");
    if (membership == nullptr)
        return left;
    char line[1024];
    while (std::fgets(line, sizeof(line), membership) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        for (const CgroupLayout& layout : sCgroupLayouts) {
            const char* at = std::strstr(line, layout.membership);
            if (at == nullptr || (layout.membership[0] == '0' && at != line))
                continue;
            const std::string root = std::string(rootPrefix) + layout.root;
            std::string group = at + std::strlen(layout.membership);
            // A service's limit may sit on any group above it: each level
            // up to the root counts.
            for (;;) {
                const std::string dir = root + (group == "/" ? "" : group);
                const uint64_t limit = readCgroupNumber(dir + "/" + layout.limitFile);
                const uint64_t usage = readCgroupNumber(dir + "/" + layout.usageFile);
                if (limit < kNoCgroupLimit && usage != UINT64_MAX) {
                    uint64_t reclaimable =
                        readKeyedValue((dir + "/memory.stat").c_str(), layout.reclaimableKey, 1);
                    if (reclaimable == UINT64_MAX)
                        reclaimable = 0;
                    const uint64_t free = limit > usage ? limit - usage : 0;
                    left = std::min(left, free + std::min(reclaimable, usage));
                }
                const size_t slash = group.find_last_of('/');
                if (group == "/" || slash == std::string::npos)
                    break;
                group = slash == 0 ? "/" : group.substr(0, slash);
            }
        }
    }
    std::fclose(membership);
    return left;
}

namespace {

// Address space that thread stacks and per-thread malloc arenas hold: the
// next page's threads use them again, so they are no new cost. In the
// mappings list a stack is a read-write anonymous block right above its
// small inaccessible guard, and an arena's untouched reserve an
// inaccessible anonymous block.
uint64_t threadMappings()
{
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return 0;
    uint64_t total = 0;
    unsigned long long guardEnd = 0;
    char line[1024];
    while (std::fgets(line, sizeof(line), maps) != nullptr) {
        unsigned long long from = 0;
        unsigned long long to = 0;
        unsigned long long inode = 0;
        char access[8] = {};
        int nameAt = 0;
        if (std::sscanf(line, "%llx-%llx %7s %*s %*s %llu %n", &from, &to, access, &inode,
                        &nameAt) != 4)
            continue;
        const bool anonymous = inode == 0 && (line[nameAt] == '\0' || line[nameAt] == '\n');
        const bool inaccessible = std::strcmp(access, "---p") == 0;
        if (anonymous && inaccessible)
            total += to - from;
        else if (anonymous && from == guardEnd && std::strcmp(access, "rw-p") == 0)
            total += to - from;
        guardEnd = anonymous && inaccessible && to - from <= 65536 ? to : 0;
    }
    std::fclose(maps);
    return total;
}

// Bytes of memory still available to this process: the least of what the
// system reports as available, what its cgroup's limit leaves and what its
// address-space limit leaves. Memory the process keeps for its next page
// counts as available: the heap's freed blocks (kept on purpose, see
// keepFreedPagesForReuse) in each, and under the address-space limit also
// the stacks and arenas of its threads. Without that, a second page that
// the first proved fits would be refused.
uint64_t availableMemory()
{
    const struct mallinfo2 heap = mallinfo2();
    const uint64_t freeHeap = heap.fordblks;
    // Freed heap pages may have gone back to the system (the stencil path
    // trims them) and are then counted as available there already.
    const uint64_t residentAnonymous = readKeyedValue("/proc/self/status", "RssAnon:", 1024);
    const uint64_t liveHeap = heap.uordblks + heap.hblkhd;
    uint64_t residentFreeHeap = 0;
    if (residentAnonymous != UINT64_MAX && residentAnonymous > liveHeap)
        residentFreeHeap = std::min<uint64_t>(freeHeap, residentAnonymous - liveHeap);

    uint64_t available = UINT64_MAX;
    const uint64_t system = readKeyedValue("/proc/meminfo", "MemAvailable:", 1024);
    if (system != UINT64_MAX)
        available = system + residentFreeHeap;
    const uint64_t cgroup = cgroupMemoryLeft("/proc/self/cgroup", "");
    if (cgroup != UINT64_MAX)
        available = std::min(available, cgroup + residentFreeHeap);

    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const uint64_t mapped = readKeyedValue("/proc/self/status", "VmSize:", 1024);
        if (mapped != UINT64_MAX) {
            const uint64_t reusable = freeHeap + threadMappings();
            const uint64_t used = mapped > reusable ? mapped - reusable : 0;
            available = std::min<uint64_t>(available, limit.rlim_cur > used ? limit.rlim_cur - used : 0);
        }
    }
    return available;
}

// Refuses a page whose working set cannot fit, instead of letting the
// system kill the filter half-way through it. The pipeline holds about five
// copies of the page on the halftone path and about eight on the stencil
// path; the estimate leaves some room above that. reusedBytes are blocks
// the job holds now and gives up or reuses before the page needs its own
// (the pixel buffer, the last page's images).
bool pageFitsInMemory(const cups_page_header2_t& header, DitherType halftone, uint64_t reusedBytes)
{
    const uint64_t pageBytes = pageByteCount(header);
    const bool stencil = halftone == DITHER_TATTOO || halftone == DITHER_TATTOO_X8;
    const uint64_t needed = pageBytes * (stencil ? 10 : 6);
    const uint64_t left = availableMemory();
    const uint64_t available = left > UINT64_MAX - reusedBytes ? UINT64_MAX : left + reusedBytes;
    if (needed <= available)
        return true;
    tavelLogCommon(3, "Page of %u x %u pixels needs about %llu MiB of memory, only %llu MiB available!",
                   header.cupsWidth, header.cupsHeight,
                   static_cast<unsigned long long>(needed >> 20),
                   static_cast<unsigned long long>(available >> 20));
    return false;
}

void configurePrinter(TsplPrinter* printer, cups_page_header2_t* header, const Settings& settings)
{
    printer->setPageHeader(header);
    printer->setBrightness(settings.Brightness);
    printer->setHalftoneType(settings.halftoneType);
    printer->setMirrorPrint(settings.MirrorImage != 0);
    printer->setNegativePrint(settings.NegativeImage != 0);
    printer->zippedImage = settings.ZippedImage;
    ImageDumpPolicy dumps = printer->getImageDumpPolicy();
    dumps.enabled = settings.SavePageImages != 0;
    dumps.maxTotalBytes = settings.PageImagesMaxBytes;
    printer->setImageDumpPolicy(dumps);
}

}  // namespace

int runFilter(int argc, char* argv[])
{
    int status = 1;
    int fd = 0;
    int pages = 0;
    int offsetX = 0;
    int offsetY = 0;
    unsigned char* buffer = nullptr;
    uint64_t bufferBytes = 0;
    cups_raster_t* raster = nullptr;
    std::unique_ptr<TsplPrinter> printer;
    std::unique_ptr<FILE, CFileCloser> recording;
    Settings settings;
    cups_page_header2_t header;
    PrinterStatusWatch statusWatch;
    // Before the filter opens anything: descriptor 3 is then CUPS's back
    // channel or nothing, never the raster file.
    const bool channelsOpen = backChannelsOpen();

    installSignalHandlers();
    keepFreedPagesForReuse();
    if (argc < 6) {
        std::fprintf(stderr, "%s v%s\n\nUsage:\n\n    %s job_id user title copyies options [file]\n\n",
                     tavelPathGetBasename(argv[0]), sVersion, tavelPathGetBasename(argv[0]));
        goto cleanup;
    }
    if (argc >= 7 && argv[6] != nullptr) {
        fd = open(argv[6], O_RDONLY);
        if (fd == -1) {
            fd = 0;
            std::fprintf(stderr, "ERROR: Unable to open raster file - ");
            goto cleanup;
        }
    }

    printer.reset(new TsplPrinter());

    std::memset(&settings, 0, sizeof(settings));
    parseSettings(&settings, argv[5], &offsetX, &offsetY);
    printer->setImageOffset(offsetX, offsetY);

    if (settings.OutputFile[0] != '\0') {
        recording.reset(openRegularFileForWriting(settings.OutputFile, "w"));
        tavelLogCommon(0, "Filter data output to: %s", settings.OutputFile);
        if (recording)
            printer->getOutputStreams()->push_back(recording.get());
    }

    if (settings.pageWidth <= 0.000001 || settings.pageHeight <= 0.000001) {
        std::fprintf(stderr, "ERROR: Paper size must not less than 1.0 : (%f, %f)\n",
                     settings.pageWidth, settings.pageHeight);
        goto cleanup;
    }

    for (int i = 0; i < 64; ++i)
        printer->printByte(10);

    // A printer that stands still is reported and waited for before the
    // first page goes out.
    startStatusWatch(&statusWatch, settings.QueryPrinterStatus != 0, channelsOpen);
    if (!waitForPrinter(&statusWatch, false, cancelRequested)) {
        jobCanceled(pages);
        goto cleanup;
    }

    raster = cupsRasterOpen(fd, CUPS_RASTER_READ);

    for (;;) {
        if (jobCanceled(pages))
            goto cleanup;
        if (cupsRasterReadHeader2(raster, &header) == 0) {
            // A cancel that arrived while waiting for input ends the stream
            // too (the print system stops the whole chain); it is no success.
            if (jobCanceled(pages))
                goto cleanup;
            status = 0;
            break;
        }
        // A cancel that came while the header was awaited stops the job
        // before this page's set-up block.
        if (jobCanceled(pages))
            goto cleanup;
        if (header.cupsBitsPerPixel != 8) {
            tavelLogCommon(3, "Unsupported bits per pixel : %d ! Requires 8 bits per pixel!",
                           header.cupsBitsPerPixel);
            goto cleanup;
        }
        if (header.cupsHeight == 0 || header.cupsBytesPerLine == 0) {
            status = 0;
            break;
        }
        if (!pageGeometryIsUsable(header) ||
            !pageFitsInMemory(header, settings.halftoneType,
                              bufferBytes + printer->heldImageBytes()))
            goto cleanup;
        // Below 4 GiB once the checks above have passed.
        const unsigned pageBytes = static_cast<unsigned>(pageByteCount(header));

        writeHeaderSideFile(header);

        unsigned char* resized = static_cast<unsigned char*>(std::realloc(buffer, pageBytes));
        if (resized == nullptr) {
            tavelLogCommon(3, "Unable to allocate %u bytes for the pixels of page %d", pageBytes,
                           pages + 1);
            goto cleanup;
        }
        buffer = resized;
        bufferBytes = pageBytes;

        settings.pageWidth =
            static_cast<float>(header.cupsWidth * 25.4 / header.HWResolution[0]);
        settings.pageHeight =
            static_cast<float>(header.cupsHeight * 25.4 / header.HWResolution[1]);
        tavelLogCommon(0, "pageWidth: %f,pageHeight: %f", settings.pageWidth, settings.pageHeight);

        jobSetup(*printer, settings);
        configurePrinter(printer.get(), &header, settings);
        if (pages == 0)
            setCls(*printer);
        ++pages;
        tavelLogCommon(0, "PAGE: %d %d\n", pages, header.NumCopies);
        logPageHeader(header);

        {
            const unsigned read = cupsRasterReadPixels(raster, buffer, pageBytes);
            // A cancel that came while the pixels were awaited: the page is
            // not started, so the printer is left between pages.
            if (jobCanceled(pages - 1))
                goto cleanup;
            if (read == 0) {
                // The stream ended inside the page: the pages before it are
                // printed, but the job did not end normally.
                tavelLogCommon(3, "Unable to read the pixel data of page %d, stopping the job",
                               pages);
                goto cleanup;
            }
        }
        try {
            printer->printImage(buffer, header.cupsBytesPerLine, header.cupsHeight,
                                header.cupsWidth);
        } catch (const std::bad_alloc&) {
            tavelLogCommon(3, "Out of memory while processing page %d", pages);
            goto cleanup;
        } catch (const std::exception& failure) {
            tavelLogCommon(3, "Page %d could not be processed: %s", pages, failure.what());
            goto cleanup;
        }
        if (printer->pageFailed()) {
            tavelLogCommon(3, "Page %d could not be printed, stopping the job", pages);
            goto cleanup;
        }
        if (printerConnectionLost())
            goto cleanup;
        writePageLine(pages, header.NumCopies);
        if (!waitForPrinter(&statusWatch, false, cancelRequested)) {
            jobCanceled(pages);
            goto cleanup;
        }
    }

    // The job counts as printed once the printer has printed it.
    if (!waitForPrinter(&statusWatch, true, cancelRequested)) {
        jobCanceled(pages);
        status = 1;
    }

cleanup:
    // Bytes still buffered must reach the printer before the job counts as
    // printed.
    if (status == 0 && (std::fflush(stdout) != 0 || printerConnectionLost()))
        status = 1;
    endStatusWatch(&statusWatch);
    std::free(buffer);
    if (raster != nullptr)
        cupsRasterClose(raster);
    if (fd != 0)
        close(fd);
    recording.reset();
    printer.reset();
    return status;
}
