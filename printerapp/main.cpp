// tavel-printer-app: an IPP Everywhere printer application for the Tavel TSPL
// label and stencil printers. PAPPL's main loop gives the standard command
// line (server, add, drivers, printers, submit, ...) and the web page; the
// system callback below creates the server with the folders, listeners and
// security rules the command line's -o options ask for.
#include <pappl/pappl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "printer/tavel_log.h"
#include "printerapp/devices/bounded_uri.h"
#include "printerapp/devices/discovery.h"
#include "printerapp/devices/folder_device.h"
#include "printerapp/jobs/document.h"
#include "printerapp/jobs/job_order.h"
#include "printerapp/jobs/pdf_document.h"
#include "printerapp/jobs/uploads.h"
#include "printerapp/system/announce.h"
#include "printerapp/system/command_line.h"
#include "printerapp/system/listeners.h"
#include "printerapp/system/models.h"
#include "printerapp/system/security.h"
#include "printerapp/devices/tcp_device.h"
#include "printerapp/system/strings.h"
#include "printerapp/system/local_socket.h"
#include "printerapp/system/state.h"
#include "printerapp/system/stop.h"

namespace {

// The project version, from the build (CMakeLists.txt).
const char* const sVersion = TAVEL_VERSION;

// Where state, spool and log live when the command line does not say:
// Debian's places when run as root, the user's otherwise. The server that
// a sub-command starts as root when none runs keeps its printers apart
// from the service's (which runs as lp, on its own files in
// /var/lib/tavel-printer-app): two servers never share a state file.
struct AppPaths {
    std::string stateFile;
    std::string spoolDirectory;
    std::string logFile;
};

AppPaths defaultPaths(bool localOnly)
{
    AppPaths paths;
    if (getuid() == 0) {
        paths.stateFile = localOnly ? "/var/spool/tavel-printer-app/local-server.state"
                                    : "/var/lib/tavel-printer-app/tavel-printer-app.state";
        paths.spoolDirectory = "/var/spool/tavel-printer-app";
    } else {
        const char* home = std::getenv("HOME");
        const char* tmp = std::getenv("TMPDIR");
        paths.stateFile = std::string(home ? home : "/tmp") + "/.tavel-printer-app.state";
        paths.spoolDirectory = std::string(tmp ? tmp : "/tmp") + "/tavel-printer-app-" +
                               std::to_string(getuid());
    }
    paths.logFile = "-";  // standard error: the journal under systemd
    return paths;
}

const char* optionOr(const char* name, int numOptions, cups_option_t* options,
                     const char* fallback)
{
    const char* value = cupsGetOption(name, numOptions, options);
    return value != nullptr && *value != '\0' ? value : fallback;
}

pappl_loglevel_t logLevel(const char* text)
{
    const std::string level = text;
    if (level == "debug")
        return PAPPL_LOGLEVEL_DEBUG;
    if (level == "warn")
        return PAPPL_LOGLEVEL_WARN;
    if (level == "error")
        return PAPPL_LOGLEVEL_ERROR;
    return PAPPL_LOGLEVEL_INFO;
}

// Creates path and its missing parents (PAPPL creates no spool folder and
// no state folder of its own); the last one with mode.
void makeDirectories(const std::string& path, mode_t mode)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), mode);
}

bool isLoopback(const std::string& host)
{
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The state file and the security rules, kept for PAPPL's callbacks; main
// owns them for as long as the system runs.
struct AppSystem {
    AppStateSaver state;
    AppSecurity security;
    AppAnnouncer announcer;
};

bool saveState(pappl_system_t* system, void* data)
{
    return appSaveStateFile(system, static_cast<AppSystem*>(data)->state.path);
}

// Every printer is created through here (IPP Create-Printer, the web page,
// the add sub-command, the state file at start): a device the rules refuse
// fails the creation before the driver is set up.
bool driverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                    const char* deviceId, pappl_pr_driver_data_t* driverData,
                    ipp_t** driverAttrs, void* data)
{
    const std::string refusal =
        appDeviceRefusal(static_cast<AppSystem*>(data)->security, deviceUri);
    if (!refusal.empty()) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Printer on '%s' refused: %s.", deviceUri,
                 refusal.c_str());
        return false;
    }
    if (!appDriverCallback(system, driverName, deviceUri, deviceId, driverData, driverAttrs,
                           nullptr))
        return false;
    if (*driverAttrs == nullptr)
        *driverAttrs = ippNew();
    appAddStringsAttributes(system, *driverAttrs);
    return true;
}

// Events of every printer and job, in the thread that caused them: only
// quick work that takes no printer lock.
void systemEvent(pappl_system_t*, pappl_printer_t* printer, pappl_job_t* job,
                 pappl_event_t event, void* data)
{
    AppSystem* appSystem = static_cast<AppSystem*>(data);
    appNoteStateEvent(&appSystem->state, event);
    appNoteNewPrinter(&appSystem->announcer, printer, event);
    appNoteJobEvent(printer, job, event);
    appNoteJobOrderEvent(printer, job, event);
    if (job != nullptr && (event & PAPPL_EVENT_JOB_COMPLETED) != 0)
        appRemoveEmptyJobFile(appSystem->security, job);
}

pappl_system_t* createSystem(int numOptions, cups_option_t* options, void* data)
{
    AppSystem* appSystem = static_cast<AppSystem*>(data);
    // A server that a sub-command starts because none runs serves the local
    // socket alone; serving the network takes the explicit server command.
    const bool localOnly = cupsGetOption("private-server", numOptions, options) != nullptr;
    const AppPaths paths = defaultPaths(localOnly);
    appSystem->state.path = optionOr("state-file", numOptions, options, paths.stateFile.c_str());
    const char* spool = optionOr("spool-directory", numOptions, options,
                                 paths.spoolDirectory.c_str());
    const char* logFile = optionOr("log-file", numOptions, options, paths.logFile.c_str());
    const char* listen = optionOr("listen-hostname", numOptions, options, nullptr);
    std::string error;
    if (!appSecurityFromOptions(numOptions, options, &appSystem->security, &error)) {
        std::fprintf(stderr, "tavel-printer-app: %s\n", error.c_str());
        return nullptr;
    }
    makeDirectories(spool, 0700);
    const size_t stateSlash = appSystem->state.path.rfind('/');
    if (stateSlash != std::string::npos && stateSlash > 0)
        makeDirectories(appSystem->state.path.substr(0, stateSlash), 0755);
    const int port = std::atoi(optionOr("server-port", numOptions, options, "8000"));

    int systemOptions =
        PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG;
    // On the loopback interface alone TLS protects nothing, and PAPPL would
    // announce an ipps scheme it lists no printer URI for.
    if (listen != nullptr && isLoopback(listen))
        systemOptions |= PAPPL_SOPTIONS_NO_TLS;
    const pappl_loglevel_t level = logLevel(optionOr("log-level", numOptions, options, "info"));
    // The page pipeline's DEBUG: lines go to standard error, the journal
    // under systemd: only a server at the debug level writes them.
    tavelLogSetMinimumLevel(level == PAPPL_LOGLEVEL_DEBUG ? 0 : 2);
    pappl_system_t* system = papplSystemCreate(
        static_cast<pappl_soptions_t>(systemOptions),
        "Tavel Printer Application", port, "_print,_universal", spool, logFile, level, nullptr,
        false);
    if (system == nullptr)
        return nullptr;
    // PAPPL 1.3.1 rotates a log that is a regular file at 1 MiB; standard
    // error appended to a file (2>>FILE, nohup, a unit's append:) cannot be
    // renamed, and the failed rotation leaves the log's lock taken: the
    // server stopped answering. Standard error is never rotated (the journal
    // or logrotate's copytruncate keeps it short); a named log file still
    // rotates to FILE.O.
    if (std::strcmp(logFile, "-") == 0)
        papplSystemSetMaxLogSize(system, 0);
    // A server that cannot listen where it was asked to ends with an error
    // instead of serving its local socket alone.
    if (!localOnly && !appAddListeners(system, listen)) {
        std::fprintf(stderr, "tavel-printer-app: cannot listen on %s port %d\n",
                     listen != nullptr ? listen : "every address", port);
        papplSystemDelete(system);
        return nullptr;
    }
    if (!localOnly && listen != nullptr)
        papplSystemSetHostName(system, listen);
    appSetAuthorization(system);
    appAddPrinterPage(system, &appSystem->security);

    int numDrivers = 0;
    pappl_pr_driver_t* drivers = appDrivers(&numDrivers);
    papplSystemSetPrinterDrivers(system, numDrivers, drivers, nullptr, appPrinterCreated,
                                 driverCallback, appSystem);
    papplSystemSetMIMECallback(system, appDetectFormat, nullptr);
    appAddDocumentFilters(system);
    appAddStrings(system);
    appRegisterSocketScheme(system);
    appRegisterFolderScheme(appSystem->security.fileDeviceDirectory);
    pappl_version_t version = {};
    std::snprintf(version.name, sizeof(version.name), "tavel-printer-app");
    std::snprintf(version.sversion, sizeof(version.sversion), "%s", sVersion);
    version.version[0] = 3;
    version.version[1] = 13;
    version.version[2] = 32;
    papplSystemSetVersions(system, 1, &version);

    appMapStateFile(appSystem->state.path);
    papplSystemLoadState(system, appSystem->state.path.c_str());
    // After the state file, which holds the password of the last run.
    if (!appSetAdminPassword(system, appSystem->security, &error)) {
        std::fprintf(stderr, "tavel-printer-app: %s\n", error.c_str());
        papplSystemDelete(system);
        return nullptr;
    }
    papplSystemSetSaveCallback(system, saveState, appSystem);
    appSaveStateOnChange(system, &appSystem->state);
    appAnnounceNewPrinters(system, &appSystem->announcer);
    papplSystemSetEventCallback(system, systemEvent, appSystem);
    appBoundServerStop(system);
    return system;
}

// PAPPL is C: no exception may leave the callback.
pappl_system_t* createSystemCallback(int numOptions, cups_option_t* options, void* data)
{
    try {
        return createSystem(numOptions, options, data);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavel-printer-app: %s\n", error.what());
    }
    return nullptr;
}

int subcommand(const char* baseName, int numOptions, cups_option_t* options, int, char**,
               void*)
{
    try {
        return appSetAdminPasswordCommand(baseName, numOptions, options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavel-printer-app: %s\n", error.what());
    }
    return 1;
}

}  // namespace

int main(int argc, char* argv[])
{
    // The PDF renderer the server starts for each PDF job.
    if (argc > 1 && std::strcmp(argv[1], kPdfRendererArgument) == 0)
        return appRunPdfRenderer(argc, argv);
    int numDrivers = 0;
    pappl_pr_driver_t* drivers = appDrivers(&numDrivers);
    // PAPPL's devices sub-command browses DNS-SD and aborts without
    // avahi-daemon.
    if (argc == 2 && std::strcmp(argv[1], "devices") == 0 && !appAvahiRuns())
        return appListLocalDevices();
    std::string error;
    if (!appPrepareLocalSocket(argv[0], &error)) {
        std::fprintf(stderr, "tavel-printer-app: %s\n", error.c_str());
        return 1;
    }
    appMapDeviceArguments(argc, argv);
    // Sub-commands answered here need no server of PAPPL's making: drivers
    // would create one, which listens and takes the local socket.
    const int ownResult = appRunOwnSubcommand(argc, argv, numDrivers, drivers);
    if (ownResult >= 0)
        return ownResult;
    std::vector<std::string> arguments = appCorrectArguments(argc, argv);
    std::vector<char*> correctedArgv;
    for (std::string& argument : arguments)
        correctedArgv.push_back(&argument[0]);
    correctedArgv.push_back(nullptr);
    AppSystem appSystem;
    return papplMainloop(argc, correctedArgv.data(), sVersion,
                         "Tavel TSPL label and stencil printers", numDrivers, drivers, nullptr,
                         driverCallback, "set-admin-password", subcommand, createSystemCallback,
                         appPrintUsage, &appSystem);
}
