// Block classification of the automatic halftone: counts the smooth grey
// pixels of every block, marks the blocks that are mostly smooth grey as
// tone, and grows that tone into the touching blocks that hold a little.
// Integer arithmetic only, one pass in scan order, 16 pixels at a time in
// GCC vectors (SSE2 on amd64, NEON on ARM, plain code elsewhere): the same
// page gives the same map on every machine.
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

// 0xFF in the lanes of the smooth grey pixels among the 16 at row + x. The
// row has a copy of its first pixel before it and of its last after it, so a
// neighbour outside the page counts as the pixel itself.
inline ByteVector smoothGreyLanes(const unsigned char* above, const unsigned char* row,
                                  const unsigned char* below, long x)
{
    const ByteVector v = loadBytes(row + x);
    const ByteVector outsideRange =
        subtractSaturated(splatBytes(kSmoothGreyLow), v) | subtractSaturated(v, splatBytes(kSmoothGreyHigh));
    const ByteVector grey = lanesEqual(outsideRange, ByteVector{});
    // Paper and solid ink, most of a label, need no look at the neighbours.
    const OctetVector halves = (OctetVector)grey;
    if ((halves[0] | halves[1]) == 0)
        return grey;
    const ByteVector step = lanewiseMax(
        lanewiseMax(absoluteDifference(v, loadBytes(row + x - 1)), absoluteDifference(v, loadBytes(row + x + 1))),
        lanewiseMax(absoluteDifference(v, loadBytes(above + x)), absoluteDifference(v, loadBytes(below + x))));
    return grey & lanesEqual(subtractSaturated(step, splatBytes(kSmoothGreyStep)), ByteVector{});
}

// Sum of the 16 lanes.
long laneSum(ByteVector counts)
{
    long sum = 0;
    for (int i = 0; i < 16; ++i)
        sum += counts[i];
    return sum;
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
    const long padded = map.columns * kHalftoneBlockSize;
    const long rowLength = 16 + padded + 16;
    std::vector<unsigned char> scratch(static_cast<size_t>(3 * rowLength));
    auto scratchRow = [&](long y) { return scratch.data() + (y % 3) * rowLength + 16; };
    auto loadRow = [&](long y) {
        unsigned char* to = scratchRow(y);
        const unsigned char* from = firstRow + y * stride;
        std::memcpy(to, from, static_cast<size_t>(width));
        to[-1] = from[0];
        std::memset(to + width, from[width - 1], static_cast<size_t>(padded - width + 1));
    };
    ByteVector lastColumn{};
    for (long lane = 0; lane < 16; ++lane)
        lastColumn[lane] = (padded - kHalftoneBlockSize + lane) < width ? 0xFF : 0;

    std::vector<long> counts(map.tone.size(), 0);
    std::vector<ByteVector> blockRowCounts(static_cast<size_t>(map.columns));
    // Rows y - 1, y and y + 1 are in the three scratch rows while row y is
    // looked at; row y + 1 takes the place of row y - 2.
    loadRow(0);
    for (long y = 0; y < height; ++y) {
        if (y + 1 < height) loadRow(y + 1);
        const unsigned char* row = scratchRow(y);
        const unsigned char* above = y > 0 ? scratchRow(y - 1) : row;
        const unsigned char* below = y + 1 < height ? scratchRow(y + 1) : row;
        for (long column = 0; column < map.columns; ++column) {
            ByteVector lanes = smoothGreyLanes(above, row, below, column * kHalftoneBlockSize);
            if (column == map.columns - 1) lanes &= lastColumn;
            blockRowCounts[static_cast<size_t>(column)] -= lanes;  // 0xFF is -1
        }
        if (y % kHalftoneBlockSize == kHalftoneBlockSize - 1 || y == height - 1) {
            long* blockCounts = &counts[static_cast<size_t>(y / kHalftoneBlockSize * map.columns)];
            for (long column = 0; column < map.columns; ++column) {
                blockCounts[column] = laneSum(blockRowCounts[static_cast<size_t>(column)]);
                blockRowCounts[static_cast<size_t>(column)] = ByteVector{};
            }
        }
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
