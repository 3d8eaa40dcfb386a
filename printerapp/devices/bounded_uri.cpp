// socket:// device URIs mapped to the bounded tcp:// device, wherever a
// printer is made.
#include "printerapp/devices/bounded_uri.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const char kSocketPrefix[] = "socket://";
const char kTcpPrefix[] = "tcp://";

// The attribute in which PAPPL's Create-Printer takes the device URI.
const char kDeviceUriAttribute[] = "smi55357-device-uri";

// The state file's line for a printer's device.
const char kStateDeviceKey[] = "DeviceURI ";

bool isSocketUri(const char* uri)
{
    return uri != nullptr && strncasecmp(uri, kSocketPrefix, sizeof(kSocketPrefix) - 1) == 0;
}

}  // namespace

std::string appBoundedDeviceUri(const char* uri)
{
    if (uri == nullptr)
        return "";
    if (!isSocketUri(uri))
        return uri;
    return std::string(kTcpPrefix) + (uri + sizeof(kSocketPrefix) - 1);
}

void appMapCreatePrinterRequest(pappl_client_t* client)
{
    if (papplClientGetOperation(client) != IPP_OP_CREATE_PRINTER)
        return;
    ipp_t* request = papplClientGetRequest(client);
    ipp_attribute_t* attr =
        request != nullptr ? ippFindAttribute(request, kDeviceUriAttribute, IPP_TAG_URI) : nullptr;
    const char* uri = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
    if (!isSocketUri(uri))
        return;
    const std::string mapped = appBoundedDeviceUri(uri);
    ippSetString(request, &attr, 0, mapped.c_str());
}

void appMapDeviceArguments(int argc, char* argv[])
{
    if (argc < 2 || std::strcmp(argv[1], "add") != 0)
        return;
    // The mapped URI is shorter than the original: it fits in place.
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-v") != 0 || !isSocketUri(argv[i + 1]))
            continue;
        const std::string mapped = appBoundedDeviceUri(argv[i + 1]);
        std::memcpy(argv[i + 1], mapped.c_str(), mapped.size() + 1);
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
        if (line.compare(0, sizeof(kStateDeviceKey) - 1, kStateDeviceKey) == 0) {
            const std::string uri = line.substr(sizeof(kStateDeviceKey) - 1);
            if (isSocketUri(uri.c_str())) {
                line = kStateDeviceKey + appBoundedDeviceUri(uri.c_str());
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
