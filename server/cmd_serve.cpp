// `mivra serve`: the port probe, the engine, the HTTP server with the agent backend's routes and the API routes,
// the banner, then the accept loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "agent/agent_routes.h"
#include "agent/chat_page.h"
#include "cli/commands.h"
#include "engine/runtime/engine.h"
#include "server/anthropic_request.h"
#include "server/api_routes.h"
#include "server/chat_completion.h"

std::string served_model_name(const std::string& pack_path) {
    const size_t last = pack_path.find_last_not_of("/\\");
    if (last == std::string::npos) return "";
    const size_t sep = pack_path.find_last_of("/\\", last);
    const size_t first = sep == std::string::npos ? 0 : sep + 1;
    return pack_path.substr(first, last + 1 - first);
}

int set_exclusive_address(int sock) {
    const int one = 1;
    return setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

void probe_port(const std::string& host, int32_t port) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) return;
    set_exclusive_address(sock);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const std::string text = host == "localhost" ? "127.0.0.1" : host;
    if (inet_pton(AF_INET, text.c_str(), &addr.sin_addr) != 1) addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const int rc = bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(sock);
    if (rc != 0) {
        const std::string p = std::to_string(port);
        throw std::runtime_error("port " + p + " is in use. Mivra is probably already running: open http://127.0.0.1:" +
                                 p + " in your browser, or stop every copy with: Stop-Process -Name mivra");
    }
}

void handle_health(const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"status\":\"ok\"}", "application/json");
}

void handle_models(const engine& host, const httplib::Request&, httplib::Response& res) {
    const nlohmann::json body = {
        {"object", "list"},
        {"data", nlohmann::json::array({{{"id", served_model_name(host.options.pack_dir)},
                                         {"object", "model"},
                                         {"owned_by", "mivra"}}})}};
    res.set_content(api_json_text(body), "application/json");
}

void register_api_routes(httplib::Server& server, engine& host, std::atomic<uint64_t>& request_counter) {
    server.Get("/health", handle_health);
    server.Get("/v1/models",
               [&host](const httplib::Request& req, httplib::Response& res) { handle_models(host, req, res); });
    const completion_route route{host, request_counter};
    server.Post("/v1/chat/completions", [route](const httplib::Request& req, httplib::Response& res) {
        handle_completion(route, req.body, res, api_dialect::openai);
    });
    server.Post("/v1/messages", [route](const httplib::Request& req, httplib::Response& res) {
        handle_messages(route, req, res);
    });
    server.Post("/v1/messages/count_tokens", [&host](const httplib::Request& req, httplib::Response& res) {
        handle_count_tokens(host, req, res);
    });
}

int cmd_serve(const engine_options& options) {
    probe_port(options.host, options.port);
    auto host = std::make_unique<engine>(options);
    std::atomic<uint64_t> request_counter{1};

    auto server = std::make_unique<httplib::Server>();
    server->set_socket_options([](socket_t sock) { set_exclusive_address(sock); });
    // A stream holds its worker thread until it ends, and the library grows its pool only when no thread is idle at
    // the moment a connection arrives, so a burst of streams would queue behind the first few: keep enough threads
    // for every slot besides the library's usual number.
    const size_t workers = std::max<size_t>(CPPHTTPLIB_THREAD_POOL_COUNT, size_t(std::max(1, options.n_parallel)) + 8);
    server->new_task_queue = [workers] { return new httplib::ThreadPool(workers, workers * 4); };
    setup_agent_routes(*server, options.host, options.port, chat_page);
    register_api_routes(*server, *host, request_counter);

    std::fprintf(stderr,
                 "serving %s on http://%s:%d (chat UI at /, OpenAI /v1/chat/completions, Anthropic /v1/messages)\n",
                 served_model_name(host->options.pack_dir).c_str(), options.host.c_str(), options.port);
    if (!server->listen(options.host, options.port)) {
        const std::string p = std::to_string(options.port);
        throw std::runtime_error("cannot listen on " + options.host + ":" + p +
                                 ". Is Mivra already running? Use that one at http://127.0.0.1:" + p +
                                 ", or stop every copy with:  Stop-Process -Name mivra");
    }
    server.reset();
    host.reset();
    return 0;
}
