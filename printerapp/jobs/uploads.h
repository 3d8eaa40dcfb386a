// Document uploads reach a printer one at a time, in arrival order, and a
// client that stops sending loses its job (uploads.cpp).
#ifndef TAVEL_PRINTERAPP_JOBS_UPLOADS_H
#define TAVEL_PRINTERAPP_JOBS_UPLOADS_H

#include <pappl/pappl.h>

// From the system's authorization callback, which PAPPL calls in the
// client's thread before it looks at a Print-Job or Send-Document and
// before it reads the document: for a document PAPPL prints while it
// arrives (PWG or Apple raster), waits until the printer's earlier uploads
// have ended, first come first served. Also watches the connection for a
// client that goes silent. Returns false when the wait ended without a
// turn (the server stops, the client went away, or the printer stayed busy
// far too long): the callback then answers 503, which tells the client to
// try again. True for every other request, at once.
bool appWaitForUploadTurn(pappl_client_t* client);

// From the system's event callback: a job created in the thread that holds
// a turn becomes the turn's job, and the turn passes on when that job is
// completed, aborted or canceled.
void appNoteJobEvent(pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event);

#endif
