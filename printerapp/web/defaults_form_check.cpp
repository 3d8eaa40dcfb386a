// Holds the values of a posted "Printing Defaults" form against what the
// printer supports: the darkness (PAPPL's form posts 0 to 100 %), the speed
// (inches per second, 0 for the printer's own) and every Tavel setting
// whose "-supported" attribute is a range or a list of keywords. The form
// is peeked at in the connection's buffer, so that PAPPL still reads it
// whole when it is let through.
#include "printerapp/web/defaults_form_check.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Far above the form's size (about 1 KiB); a larger one is no form of ours.
constexpr off_t kMaxFormBytes = 64 * 1024;

// PAPPL's form gives speeds in inches per second; IPP in hundredths of mm/s.
constexpr int kSpeedPerInch = 2540;

struct FindByPath {
    const char* uri;
    pappl_printer_t* printer = nullptr;
};

void matchPrinterPath(pappl_printer_t* printer, void* data)
{
    FindByPath* find = static_cast<FindByPath*>(data);
    char path[256];
    papplPrinterGetPath(printer, "printing", path, sizeof(path));
    if (find->printer == nullptr && std::strcmp(path, find->uri) == 0)
        find->printer = printer;
}

// The printer whose Printing Defaults form this request posts, or null.
pappl_printer_t* postedDefaultsPrinter(pappl_client_t* client)
{
    if (papplClientGetMethod(client) != HTTP_STATE_POST)
        return nullptr;
    const char* type = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_CONTENT_TYPE);
    const char* uri = papplClientGetURI(client);
    if (type == nullptr || uri == nullptr ||
        std::strncmp(type, "application/x-www-form-urlencoded", 33) != 0)
        return nullptr;
    FindByPath find = {uri};
    papplSystemIteratePrinters(papplClientGetSystem(client), matchPrinterPath, &find);
    return find.printer;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One name or value of an url-encoded form ("+" is a space, %XX a byte).
std::string formDecode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields parseForm(const std::string& body)
{
    Fields fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        if (!pair.empty()) {
            const size_t equals = pair.find('=');
            fields.emplace_back(formDecode(pair.substr(0, equals)),
                                equals == std::string::npos ? std::string()
                                                            : formDecode(pair.substr(equals + 1)));
        }
        start = end + 1;
    }
    return fields;
}

// A whole number and nothing else.
bool wholeNumber(const std::string& text, long* value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    *value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0' && *value >= INT_MIN &&
           *value <= INT_MAX;
}

// What the page calls the field (PAPPL's strings, ours for the Tavel
// settings), without the range some labels end with.
std::string labelOf(pappl_client_t* client, const std::string& name)
{
    const char* text = papplClientGetLocString(client, name.c_str());
    std::string label = text != nullptr && *text != '\0' ? text : name;
    const size_t open = label.rfind(" (");
    if (open != std::string::npos && label.back() == ')')
        label.erase(open);
    return label;
}

std::string rangeProblem(const std::string& label, const std::string& value, long low,
                         long high)
{
    long number;
    if (!wholeNumber(value, &number))
        return label + ": \"" + value + "\" is not a whole number.";
    if (number < low || number > high)
        return label + ": " + value + " is outside " + std::to_string(low) + " to " +
               std::to_string(high) + ".";
    return "";
}

// The problem with one Tavel setting's value, from its -supported
// attribute; booleans (check boxes) and settings the printer does not list
// are left to PAPPL.
std::string vendorProblem(ipp_t* attrs, const std::string& label, const std::string& name,
                          const std::string& value)
{
    const std::string supportedName = name + "-supported";
    ipp_attribute_t* supported = ippFindAttribute(attrs, supportedName.c_str(), IPP_TAG_ZERO);
    if (supported == nullptr)
        return "";
    if (ippGetValueTag(supported) == IPP_TAG_RANGE) {
        int high = 0;
        const int low = ippGetRange(supported, 0, &high);
        return rangeProblem(label, value, low, high);
    }
    if (ippGetValueTag(supported) != IPP_TAG_KEYWORD)
        return "";
    for (int i = 0; i < ippGetCount(supported); ++i)
        if (value == ippGetString(supported, i, nullptr))
            return "";
    return label + ": \"" + value + "\" is not one of the printer's choices.";
}

// Every problem of the form, one sentence each.
std::string formProblems(pappl_client_t* client, pappl_printer_t* printer, const Fields& fields)
{
    pappl_pr_driver_data_t data;
    if (papplPrinterGetDriverData(printer, &data) == nullptr)
        return "";
    std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer),
                                                        ippDelete);
    std::string problems;
    for (const auto& field : fields) {
        const std::string& name = field.first;
        const std::string& value = field.second;
        std::string problem;
        if (name == "print-darkness") {
            problem = rangeProblem(labelOf(client, name), value, 0, 100);
        } else if (name == "print-speed") {
            long speed;
            // 0: the printer's own speed; else within what it supports.
            if (wholeNumber(value, &speed) && speed != 0 &&
                (speed * kSpeedPerInch < data.speed_supported[0] ||
                 speed * kSpeedPerInch > data.speed_supported[1]))
                problem = labelOf(client, name) + ": " + value + " is outside " +
                          std::to_string(data.speed_supported[0] / kSpeedPerInch) + " to " +
                          std::to_string(data.speed_supported[1] / kSpeedPerInch) + ".";
            else if (!wholeNumber(value, &speed))
                problem = labelOf(client, name) + ": \"" + value + "\" is not a whole number.";
        } else {
            for (int i = 0; i < data.num_vendor && attrs; ++i)
                if (name == data.vendor[i])
                    problem = vendorProblem(attrs.get(), labelOf(client, name), name, value);
        }
        if (!problem.empty())
            problems += (problems.empty() ? "" : " ") + problem;
    }
    return problems;
}

// The form's bytes as they wait in the connection, not taken from it; false
// when they are not all there (a form cut in two by the network) or of no
// known length.
bool peekForm(http_t* http, std::string* body)
{
    const off_t length = httpGetLength2(http);
    if (length <= 0 || length > kMaxFormBytes)
        return false;
    std::vector<char> buffer(static_cast<size_t>(length));
    const ssize_t got = httpPeek(http, buffer.data(), buffer.size());
    if (got != static_cast<ssize_t>(length))
        return false;
    body->assign(buffer.data(), buffer.size());
    return true;
}

// Answers a refused form with the printer's page saying why and nothing
// saved; the form is read off the connection first, so that a kept-alive
// connection goes on with the client's next request.
void refuse(pappl_client_t* client, pappl_printer_t* printer, const std::string& problems)
{
    cups_option_t* form = nullptr;
    const int numForm = papplClientGetForm(client, &form);
    cupsFreeOptions(numForm, form);
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Printing defaults not saved: %s",
                   problems.c_str());
    papplClientHTMLPrinterHeader(client, printer, "Printing Defaults", 0, nullptr, nullptr);
    papplClientHTMLPuts(client, "<div class=\"banner\">Not saved: ");
    papplClientHTMLEscape(client, problems.c_str(), 0);
    papplClientHTMLPuts(client, "</div>\n");
    char path[256];
    papplPrinterGetPath(printer, "printing", path, sizeof(path));
    papplClientHTMLPrintf(client,
                          "<p>Nothing was changed. <a class=\"btn\" href=\"%s\">Back to the "
                          "printing defaults</a></p>\n",
                          path);
    papplClientHTMLPrinterFooter(client);
}

}  // namespace

bool appRefuseBadDefaultsForm(pappl_client_t* client)
{
    try {
        pappl_printer_t* printer = postedDefaultsPrinter(client);
        if (printer == nullptr)
            return false;
        std::string body;
        std::string problems;
        if (!peekForm(papplClientGetHTTP(client), &body))
            problems = "The form did not arrive whole; please send it again.";
        else
            problems = formProblems(client, printer, parseForm(body));
        if (problems.empty())
            return false;
        refuse(client, printer, problems);
        return true;
    } catch (...) {
        // Out of memory: PAPPL's own handling of the form goes on.
        return false;
    }
}
