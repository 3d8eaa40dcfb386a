// Local peers by the kernel's socket table. A TCP client on this machine
// owns a socket whose local end is the server's peer address and whose
// remote end is the server's own address; NETLINK_SOCK_DIAG finds exactly
// that socket and reports its owner. A remote client has no such socket
// here, so it is never taken for a local user.
#include "printerapp/system/peer.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace {

// An address as the socket table keys it: IPv4 addresses mapped into
// IPv6 belong to IPv4 sockets.
struct Endpoint {
    int family = AF_UNSPEC;
    unsigned char address[16] = {};
    uint16_t port = 0;  // network byte order
};

bool endpointOf(const sockaddr_storage& storage, Endpoint* endpoint)
{
    if (storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        endpoint->family = AF_INET;
        std::memcpy(endpoint->address, &in->sin_addr, 4);
        endpoint->port = in->sin_port;
        return true;
    }
    if (storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        endpoint->port = in6->sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            endpoint->family = AF_INET;
            std::memcpy(endpoint->address, in6->sin6_addr.s6_addr + 12, 4);
        } else {
            endpoint->family = AF_INET6;
            std::memcpy(endpoint->address, in6->sin6_addr.s6_addr, 16);
        }
        return true;
    }
    return false;
}

// Asks the kernel for the TCP socket whose local end is client and whose
// remote end is server.
bool socketOwner(const Endpoint& client, const Endpoint& server, uid_t* uid)
{
    const int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0)
        return false;
    timeval timeout = {1, 0};  // the kernel answers at once; never hang a client
    setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message = {};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = static_cast<uint8_t>(client.family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = client.port;
    message.request.id.idiag_dport = server.port;
    std::memcpy(message.request.id.idiag_src, client.address, sizeof(client.address));
    std::memcpy(message.request.id.idiag_dst, server.address, sizeof(server.address));
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    if (sendto(nl, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) == static_cast<ssize_t>(sizeof(message))) {
        alignas(nlmsghdr) unsigned char buffer[8192];
        const ssize_t length = recv(nl, buffer, sizeof(buffer), 0);
        const auto* reply = reinterpret_cast<const nlmsghdr*>(buffer);
        if (length > 0 && NLMSG_OK(reply, static_cast<unsigned>(length)) &&
            reply->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            reply->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
            // The answer must be the very socket asked for.
            found = socketInfo->id.idiag_sport == client.port &&
                    socketInfo->id.idiag_dport == server.port &&
                    std::memcmp(socketInfo->id.idiag_src, client.address,
                                sizeof(client.address)) == 0 &&
                    std::memcmp(socketInfo->id.idiag_dst, server.address,
                                sizeof(server.address)) == 0;
            if (found)
                *uid = socketInfo->idiag_uid;
        }
    }
    close(nl);
    return found;
}

}  // namespace

bool appLocalPeerUid(int fd, uid_t* uid)
{
    sockaddr_storage peer = {}, own = {};
    socklen_t peerLength = sizeof(peer), ownLength = sizeof(own);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0)
        return false;
    if (peer.ss_family == AF_UNIX) {
        ucred credentials = {};
        socklen_t length = sizeof(credentials);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
            return false;
        *uid = credentials.uid;
        return true;
    }
    Endpoint client, server;
    if (!endpointOf(peer, &client) || !endpointOf(own, &server) || client.family != server.family)
        return false;
    return socketOwner(client, server, uid);
}
