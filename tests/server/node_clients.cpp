#include "node_clients.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fixtures/test_support.h"
#include "serve_process.h"

namespace {

const std::string node_dir = MIVRA_SERVER_NODE_DIR;

bool package_installed(const std::string& package, const std::string& version) {
    std::ifstream in(node_dir + "/node_modules/" + package + "/package.json");
    std::stringstream s;
    s << in.rdbuf();
    return s.str().find("\"version\": \"" + version + "\"") != std::string::npos;
}

bool clients_installed() {
    return package_installed("openai", "6.30.1") && package_installed("@anthropic-ai/sdk", "1.19.0");
}

}  // namespace

void install_node_clients() {
    const std::string lock_path = bin_dir() + "/../server-test-npm.lock";
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    if (!clients_installed()) {
        const child_result r = run_child("/bin/sh", {"-c", "cd '" + node_dir + "' && npm ci --no-audit --no-fund"},
                                         scratch_dir());
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    flock(fd, LOCK_UN);
    close(fd);
    ASSERT_TRUE(clients_installed()) << "npm ci did not install openai 6.30.1 and @anthropic-ai/sdk 1.19.0";
}
