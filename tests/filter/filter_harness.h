// Runs the built filter as CUPS would, on rasters made by rasterwrite, and
// captures its standard output, standard error and exit status.
#ifndef TAVEL_TESTS_FILTER_HARNESS_H
#define TAVEL_TESTS_FILTER_HARNESS_H

#include <string>
#include <vector>

#include "dump_cleaner.h"
#include "test_files.h"

namespace tavel_test {

struct RunResult {
    int exitStatus = -1;  // -1 when the process did not exit normally
    int signal = 0;
    std::string out;
    std::string err;
};

// A binary PGM of the given pixels (row-major, width x height).
std::string pgm(int width, int height, const std::vector<unsigned char>& pixels);

// Writes a raster with rasterwrite and the given arguments to path.
void makeRaster(const std::string& path, const std::vector<std::string>& args);

// The test PPD with some of its lines replaced: each pair is (line prefix,
// replacement line). Returns the path of the new PPD in dir.
std::string ppdVariant(const TempDir& dir,
                       const std::vector<std::pair<std::string, std::string>>& replacements);
std::string testPpdPath();

// In a forked child whose standard streams are set up: sets or unsets PPD
// and replaces the process with rastertotavel and argv[1..].
[[noreturn]] void execFilterProcess(const std::vector<std::string>& args, const std::string& ppd);

// Runs rastertotavel with argv[1..]; ppd empty leaves PPD unset; stdinPath
// empty gives an empty standard input.
RunResult runFilter(const std::vector<std::string>& args, const std::string& ppd,
                    const std::string& stdinPath = "");

// The usual argument list: job id, user, title, copies, options [, file].
std::vector<std::string> jobArgs(const std::string& options, const std::string& file = "");

// Lines of standard error that start with prefix.
std::vector<std::string> logLines(const std::string& err, const std::string& prefix);
bool hasLogLine(const std::string& err, const std::string& line);

}  // namespace tavel_test

#endif
