// The connector routes of the agent page's market and settings views: GET /agent/market (the connector catalog with
// the runtimes found on this machine) and POST /agent/connector (add, remove, enable or disable a connector).
// Both pass the request guard with the page token first. They take no lock themselves: the connector functions
// take agent_state.agent_mutex where they need it, and the catalog guards its cache with its own lock.
#pragma once

#include "httplib.h"

// {"connectors": the catalog's "connectors" ([] when it has none), "runtimes": {"node", "uv"}}; strict UTF-8.
void handle_agent_market(const httplib::Request& req, httplib::Response& res);

// By the body's "action": "add" (the whole body), "remove", "enable" or "disable" (its "name"); the result with
// status 200, written replacing invalid UTF-8. Every error, "unknown action" included, is a 400 {"error": text}.
void handle_agent_connector(const httplib::Request& req, httplib::Response& res);
