// Decoding of the TSPL status byte and the names front ends show for it.
#include "tspl/tspl_status.h"

namespace {

struct ConditionName {
    unsigned bit;
    const char* reason;  // IPP printer-state-reasons keyword
    const char* text;    // for the user
};

// In the order of the status byte's bits; the order decides the order of
// the reasons and of the text.
const ConditionName sConditionNames[] = {
    {kTsplHeadOpen, "cover-open", "print head open"},
    {kTsplPaperJam, "media-jam", "paper jam"},
    {kTsplPaperOut, "media-empty", "out of paper"},
    {kTsplRibbonOut, "marker-supply-empty", "out of ribbon"},
    {kTsplPaused, "offline", "paused"},
    {kTsplCoverOpen, "cover-open", "cover open"},
    {kTsplOtherError, "other", "printer error"},
};

}  // namespace

TsplStatus decodeTsplStatus(unsigned char answer)
{
    TsplStatus status;
    status.conditions = answer & kTsplAllConditions;
    status.printing = (answer & kTsplPrinting) != 0;
    return status;
}

const char* tsplConditionReason(unsigned condition)
{
    for (const ConditionName& name : sConditionNames)
        if (name.bit == condition)
            return name.reason;
    return nullptr;
}

size_t tsplStatusReasons(const TsplStatus& status, const char* reasons[], size_t maxReasons)
{
    size_t count = 0;
    for (const ConditionName& name : sConditionNames) {
        if ((status.conditions & name.bit) == 0 || count == maxReasons)
            continue;
        bool known = false;
        for (size_t i = 0; i < count; ++i)
            known = known || reasons[i] == name.reason;
        if (!known)
            reasons[count++] = name.reason;
    }
    return count;
}

bool TsplPrintedCheck::printedAll(const TsplStatus& status)
{
    observe(status);
    if (!tsplPrintedEverything(status)) {
        readyBefore_ = false;
        return false;
    }
    if (printingSeen_ || readyBefore_)
        return true;
    readyBefore_ = true;
    return false;
}

std::string tsplConditionText(const TsplStatus& status)
{
    std::string text;
    for (const ConditionName& name : sConditionNames) {
        if ((status.conditions & name.bit) == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += name.text;
    }
    return text;
}
