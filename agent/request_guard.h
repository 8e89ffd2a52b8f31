// The request guard of the agent routes: every /agent route (and /preview) serves the page that this same server
// delivers on the loopback address, so a request must come under the right Host, from the page's own origin, and
// (for the /agent routes) carry this run's page token in the header "X-Mivra-Token".
//
// Reads only agent_state.page_token, port and served_locally, written once before the server listens; takes no
// lock. Safe from any worker thread.
#pragma once

#include "httplib.h"

// True when the request's first "Host" header is exactly "127.0.0.1:<port>" or "localhost:<port>" (case-sensitive,
// port required). The pages embed the token only for such a request, so that a foreign name that resolves to this
// machine (DNS rebinding) never obtains it.
bool agent_host_ok(const httplib::Request& req);

// True when the request may proceed: the server is served locally, the Host passes agent_host_ok, the "Origin"
// header passes is_loopback_origin (common/loopback_names.h: absent, empty, or http:// with 127.0.0.1, localhost or
// [::1] and this port; the API routes accept the same), and, when `token_required`, the
// "X-Mivra-Token" header equals the page token byte for byte. Otherwise it has written the refusal
// (refuse_agent_request) and the handler returns at once without touching the response again.
bool check_agent_request(const httplib::Request& req, httplib::Response& res, bool token_required);

// The guard's refusal: status 403, {"error": "not allowed"} when served locally, else {"error": "agent tools are
// only available when Mivra serves on 127.0.0.1"}; application/json, strict. It never says which check failed.
void refuse_agent_request(httplib::Response& res);
