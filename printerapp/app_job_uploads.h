// Documents reach a printer one at a time, in arrival order
// (app_job_uploads.cpp).
#ifndef TAVEL_PRINTERAPP_APP_JOB_UPLOADS_H
#define TAVEL_PRINTERAPP_APP_JOB_UPLOADS_H

// Whether uploads take turns: false when the PAPPL library does not export
// the function they wrap, so that concurrent rasters may again be refused
// as busy. The job flow says so in the log.
bool appDocumentTurnsWork();

#endif
