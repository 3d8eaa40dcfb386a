// The folder:// device: each job written into a file of a folder inside the
// one folder the server's administrator allows (-o file-device-directory=
// DIR), opened afresh and safely at every job (folder_device.cpp). Users
// type file:///DIR/...?ext=tspl; the URI is made folder:///DIR/...?ext=tspl
// wherever a printer is made (bounded_uri.h), because PAPPL 1.3.1's own
// file device, which finds the file scheme before any other, follows links
// and blocks on FIFOs at every job.
#pragma once

#include <pappl/pappl.h>

#include <string>

// The scheme's name.
extern const char* const kFolderScheme;

// Whether uri is a device that writes files (folder://, or file:// before
// it is mapped): such a printer is never asked for its status.
bool appIsFileDeviceUri(const char* uri);

// False, with the reason as the job's message, when device is a folder://
// device that refused to write the job's file; true for every other
// device. Called when a job starts, before anything is written.
bool appFolderDeviceReady(pappl_job_t* job, pappl_device_t* device);

// Registers the folder scheme, writing below directory (a real path; empty:
// every job on such a device fails). After appRegisterSocketScheme, which
// makes PAPPL add its own schemes first.
void appRegisterFolderScheme(const std::string& directory);
