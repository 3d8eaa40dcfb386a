// The printer application's security rules, kept in one place: device URIs
// a printer may use, who may do what over IPP, and the web page's
// administrator password. PAPPL 1.3.1 asks the authorization callback about
// every IPP request of a TCP client (loopback included) that prints, reads a
// job or changes anything, and about every web page that changes anything,
// before it acts; it never asks about clients of the local socket, which
// its file mode keeps for root and lpadmin.
#include "printerapp/system/security.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "printerapp/devices/bounded_uri.h"
#include "printerapp/devices/discovery.h"
#include "printerapp/devices/file_device.h"
#include "printerapp/devices/folder_device.h"
#include "printerapp/jobs/document_formats.h"
#include "printerapp/jobs/job_order.h"
#include "printerapp/jobs/uploads.h"
#include "printerapp/system/peer.h"
#include "printerapp/system/settings_check.h"
#include "printerapp/web/defaults_form_check.h"
#include "printerapp/web/form_guard.h"

const char* const kAdminPasswordFile = "/var/lib/tavel-printer-app/admin-password";

namespace {

std::string optionValue(const char* name, int numOptions, cups_option_t* options)
{
    const char* value = cupsGetOption(name, numOptions, options);
    return value != nullptr ? value : "";
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

// Operations open to every client: printing, and reading printers, jobs
// and events.
bool isOpenOperation(ipp_op_t operation)
{
    switch (operation) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_VALIDATE_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_GET_JOBS:
    case IPP_OP_GET_JOB_ATTRIBUTES:
    case IPP_OP_GET_PRINTER_ATTRIBUTES:
    case IPP_OP_GET_PRINTER_SUPPORTED_VALUES:
    case IPP_OP_GET_PRINTERS:
    case IPP_OP_GET_SYSTEM_ATTRIBUTES:
    case IPP_OP_GET_SYSTEM_SUPPORTED_VALUES:
    case IPP_OP_IDENTIFY_PRINTER:
    case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
    case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
    case IPP_OP_GET_SUBSCRIPTIONS:
    case IPP_OP_CUPS_GET_DEFAULT:
    case IPP_OP_CUPS_GET_PRINTERS:
        return true;
    default:
        return false;
    }
}

// Operations on one job, allowed to its owner.
bool isJobOperation(ipp_op_t operation)
{
    switch (operation) {
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_CLOSE_JOB:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
    case IPP_OP_SET_JOB_ATTRIBUTES:
        return true;
    default:
        return false;
    }
}

// Operations on subscriptions that exist, allowed to their owner: the
// subscriptions they name, by notify-subscription-id or (Get-Notifications)
// notify-subscription-ids.
bool isSubscriptionOperation(ipp_op_t operation)
{
    return operation == IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES ||
           operation == IPP_OP_RENEW_SUBSCRIPTION || operation == IPP_OP_CANCEL_SUBSCRIPTION ||
           operation == IPP_OP_GET_NOTIFICATIONS;
}

// Whether every subscription the request names belongs to name. A
// subscription that does not exist is left to PAPPL, which answers "not
// found".
bool ownsSubscriptions(pappl_client_t* client, const std::string& name)
{
    ipp_t* request = papplClientGetRequest(client);
    ipp_attribute_t* ids = ippFindAttribute(request, "notify-subscription-id", IPP_TAG_INTEGER);
    if (ids == nullptr)
        ids = ippFindAttribute(request, "notify-subscription-ids", IPP_TAG_INTEGER);
    if (ids == nullptr)
        return false;
    for (int i = 0; i < ippGetCount(ids); i++) {
        pappl_subscription_t* subscription =
            papplSystemFindSubscription(papplClientGetSystem(client), ippGetInteger(ids, i));
        const char* owner =
            subscription != nullptr ? papplSubscriptionGetUsername(subscription) : nullptr;
        if (subscription != nullptr && (owner == nullptr || name != owner))
            return false;
    }
    return true;
}

// The most an IPP request's attributes may take (document data aside):
// far more than any client sends, and little to work through.
constexpr size_t kMaxRequestAttributeBytes = 64 * 1024;

// The most connections PAPPL serves at once, each on a thread of its own:
// below the service's task limit (TasksMax=512), with room for job threads.
constexpr int kMaxClients = 200;

// PAPPL's vendor operation that browses for devices (DNS-SD included).
const ipp_op_t kFindDevices = static_cast<ipp_op_t>(0x402b);

std::string userName(uid_t uid)
{
    passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return entry.pw_name;
    return "uid-" + std::to_string(uid);
}

// Root, the server's own user (who owns its state anyway) and the members
// of group lpadmin administer the server.
bool isAdministratorUid(uid_t uid)
{
    if (uid == 0 || uid == getuid())
        return true;
    gid_t admins = 0;
    if (!appLpadminGid(&admins))
        return false;
    passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    int count = 64;
    std::vector<gid_t> groups(count);
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
        if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; i++)
        if (groups[i] == admins)
            return true;
    return false;
}

// True when password is the one whose hash the system keeps. papplSystemHashPassword stores SALT~HEX, HEX being the SHA-256 of
// "SALT:password"; PAPPL 1.3.1 cannot hash a password again with a stored
// salt (it takes the whole stored string as the salt), so the check
// recomputes the digest here.
bool isAdminPassword(const char* stored, const char* password)
{
    const char* tilde = std::strchr(stored, '~');
    if (tilde == nullptr || tilde == stored)
        return false;
    std::string data(stored, tilde);
    data += ":";
    data += password;
    unsigned char digest[32];
    char hex[65];
    const bool hashed = cupsHashData("sha2-256", data.data(), data.size(), digest,
                                     sizeof(digest)) == static_cast<ssize_t>(sizeof(digest));
    explicit_bzero(&data[0], data.size());
    if (!hashed)
        return false;
    cupsHashString(digest, sizeof(digest), hex, sizeof(hex));
    const char* expected = tilde + 1;
    if (std::strlen(expected) != 64)
        return false;
    unsigned char difference = 0;  // the same time for every wrong password
    for (int i = 0; i < 64; i++)
        difference |= static_cast<unsigned char>(expected[i] ^ hex[i]);
    return difference == 0;
}

// Who the client is. A local client is the user the kernel names; a client
// that sends the administrator password (HTTP Basic) is an administrator
// under the name it gives; a remote client without it is the name it
// claims, qualified by its address, so that it can never pass for a local
// user or for a client elsewhere. A remote client's password travels over
// TLS alone.
struct ClientIdentity {
    std::string name;
    bool administrator = false;  // by the password
    bool local = false;          // a local user: uid
    uid_t uid = 0;
    bool badPassword = false;
    bool needsTls = false;  // a remote client on a connection in clear
};

// Password guessing, slowed per client address: after kFreeGuesses wrong
// passwords an address waits a second before its next answer, doubling with
// each further wrong one up to kLongestWait, while its other guesses are
// refused unchecked. A right password, or kForgetAfter without a wrong one,
// clears the address: the administrator is never locked out for long.
constexpr int kFreeGuesses = 10;
constexpr std::chrono::seconds kLongestWait(60);
constexpr std::chrono::minutes kForgetAfter(5);

struct Guesses {
    int wrong = 0;
    std::chrono::steady_clock::time_point last;
    std::chrono::steady_clock::time_point nextCheck;
};

std::mutex sGuessesMutex;
std::map<std::string, Guesses> sGuesses;

std::string addressOf(pappl_client_t* client)
{
    char address[256] = "";
    httpAddrString(httpGetAddress(papplClientGetHTTP(client)), address, sizeof(address));
    return address;
}

// False while the address must wait before another guess is checked.
bool mayGuess(const std::string& address)
{
    std::lock_guard<std::mutex> lock(sGuessesMutex);
    auto found = sGuesses.find(address);
    const auto now = std::chrono::steady_clock::now();
    if (found == sGuesses.end())
        return true;
    if (now - found->second.last > kForgetAfter) {
        sGuesses.erase(found);
        return true;
    }
    return now >= found->second.nextCheck;
}

void noteGuess(pappl_client_t* client, const std::string& address, bool right)
{
    std::lock_guard<std::mutex> lock(sGuessesMutex);
    if (right) {
        sGuesses.erase(address);
        return;
    }
    if (sGuesses.size() > 10000)
        sGuesses.clear();  // a bound on memory; addresses start afresh
    Guesses& guesses = sGuesses[address];
    guesses.wrong++;
    guesses.last = std::chrono::steady_clock::now();
    const int over = guesses.wrong - kFreeGuesses;
    const auto wait = over <= 0 ? std::chrono::seconds(0)
                                : std::min<std::chrono::seconds>(
                                      std::chrono::seconds(1L << std::min(over - 1, 6)),
                                      kLongestWait);
    guesses.nextCheck = guesses.last + wait;
    papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                   "Wrong administrator password from %s (%d in a row); next check in %d s.",
                   address.c_str(), guesses.wrong, static_cast<int>(wait.count()));
}

// Checks HTTP Basic credentials against the administrator password.
void checkPassword(pappl_client_t* client, const char* authorization, ClientIdentity* identity)
{
    const std::string address = addressOf(client);
    if (!mayGuess(address)) {
        papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                       "Password from %s refused unchecked: too many wrong ones.",
                       address.c_str());
        identity->badPassword = true;
        return;
    }
    char credentials[512];
    int length = sizeof(credentials) - 1;
    const char* encoded = authorization + 6;
    while (*encoded == ' ')
        encoded++;
    httpDecode64_2(credentials, &length, encoded);
    credentials[length >= 0 && length < static_cast<int>(sizeof(credentials))
                    ? length
                    : sizeof(credentials) - 1] = '\0';
    char* colon = std::strchr(credentials, ':');
    char hash[256] = "";
    papplSystemGetPassword(papplClientGetSystem(client), hash, sizeof(hash));
    if (colon != nullptr)
        *colon = '\0';  // credentials: the user name; colon + 1: the password
    if (colon != nullptr && isAdminPassword(hash, colon + 1)) {
        identity->administrator = true;
        identity->name = credentials[0] != '\0' ? credentials : "admin";
    } else {
        identity->badPassword = true;
    }
    noteGuess(client, address, identity->administrator);
    explicit_bzero(credentials, sizeof(credentials));
    explicit_bzero(hash, sizeof(hash));
}

ClientIdentity identify(pappl_client_t* client, bool ippRequest)
{
    ClientIdentity identity;
    http_t* http = papplClientGetHTTP(client);
    uid_t uid = 0;
    const bool local = appLocalPeerUid(httpGetFd(http), &uid);
    identity.needsTls = !local && !papplClientIsEncrypted(client);
    const char* authorization = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
    if (authorization != nullptr && strncasecmp(authorization, "Basic ", 6) == 0) {
        if (!identity.needsTls)
            checkPassword(client, authorization, &identity);
        return identity;
    }
    if (local) {
        identity.name = userName(uid);
        identity.local = true;
        identity.uid = uid;
        return identity;
    }
    ipp_t* request = ippRequest ? papplClientGetRequest(client) : nullptr;
    ipp_attribute_t* claimed =
        request != nullptr
            ? ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME)
            : nullptr;
    char address[256] = "";
    httpAddrString(httpGetAddress(http), address, sizeof(address));
    identity.name = std::string(claimed != nullptr ? ippGetString(claimed, 0, nullptr)
                                                   : "anonymous") +
                    "@" + address;
    return identity;
}

// A web page or form: PAPPL asks only about those that change a printer,
// a job or the system, and they need an administrator. An administrator's
// page gives the browser its form cookie; a form must come from this
// server's own pages (web/form_guard.h).
http_status_t decideWebRequest(pappl_client_t* client, const ClientIdentity& identity,
                               http_status_t refusal)
{
    if (!identity.administrator && !(identity.local && isAdministratorUid(identity.uid)))
        return refusal;
    papplClientSetUsername(client, identity.name.c_str());
    if (papplClientGetMethod(client) == HTTP_STATE_POST)
        return appCheckFormPost(client);
    appIssueFormCookie(client);
    return HTTP_STATUS_CONTINUE;
}

// Who may do what: CONTINUE lets the request through.
http_status_t decide(pappl_client_t* client, bool ippRequest)
{
    const ClientIdentity identity = identify(client, ippRequest);
    // 401 asks the client for the password; a remote client on a
    // connection in clear is first told to encrypt it.
    const http_status_t refusal =
        identity.needsTls ? HTTP_STATUS_UPGRADE_REQUIRED : HTTP_STATUS_UNAUTHORIZED;
    if (identity.badPassword)
        return HTTP_STATUS_UNAUTHORIZED;
    if (identity.needsTls && identity.name.empty())
        return refusal;  // a password sent in clear
    // PAPPL keeps the operation of a connection's last IPP request: a web
    // request is never judged by it.
    if (!ippRequest)
        return decideWebRequest(client, identity, refusal);
    // PAPPL makes this name the owner of the jobs the request creates.
    papplClientSetUsername(client, identity.name.c_str());
    const ipp_op_t operation = papplClientGetOperation(client);
    if (isOpenOperation(operation))
        return HTTP_STATUS_CONTINUE;
    // The group database is read only here, not for every job.
    const bool administrator =
        identity.administrator || (identity.local && isAdministratorUid(identity.uid));
    if (isSubscriptionOperation(operation))
        return administrator || ownsSubscriptions(client, identity.name) ? HTTP_STATUS_CONTINUE
                                                                          : refusal;
    if (isJobOperation(operation) && !administrator) {
        pappl_job_t* job = papplClientGetJob(client);
        const char* owner = job != nullptr ? papplJobGetUsername(job) : nullptr;
        return owner != nullptr && identity.name == owner ? HTTP_STATUS_CONTINUE : refusal;
    }
    if (!administrator)
        return refusal;
    if (operation == kFindDevices && !appAvahiRuns()) {
        papplLogClient(client, PAPPL_LOGLEVEL_ERROR,
                       "Find-Devices refused: network discovery needs avahi-daemon.");
        return HTTP_STATUS_SERVICE_UNAVAILABLE;
    }
    return HTTP_STATUS_CONTINUE;
}

// PAPPL asks here before every request that changes something or prints,
// in the client's thread and before it looks at the printer: a request let
// through that uploads a raster then waits for its printer's turn, so that
// PAPPL never finds the printer busy (its refusal path can deadlock).
http_status_t authorize(pappl_client_t* client, const char*, gid_t, void*)
{
    const bool ippRequest = appIsIppRequest(client);
    // PAPPL has read the attributes already, but working through a huge set
    // would hold a core for seconds: such a request is answered at once.
    const size_t attributes = ippRequest ? ippLength(papplClientGetRequest(client)) : 0;
    if (attributes > kMaxRequestAttributeBytes) {
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Refused a request of %lu bytes of attributes.",
                       static_cast<unsigned long>(attributes));
        papplClientRespondIPP(client, IPP_STATUS_ERROR_REQUEST_ENTITY,
                              "The request's attributes exceed %d bytes.",
                              static_cast<int>(kMaxRequestAttributeBytes));
        return HTTP_STATUS_ERROR;
    }
    if (ippRequest)
        appMapCreatePrinterRequest(client);
    const http_status_t decision = decide(client, ippRequest);
    if (decision != HTTP_STATUS_CONTINUE)
        return decision;
    // A refused form has had its answer page sent already.
    if (!ippRequest)
        return appRefuseBadDefaultsForm(client) ? HTTP_STATUS_ERROR : HTTP_STATUS_CONTINUE;
    // A refused document has its IPP answer in the response already; for
    // HTTP_STATUS_ERROR PAPPL 1.3.1 writes no HTTP status of its own, drops
    // the request and sends that answer.
    if (appRefuseUnprintableDocument(client) || appRefuseBadPrinterSettings(client))
        return HTTP_STATUS_ERROR;
    appHoldForJobOrder(client);
    return appWaitForUploadTurn(client) ? HTTP_STATUS_CONTINUE : HTTP_STATUS_SERVICE_UNAVAILABLE;
}

}  // namespace

bool appIsIppRequest(pappl_client_t* client)
{
    // PAPPL serves every POST of application/ipp as IPP, whatever its path
    // (PAPPL's own command line posts to "/").
    const char* type = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_CONTENT_TYPE);
    return papplClientGetMethod(client) == HTTP_STATE_POST && type != nullptr &&
           strncasecmp(type, "application/ipp", 15) == 0 && papplClientGetRequest(client) != nullptr;
}

bool appLpadminGid(gid_t* gid)
{
    group entry, *found = nullptr;
    std::vector<char> buffer(65536);
    if (getgrnam_r("lpadmin", &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        return false;
    *gid = found->gr_gid;
    return true;
}

void appSetAuthorization(pappl_system_t* system)
{
    papplSystemSetAuthCallback(system, "Basic", authorize, nullptr);
    papplSystemSetMaxClients(system, kMaxClients);
}

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
    if (!appIsFileDeviceUri(uri))
        return "";
    // PAPPL's own file device follows links at every job: file:// URIs are
    // made folder:// wherever a printer is made, and one that was not (a
    // request on the local socket) is refused.
    if (std::strncmp(uri, "file:", 5) == 0)
        return "a file:// device is made a folder:// device; write folder:// here";
    if (security.fileDeviceDirectory.empty())
        return "file:// devices are off: the server writes no file for its clients "
               "(an administrator may start it with -o file-device-directory=DIR)";
    std::string below, extension, reason;
    if (!appFileDevicePlace(security.fileDeviceDirectory, uri, &below, &extension, &reason))
        return reason;
    const int folder = appOpenFolderBelow(security.fileDeviceDirectory, below);
    if (folder < 0)
        return "a file:// device must name an existing folder inside " +
               security.fileDeviceDirectory +
               ", reached through no link, that no other user can change";
    close(folder);
    return "";
}

void appRemoveEmptyJobFile(const AppSecurity& security, pappl_job_t* job)
{
    pappl_printer_t* printer = papplJobGetPrinter(job);
    const char* uri = printer != nullptr ? papplPrinterGetDeviceURI(printer) : nullptr;
    if (!appIsFileDeviceUri(uri) || papplJobGetState(job) == IPP_JSTATE_COMPLETED)
        return;
    appRemoveEmptyFileDeviceJob(security.fileDeviceDirectory, uri, papplJobGetName(job));
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
