// mivra-connector-holder CONFIG_JSON: starts one connector from a settings entry, the way the program does (from a
// short-lived thread), says "started" on stdout and then waits to be killed. The connector tests kill it with
// SIGKILL and check that the connector and what it started end with it.
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "connectors/connector.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
    ignore_sigpipe();
    if (argc != 2) return 2;
    connector_ptr conn = new_connector("held", connector_log_path("held"));
    bool started = false;
    std::thread([&] { started = start_connector(*conn, nlohmann::json::parse(argv[1])); }).join();
    std::printf("%s\n", started ? "started" : conn->error.c_str());
    std::fflush(stdout);
    while (true) ::pause();
}
