// Node packages that tests drive (API clients, browser automation), pinned in a package-lock.json beside the
// package.json of their test folder and installed into that folder's node_modules with `npm ci` on first use.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Installs the packages of `dir`/package-lock.json into `dir`/node_modules unless every (name, version) of `pinned`
// is already there; test processes running at the same time wait for each other on a lock file per folder. Fails
// the calling test when the install does not give the pinned versions.
void install_node_packages(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& pinned);

// The official API clients for Node (openai and @anthropic-ai/sdk) of tests/server.
void install_node_clients();
