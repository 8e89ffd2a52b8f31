// One MCP connector: a server program run as a child process and spoken to in JSON-RPC 2.0, one compact JSON message
// per line, over its standard input and output. This file is the `connector` record and its life: made by
// new_connector, started with the MCP handshake by start_connector, read by its own reader thread, asked by
// connector_request, torn down by destroy_connector when its last owner lets go.
//
// The child: `/bin/sh -c SCRIPT COMMAND ARGS...`, where the shell stays the leader of the connector's own process
// group, runs COMMAND with ARGS exactly as given (no quoting; COMMAND is looked up along the PATH of the child's
// environment) and, on SIGTERM, kills the whole group. It is spawned from the process-wide spawner thread with
// SIGTERM as its parent-death signal, so that when mivra ends, however it ends, the shell ends the connector and
// everything it started. Its standard error (the shell's own messages included) goes to the connector's log file.
//
// The child's environment: this process's environment with PATH replaced by connector_search_path(), then the
// configured "env" members, each replacing an inherited variable of its name.
//
// Threads and locking:
// - `error`, `tools`, `config` and the child are written only by the thread that runs start_connector, before the
//   connector is published (under agent_mutex) to other threads; afterwards they are only read.
// - `lock` guards `pending_replies`, `waiting`, `next_id` and `stopped`; `replies_ready` is notified whenever a reply
//   is stored or `stopped` becomes true. `lock` is never held during a read or a write on the pipes, nor together
//   with any other lock.
// - `send_mutex` serialises whole messages on the child's standard input (a write of more than 4096 bytes to a pipe
//   is not atomic): requesters and the reader's answers to server requests take it around their write loop.
// - connector_request may be called by several threads at once on one connector.
// - destroy_connector runs once, when the last owner lets go of the connector (connector_ptr): never on the reader
//   thread, which is not an owner, and never while a connector_request on it is running, since every caller holds
//   an owner for the length of its call.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/child_process.h"
#include "platform/files.h"

struct connector {
    std::string name;                    // its key in the settings' "mcpServers"
    std::string error;                   // empty while healthy; why the start failed otherwise
    std::filesystem::path log_path;      // the child's standard error; empty: none (/dev/null)
    nlohmann::json tools = nlohmann::json::array();  // "tools" of the server's tools/list reply
    nlohmann::json config;               // the settings entry it was started with (null before the start)

    child_process child;
    file_descriptor stdin_write;         // [send_mutex] this process's end of the child's standard input
    std::mutex send_mutex;
    wake_event reader_wake;              // signalled by the teardown to end the reader
    std::thread reader;

    std::mutex lock;
    std::condition_variable replies_ready;
    std::map<int32_t, nlohmann::json> pending_replies;  // [lock] replies not yet taken by their requester
    std::set<int32_t> waiting;                          // [lock] ids whose requester still waits
    int32_t next_id = 1;                                // [lock]
    bool stopped = false;                               // [lock] the child's output has ended
};

// Shared ownership of a connector: the registry holds one owner, and every call in flight holds another; the last
// owner to let go runs destroy_connector.
using connector_ptr = std::shared_ptr<connector>;

// Time limits of the handshake, in seconds.
struct connector_start_limits {
    int32_t initialize_seconds = 240;
    int32_t tools_list_seconds = 60;
};

// A new connector, not started: empty texts, no tools, next id 1. Its deleter is destroy_connector.
connector_ptr new_connector(const std::string& name, const std::filesystem::path& log_path);

// The log file of a connector: <app data folder>/logs/connector-<log_safe_name(name)>.log.
std::filesystem::path connector_log_path(const std::string& name);
// `name` with every byte other than an ASCII letter, digit, '_' or '-' replaced by '_'.
std::string log_safe_name(const std::string& name);

// The PATH of connectors and of the runtime search: this process's PATH as it was at start-up, followed by
// ~/.local/bin, ~/.cargo/bin, /usr/local/bin, /usr/bin and /bin, each where it is not already listed.
std::string connector_search_path();

// The child's environment for a settings entry (see the top of this file). Throws nlohmann::json's type error when
// an "env" value is not a string.
std::vector<std::string> connector_environment(const nlohmann::json& config);

// Starts the child for `config` (a settings entry: "command" string, "args" array of strings, "env" object of
// strings) and does the handshake: "initialize" (protocol version "2025-06-18"), the "notifications/initialized"
// notification, one "tools/list". True on success; false with `error` set otherwise (never throws). A connector is
// started at most once. The child of a failed start keeps running until the connector is destroyed.
bool start_connector(connector& conn, const nlohmann::json& config, const connector_start_limits& limits = {});

// Sends one request and waits at most `timeout_seconds` for its reply: the reply's "result" (an empty object when it
// has none). Throws std::runtime_error: "<method>: no answer from connector <name> in <timeout> s",
// "connector <name> stopped", "connector stopped" (the write failed), "<name>: <error message>". A reply that comes
// after its requester gave up is dropped. Safe from several threads at once.
nlohmann::json connector_request(connector& conn, const std::string& method, const nlohmann::json& params,
                                 int32_t timeout_seconds);

// Writes one message as one line on the child's standard input. Throws std::runtime_error("connector stopped") when
// the write fails, and nlohmann::json's type error when the message holds text that is not valid UTF-8.
void connector_send(connector& conn, const nlohmann::json& message);

// Ends the child and its whole process group, ends and joins the reader, reaps the child and frees the record.
// Null does nothing. The deleter of connector_ptr; see the threading rules above.
void destroy_connector(connector* conn);
