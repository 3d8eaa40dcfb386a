// Which documents the application prints, decided from the request before
// PAPPL creates a job. PAPPL 1.3.1 accepts a document of any format and
// aborts its job later without a reason; it also types a document by its
// first bytes whatever format the client named (a PDF sent as text/plain
// becomes application/pdf). The decision here types it the same way.
#include "printerapp/jobs/document_formats.h"

#include <cstring>

#include "printerapp/system/models.h"

namespace {

const char* const kPrintable[] = {
    "application/pdf", "image/png",  "image/jpeg", "image/pwg-raster",
    "image/urf",       "application/vnd.tavel-tspl",
};

// Enough of a document's start to recognise it: raw TSPL may begin with
// a few dozen blank lines.
constexpr size_t kHeaderBytes = 8192;

bool startsWith(const unsigned char* header, size_t size, const char* magic, size_t length)
{
    return size >= length && std::memcmp(header, magic, length) == 0;
}

const char* formatOfContent(const unsigned char* header, size_t size)
{
    if (startsWith(header, size, "%PDF", 4))
        return "application/pdf";
    if (startsWith(header, size, "%!", 2))
        return "application/postscript";
    if (startsWith(header, size, "\x89PNG\r\n\x1a\n", 8))
        return "image/png";
    if (startsWith(header, size, "\xff\xd8\xff", 3))
        return "image/jpeg";
    if (startsWith(header, size, "RaS2", 4))
        return "image/pwg-raster";
    if (startsWith(header, size, "UNIRAST", 7))
        return "image/urf";
    return appDetectFormat(header, size, nullptr);
}

bool isPrintOperation(ipp_op_t operation)
{
    return operation == IPP_OP_PRINT_JOB || operation == IPP_OP_SEND_DOCUMENT ||
           operation == IPP_OP_VALIDATE_JOB;
}

}  // namespace

const char* appEffectiveFormat(const unsigned char* header, size_t size, const char* declared)
{
    if (const char* format = formatOfContent(header, size))
        return format;
    if (declared == nullptr || std::strcmp(declared, "application/octet-stream") == 0)
        return nullptr;
    return declared;
}

bool appPrintsFormat(const char* format)
{
    if (format == nullptr)
        return false;
    for (const char* printable : kPrintable) {
        if (std::strcmp(format, printable) == 0)
            return true;
    }
    return false;
}

bool appRefuseUnprintableDocument(pappl_client_t* client)
{
    const ipp_op_t operation = papplClientGetOperation(client);
    if (!isPrintOperation(operation))
        return false;
    ipp_t* request = papplClientGetRequest(client);
    ipp_attribute_t* attr =
        request != nullptr ? ippFindAttribute(request, "document-format", IPP_TAG_ZERO) : nullptr;
    const char* declared = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
    // A request without a document (a Send-Document that only closes its
    // job) is PAPPL's to answer.
    http_t* http = papplClientGetHTTP(client);
    if (operation != IPP_OP_VALIDATE_JOB && httpGetState(http) != HTTP_STATE_POST_RECV)
        return false;
    unsigned char header[kHeaderBytes];
    ssize_t size = 0;
    if (operation != IPP_OP_VALIDATE_JOB) {
        // The document's first bytes stay in the connection for PAPPL.
        size = httpPeek(http, reinterpret_cast<char*>(header),
                        sizeof(header));
        if (size < 0)
            size = 0;
    }
    const char* format = appEffectiveFormat(header, static_cast<size_t>(size), declared);
    if (operation == IPP_OP_VALIDATE_JOB && format == nullptr)
        return false;  // no document to look at, no format named
    if (appPrintsFormat(format))
        return false;
    if (format != nullptr && std::strcmp(format, "application/postscript") == 0)
        papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                              "PostScript is not printed here: convert it to PDF (ps2pdf) or "
                              "print it through a CUPS queue, which converts it.");
    else
        papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                              "Documents of type %s are not printed here: send PDF, PNG, JPEG, "
                              "PWG or Apple raster or TSPL, or print through a CUPS queue, "
                              "which converts other formats.",
                              format != nullptr ? format : "unknown");
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused a document of type %s.",
                   format != nullptr ? format : "unknown");
    return true;
}
