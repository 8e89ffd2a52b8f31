#include "page_inspector.h"

#include <unistd.h>

#include <chrono>

#include <nlohmann/json.hpp>

#include "httplib.h"

using nlohmann::json;

namespace desktop_test {

namespace {

// The text of the first element with `marker` (an attribute text such as class="targeturl") up to its "<".
std::string element_text(const std::string& html, const std::string& marker, size_t from = 0) {
    const size_t at = html.find(marker, from);
    if (at == std::string::npos) return {};
    const size_t start = html.find('>', at);
    if (start == std::string::npos) return {};
    return html.substr(start + 1, html.find('<', start) - start - 1);
}

}  // namespace

std::optional<inspected_page> inspect_page(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    const httplib::Result res = client.Get("/");
    if (!res || res->status != 200) return std::nullopt;
    const std::string& html = res->body;
    const size_t socket_at = html.find("/socket/");
    if (socket_at == std::string::npos) return std::nullopt;
    inspected_page page;
    page.title = element_text(html, "class=\"targetname\"");
    page.url = element_text(html, "class=\"targeturl\"");
    page.socket_path = html.substr(socket_at, html.find('\'', socket_at) - socket_at);
    return page;
}

std::optional<std::string> evaluate_in_page(int port, const std::string& expression) {
    const std::optional<inspected_page> page = inspect_page(port);
    if (!page) return std::nullopt;
    httplib::ws::WebSocketClient socket("ws://127.0.0.1:" + std::to_string(port) + page->socket_path);
    socket.set_read_timeout(5, 0);
    if (!socket.connect()) return std::nullopt;
    // The page's backend announces its target first; requests go to that target, replies come back wrapped.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::optional<std::string> value;
    std::string text;
    while (std::chrono::steady_clock::now() < deadline && socket.read(text) != httplib::ws::Fail) {
        const json message = json::parse(text, nullptr, false);
        if (!message.is_object()) continue;
        const std::string method = message.value("method", "");
        if (method == "Target.targetCreated") {
            const json request = {{"id", 1},
                                  {"method", "Runtime.evaluate"},
                                  {"params", {{"expression", expression}, {"returnByValue", true}}}};
            const json wrapped = {{"id", 1},
                                  {"method", "Target.sendMessageToTarget"},
                                  {"params",
                                   {{"targetId", message["params"]["targetInfo"]["targetId"]},
                                    {"message", request.dump()}}}};
            socket.send(wrapped.dump());
        } else if (method == "Target.dispatchMessageFromTarget") {
            const json reply = json::parse(message["params"].value("message", ""), nullptr, false);
            if (!reply.is_object() || reply.value("id", 0) != 1) continue;
            const json result = reply.value("result", json::object());
            if (!result.value("wasThrown", false) && result.contains("result") &&
                result["result"].value("type", "") == "string") {
                value = result["result"]["value"].get<std::string>();
            }
            break;
        }
    }
    socket.close();
    return value;
}

}  // namespace desktop_test
