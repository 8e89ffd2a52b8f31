// `mivra serve`: the port probe, the engine, the HTTP server with the agent backend's routes and the API routes,
// the banner, then the accept loop. The one place where the server, the engine and the agent backend meet.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "httplib.h"

#include "agent/agent_routes.h"
#include "agent/chat_page.h"
#include "cli/commands.h"
#include "engine/runtime/engine.h"
#include "platform/sockets.h"
#include "server/api_routes.h"
#include "server/http_server.h"

namespace {

// Fails with the port-in-use text when `host`:`port` cannot be bound now, before the model is loaded, so that a
// second copy fails within a moment.
void probe_port(const std::string& host, int32_t port) {
    if (port_can_be_bound(host, port)) return;
    const std::string p = std::to_string(port);
    throw std::runtime_error("port " + p + " is in use. Mivra is probably already running: open http://127.0.0.1:" +
                             p + " in your browser, or stop every copy with: pkill -x mivra");
}

}  // namespace

int cmd_serve(const engine_options& options) {
    probe_port(options.host, options.port);
    auto eng = std::make_unique<engine>(options);
    std::atomic<uint64_t> request_counter{1};

    // Every connection gets a thread of its own (more are started as connections need them) and must send its
    // request in time, so slow connections never keep others waiting; keep idle threads for every slot besides the
    // library's usual number, as a stream holds its worker until it ends.
    const size_t workers = std::max<size_t>(CPPHTTPLIB_THREAD_POOL_COUNT, size_t(std::max(1, options.n_parallel)) + 8);
    auto server = std::make_unique<bounded_http_server>(workers);
    server->set_socket_options([](socket_t sock) { set_exclusive_address(sock); });
    setup_agent_routes(*server, options.host, options.port, chat_page);
    register_api_routes(*server, *eng, request_counter);

    std::fprintf(stderr,
                 "serving %s on http://%s:%d (chat UI at /, OpenAI /v1/chat/completions, Anthropic /v1/messages)\n",
                 served_model_name(eng->options.pack_dir).c_str(), options.host.c_str(), options.port);
    if (!server->listen(options.host, options.port)) {
        const std::string p = std::to_string(options.port);
        throw std::runtime_error("cannot listen on " + options.host + ":" + p +
                                 ". Is Mivra already running? Use that one at http://127.0.0.1:" + p +
                                 ", or stop every copy with:  pkill -x mivra");
    }
    server.reset();
    eng.reset();
    return 0;
}
