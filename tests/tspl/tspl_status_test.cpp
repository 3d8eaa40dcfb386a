// The status byte of a TSPL printer read into conditions, IPP reasons and
// the user's text, for answers a printer really gives.
#include "tspl/tspl_status.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct StatusCase {
    unsigned char answer;
    bool printedEverything;
    bool printing;
    const char* reasons;  // space-separated
    const char* text;
};

std::string joinedReasons(const TsplStatus& status)
{
    const char* reasons[8];
    const size_t count = tsplStatusReasons(status, reasons, 8);
    std::string joined;
    for (size_t i = 0; i < count; ++i)
        joined += (i ? " " : "") + std::string(reasons[i]);
    return joined;
}

TEST(TsplStatus, AnswersDecodeIntoConditionsReasonsAndText)
{
    const StatusCase cases[] = {
        {0x00, true, false, "", ""},
        {0x20, false, true, "", ""},
        {0x01, false, false, "cover-open", "print head open"},
        {0x02, false, false, "media-jam", "paper jam"},
        {0x04, false, false, "media-empty", "out of paper"},
        {0x08, false, false, "marker-supply-empty", "out of ribbon"},
        {0x10, false, false, "offline", "paused"},
        {0x40, false, false, "cover-open", "cover open"},
        {0x80, false, false, "other", "printer error"},
        // Paper out while labels wait: not printing, nothing finished.
        {0x24, false, true, "media-empty", "out of paper"},
        // Head and cover open give the keyword once.
        {0x41, false, false, "cover-open", "print head open, cover open"},
        {0x0C, false, false, "media-empty marker-supply-empty", "out of paper, out of ribbon"},
        {0xFF, false, true, "cover-open media-jam media-empty marker-supply-empty offline other",
         "print head open, paper jam, out of paper, out of ribbon, paused, cover open, printer error"},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        const TsplStatus status = decodeTsplStatus(c.answer);
        EXPECT_EQ(tsplPrintedEverything(status), c.printedEverything);
        EXPECT_EQ(tsplNeedsAttention(status), std::string(c.reasons) != "");
        EXPECT_EQ(status.printing, c.printing);
        EXPECT_EQ(joinedReasons(status), c.reasons);
        EXPECT_EQ(tsplConditionText(status), c.text);
    }
}

TEST(TsplStatus, ReasonsStopAtTheCallersRoom)
{
    const char* reasons[2] = {nullptr, nullptr};
    ASSERT_EQ(tsplStatusReasons(decodeTsplStatus(0x0E), reasons, 2), 2u);
    EXPECT_STREQ(reasons[0], "media-jam");
    EXPECT_STREQ(reasons[1], "media-empty");
}

// Answers after the last bytes went out, in order: 'r' ready, 'p'
// printing, 'o' out of paper; whether each ended the wait.
TEST(TsplStatus, PrintedCheckTrustsReadyOnlyAfterPrintingOrTwice)
{
    struct Sequence {
        const char* observedFirst;  // answers before the end (after a page)
        const char* answers;
        const char* ends;
    };
    const Sequence sequences[] = {
        {"", "rr", "-+"},        // never seen printing: ready twice
        {"p", "r", "+"},         // printing after the page, ready now
        {"", "pr", "-+"},        // seen printing in the wait
        {"", "rpr", "--+"},      // a ready, then printing: the next ready ends it
        {"", "rorr", "---+"},    // a stop between two readies starts over
        {"o", "pop", "---"},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(std::string(sequence.observedFirst) + "|" + sequence.answers);
        TsplPrintedCheck check;
        check.bytesSent();
        const auto answer = [](char c) { return decodeTsplStatus(c == 'r' ? 0x00 : c == 'p' ? 0x20 : 0x04); };
        for (const char* c = sequence.observedFirst; *c; ++c)
            check.observe(answer(*c));
        std::string ends;
        for (const char* c = sequence.answers; *c; ++c)
            ends += check.printedAll(answer(*c)) ? '+' : '-';
        EXPECT_EQ(ends, sequence.ends);
    }
    // A page sent after printing was seen needs printing seen again.
    TsplPrintedCheck check;
    check.observe(decodeTsplStatus(0x20));
    check.bytesSent();
    EXPECT_FALSE(check.printedAll(decodeTsplStatus(0x00)));
}

}  // namespace
