// Documents reach a printer one at a time, in arrival order
// (app_job_uploads.cpp).
#ifndef TAVEL_PRINTERAPP_APP_JOB_UPLOADS_H
#define TAVEL_PRINTERAPP_APP_JOB_UPLOADS_H

#include <pappl/pappl.h>

// Whether uploads take turns: false when the PAPPL library does not export
// the function they wrap, so that concurrent rasters may again be refused
// as busy. The job flow says so in the log.
bool appDocumentTurnsWork();

// Whether the server stops: a shutdown request, SIGTERM or SIGINT. Work
// that may take long (reads of a client, image decoding) ends when it does.
bool appServerStopping(pappl_system_t* system);

#endif
