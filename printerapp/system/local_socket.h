// The local socket of PAPPL's main loop, whose every client PAPPL serves as
// an administrator: it lives in a folder that only those who administer
// the server can enter, so that it is closed from its first instant, and a
// client talks to no socket another user planted (local_socket.cpp).
#pragma once

#include <string>

// Chooses the socket's folder and makes PAPPL use it, before its main loop
// starts (server and client alike): /run/tavel-printer-app for root
// (root and group lpadmin may enter), else the user's $XDG_RUNTIME_DIR or
// /tmp/tavel-printer-app-UID, the user's alone. False with the reason when
// the folder, or a socket already in it, belongs to someone else or is
// open to others.
bool appPrepareLocalSocket(const char* argv0, std::string* error);

// The socket appPrepareLocalSocket chose: where this process's server
// listens, or where a sub-command finds the running server.
const std::string& appLocalSocketPath();
