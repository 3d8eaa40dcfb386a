// Raw TCP printer connections with bounded connect, write and read waits,
// and the connection errors reported on the printer and its waiting job.
#include "printerapp/devices/tcp_device.h"

#include "printerapp/system/stop.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// The one system of the process, for finding the printer of a device URI
// (PAPPL's device callbacks get the URI, not the printer).
std::atomic<pappl_system_t*> sSystem{nullptr};

struct SocketDevice {
    std::string uri;
    std::string host;
    int port = 0;
    int fd = -1;           // -1: not connected (yet)
    bool discard = false;  // the waiting job was canceled: writes go nowhere
    bool gaveUp = false;   // no job waits, or the server stops: writes fail
};

int millisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Connects a non-blocking socket to one address before deadline; on
// failure returns -1 with errno set.
int connectBefore(const addrinfo& address, std::chrono::steady_clock::time_point deadline)
{
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
    if (fd < 0)
        return -1;
    if (connect(fd, address.ai_addr, address.ai_addrlen) == 0)
        return fd;
    int error = errno;
    if (error == EINPROGRESS) {
        pollfd waiting = {fd, POLLOUT, 0};
        int ready;
        do
            ready = poll(&waiting, 1, millisecondsLeft(deadline));
        while (ready < 0 && errno == EINTR);
        socklen_t length = sizeof(error);
        if (ready == 0)
            error = ETIMEDOUT;
        else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (ready > 0 && error == 0)
            return fd;
    }
    close(fd);
    errno = error;
    return -1;
}

// What a wait for the printer finds about its job.
struct JobWatch {
    const char* failure = nullptr;  // the message to show; null once connected
    bool processing = false;        // a job is printing (waiting for the printer)
    bool canceled = false;          // and it was canceled
};

void checkCanceled(pappl_job_t* job, void* data)
{
    JobWatch* watch = static_cast<JobWatch*>(data);
    if (papplJobGetState(job) == IPP_JSTATE_PROCESSING && papplJobIsCanceled(job)) {
        watch->canceled = true;
        papplJobSetMessage(job, "Canceled while waiting for the printer.");
    }
}

void watchJob(pappl_job_t* job, void* data)
{
    if (papplJobGetState(job) != IPP_JSTATE_PROCESSING)
        return;
    JobWatch* watch = static_cast<JobWatch*>(data);
    watch->processing = true;
    watch->canceled = watch->canceled || papplJobIsCanceled(job);
    if (watch->failure != nullptr) {
        papplJobSetMessage(job, "Waiting for the printer: %s", watch->failure);
        papplJobSetReasons(job, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
    } else {
        papplJobSetMessage(job, "Printing.");
        papplJobSetReasons(job, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
    }
}

pappl_printer_t* printerOf(const char* uri)
{
    pappl_system_t* system = sSystem.load();
    return system != nullptr ? papplSystemFindPrinter(system, nullptr, 0, uri) : nullptr;
}

// Shows on the printer of uri, and its printing job, whether the printer
// can be reached (failure null when it can); returns what it found about
// the job.
JobWatch reportConnection(const char* uri, const char* failure)
{
    JobWatch watch;
    watch.failure = failure;
    pappl_printer_t* printer = printerOf(uri);
    if (printer == nullptr)
        return watch;
    const bool offline = (papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE) != 0;
    if (failure != nullptr && !offline)
        papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    else if (failure == nullptr && offline)
        papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
    if (failure != nullptr || offline)
        papplPrinterIterateActiveJobs(printer, watchJob, &watch, 1, 0);
    return watch;
}

// Whether the server stops: a wait for the printer ends with it.
bool serverStopping() { return appServerStopping(sSystem.load()); }

// One connect attempt within kConnectSeconds: the socket, or -1 with the
// reason in failure.
int connectOnce(const std::string& host, int port, char* failure, size_t failureSize)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const std::string service = std::to_string(port);
    const int lookup = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
    if (lookup != 0) {
        std::snprintf(failure, failureSize, "Unable to find %s: %s", host.c_str(),
                      gai_strerror(lookup));
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kConnectSeconds);
    int fd = -1;
    int error = ETIMEDOUT;
    for (addrinfo* address = addresses; address != nullptr && fd < 0; address = address->ai_next) {
        fd = connectBefore(*address, deadline);
        if (fd < 0)
            error = errno;
    }
    freeaddrinfo(addresses);
    if (fd < 0)
        std::snprintf(failure, failureSize, "Unable to connect to %s:%d: %s", host.c_str(), port,
                      std::strerror(error));
    return fd;
}

// Connects the device on its first write or read, not in the open
// callback: PAPPL 1.3.1 opens the device holding its printer's lock, and the
// printer's state reasons and jobs cannot be touched from there. While a job
// waits for the printer, tries again every kRetrySeconds until it connects,
// the job is canceled (the device then swallows the job's data, so that it
// ends canceled) or the server stops (the write fails, saying so). Without a
// printing job (identify, status) one attempt is all.
bool ensureConnected(pappl_device_t* device, SocketDevice* socketDevice)
{
    if (socketDevice->fd >= 0)
        return true;
    if (socketDevice->discard || socketDevice->gaveUp)
        return false;
    char failure[512];
    bool reported = false;
    for (;;) {
        const int fd = connectOnce(socketDevice->host, socketDevice->port, failure,
                                   sizeof(failure));
        if (fd >= 0) {
            socketDevice->fd = fd;
            reportConnection(socketDevice->uri.c_str(), nullptr);
            return true;
        }
        if (!reported)
            papplDeviceError(device, "%s", failure);
        reported = true;
        JobWatch watch = reportConnection(socketDevice->uri.c_str(), failure);
        if (!watch.processing) {
            socketDevice->gaveUp = true;
            return false;
        }
        const auto retry = std::chrono::steady_clock::now() + std::chrono::seconds(kRetrySeconds);
        while (!watch.canceled && !serverStopping() && millisecondsLeft(retry) > 0) {
            usleep(200 * 1000);
            watch = JobWatch();
            if (pappl_printer_t* printer = printerOf(socketDevice->uri.c_str()))
                papplPrinterIterateActiveJobs(printer, checkCanceled, &watch, 1, 0);
        }
        if (watch.canceled) {
            socketDevice->discard = true;
            return false;
        }
        if (serverStopping()) {
            socketDevice->gaveUp = true;
            papplDeviceError(device, "The server stopped before the printer could be reached.");
            return false;
        }
    }
}

bool socketOpen(pappl_device_t* device, const char* uri, const char* name)
{
    (void)name;
    SocketDevice* socketDevice = new SocketDevice;
    if (!parseSocketUri(uri, &socketDevice->host, &socketDevice->port)) {
        delete socketDevice;
        papplDeviceError(device, "Bad printer address \"%s\".", uri);
        return false;
    }
    socketDevice->uri = uri;
    papplDeviceSetData(device, socketDevice);
    return true;
}

void socketClose(pappl_device_t* device)
{
    SocketDevice* socketDevice = static_cast<SocketDevice*>(papplDeviceGetData(device));
    if (socketDevice == nullptr)
        return;
    if (socketDevice->fd >= 0)
        close(socketDevice->fd);
    delete socketDevice;
    papplDeviceSetData(device, nullptr);
}

// Waits up to seconds for fd to be ready for events; false on timeout or
// error.
bool waitFor(int fd, short events, int seconds)
{
    pollfd waiting = {fd, events, 0};
    int ready;
    do
        ready = poll(&waiting, 1, seconds * 1000);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

ssize_t socketRead(pappl_device_t* device, void* buffer, size_t bytes)
{
    SocketDevice* socketDevice = static_cast<SocketDevice*>(papplDeviceGetData(device));
    if (socketDevice == nullptr || !ensureConnected(device, socketDevice) ||
        !waitFor(socketDevice->fd, POLLIN, kReadSeconds))
        return -1;
    ssize_t got;
    do
        got = recv(socketDevice->fd, buffer, bytes, 0);
    while (got < 0 && errno == EINTR);
    return got;
}

ssize_t socketWrite(pappl_device_t* device, const void* buffer, size_t bytes)
{
    SocketDevice* socketDevice = static_cast<SocketDevice*>(papplDeviceGetData(device));
    if (socketDevice == nullptr)
        return -1;
    if (!ensureConnected(device, socketDevice))
        return socketDevice->discard ? static_cast<ssize_t>(bytes) : -1;
    const char* data = static_cast<const char*>(buffer);
    size_t sent = 0;
    while (sent < bytes) {
        const ssize_t count = send(socketDevice->fd, data + sent, bytes - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Waited for in slices, so that a stopping server does not
            // wait for a printer that takes no data.
            int waited = 0;
            while (!waitFor(socketDevice->fd, POLLOUT, 1)) {
                if (serverStopping()) {
                    papplDeviceError(device, "The server stopped while the printer took no data.");
                    return -1;
                }
                if (++waited >= kWriteStallSeconds) {
                    papplDeviceError(device, "The printer took no data for %d s.",
                                     kWriteStallSeconds);
                    return -1;
                }
            }
        } else {
            papplDeviceError(device, "Unable to write to the printer: %s",
                             count < 0 ? std::strerror(errno) : "connection closed");
            return -1;
        }
    }
    return static_cast<ssize_t>(sent);
}

pappl_preason_t socketStatus(pappl_device_t* device)
{
    (void)device;
    return PAPPL_PREASON_NONE;
}

}  // namespace

const char* const kTcpScheme = "tcp";

bool parseSocketUri(const char* uri, std::string* host, int* port)
{
    char scheme[32], userpass[256], hostname[256], resource[256];
    int uriPort = 0;
    if (uri == nullptr ||
        httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass,
                        sizeof(userpass), hostname, sizeof(hostname), &uriPort, resource,
                        sizeof(resource)) < HTTP_URI_STATUS_OK ||
        std::strcmp(scheme, kTcpScheme) != 0 || hostname[0] == '\0')
        return false;
    *host = hostname;
    *port = uriPort > 0 ? uriPort : 9100;
    return *port <= 65535;
}

void appRegisterSocketScheme(pappl_system_t* system)
{
    sSystem.store(system);
    // PAPPL 1.3.1 adds its own schemes (file, usb, socket, ...) the first
    // time it opens or lists a device, and only when no scheme is there yet;
    // a second "socket" would never be found before its own. So the scheme
    // has its own name, added after PAPPL's: open a device first.
    if (pappl_device_t* device = papplDeviceOpen("file:///dev/null", "schemes", nullptr, nullptr))
        papplDeviceClose(device);
    papplDeviceAddScheme(kTcpScheme, PAPPL_DEVTYPE_CUSTOM_NETWORK, nullptr, socketOpen, socketClose,
                         socketRead, socketWrite, socketStatus, nullptr);
}
