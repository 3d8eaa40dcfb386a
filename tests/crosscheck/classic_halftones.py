"""Cross-check of the eight classic halftone types through the built filter
against a plain, independent rendering of the halftone rules: threshold,
the 4 x 4 ordered matrix, the Bayer matrix and the error-diffusion kernels
with truncating division and saturation after every tap.

    BUILD=build python3 tests/crosscheck/classic_halftones.py [SEED]
"""
import random
import sys

from filter_run import dump_listing, packed, printed_bitmap, remove_dumps

KERNELS = {
    2: (32, [(1, 0, 8), (2, 0, 4), (-2, 1, 2), (-1, 1, 4), (0, 1, 8), (1, 1, 4), (2, 1, 2)]),
    3: (42, [(1, 0, 8), (2, 0, 4), (-2, 1, 2), (-1, 1, 4), (0, 1, 8), (1, 1, 4), (2, 1, 2),
             (-2, 2, 1), (-1, 2, 2), (0, 2, 4), (1, 2, 2), (2, 2, 1)]),
    4: (48, [(1, 0, 7), (2, 0, 5), (-2, 1, 3), (-1, 1, 5), (0, 1, 7), (1, 1, 5), (2, 1, 3),
             (-2, 2, 1), (-1, 2, 3), (0, 2, 5), (1, 2, 3), (2, 2, 1)]),
    5: (32, [(1, 0, 5), (2, 0, 3), (-2, 1, 2), (-1, 1, 4), (0, 1, 5), (1, 1, 4), (2, 1, 2),
             (-1, 2, 2), (0, 2, 3), (1, 2, 2)]),
    6: (200, [(2, 0, 32), (-3, 1, 12), (-1, 1, 26), (1, 1, 30), (3, 1, 16), (-2, 2, 12),
              (0, 2, 26), (2, 2, 12), (-3, 3, 5), (-1, 3, 12), (1, 3, 12), (3, 3, 5)]),
}
ORDERED = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]
BAYER = [[0, 192, 48, 240], [128, 64, 176, 112], [32, 224, 16, 208], [160, 96, 144, 80]]
NAMES = ["None", "FloydSteinberg", "Ordered", "Burkes", "Stucki", "JarvisJudiceNinke",
         "Sierra", "StevensonArce"]


def truncating_div(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def halftone(page, width, height, method):
    grey = list(page)
    dots = [0] * (width * height)
    for y in range(height):
        for x in range(width):
            v = grey[y * width + x]
            if method == 0:
                dots[y * width + x] = 1 if v > 128 else 0
            elif method == 1:
                level = 16 * v // 255
                dots[y * width + x] = 1 if level == 16 or ORDERED[y % 4][x % 4] < level else 0
            elif method == 7:
                dots[y * width + x] = 1 if v > BAYER[y % 4][x % 4] else 0
            else:
                divisor, taps = KERNELS[method]
                dots[y * width + x], error = (1, v - 255) if v > 128 else (0, v)
                for dx, dy, weight in taps:
                    tx, ty = x + dx, y + dy
                    if 0 <= tx < width and 0 <= ty < height:
                        n = grey[ty * width + tx] + truncating_div(error * weight, divisor)
                        grey[ty * width + tx] = max(0, min(255, n))
    return dots


def main():
    rng = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 1)
    before = dump_listing()
    mismatches = 0
    try:
        for trial in range(12):
            width, height = rng.randint(1, 37), rng.randint(1, 23)
            style = trial % 4
            page = [rng.randint(0, 255) if style == 0 else
                    rng.choice([0, 30, 128, 129, 200, 255]) if style == 1 else
                    (x * 7 + y * 13) % 256 if style == 2 else
                    # long runs of blank paper and solid ink with a few greys
                    rng.choice([0] * 30 + [255] * 8 + [1, 128, 200, 254])
                    for y in range(height) for x in range(width)]
            for value, name in enumerate(NAMES):
                expected = packed(halftone(page, width, height, value), width, height)
                if printed_bitmap(page, width, height, name) != expected:
                    mismatches += 1
                    print("MISMATCH", name, width, "x", height)
    finally:
        remove_dumps(before)
    print(mismatches, "mismatches")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
