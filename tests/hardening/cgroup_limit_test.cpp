// The memory a cgroup leaves the filter, read from a made-up cgroup tree:
// the limit may sit on any group above the filter's, "max" and v1's huge
// number mean none, and file cache the kernel reclaims counts as free.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "filter/filter_internal.h"
#include "test_files.h"

namespace tavel_test {
namespace {

struct CgroupCase {
    const char* name;
    std::string membership;                                    // /proc/self/cgroup
    std::vector<std::pair<std::string, std::string>> files;  // below the root, and content
    uint64_t left;
};

const std::vector<CgroupCase> kCases = {
    {"V2LimitOnTheParentSlice",
     "0::/system.slice/cups.service\n",
     {{"sys/fs/cgroup/system.slice/cups.service/memory.max", "max\n"},
      {"sys/fs/cgroup/system.slice/cups.service/memory.current", "300000\n"},
      {"sys/fs/cgroup/system.slice/memory.max", "1000000\n"},
      {"sys/fs/cgroup/system.slice/memory.current", "400000\n"},
      {"sys/fs/cgroup/system.slice/memory.stat", "anon 300000\ninactive_file 50000\n"}},
     650000},
    {"V2TightestLevelCounts",
     "0::/a/b\n",
     {{"sys/fs/cgroup/a/b/memory.max", "200000\n"},
      {"sys/fs/cgroup/a/b/memory.current", "150000\n"},
      {"sys/fs/cgroup/a/memory.max", "100000000\n"},
      {"sys/fs/cgroup/a/memory.current", "150000\n"}},
     50000},
    {"V2UsageAboveTheLimit",
     "0::/job\n",
     {{"sys/fs/cgroup/job/memory.max", "100000\n"},
      {"sys/fs/cgroup/job/memory.current", "120000\n"}},
     0},
    {"V1LimitBesideOtherControllers",
     "5:cpu:/x\n4:memory:/docker/abc\n0::/\n",
     {{"sys/fs/cgroup/memory/docker/abc/memory.limit_in_bytes", "9223372036854771712\n"},
      {"sys/fs/cgroup/memory/docker/abc/memory.usage_in_bytes", "5000\n"},
      {"sys/fs/cgroup/memory/docker/memory.limit_in_bytes", "80000\n"},
      {"sys/fs/cgroup/memory/docker/memory.usage_in_bytes", "50000\n"},
      {"sys/fs/cgroup/memory/docker/memory.stat", "inactive_file 7\ntotal_inactive_file 10000\n"}},
     40000},
    {"NoLimitAnywhere",
     "0::/user.slice\n",
     {{"sys/fs/cgroup/user.slice/memory.max", "max\n"},
      {"sys/fs/cgroup/user.slice/memory.current", "5000\n"}},
     UINT64_MAX},
};

void PrintTo(const CgroupCase& c, std::ostream* out) { *out << c.name; }

class CgroupLimit : public ::testing::TestWithParam<CgroupCase> {};

TEST_P(CgroupLimit, LeavesWhatTheTightestLimitAllows)
{
    TempDir dir;
    for (const auto& [path, content] : GetParam().files) {
        for (size_t at = 0; (at = path.find('/', at)) != std::string::npos; ++at)
            mkdir((dir.path() + "/" + path.substr(0, at)).c_str(), 0700);
        writeFile(dir.file(path), content);
    }
    writeFile(dir.file("cgroup"), GetParam().membership);
    EXPECT_EQ(cgroupMemoryLeft(dir.file("cgroup").c_str(), dir.path().c_str()), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(Hardening, CgroupLimit, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HardeningCgroupLimit, NoMembershipFileMeansNoLimit)
{
    EXPECT_EQ(cgroupMemoryLeft("/nonexistent/cgroup", ""), UINT64_MAX);
}

}  // namespace
}  // namespace tavel_test
