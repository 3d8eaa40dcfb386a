// Page fitting for raster pages whose size differs from the label's: turn
// to the label's orientation, scale to fit keeping the aspect ratio, centre.
#include "printerapp/jobs/page_fit.h"

#include "printerapp/jobs/exif_orientation.h"
#include "printerapp/jobs/label_crop.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// The page turned a quarter turn: counter-clockwise when clockwise is false.
std::vector<unsigned char> turnPage(const unsigned char* page, unsigned width, unsigned height,
                                    bool clockwise)
{
    std::vector<unsigned char> turned(static_cast<size_t>(width) * height);
    // The turned page is height dots wide and width dots long.
    for (unsigned y = 0; y < width; ++y) {
        unsigned char* row = turned.data() + static_cast<size_t>(y) * height;
        for (unsigned x = 0; x < height; ++x) {
            const unsigned sx = clockwise ? y : width - 1 - y;
            const unsigned sy = clockwise ? height - 1 - x : x;
            row[x] = page[static_cast<size_t>(sy) * width + sx];
        }
    }
    return turned;
}

// The size of a width x height page scaled by one factor for both
// directions to fit labelWidth x labelHeight: the label's size in the
// direction that limits, the other rounded to the nearest dot, at least 1.
void fittedSize(uint64_t width, uint64_t height, uint64_t labelWidth, uint64_t labelHeight,
                uint64_t* fitWidth, uint64_t* fitHeight)
{
    *fitWidth = labelWidth;
    *fitHeight = labelHeight;
    if (width * labelHeight > height * labelWidth)
        *fitHeight = (height * labelWidth * 2 + width) / (2 * width);
    else
        *fitWidth = (width * labelHeight * 2 + height) / (2 * height);
    if (*fitWidth == 0)
        *fitWidth = 1;
    if (*fitHeight == 0)
        *fitHeight = 1;
}

}  // namespace

bool fitPage(const unsigned char* page, unsigned width, unsigned height, unsigned labelWidth,
             unsigned labelHeight, std::vector<unsigned char>* fitted)
{
    fitted->assign(static_cast<size_t>(labelWidth) * labelHeight, 0);
    if (width == 0 || height == 0 || labelWidth == 0 || labelHeight == 0)
        return false;

    const bool pageLandscape = width > height;
    const bool labelLandscape = labelWidth > labelHeight;
    const bool turn = pageLandscape != labelLandscape && width != height &&
                      labelWidth != labelHeight;
    std::vector<unsigned char> turned;
    if (turn) {
        turned = turnPage(page, width, height, labelLandscape);
        page = turned.data();
        const unsigned w = width;
        width = height;
        height = w;
    }

    uint64_t fitWidth = 0;
    uint64_t fitHeight = 0;
    fittedSize(width, height, labelWidth, labelHeight, &fitWidth, &fitHeight);
    const uint64_t left = (labelWidth - fitWidth) / 2;
    const uint64_t top = (labelHeight - fitHeight) / 2;

    for (uint64_t y = 0; y < fitHeight; ++y) {
        const uint64_t y0 = y * height / fitHeight;
        uint64_t y1 = (y + 1) * height / fitHeight;
        if (y1 <= y0)
            y1 = y0 + 1;
        unsigned char* out = fitted->data() + (top + y) * labelWidth + left;
        for (uint64_t x = 0; x < fitWidth; ++x) {
            const uint64_t x0 = x * width / fitWidth;
            uint64_t x1 = (x + 1) * width / fitWidth;
            if (x1 <= x0)
                x1 = x0 + 1;
            uint64_t sum = 0;
            for (uint64_t sy = y0; sy < y1; ++sy) {
                const unsigned char* row = page + sy * width;
                for (uint64_t sx = x0; sx < x1; ++sx)
                    sum += row[sx];
            }
            const uint64_t count = (y1 - y0) * (x1 - x0);
            out[x] = static_cast<unsigned char>((sum + count / 2) / count);
        }
    }
    return turn;
}

std::string fitNote(double pageWidth, double pageHeight, bool turned, double labelWidth,
                    double labelHeight)
{
    char text[256];
    std::snprintf(text, sizeof(text), "The %.1fx%.1f mm page was %sfitted onto the %.1fx%.1f mm label.",
                  pageWidth, pageHeight, turned ? "turned and " : "", labelWidth, labelHeight);
    return text;
}

void fitPageToLabel(cups_page_header2_t* header, std::vector<unsigned char>* page,
                    unsigned labelWidth, unsigned labelHeight, bool crop, std::string* note)
{
    std::vector<unsigned char> fitted;
    const int dpi = static_cast<int>(header->HWResolution[0]);
    *note = placeOnLabel(*page, header->cupsWidth, header->cupsHeight, dpi, labelWidth,
                         labelHeight, dpi, crop, &fitted);
    page->swap(fitted);
    header->cupsWidth = labelWidth;
    header->cupsBytesPerLine = labelWidth;
    header->cupsHeight = labelHeight;
    header->PageSize[0] = static_cast<unsigned>(labelWidth * 72.0 / dpi + 0.5);
    header->PageSize[1] = static_cast<unsigned>(labelHeight * 72.0 / header->HWResolution[1] + 0.5);
    header->cupsPageSize[0] = static_cast<float>(labelWidth * 72.0 / dpi);
    header->cupsPageSize[1] = static_cast<float>(labelHeight * 72.0 / header->HWResolution[1]);
    header->ImagingBoundingBox[0] = header->ImagingBoundingBox[1] = 0;
    header->ImagingBoundingBox[2] = header->PageSize[0];
    header->ImagingBoundingBox[3] = header->PageSize[1];
}

namespace {

unsigned bigEndian(const unsigned char* bytes, int count)
{
    unsigned value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// Walks a JPEG's markers up to the frame header (SOF0 to SOF15 but DHT,
// JPG and DAC), which holds the height and then the width; an EXIF APP1
// segment on the way gives the orientation.
bool jpegSize(FILE* file, unsigned* width, unsigned* height, int* orientation)
{
    unsigned char segment[8];
    std::vector<unsigned char> app1;
    for (int markers = 0; markers < 1000; ++markers) {
        int c = std::fgetc(file);
        while (c == 0xFF)
            c = std::fgetc(file);
        if (c == EOF)
            return false;
        if (c == 0xD8 || (c >= 0xD0 && c <= 0xD7) || c == 0x01)
            continue;  // markers without a length
        if (std::fread(segment, 1, 2, file) != 2)
            return false;
        const unsigned length = bigEndian(segment, 2);
        if (length < 2)
            return false;
        if (c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC) {
            if (length < 7 || std::fread(segment, 1, 5, file) != 5)
                return false;
            *height = bigEndian(segment + 1, 2);
            *width = bigEndian(segment + 3, 2);
            return *width > 0 && *height > 0;
        }
        if (c == 0xE1 && *orientation == 1) {
            app1.resize(length - 2);
            if (std::fread(app1.data(), 1, app1.size(), file) != app1.size())
                return false;
            *orientation = jpegApp1Orientation(app1.data(), app1.size());
            continue;
        }
        if (std::fseek(file, static_cast<long>(length) - 2, SEEK_CUR) != 0)
            return false;
    }
    return false;
}

// Walks a PNG's chunks after IHDR up to the image data for an eXIf chunk.
int pngOrientation(FILE* file)
{
    unsigned char head[8];
    std::vector<unsigned char> exif;
    for (int chunks = 0; chunks < 1000 && std::fread(head, 1, 8, file) == 8; ++chunks) {
        const unsigned length = bigEndian(head, 4);
        if (std::memcmp(head + 4, "IDAT", 4) == 0 || length > (1u << 24))
            return 1;
        if (std::memcmp(head + 4, "eXIf", 4) == 0) {
            exif.resize(length);
            if (std::fread(exif.data(), 1, length, file) != length)
                return 1;
            return exifOrientation(exif.data(), exif.size());
        }
        if (std::fseek(file, static_cast<long>(length) + 4, SEEK_CUR) != 0)  // data and CRC
            return 1;
    }
    return 1;
}

}  // namespace

bool imageFileSize(const char* path, unsigned* width, unsigned* height)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    unsigned char header[24];
    bool ok = false;
    int orientation = 1;
    if (std::fread(header, 1, 2, file) == 2 && header[0] == 0xFF && header[1] == 0xD8) {
        ok = jpegSize(file, width, height, &orientation);
    } else if (std::fread(header + 2, 1, 22, file) == 22 &&
               std::memcmp(header, "\x89PNG\r\n\x1a\n", 8) == 0 &&
               std::memcmp(header + 12, "IHDR", 4) == 0) {
        *width = bigEndian(header + 16, 4);
        *height = bigEndian(header + 20, 4);
        ok = *width > 0 && *height > 0 && std::fseek(file, 33, SEEK_SET) == 0;
        if (ok)
            orientation = pngOrientation(file);
    }
    std::fclose(file);
    if (ok && orientationTurns(orientation))
        std::swap(*width, *height);
    return ok;
}

bool turnPlacedImage(std::vector<unsigned char>* page, unsigned width, unsigned height,
                     unsigned imageWidth, unsigned imageHeight)
{
    if (imageWidth == imageHeight || width == height || imageWidth == 0 || imageHeight == 0 ||
        (imageWidth > imageHeight) == (width > height))
        return false;
    // Where the image lies: fitted and centred as PAPPL places it.
    uint64_t placedWidth = 0;
    uint64_t placedHeight = 0;
    fittedSize(imageWidth, imageHeight, width, height, &placedWidth, &placedHeight);
    const uint64_t left = (width - placedWidth) / 2;
    const uint64_t top = (height - placedHeight) / 2;
    std::vector<unsigned char> placed(placedWidth * placedHeight);
    for (uint64_t y = 0; y < placedHeight; ++y)
        std::memcpy(placed.data() + y * placedWidth, page->data() + (top + y) * width + left,
                    placedWidth);
    fitPage(placed.data(), static_cast<unsigned>(placedWidth), static_cast<unsigned>(placedHeight),
            width, height, page);
    return true;
}
