// mixed_label: makes the mixed label of the automatic halftone's end-to-end
// test and measures how well a print keeps the tone of its photo.
//
//   mixed_label compose OUT.pgm WIDTH HEIGHT ITEM...
//       A grey page in ink levels (0 = paper, 255 = full dot), as the filter
//       takes it. ITEM is piece:X,Y:FILE, a PGM (P5, 255 = white) or PBM
//       (P4, 1 = black) image laid on the page with its top left corner at
//       X,Y (rendered barcodes and text), or photo:X,Y,W,H, a synthetic
//       photograph: smooth shading over every level with a little grain.
//   mixed_label tone-error SOURCE.pgm PRINT.pbm X,Y,W,H
//       The mean absolute difference, in thousandths of a level, between
//       the source's ink levels and the print (a dot 255, paper 0) blurred
//       as an eye at reading distance blurs it (Gaussian, sigma 2 dots), over
//       the rectangle. The blur reads the print up to 6 dots around it: a
//       rectangle 6 dots inside the photo measures the photo alone.
//   mixed_label differ A.pbm B.pbm X,Y,W,H
//       The number of dots inside the rectangle that one print has and the
//       other has not.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Grey {
    long width = 0;
    long height = 0;
    std::vector<int> ink;  // 0 = paper, 255 = full dot

    int& at(long x, long y) { return ink[static_cast<size_t>(y * width + x)]; }
    int at(long x, long y) const { return ink[static_cast<size_t>(y * width + x)]; }
};

struct Rect {
    long x = 0, y = 0, w = 0, h = 0;
};

[[noreturn]] void die(const std::string& message)
{
    std::cerr << "mixed_label: " << message << "\n";
    std::exit(2);
}

long readNumber(const std::string& data, size_t& pos, const std::string& path)
{
    while (pos < data.size() && (std::isspace(static_cast<unsigned char>(data[pos])) || data[pos] == '#')) {
        if (data[pos] == '#') {
            while (pos < data.size() && data[pos] != '\n')
                ++pos;
        } else {
            ++pos;
        }
    }
    const size_t start = pos;
    while (pos < data.size() && std::isdigit(static_cast<unsigned char>(data[pos])))
        ++pos;
    if (pos == start)
        die(path + ": bad header");
    return std::stol(data.substr(start, pos - start));
}

// Reads a raw PGM (maxval 255) or PBM as ink levels. A PGM holds
// brightness (255 = white) as gs renders it, or, with inkPgm, ink levels as
// the composed page.
Grey readImage(const std::string& path, bool inkPgm = false)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        die("cannot open " + path);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 2 || data[0] != 'P' || (data[1] != '4' && data[1] != '5'))
        die(path + " is neither a raw PBM nor a raw PGM");
    const bool bitmap = data[1] == '4';
    size_t pos = 2;
    Grey image;
    image.width = readNumber(data, pos, path);
    image.height = readNumber(data, pos, path);
    if (!bitmap && readNumber(data, pos, path) != 255)
        die(path + ": only maxval 255");
    ++pos;
    const long rowBytes = bitmap ? (image.width + 7) / 8 : image.width;
    if (image.width <= 0 || image.height <= 0 || data.size() < pos + rowBytes * image.height)
        die(path + " is truncated");
    image.ink.resize(static_cast<size_t>(image.width * image.height));
    for (long y = 0; y < image.height; ++y) {
        const unsigned char* row = reinterpret_cast<const unsigned char*>(data.data() + pos + y * rowBytes);
        for (long x = 0; x < image.width; ++x)
            image.at(x, y) = bitmap ? ((row[x / 8] >> (7 - x % 8)) & 1) * 255 : (inkPgm ? row[x] : 255 - row[x]);
    }
    return image;
}

void writePgm(const std::string& path, const Grey& page)
{
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << page.width << " " << page.height << "\n255\n";
    for (int v : page.ink)
        out.put(static_cast<char>(v));
    if (!out)
        die("cannot write " + path);
}

Rect parseRect(const std::string& text)
{
    Rect r;
    if (std::sscanf(text.c_str(), "%ld,%ld,%ld,%ld", &r.x, &r.y, &r.w, &r.h) != 4 || r.w <= 0 || r.h <= 0)
        die("bad rectangle " + text);
    return r;
}

// A photograph stand-in: a lit sphere on a shaded wall, a dark band and a
// bright window, so the region holds highlights, mid-tones and shadows with
// soft edges; a little grain as film or a sensor leaves it.
void drawPhoto(Grey& page, const Rect& r)
{
    unsigned long seed = 12345;
    for (long y = 0; y < r.h; ++y) {
        for (long x = 0; x < r.w; ++x) {
            const double u = static_cast<double>(x) / r.w;
            const double v = static_cast<double>(y) / r.h;
            double ink = 40 + 150 * v;                                 // wall, darker downward
            const double dx = u - 0.55, dy = v - 0.45;
            const double d = std::sqrt(dx * dx + dy * dy);
            if (d < 0.3) {                                             // sphere lit from top left
                const double light = 1 - std::hypot(u - 0.45, v - 0.35) / 0.45;
                ink = 230 - 220 * std::max(0.0, light);
            }
            ink += 60 * std::exp(-std::pow((v - 0.85) / 0.05, 2));     // dark band
            ink -= 35 * std::exp(-std::pow((u - 0.15) / 0.08, 2) - std::pow((v - 0.2) / 0.12, 2));
            seed = seed * 1103515245UL + 12345UL;
            ink += static_cast<double>((seed >> 16) % 9) - 4;         // grain, -4 ... 4
            const long px = r.x + x, py = r.y + y;
            if (px >= 0 && py >= 0 && px < page.width && py < page.height)
                page.at(px, py) = static_cast<int>(std::lround(std::min(255.0, std::max(0.0, ink))));
        }
    }
}

void drawPiece(Grey& page, long left, long top, const Grey& piece)
{
    for (long y = 0; y < piece.height; ++y)
        for (long x = 0; x < piece.width; ++x)
            if (left + x >= 0 && top + y >= 0 && left + x < page.width && top + y < page.height)
                page.at(left + x, top + y) = std::max(page.at(left + x, top + y), piece.at(x, y));
}

int compose(int argc, char** argv)
{
    if (argc < 5)
        die("compose OUT.pgm WIDTH HEIGHT ITEM...");
    Grey page;
    page.width = std::atol(argv[3]);
    page.height = std::atol(argv[4]);
    if (page.width <= 0 || page.height <= 0)
        die("bad page size");
    page.ink.assign(static_cast<size_t>(page.width * page.height), 0);
    for (int i = 5; i < argc; ++i) {
        const std::string item = argv[i];
        if (item.rfind("photo:", 0) == 0) {
            drawPhoto(page, parseRect(item.substr(6)));
            continue;
        }
        long x = 0, y = 0;
        int used = 0;
        if (item.rfind("piece:", 0) != 0 ||
            std::sscanf(item.c_str() + 6, "%ld,%ld:%n", &x, &y, &used) != 2 || used == 0)
            die("bad item " + item);
        drawPiece(page, x, y, readImage(item.substr(6 + static_cast<size_t>(used))));
    }
    writePgm(argv[2], page);
    return 0;
}

// Separable Gaussian, sigma 2 dots, cut at 3 sigma.
constexpr int kReach = 6;

int toneError(int argc, char** argv)
{
    if (argc != 5)
        die("tone-error SOURCE.pgm PRINT.pbm X,Y,W,H");
    const Grey source = readImage(argv[2], true);
    const Grey print = readImage(argv[3]);
    const Rect r = parseRect(argv[4]);
    if (r.x < kReach || r.y < kReach || r.x + r.w + kReach > print.width ||
        r.y + r.h + kReach > print.height || r.x + r.w > source.width || r.y + r.h > source.height)
        die("the rectangle must lie inside both images with room for the blur");
    double weights[2 * kReach + 1];
    double total = 0;
    for (int i = -kReach; i <= kReach; ++i)
        total += weights[i + kReach] = std::exp(-i * i / 8.0);
    for (double& w : weights)
        w /= total;
    // Across, then down, over the rectangle and the blur's reach around it.
    const long w = r.w + 2 * kReach, h = r.h + 2 * kReach;
    std::vector<double> across(static_cast<size_t>(w * h));
    for (long y = 0; y < h; ++y)
        for (long x = kReach; x < w - kReach; ++x) {
            double sum = 0;
            for (int i = -kReach; i <= kReach; ++i)
                sum += weights[i + kReach] * print.at(r.x - kReach + x + i, r.y - kReach + y);
            across[static_cast<size_t>(y * w + x)] = sum;
        }
    double error = 0;
    for (long y = kReach; y < h - kReach; ++y)
        for (long x = kReach; x < w - kReach; ++x) {
            double sum = 0;
            for (int i = -kReach; i <= kReach; ++i)
                sum += weights[i + kReach] * across[static_cast<size_t>((y + i) * w + x)];
            error += std::fabs(sum - source.at(r.x - kReach + x, r.y - kReach + y));
        }
    std::cout << std::lround(1000 * error / (static_cast<double>(r.w) * r.h)) << "\n";
    return 0;
}

int differ(int argc, char** argv)
{
    if (argc != 5)
        die("differ A.pbm B.pbm X,Y,W,H");
    const Grey a = readImage(argv[2]);
    const Grey b = readImage(argv[3]);
    const Rect r = parseRect(argv[4]);
    if (r.x < 0 || r.y < 0 || r.x + r.w > std::min(a.width, b.width) ||
        r.y + r.h > std::min(a.height, b.height))
        die("the rectangle must lie inside both prints");
    long count = 0;
    for (long y = r.y; y < r.y + r.h; ++y)
        for (long x = r.x; x < r.x + r.w; ++x)
            count += a.at(x, y) != b.at(x, y) ? 1 : 0;
    std::cout << count << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "compose")
        return compose(argc, argv);
    if (mode == "tone-error")
        return toneError(argc, argv);
    if (mode == "differ")
        return differ(argc, argv);
    die("usage: mixed_label compose ... | tone-error ... | differ ...");
}
