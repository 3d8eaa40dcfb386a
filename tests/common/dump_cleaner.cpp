// Removes the BMP page dumps written during a test.
#include "dump_cleaner.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>

namespace tavel_test {

namespace {

const char* const kDumpDir = "/var/spool/cups/tmp";

std::vector<std::string> listDumps()
{
    std::vector<std::string> names;
    DIR* dir = opendir(kDumpDir);
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("origin_", 0) == 0 || name.rfind("dithered_", 0) == 0 ||
            name.rfind("prnimg_", 0) == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

DumpCleaner::DumpCleaner() : before_(listDumps()) {}

DumpCleaner::~DumpCleaner()
{
    for (const std::string& path : newDumps())
        unlink(path.c_str());
}

std::vector<std::string> DumpCleaner::newDumps() const
{
    std::vector<std::string> added;
    for (const std::string& name : listDumps()) {
        if (!std::binary_search(before_.begin(), before_.end(), name))
            added.push_back(std::string(kDumpDir) + "/" + name);
    }
    return added;
}

}  // namespace tavel_test
