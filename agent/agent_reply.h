// JSON replies of the agent routes: compact text with object members in ascending key order (the JSON library's
// object keeps them so), content type "application/json".
//
// Each route says how text that is not valid UTF-8 is written: `strict` refuses it (the JSON library throws its
// type error 316, which the route's catcher or the server then answers), `replacing` writes U+FFFD in its place
// (for replies that carry text from files, downloads or other programs). Safe from any thread; no state.
#pragma once

#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "httplib.h"

enum class utf8_check { strict, replacing };

// The compact JSON text of `value`. Throws nlohmann::json's type error on invalid UTF-8 with utf8_check::strict.
std::string agent_json_text(const nlohmann::json& value, utf8_check check);

// Sets the status, the body agent_json_text(value, check) and the content type "application/json". The text is
// made before the response is touched, so a strict reply that throws leaves the response as it was.
void reply_json(httplib::Response& res, int status, const nlohmann::json& value, utf8_check check);

// The common error reply of the /agent routes: status 400, {"error": error.what()}, replacing.
void reply_json_error(const httplib::Request& req, httplib::Response& res, const std::exception& error);
