// Debug image dump: writes a page image as a Windows bitmap (BMP) file named
// from the printer's path template, the local time and a sequence number,
// so that a support engineer can see each page before and after processing.
// Dumps never replace another file, and the dumps of a folder are kept
// within a bound (image_dump.h).
#include "printer/image_dump.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "printer/row_packing.h"
#include "printer/tavel_printer.h"

namespace {

// Sequence number of the dumps of this process; makes names unique within
// the process, also when several printers dump pages on several threads.
std::atomic<int64_t> page_index{0};

void putLe16(unsigned char* at, uint32_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void putLe32(unsigned char* at, uint32_t value)
{
    putLe16(at, value & 0xFFFF);
    putLe16(at + 2, value >> 16);
}

// File header and info header, 54 bytes.
void fillBmpHeader(unsigned char* header, uint32_t width, uint32_t height, uint16_t bitsPerPixel,
                   uint32_t rowSize)
{
    const uint32_t colours = bitsPerPixel == 1 ? 2 : 256;
    const uint32_t dataOffset = 54 + 4 * colours;
    const uint32_t imageSize = rowSize * height;
    header[0] = 'B';
    header[1] = 'M';
    putLe32(header + 2, dataOffset + imageSize);
    putLe32(header + 6, 0);
    putLe32(header + 10, dataOffset);
    putLe32(header + 14, 40);
    putLe32(header + 18, width);
    putLe32(header + 22, height);
    putLe16(header + 26, 1);
    putLe16(header + 28, bitsPerPixel);
    putLe32(header + 30, 0);
    putLe32(header + 34, imageSize);
    putLe32(header + 38, 0);
    putLe32(header + 42, 0);
    putLe32(header + 46, bitsPerPixel == 1 ? 0 : 256);
    putLe32(header + 50, bitsPerPixel == 1 ? 0 : 256);
}

void writeColourTable(FILE* file, uint16_t bitsPerPixel)
{
    if (bitsPerPixel == 1) {
        const unsigned char table[8] = {0, 0, 0, 0, 255, 255, 255, 0};
        std::fwrite(table, sizeof(table), 1, file);
        return;
    }
    unsigned char table[1024];
    for (int i = 0; i < 256; ++i) {
        table[4 * i] = table[4 * i + 1] = table[4 * i + 2] = static_cast<unsigned char>(i);
        table[4 * i + 3] = 0;
    }
    std::fwrite(table, sizeof(table), 1, file);
}

// Writes every byte of the pieces, resuming after short writes. Errors end
// the dump silently, as a failed dump must not stop the job.
void writeAllPieces(int fd, iovec* pieces, int count)
{
    while (count > 0) {
        ssize_t written = writev(fd, pieces, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        while (count > 0 && static_cast<size_t>(written) >= pieces->iov_len) {
            written -= static_cast<ssize_t>(pieces->iov_len);
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<unsigned char*>(pieces->iov_base) + written;
            pieces->iov_len -= static_cast<size_t>(written);
        }
    }
}

// 8-bit rows go straight from the page to the file, last row first, each
// followed by its zero padding: one gathered write for many rows instead of
// copying a whole page through intermediate buffers.
void writeGreyRows(int fd, const unsigned char* data, unsigned long bytesPerLine,
                   unsigned long height, unsigned long width, unsigned long rowSize)
{
    static const unsigned char padding[4] = {0, 0, 0, 0};
    const unsigned long padBytes = rowSize - width;
    iovec pieces[512];
    int count = 0;
    for (unsigned long y = height; y > 0; --y) {
        pieces[count++] = {const_cast<unsigned char*>(data + (y - 1) * bytesPerLine), width};
        if (padBytes != 0)
            pieces[count++] = {const_cast<unsigned char*>(padding), padBytes};
        if (count + 2 > 512 || y == 1) {
            writeAllPieces(fd, pieces, count);
            count = 0;
        }
    }
}

// Bytes of a stored BMP row: the pixels, padded to whole 4-byte words.
unsigned long bmpRowSize(unsigned long width, unsigned short bitsPerPixel)
{
    return bitsPerPixel == 1 ? ((width + 7) / 8 + 3) / 4 * 4 : (width + 3) / 4 * 4;
}

// The pixel rows of a dump whose headers are written, then the file closed.
void writeDumpRows(FILE* file, const unsigned char* data, unsigned long bytesPerLine,
                   unsigned long height, unsigned long width, unsigned short bitsPerPixel)
{
    const bool mono = bitsPerPixel == 1;
    const unsigned long rowSize = bmpRowSize(width, bitsPerPixel);
    if (mono) {
        // The padding after the packed bytes stays 0 in every row.
        std::unique_ptr<unsigned char[]> row(new (std::nothrow) unsigned char[rowSize]());
        if (row == nullptr) {
            std::fclose(file);
            return;
        }
        for (unsigned long y = height; y > 0; --y) {
            packRowBlankAsOne(data + (y - 1) * bytesPerLine, width, row.get());
            std::fwrite(row.get(), rowSize, 1, file);
        }
    } else {
        std::fflush(file);
        writeGreyRows(fileno(file), data, bytesPerLine, height, width, rowSize);
    }
    std::fclose(file);
}

// Bytes of a whole dump file: headers, colour table and padded rows.
uint64_t dumpFileSize(unsigned long height, unsigned long width, unsigned short bitsPerPixel)
{
    const uint64_t colours = bitsPerPixel == 1 ? 2 : 256;
    return 54 + 4 * colours + uint64_t(bmpRowSize(width, bitsPerPixel)) * height;
}

// The folder part of a path, "." when it has none.
std::string folderOf(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, slash);
}

// An exclusive lock on the dump folder, held while its dumps are counted,
// removed and created, so that filters running at once agree on what is
// there. The wait is bounded: a folder locked for longer than a few
// seconds is used without the lock (each dump keeps its own lock).
class FolderLock {
public:
    explicit FolderLock(const std::string& folder)
        : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd_ < 0)
            return;
        for (int attempt = 0; attempt < 500; ++attempt) {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR))
                return;
            usleep(10000);
        }
    }
    ~FolderLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // The open folder, -1 when it cannot be opened.
    int fd() const { return fd_; }

private:
    int fd_;
};

struct DumpFile {
    std::string name;
    timespec modified;
    uint64_t size;
    ino_t inode;
};

// The regular dump files of the folder that belong to this process's user;
// adds their sizes to total.
std::vector<DumpFile> listOwnDumps(int folderFd, uint64_t* total)
{
    std::vector<DumpFile> dumps;
    const int scanFd = dup(folderFd);
    DIR* dir = scanFd >= 0 ? fdopendir(scanFd) : nullptr;
    if (dir == nullptr) {
        if (scanFd >= 0)
            close(scanFd);
        return dumps;
    }
    const uid_t user = geteuid();
    while (const dirent* entry = readdir(dir)) {
        struct stat info;
        if (!isPageDumpName(entry->d_name) ||
            fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || info.st_uid != user)
            continue;
        dumps.push_back({entry->d_name, info.st_mtim, uint64_t(info.st_size), info.st_ino});
        *total += uint64_t(info.st_size);
    }
    closedir(dir);
    std::sort(dumps.begin(), dumps.end(), [](const DumpFile& a, const DumpFile& b) {
        if (a.modified.tv_sec != b.modified.tv_sec)
            return a.modified.tv_sec < b.modified.tv_sec;
        if (a.modified.tv_nsec != b.modified.tv_nsec)
            return a.modified.tv_nsec < b.modified.tv_nsec;
        // Names of one second differ in their sequence number.
        if (a.name.size() != b.name.size())
            return a.name.size() < b.name.size();
        return a.name < b.name;
    });
    return dumps;
}

// Removes a dump unless a job is still writing it (the writer holds a lock
// on it). True when the file is gone, also when someone else removed it.
bool removeIdleDump(int folderFd, const DumpFile& dump)
{
    const int fd = openat(folderFd, dump.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat info;
    bool removed = false;
    if (fstat(fd, &info) == 0 && info.st_ino == dump.inode && flock(fd, LOCK_EX | LOCK_NB) == 0)
        removed = unlinkat(folderFd, dump.name.c_str(), 0) == 0 || errno == ENOENT;
    close(fd);
    return removed;
}

// Whether a dump of size bytes may be written into the folder: removes the
// user's oldest idle dumps until it fits within the bound, then asks the
// file system. A dump that must be skipped is reported in one log line.
bool makeRoomForDump(int folderFd, const std::string& folder, const char* path, uint64_t size,
                     const ImageDumpPolicy& policy)
{
    bool fits = size <= policy.maxTotalBytes;
    if (fits) {
        uint64_t total = 0;
        for (const DumpFile& dump : listOwnDumps(folderFd, &total)) {
            if (total <= policy.maxTotalBytes - size)
                break;
            if (removeIdleDump(folderFd, dump))
                total -= dump.size;
        }
        fits = total <= policy.maxTotalBytes - size;
    }
    if (!fits) {
        tavelLogCommon(2, "saveImage: page dump %s skipped: the page dumps would take more than %llu bytes",
                       path, static_cast<unsigned long long>(policy.maxTotalBytes));
        return false;
    }
    DumpFolderSpace space;
    if (policy.probeSpace != nullptr && policy.probeSpace(folder.c_str(), &space)) {
        const uint64_t freeAfter = space.freeBytes >= size ? space.freeBytes - size : 0;
        if (freeAfter < space.totalBytes / 10 + (space.totalBytes % 10 != 0 ? 1 : 0)) {
            tavelLogCommon(2, "saveImage: page dump %s skipped: the file system would keep less than 10%% free",
                           path);
            return false;
        }
    }
    return true;
}

int openNewFile(const char* path, mode_t mode)
{
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// Creates the dump as a new file, never through a link: when path is taken,
// the first free of <stem>-<pid>.bmp, <stem>-<pid>-2.bmp, ... <stem>-<pid>-99.bmp
// is used and written back into path.
int createDumpFile(char* path, size_t capacity, mode_t mode)
{
    int fd = openNewFile(path, mode);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    std::string stem = path;
    std::string extension;
    if (stem.size() >= 4 && stem.compare(stem.size() - 4, 4, ".bmp") == 0) {
        extension = ".bmp";
        stem.resize(stem.size() - 4);
    }
    const long pid = static_cast<long>(getpid());
    for (int variant = 1; variant < 100; ++variant) {
        char name[2048];
        const int length =
            variant == 1 ? std::snprintf(name, sizeof(name), "%s-%ld%s", stem.c_str(), pid, extension.c_str())
                         : std::snprintf(name, sizeof(name), "%s-%ld-%d%s", stem.c_str(), pid, variant,
                                         extension.c_str());
        if (length < 0 || static_cast<size_t>(length) >= std::min(capacity, sizeof(name)))
            break;
        fd = openNewFile(name, mode);
        if (fd >= 0 || errno != EEXIST) {
            std::memcpy(path, name, static_cast<size_t>(length) + 1);
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Claims the disk blocks of the whole dump at once, so that the next
// filter's count of the folder and of the free room includes this dump.
// False when the file system is full.
bool reserveDumpSpace(int fd, uint64_t size)
{
    const int result = posix_fallocate(fd, 0, static_cast<off_t>(size));
    return result != ENOSPC && result != EDQUOT && result != EFBIG;
}

}  // namespace

bool statDumpFolderSpace(const char* folder, DumpFolderSpace* space)
{
    struct statvfs info;
    if (statvfs(folder, &info) != 0 || info.f_blocks == 0)
        return false;
    const uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    space->totalBytes = uint64_t(info.f_blocks) * unit;
    space->freeBytes = uint64_t(info.f_bavail) * unit;
    return true;
}

bool isPageDumpName(const char* name)
{
    static const char* const prefixes[] = {"origin_", "dithered_", "prnimg_"};
    const size_t length = std::strlen(name);
    if (length < 4 || std::strcmp(name + length - 4, ".bmp") != 0)
        return false;
    for (const char* prefix : prefixes) {
        const size_t start = std::strlen(prefix);
        if (std::strncmp(name, prefix, start) != 0 || length == start + 4)
            continue;
        for (size_t i = start; i < length - 4; ++i) {
            if (!(name[i] >= '0' && name[i] <= '9') && name[i] != '-' && name[i] != '_')
                return false;
        }
        return true;
    }
    return false;
}

FILE* TavelPrinter::openImageDump(unsigned long height, unsigned long width,
                                  unsigned short bitsPerPixel)
{
    if (!dumpPolicy_.enabled)
        return nullptr;
    const time_t now = std::time(nullptr);
    // localtime_r: printers of several jobs may dump at once on their own threads.
    struct tm local;
    localtime_r(&now, &local);
    char path[2048];
    std::snprintf(path, sizeof(path), imagePathFmt_, local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(page_index.fetch_add(1)));
    if (!dumpPolicy_.folder.empty()) {
        // The same file name in the policy's folder.
        const char* slash = std::strrchr(path, '/');
        const std::string name = slash != nullptr ? slash + 1 : path;
        std::snprintf(path, sizeof(path), "%s/%s", dumpPolicy_.folder.c_str(), name.c_str());
    }

    const bool mono = bitsPerPixel == 1;
    const uint64_t fileSize = dumpFileSize(height, width, mono ? 1 : 8);
    const std::string folder = folderOf(path);
    const FolderLock folderLock(folder);
    if (folderLock.fd() >= 0 && !makeRoomForDump(folderLock.fd(), folder, path, fileSize, dumpPolicy_))
        return nullptr;

    const int fd = createDumpFile(path, sizeof(path), dumpPolicy_.fileMode);
    if (fd < 0) {
        std::fprintf(stderr, "TavelPrinter::saveImage: unable to open the file %s\n", path);
        return nullptr;
    }
    // Held until the file is closed: a cleaner never removes a dump that is
    // still being written.
    flock(fd, LOCK_EX | LOCK_NB);
    if (!reserveDumpSpace(fd, fileSize)) {
        unlink(path);
        close(fd);
        tavelLogCommon(2, "saveImage: page dump %s skipped: no room on the file system", path);
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        unlink(path);
        close(fd);
        std::fprintf(stderr, "TavelPrinter::saveImage: unable to open the file %s\n", path);
        return nullptr;
    }
    tavelLogCommon(0, "saveImage: page dump %s", path);

    // Dumps are a whole page each: write them in large pieces.
    std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    const unsigned long rowSize = bmpRowSize(width, bitsPerPixel);
    unsigned char header[54];
    fillBmpHeader(header, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                  mono ? 1 : 8, static_cast<uint32_t>(rowSize));
    std::fwrite(header, sizeof(header), 1, file);
    writeColourTable(file, mono ? 1 : 8);
    return file;
}

void TavelPrinter::saveImage(const unsigned char* data, unsigned long bytesPerLine,
                             unsigned long height, unsigned long width,
                             unsigned short bitsPerPixel)
{
    FILE* file = openImageDump(height, width, bitsPerPixel);
    if (file != nullptr)
        writeDumpRows(file, data, bytesPerLine, height, width, bitsPerPixel);
}

// The file is named, opened and its headers written here, so that a dump
// that cannot be opened says so in its place among the log lines; only the
// rows go to the thread. Where no thread can be started, they are written
// here.
void TavelPrinter::saveImageInBackground(const unsigned char* data, unsigned long bytesPerLine,
                                         unsigned long height, unsigned long width,
                                         unsigned short bitsPerPixel)
{
    FILE* file = openImageDump(height, width, bitsPerPixel);
    if (file == nullptr)
        return;
    try {
        dumpWriters_.emplace_back(writeDumpRows, file, data, bytesPerLine, height, width, bitsPerPixel);
    } catch (const std::exception&) {
        writeDumpRows(file, data, bytesPerLine, height, width, bitsPerPixel);
    }
}

void TavelPrinter::finishImageDumps()
{
    for (std::thread& writer : dumpWriters_)
        writer.join();
    dumpWriters_.clear();
}
