// Error replies that the server writes before a route's own handler runs (refused Host or Origin, a body too large,
// no room to parse a body): the error body of the route's dialect, so that every client gets the JSON it knows.
// Pure functions; safe from any thread.
#pragma once

#include <string>

#include "httplib.h"

// Sets `status` and a JSON body with `text`: the Anthropic error body on /v1/messages and below, the OpenAI error
// body on the other API routes (/v1/..., /health), {"error": text} on every other path (the agent backend's form).
void send_api_error(const httplib::Request& req, httplib::Response& res, int status, const std::string& text);
