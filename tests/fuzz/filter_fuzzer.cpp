// libFuzzer target: runs one whole filter job in-process on every input,
// with the option string, the PPD and the raster stream all taken from the
// input (format in fuzz_job.h). Standard output and error are sent to
// /dev/null by libFuzzer's -close_fd_mask=3 (see scripts/fuzz.sh).
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/filter_internal.h"
#include "fuzz_job.h"

namespace {

std::string sWorkDir;

// A job that switches recording on without a prefix writes its recording
// into the working directory, so each input starts and ends with that
// directory holding nothing but the job files.
void removeRecordings()
{
    DIR* dir = opendir(sWorkDir.c_str());
    if (dir == nullptr)
        return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0)
            unlink((sWorkDir + "/" + name).c_str());
    }
    closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/tavel-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    sWorkDir = pattern;
    if (chdir(sWorkDir.c_str()) != 0) {
        std::perror("chdir");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const tavel_fuzz::FuzzJob job = tavel_fuzz::decodeFuzzJob(data, size);
    if (!tavel_fuzz::fuzzJobIsContained(job))
        return 0;
    const tavel_fuzz::FuzzJobFiles files = tavel_fuzz::writeFuzzJob(job, sWorkDir, TAVEL_TEST_PPD);
    if (files.ppdPath.empty())
        unsetenv("PPD");
    else
        setenv("PPD", files.ppdPath.c_str(), 1);

    std::string options = job.options.c_str();  // argv cannot hold a NUL
    char program[] = "rastertotavel";
    char jobId[] = "1";
    char user[] = "fuzz";
    char title[] = "fuzz";
    char copies[] = "1";
    std::string raster = files.rasterPath;
    char* argv[] = {program, jobId, user, title, copies, options.data(), raster.data(), nullptr};
    runFilter(7, argv);
    std::fflush(stdout);
    removeRecordings();
    return 0;
}
