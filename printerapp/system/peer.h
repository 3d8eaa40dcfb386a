// Who is at the other end of a client connection when it is a process of
// this machine: the kernel knows the user of both ends of a local
// connection, so a local client is identified without any password.
#pragma once

#include <sys/types.h>

// The user id of the process at the other end of connection fd: for a
// local socket its peer credentials, for TCP the owner of the connection's
// other end in the kernel's socket table (found through NETLINK_SOCK_DIAG
// by both ends' addresses and ports). False when the peer is no socket of
// this machine's network namespace (a remote client) or cannot be found.
bool appLocalPeerUid(int fd, uid_t* uid);
