// The document formats the application prints, and the refusal at
// submission of any other: a client learns at once, with
// client-error-document-format-not-supported and a message saying how to
// print it, instead of a job that is accepted and then aborted.
#ifndef TAVEL_PRINTERAPP_JOBS_DOCUMENT_FORMATS_H
#define TAVEL_PRINTERAPP_JOBS_DOCUMENT_FORMATS_H

#include <pappl/pappl.h>

#include <cstddef>

// The format PAPPL will give a document that starts with header (size
// bytes) and was sent as declared (null when the client named none): what
// the content shows, else the declared format. Null when neither says.
const char* appEffectiveFormat(const unsigned char* header, size_t size, const char* declared);

// Whether the application prints documents of format.
bool appPrintsFormat(const char* format);

// For Print-Job, Send-Document and Validate-Job: when the document is of
// a format the application cannot print, answers the request with
// client-error-document-format-not-supported and returns true. Called by
// the system's authorization callback, before PAPPL creates a job.
bool appRefuseUnprintableDocument(pappl_client_t* client);

#endif
