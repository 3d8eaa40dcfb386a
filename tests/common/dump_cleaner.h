// Removes the BMP page dumps that the code under test wrote into the CUPS
// temporary folder (or another folder), so that repeated test runs never
// fill the disk.
#ifndef TAVEL_TESTS_COMMON_DUMP_CLEANER_H
#define TAVEL_TESTS_COMMON_DUMP_CLEANER_H

#include <string>
#include <vector>

namespace tavel_test {

class DumpCleaner {
public:
    // The filter's dump folder is shared with every other program that runs
    // it: a test that counts dumps gives its printer a folder of its own.
    explicit DumpCleaner(std::string folder = "/var/spool/cups/tmp");
    ~DumpCleaner();
    DumpCleaner(const DumpCleaner&) = delete;
    DumpCleaner& operator=(const DumpCleaner&) = delete;

    // Dumps written since construction, oldest name first.
    std::vector<std::string> newDumps() const;

private:
    std::vector<std::string> listDumps() const;

    std::string folder_;
    std::vector<std::string> before_;
};

}  // namespace tavel_test

#endif
