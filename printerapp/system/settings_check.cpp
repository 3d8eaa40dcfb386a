// Holds each printer attribute of a Set-Printer-Attributes request against
// the printer: the darkness and speed PAPPL keeps for every printer, and
// every Tavel setting ("NAME-default") against its "NAME-supported" (a
// range, a list of keywords or a boolean). One value of the right type is
// what each takes; attributes the printer does not list are left to PAPPL.
#include "printerapp/system/settings_check.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

bool oneInteger(ipp_attribute_t* attr, int low, int high)
{
    if (ippGetValueTag(attr) != IPP_TAG_INTEGER || ippGetCount(attr) != 1)
        return false;
    const int value = ippGetInteger(attr, 0);
    return value >= low && value <= high;
}

// A Tavel setting's value against its -supported attribute.
bool vendorValueSupported(ipp_attribute_t* attr, ipp_attribute_t* supported)
{
    if (ippGetCount(attr) != 1)
        return false;
    switch (ippGetValueTag(supported)) {
    case IPP_TAG_RANGE: {
        int high = 0;
        const int low = ippGetRange(supported, 0, &high);
        return oneInteger(attr, low, high);
    }
    case IPP_TAG_KEYWORD: {
        if (ippGetValueTag(attr) != IPP_TAG_KEYWORD)
            return false;
        const char* value = ippGetString(attr, 0, nullptr);
        for (int i = 0; i < ippGetCount(supported); ++i)
            if (std::strcmp(value, ippGetString(supported, i, nullptr)) == 0)
                return true;
        return false;
    }
    case IPP_TAG_BOOLEAN:
        return ippGetValueTag(attr) == IPP_TAG_BOOLEAN;
    default:
        return true;
    }
}

// Whether the printer takes attr; true for attributes not checked here.
bool valueSupported(ipp_attribute_t* attr, const pappl_pr_driver_data_t& data, ipp_t* driverAttrs)
{
    const char* name = ippGetName(attr);
    if (std::strcmp(name, "print-darkness-default") == 0)
        return oneInteger(attr, -100, 100);
    if (std::strcmp(name, "printer-darkness-configured") == 0)
        return oneInteger(attr, 0, 100);
    if (std::strcmp(name, "print-speed-default") == 0)
        // 0 leaves the printer its own speed.
        return oneInteger(attr, 0, 0) ||
               oneInteger(attr, data.speed_supported[0], data.speed_supported[1]);
    const std::string text = name;
    const std::string suffix = "-default";
    if (text.size() <= suffix.size() ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return true;
    const std::string base = text.substr(0, text.size() - suffix.size());
    for (int i = 0; i < data.num_vendor; ++i) {
        if (base != data.vendor[i])
            continue;
        ipp_attribute_t* supported =
            ippFindAttribute(driverAttrs, (base + "-supported").c_str(), IPP_TAG_ZERO);
        return supported == nullptr || vendorValueSupported(attr, supported);
    }
    return true;
}

}  // namespace

bool appRefuseBadPrinterSettings(pappl_client_t* client)
{
    if (papplClientGetOperation(client) != IPP_OP_SET_PRINTER_ATTRIBUTES)
        return false;
    pappl_printer_t* printer = papplClientGetPrinter(client);
    ipp_t* request = papplClientGetRequest(client);
    pappl_pr_driver_data_t data;
    if (printer == nullptr || request == nullptr ||
        papplPrinterGetDriverData(printer, &data) == nullptr)
        return false;
    std::unique_ptr<ipp_t, decltype(&ippDelete)> driverAttrs(
        papplPrinterGetDriverAttributes(printer), ippDelete);
    bool refused = false;
    for (ipp_attribute_t* attr = ippFirstAttribute(request); attr != nullptr;
         attr = ippNextAttribute(request)) {
        if (ippGetGroupTag(attr) != IPP_TAG_PRINTER || ippGetName(attr) == nullptr ||
            valueSupported(attr, data, driverAttrs.get()))
            continue;
        // Sets the status too, and names the value in unsupported-attributes.
        papplClientRespondIPPUnsupported(client, attr);
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Printer setting refused: %s.",
                       ippGetName(attr));
        refused = true;
    }
    return refused;
}
