// What a guarded filter run must show, whatever its input: it ended on its
// own with status 0 or 1, every BITMAP it wrote is complete and followed by
// its PRINT line, and (unless the job was cancelled) a status of 1 came with
// an "ERROR:" line.
#ifndef TAVEL_TESTS_HARDENING_OUTCOME_H
#define TAVEL_TESTS_HARDENING_OUTCOME_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter_harness.h"
#include "guarded_run.h"

namespace tavel_test {

inline const std::string& preamble()
{
    static const std::string lineFeeds(64, '\n');
    return lineFeeds;
}

// The filter ended on its own with status 0 or 1 and left no bitmap
// unfinished; returns the pages written.
inline std::vector<BitmapPage> expectOrderlyEnd(const GuardedResult& run)
{
    EXPECT_FALSE(run.timedOut) << "the filter did not finish in time";
    EXPECT_EQ(run.signal, 0) << "the filter was killed by a signal\n" << run.err.substr(0, 4000);
    EXPECT_TRUE(run.exitStatus == 0 || run.exitStatus == 1) << "exit status " << run.exitStatus;
    std::vector<BitmapPage> pages;
    std::string problem;
    EXPECT_TRUE(scanBitmaps(run.out, &pages, &problem)) << problem;
    return pages;
}

// An orderly end, and a failure says why.
inline std::vector<BitmapPage> expectCleanEnd(const GuardedResult& run)
{
    if (run.exitStatus == 1) {
        EXPECT_FALSE(logLines(run.err, "ERROR:").empty()) << "failed without an ERROR: line";
    }
    return expectOrderlyEnd(run);
}

}  // namespace tavel_test

#endif
