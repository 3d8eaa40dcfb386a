// The guard of the web page's forms. PAPPL's form token is a hash of its
// session key and the client's address: every client on the same address
// (all local users on the loopback interface) holds an administrator's
// token, and a page from anywhere can make an administrator's browser post
// it. So a form that changes something is also refused when the browser
// says it comes from another site (Origin, Referer), and when it lacks the
// cookie this server gave that browser: a random value signed with a key
// of this process, sent back by the browser only to sites of this host
// (SameSite=Strict) and readable by no script (HttpOnly).
#include "printerapp/web/form_guard.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

const char* const kCookie = "tavel-form";

std::string hex(const unsigned char* bytes, size_t count)
{
    std::string text;
    char digits[3];
    for (size_t i = 0; i < count; i++) {
        std::snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

// The key that signs cookies: random, made once per process, so that a
// restart ends every cookie.
const std::string& signingKey()
{
    static std::once_flag once;
    static std::string key;
    std::call_once(once, [] {
        unsigned char bytes[32];
        if (getrandom(bytes, sizeof(bytes), 0) == static_cast<ssize_t>(sizeof(bytes)))
            key = hex(bytes, sizeof(bytes));
    });
    return key;
}

// The signature of a cookie's random part: SHA-256 of key, nonce and key
// again (the key on both sides, so that the digest cannot be extended).
std::string signature(const std::string& nonce)
{
    const std::string& key = signingKey();
    const std::string data = key + ":" + nonce + ":" + key;
    unsigned char digest[32];
    if (key.empty() || cupsHashData("sha2-256", data.data(), data.size(), digest,
                                    sizeof(digest)) != static_cast<ssize_t>(sizeof(digest)))
        return "";
    return hex(digest, sizeof(digest));
}

bool validCookie(const std::string& value)
{
    const size_t dot = value.find('.');
    if (dot != 32 || value.size() != 32 + 1 + 64)
        return false;
    const std::string expected = signature(value.substr(0, dot));
    if (expected.size() != 64)
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < 64; i++)
        difference |= static_cast<unsigned char>(expected[i] ^ value[dot + 1 + i]);
    return difference == 0;
}

bool hasValidCookie(pappl_client_t* client)
{
    char value[256] = "";
    return papplClientGetCookie(client, kCookie, value, sizeof(value)) != nullptr &&
           validCookie(value);
}

// The host and port part of an Origin or Referer URL ("null" has none).
std::string authorityOf(const char* url)
{
    const char* start = std::strstr(url, "://");
    if (start == nullptr)
        return "";
    start += 3;
    return std::string(start, std::strcspn(start, "/?#"));
}

// Whether header field, when the client sent it, names the server the
// request went to (its Host field).
bool namesThisServer(http_t* http, http_field_t field)
{
    const char* value = httpGetField(http, field);
    if (value == nullptr || *value == '\0')
        return true;
    const char* host = httpGetField(http, HTTP_FIELD_HOST);
    const std::string authority = authorityOf(value);
    return host != nullptr && !authority.empty() && strcasecmp(authority.c_str(), host) == 0;
}

}  // namespace

void appIssueFormCookie(pappl_client_t* client)
{
    if (hasValidCookie(client))
        return;
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes)))
        return;
    const std::string nonce = hex(bytes, sizeof(bytes));
    const std::string mac = signature(nonce);
    if (mac.empty())
        return;
    // PAPPL writes "NAME=VALUE; path=/; httponly;...": the attribute rides
    // in the value.
    const std::string value = nonce + "." + mac + "; SameSite=Strict";
    papplClientSetCookie(client, kCookie, value.c_str(), 0);
}

http_status_t appCheckFormPost(pappl_client_t* client)
{
    if (papplClientGetMethod(client) != HTTP_STATE_POST)
        return HTTP_STATUS_CONTINUE;
    http_t* http = papplClientGetHTTP(client);
    if (!namesThisServer(http, HTTP_FIELD_ORIGIN) || !namesThisServer(http, HTTP_FIELD_REFERER)) {
        papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                       "Form refused: it comes from another site (Origin '%s', Referer '%s').",
                       httpGetField(http, HTTP_FIELD_ORIGIN),
                       httpGetField(http, HTTP_FIELD_REFERER));
        return HTTP_STATUS_FORBIDDEN;
    }
    if (!hasValidCookie(client)) {
        papplLogClient(client, PAPPL_LOGLEVEL_WARN,
                       "Form refused: the browser lacks the form cookie of this server's pages.");
        return HTTP_STATUS_FORBIDDEN;
    }
    return HTTP_STATUS_CONTINUE;
}
