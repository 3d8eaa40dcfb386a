// The printer's status through its device: PAPPL's status callback has an
// idle printer asked in the background and shows what stops it in
// printer-state-reasons; a job asks through its own connection before its
// first byte (and waits while the printer is stopped) and after its last
// page (and waits until every label has come out). A printer that has never
// answered is printed to as before and not asked again for a while; one
// that has answered is asked before and after every job, whatever came
// since. File devices and printers whose "query-printer-status" setting is
// false are never asked.
#ifndef TAVEL_PRINTERAPP_DEVICES_STATUS_H
#define TAVEL_PRINTERAPP_DEVICES_STATUS_H

#include <pappl/pappl.h>

#include <string>

// The printer setting (a boolean vendor attribute, true by default).
constexpr char kQueryPrinterStatusName[] = "query-printer-status";

// How long a printer that never answered is not asked again, in seconds.
constexpr int kSilentPrinterSeconds = 600;

// PAPPL's status callback (driver data status_cb): starts a query of the
// idle printer on a thread of its own and returns at once. Never opens a
// second connection: while a job holds the device, the job's own waits
// report.
bool appPrinterStatus(pappl_printer_t* printer);

// Before the first byte of a job: while the printer reports a condition
// that stops it, the job waits and says why. False when the job was
// canceled or the server stops meanwhile: nothing has been sent.
bool appWaitBeforeJob(pappl_job_t* job, pappl_device_t* device);

// After the last byte of a job went to device: waits until the printer has
// printed everything, reporting conditions the same way. False when the job
// was canceled meanwhile; true when the server stops (the labels are in the
// printer and come out by themselves).
bool appWaitAfterJob(pappl_job_t* job, pappl_device_t* device);

// What a user reads about the status queries of printer: off, a file,
// the last answer and when, or that it does not report its status.
std::string appStatusSummary(pappl_printer_t* printer);

// Adds the printer's "Printer Status" web page (printer creation callback;
// status_page.cpp).
void appAddStatusPage(pappl_printer_t* printer);

#endif
