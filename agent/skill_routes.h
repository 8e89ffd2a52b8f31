// The skill routes of the agent page's settings and market views: GET /agent/skill_market lists the installable
// skills, POST /agent/skill installs, writes or removes one. Both are guarded with the page token and answer
// application/json with invalid UTF-8 replaced (their texts come from downloaded files); every error after the
// guard is status 400 {"error": text}.
//
// Threads and locking: any HTTP worker thread, several at once; no lock of their own (the market and the skill
// folders guard themselves, connectors/skill_market.h and connectors/skill_folder.h).
#pragma once

#include "httplib.h"

// GET /agent/skill_market: {"skills": skill_market()}.
void handle_agent_skill_market(const httplib::Request& req, httplib::Response& res);

// POST /agent/skill with a JSON body: "action" "install" answers install_or_write_skill(body), "remove" answers
// remove_skill(body's "name"), any other (or none) {"error": "unknown action"} with status 400.
void handle_agent_skill(const httplib::Request& req, httplib::Response& res);
