// An imitation of GitHub inside the test program, on 127.0.0.1 at a free port: the REST API's recursive git-trees
// listing under /api/, raw files under /raw/ and the web site's prefix /web/ (links only; nothing is served there).
// A repository is a map of file paths to contents: its tree lists every file as a blob with its size and every
// folder above one as a tree, in path order. Tests may replace a repository's tree answer, make one raw file answer
// an error status or a different body, and slow the raw files down; every request is counted.
//
// The port is bound on construction; start() serves on a thread of its own until destruction. Configuration and
// counters are guarded by one mutex, so a test may change them while the server runs.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "httplib.h"

class fake_github {
public:
    fake_github();  // binds 127.0.0.1 at a free port; throws std::runtime_error when it cannot
    ~fake_github();
    fake_github(const fake_github&) = delete;
    fake_github& operator=(const fake_github&) = delete;

    void start();

    std::string web_prefix() const;  // "http://127.0.0.1:<port>/web/"
    std::string raw_prefix() const;
    std::string api_prefix() const;
    // MIVRA_GITHUB_WEB, MIVRA_GITHUB_RAW and MIVRA_GITHUB_API pointing here.
    std::map<std::string, std::string> environment() const;

    // The files of owner/repo at `branch` (path -> content); replaces what was there.
    void add_repo(const std::string& owner, const std::string& repo, const std::string& branch,
                  const std::map<std::string, std::string>& files);
    // The whole answer of the tree listing of owner/repo at branch, as sent (a JSON object or any other text).
    void set_tree_answer(const std::string& owner, const std::string& repo, const std::string& branch,
                         const std::string& answer);
    // The raw file at owner/repo/branch/path answers `status` with `body` instead of its content.
    void set_raw_answer(const std::string& raw_path, int status, const std::string& body);
    // Every raw file waits this long before answering.
    void set_raw_delay_ms(int ms);

    int tree_requests(const std::string& owner, const std::string& repo) const;
    int raw_requests() const;
    int most_raw_at_once() const;  // the largest number of raw requests that were being answered at one time

private:
    struct raw_answer {
        int status;
        std::string body;
    };
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, std::map<std::string, std::string>> repos_;  // "owner/repo@branch" -> files
    std::map<std::string, std::string> tree_answers_;                  // "owner/repo@branch" -> answer text
    std::map<std::string, raw_answer> raw_answers_;                    // "owner/repo/branch/path"
    std::map<std::string, int> tree_requests_;                         // "owner/repo"
    int raw_requests_ = 0;
    int raw_delay_ms_ = 0;
    std::atomic<int> raw_now_{0};
    std::atomic<int> raw_most_{0};
};

// A tree listing's element: {"path", "type": "blob", "size"} (the size as given, any JSON value).
nlohmann::json tree_blob(const std::string& path, const nlohmann::json& size);
