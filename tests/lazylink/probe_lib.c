/* Small shared library used to test the trampolines: functions with many
 * integer and floating-point arguments (some passed on the stack), a
 * variadic function, a function returning a large structure through the
 * hidden result pointer, and a symbol with two versions.
 *
 * Built twice: normally, and with -DPROBE_WITHOUT_GONE to provide a library
 * lacking probe_gone() for the "missing symbol" test.
 */
#include <stdarg.h>

struct probe_big { long v[6]; };

double probe_mix(int a, double b, int c, double d, int e, double f, int g,
                 double h, int i, double j, int k, double l, int m, double n,
                 int o, double p, int q, double r, long s, double t)
{
    /* weights make every argument position matter */
    return a * 1.0 + b * 2 + c * 3 + d * 4 + e * 5 + f * 6 + g * 7 + h * 8
         + i * 9 + j * 10 + k * 11 + l * 12 + m * 13 + n * 14 + o * 15
         + p * 16 + q * 17 + r * 18 + s * 19 + t * 20;
}

double probe_vsum(int n, ...)
{
    va_list ap;
    double sum = 0;
    va_start(ap, n);
    for (int i = 0; i < n; i++)
        sum += va_arg(ap, double) * (i + 1);
    va_end(ap);
    return sum;
}

struct probe_big probe_big(long x)
{
    struct probe_big b;
    for (int i = 0; i < 6; i++)
        b.v[i] = x * (i + 1);
    return b;
}

/* two versions; the default one (PROBE_2) returns 2 */
int probe_which_v1(void) { return 1; }
int probe_which_v2(void) { return 2; }
__asm__(".symver probe_which_v1, probe_which@PROBE_1");
__asm__(".symver probe_which_v2, probe_which@@PROBE_2");

long probe_counter;
long probe_count(long add) { return __atomic_add_fetch(&probe_counter, add, __ATOMIC_SEQ_CST); }

#ifndef PROBE_WITHOUT_GONE
int probe_gone(void) { return 42; }
#endif
