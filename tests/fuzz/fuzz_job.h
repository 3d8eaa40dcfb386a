// The input format of the filter fuzzer, shared with the regression tests
// that replay the inputs it found:
//   byte 0      PPD mode: value % 3 = 0 the test PPD followed by the PPD
//               text, 1 the PPD text alone, 2 no PPD at all
//   bytes 1-2   length of the option string, little endian
//   bytes 3-4   length of the PPD text, little endian
//   then        the option string, the PPD text, and the raster stream
//               (everything that is left)
// Lengths beyond the end of the input are cut to what is there; an input
// shorter than five bytes is all raster.
#ifndef TAVEL_TESTS_FUZZ_FUZZ_JOB_H
#define TAVEL_TESTS_FUZZ_FUZZ_JOB_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavel_fuzz {

enum class PpdMode { TestPpdPlusText = 0, TextOnly = 1, None = 2 };

struct FuzzJob {
    PpdMode ppdMode = PpdMode::TestPpdPlusText;
    std::string options;
    std::string ppdText;
    std::string raster;
};

struct FuzzJobFiles {
    std::string ppdPath;  // empty: leave PPD unset
    std::string rasterPath;
};

FuzzJob decodeFuzzJob(const uint8_t* data, size_t size);

// A fuzzed PPD that names its own recording file could make the filter
// create files anywhere; such inputs are not run.
bool fuzzJobIsContained(const FuzzJob& job);

// Writes the job's PPD and raster into dir. The test PPD's recording file
// is moved into dir as well, so that a job that switches recording on
// writes nowhere else.
FuzzJobFiles writeFuzzJob(const FuzzJob& job, const std::string& dir,
                          const std::string& testPpdPath);

}  // namespace tavel_fuzz

#endif
