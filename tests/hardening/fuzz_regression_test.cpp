// Replays every input the fuzzer found a fault with (tests/fuzz/regressions,
// in the fuzzer's input format) through the built filter: each must now end
// cleanly.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_job.h"
#include "outcome.h"

namespace tavel_test {
namespace {

std::vector<std::string> regressionInputs()
{
    std::vector<std::string> names;
    DIR* dir = opendir(TAVEL_FUZZ_REGRESSIONS);
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] != '.' && name != "README")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

class FuzzRegression : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzRegression, EndsCleanly)
{
    TempDir dir;
    DumpCleaner dumps;
    const std::string input = readFile(std::string(TAVEL_FUZZ_REGRESSIONS) + "/" + GetParam());
    const tavel_fuzz::FuzzJob job = tavel_fuzz::decodeFuzzJob(
        reinterpret_cast<const uint8_t*>(input.data()), input.size());
    ASSERT_TRUE(tavel_fuzz::fuzzJobIsContained(job));
    const tavel_fuzz::FuzzJobFiles files = tavel_fuzz::writeFuzzJob(job, dir.path(), testPpdPath());
    expectCleanEnd(runGuarded(jobArgs(job.options.c_str(), files.rasterPath), files.ppdPath));
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FuzzRegression);
INSTANTIATE_TEST_SUITE_P(Hardening, FuzzRegression, ::testing::ValuesIn(regressionInputs()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace tavel_test
