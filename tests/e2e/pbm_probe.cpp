// pbm_probe: measures the black dots of a PBM label image for the end-to-end
// scripts, which compare the numbers with where the document put its ink.
//
//   pbm_probe FILE                 -> "WIDTH HEIGHT COUNT MINX MINY MAXX MAXY"
//                                     (the bounding box of all black dots,
//                                     -1 -1 -1 -1 when there is none)
//   pbm_probe FILE X0 Y0 X1 Y1     -> "COUNT AREA" of the black dots inside
//                                     [X0, X1) x [Y0, Y1), clipped to the image
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Bitmap {
    long width = 0;
    long height = 0;
    std::vector<unsigned char> black; // one byte per dot, 1 = black
};

// Skips white space and comments between PBM header fields.
void skipSeparators(const std::string& data, size_t& pos)
{
    while (pos < data.size()) {
        if (std::isspace(static_cast<unsigned char>(data[pos]))) {
            ++pos;
        } else if (data[pos] == '#') {
            while (pos < data.size() && data[pos] != '\n')
                ++pos;
        } else {
            break;
        }
    }
}

bool readNumber(const std::string& data, size_t& pos, long& value)
{
    skipSeparators(data, pos);
    size_t start = pos;
    while (pos < data.size() && std::isdigit(static_cast<unsigned char>(data[pos])))
        ++pos;
    if (pos == start)
        return false;
    value = std::stol(data.substr(start, pos - start));
    return true;
}

// Reads a plain (P1) or raw (P4) PBM file.
bool readPbm(const char* path, Bitmap& bitmap, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + std::string(path);
        return false;
    }
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 2 || data[0] != 'P' || (data[1] != '1' && data[1] != '4')) {
        error = std::string(path) + " is not a PBM file";
        return false;
    }
    size_t pos = 2;
    if (!readNumber(data, pos, bitmap.width) || !readNumber(data, pos, bitmap.height)
        || bitmap.width <= 0 || bitmap.height <= 0) {
        error = std::string(path) + " has no valid size";
        return false;
    }
    bitmap.black.assign(static_cast<size_t>(bitmap.width * bitmap.height), 0);
    if (data[1] == '4') {
        ++pos; // the single white-space byte after the height
        const long rowBytes = (bitmap.width + 7) / 8;
        if (data.size() < pos + static_cast<size_t>(rowBytes * bitmap.height)) {
            error = std::string(path) + " is truncated";
            return false;
        }
        for (long y = 0; y < bitmap.height; ++y) {
            for (long x = 0; x < bitmap.width; ++x) {
                const unsigned char byte = static_cast<unsigned char>(data[pos + y * rowBytes + x / 8]);
                bitmap.black[y * bitmap.width + x] = (byte >> (7 - x % 8)) & 1;
            }
        }
        return true;
    }
    for (size_t i = 0; i < bitmap.black.size(); ++i) {
        skipSeparators(data, pos);
        if (pos >= data.size() || (data[pos] != '0' && data[pos] != '1')) {
            error = std::string(path) + " is truncated";
            return false;
        }
        bitmap.black[i] = data[pos++] == '1';
    }
    return true;
}

void printBoundingBox(const Bitmap& bitmap)
{
    long count = 0, minX = -1, minY = -1, maxX = -1, maxY = -1;
    for (long y = 0; y < bitmap.height; ++y) {
        for (long x = 0; x < bitmap.width; ++x) {
            if (!bitmap.black[y * bitmap.width + x])
                continue;
            if (count == 0) {
                minX = maxX = x;
                minY = maxY = y;
            }
            ++count;
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
        }
    }
    std::cout << bitmap.width << ' ' << bitmap.height << ' ' << count << ' ' << minX << ' ' << minY
              << ' ' << maxX << ' ' << maxY << '\n';
}

void printRegionCount(const Bitmap& bitmap, long x0, long y0, long x1, long y1)
{
    x0 = std::max(x0, 0L);
    y0 = std::max(y0, 0L);
    x1 = std::min(x1, bitmap.width);
    y1 = std::min(y1, bitmap.height);
    long count = 0, area = 0;
    for (long y = y0; y < y1; ++y) {
        for (long x = x0; x < x1; ++x) {
            count += bitmap.black[y * bitmap.width + x];
            ++area;
        }
    }
    std::cout << count << ' ' << area << '\n';
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 6) {
        std::cerr << "Usage: pbm_probe FILE [X0 Y0 X1 Y1]\n";
        return 2;
    }
    Bitmap bitmap;
    std::string error;
    if (!readPbm(argv[1], bitmap, error)) {
        std::cerr << "pbm_probe: " << error << '\n';
        return 1;
    }
    if (argc == 2) {
        printBoundingBox(bitmap);
    } else {
        printRegionCount(bitmap, std::atol(argv[2]), std::atol(argv[3]), std::atol(argv[4]),
                         std::atol(argv[5]));
    }
    return 0;
}
