#include "desktop/launcher_page.h"

const char* const launcher_page_markup = R"PAGE(<!DOCTYPE html>
<html lang="en"><head>
<script>
(function () {
  var listeners = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    addEventListener: function (type, listener) { if (type === "message") listeners.push(listener); },
    postMessage: function (message) { window.webkit.messageHandlers.mivra.postMessage(message); }
  };
  window.__mivra_receive = function (d) {
    listeners.forEach(function (listener) { listener({data: d}); });
  };
})();
</script>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Mivra</title>
<style>
  html, body { margin: 0; background: #F5F3EE; color: #26231f;
    font: 15px/1.5 system-ui, "Segoe UI", "Cantarell", "DejaVu Sans", sans-serif; }
  main { max-width: 640px; margin: 0 auto; padding: 48px 24px; }
  .brand { display: flex; align-items: center; gap: 10px; font-weight: 600; font-size: 18px; margin-bottom: 48px; }
  .mark { width: 18px; height: 18px; border-radius: 4px; background: #2f6f5e; }
  .view { display: none; }
  .view.on { display: block; }
  h1 { font-size: 24px; font-weight: 600; margin: 0 0 8px; }
  p { margin: 0 0 12px; color: #5b564e; }
  .spinner { width: 28px; height: 28px; margin-bottom: 20px; border-radius: 50%;
    border: 3px solid #d8d3c8; border-top-color: #2f6f5e; animation: spin 0.9s linear infinite; }
  @keyframes spin { to { transform: rotate(360deg); } }
  @media (prefers-reduced-motion: reduce) { .spinner { animation: none; } }
  #err-text { color: #8a2a1c; white-space: pre-wrap; word-break: break-word; }
</style>
</head>
<body>
<main>
  <div class="brand"><span class="mark"></span>mivra</div>
  <section id="v-wait" class="view on">
    <div class="spinner"></div>
    <h1>Getting ready</h1>
    <p>Checking which AI models you have.</p>
  </section>
  <section id="v-error" class="view">
    <h1>Something went wrong</h1>
    <p id="err-text"></p>
  </section>
</main>
)PAGE";

const char* const launcher_page_script = R"PAGE(<script>
(function () {
  function show(id) {
    var views = document.querySelectorAll(".view");
    for (var i = 0; i < views.length; i++) views[i].classList.toggle("on", views[i].id === id);
  }
  function shown(id) { return document.getElementById(id).classList.contains("on"); }
  function handle(event) {
    if (!event || typeof event !== "object") return;
    var text = document.getElementById("err-text");
    if (event.type === "error") {
      text.textContent = event.text;
      show("v-error");
    } else if (event.type === "exited" && !shown("v-error")) {
      text.textContent = "Mivra stopped unexpectedly. Details are in the log: " + (event.log || "");
      show("v-error");
    }
  }
  if (window.chrome && window.chrome.webview) {
    window.chrome.webview.addEventListener("message", function (e) { handle(e.data); });
    window.chrome.webview.postMessage({type: "hello"});
  }
})();
</script>
</body>
</html>
)PAGE";
