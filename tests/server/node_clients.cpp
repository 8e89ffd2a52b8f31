#include "node_clients.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fixtures/test_support.h"
#include "serve_process.h"

namespace {

bool package_installed(const std::string& dir, const std::string& package, const std::string& version) {
    std::ifstream in(dir + "/node_modules/" + package + "/package.json");
    std::stringstream s;
    s << in.rdbuf();
    return s.str().find("\"version\": \"" + version + "\"") != std::string::npos;
}

bool all_installed(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& pinned) {
    for (const auto& [package, version] : pinned) {
        if (!package_installed(dir, package, version)) return false;
    }
    return true;
}

}  // namespace

void install_node_packages(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& pinned) {
    const std::string name = std::filesystem::path(dir).filename().string();
    const std::string lock_path = bin_dir() + "/../" + name + "-test-npm.lock";
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    if (!all_installed(dir, pinned)) {
        const child_result r =
            run_child("/bin/sh", {"-c", "cd '" + dir + "' && npm ci --no-audit --no-fund"}, scratch_dir());
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    flock(fd, LOCK_UN);
    close(fd);
    std::string wanted;
    for (const auto& [package, version] : pinned) wanted += " " + package + "@" + version;
    ASSERT_TRUE(all_installed(dir, pinned)) << "npm ci in " << dir << " did not install" << wanted;
}

void install_node_clients() {
    install_node_packages(MIVRA_SERVER_NODE_DIR, {{"openai", "6.30.1"}, {"@anthropic-ai/sdk", "1.19.0"}});
}
