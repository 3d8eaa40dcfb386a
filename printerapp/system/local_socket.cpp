// The local socket's owner and mode, set by a thread that watches for the
// socket's creation: PAPPL binds it after the system is created, with no
// hook before its first client.
#include "printerapp/system/local_socket.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "printerapp/system/security.h"

namespace {

// PAPPL's main loop serves every client of its local socket as an
// administrator without asking the authorization callback, and libcups
// creates the socket with mode 0777. A server run as root keeps
// /run/tavel-printer-app.sock for root and the lpadmin group; a user's
// server keeps $TMPDIR/tavel-printer-appUID.sock (PAPPL's places) for the
// user alone. Plain arrays: the watching thread may still read them while
// the process ends and destroys its static objects.
struct LocalSocket {
    char directory[PATH_MAX];
    char path[PATH_MAX];
    bool forAdmins;  // root and lpadmin, else the user alone
};
LocalSocket sLocalSocket;

// False while the socket is not there.
bool restrictSocketFile()
{
    const char* path = sLocalSocket.path;
    struct stat info;
    if (lstat(path, &info) != 0 || !S_ISSOCK(info.st_mode))
        return false;
    gid_t admins = 0;
    bool ok;
    if (sLocalSocket.forAdmins) {
        appLpadminGid(&admins);
        // Closed to others first, then opened to the group.
        ok = chmod(path, 0660) == 0 && lchown(path, 0, admins) == 0;
    } else {
        ok = info.st_uid == getuid() && chmod(path, 0600) == 0;
    }
    if (!ok)
        std::fprintf(stderr, "tavel-printer-app: cannot restrict %s\n", path);
    return true;
}

// PAPPL binds the socket after the system is created and gives no hook
// before its first client: a thread, watching the socket's folder since
// before the bind, restricts the socket as soon as it appears (within
// microseconds instead of the main loop's first timer, a second later).
void watchLocalSocket(int inotify)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    alignas(inotify_event) char events[4096];
    while (!restrictSocketFile()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd ready = {inotify, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left)) > 0 &&
            read(inotify, events, sizeof(events)) < 0 && errno != EINTR)
            break;
    }
    close(inotify);
}

// The main loop's timer: restricts the socket again once the server runs,
// in case the watch could not be set.
bool restrictLocalSocket(pappl_system_t*, void*)
{
    return !restrictSocketFile();  // not yet there: try again
}

}  // namespace

void appRestrictLocalSocket(pappl_system_t* system)
{
    const char* tmp = std::getenv("TMPDIR");
    const bool root = getuid() == 0;
    const std::string directory = root                             ? "/run"
                                  : tmp != nullptr && *tmp != '\0' ? tmp
                                                                   : "/tmp";
    const std::string path =
        root ? directory + "/tavel-printer-app.sock"
             : directory + "/tavel-printer-app" + std::to_string(getuid()) + ".sock";
    if (path.size() >= sizeof(sLocalSocket.path))
        return;  // no socket can have this path
    std::memcpy(sLocalSocket.directory, directory.c_str(), directory.size() + 1);
    std::memcpy(sLocalSocket.path, path.c_str(), path.size() + 1);
    sLocalSocket.forAdmins = root;
    // The socket of an earlier run goes now (PAPPL would replace it), so
    // that the watch waits for the new one.
    struct stat info;
    if (lstat(sLocalSocket.path, &info) == 0 && S_ISSOCK(info.st_mode))
        unlink(sLocalSocket.path);
    const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify >= 0 &&
        inotify_add_watch(inotify, sLocalSocket.directory, IN_CREATE | IN_MOVED_TO) >= 0)
        std::thread(watchLocalSocket, inotify).detach();
    else if (inotify >= 0)
        close(inotify);
    papplSystemAddTimerCallback(system, 0, 1, restrictLocalSocket, nullptr);
}
