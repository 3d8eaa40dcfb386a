// The local socket of PAPPL's main loop, whose every client PAPPL serves as
// an administrator: kept for those who administer the server from the
// moment it is created.
#pragma once

#include <pappl/pappl.h>

// A server run as root keeps /run/tavel-printer-app.sock for root and the
// lpadmin group, a user's server keeps its socket for the user alone
// (libcups creates it with mode 0777). Called before PAPPL binds it.
void appRestrictLocalSocket(pappl_system_t* system);
