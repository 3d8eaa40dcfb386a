// Crash-safe saving of the state file: PAPPL writes the file in place, so a
// server killed while it saved left a truncated file and lost every printer.
#include "printerapp/system/state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool syncPath(const std::string& path, int flags)
{
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

bool appSaveStateFile(pappl_system_t* system, const std::string& path)
{
    // The state holds the web page's password hash: readable by the server
    // alone. A temporary file left by a crash is replaced.
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());
    if (!papplSystemSaveState(system, temporary.c_str()) || chmod(temporary.c_str(), 0600) != 0 ||
        !syncPath(temporary, O_RDONLY) || std::rename(temporary.c_str(), path.c_str()) != 0) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to '%s'.", path.c_str());
        unlink(temporary.c_str());
        return false;
    }
    const size_t slash = path.rfind('/');
    syncPath(slash == std::string::npos ? "." : path.substr(0, slash + 1), O_RDONLY | O_DIRECTORY);
    return true;
}

namespace {

const pappl_event_t kStateEvents = static_cast<pappl_event_t>(
    PAPPL_EVENT_PRINTER_CONFIG_ALL | PAPPL_EVENT_PRINTER_CREATED | PAPPL_EVENT_PRINTER_DELETED |
    PAPPL_EVENT_SYSTEM_CONFIG_CHANGED);

bool saveIfChanged(pappl_system_t* system, void* data)
{
    AppStateSaver* saver = static_cast<AppStateSaver*>(data);
    if (saver->changed.exchange(false) && !appSaveStateFile(system, saver->path))
        saver->changed = true;  // try again at the next tick
    return true;
}

}  // namespace

void appSaveStateOnChange(pappl_system_t* system, AppStateSaver* saver)
{
    papplSystemAddTimerCallback(system, 0, 1, saveIfChanged, saver);
}

void appNoteStateEvent(AppStateSaver* saver, pappl_event_t event)
{
    if ((event & kStateEvents) != 0)
        saver->changed = true;
}
