// Removes the BMP page dumps written during a test.
#include "dump_cleaner.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace tavel_test {

std::vector<std::string> DumpCleaner::listDumps() const
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder_.c_str());
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

DumpCleaner::DumpCleaner(std::string folder) : folder_(std::move(folder)), before_(listDumps()) {}

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
            added.push_back(folder_ + "/" + name);
    }
    return added;
}

}  // namespace tavel_test
