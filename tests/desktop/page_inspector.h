// The page in the launcher's web view, seen through WebKit's remote inspector: a launcher started with
// WEBKIT_INSPECTOR_HTTP_SERVER=127.0.0.1:port lists its pages (address and title) over HTTP on that port and lets a
// client evaluate JavaScript in them over a WebSocket. The product has no switch of its own for this.
#pragma once

#include "fixtures/free_port.h"

#include <optional>
#include <string>

namespace desktop_test {

struct inspected_page {
    std::string url;
    std::string title;
    std::string socket_path;  // the inspector's WebSocket path of this page
};

// The first page that the inspector on `port` lists; nullopt when nothing answers or no page is listed.
std::optional<inspected_page> inspect_page(int port);

// The value of `expression` (which should give a string) evaluated in that page; nullopt when the page cannot be
// reached or the expression throws.
std::optional<std::string> evaluate_in_page(int port, const std::string& expression);

}  // namespace desktop_test
