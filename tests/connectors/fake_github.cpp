#include "fake_github.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <stdexcept>

using nlohmann::json;

namespace {

std::string repo_key(const std::string& owner, const std::string& repo, const std::string& branch) {
    return owner + "/" + repo + "@" + branch;
}

// The listing GitHub would give for `files`: the folders above each file as "tree" entries, then the file as a
// "blob", in path order.
json tree_of(const std::map<std::string, std::string>& files) {
    std::set<std::string> folders;
    std::map<std::string, json> entries;
    for (const auto& [path, content] : files) {
        for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            const std::string folder = path.substr(0, slash);
            if (folders.insert(folder).second) entries[folder] = {{"path", folder}, {"type", "tree"}};
        }
        entries[path] = tree_blob(path, content.size());
    }
    json tree = json::array();
    for (auto& [path, entry] : entries) tree.push_back(std::move(entry));
    return tree;
}

}  // namespace

json tree_blob(const std::string& path, const json& size) {
    return {{"path", path}, {"type", "blob"}, {"size", size}, {"mode", "100644"}};
}

fake_github::fake_github() {
    server_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.Get("/api/repos/([^/]+)/([^/]+)/git/trees/(.+)", [this](const httplib::Request& req,
                                                                     httplib::Response& res) {
        const std::string key = repo_key(req.matches[1], req.matches[2], req.matches[3]);
        std::lock_guard<std::mutex> lock(mutex_);
        ++tree_requests_[std::string(req.matches[1]) + "/" + std::string(req.matches[2])];
        if (req.get_param_value("recursive") != "1" || req.get_header_value("Accept") != "application/vnd.github+json") {
            res.status = 400;
            return;
        }
        if (const auto answer = tree_answers_.find(key); answer != tree_answers_.end()) {
            res.set_content(answer->second, "application/json");
        } else if (const auto files = repos_.find(key); files != repos_.end()) {
            res.set_content(json{{"sha", "0"}, {"tree", tree_of(files->second)}, {"truncated", false}}.dump(),
                            "application/json");
        } else {
            res.status = 404;
            res.set_content(R"({"message":"Not Found"})", "application/json");
        }
    });
    server_.Get("/raw/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
        const int now = ++raw_now_;
        for (int most = raw_most_; now > most && !raw_most_.compare_exchange_weak(most, now);) {
        }
        int delay = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++raw_requests_;
            delay = raw_delay_ms_;
        }
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        // owner/repo/branch/path, the path decoded by the server
        const std::string raw_path = req.matches[1];
        std::lock_guard<std::mutex> lock(mutex_);
        res.status = 404;
        res.set_content("404: Not Found", "text/plain");
        const size_t a = raw_path.find('/');
        const size_t b = a == std::string::npos ? a : raw_path.find('/', a + 1);
        const size_t c = b == std::string::npos ? b : raw_path.find('/', b + 1);
        if (const auto answer = raw_answers_.find(raw_path); answer != raw_answers_.end()) {
            res.status = answer->second.status;
            res.set_content(answer->second.body, "text/plain");
        } else if (c != std::string::npos) {
            const auto files = repos_.find(repo_key(raw_path.substr(0, a), raw_path.substr(a + 1, b - a - 1),
                                                    raw_path.substr(b + 1, c - b - 1)));
            if (files != repos_.end()) {
                if (const auto file = files->second.find(raw_path.substr(c + 1)); file != files->second.end()) {
                    res.status = 200;
                    res.set_content(file->second, "text/plain");
                }
            }
        }
        --raw_now_;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("fake GitHub: cannot bind 127.0.0.1");
}

fake_github::~fake_github() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void fake_github::start() {
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    server_.wait_until_ready();
}

std::string fake_github::web_prefix() const { return "http://127.0.0.1:" + std::to_string(port_) + "/web/"; }
std::string fake_github::raw_prefix() const { return "http://127.0.0.1:" + std::to_string(port_) + "/raw/"; }
std::string fake_github::api_prefix() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/"; }

std::map<std::string, std::string> fake_github::environment() const {
    return {{"MIVRA_GITHUB_WEB", web_prefix()}, {"MIVRA_GITHUB_RAW", raw_prefix()}, {"MIVRA_GITHUB_API", api_prefix()}};
}

void fake_github::add_repo(const std::string& owner, const std::string& repo, const std::string& branch,
                           const std::map<std::string, std::string>& files) {
    std::lock_guard<std::mutex> lock(mutex_);
    repos_[repo_key(owner, repo, branch)] = files;
}

void fake_github::set_tree_answer(const std::string& owner, const std::string& repo, const std::string& branch,
                                  const std::string& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    tree_answers_[repo_key(owner, repo, branch)] = answer;
}

void fake_github::set_raw_answer(const std::string& raw_path, int status, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_answers_[raw_path] = {status, body};
}

void fake_github::set_raw_delay_ms(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_delay_ms_ = ms;
}

int fake_github::tree_requests(const std::string& owner, const std::string& repo) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = tree_requests_.find(owner + "/" + repo);
    return it == tree_requests_.end() ? 0 : it->second;
}

int fake_github::raw_requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_requests_;
}

int fake_github::most_raw_at_once() const { return raw_most_; }
