// The command line around PAPPL's main loop: the usage, the sub-commands
// the application answers itself, and the arguments it corrects before
// PAPPL 1.3.1's own sub-commands read them.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

// Prints the usage: every sub-command, the application's own included.
void appPrintUsage(void* data);

// Arguments for PAPPL's main loop: "submit -n N" becomes "-o copies=N"
// (PAPPL 1.3.1 sends num-copies, which its printers ignore), and a system
// URI given with -u and a printer given with -d become that printer's URI
// for the sub-commands that address a printer.
std::vector<std::string> appCorrectArguments(int argc, char* argv[]);

// Runs the sub-commands the application answers itself: drivers (from the
// driver table, without a server), delete and default (PAPPL 1.3.1 reads a
// printer's id from its attributes, where a printer added while the server
// runs has id 0), and status (one line per printer, its state, since when
// and why). Returns the exit status, or -1 when argv names another one.
int appRunOwnSubcommand(int argc, char* argv[], int numDrivers, const pappl_pr_driver_t* drivers);
