// socket:// device URIs mapped to the bounded tcp:// device and file://
// URIs to the folder:// device, wherever a printer is made.
#include "printerapp/devices/bounded_uri.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <sstream>

namespace {

const char kSocketPrefix[] = "socket://";
const char kTcpPrefix[] = "tcp://";
const char kFilePrefix[] = "file://";
const char kFolderPrefix[] = "folder://";

// The attribute in which PAPPL's Create-Printer takes the device URI.
const char kDeviceUriAttribute[] = "smi55357-device-uri";

// A printer's line in PAPPL 1.3.1's state file, and its device URI's
// attribute: <Printer name="..." ... uri="DEVICE-URI">.
const char kStatePrinterLine[] = "<Printer ";
const char kStateDeviceAttribute[] = " uri=\"";

bool isSocketUri(const char* uri)
{
    return uri != nullptr && strncasecmp(uri, kSocketPrefix, sizeof(kSocketPrefix) - 1) == 0;
}

bool isFileUri(const char* uri)
{
    return uri != nullptr && strncasecmp(uri, kFilePrefix, sizeof(kFilePrefix) - 1) == 0;
}

// Whether uri is one that is mapped.
bool isMapped(const char* uri)
{
    return isSocketUri(uri) || isFileUri(uri);
}

}  // namespace

std::string appBoundedDeviceUri(const char* uri)
{
    if (uri == nullptr)
        return "";
    if (isSocketUri(uri))
        return std::string(kTcpPrefix) + (uri + sizeof(kSocketPrefix) - 1);
    if (isFileUri(uri))
        return std::string(kFolderPrefix) + (uri + sizeof(kFilePrefix) - 1);
    return uri;
}

void appMapCreatePrinterRequest(pappl_client_t* client)
{
    if (papplClientGetOperation(client) != IPP_OP_CREATE_PRINTER)
        return;
    ipp_t* request = papplClientGetRequest(client);
    ipp_attribute_t* attr =
        request != nullptr ? ippFindAttribute(request, kDeviceUriAttribute, IPP_TAG_URI) : nullptr;
    const char* uri = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
    if (!isMapped(uri))
        return;
    const std::string mapped = appBoundedDeviceUri(uri);
    ippSetString(request, &attr, 0, mapped.c_str());
}

void appMapDeviceArguments(int argc, char* argv[])
{
    if (argc < 2 || std::strcmp(argv[1], "add") != 0)
        return;
    // The mapped URIs live as long as the program.
    static std::list<std::string> mappedArguments;
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-v") != 0 || !isMapped(argv[i + 1]))
            continue;
        mappedArguments.push_back(appBoundedDeviceUri(argv[i + 1]));
        argv[i + 1] = &mappedArguments.back()[0];
    }
}

void appMapStateFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return;
    std::ostringstream out;
    std::string line;
    bool changed = false;
    while (std::getline(in, line)) {
        const size_t attribute = line.find(kStateDeviceAttribute);
        if (line.compare(0, sizeof(kStatePrinterLine) - 1, kStatePrinterLine) == 0 &&
            attribute != std::string::npos) {
            const size_t start = attribute + sizeof(kStateDeviceAttribute) - 1;
            const size_t end = line.find('"', start);
            const std::string uri = line.substr(start, end - start);
            if (end != std::string::npos && isMapped(uri.c_str())) {
                line.replace(start, end - start, appBoundedDeviceUri(uri.c_str()));
                changed = true;
            }
        }
        out << line << '\n';
    }
    in.close();
    if (!changed)
        return;
    // Readable by the server's user alone, as the state saver writes it.
    const std::string temporary = path + ".mapping";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const std::string text = out.str();
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0)
        std::remove(temporary.c_str());
}
