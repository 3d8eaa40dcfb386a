"""Cross-check of the "Tattoo" and "Tattoo_X8" stencil types through the
built filter against a plain, independent rendering of the stencil chain in
which every single-precision step is rounded to float32 as it is performed:
grey levels, moment threshold, piecewise gamma, unsharp mask with an 11-tap
Gaussian, and the error diffusion with its neighbour rule.

    BUILD=build python3 tests/crosscheck/stencil_chain.py [SEED]
"""
import random
import struct
import sys

from filter_run import dump_listing, packed, printed_bitmap, remove_dumps


def f32(x):
    """x rounded to single precision. Single operations done in double and
    rounded once give the correctly rounded float32 result."""
    return struct.unpack("f", struct.pack("f", x))[0]


STOP = f32(1e-6)


def my_sqrt(x):
    x = f32(x)
    if x < 0:
        return -1.0
    if x == 0:
        return 0.0
    g = f32(x / 2)
    while True:
        n = f32(0.5 * f32(g + f32(x / g)))
        if abs(f32(n - g)) < STOP:
            return g
        g = n


def my_exp(x):
    x = f32(x)
    if x < 0:
        return f32(1.0 / my_exp(-x))
    total, term = 1.0, 1.0
    for i in range(1, 21):
        term = f32(f32(x / float(i)) * term)
        total = f32(term + total)
        if term < 1e-6:
            break
    return total


def my_ln(x):
    x = f32(x)
    if x <= 0:
        return -1.0
    y = f32(f32(x - 1) / f32(1 + x))
    while True:
        a = f32(y - f32(f32(my_exp(y) - x) / x))
        if abs(f32(a - y)) < STOP:
            return y
        y = a


def my_pow(a, b):
    if a == 0:
        return 1.0 if b == 0 else (0.0 if b > 0 else -1.0)
    return my_exp(f32(b * my_ln(a)))


def my_round(x):
    x = f32(x)
    return int(f32(x + 0.5)) if x >= 0 else int(f32(x - 0.5))


def moment_threshold(grey):
    counts = [0] * 256
    for v in grey:
        counts[v] += 1
    p = [f32(f32(float(c)) / f32(float(len(grey)))) for c in counts]
    m0, m1, m2, m3 = 1.0, 0.0, 0.0, 0.0
    for k in range(256):
        m1 = f32(f32(k * p[k]) + m1)
        m2 = f32(f32(f32(float(k * k)) * p[k]) + m2)
        m3 = f32(f32(f32(float(k ** 3)) * p[k]) + m3)
    cd = f32(f32(m0 * m2) + -f32(m1 * m1))
    if cd == 0:
        return None  # one grey level: left open, not compared here
    c0 = f32(f32(f32(-m2 * m2) + f32(m1 * m3)) / cd)
    c1 = f32(f32(f32(m0 * -m3) + f32(m2 * m1)) / cd)
    disc = f32(c0 * -4.0 + f32(c1 * c1))
    if disc < 0:
        return 128
    s = my_sqrt(disc)
    z0 = f32(0.5 * f32(-c1 - s))
    z1 = f32(0.5 * f32(-c1 + s))
    p0 = f32(f32(z1 - m1) / f32(z1 - z0))
    cumulative = 0.0
    for level in range(256):
        cumulative = f32(p[level] + cumulative)
        if cumulative > p0:
            return level
    return -1


def piecewise_gamma(grey, knee, low, high):
    low, high = f32(low), f32(high)
    table = []
    for i in range(256):
        if i < knee:
            v = f32(my_pow(f32(f32(i) / f32(knee)), low) * f32(knee))
        else:
            span = 255 - knee
            v = f32(f32(my_pow(f32(f32(f32(i) - f32(knee)) / f32(span)), high) * f32(span))
                    + f32(knee))
        table.append(int(v) & 0xFF)
    return [table[v] for v in grey]


def gaussian_taps(size, sigma):
    half = size // 2
    scale = 1.0 / (my_sqrt(f32(6.2831855)) * sigma)
    taps = [scale * my_exp(f32((-0.5 * i * i) / (sigma * sigma))) for i in range(-half, half + 1)]
    total = 0.0
    for t in taps:
        total += t
    return [t / total for t in taps]


def blur_pass(grey, width, height, taps, along_rows):
    half = len(taps) // 2
    out = list(grey)
    for y in range(height):
        for x in range(width):
            acc = 0.0
            for t in range(-half, half + 1):
                if along_rows:
                    sample = grey[y * width + min(max(x + t, 0), width - 1)]
                else:
                    sample = grey[min(max(y + t, 0), height - 1) * width + x]
                acc = sample * taps[t + half] + acc
            out[y * width + x] = my_round(f32(acc)) & 0xFF
    return out


def unsharp(grey, width, height):
    amount = f32(f32(300.0) / 100)
    taps = gaussian_taps(11, 3.0)
    blurred = blur_pass(blur_pass(grey, width, height, taps, True), width, height, taps, False)
    wa, wb = f32(1 + amount), f32(-amount)
    return [min(max(my_round(f32(f32(a * wa) + f32(b * wb))), 0), 255)
            for a, b in zip(grey, blurred)]


SHARES = [(1, 0, f32(0.505786)), (2, 0, f32(-0.052926)), (-2, 1, f32(0.226194)),
          (-1, 1, f32(0.128835)), (0, 1, f32(0.243191)), (1, 1, f32(-0.111078))]


def diffuse(grey, width, height, threshold):
    error = [0.0] * (width * height)
    out = [0] * (width * height)
    neighbour = f32(0.1427)
    for y in range(height):
        for x in range(width):
            pos = y * width + x
            v = f32(error[pos] + grey[pos])
            if v > float(threshold):
                out[pos] = 255
                if 0 < x < width - 1 and 0 < y < height - 1:
                    s = 0.0
                    if out[pos - 1] == 0:
                        s = f32(neighbour + s)
                    if out[pos - width] == 0:
                        s = f32(neighbour + s)
                    e = f32(f32(f32(1 - s) * -255.0) + v)
                else:
                    e = f32(v - 255)
            else:
                e = v
            for dx, dy, weight in SHARES:
                tx, ty = x + dx, y + dy
                if 0 <= tx < width and 0 <= ty < height:
                    error[ty * width + tx] = f32(error[ty * width + tx] + f32(e * weight))
    return out


def stencil(grey, width, height, x8):
    threshold = moment_threshold(grey)
    if threshold is None:
        return None
    if x8:
        shaped = piecewise_gamma(grey, threshold, 0.5, 1.5)
    else:
        shaped = piecewise_gamma(grey, 64, 0.85, 0.7)
    return diffuse(unsharp(shaped, width, height), width, height, threshold)


def main():
    rng = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
    before = dump_listing()
    mismatches = compared = 0
    try:
        for trial in range(6):
            width, height = rng.randint(3, 30), rng.randint(3, 20)
            page = [rng.randint(0, 255) if trial % 2 == 0 else min(255, (x * 9 + y * 5) % 300)
                    for y in range(height) for x in range(width)]
            for name, x8 in (("Tattoo", False), ("Tattoo_X8", True)):
                result = stencil(page, width, height, x8)
                if result is None:
                    continue
                compared += 1
                dots = [1 if v == 255 else 0 for v in result]
                if printed_bitmap(page, width, height, name) != packed(dots, width, height):
                    mismatches += 1
                    print("MISMATCH", name, width, "x", height)
    finally:
        remove_dumps(before)
    print(compared, "pages compared,", mismatches, "mismatches")
    return 1 if mismatches or compared == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
