// Interpreter of the TSPL streams the filter writes: it follows the label
// set-up, draws BITMAP commands on a label canvas and hands every PRINTed
// label to the caller. It checks the stream strictly, so that a fault of the
// filter's encoder shows up as a clear error instead of a plausible picture.
#pragma once

#include "tools/label_canvas.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct TsplDecodeOptions {
    unsigned dpi = 203;            // converts SIZE lengths to dots
    std::ostream* info = nullptr;  // receives a line per command when set
};

// Called for every PRINT with the label canvas, the label's number (1, 2,
// ...) and how many times the printer prints it (sets times copies);
// returning false stops decoding with the handler's error.
using LabelHandler = std::function<bool(const LabelCanvas& label, unsigned number,
                                        uint64_t printCount, std::string& error)>;

// Decodes a whole stream. On the first fault returns false and sets error to
// a message naming the command, its byte offset and the problem.
bool decodeTspl(const std::vector<unsigned char>& stream, const TsplDecodeOptions& options,
                const LabelHandler& onPrint, std::string& error);
