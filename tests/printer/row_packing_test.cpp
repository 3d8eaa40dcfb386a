// Packing of 8-bit rows into the 1-bit rows of TSPL bitmaps and page dumps.
#include "printer/row_packing.h"

#include <gtest/gtest.h>

#include <vector>

// Blank paper is a 1 bit, leftmost pixel in the most significant bit, fill
// bits 1. Rows long enough for whole groups of sixteen pixels and a tail;
// ink (any value but 0) at 0, 9, 17, 30, 31 and 33, each byte worked out by
// hand.
TEST(RowPacking, BlankIsOneInGroupsAndTail)
{
    struct Case {
        unsigned long width;
        std::vector<unsigned char> packed;
    };
    const Case cases[] = {
        {37, {0x7F, 0xBF, 0xBF, 0xFC, 0xBF}},  // two groups, then 5 pixels and 3 fill bits
        {32, {0x7F, 0xBF, 0xBF, 0xFC}},        // two groups exactly
        {24, {0x7F, 0xBF, 0xBF}},              // one group and one byte of eight
        {12, {0x7F, 0xBF}},                    // no whole group: 8 pixels, then 4 and 4 fill bits
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> row(c.width, 0);
        for (unsigned long x : {0, 9, 17, 30, 31, 33})
            if (x < c.width) row[x] = static_cast<unsigned char>(x == 9 ? 1 : 200);
        std::vector<unsigned char> out(c.packed.size() + 1, 0x55);
        packRowBlankAsOne(row.data(), c.width, out.data());
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end() - 1), c.packed) << "width " << c.width;
        EXPECT_EQ(out.back(), 0x55) << "width " << c.width << ": wrote past the row";
    }
}
