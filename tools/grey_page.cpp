// Loading of the raster writer's pages: PGM files and synthetic pages.
#include "tools/grey_page.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

// Parses a whole unsigned decimal number; rejects signs, blanks and overflow.
bool parseUnsigned(const std::string& text, unsigned long limit, unsigned& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    unsigned long v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > limit)
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

std::vector<std::string> splitOn(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = text.find(sep, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool parseSize(const std::string& text, GreyPage& page)
{
    const std::vector<std::string> wh = splitOn(text, 'x');
    return wh.size() == 2 && parseUnsigned(wh[0], kMaxPageSide, page.width) &&
           parseUnsigned(wh[1], kMaxPageSide, page.height);
}

bool parseFillPage(const std::string& pageArg, GreyPage& page, std::string& error)
{
    const std::vector<std::string> parts = splitOn(pageArg, ':');
    unsigned value = 0;
    if (parts.size() != 3 || !parseSize(parts[1], page) || !parseUnsigned(parts[2], 255, value)) {
        error = "bad synthetic page '" + pageArg + "', expected fill:WxH:V";
        return false;
    }
    page.pixels.assign(static_cast<size_t>(page.width) * page.height,
                       static_cast<unsigned char>(value));
    return true;
}

bool parseRectPage(const std::string& pageArg, GreyPage& page, std::string& error)
{
    const std::vector<std::string> parts = splitOn(pageArg, ':');
    const std::vector<std::string> box =
        parts.size() == 4 ? splitOn(parts[2], ',') : std::vector<std::string>();
    unsigned x = 0, y = 0, rw = 0, rh = 0, value = 0;
    if (parts.size() != 4 || !parseSize(parts[1], page) || box.size() != 4 ||
        !parseUnsigned(box[0], kMaxPageSide, x) || !parseUnsigned(box[1], kMaxPageSide, y) ||
        !parseUnsigned(box[2], kMaxPageSide, rw) || !parseUnsigned(box[3], kMaxPageSide, rh) ||
        !parseUnsigned(parts[3], 255, value)) {
        error = "bad synthetic page '" + pageArg + "', expected rect:WxH:X,Y,RW,RH:V";
        return false;
    }
    page.pixels.assign(static_cast<size_t>(page.width) * page.height, 0);
    // The rectangle is clipped to the page, so it may hang over any edge.
    for (unsigned row = y; row < y + rh && row < page.height; ++row)
        for (unsigned col = x; col < x + rw && col < page.width; ++col)
            page.pixels[static_cast<size_t>(row) * page.width + col] =
                static_cast<unsigned char>(value);
    return true;
}

// Reads the PGM header fields, skipping white space and '#' comments.
class PgmReader {
public:
    PgmReader(const std::string& data, size_t start) : data_(data), pos_(start) {}

    bool readNumber(unsigned long limit, unsigned& value)
    {
        skipSpaceAndComments();
        std::string digits;
        while (pos_ < data_.size() && std::isdigit(static_cast<unsigned char>(data_[pos_])))
            digits.push_back(data_[pos_++]);
        return parseUnsigned(digits, limit, value);
    }

    // Binary pixels start after exactly one white-space byte behind maxval.
    bool skipSingleSpace()
    {
        if (pos_ >= data_.size() || !std::isspace(static_cast<unsigned char>(data_[pos_])))
            return false;
        ++pos_;
        return true;
    }

    size_t pos() const { return pos_; }

private:
    void skipSpaceAndComments()
    {
        while (pos_ < data_.size()) {
            if (data_[pos_] == '#') {
                while (pos_ < data_.size() && data_[pos_] != '\n')
                    ++pos_;
            } else if (std::isspace(static_cast<unsigned char>(data_[pos_]))) {
                ++pos_;
            } else {
                return;
            }
        }
    }

    const std::string& data_;
    size_t pos_;
};

bool parsePgm(const std::string& path, const std::string& data, GreyPage& page,
              std::string& error)
{
    error = path + ": not a PGM file with maxval 255";
    if (data.size() < 2 || data[0] != 'P' || (data[1] != '5' && data[1] != '2'))
        return false;
    const bool binary = data[1] == '5';
    PgmReader reader(data, 2);
    unsigned maxval = 0;
    if (!reader.readNumber(kMaxPageSide, page.width) ||
        !reader.readNumber(kMaxPageSide, page.height) || !reader.readNumber(65535, maxval) ||
        maxval != 255)
        return false;
    const size_t count = static_cast<size_t>(page.width) * page.height;
    page.pixels.assign(count, 0);
    if (binary) {
        if (!reader.skipSingleSpace() || data.size() - reader.pos() < count) {
            error = path + ": PGM pixel data truncated";
            return false;
        }
        std::copy(data.begin() + static_cast<std::ptrdiff_t>(reader.pos()),
                  data.begin() + static_cast<std::ptrdiff_t>(reader.pos() + count),
                  page.pixels.begin());
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        unsigned v = 0;
        if (!reader.readNumber(255, v)) {
            error = path + ": PGM pixel " + std::to_string(i) + " missing or above 255";
            return false;
        }
        page.pixels[i] = static_cast<unsigned char>(v);
    }
    return true;
}

bool loadPgmFile(const std::string& path, GreyPage& page, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open file";
        return false;
    }
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    return parsePgm(path, data, page, error);
}

} // namespace

bool loadGreyPage(const std::string& pageArg, GreyPage& page, std::string& error)
{
    page = GreyPage();
    if (pageArg.rfind("fill:", 0) == 0)
        return parseFillPage(pageArg, page, error);
    if (pageArg.rfind("rect:", 0) == 0)
        return parseRectPage(pageArg, page, error);
    return loadPgmFile(pageArg, page, error);
}
