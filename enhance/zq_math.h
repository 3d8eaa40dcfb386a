// The stencil library's own scalar maths. The stencil it prints depends on the
// exact iterations, stopping tests and single-precision rounding of these
// helpers, so they do not defer to the platform's maths library.
#pragma once

float myabs(float x);
// Newton's iteration; -1 for x < 0. NaN and infinity come back unchanged.
float my_sqrt(float x);
// Taylor series of at most 20 terms after the leading 1, no range reduction.
float my_exp(float x);
// Newton's iteration on my_exp with the fixed divisor x; -1 for x <= 0. NaN
// and infinity come back unchanged, subnormal arguments give -infinity.
float my_ln(float x);
// a to the power b through my_exp and my_ln; -1 where undefined.
float my_pow(float a, float b);

// True unless x is NaN or infinite.
inline bool myIsFinite(float x)
{
    return x - x == 0.0f;
}

// The integer part of x (truncation toward zero), with x first limited to the
// floats that fit an int and NaN taken as 0: a bare conversion of such values
// is undefined. Written without branches so that pixel loops vectorise.
inline int myTrunc(float x)
{
    const float number = x == x ? x : 0.0f;
    const float bounded = number < -2147483648.0f ? -2147483648.0f
                          : number > 2147483520.0f ? 2147483520.0f
                                                   : number;
    return static_cast<int>(bounded);
}

// Rounds half away from zero; the half is added in float (subtracting 0.5 is
// adding -0.5, bit for bit).
inline int my_round(float x)
{
    return myTrunc(x + (x >= 0.0f ? 0.5f : -0.5f));
}

template <typename T>
inline T myClamp(T v, T lo, T hi)
{
    if (v < lo)
        return lo;
    if (v > hi)
        return hi;
    return v;
}

inline bool isWithinBounds(int x, int y, int width, int height)
{
    return x >= 0 && x < width && y >= 0 && y < height;
}
