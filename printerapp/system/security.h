// Who may do what on the printer application's server: which device URIs a
// printer may be created on (a client never makes the server write a file
// where it chooses), who is an administrator (a local root or lpadmin user,
// or any client with the administrator password), and the web page's
// administrator password. The local socket: local_socket.h.
#pragma once

#include <pappl/pappl.h>

#include <string>

struct AppSecurity {
    // Real path of the only folder that file:// devices may write into
    // (-o file-device-directory=DIR); empty: every file:// device is refused.
    std::string fileDeviceDirectory;
    // File holding the hash of the web page's administrator password
    // (-o admin-password-file=FILE); empty or missing: nobody has one.
    std::string adminPasswordFile;
};

// Reads the server's security options; false with a message when the file
// device folder is not a real folder.
bool appSecurityFromOptions(int numOptions, cups_option_t* options, AppSecurity* security,
                            std::string* error);

// Empty when a printer may be created on uri, otherwise the reason why not.
std::string appDeviceRefusal(const AppSecurity& security, const char* uri);

// PAPPL's file device creates a job's file when the job starts; a job that
// ends without success and wrote nothing leaves no empty file behind.
// Called when the job has ended, before the printer takes its next job.
void appRemoveEmptyJobFile(const AppSecurity& security, pappl_job_t* job);

// Decides every IPP request and web page PAPPL asks about (all TCP clients,
// loopback included): printing and reading are open; a job's or a
// subscription's owner or an administrator may change or cancel it;
// everything else, every web page or form PAPPL asks about included, needs
// an administrator. Others get 401 so that clients may ask for the password.
// Find-Devices is refused while avahi-daemon does not run (PAPPL would
// abort).
void appSetAuthorization(pappl_system_t* system);

// Whether the request PAPPL serves is an IPP request (a POST of
// application/ipp) rather than a web page or form. PAPPL
// keeps a connection's last IPP request and operation while it serves a
// later web request on the same connection.
bool appIsIppRequest(pappl_client_t* client);

// The gid of group lpadmin, whose members administer the server; false
// when the group does not exist.
bool appLpadminGid(gid_t* gid);

// Gives the web page its administrator password: the hash read from the
// password file, or a random password nobody knows when there is none, so
// that the web page's settings stay closed to every client until the
// administrator sets one.
bool appSetAdminPassword(pappl_system_t* system, const AppSecurity& security, std::string* error);

// The set-admin-password sub-command: reads a password from standard input
// and stores its hash in the password file, readable by the file's folder's
// owner (the service user) alone.
int appSetAdminPasswordCommand(const char* baseName, int numOptions, cups_option_t* options);

// Default password file when -o admin-password-file= does not name one.
extern const char* const kAdminPasswordFile;
