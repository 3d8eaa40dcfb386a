// Where the local socket lives. libcups binds PAPPL's local socket with
// mode 0777, and PAPPL names it after the program (/run/NAME.sock for
// root, $TMPDIR/NAMEUID.sock for others): restricting the file afterwards
// leaves a window, a copy of the program under another name escapes a
// rule written for one name, and a predictable name in /tmp can be taken
// first by another user, who then receives the user's documents and
// commands. PAPPL 1.3.1 puts root's socket into $SNAP_COMMON when that is
// set, and other users' into $TMPDIR; so the socket goes into a folder chosen here,
// which exists with its final owner and mode before the server binds:
// whoever cannot enter the folder cannot reach the socket, whatever its
// mode and name.
//
// The service runs as a user of its own and binds its socket in its
// runtime folder, /run/tavel-printer-app (RuntimeDirectory= of the unit,
// mode 0700), where root's commands look: as PAPPL names a non-root
// server's socket NAMEUID.sock and root's clients look for NAME.sock, the
// service links the one name to the other, and root's commands accept the
// folder and the link when they belong to the service's user.
#include "printerapp/system/local_socket.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "printerapp/system/security.h"

namespace {

const char* const kRootFolder = "/run/tavel-printer-app";

// The user the service runs as (the unit's User=).
const char* const kServiceUser = "tavel-printer-app";

// Whether uid is the service's user.
bool isServiceUser(uid_t uid)
{
    passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    return getpwnam_r(kServiceUser, &entry, buffer.data(), buffer.size(), &found) == 0 &&
           found != nullptr && found->pw_uid == uid && uid != 0;
}

// Root's folder, made for root and group lpadmin when it does not exist.
void makeRootFolder()
{
    if (mkdir(kRootFolder, 0700) != 0)
        return;
    gid_t admins = 0;
    if (appLpadminGid(&admins) && chown(kRootFolder, 0, admins) == 0)
        chmod(kRootFolder, 0750);
}

// The folder for this user: made when it is the user's own fallback.
std::string chooseFolder()
{
    if (getuid() == 0) {
        makeRootFolder();
        return kRootFolder;
    }
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && *xdg == '/')
        return xdg;
    const std::string folder = "/tmp/tavel-printer-app-" + std::to_string(getuid());
    mkdir(folder.c_str(), 0700);
    return folder;
}

// The program's name as PAPPL takes it for the socket's name.
std::string baseName(const char* argv0)
{
    const char* slash = std::strrchr(argv0, '/');
    return slash != nullptr ? slash + 1 : argv0;
}

}  // namespace

namespace {
// Set once at start, before any thread runs.
std::string sLocalSocketPath;
}  // namespace

const std::string& appLocalSocketPath()
{
    return sLocalSocketPath;
}

bool appPrepareLocalSocket(const char* argv0, std::string* error)
{
    const std::string folder = chooseFolder();
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = folder + " is no folder for the local socket";
        return false;
    }
    // A user's folder is the user's alone; root's is open to group
    // lpadmin, for reading. Root also takes the service's runtime folder.
    const bool root = getuid() == 0;
    const bool serviceFolder = root && folder == kRootFolder && isServiceUser(info.st_uid);
    const mode_t closed = root && !serviceFolder ? 027 : 077;
    if ((info.st_uid != getuid() && !serviceFolder) || (info.st_mode & closed) != 0) {
        *error = folder + " belongs to another user or is open to others: the local socket "
                          "is not put there";
        return false;
    }
    // PAPPL 1.3.1 takes $SNAP_COMMON/NAME.sock for root and
    // $TMPDIR/NAMEUID.sock for other users.
    const std::string name = baseName(argv0);
    const std::string socket = folder + "/" + name + (root ? "" : std::to_string(getuid())) + ".sock";
    const bool present = lstat(socket.c_str(), &info) == 0;
    // In the service's folder, the service's link to its socket.
    struct stat target;
    const bool serviceLink = serviceFolder && present && S_ISLNK(info.st_mode) &&
                             isServiceUser(info.st_uid) && stat(socket.c_str(), &target) == 0 &&
                             S_ISSOCK(target.st_mode) && isServiceUser(target.st_uid);
    if (present && !serviceLink && (!S_ISSOCK(info.st_mode) || info.st_uid != getuid())) {
        *error = socket + " is not a socket of this user's server";
        return false;
    }
    // The service links root's name to its socket in its runtime folder.
    if (!root && folder == kRootFolder && isServiceUser(getuid())) {
        const std::string link = folder + "/" + name + ".sock";
        unlink(link.c_str());
        if (symlink((name + std::to_string(getuid()) + ".sock").c_str(), link.c_str()) != 0) {
            *error = "cannot link " + link + ": " + std::strerror(errno);
            return false;
        }
    }
    if (setenv(root ? "SNAP_COMMON" : "TMPDIR", folder.c_str(), 1) != 0) {
        *error = std::string("cannot choose the local socket's folder: ") + std::strerror(errno);
        return false;
    }
    sLocalSocketPath = socket;
    return true;
}
