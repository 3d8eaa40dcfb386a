// The tcp:// device: raw TCP to a network printer (port 9100 by default),
// what PAPPL's socket:// does, with bounded waits. A connect gives up after
// kConnectSeconds with the reason, which the printer's state reasons and the
// waiting job's message then show; the job tries again every kRetrySeconds,
// can be canceled, and a SIGTERM ends the wait, where PAPPL's socket://
// blocks the job (and a SIGTERM) for the minute a TCP connect may take.
// Reads stay possible for the printer's status answers.
#ifndef TAVEL_PRINTERAPP_DEVICES_TCP_DEVICE_H
#define TAVEL_PRINTERAPP_DEVICES_TCP_DEVICE_H

#include <pappl/pappl.h>

#include <string>

// How long one connect attempt may take, and the pause before the next
// while a job waits for the printer.
constexpr int kConnectSeconds = 5;
constexpr int kRetrySeconds = 5;
// How long a write may wait for a printer that takes no data.
constexpr int kWriteStallSeconds = 60;
// How long a read waits for an answer.
constexpr int kReadSeconds = 2;

// The scheme's name.
extern const char* const kTcpScheme;

// Registers the tcp scheme for the devices of system's printers.
void appRegisterSocketScheme(pappl_system_t* system);

// Splits a tcp URI into host and port (9100 when it names none); false for
// a URI that is not tcp://HOST[:PORT][/...].
bool parseSocketUri(const char* uri, std::string* host, int* port);

#endif
