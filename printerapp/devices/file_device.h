// Where a file:// device may write: a folder inside the one folder the
// server's administrator allows (-o file-device-directory=DIR) that no
// other user can change (file_device.cpp).
#pragma once

#include <pappl/pappl.h>

#include <string>

// Where a file:// or folder:// URI writes, checked without touching the disk: the
// folder's path below the allowed folder (empty for the folder itself) and
// the extension of the job files. False with the reason when the URI is
// not a file:// or folder:// URI of that folder or its extension is not letters and
// digits.
bool appFileDevicePlace(const std::string& directory, const char* uri, std::string* below,
                        std::string* extension, std::string* reason);

// Opens the folder below directory, one component at a time, following no
// link, each owned by root or the server's user and writable by its owner
// alone: a file descriptor, or -1 with errno set (EPERM: a folder other
// users can change).
int appOpenFolderBelow(const std::string& directory, const std::string& below);

// The file a job named jobName writes: its name ("job" when it has none),
// cut to 200 bytes, with '/' made '_', then '.' and the extension.
std::string appFileDeviceJobName(const char* jobName, const std::string& extension);

// Removes the file a job on uri left empty, if it is an empty regular file
// inside the allowed folder.
void appRemoveEmptyFileDeviceJob(const std::string& directory, const char* uri,
                                 const char* jobName);
