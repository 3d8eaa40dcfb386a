// Where file devices may write. PAPPL 1.3.1's own file device opens
// FOLDER/JOB.EXT with O_CREAT | O_TRUNC at every job, following links, so
// printers write through the folder:// device instead (folder_device.h),
// which checks the same rules at every job. A user who could write into
// FOLDER or a folder above it could make the server write anywhere (the
// folder replaced by a link, a link named as the next job's file), block
// it (a FIFO) or write into a device. So a printer may only write into a
// folder that no other user can change: DIR itself, or a folder below it
// reached through no link, every folder on the way owned by root or the
// server's user and writable by its owner alone; checked when the printer
// is made or loaded, and again at every job.
#include "printerapp/devices/file_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

bool lettersAndDigits(const std::string& text)
{
    if (text.empty() || text.size() > 16)
        return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Whether a folder on the way is one no other user can change: owned by
// root or the server's user, writable by its owner alone.
bool ownFolder(int fd)
{
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) &&
           (info.st_uid == 0 || info.st_uid == getuid()) && (info.st_mode & 022) == 0;
}

}  // namespace

std::string appFileDeviceJobName(const char* jobName, const std::string& extension)
{
    std::string name = jobName != nullptr && *jobName != '\0' ? jobName : "job";
    // A file name has at most 255 bytes.
    if (name.size() > 200)
        name.resize(200);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return name + "." + extension;
}

bool appFileDevicePlace(const std::string& directory, const char* uri, std::string* below,
                        std::string* extension, std::string* reason)
{
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (uri == nullptr ||
        httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), user, sizeof(user),
                        host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK ||
        (std::strcmp(scheme, "file") != 0 && std::strcmp(scheme, "folder") != 0) ||
        (host[0] != '\0' && std::strcmp(host, "localhost") != 0)) {
        *reason = "bad file:// or folder:// device URI";
        return false;
    }
    std::string path = resource;
    *extension = "prn";
    const size_t query = path.find('?');
    if (query != std::string::npos) {
        const std::string options = path.substr(query + 1);
        path.erase(query);
        if (options.compare(0, 4, "ext=") == 0)
            *extension = options.substr(4);
        else if (!options.empty())
            *extension = "";
    }
    if (!lettersAndDigits(*extension)) {
        *reason = "a file:// device's extension (?ext=) must be letters and digits";
        return false;
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path == directory) {
        below->clear();
        return true;
    }
    if (path.compare(0, directory.size() + 1, directory + "/") != 0) {
        *reason = "a file:// device must name a folder inside " + directory;
        return false;
    }
    *below = path.substr(directory.size() + 1);
    return true;
}

int appOpenFolderBelow(const std::string& directory, const std::string& below)
{
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && !ownFolder(fd)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    size_t start = 0;
    while (fd >= 0 && start < below.size()) {
        size_t slash = below.find('/', start);
        if (slash == std::string::npos)
            slash = below.size();
        const std::string part = below.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..") {
            close(fd);
            errno = EINVAL;
            return -1;
        }
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        if (next >= 0 && !ownFolder(next)) {
            close(next);
            next = -1;
            error = EPERM;
        }
        close(fd);
        errno = error;
        fd = next;
        start = slash + 1;
    }
    return fd;
}

void appRemoveEmptyFileDeviceJob(const std::string& directory, const char* uri,
                                 const char* jobName)
{
    std::string below, extension, reason;
    if (directory.empty() || !appFileDevicePlace(directory, uri, &below, &extension, &reason))
        return;
    const int folder = appOpenFolderBelow(directory, below);
    if (folder < 0)
        return;
    const std::string file = appFileDeviceJobName(jobName, extension);
    struct stat info;
    if (fstatat(folder, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        info.st_size == 0)
        unlinkat(folder, file.c_str(), 0);
    close(folder);
}
