// Jobs of a printer print in the order they were accepted (job-id order).
// PAPPL 1.3.1 starts the newest pending job first, so documents it spools
// (PNG, JPEG, TSPL) are held when they arrive and released one at a time,
// oldest first, whenever the printer has no job printing or ready to print
// (job_order.cpp). Rasters, which PAPPL prints while they arrive, take
// turns in uploads.cpp and wait there while a held job is ahead of them.
#ifndef TAVEL_PRINTERAPP_JOBS_JOB_ORDER_H
#define TAVEL_PRINTERAPP_JOBS_JOB_ORDER_H

#include <pappl/pappl.h>

// From the authorization callback, before PAPPL reads the request: a
// Print-Job with a spooled document is created held; the job of a
// Send-Document with one is held before its document arrives. A job the
// client itself holds is left alone.
void appHoldForJobOrder(pappl_client_t* client);

// From the event callback: notes the job created for a request that
// appHoldForJobOrder held.
void appNoteJobOrderEvent(pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event);

// Whether job is held until the jobs accepted before it have printed.
bool appJobWaitsForOrder(pappl_job_t* job);

#endif
