// The stencil library's scalar maths: the exact single-precision results the
// stencil depends on, and termination for arguments the iterations cannot
// settle on by themselves.
#include "enhance/zq_math.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kSmallestSubnormal = std::numeric_limits<float>::denorm_min();

struct UnaryCase {
    float x;
    float expected;
};

void expectExact(float (*f)(float), const char* name, const UnaryCase* cases, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_EQ(f(cases[i].x), cases[i].expected) << name << "(" << cases[i].x << ")";
}

TEST(ZQMathSqrt, ReturnsTheIterateBeforeTheLast)
{
    const UnaryCase cases[] = {{2.0f, 1.41421354f}, {0.25f, 0.50000006f}, {65025.0f, 255.0f},
                               {-4.0f, -1.0f},      {0.0f, 0.0f}};
    expectExact(my_sqrt, "my_sqrt", cases, std::size(cases));
}

TEST(ZQMathSqrt, EndsForEveryKindOfFloat)
{
    EXPECT_TRUE(std::isnan(my_sqrt(kNaN)));
    EXPECT_EQ(my_sqrt(kInf), kInf);
    EXPECT_EQ(my_sqrt(-kInf), -1.0f);
    EXPECT_EQ(my_sqrt(kSmallestSubnormal), 0.0f);
    EXPECT_NEAR(my_sqrt(FLT_MAX), 1.8446744e19f, 1e13f);
}

TEST(ZQMathExp, TaylorSeriesWithoutRangeReduction)
{
    // 21991.48 instead of e^10 = 22026.47: the series stops after 20 terms.
    const UnaryCase cases[] = {{0.0f, 1.0f},
                               {1.0f, 2.71828198f},
                               {-1.0f, 0.367879421f},
                               {10.0f, 21991.4805f},
                               {kInf, kInf},
                               {-kInf, 0.0f}};
    expectExact(my_exp, "my_exp", cases, std::size(cases));
    EXPECT_TRUE(std::isnan(my_exp(kNaN)));
}

TEST(ZQMathLn, FixedDivisorNewtonIteration)
{
    const UnaryCase cases[] = {{1.0f, 0.0f},          {0.5f, -0.693147242f}, {2.0f, 0.693147182f},
                               {0.0f, -1.0f},         {-3.0f, -1.0f},        {-kInf, -1.0f},
                               {kInf, kInf}};
    expectExact(my_ln, "my_ln", cases, std::size(cases));
    EXPECT_TRUE(std::isnan(my_ln(kNaN)));
}

// The iteration exactly as stated, without any bound: for the arguments
// below it ends by itself.
float plainLn(float x)
{
    float y = (x - 1.0f) / (1.0f + x);
    for (;;) {
        const float a = y - (my_exp(y) - x) / x;
        if (myabs(a - y) < 1e-6f)
            return y;
        y = a;
    }
}

// Far below 1 the first step overshoots deep into the negatives and the
// iteration climbs back one unit per step (some 370000 steps for 1e-6); the
// climb is skipped as a whole, and must land on the very same result.
TEST(ZQMathLn, ClimbsBackFromSmallArgumentsExactly)
{
    for (float x : {1.0f / 255.0f, 1.0f / 256.0f, 0.01f, 1e-4f, 3e-5f, 1e-6f})
        EXPECT_EQ(my_ln(x), plainLn(x)) << "my_ln(" << x << ")";
    EXPECT_NEAR(my_ln(1.0f / 255.0f), -5.541263545158426, 2e-6);
}

// For some arguments the iteration alternates between neighbouring floats
// for ever. It must still end, at a point where my_exp meets the argument.
TEST(ZQMathLn, EndsWhereTheIterationCycles)
{
    for (float x : {13177455.0f, 2.75267149e+09f, 2.2e-8f, FLT_MAX}) {
        const float y = my_ln(x);
        ASSERT_TRUE(myIsFinite(y)) << "my_ln(" << x << ")";
        EXPECT_NEAR(my_exp(y) / x, 1.0f, 1e-4f) << "my_ln(" << x << ") = " << y;
    }
    EXPECT_TRUE(my_ln(kSmallestSubnormal) < -87.0f);
}

TEST(ZQMathPow, ZeroAndNegativeBasesAndComposition)
{
    const struct {
        float a;
        float b;
        float expected;
    } cases[] = {{0.0f, 0.0f, 1.0f},   {0.0f, 2.0f, 0.0f},    {0.0f, -1.0f, -1.0f},
                 {-2.0f, 0.5f, -1.0f}, {0.25f, 0.5f, 0.5f},   {0.5f, 0.85f, 0.554784715f},
                 {1.0f, 1.5f, 1.0f}};
    for (const auto& c : cases)
        EXPECT_EQ(my_pow(c.a, c.b), c.expected) << "my_pow(" << c.a << ", " << c.b << ")";
}

TEST(ZQMathRound, HalfAwayFromZeroInFloat)
{
    const struct {
        float x;
        int expected;
    } cases[] = {{2.5f, 3},         {-2.5f, -3},         {-0.4f, 0},         {0.49999997f, 1},
                 {254.49f, 254},    {-1.5f, -2},         {kNaN, 0},          {-1e10f, INT_MIN},
                 {1e10f, 2147483520}};
    for (const auto& c : cases)
        EXPECT_EQ(my_round(c.x), c.expected) << "my_round(" << c.x << ")";
}

TEST(ZQMathClampAndBounds, Limits)
{
    EXPECT_EQ(myClamp(300, 0, 255), 255);
    EXPECT_EQ(myClamp(-7, 0, 255), 0);
    EXPECT_EQ(myClamp(17, 0, 255), 17);

    const struct {
        int x, y;
        bool inside;
    } cases[] = {{-1, 0, false}, {4, 4, true}, {5, 0, false}, {0, 5, false}, {0, -1, false}, {0, 0, true}};
    for (const auto& c : cases)
        EXPECT_EQ(isWithinBounds(c.x, c.y, 5, 5), c.inside) << c.x << ", " << c.y;
}

}  // namespace
