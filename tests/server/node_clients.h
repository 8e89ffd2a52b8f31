// The official API clients for Node (openai and @anthropic-ai/sdk, pinned in tests/server/package-lock.json),
// installed with `npm ci` into the copy of their project in the build folder (tests/server/node) on first use.
#pragma once

// Installs both pinned clients unless both are already there; test processes running at the same time wait for
// each other on a lock file. Fails the calling test when the install does not give the pinned versions.
void install_node_clients();
