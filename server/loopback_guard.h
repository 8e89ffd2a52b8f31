// The guard of the API routes against web pages. A server on the loopback address is reachable from every page the
// user's browser opens: a page may post a simple request (text/plain, no preflight) to make the model run, and
// through DNS rebinding (a foreign name that resolves to 127.0.0.1) it may read the replies. A request for this
// server names it in Host by a loopback name, and a browser says in Origin which page sent it; programs that are
// not browsers send no Origin and pass.
//
// The agent backend guards its own routes (agent/request_guard.h, with the page token) and accepts the same origins
// (common/loopback_names.h).
#pragma once

#include <string>

#include "httplib.h"

// When `host` is a loopback address, installs the server's pre-routing handler: a request to an API route (/health
// and /v1/...) whose first Host header fails is_loopback_host_header, or whose Origin fails is_loopback_origin, is
// answered with status 403 and the route's JSON error body (api_errors.h) before its body is read. Other paths are
// left to their own handlers. Installs nothing for any other host. The handler reads only `port`; it runs on any
// worker thread.
void install_loopback_guard(httplib::Server& server, const std::string& host, int port);
