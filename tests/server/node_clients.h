// Node packages that tests drive (API clients, browser automation), pinned in a package-lock.json beside the
// package.json of their test folder. The build copies that project into the build folder (mivra_node_project in
// tests/CMakeLists.txt) and `npm ci` installs its node_modules there on first use, never into the source tree.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Installs the packages of `dir`/package-lock.json into `dir`/node_modules unless every (name, version) of `pinned`
// is already there; test processes running at the same time wait for each other on a lock file per folder. Fails
// the calling test when the install does not give the pinned versions.
void install_node_packages(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& pinned);

// The official API clients for Node (openai and @anthropic-ai/sdk) of tests/server, in its copy in the build folder.
void install_node_clients();
