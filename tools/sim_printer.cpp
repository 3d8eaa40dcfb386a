// The simulated printer's mechanism: printing off the roll in time, the
// stopping conditions and the status byte.
#include "tools/sim_printer.h"

#include "tools/label_image_writer.h"
#include "tspl/tspl_status.h"

#include <cstdio>

SimPrinter::SimPrinter(const SimPrinterOptions& options) : options_(options), roll_(options.roll) {}

bool SimPrinter::queueLabel(const LabelCanvas& label, uint64_t count)
{
    const uint64_t dots = static_cast<uint64_t>(label.width()) * label.height();
    if (waitingDots_ + dots > kMaxWaitingDots)
        return false;
    if (count > 0) {
        waiting_.push_back(Waiting{label, count});
        waitingDots_ += dots;
    }
    return true;
}

uint64_t SimPrinter::waiting() const
{
    uint64_t total = 0;
    for (const Waiting& entry : waiting_)
        total += entry.count;
    return total;
}

bool SimPrinter::stopped() const
{
    return headOpen_ || jammed_ || ribbonOut_ || paused_ || roll_ == 0;
}

unsigned char SimPrinter::statusByte() const
{
    unsigned status = 0;
    if (headOpen_)
        status |= kTsplHeadOpen;
    if (jammed_)
        status |= kTsplPaperJam;
    if (roll_ == 0)
        status |= kTsplPaperOut;
    if (ribbonOut_)
        status |= kTsplRibbonOut;
    if (paused_)
        status |= kTsplPaused;
    if (!stopped() && !waiting_.empty())
        status |= kTsplPrinting;
    return static_cast<unsigned char>(status);
}

int64_t SimPrinter::millisUntilNextLabel(int64_t now) const
{
    if (waiting_.empty() || stopped())
        return -1;
    if (!labelStarted_)
        return 0;
    const int64_t left = labelStart_ + options_.labelMillis - now;
    return left > 0 ? left : 0;
}

bool SimPrinter::advance(int64_t now, std::string& error)
{
    while (!waiting_.empty()) {
        // A stop loses the label under the head; it is printed again in
        // full once the printer goes on.
        if (stopped()) {
            labelStarted_ = false;
            return true;
        }
        if (!labelStarted_) {
            labelStarted_ = true;
            labelStart_ = now;
        }
        if (now - labelStart_ < static_cast<int64_t>(options_.labelMillis))
            return true;
        Waiting& entry = waiting_.front();
        --roll_;
        ++printed_;
        labelStart_ += options_.labelMillis;
        std::string path;
        if (!options_.outDir.empty()) {
            char name[32];
            std::snprintf(name, sizeof(name), "/label-%06llu.png",
                          static_cast<unsigned long long>(printed_));
            path = options_.outDir + name;
            if (!writeLabelPng(entry.label, path, error))
                return false;
        }
        std::printf("printed %llu %s\n", static_cast<unsigned long long>(printed_), path.c_str());
        if (--entry.count == 0) {
            waitingDots_ -= static_cast<uint64_t>(entry.label.width()) * entry.label.height();
            waiting_.pop_front();
        }
        if (waiting_.empty())
            labelStarted_ = false;
    }
    return true;
}
