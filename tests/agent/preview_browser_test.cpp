// A project page opened through /preview in headless Chromium runs sandboxed with an opaque origin: even a page
// that knows the token cannot read "/" (which carries it), nor read it from a frame, nor call the agent routes,
// whose guard sees "Origin: null". The agent page itself, loaded from "/", can do all three: the control that
// shows the probe would notice.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "agent_user.h"
#include "fixtures/test_support.h"
#include "node_clients.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string node_dir = MIVRA_AGENT_NODE_DIR;

// A page whose script tries every way to the token and the agent routes; `token_text` is a JavaScript string.
std::string probe_page(const std::string& token_text) {
    return R"(<!doctype html><html><head><meta charset="utf-8"></head><body><script>
window.probe = (async () => {
  const token = )" + token_text + R"(;
  const out = { origin: self.origin };
  try {
    const text = await (await fetch('/')).text();
    out.root = token && text.includes(token) ? 'read token' : 'read';
  } catch (e) { out.root = 'blocked'; }
  try {
    out.state = (await fetch('/agent/state', { headers: { 'X-Mivra-Token': token } })).status;
  } catch (e) { out.state = 'blocked'; }
  out.frame = await new Promise((resolve) => {
    const frame = document.createElement('iframe');
    frame.onload = () => {
      try { resolve(frame.contentDocument.documentElement.outerHTML.includes(token) ? 'read token' : 'read'); }
      catch (e) { resolve('blocked'); }
    };
    frame.src = '/simple';
    document.body.appendChild(frame);
  });
  return out;
})();
</script></body></html>)";
}

}  // namespace

TEST(AgentPreviewBrowser, APreviewedPageCannotReadTheTokenNorCallTheAgentRoutes) {
    ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "Debian's chromium is missing (scripts/deps.sh installs it)";
    install_node_packages(node_dir, {{"playwright-core", "1.65.2"}});
    agent_user user;
    write_text(user.ui / "index.html", probe_page("'{{MIVRA_TOKEN}}'"));
    user.seed_settings({{"workspace", user.workspace.string()}});
    serve_process server(user.options());
    std::unique_ptr<httplib::Client> client = server.client();
    const std::string token = page_token(client->Get("/simple")->body);
    ASSERT_EQ(token.size(), 32u);
    // The worst case: a project page that somehow learned the token.
    write_text(user.workspace / "leak.html", probe_page(json(token).dump()));

    const child_result r = run_child("/usr/bin/env",
                                     {"node", node_dir + "/preview_browser.mjs", server.url(),
                                      (user.dir / "chromium-profile").string(), "/", "/preview/leak.html"},
                                     scratch_dir());
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const json findings = json::parse(r.out);

    const json& agent_page = findings["/"];
    EXPECT_EQ(agent_page["origin"], server.url());
    EXPECT_EQ(agent_page["root"], "read token");
    EXPECT_EQ(agent_page["frame"], "read token");
    ASSERT_TRUE(agent_page["state"].is_number()) << agent_page;
    EXPECT_NE(agent_page["state"], 403);  // passed the guard

    const json& preview = findings["/preview/leak.html"];
    EXPECT_EQ(preview["origin"], "null");
    EXPECT_EQ(preview["root"], "blocked");
    EXPECT_EQ(preview["frame"], "blocked");
    EXPECT_EQ(preview["state"], "blocked") << preview;
}
