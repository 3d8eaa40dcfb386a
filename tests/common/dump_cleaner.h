// Removes the BMP page dumps that the code under test wrote into the CUPS
// temporary folder, so that repeated test runs never fill the disk.
#ifndef TAVEL_TESTS_COMMON_DUMP_CLEANER_H
#define TAVEL_TESTS_COMMON_DUMP_CLEANER_H

#include <string>
#include <vector>

namespace tavel_test {

class DumpCleaner {
public:
    DumpCleaner();
    ~DumpCleaner();
    DumpCleaner(const DumpCleaner&) = delete;
    DumpCleaner& operator=(const DumpCleaner&) = delete;

    // Dumps written since construction, oldest name first.
    std::vector<std::string> newDumps() const;

private:
    std::vector<std::string> before_;
};

}  // namespace tavel_test

#endif
