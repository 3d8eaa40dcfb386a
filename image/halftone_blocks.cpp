// Block classification of the automatic halftone: counts the smooth grey
// pixels of every block, marks the blocks that are mostly smooth grey as
// tone, and grows that tone into the touching blocks that hold a little.
// Integer arithmetic only, one pass down the page a block row at a time,
// 16 pixels at a time in GCC vectors (SSE2 on amd64, NEON on ARM, plain
// code elsewhere): the same page gives the same map on every machine.
#include "image/halftone_blocks.h"

#include "workers/byte_vectors.h"

#include <algorithm>
#include <cstring>

namespace {

static_assert(kHalftoneBlockSize == 16, "a block column is one 16-byte vector");

// |a - b| for 16 levels.
inline ByteVector absoluteDifference(ByteVector a, ByteVector b)
{
    return subtractSaturated(a, b) | subtractSaturated(b, a);
}

// Whether every lane is 0.
inline bool noLanesSet(ByteVector lanes)
{
    const OctetVector halves = (OctetVector)lanes;
    return (halves[0] | halves[1]) == 0;
}

// Levels moved down by the bottom of the smooth grey range, wrapping: the
// levels in the range become 0 ... kGreySpan, those outside lie above it.
constexpr unsigned char kGreySpan = kSmoothGreyHigh - kSmoothGreyLow;

inline ByteVector movedDown(ByteVector v) { return v - splatBytes(kSmoothGreyLow); }

// 0xFF in the lanes of moved-down levels that lie in the smooth grey range.
inline ByteVector withinGreySpan(ByteVector moved)
{
    return lanesEqual(lanewiseMin(moved, splatBytes(kGreySpan)), moved);
}

// Whether any of a row's levels lies in the smooth grey range: the least
// moved-down level of the row is within the span. The last vector is the
// row's last 16 levels, overlapping the one before.
bool rowHasGrey(const unsigned char* row, long width)
{
    if (width < 16) {
        for (long x = 0; x < width; ++x)
            if (row[x] >= kSmoothGreyLow && row[x] <= kSmoothGreyHigh) return true;
        return false;
    }
    ByteVector least = movedDown(loadBytes(row + width - 16));
    for (long x = 0; x + 16 <= width; x += 16) least = lanewiseMin(least, movedDown(loadBytes(row + x)));
    return !noLanesSet(withinGreySpan(least));
}

// 0xFF in the lanes of the smooth grey pixels among the 16 at row + x. The
// row has a copy of its first pixel before it and of its last after it, so a
// neighbour outside the page counts as the pixel itself.
inline ByteVector smoothGreyLanes(const unsigned char* above, const unsigned char* row,
                                  const unsigned char* below, long x)
{
    const ByteVector v = loadBytes(row + x);
    const ByteVector grey = withinGreySpan(movedDown(v));
    // Paper and solid ink, most of a label, need no look at the neighbours.
    if (noLanesSet(grey))
        return grey;
    const ByteVector step = lanewiseMax(
        lanewiseMax(absoluteDifference(v, loadBytes(row + x - 1)), absoluteDifference(v, loadBytes(row + x + 1))),
        lanewiseMax(absoluteDifference(v, loadBytes(above + x)), absoluteDifference(v, loadBytes(below + x))));
    return grey & lanesEqual(subtractSaturated(step, splatBytes(kSmoothGreyStep)), ByteVector{});
}

// Rows between two looks at which blocks have become seeds.
constexpr long kSeedCheckRows = 4;

// Sum of the 16 lanes, each at most 16: pairs of lanes added in ever wider
// lanes.
long laneSum(ByteVector counts)
{
    const WordVector words = ((WordVector)counts & 0xFF) + ((WordVector)counts >> 8);
    const QuadVector quads = ((QuadVector)words & 0xFFFF) + ((QuadVector)words >> 16);
    const OctetVector octets = ((OctetVector)quads & 0xFFFFFFFFULL) + ((OctetVector)quads >> 32);
    return static_cast<long>(octets[0] + octets[1]);
}

}  // namespace

long ToneBlockMap::toneCount() const
{
    return static_cast<long>(std::count(tone.begin(), tone.end(), 1));
}

ToneBlockMap classifyToneBlocks(const unsigned char* firstRow, long width, long height, long stride)
{
    ToneBlockMap map;
    if (firstRow == nullptr || width <= 0 || height <= 0)
        return map;
    map.columns = (width + kHalftoneBlockSize - 1) / kHalftoneBlockSize;
    map.rows = (height + kHalftoneBlockSize - 1) / kHalftoneBlockSize;
    map.tone.assign(static_cast<size_t>(map.columns * map.rows), 0);

    // Smooth grey pixels per block. Each row is copied into a padded
    // scratch row (one pixel before, the width rounded up to whole blocks
    // after), so the loop reads whole vectors and needs no border test; a
    // vector covers one block column. Lanes past the page's width are
    // masked off. Per block row, each lane counts at most 16 rows.
    //
    // A block that has smooth grey in a quarter of its pixels is a seed
    // whatever its other rows hold, so its counting stops there: every few
    // rows the blocks still counted are summed, and those that have reached
    // the quarter leave the block row's list. In a photo that happens after
    // a quarter of the rows, and a block row whose blocks have all left
    // needs no more of its rows copied. The scratch rows are copied as they
    // are needed, so a row skipped this way is never read.
    const long padded = map.columns * kHalftoneBlockSize;
    const long rowLength = 16 + padded + 16;
    std::vector<unsigned char> scratch(static_cast<size_t>(3 * rowLength));
    long scratchHolds[3] = {-1, -1, -1};
    auto scratchRow = [&](long y) {
        unsigned char* to = scratch.data() + (y % 3) * rowLength + 16;
        if (scratchHolds[y % 3] != y) {
            const unsigned char* from = firstRow + y * stride;
            std::memcpy(to, from, static_cast<size_t>(width));
            to[-1] = from[0];
            std::memset(to + width, from[width - 1], static_cast<size_t>(padded - width + 1));
            scratchHolds[y % 3] = y;
        }
        return to;
    };
    ByteVector lastColumn{};
    for (long lane = 0; lane < 16; ++lane)
        lastColumn[lane] = (padded - kHalftoneBlockSize + lane) < width ? 0xFF : 0;

    std::vector<long> counts(map.tone.size(), 0);
    std::vector<ByteVector> blockRowCounts(static_cast<size_t>(map.columns));
    std::vector<long> counted;  // the columns of the block row still counted
    counted.reserve(static_cast<size_t>(map.columns));
    for (long blockRow = 0; blockRow < map.rows; ++blockRow) {
        const long top = blockRow * kHalftoneBlockSize;
        const long bottom = std::min(height, top + kHalftoneBlockSize);
        long* blockCounts = &counts[static_cast<size_t>(blockRow * map.columns)];
        counted.clear();
        for (long column = 0; column < map.columns; ++column) {
            counted.push_back(column);
            blockRowCounts[static_cast<size_t>(column)] = ByteVector{};
        }
        bool countedSinceCheck = false;
        for (long y = top; y < bottom && !counted.empty(); ++y) {
            // A row of paper and solid ink, as most rows of text are, adds
            // nothing, and is neither copied nor looked at block by block.
            if (rowHasGrey(firstRow + y * stride, width)) {
                countedSinceCheck = true;
                // The row itself stands in for a neighbour outside the page.
                const unsigned char* above = scratchRow(y > 0 ? y - 1 : y);
                const unsigned char* below = scratchRow(y + 1 < height ? y + 1 : y);
                const unsigned char* row = scratchRow(y);
                for (const long column : counted) {
                    ByteVector lanes = smoothGreyLanes(above, row, below, column * kHalftoneBlockSize);
                    if (column == map.columns - 1) lanes &= lastColumn;
                    blockRowCounts[static_cast<size_t>(column)] -= lanes;  // 0xFF is -1
                }
            }
            if (!countedSinceCheck || (y - top) % kSeedCheckRows != kSeedCheckRows - 1 || y + 1 == bottom)
                continue;
            countedSinceCheck = false;
            // Measured against a whole block's width: a narrower block at
            // the right edge may leave later than it could, never earlier.
            const long area = kHalftoneBlockSize * (bottom - top);
            long kept = 0;
            for (const long column : counted) {
                const ByteVector laneCounts = blockRowCounts[static_cast<size_t>(column)];
                const long count = noLanesSet(laneCounts) ? 0 : laneSum(laneCounts);
                if (count * 4 >= area)
                    blockCounts[column] = count;
                else
                    counted[static_cast<size_t>(kept++)] = column;
            }
            counted.resize(static_cast<size_t>(kept));
        }
        for (const long column : counted)
            blockCounts[column] = laneSum(blockRowCounts[static_cast<size_t>(column)]);
    }

    // Seeds: blocks that are a quarter smooth grey or more. A block at the
    // right or bottom edge is measured against the pixels it really has.
    std::vector<unsigned char> weak(map.tone.size(), 0);
    std::vector<long> pending;
    for (long row = 0; row < map.rows; ++row) {
        const long blockHeight = std::min(kHalftoneBlockSize, height - row * kHalftoneBlockSize);
        for (long column = 0; column < map.columns; ++column) {
            const long blockWidth = std::min(kHalftoneBlockSize, width - column * kHalftoneBlockSize);
            const long area = blockWidth * blockHeight;
            const long index = row * map.columns + column;
            const long count = counts[static_cast<size_t>(index)];
            if (count * 4 >= area && count > 0) {
                map.tone[static_cast<size_t>(index)] = 1;
                pending.push_back(index);
            } else if (count * 32 >= area && count > 0) {
                weak[static_cast<size_t>(index)] = 1;
            }
        }
    }

    // Growth: every block with a little smooth grey that is connected to a
    // seed through such blocks. The result is that set, whatever the order
    // of the visits.
    while (!pending.empty()) {
        const long index = pending.back();
        pending.pop_back();
        const long row = index / map.columns;
        const long column = index % map.columns;
        for (long r = std::max(0L, row - 1); r <= std::min(map.rows - 1, row + 1); ++r) {
            for (long c = std::max(0L, column - 1); c <= std::min(map.columns - 1, column + 1); ++c) {
                const size_t next = static_cast<size_t>(r * map.columns + c);
                if (weak[next] != 0 && map.tone[next] == 0) {
                    map.tone[next] = 1;
                    pending.push_back(static_cast<long>(next));
                }
            }
        }
    }
    return map;
}
