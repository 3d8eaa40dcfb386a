// The server's state file (printers, their settings), written so that a
// server killed at any moment restarts with all its printers.
#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <string>

// Writes the state to a temporary file beside path, flushes it to disk and
// renames it over path: readers see either the old state or the new one,
// never a part of one.
bool appSaveStateFile(pappl_system_t* system, const std::string& path);

// Saves the state within a second of every change of printers or settings:
// PAPPL 1.3.1 saves only when it shuts down, so a server killed before
// lost every printer created since it started. The save runs on the main
// loop's timer, never inside the thread that made the change (which may
// hold the printer's lock): the system's event callback only notes it.
struct AppStateSaver {
    std::string path;
    std::atomic<bool> changed{false};
};
void appSaveStateOnChange(pappl_system_t* system, AppStateSaver* saver);
void appNoteStateEvent(AppStateSaver* saver, pappl_event_t event);
