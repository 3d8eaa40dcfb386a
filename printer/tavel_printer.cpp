// The printer object: option setters with their clamping and the output
// stream list through which every printer command leaves the process.
#include "printer/tavel_printer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

const char* const sDefaultImagePathFmt = TAVEL_DUMP_DIR "prnimg_%d-%d-%d_%d_%d_%d_%ld.bmp";

// Maker identification: "MFT:" and the bytes of "rastertotavel" in hex.
const char* const sCopyRight = "MFT:72 61 73 74 65 72 74 6F 74 61 76 65 6C";

}  // namespace

TavelPrinter::TavelPrinter() : TavelPrinter(stdout) {}

TavelPrinter::TavelPrinter(FILE* output)
{
    if (output != nullptr)
        outputStreams_.push_back(output);
    std::strncpy(imagePathFmt_, sDefaultImagePathFmt, sizeof(imagePathFmt_) - 1);
}

TavelPrinter::~TavelPrinter() { finishImageDumps(); }

void TavelPrinter::setBrightness(int value) { brightness_ = std::clamp(value, -100, 100); }

void TavelPrinter::setContrast(int value) { contrast_ = std::clamp(value, -100, 100); }

void TavelPrinter::setPrintSpeed(char* text) { printSpeed_ = std::clamp(std::atoi(text), 1, 15); }

void TavelPrinter::setPrintDensity(int value) { printDensity_ = std::clamp(value, 0, 15); }

const char* TavelPrinter::getCopyRight() const { return sCopyRight; }

void TavelPrinter::printBytes(const unsigned char* data, unsigned long len)
{
    for (FILE* stream : outputStreams_)
        std::fwrite(data, len, 1, stream);
}

void TavelPrinter::printStr(const char* text)
{
    for (FILE* stream : outputStreams_)
        std::fprintf(stream, "%s", text);
}

void TavelPrinter::printByte(unsigned char c)
{
    for (FILE* stream : outputStreams_)
        std::fputc(c, stream);
}

int TavelPrinter::printFormat(const char* format, ...)
{
    int result = 0;
    for (FILE* stream : outputStreams_) {
        // A consumed argument list cannot serve the next stream.
        va_list args;
        va_start(args, format);
        result = std::vfprintf(stream, format, args);
        va_end(args);
    }
    return result;
}

void TavelPrinter::flushOutputStreams()
{
    for (FILE* stream : outputStreams_)
        std::fflush(stream);
}
