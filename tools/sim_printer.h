// The simulated label printer's mechanism: a roll of labels, the labels it
// has received and not yet printed, the conditions that stop it, and the
// status byte it answers with. Printing takes a fixed time per label; a
// label counts as printed only when that time has passed without a stop,
// so a stop in the middle of a label prints that label again later, once.
#pragma once

#include "tools/label_canvas.h"

#include <cstdint>
#include <deque>
#include <string>

// Dots of received, unprinted labels the printer holds at most: a real
// printer's buffer is finite too, and a client must not exhaust memory.
constexpr uint64_t kMaxWaitingDots = 512ull * 1024 * 1024;

struct SimPrinterOptions {
    uint64_t roll = 1000;        // labels on the roll at start
    unsigned labelMillis = 500;  // time to print one label
    std::string outDir;          // where printed labels go as PNG; "" for none
};

class SimPrinter {
public:
    explicit SimPrinter(const SimPrinterOptions& options);

    // Takes a received label, to be printed count times; false when the
    // printer's buffer has no room for it (kMaxWaitingDots).
    bool queueLabel(const LabelCanvas& label, uint64_t count);

    // Advances printing to time now (milliseconds of a steady clock);
    // returns false with error set when a printed label could not be
    // written. Prints a line per printed label on standard output.
    bool advance(int64_t now, std::string& error);
    // Milliseconds until advance has work to do, -1 when nothing waits.
    int64_t millisUntilNextLabel(int64_t now) const;

    // The answer to <ESC>!?.
    unsigned char statusByte() const;

    // The operator's hands, from the control commands.
    void loadPaper(uint64_t labels) { roll_ += labels; }
    void takeRollOut() { roll_ = 0; }
    void setHeadOpen(bool open) { headOpen_ = open; }
    void setJammed(bool jammed) { jammed_ = jammed; }
    void setRibbonOut(bool out) { ribbonOut_ = out; }
    void setPaused(bool paused) { paused_ = paused; }

    uint64_t printed() const { return printed_; }
    uint64_t waiting() const;
    uint64_t roll() const { return roll_; }

private:
    struct Waiting {
        LabelCanvas label;
        uint64_t count;
    };

    bool stopped() const;

    SimPrinterOptions options_;
    uint64_t roll_;
    bool headOpen_ = false;
    bool jammed_ = false;
    bool ribbonOut_ = false;
    bool paused_ = false;
    std::deque<Waiting> waiting_;
    bool labelStarted_ = false;
    int64_t labelStart_ = 0;
    uint64_t printed_ = 0;
    uint64_t waitingDots_ = 0;
};
