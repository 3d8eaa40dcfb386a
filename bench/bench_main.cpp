// Entry point of tavel_bench. The filter libraries log every step of a page
// to standard error; after Google Benchmark has read its flags (and could
// complain about them), standard error goes to /dev/null so that the log
// lines neither flood the terminal nor cost terminal time.
#include <benchmark/benchmark.h>

#include <cstdio>

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (std::freopen("/dev/null", "w", stderr) == nullptr)
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
