// Whether the server stops (stop.cpp).
#ifndef TAVEL_PRINTERAPP_SYSTEM_STOP_H
#define TAVEL_PRINTERAPP_SYSTEM_STOP_H

#include <pappl/pappl.h>

// True once the server was asked to stop: SIGTERM or SIGINT arrived, or
// PAPPL shuts down or no longer runs. PAPPL 1.3.1 keeps a signal to itself
// until every printing job has ended; work that may take long (a client's
// upload, image decoding, a wait for the printer) ends when this is true.
// system may be null (then only the signals count).
bool appServerStopping(pappl_system_t* system);

// Bounds the server's stop: once PAPPL runs, a SIGTERM or SIGINT cancels
// at once the jobs that wait for their document, after a few seconds every
// job that still prints, and ends the process within 10 s whatever still
// holds it. Called from the system callback.
void appBoundServerStop(pappl_system_t* system);

#endif
