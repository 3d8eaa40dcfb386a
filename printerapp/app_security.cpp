// The printer application's security rules, kept in one place: device URIs
// a printer may use and the web page's administrator password. PAPPL 1.3.1
// treats every loopback and local-socket client as an administrator and
// refuses administrative IPP operations to remote clients without an
// authentication service; the web page asks for the password set here.
#include "printerapp/app_security.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

const char* const kAdminPasswordFile = "/var/lib/tavel-printer-app/admin-password";

namespace {

std::string optionValue(const char* name, int numOptions, cups_option_t* options)
{
    const char* value = cupsGetOption(name, numOptions, options);
    return value != nullptr ? value : "";
}

// True when path is directory or every component of path below directory
// is a real folder, not a link: lstat walks the path one component at a
// time.
bool realFolderBelow(const std::string& directory, const std::string& path)
{
    if (path == directory)
        return true;
    if (path.compare(0, directory.size() + 1, directory + "/") != 0)
        return false;
    std::string walked = directory;
    size_t start = directory.size() + 1;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string part = path.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        walked += "/" + part;
        struct stat info;
        if (lstat(walked.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
        start = slash + 1;
    }
    return true;
}

std::string randomPassword()
{
    unsigned char bytes[24];
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes)))
        return "";
    std::string text;
    char hex[3];
    for (unsigned char byte : bytes) {
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        text += hex;
    }
    return text;
}

// A server run as root keeps its local socket for root and the lpadmin
// group: PAPPL creates it with mode 0777 and treats every client on it as
// an administrator. The socket appears once the server runs, hence a timer.
bool restrictLocalSocket(pappl_system_t*, void*)
{
    const char* const socketPath = "/run/tavel-printer-app.sock";
    struct stat info;
    if (getuid() != 0)
        return false;  // a user's server has its socket in its own folder
    if (lstat(socketPath, &info) != 0 || !S_ISSOCK(info.st_mode))
        return true;  // not yet there: try again
    const group* admins = getgrnam("lpadmin");
    if (lchown(socketPath, 0, admins != nullptr ? admins->gr_gid : 0) != 0 ||
        chmod(socketPath, 0660) != 0)
        std::fprintf(stderr, "tavel-printer-app: cannot restrict %s\n", socketPath);
    return false;
}

}  // namespace

bool appSecurityFromOptions(int numOptions, cups_option_t* options, AppSecurity* security,
                            std::string* error)
{
    security->adminPasswordFile = optionValue("admin-password-file", numOptions, options);
    if (security->adminPasswordFile.empty() && getuid() == 0)
        security->adminPasswordFile = kAdminPasswordFile;
    const std::string directory = optionValue("file-device-directory", numOptions, options);
    security->fileDeviceDirectory.clear();
    if (directory.empty())
        return true;
    char real[PATH_MAX];
    struct stat info;
    if (realpath(directory.c_str(), real) == nullptr || stat(real, &info) != 0 ||
        !S_ISDIR(info.st_mode) || std::strcmp(real, "/") == 0) {
        *error = "file-device-directory '" + directory + "' is not a folder";
        return false;
    }
    security->fileDeviceDirectory = real;
    return true;
}

std::string appDeviceRefusal(const AppSecurity& security, const char* uri)
{
    if (uri == nullptr || std::strncmp(uri, "file:", 5) != 0)
        return "";
    if (security.fileDeviceDirectory.empty())
        return "file:// devices are off: the server writes no file for its clients "
               "(an administrator may start it with -o file-device-directory=DIR)";
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), user, sizeof(user),
                        host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK ||
        (host[0] != '\0' && std::strcmp(host, "localhost") != 0))
        return "bad file:// device URI";
    std::string path = resource;
    const size_t query = path.find('?');
    if (query != std::string::npos)
        path.erase(query);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (!realFolderBelow(security.fileDeviceDirectory, path))
        return "a file:// device must name an existing folder inside " +
               security.fileDeviceDirectory + ", reached through no link";
    return "";
}

void appRemoveEmptyJobFile(const AppSecurity& security, pappl_job_t* job)
{
    pappl_printer_t* printer = papplJobGetPrinter(job);
    const char* uri = printer != nullptr ? papplPrinterGetDeviceURI(printer) : nullptr;
    const char* name = papplJobGetName(job);
    if (uri == nullptr || name == nullptr || std::strncmp(uri, "file:", 5) != 0 ||
        papplJobGetState(job) == IPP_JSTATE_COMPLETED || !appDeviceRefusal(security, uri).empty())
        return;
    // The folder and extension of the URI; the device names the file after
    // the job, with '/' made '_'.
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), user, sizeof(user),
                        host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK)
        return;
    std::string folder = resource, extension = "prn";
    const size_t query = folder.find('?');
    if (query != std::string::npos) {
        const size_t ext = folder.find("ext=", query);
        if (ext != std::string::npos)
            extension = folder.substr(ext + 4, folder.find('&', ext) - ext - 4);
        folder.erase(query);
    }
    std::string file = name;
    for (char& c : file)
        if (c == '/')
            c = '_';
    const std::string path = folder + "/" + file + "." + extension;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        unlink(path.c_str());
}

void appRestrictLocalSocket(pappl_system_t* system)
{
    papplSystemAddTimerCallback(system, 0, 1, restrictLocalSocket, nullptr);
}

bool appSetAdminPassword(pappl_system_t* system, const AppSecurity& security, std::string* error)
{
    char hash[256] = "";
    if (!security.adminPasswordFile.empty()) {
        if (FILE* file = std::fopen(security.adminPasswordFile.c_str(), "r")) {
            if (std::fgets(hash, sizeof(hash), file) == nullptr)
                hash[0] = '\0';
            std::fclose(file);
            hash[std::strcspn(hash, "\r\n")] = '\0';
        } else if (errno != ENOENT) {
            *error = "cannot read " + security.adminPasswordFile + ": " + std::strerror(errno);
            return false;
        }
    }
    if (hash[0] == '\0') {
        const std::string secret = randomPassword();
        if (secret.empty()) {
            *error = "no random bytes for the web page's password";
            return false;
        }
        papplSystemHashPassword(system, nullptr, secret.c_str(), hash, sizeof(hash));
    }
    papplSystemSetPassword(system, hash);
    return true;
}

int appSetAdminPasswordCommand(const char* baseName, int numOptions, cups_option_t* options)
{
    std::string file = optionValue("admin-password-file", numOptions, options);
    if (file.empty())
        file = kAdminPasswordFile;
    std::string password;
    if (isatty(STDIN_FILENO))
        std::cerr << "New administrator password: " << std::flush;
    if (!std::getline(std::cin, password) || password.size() < 8) {
        std::cerr << baseName << ": the password must have at least 8 characters\n";
        return 1;
    }
    pappl_system_t* system = papplSystemCreate(PAPPL_SOPTIONS_NONE, baseName, 0, nullptr,
                                               nullptr, "/dev/null", PAPPL_LOGLEVEL_ERROR,
                                               nullptr, false);
    char hash[256] = "";
    if (system != nullptr) {
        papplSystemHashPassword(system, nullptr, password.c_str(), hash, sizeof(hash));
        papplSystemDelete(system);
    }
    if (hash[0] == '\0') {
        std::cerr << baseName << ": cannot hash the password\n";
        return 1;
    }
    // The service reads the file as the owner of its folder.
    const size_t slash = file.rfind('/');
    struct stat folder;
    const std::string folderPath = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    if (stat(folderPath.c_str(), &folder) != 0) {
        std::cerr << baseName << ": " << folderPath << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    const std::string temporary = file + ".new";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    const std::string line = std::string(hash) + "\n";
    bool ok = fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (ok && getuid() == 0)
        ok = fchown(fd, folder.st_uid, folder.st_gid) == 0;
    ok = fd >= 0 && fsync(fd) == 0 && ok;
    if (fd >= 0)
        close(fd);
    if (!ok || rename(temporary.c_str(), file.c_str()) != 0) {
        std::cerr << baseName << ": cannot write " << file << ": " << std::strerror(errno)
                  << "\n";
        unlink(temporary.c_str());
        return 1;
    }
    std::cout << "The administrator password is set; restart the server to use it.\n";
    return 0;
}
