// Forms of the web page that change something, kept safe from requests
// that another site makes a browser send, and from clients that merely
// know a form's token (form_guard.cpp).
#pragma once

#include <pappl/pappl.h>

// Gives the client its form cookie when it has no valid one: a random
// value only that browser holds, signed by the server. Called before the
// page's answer starts (the cookie travels in its header).
void appIssueFormCookie(pappl_client_t* client);

// For a POST of a form: CONTINUE when its Origin and Referer, if any, name
// this server and the client sends the form cookie the server gave it;
// FORBIDDEN otherwise, logged. Other methods: CONTINUE.
http_status_t appCheckFormPost(pappl_client_t* client);
