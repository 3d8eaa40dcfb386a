// Scalar maths of the stencil library: square root, exponential, logarithm and
// power, each by its fixed iteration in single precision.
#include "enhance/zq_math.h"

// Every finite argument settles within 68 Newton steps (checked over all
// floats); the cap only makes that bound explicit.
static const int kSqrtStepLimit = 128;
// The logarithm settles within a few hundred steps once its unit climb is
// skipped, but some arguments (13177455 for one) make it cycle between
// neighbouring floats for ever; the cap ends those with the current iterate.
static const int kLnStepLimit = 16384;
// Above 2^24 in magnitude adding 1 to a float is no longer exact.
static const float kExactUnitLimit = 16777216.0f;

float myabs(float x)
{
    return x < 0.0f ? -x : x;
}

float my_sqrt(float x)
{
    if (x < 0.0f)
        return -1.0f;
    if (x == 0.0f)
        return 0.0f;
    if (!myIsFinite(x))
        return x;
    float g = x / 2.0f;
    // Halving the smallest subnormal gives 0, from which Newton's step jumps to
    // infinity and never settles.
    if (g == 0.0f)
        return 0.0f;
    for (int step = 0; step < kSqrtStepLimit; ++step) {
        const float n = 0.5f * (g + x / g);
        if (myabs(n - g) < 1e-6f)
            return g;
        g = n;
    }
    return g;
}

float my_exp(float x)
{
    if (x < 0.0f) {
        const float r = my_exp(-x);
        return static_cast<float>(1.0 / static_cast<double>(r));
    }
    float sum = 1.0f;
    float term = 1.0f;
    for (int i = 1; i <= 20; ++i) {
        term = (x / static_cast<float>(i)) * term;
        sum = term + sum;
        if (static_cast<double>(term) < 1e-6)
            break;
    }
    return sum;
}

static float lnStep(float y, float x)
{
    return y - (my_exp(y) - x) / x;
}

// While my_exp(y) vanishes beside x, a step is exactly y + 1, and for
// -2^24 <= y <= -1 that sum is exact. Arguments far below 1 start deep in the
// negatives and would climb one unit per step (some 16 million steps for
// x = 2.2e-8). my_exp rises with y, so the steps that are still exact unit
// steps form one run; it is found by bisection and skipped as a whole, which
// lands on the very iterate that single steps would reach.
static bool stepsByExactUnit(float y, float x)
{
    return y <= -1.0f && y >= -kExactUnitLimit && my_exp(y) - x == -x;
}

static float skipUnitClimb(float y, float x)
{
    int lastUnit = 0;
    int beyond = static_cast<int>(-1.0f - y) + 1;
    while (beyond - lastUnit > 1) {
        const int mid = lastUnit + (beyond - lastUnit) / 2;
        if (stepsByExactUnit(y + static_cast<float>(mid), x))
            lastUnit = mid;
        else
            beyond = mid;
    }
    return y + static_cast<float>(lastUnit + 1);
}

float my_ln(float x)
{
    if (x <= 0.0f)
        return -1.0f;
    if (!myIsFinite(x))
        return x;
    float y = (x - 1.0f) / (1.0f + x);
    for (int step = 0; step < kLnStepLimit; ++step) {
        if (stepsByExactUnit(y, x)) {
            y = skipUnitClimb(y, x);
            continue;
        }
        const float a = lnStep(y, x);
        if (myabs(a - y) < 1e-6f)
            return y;
        // Subnormal arguments drive the iterate to -infinity, where it stays.
        if (!myIsFinite(a))
            return a;
        y = a;
    }
    return y;
}

float my_pow(float a, float b)
{
    if (a == 0.0f) {
        if (b == 0.0f)
            return 1.0f;
        return b > 0.0f ? 0.0f : -1.0f;
    }
    if (a < 0.0f && b - static_cast<float>(myTrunc(b)) != 0.0f)
        return -1.0f;
    return my_exp(b * my_ln(a));
}
