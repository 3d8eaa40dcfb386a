// The server's network listeners.
#pragma once

#include <pappl/pappl.h>

// Listens on address listen, or on every IPv4 and every IPv6 address when
// listen is null (PAPPL 1.3.1 adds IPv6 only when IPv4 fails). False when
// no listener could be added.
bool appAddListeners(pappl_system_t* system, const char* listen);
