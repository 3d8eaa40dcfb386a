// One job's bytes as the simulated printer receives them: status queries
// (<ESC>!?) are taken out and answered as soon as they arrive, the rest is
// the TSPL job, whose labels are handed on as soon as their PRINT line has
// arrived. BITMAP data is skipped by its length, so that query bytes that
// happen to occur inside a raw bitmap are image, not a query.
#pragma once

#include "tools/tspl_decoder.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Largest job the simulator takes, in bytes (an A4 stencil page is about
// 1 MB raw).
constexpr size_t kMaxJobBytes = 256u * 1024 * 1024;

class SimJobStream {
public:
    // answerQuery is called for every query; onLabel for every label.
    SimJobStream(const TsplDecodeOptions& options, std::function<void()> answerQuery,
                 LabelHandler onLabel);

    // Takes received bytes; returns false with error set when a label
    // handler failed or the job grew beyond kMaxJobBytes.
    bool receive(const unsigned char* bytes, size_t length, std::string& error);
    // The connection ended: decodes what is left; false with error set when
    // the job is no valid TSPL.
    bool finish(std::string& error);

    unsigned labels() const { return labels_; }

private:
    void takeJobByte(unsigned char byte);
    bool decodeNewLabels(bool final, std::string& error);

    TsplDecodeOptions options_;
    std::function<void()> answerQuery_;
    LabelHandler onLabel_;
    std::vector<unsigned char> job_;
    std::string line_;        // the command line so far, up to its data
    bool longLine_ = false;   // line_ was cut off
    uint64_t dataLeft_ = 0;   // raw BITMAP bytes still to come
    int queryBytes_ = 0;      // bytes of <ESC>!? seen so far
    bool printEnded_ = false; // a PRINT line ended since the last decoding
    unsigned labels_ = 0;     // labels handed on
};
