// Identify-Printer: the printer sounds its buzzer, so that a user finds
// which of several label printers a queue drives.
#ifndef TAVEL_PRINTERAPP_DEVICES_IDENTIFY_H
#define TAVEL_PRINTERAPP_DEVICES_IDENTIFY_H

#include <pappl/pappl.h>

// The TSPL that sounds the buzzer: level 5 of 9, 100 ms.
extern const char* const kIdentifyCommand;

// PAPPL's identify callback: sends kIdentifyCommand to the printer's device
// when the device is free (a printing job keeps it; then it logs why not).
void appIdentify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message);

#endif
