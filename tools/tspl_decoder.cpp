// TSPL interpreter of the previewer: command parsing, label set-up and
// bitmap drawing.
#include "tools/tspl_decoder.h"

#include "tools/compressed_bitmap.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

std::string trim(const std::string& text)
{
    const std::string::size_type first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> splitArguments(const std::string& text)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type comma = text.find(',', start);
        parts.push_back(trim(text.substr(start, comma - start)));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

// Whole decimal integer, optional minus sign, within [low, high].
bool parseInteger(const std::string& text, long low, long high, long& value)
{
    const std::string::size_type digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() <= digits || text.size() > 10 ||
        text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

// Plain decimal number such as 4, 2.5 or 101.6 (no exponent, no sign).
bool parseDecimal(const std::string& text, double& value)
{
    const std::string::size_type dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if (whole.empty() || whole.size() > 9 || whole.find_first_not_of("0123456789") != std::string::npos ||
        (dot != std::string::npos && fraction.empty()) ||
        fraction.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtod(text.c_str(), nullptr);
    return true;
}

// A length such as "100.0 mm", "4 inch", "2.5 in", "800 dot" or "4" (inches,
// TSPL's default unit), converted to dots at the given resolution.
bool parseLength(const std::string& text, unsigned dpi, double& dots)
{
    const std::string::size_type space = text.find(' ');
    const std::string number = text.substr(0, space);
    const std::string unit = space == std::string::npos ? std::string() : trim(text.substr(space));
    double value = 0;
    if (!parseDecimal(number, value))
        return false;
    if (unit == "mm")
        dots = value * dpi / 25.4;
    else if (unit.empty() || unit == "inch" || unit == "in")
        dots = value * dpi;
    else if (unit == "dot")
        dots = value;
    else
        return false;
    return true;
}

// Printable form of a command word for messages; binary junk is escaped.
std::string printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text.substr(0, 24)) {
        if (std::isprint(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + (text.size() > 24 ? "..." : "");
}

class TsplInterpreter {
public:
    TsplInterpreter(const std::vector<unsigned char>& stream, const TsplDecodeOptions& options,
                    const LabelHandler& onPrint)
        : data_(stream), options_(options), onPrint_(onPrint)
    {
    }

    bool run(std::string& error);

private:
    using Handler = bool (TsplInterpreter::*)(const std::string& arguments);

    bool fail(const std::string& message);
    void info(const std::string& line);
    bool atEnd() const { return pos_ >= data_.size(); }
    char peek() const { return static_cast<char>(data_[pos_]); }
    std::string readWord();
    std::string readLine();
    bool readLineEnd();

    bool parseTwoLengths(const std::string& arguments, double& first, double& second);
    bool doSize(const std::string& arguments);
    bool doGap(const std::string& arguments);
    bool parsePair(const std::string& arguments, long low, long high, long& a, long& b);
    bool doDirection(const std::string& arguments);
    bool doReference(const std::string& arguments);
    bool doOffset(const std::string& arguments);
    bool doSpeed(const std::string& arguments);
    bool doDensity(const std::string& arguments);
    bool doSet(const std::string& arguments);
    bool doCls(const std::string& arguments);
    bool doPrint(const std::string& arguments);
    bool doSound(const std::string& arguments);
    bool doBitmap();
    bool readBitmapHead(long field[5]);
    bool readBitmapData(long mode, size_t size, std::vector<unsigned char>& packed,
                        size_t& dataLength);
    bool fitCanvas(unsigned right, unsigned bottom);

    const std::vector<unsigned char>& data_;
    const TsplDecodeOptions& options_;
    const LabelHandler& onPrint_;
    size_t pos_ = 0;
    size_t commandStart_ = 0;
    unsigned commandNumber_ = 0;
    std::string word_;
    std::string error_;
    LabelCanvas canvas_;
    bool sizeSeen_ = false;
    unsigned referenceX_ = 0;
    unsigned referenceY_ = 0;
    unsigned labels_ = 0;
};

bool TsplInterpreter::fail(const std::string& message)
{
    if (error_.empty())
        error_ = "command " + std::to_string(commandNumber_) + " (" + printable(word_) +
                 ") at byte " + std::to_string(commandStart_) + ": " + message;
    return false;
}

void TsplInterpreter::info(const std::string& line)
{
    if (options_.info)
        *options_.info << line << '\n';
}

std::string TsplInterpreter::readWord()
{
    std::string word;
    while (!atEnd() && peek() != ' ' && peek() != '\r' && peek() != '\n')
        word.push_back(data_[pos_++]);
    return word;
}

// Rest of the line without its CR LF (or bare LF).
std::string TsplInterpreter::readLine()
{
    std::string line;
    while (!atEnd() && peek() != '\n')
        line.push_back(data_[pos_++]);
    if (!atEnd())
        ++pos_;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

bool TsplInterpreter::readLineEnd()
{
    if (!atEnd() && peek() == '\r')
        ++pos_;
    if (atEnd() || peek() != '\n')
        return false;
    ++pos_;
    return true;
}

bool TsplInterpreter::run(std::string& error)
{
    static const std::map<std::string, Handler> sCommands = {
        {"SIZE", &TsplInterpreter::doSize},          {"GAP", &TsplInterpreter::doGap},
        {"BLINE", &TsplInterpreter::doGap},          {"DIRECTION", &TsplInterpreter::doDirection},
        {"REFERENCE", &TsplInterpreter::doReference}, {"OFFSET", &TsplInterpreter::doOffset},
        {"SPEED", &TsplInterpreter::doSpeed},        {"DENSITY", &TsplInterpreter::doDensity},
        {"SET", &TsplInterpreter::doSet},            {"CLS", &TsplInterpreter::doCls},
        {"PRINT", &TsplInterpreter::doPrint},        {"SOUND", &TsplInterpreter::doSound},
    };
    for (;;) {
        while (!atEnd() && (peek() == '\r' || peek() == '\n' || peek() == ' ' || peek() == '\t'))
            ++pos_;
        if (atEnd())
            return true;
        commandStart_ = pos_;
        ++commandNumber_;
        word_ = readWord();
        bool ok = false;
        if (word_ == "BITMAP") {
            ok = doBitmap();
        } else {
            const auto command = sCommands.find(word_);
            const std::string arguments = trim(readLine());
            if (command != sCommands.end()) {
                ok = (this->*command->second)(arguments);
            } else {
                // Naming what the printer does take tells a user at once
                // whether the stream or the printer is at fault.
                std::string known = "BITMAP";
                for (const auto& entry : sCommands)
                    known += ", " + entry.first;
                ok = fail("unsupported command; this printer takes " + known);
            }
        }
        if (!ok) {
            error = error_;
            return false;
        }
    }
}

// "a, b" where both are lengths; converted to dots.
bool TsplInterpreter::parseTwoLengths(const std::string& arguments, double& first, double& second)
{
    const std::vector<std::string> parts = splitArguments(arguments);
    if (parts.size() != 2 || !parseLength(parts[0], options_.dpi, first) ||
        !parseLength(parts[1], options_.dpi, second))
        return fail("expected two lengths in mm, inch or dot, e.g. 3.0 mm, 0.0 mm");
    return true;
}

bool TsplInterpreter::doSize(const std::string& arguments)
{
    double width = 0, height = 0;
    if (!parseTwoLengths(arguments, width, height))
        return false;
    const long w = std::lround(width), h = std::lround(height);
    if (w < 1 || h < 1 || w > long(kMaxLabelSide) || h > long(kMaxLabelSide) ||
        uint64_t(w) * uint64_t(h) > kMaxLabelArea)
        return fail("label size " + std::to_string(w) + " x " + std::to_string(h) +
                    " dots is outside 1.." + std::to_string(kMaxLabelSide) + " per side or " +
                    std::to_string(kMaxLabelArea) + " dots in all");
    canvas_.resize(static_cast<unsigned>(w), static_cast<unsigned>(h));
    sizeSeen_ = true;
    info("SIZE " + arguments + " -> label " + std::to_string(w) + " x " + std::to_string(h) +
         " dots");
    return true;
}

bool TsplInterpreter::doGap(const std::string& arguments)
{
    double length = 0, offset = 0;
    if (!parseTwoLengths(arguments, length, offset))
        return false;
    info(word_ + " " + arguments);
    return true;
}

// Two integers "a,b" each in [low, high].
bool TsplInterpreter::parsePair(const std::string& arguments, long low, long high, long& a,
                                long& b)
{
    const std::vector<std::string> parts = splitArguments(arguments);
    if (parts.size() != 2 || !parseInteger(parts[0], low, high, a) ||
        !parseInteger(parts[1], low, high, b))
        return fail("expected two integers from " + std::to_string(low) + " to " +
                    std::to_string(high));
    info(word_ + " " + arguments);
    return true;
}

// The printed orientation is the printer's business; the preview shows the
// label as the bitmap lays it out.
bool TsplInterpreter::doDirection(const std::string& arguments)
{
    long direction = 0, mirror = 0;
    return parsePair(arguments, 0, 1, direction, mirror);
}

bool TsplInterpreter::doReference(const std::string& arguments)
{
    long x = 0, y = 0;
    if (!parsePair(arguments, 0, kMaxLabelSide, x, y))
        return false;
    referenceX_ = static_cast<unsigned>(x);
    referenceY_ = static_cast<unsigned>(y);
    return true;
}

bool TsplInterpreter::doOffset(const std::string& arguments)
{
    double dots = 0;
    const std::string length = arguments.rfind('-', 0) == 0 ? arguments.substr(1) : arguments;
    if (!parseLength(length, options_.dpi, dots))
        return fail("expected a length, e.g. 0.0 mm");
    info("OFFSET " + arguments);
    return true;
}

bool TsplInterpreter::doSpeed(const std::string& arguments)
{
    double speed = 0;
    if (!parseDecimal(arguments, speed) || speed <= 0)
        return fail("expected a positive speed");
    info("SPEED " + arguments);
    return true;
}

bool TsplInterpreter::doDensity(const std::string& arguments)
{
    long density = 0;
    if (!parseInteger(arguments, 0, 30, density))
        return fail("expected a density from 0 to 30");
    info("DENSITY " + arguments);
    return true;
}

bool TsplInterpreter::doSet(const std::string& arguments)
{
    if (arguments.empty())
        return fail("SET without a setting");
    info("SET " + arguments);
    return true;
}

bool TsplInterpreter::doCls(const std::string& arguments)
{
    if (!arguments.empty())
        return fail("CLS takes no arguments");
    canvas_.clear();
    info("CLS");
    return true;
}

bool TsplInterpreter::doPrint(const std::string& arguments)
{
    const std::vector<std::string> parts = splitArguments(arguments);
    long sets = 0, copies = 1;
    if (parts.size() > 2 || !parseInteger(parts[0], 1, 999999999, sets) ||
        (parts.size() == 2 && !parseInteger(parts[1], 1, 999999999, copies)))
        return fail("expected PRINT sets[,copies] with positive counts");
    if (canvas_.width() == 0 || canvas_.height() == 0)
        return fail("nothing to print: no SIZE and no BITMAP before PRINT");
    ++labels_;
    info("PRINT " + arguments + " -> label " + std::to_string(labels_) + ": " +
         std::to_string(canvas_.width()) + " x " + std::to_string(canvas_.height()) +
         " dots, sets " + std::to_string(sets) + ", copies " + std::to_string(copies) + ", " +
         std::to_string(canvas_.dotCount()) + " dots printed");
    std::string handlerError;
    const uint64_t printCount = static_cast<uint64_t>(sets) * static_cast<uint64_t>(copies);
    if (!onPrint_(canvas_, labels_, printCount, handlerError))
        return fail(handlerError);
    return true;
}

// "SOUND level,interval": the beep of Identify-Printer. Nothing is drawn.
bool TsplInterpreter::doSound(const std::string& arguments)
{
    const std::vector<std::string> parts = splitArguments(arguments);
    long level = 0, interval = 0;
    if (parts.size() != 2 || !parseInteger(parts[0], 0, 9, level) ||
        !parseInteger(parts[1], 1, 4095, interval))
        return fail("expected SOUND level,interval with level 0 to 9 and interval 1 to 4095");
    info("SOUND " + arguments);
    return true;
}

// Reads "x,y,widthBytes,height,mode," up to and including the fifth comma.
bool TsplInterpreter::readBitmapHead(long field[5])
{
    static const long sHigh[5] = {long(kMaxLabelSide), long(kMaxLabelSide),
                                  long(kMaxLabelSide / 8), long(kMaxLabelSide), 6};
    static const long sLow[5] = {0, 0, 1, 1, 0};
    static const char* const sNames[5] = {"x", "y", "width in bytes", "height", "mode"};
    for (int i = 0; i < 5; ++i) {
        std::string text;
        while (!atEnd() && peek() != ',' && peek() != '\n')
            text.push_back(static_cast<char>(data_[pos_++]));
        if (atEnd() || peek() != ',')
            return fail("BITMAP head ends before its fifth comma");
        ++pos_;
        if (!parseInteger(trim(text), sLow[i], sHigh[i], field[i]))
            return fail("BITMAP " + std::string(sNames[i]) + " '" + printable(trim(text)) +
                        "' is not a number from " + std::to_string(sLow[i]) + " to " +
                        std::to_string(sHigh[i]));
    }
    return true;
}

// Reads the data behind the head and its line end; dataLength is the number
// of data bytes on the wire (raw bytes or Base64 characters).
bool TsplInterpreter::readBitmapData(long mode, size_t size, std::vector<unsigned char>& packed,
                                     size_t& dataLength)
{
    if (mode != 6) {
        const size_t present = std::min(size, data_.size() - pos_);
        if (present < size)
            return fail("BITMAP data truncated: " + std::to_string(present) + " of " +
                        std::to_string(size) + " bytes present");
        packed.assign(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                      data_.begin() + static_cast<std::ptrdiff_t>(pos_ + size));
        pos_ += size;
        dataLength = size;
        if (!readLineEnd())
            return fail("BITMAP data of " + std::to_string(size) +
                        " bytes not followed by a line end");
        return true;
    }
    const size_t textStart = pos_;
    while (!atEnd() && peek() != '\r' && peek() != '\n')
        ++pos_;
    const size_t textLength = pos_ - textStart;
    dataLength = textLength;
    if (!readLineEnd())
        return fail("compressed BITMAP text not ended by a line end");
    std::vector<unsigned char> stream;
    std::string problem;
    if (!decodeBase64Text(reinterpret_cast<const char*>(data_.data() + textStart), textLength,
                          stream, problem) ||
        !inflateExactly(stream, size, packed, problem))
        return fail("compressed BITMAP: " + problem);
    return true;
}

// Without a SIZE the label grows to hold every bitmap drawn on it.
bool TsplInterpreter::fitCanvas(unsigned right, unsigned bottom)
{
    if (sizeSeen_ || (right <= canvas_.width() && bottom <= canvas_.height()))
        return true;
    const unsigned width = std::max(right, canvas_.width());
    const unsigned height = std::max(bottom, canvas_.height());
    if (width > kMaxLabelSide || height > kMaxLabelSide ||
        uint64_t(width) * height > kMaxLabelArea)
        return fail("bitmap extent " + std::to_string(width) + " x " + std::to_string(height) +
                    " dots is too large");
    canvas_.resize(width, height);
    return true;
}

bool TsplInterpreter::doBitmap()
{
    if (atEnd() || peek() != ' ')
        return fail("BITMAP without a head");
    ++pos_;
    long field[5];
    if (!readBitmapHead(field))
        return false;
    const long mode = field[4];
    if (mode != 0 && mode != 1 && mode != 2 && mode != 6)
        return fail("unsupported BITMAP mode " + std::to_string(mode));
    const unsigned x = referenceX_ + static_cast<unsigned>(field[0]);
    const unsigned y = referenceY_ + static_cast<unsigned>(field[1]);
    const unsigned widthBytes = static_cast<unsigned>(field[2]);
    const unsigned rows = static_cast<unsigned>(field[3]);
    const size_t size = static_cast<size_t>(widthBytes) * rows;
    std::vector<unsigned char> packed;
    size_t dataLength = 0;
    if (!readBitmapData(mode, size, packed, dataLength) || !fitCanvas(x + widthBytes * 8, y + rows))
        return false;
    const BitmapMode drawMode = mode == 6 ? BitmapMode::Overwrite : static_cast<BitmapMode>(mode);
    const uint64_t outside = canvas_.drawBitmap(x, y, widthBytes, rows, packed.data(), drawMode);
    info("BITMAP x=" + std::to_string(field[0]) + " y=" + std::to_string(field[1]) + " width=" +
         std::to_string(widthBytes) + " bytes (" + std::to_string(widthBytes * 8) +
         " dots) height=" + std::to_string(rows) + " mode=" + std::to_string(mode) +
         " data=" + std::to_string(dataLength) +
         " bytes" + (outside ? ", " + std::to_string(outside) + " dots outside the label" : ""));
    return true;
}

} // namespace

bool decodeTspl(const std::vector<unsigned char>& stream, const TsplDecodeOptions& options,
                const LabelHandler& onPrint, std::string& error)
{
    TsplInterpreter interpreter(stream, options, onPrint);
    return interpreter.run(error);
}
