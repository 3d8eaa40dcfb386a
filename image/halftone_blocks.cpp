// Block classification of the automatic halftone: counts the smooth grey
// pixels of every block, marks the blocks that are mostly smooth grey as
// tone, and grows that tone into the touching blocks that hold a little.
// Integer arithmetic only, one pass in scan order: the same page gives the
// same map on every machine.
#include "image/halftone_blocks.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Whether the neighbour n is within the smooth grey step of v.
inline bool withinStep(int v, int n) { return std::abs(v - n) <= kSmoothGreyStep; }

inline unsigned char smoothGrey(int v, int left, int right, int up, int down)
{
    const bool grey = v >= kSmoothGreyLow && v <= kSmoothGreyHigh;
    return static_cast<unsigned char>(grey && withinStep(v, left) && withinStep(v, right) &&
                                      withinStep(v, up) && withinStep(v, down));
}

// 1 for each smooth grey pixel of a row. A neighbour outside the page counts
// as the pixel itself, so the page's border decides nothing.
void markSmoothGrey(const unsigned char* above, const unsigned char* row, const unsigned char* below,
                    long width, unsigned char* flags)
{
    if (width == 1) {
        flags[0] = smoothGrey(row[0], row[0], row[0], above[0], below[0]);
        return;
    }
    flags[0] = smoothGrey(row[0], row[0], row[1], above[0], below[0]);
    for (long x = 1; x + 1 < width; ++x)
        flags[x] = smoothGrey(row[x], row[x - 1], row[x + 1], above[x], below[x]);
    flags[width - 1] = smoothGrey(row[width - 1], row[width - 2], row[width - 1], above[width - 1],
                                  below[width - 1]);
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

    // Smooth grey pixels per block.
    std::vector<long> counts(map.tone.size(), 0);
    std::vector<unsigned char> flags(static_cast<size_t>(width));
    for (long y = 0; y < height; ++y) {
        const unsigned char* row = firstRow + y * stride;
        const unsigned char* above = y > 0 ? row - stride : row;
        const unsigned char* below = y + 1 < height ? row + stride : row;
        markSmoothGrey(above, row, below, width, flags.data());
        long* blockCounts = &counts[static_cast<size_t>(y / kHalftoneBlockSize * map.columns)];
        for (long column = 0; column < map.columns; ++column) {
            const long end = std::min(width, (column + 1) * kHalftoneBlockSize);
            long sum = 0;
            for (long x = column * kHalftoneBlockSize; x < end; ++x)
                sum += flags[x];
            blockCounts[column] += sum;
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
