// The printer's status as a TSPL printer reports it: the query bytes, the
// decoding of the one-byte answer into conditions, and what a front end
// shows for them (IPP printer-state-reasons keywords, a short text). No
// I/O: the CUPS filter asks through the back channel, the printer
// application through its device, and both read the answer here.
#ifndef TAVEL_TSPL_TSPL_STATUS_H
#define TAVEL_TSPL_TSPL_STATUS_H

#include <cstddef>
#include <string>

// <ESC>!? : every TSPL printer that reports its status answers these three
// bytes at once with one status byte, even in an error state and in the
// middle of a job. Newer firmware also knows <ESC>!S; it is not used, so
// that older printers work alike.
constexpr unsigned char kTsplStatusQuery[3] = {0x1B, '!', '?'};
constexpr size_t kTsplStatusQueryLength = sizeof(kTsplStatusQuery);

// Bits of the status byte that stop the printer: each keeps the labels it
// holds until the condition is cleared.
enum TsplCondition : unsigned {
    kTsplHeadOpen = 0x01,
    kTsplPaperJam = 0x02,
    kTsplPaperOut = 0x04,
    kTsplRibbonOut = 0x08,
    kTsplPaused = 0x10,
    kTsplCoverOpen = 0x40,
    kTsplOtherError = 0x80,
};
// Bit 5: the printer is printing labels it holds.
constexpr unsigned kTsplPrinting = 0x20;
constexpr unsigned kTsplAllConditions = kTsplHeadOpen | kTsplPaperJam | kTsplPaperOut |
                                        kTsplRibbonOut | kTsplPaused | kTsplCoverOpen |
                                        kTsplOtherError;

struct TsplStatus {
    unsigned conditions = 0;  // TsplCondition bits
    bool printing = false;
};

TsplStatus decodeTsplStatus(unsigned char answer);

// True when the printer stands still until someone acts on it.
inline bool tsplNeedsAttention(const TsplStatus& status) { return status.conditions != 0; }

// True when the printer has printed everything it received: no condition
// holds labels back and it is not printing.
inline bool tsplPrintedEverything(const TsplStatus& status)
{
    return status.conditions == 0 && !status.printing;
}

// The IPP printer-state-reasons keyword (without a severity suffix) of one
// condition bit: paper out "media-empty", jam "media-jam", head or cover
// open "cover-open", ribbon out "marker-supply-empty", paused "offline" (the
// printer takes data but prints nothing until its button is pressed),
// other errors "other". Null for a bit that is no condition.
const char* tsplConditionReason(unsigned condition);

// The condition bits whose reason is the same keyword are folded, so that
// a front end sets each keyword once: head open and cover open are both
// "cover-open". Fills reasons with at most maxReasons distinct keywords, in
// the bit order above, and returns how many.
size_t tsplStatusReasons(const TsplStatus& status, const char* reasons[], size_t maxReasons);

// What a user reads: "out of paper", "print head open, out of ribbon", or
// "" when no condition holds.
std::string tsplConditionText(const TsplStatus& status);

// Tells from the answers after bytes went out when the printer has printed
// them all. A printer answers at once, perhaps before it has read the last
// bytes from its buffer, so a "ready" counts only once the printer was seen
// printing since the bytes went out, or when it says "ready" twice in a row
// (the caller asks again after a pause).
class TsplPrintedCheck {
public:
    // Bytes that make labels went to the printer.
    void bytesSent()
    {
        printingSeen_ = false;
        readyBefore_ = false;
    }
    // Any answer, also one the caller does not wait on.
    void observe(const TsplStatus& status) { printingSeen_ = printingSeen_ || status.printing; }
    // An answer while waiting for the end: true when everything is printed.
    bool printedAll(const TsplStatus& status);

private:
    bool printingSeen_ = false;
    bool readyBefore_ = false;
};

#endif
