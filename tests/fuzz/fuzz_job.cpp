// Decoding and writing out the fuzzer's job inputs.
#include "fuzz_job.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tavel_fuzz {

namespace {

const char* const kRecordingAttribute = "tavelFilterOutputFile";

std::string take(const uint8_t* data, size_t size, size_t* pos, size_t length)
{
    length = std::min(length, size - *pos);
    std::string text(reinterpret_cast<const char*>(data) + *pos, length);
    *pos += length;
    return text;
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The test PPD with its recording attribute pointing into dir.
std::string containedTestPpd(const std::string& testPpdPath, const std::string& dir)
{
    std::ifstream in(testPpdPath, std::ios::binary);
    std::ostringstream ppd;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(std::string("*") + kRecordingAttribute, 0) == 0)
            line = std::string("*") + kRecordingAttribute + ": \"" + dir + "/record\"";
        ppd << line << "\n";
    }
    return ppd.str();
}

}  // namespace

FuzzJob decodeFuzzJob(const uint8_t* data, size_t size)
{
    FuzzJob job;
    if (size < 5) {
        job.raster.assign(reinterpret_cast<const char*>(data), size);
        return job;
    }
    job.ppdMode = static_cast<PpdMode>(data[0] % 3);
    const size_t optionsLength = data[1] | (static_cast<size_t>(data[2]) << 8);
    const size_t ppdLength = data[3] | (static_cast<size_t>(data[4]) << 8);
    size_t pos = 5;
    job.options = take(data, size, &pos, optionsLength);
    job.ppdText = take(data, size, &pos, ppdLength);
    job.raster = take(data, size, &pos, size - pos);
    return job;
}

bool fuzzJobIsContained(const FuzzJob& job)
{
    return job.ppdMode == PpdMode::None ||
           job.ppdText.find(kRecordingAttribute) == std::string::npos;
}

FuzzJobFiles writeFuzzJob(const FuzzJob& job, const std::string& dir,
                          const std::string& testPpdPath)
{
    FuzzJobFiles files;
    files.rasterPath = dir + "/job.ras";
    writeBytes(files.rasterPath, job.raster);
    if (job.ppdMode == PpdMode::None)
        return files;
    files.ppdPath = dir + "/job.ppd";
    std::string ppd = job.ppdText;
    if (job.ppdMode == PpdMode::TestPpdPlusText)
        ppd = containedTestPpd(testPpdPath, dir) + ppd;
    writeBytes(files.ppdPath, ppd);
    return files;
}

}  // namespace tavel_fuzz
