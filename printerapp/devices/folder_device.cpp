// The folder:// device. At every job it walks from the allowed folder to
// the printer's folder one component at a time, following no link, each
// folder owned by root or the server's user and writable by its owner alone
// (appOpenFolderBelow), then opens the job's file in it following no link
// and without blocking, and writes only into a regular file of the
// server's user with no other name: a link, a FIFO, a device or a hard link
// planted there since the printer was made fails the job, and nothing is
// written or truncated outside the folder. The file is truncated only once
// it passed these checks.
#include "printerapp/devices/folder_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "printerapp/devices/file_device.h"

namespace {

// The allowed folder; set once before the server runs.
std::string sDirectory;

struct FolderDevice {
    int fd = -1;  // -1: refused
};

// Why each open device that writes nowhere was refused. PAPPL 1.3.1 tries
// a device that fails to open again every 5 s for as long as the job
// lasts, and loses a write error hidden in its buffer: so a refused device
// opens, writes nothing, and its job fails at its start with the reason.
std::mutex sRefusalsMutex;
std::map<pappl_device_t*, std::string> sRefusals;

// Opens device as refused for reason, which the log and the job show.
bool refuse(pappl_device_t* device, const std::string& reason)
{
    papplDeviceError(device, "%s", reason.c_str());
    FolderDevice* folderDevice = new (std::nothrow) FolderDevice;
    if (folderDevice == nullptr)
        return false;
    try {
        std::lock_guard<std::mutex> lock(sRefusalsMutex);
        sRefusals[device] = reason;
    } catch (...) {
        delete folderDevice;
        return false;
    }
    papplDeviceSetData(device, folderDevice);
    return true;
}

// Opens name in folder for writing, as described above: a file descriptor,
// or -1 with the reason.
int openJobFile(int folder, const std::string& name, std::string* reason)
{
    const int fd = openat(folder, name.c_str(),
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                          0600);
    if (fd < 0) {
        // O_NONBLOCK: a FIFO without a reader fails with ENXIO instead of
        // blocking the job.
        *reason = errno == ELOOP   ? "it is a symbolic link"
                  : errno == ENXIO ? "it is a FIFO or a device"
                                   : std::strerror(errno);
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        *reason = "it is not a regular file";
    else if (info.st_nlink != 1)
        *reason = "it has another name (a hard link)";
    else if (info.st_uid != geteuid())
        *reason = "it belongs to another user";
    else if (ftruncate(fd, 0) != 0)
        *reason = std::strerror(errno);
    else
        return fd;
    close(fd);
    return -1;
}

bool openFolderDevice(pappl_device_t* device, const char* uri, const char* name)
{
    std::string below, extension, reason;
    if (sDirectory.empty())
        return refuse(device, "Refused to write a file: file devices are off.");
    if (!appFileDevicePlace(sDirectory, uri, &below, &extension, &reason))
        return refuse(device, "Refused to write a file: " + reason + ".");
    const int folder = appOpenFolderBelow(sDirectory, below);
    if (folder < 0)
        return refuse(device, "Refused to write into " + sDirectory + "/" + below +
                                  ": not a folder reached through no link that no other user "
                                  "can change (" + std::strerror(errno) + ").");
    const std::string file = appFileDeviceJobName(name, extension);
    const int fd = openJobFile(folder, file, &reason);
    close(folder);
    if (fd < 0)
        return refuse(device, "Refused to write " + file + ": " + reason + ".");
    FolderDevice* folderDevice = new (std::nothrow) FolderDevice;
    if (folderDevice == nullptr) {
        close(fd);
        return false;
    }
    folderDevice->fd = fd;
    papplDeviceSetData(device, folderDevice);
    return true;
}

// PAPPL is C: no exception leaves the callback.
bool folderOpen(pappl_device_t* device, const char* uri, const char* name)
{
    try {
        return openFolderDevice(device, uri, name);
    } catch (...) {
        return false;
    }
}

void folderClose(pappl_device_t* device)
{
    FolderDevice* folderDevice = static_cast<FolderDevice*>(papplDeviceGetData(device));
    if (folderDevice == nullptr)
        return;
    if (folderDevice->fd >= 0) {
        close(folderDevice->fd);
    } else {
        std::lock_guard<std::mutex> lock(sRefusalsMutex);
        sRefusals.erase(device);
    }
    delete folderDevice;
    papplDeviceSetData(device, nullptr);
}

ssize_t folderRead(pappl_device_t*, void*, size_t)
{
    return -1;  // a file answers nothing
}

ssize_t folderWrite(pappl_device_t* device, const void* buffer, size_t bytes)
{
    FolderDevice* folderDevice = static_cast<FolderDevice*>(papplDeviceGetData(device));
    if (folderDevice == nullptr || folderDevice->fd < 0)
        return -1;
    const char* data = static_cast<const char*>(buffer);
    size_t written = 0;
    while (written < bytes) {
        const ssize_t count = write(folderDevice->fd, data + written, bytes - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            papplDeviceError(device, "Unable to write the job's file: %s",
                             count < 0 ? std::strerror(errno) : "nothing written");
            return -1;
        }
        written += static_cast<size_t>(count);
    }
    return static_cast<ssize_t>(written);
}

pappl_preason_t folderStatus(pappl_device_t*)
{
    return PAPPL_PREASON_NONE;
}

}  // namespace

const char* const kFolderScheme = "folder";

bool appIsFileDeviceUri(const char* uri)
{
    return uri != nullptr && (std::strncmp(uri, "file:", 5) == 0 ||
                              std::strncmp(uri, "folder:", 7) == 0);
}

bool appFolderDeviceReady(pappl_job_t* job, pappl_device_t* device)
{
    std::lock_guard<std::mutex> lock(sRefusalsMutex);
    auto found = sRefusals.find(device);
    if (found == sRefusals.end())
        return true;
    papplJobSetMessage(job, "%s", found->second.c_str());
    return false;
}

void appRegisterFolderScheme(const std::string& directory)
{
    sDirectory = directory;
    papplDeviceAddScheme(kFolderScheme, PAPPL_DEVTYPE_FILE, nullptr, folderOpen, folderClose,
                         folderRead, folderWrite, folderStatus, nullptr);
}
