// Debug image dump: writes a page image as a Windows bitmap (BMP) file named
// from the printer's path template, the local time and a sequence number,
// so that a support engineer can see each page before and after processing.
#include <sys/uio.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <thread>

#include "printer/row_packing.h"
#include "printer/tavel_printer.h"

namespace {

// Sequence number of the dumps of this process; makes names unique.
int64_t page_index = 0;

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

}  // namespace

FILE* TavelPrinter::openImageDump(unsigned long height, unsigned long width,
                                  unsigned short bitsPerPixel)
{
    const time_t now = std::time(nullptr);
    const struct tm* local = std::localtime(&now);
    char path[2048];
    std::snprintf(path, sizeof(path), imagePathFmt_, local->tm_year + 1900, local->tm_mon + 1,
                  local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec,
                  static_cast<long>(page_index));
    ++page_index;

    FILE* file = std::fopen(path, "wb+");
    if (file == nullptr) {
        std::fprintf(stderr, "TavelPrinter::saveImage: unable to open the file %s\n", path);
        return nullptr;
    }

    // Dumps are a whole page each: write them in large pieces.
    std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    const bool mono = bitsPerPixel == 1;
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
