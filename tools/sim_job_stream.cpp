// Splitting the received bytes into status queries and the TSPL job, and
// handing on the job's labels as they arrive.
#include "tools/sim_job_stream.h"

#include "tspl/tspl_status.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// Long enough for any BITMAP head; the rest of a longer line (Base64 data)
// need not be looked at.
constexpr size_t kMaxCommandHead = 128;

}  // namespace

SimJobStream::SimJobStream(const TsplDecodeOptions& options, std::function<void()> answerQuery,
                           LabelHandler onLabel)
    : options_(options), answerQuery_(std::move(answerQuery)), onLabel_(std::move(onLabel))
{
}

bool SimJobStream::receive(const unsigned char* bytes, size_t length, std::string& error)
{
    if (job_.size() + length > kMaxJobBytes) {
        error = "job larger than " + std::to_string(kMaxJobBytes) + " bytes";
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (dataLeft_ > 0) {
            job_.push_back(byte);
            --dataLeft_;
            continue;
        }
        if (byte == kTsplStatusQuery[queryBytes_]) {
            if (++queryBytes_ == static_cast<int>(kTsplStatusQueryLength)) {
                queryBytes_ = 0;
                answerQuery_();
            }
            continue;
        }
        // A started query that did not go on was job data after all.
        for (int k = 0; k < queryBytes_; ++k)
            takeJobByte(kTsplStatusQuery[k]);
        queryBytes_ = 0;
        if (byte == kTsplStatusQuery[0]) {
            queryBytes_ = 1;
            continue;
        }
        takeJobByte(byte);
        // A label counts as received before any query that follows it.
        if (printEnded_ && !decodeNewLabels(false, error))
            return false;
    }
    return true;
}

void SimJobStream::takeJobByte(unsigned char byte)
{
    job_.push_back(byte);
    if (byte == '\n') {
        if (line_.compare(0, 6, "PRINT ") == 0)
            printEnded_ = true;
        line_.clear();
        longLine_ = false;
        return;
    }
    if (longLine_)
        return;
    if (line_.size() == kMaxCommandHead) {
        longLine_ = true;
        return;
    }
    line_.push_back(static_cast<char>(byte));
    // "BITMAP x,y,widthBytes,height,mode," is followed by the data; raw
    // data (mode 0) are widthBytes times height bytes of anything.
    if (byte != ',' || line_.compare(0, 7, "BITMAP ") != 0)
        return;
    long field[5];
    if (std::sscanf(line_.c_str() + 7, "%ld,%ld,%ld,%ld,%ld,", &field[0], &field[1], &field[2],
                    &field[3], &field[4]) == 5 &&
        std::count(line_.begin(), line_.end(), ',') == 5) {
        if (field[4] == 0 && field[2] > 0 && field[3] > 0)
            dataLeft_ = static_cast<uint64_t>(field[2]) * static_cast<uint64_t>(field[3]);
        longLine_ = true;
    }
}

// Decodes the job received so far and hands on the labels not handed on
// yet. Before the end an unfinished command at the end is no fault.
bool SimJobStream::decodeNewLabels(bool final, std::string& error)
{
    printEnded_ = false;
    std::string handlerError;
    bool handlerFailed = false;
    const LabelHandler takeNew = [&](const LabelCanvas& label, unsigned number, uint64_t count,
                                     std::string& problem) {
        if (number <= labels_)
            return true;
        labels_ = number;
        if (onLabel_(label, number, count, problem))
            return true;
        handlerFailed = true;
        handlerError = problem;
        return false;
    };
    std::string decodeError;
    const bool decoded = decodeTspl(job_, options_, takeNew, decodeError);
    if (handlerFailed) {
        error = handlerError;
        return false;
    }
    if (!decoded && final) {
        error = decodeError;
        return false;
    }
    return true;
}

bool SimJobStream::finish(std::string& error)
{
    return decodeNewLabels(true, error);
}
