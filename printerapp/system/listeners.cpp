// The server's network listeners: both address families when the command
// line names no address.
#include "printerapp/system/listeners.h"

bool appAddListeners(pappl_system_t* system, const char* listen)
{
    if (listen != nullptr)
        return papplSystemAddListeners(system, listen);
    // A machine without IPv6 (or without IPv4) still serves the other.
    const bool ipv4 = papplSystemAddListeners(system, "0.0.0.0");
    const bool ipv6 = papplSystemAddListeners(system, "::");
    if (ipv4 != ipv6)
        papplLog(system, PAPPL_LOGLEVEL_WARN, "No %s listener: this machine serves %s only.",
                 ipv4 ? "IPv6" : "IPv4", ipv4 ? "IPv4" : "IPv6");
    return ipv4 || ipv6;
}
