// Files for tests: a private folder removed afterwards, whole-file reads and
// writes.
#ifndef TAVEL_TESTS_COMMON_TEST_FILES_H
#define TAVEL_TESTS_COMMON_TEST_FILES_H

#include <string>

namespace tavel_test {

// A private folder for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

}  // namespace tavel_test

#endif
