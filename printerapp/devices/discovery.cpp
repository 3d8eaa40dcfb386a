// The Add Printer page and the devices sub-command, both safe without
// avahi-daemon. The page's form takes a full device URI (usb://...,
// tcp:// or socket://HOST:9100, file:// where the server allows it); PAPPL creates
// the printer through the driver callback, which applies the device rules.
#include "printerapp/devices/discovery.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "printerapp/devices/bounded_uri.h"
#include "printerapp/system/models.h"

namespace {

struct FoundDevice {
    std::string info;
    std::string uri;
};

bool collectDevice(const char* info, const char* uri, const char*, void* data)
{
    static_cast<std::vector<FoundDevice>*>(data)->push_back({info, uri});
    return false;  // go on listing
}

std::vector<FoundDevice> usbDevices()
{
    std::vector<FoundDevice> found;
    papplDeviceList(PAPPL_DEVTYPE_USB, collectDevice, &found, nullptr, nullptr);
    return found;
}

const char* const kNoDiscovery =
    "Network printers are found by DNS-SD, which needs avahi-daemon; without it, "
    "enter a network printer's URI (tcp://HOST:9100, or socket://HOST:9100, which is the same).";

void showPage(pappl_client_t* client, const char* message, const std::string& name,
              const std::string& uri)
{
    papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0);
    papplClientHTMLHeader(client, "Add Printer", 0);
    papplClientHTMLPuts(client, "<div class=\"content\"><div class=\"row\"><div class=\"col-12\">"
                                "<h1 class=\"title\">Add Printer</h1>\n");
    if (message != nullptr) {
        papplClientHTMLPuts(client, "<div class=\"banner\">");
        papplClientHTMLEscape(client, message, 0);
        papplClientHTMLPuts(client, "</div>\n");
    }
    papplClientHTMLStartForm(client, papplClientGetURI(client), false);
    papplClientHTMLPrintf(client,
                          "<table class=\"form\"><tbody>\n"
                          "<tr><th><label for=\"printer_name\">Name:</label></th><td>"
                          "<input type=\"text\" name=\"printer_name\" value=\"");
    papplClientHTMLEscape(client, name.c_str(), 0);
    papplClientHTMLPuts(client, "\" required></td></tr>\n"
                                "<tr><th><label for=\"driver_name\">Driver:</label></th><td>"
                                "<select name=\"driver_name\">");
    int numDrivers = 0;
    const pappl_pr_driver_t* drivers = appDrivers(&numDrivers);
    for (int i = 0; i < numDrivers; i++)
        papplClientHTMLPrintf(client, "<option value=\"%s\">%s</option>", drivers[i].name,
                              drivers[i].description);
    papplClientHTMLPrintf(client,
                          "</select></td></tr>\n"
                          "<tr><th><label for=\"device_uri\">Device URI:</label></th><td>"
                          "<input type=\"text\" name=\"device_uri\" list=\"devices\" "
                          "value=\"");
    papplClientHTMLEscape(client, uri.c_str(), 0);
    papplClientHTMLPuts(client, "\" size=\"60\" required><datalist id=\"devices\">");
    const std::vector<FoundDevice> found = usbDevices();
    for (const FoundDevice& device : found)
        papplClientHTMLPrintf(client, "<option value=\"%s\">%s</option>", device.uri.c_str(),
                              device.info.c_str());
    papplClientHTMLPrintf(client,
                          "</datalist><br>%d USB printer(s) found. %s</td></tr>\n"
                          "<tr><th></th><td><input type=\"submit\" value=\"Add Printer\">"
                          "</td></tr></tbody></table></form>\n</div></div></div>\n",
                          static_cast<int>(found.size()),
                          appAvahiRuns() ? "Network printers: enter their URI "
                                           "(tcp://HOST:9100)."
                                         : kNoDiscovery);
    papplClientHTMLFooter(client);
}

bool addPrinterPage(pappl_client_t* client, void* data)
{
    if (!papplClientHTMLAuthorize(client))
        return true;  // PAPPL answered with its login page
    if (papplClientGetMethod(client) != HTTP_STATE_POST) {
        showPage(client, nullptr, "", "");
        return true;
    }
    cups_option_t* form = nullptr;
    const int numForm = papplClientGetForm(client, &form);
    if (!papplClientIsValidForm(client, numForm, form)) {
        cupsFreeOptions(numForm, form);
        showPage(client, "Invalid form data.", "", "");
        return true;
    }
    const char* name = cupsGetOption("printer_name", numForm, form);
    const char* driver = cupsGetOption("driver_name", numForm, form);
    const char* uri = cupsGetOption("device_uri", numForm, form);
    const std::string nameText = name != nullptr ? name : "";
    // A socket:// printer is driven by the bounded tcp:// device.
    const std::string uriText = appBoundedDeviceUri(uri);
    pappl_printer_t* printer = nullptr;
    const std::string refusal =
        appDeviceRefusal(*static_cast<const AppSecurity*>(data), uriText.c_str());
    const char* error = nullptr;
    if (nameText.empty() || driver == nullptr || uriText.empty())
        error = "Name, driver and device URI are needed.";
    else if (!refusal.empty())
        error = refusal.c_str();
    else if (!papplDeviceIsSupported(uriText.c_str()))
        error = "This device URI is not supported (usb://..., tcp://HOST:PORT).";
    else if ((printer = papplPrinterCreate(papplClientGetSystem(client), 0, nameText.c_str(),
                                           driver, nullptr, uriText.c_str())) == nullptr)
        error = "The printer could not be created: is the name taken?";
    cupsFreeOptions(numForm, form);
    if (error != nullptr) {
        showPage(client, error, nameText, uriText);
        return true;
    }
    char path[1024];
    papplClientRespondRedirect(client, HTTP_STATUS_FOUND,
                               papplPrinterGetPath(printer, nullptr, path, sizeof(path)));
    return true;
}

}  // namespace

bool appAvahiRuns()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "/run/avahi-daemon/socket");
    const bool runs = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return runs;
}

void appAddPrinterPage(pappl_system_t* system, const AppSecurity* security)
{
    papplSystemAddResourceCallback(system, "/addprinter", "text/html", addPrinterPage,
                                   const_cast<AppSecurity*>(security));
}

int appListLocalDevices()
{
    for (const FoundDevice& device : usbDevices())
        std::printf("%s\n    %s\n", device.uri.c_str(), device.info.c_str());
    std::fprintf(stderr, "%s\n", kNoDiscovery);
    return 0;
}
