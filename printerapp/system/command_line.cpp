// The command line around PAPPL's main loop: the usage, the sub-commands
// the application answers itself, and corrected arguments for PAPPL 1.3.1's
// own sub-commands.
#include "printerapp/system/command_line.h"
#include "printerapp/system/local_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char* const kName = "tavel-printer-app";

const char* const kSubcommands[] = {
    "add", "cancel", "default", "delete", "devices", "drivers", "jobs", "modify", "options",
    "pause", "printers", "resume", "server", "set-admin-password", "shutdown", "status",
    "submit"};

// The sub-commands of PAPPL's that address one printer.
const char* const kPrinterSubcommands[] = {"submit", "cancel", "jobs",  "modify",
                                           "options", "pause", "resume"};

bool isOneOf(const std::string& word, const char* const* list, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (word == list[i])
            return true;
    }
    return false;
}

template <size_t N>
bool isOneOf(const std::string& word, const char* const (&list)[N])
{
    return isOneOf(word, list, N);
}

// The sub-command, -u, -d and -n of a command line, and where their values
// are in argv (index 0: not given).
struct Arguments {
    std::string subcommand;
    std::string uri, printer, copies;
    int uriIndex = 0, copiesIndex = 0;
};

// PAPPL runs submit when the first argument names no sub-command.
Arguments parseArguments(int argc, char* argv[])
{
    Arguments arguments;
    int first = 1;
    if (argc > 1 && isOneOf(argv[1], kSubcommands)) {
        arguments.subcommand = argv[1];
        first = 2;
    } else {
        arguments.subcommand = "submit";
    }
    for (int i = first; i < argc; ++i) {
        const char* word = argv[i];
        if (word[0] != '-' || word[1] == '\0' || word[1] == '-' || std::strchr("udn", word[1]) == nullptr)
            continue;
        // "-dNAME" or "-d NAME".
        int index = i;
        std::string value;
        if (word[2] != '\0') {
            value = word + 2;
        } else if (i + 1 < argc) {
            index = ++i;
            value = argv[i];
        }
        if (word[1] == 'u') {
            arguments.uri = value;
            arguments.uriIndex = index;
        } else if (word[1] == 'd') {
            arguments.printer = value;
        } else {
            arguments.copies = value;
            arguments.copiesIndex = index;
        }
    }
    return arguments;
}

struct ServerUri {
    std::string scheme = "ipp", host = "localhost", resource;
    int port = 0;
};

bool separateUri(const std::string& uri, ServerUri* parts)
{
    char scheme[32], user[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof(scheme), user,
                        sizeof(user), host, sizeof(host), &port, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK ||
        (std::strcmp(scheme, "ipp") != 0 && std::strcmp(scheme, "ipps") != 0))
        return false;
    parts->scheme = scheme;
    parts->host = host;
    parts->port = port;
    parts->resource = resource;
    return true;
}

std::string assembleUri(const ServerUri& server, const std::string& resource)
{
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof(uri), server.scheme.c_str(), nullptr,
                    server.host.c_str(), server.port, resource.c_str());
    return uri;
}

bool isSystemResource(const std::string& resource)
{
    return resource.empty() || resource == "/" || resource == "/ipp/system";
}

// The printer a command line names: -d, or the printer URI given with -u.
std::string printerName(const Arguments& arguments, const ServerUri& server)
{
    if (!arguments.printer.empty())
        return arguments.printer;
    const std::string prefix = "/ipp/print/";
    if (server.resource.compare(0, prefix.size(), prefix) == 0)
        return server.resource.substr(prefix.size());
    return "";
}

// Connects to the server of -u, or to the local socket; never starts one.
http_t* connectServer(const Arguments& arguments, ServerUri* server)
{
    http_t* http = nullptr;
    if (!arguments.uri.empty()) {
        if (!separateUri(arguments.uri, server)) {
            std::fprintf(stderr, "%s: '%s' is not an ipp: or ipps: URI.\n", kName,
                         arguments.uri.c_str());
            return nullptr;
        }
        http = httpConnect2(server->host.c_str(), server->port, nullptr, AF_UNSPEC,
                            server->scheme == "ipps" ? HTTP_ENCRYPTION_ALWAYS
                                                     : HTTP_ENCRYPTION_IF_REQUESTED,
                            1, 30000, nullptr);
        if (http == nullptr)
            std::fprintf(stderr, "%s: cannot connect to %s: %s\n", kName,
                         arguments.uri.c_str(), cupsLastErrorString());
        return http;
    }
    const std::string& socket = appLocalSocketPath();
    http = httpConnect2(socket.c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 30000,
                        nullptr);
    if (http == nullptr)
        std::fprintf(stderr,
                     "%s: no server runs on %s; start one with '%s server' or name one with "
                     "-u.\n",
                     kName, socket.c_str(), kName);
    return http;
}

ipp_t* newRequest(ipp_op_t operation, const char* uriName, const std::string& uri)
{
    ipp_t* request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, uriName, nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return request;
}

// Sends request; prints why and returns null when the server refused it.
ipp_t* send(http_t* http, ipp_t* request, const char* what)
{
    ipp_t* response = cupsDoRequest(http, request, "/");
    if (response == nullptr || ippGetStatusCode(response) > IPP_STATUS_OK_EVENTS_COMPLETE) {
        std::fprintf(stderr, "%s: %s: %s\n", kName, what, cupsLastErrorString());
        ippDelete(response);
        return nullptr;
    }
    return response;
}

std::string stringOf(ipp_t* ipp, const char* name)
{
    ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
    const char* value = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
    return value != nullptr ? value : "";
}

// "idle", "processing" or "stopped", and the reasons other than none.
std::string stateText(ipp_t* attrs)
{
    ipp_attribute_t* state = ippFindAttribute(attrs, "printer-state", IPP_TAG_ENUM);
    std::string text = state != nullptr ? ippEnumString("printer-state", ippGetInteger(state, 0))
                                        : "unknown";
    std::string reasons;
    ipp_attribute_t* reasonsAttr = ippFindAttribute(attrs, "printer-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; i < ippGetCount(reasonsAttr); ++i) {
        const char* reason = ippGetString(reasonsAttr, i, nullptr);
        if (reason != nullptr && std::strcmp(reason, "none") != 0)
            reasons += (reasons.empty() ? "" : ", ") + std::string(reason);
    }
    return reasons.empty() ? text : text + " (" + reasons + ")";
}

// The id of printer name, from the system's list of printers (PAPPL 1.3.1
// gives a printer added while the server runs printer-id 0 in its own
// attributes); 0 when there is no such printer.
int findPrinterId(http_t* http, const std::string& systemUri, const std::string& name)
{
    ipp_t* request = newRequest(IPP_OP_GET_SYSTEM_ATTRIBUTES, "system-uri", systemUri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "system-configured-printers");
    ipp_t* response = send(http, request, "cannot list the printers");
    if (response == nullptr)
        return -1;
    int id = 0;
    ipp_attribute_t* printers =
        ippFindAttribute(response, "system-configured-printers", IPP_TAG_BEGIN_COLLECTION);
    for (int i = 0; i < ippGetCount(printers) && id == 0; ++i) {
        ipp_t* printer = ippGetCollection(printers, i);
        ipp_attribute_t* printerId = ippFindAttribute(printer, "printer-id", IPP_TAG_INTEGER);
        if (stringOf(printer, "printer-name") == name && printerId != nullptr)
            id = ippGetInteger(printerId, 0);
    }
    ippDelete(response);
    if (id == 0)
        std::fprintf(stderr, "%s: no printer named '%s'.\n", kName, name.c_str());
    return id;
}

int deleteOrDefault(http_t* http, const ServerUri& server, const std::string& name, bool remove)
{
    if (name.empty()) {
        std::fprintf(stderr, "%s: name the printer with -d.\n", kName);
        return 1;
    }
    const std::string systemUri = assembleUri(server, "/ipp/system");
    const int id = findPrinterId(http, systemUri, name);
    if (id <= 0)
        return 1;
    ipp_t* request;
    if (remove) {
        request = newRequest(IPP_OP_DELETE_PRINTER, "system-uri", systemUri);
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", id);
    } else {
        request = newRequest(IPP_OP_SET_SYSTEM_ATTRIBUTES, "system-uri", systemUri);
        ippAddInteger(request, IPP_TAG_SYSTEM, IPP_TAG_INTEGER, "system-default-printer-id", id);
    }
    const std::string what = (remove ? "cannot delete '" : "cannot make '") + name +
                             (remove ? "'" : "' the default printer");
    ipp_t* response = send(http, request, what.c_str());
    ippDelete(response);
    return response != nullptr ? 0 : 1;
}

// One line per printer: "NAME: STATE since DATE (REASONS)." for one
// printer, without the date for all of them.
int status(http_t* http, const ServerUri& server, const std::string& name)
{
    if (!name.empty()) {
        ipp_t* request =
            newRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri",
                       assembleUri(server, "/ipp/print/" + name));
        const char* const wanted[] = {"printer-state", "printer-state-reasons",
                                      "printer-state-change-date-time"};
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3,
                      nullptr, wanted);
        const std::string what = "cannot read the state of '" + name + "'";
        ipp_t* response = send(http, request, what.c_str());
        if (response == nullptr)
            return 1;
        std::string line = name + ": " + stateText(response);
        ipp_attribute_t* since =
            ippFindAttribute(response, "printer-state-change-date-time", IPP_TAG_DATE);
        if (since != nullptr) {
            const size_t paren = line.find(" (");
            const std::string date =
                std::string(" since ") + httpGetDateString(ippDateToTime(ippGetDate(since, 0)));
            line.insert(paren == std::string::npos ? line.size() : paren, date);
        }
        std::printf("%s.\n", line.c_str());
        ippDelete(response);
        return 0;
    }
    ipp_t* request =
        newRequest(IPP_OP_GET_SYSTEM_ATTRIBUTES, "system-uri", assembleUri(server, "/ipp/system"));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "system-configured-printers");
    ipp_t* response = send(http, request, "cannot read the server's state");
    if (response == nullptr)
        return 1;
    ipp_attribute_t* printers =
        ippFindAttribute(response, "system-configured-printers", IPP_TAG_BEGIN_COLLECTION);
    const int count = ippGetCount(printers);
    std::printf("Running, %d printer%s%s\n", count, count == 1 ? "" : "s", count ? ":" : ".");
    for (int i = 0; i < count; ++i) {
        ipp_t* printer = ippGetCollection(printers, i);
        std::printf("%s: %s.\n", stringOf(printer, "printer-name").c_str(),
                    stateText(printer).c_str());
    }
    ippDelete(response);
    return 0;
}

}  // namespace

void appPrintUsage(void*)
{
    std::printf(
        "Usage: %s SUB-COMMAND [OPTIONS] [FILENAME]\n"
        "       %s [OPTIONS] [FILENAME]      (submit)\n"
        "\n"
        "Sub-commands:\n"
        "  add PRINTER          Add a printer (-m DRIVER -v DEVICE-URI).\n"
        "  cancel               Cancel a job (-j JOB-ID) or all jobs (-a).\n"
        "  default              Make printer -d PRINTER the default.\n"
        "  delete               Delete printer -d PRINTER.\n"
        "  devices              List the printers that can be added.\n"
        "  drivers              List the drivers (needs no server).\n"
        "  jobs                 List jobs.\n"
        "  modify               Change a printer (-o, -v).\n"
        "  options              List a printer's job options.\n"
        "  pause                Stop a printer.\n"
        "  printers             List printers.\n"
        "  resume               Start a stopped printer.\n"
        "  server               Run the server (-o server options).\n"
        "  set-admin-password   Store the web page's administrator password, read from\n"
        "                       standard input.\n"
        "  shutdown             Stop a running server.\n"
        "  status               Show the state of the printers, or of -d PRINTER.\n"
        "  submit               Print files.\n"
        "\n"
        "Options:\n"
        "  -a                   All jobs (cancel).\n"
        "  -d PRINTER           The printer.\n"
        "  -j JOB-ID            The job (cancel).\n"
        "  -m DRIVER            The driver (add, modify; see drivers).\n"
        "  -n COPIES            Number of copies (submit).\n"
        "  -o NAME=VALUE        A job, printer or server option (add, modify, server, submit).\n"
        "  -u URI               The server (ipp://HOST:PORT/ipp/system) or a printer\n"
        "                       (ipp://HOST:PORT/ipp/print/NAME); without it, the server on\n"
        "                       the local socket.\n"
        "  -v DEVICE-URI        The device: usb://..., tcp://HOST:9100, socket://HOST:9100\n"
        "                       or file:// (add, modify).\n"
        "  --help               This text.\n"
        "  --version            The version.\n",
        kName, kName);
}

std::vector<std::string> appCorrectArguments(int argc, char* argv[])
{
    std::vector<std::string> corrected(argv, argv + argc);
    const Arguments arguments = parseArguments(argc, argv);
    if (arguments.subcommand == "submit" && arguments.copiesIndex != 0) {
        const int index = arguments.copiesIndex;
        if (argv[index][0] == '-') {  // -nN
            corrected[index] = "-ocopies=" + arguments.copies;
        } else {
            corrected[index - 1] = "-o";
            corrected[index] = "copies=" + arguments.copies;
        }
    }
    ServerUri server;
    if (isOneOf(arguments.subcommand, kPrinterSubcommands) && arguments.uriIndex != 0 &&
        !arguments.printer.empty() && separateUri(arguments.uri, &server) &&
        isSystemResource(server.resource)) {
        const std::string printerUri = assembleUri(server, "/ipp/print/" + arguments.printer);
        const bool attached = argv[arguments.uriIndex][0] == '-';
        corrected[arguments.uriIndex] = attached ? "-u" + printerUri : printerUri;
    }
    return corrected;
}

int appRunOwnSubcommand(int argc, char* argv[], int numDrivers, const pappl_pr_driver_t* drivers)
{
    if (argc < 2)
        return -1;
    const std::string subcommand = argv[1];
    if (subcommand == "drivers") {
        for (int i = 0; i < numDrivers; ++i)
            std::printf("%s \"%s\" \"%s\"\n", drivers[i].name, drivers[i].description,
                        drivers[i].device_id != nullptr ? drivers[i].device_id : "");
        return 0;
    }
    if (subcommand != "delete" && subcommand != "default" && subcommand != "status")
        return -1;
    const Arguments arguments = parseArguments(argc, argv);
    ServerUri server;
    http_t* http = connectServer(arguments, &server);
    if (http == nullptr)
        return 1;
    const std::string name = printerName(arguments, server);
    const int result = subcommand == "status" ? status(http, server, name)
                                              : deleteOrDefault(http, server, name,
                                                                subcommand == "delete");
    httpClose(http);
    return result;
}
