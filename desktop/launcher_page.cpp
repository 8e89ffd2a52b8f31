#include "desktop/launcher_page.h"

const char* const launcher_page_markup = R"PAGE(<!DOCTYPE html>
<html lang="en"><head>
<script>
(function () {
  var handlers = window.webkit && window.webkit.messageHandlers;
  if (!handlers || !handlers.mivra) return;  // a plain browser: the page then sends nothing
  var listeners = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    addEventListener: function (type, listener) { if (type === "message") listeners.push(listener); },
    postMessage: function (message) { handlers.mivra.postMessage(message); }
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
  :root { --ink: #26231f; --muted: #6b655b; --line: #e3ded3; --card: #fffdf9; --accent: #2f6f5e;
    --accent-soft: #e3efe9; --warn: #8a2a1c; }
  html, body { margin: 0; background: #F5F3EE; color: var(--ink);
    font: 15px/1.5 system-ui, "Segoe UI", "Cantarell", "DejaVu Sans", sans-serif; }
  main { max-width: 640px; margin: 0 auto; padding: 40px 24px 48px; }
  .brand { display: flex; align-items: center; gap: 10px; font-weight: 600; font-size: 18px; margin-bottom: 40px;
    letter-spacing: 0.01em; }
  .mark { width: 18px; height: 18px; border-radius: 5px; background: var(--accent); }
  .view { display: none; }
  .view.on { display: block; }
  h1 { font-size: 24px; font-weight: 600; margin: 0 0 8px; line-height: 1.25; }
  p { margin: 0 0 12px; color: var(--muted); }
  .spinner { width: 28px; height: 28px; margin-bottom: 20px; border-radius: 50%;
    border: 3px solid #d8d3c8; border-top-color: var(--accent); animation: spin 0.9s linear infinite; }
  @keyframes spin { to { transform: rotate(360deg); } }

  #models { display: flex; flex-direction: column; gap: 10px; margin: 22px 0 12px; }
  .model { display: grid; grid-template-columns: 1fr auto; gap: 2px 16px; align-items: center; text-align: left;
    padding: 14px 16px; background: var(--card); border: 1px solid var(--line); border-radius: 10px;
    cursor: pointer; transition: border-color 0.12s, box-shadow 0.12s; outline: none; }
  .model:hover { border-color: #c9c2b4; box-shadow: 0 1px 4px rgba(38, 35, 31, 0.08); }
  .model:focus-visible { border-color: var(--accent); box-shadow: 0 0 0 3px rgba(47, 111, 94, 0.25); }
  .model.def { border-color: #b9d3c9; }
  .model .name { grid-column: 1; font-size: 16px; }
  .model .about { grid-column: 1; margin: 0; color: var(--muted); font-size: 14px; }
  .model .meta { grid-column: 1; font-size: 13px; color: #8a8478; }
  .model .act { grid-column: 2; grid-row: 1 / span 3; padding: 7px 16px; border-radius: 8px; font-weight: 600;
    font-size: 14px; background: var(--accent); color: #fff; }
  .model .act.get { background: var(--accent-soft); color: var(--accent); }
  .tag { display: inline-block; margin-left: 8px; padding: 1px 8px; border-radius: 999px; font-size: 12px;
    font-weight: 600; vertical-align: 2px; background: var(--accent-soft); color: var(--accent); }
  .tag.rec { background: #f4ead3; color: #7a5a12; }
  .locate { grid-column: 1; justify-self: start; margin-top: 4px; padding: 0; border: 0; background: none;
    font: inherit; font-size: 13px; color: var(--accent); text-decoration: underline; cursor: pointer; }
  .locate:focus-visible { outline: 2px solid var(--accent); outline-offset: 2px; border-radius: 2px; }
  #locate-msg { color: var(--warn); }
  #locate-msg:empty, #newer:empty { display: none; }
  #newer { font-size: 13px; }

  .bar { height: 8px; margin: 22px 0 10px; border-radius: 999px; background: #e6e1d6; overflow: hidden; }
  #dl-fill { height: 100%; width: 0; border-radius: 999px; background: var(--accent); transition: width 0.3s; }
  .numbers { display: flex; justify-content: space-between; gap: 16px; font-size: 14px;
    font-variant-numeric: tabular-nums; }
  #dl-rate { color: var(--muted); text-align: right; }
  .hint { margin-top: 22px; font-size: 13px; }
  .moving { position: relative; }
  .moving::after { content: ""; position: absolute; top: 0; left: -40%; width: 40%; height: 100%;
    border-radius: 999px; background: var(--accent); animation: slide 1.4s ease-in-out infinite; }
  @keyframes slide { to { left: 100%; } }

  .buttons { display: flex; flex-wrap: wrap; gap: 10px; margin-top: 22px; }
  button.btn { padding: 9px 18px; border-radius: 8px; border: 1px solid var(--line); background: var(--card);
    color: var(--ink); font: inherit; font-weight: 600; cursor: pointer; }
  button.btn.primary { background: var(--accent); border-color: var(--accent); color: #fff; }
  button.btn:hover { filter: brightness(0.97); }
  button.btn:focus-visible { outline: 3px solid rgba(47, 111, 94, 0.35); outline-offset: 1px; }
  #err-text { color: var(--warn); white-space: pre-wrap; word-break: break-word; }

  #notes { margin-top: 28px; }
  #notes p { padding: 10px 14px; border-left: 3px solid var(--accent); background: var(--card); border-radius: 4px;
    font-size: 14px; color: var(--ink); }
  @media (prefers-reduced-motion: reduce) {
    .spinner, .moving::after { animation: none; }
    .moving::after { left: 0; width: 100%; opacity: 0.35; }
    #dl-fill { transition: none; }
  }
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
  <section id="v-choose" class="view">
    <h1 id="choose-title"></h1>
    <p>It runs on your own PC. You can switch later from the Mivra icon in the system tray.</p>
    <div id="models"></div>
    <p id="locate-msg"></p>
    <p id="newer"></p>
  </section>
  <section id="v-download" class="view">
    <h1 id="dl-title">Downloading</h1>
    <p>Only the first time. If it stops, open Mivra again and it continues where it left off.</p>
    <div class="bar" id="dl-bar"><div id="dl-fill"></div></div>
    <div class="numbers"><span id="dl-left">Starting…</span><span id="dl-rate"></span></div>
    <p class="hint">You can close this window: the download carries on in the background (Mivra icon in the system tray).</p>
    <div class="buttons"><button class="btn" data-msg="quit">Cancel and quit</button></div>
  </section>
  <section id="v-load" class="view">
    <div class="spinner"></div>
    <h1 id="load-title">Starting</h1>
    <p id="load-sub">Loading the model into memory. This takes about a minute.</p>
    <div class="bar moving"></div>
  </section>
  <section id="v-error" class="view">
    <h1>Something went wrong</h1>
    <p id="err-text"></p>
    <div class="buttons">
      <button class="btn primary" data-msg="retry">Try again</button>
      <button class="btn" data-msg="menu">Choose another model</button>
    </div>
  </section>
  <div id="notes"></div>
</main>
)PAGE";

const char* const launcher_page_script = R"PAGE(<script>
(function () {
  var webview = window.chrome && window.chrome.webview;
  var names = {};
  var firstProgress = null;  // {time, done} of the first progress event since the page was loaded

  function $(id) { return document.getElementById(id); }
  function text(value) { return value === undefined || value === null ? "" : String(value); }
  function number(value) { var n = Number(value); return isFinite(n) ? n : 0; }
  function escape(value) {
    return text(value).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
                      .replace(/"/g, "&quot;").replace(/'/g, "&#39;");
  }
  function send(message) { if (webview) webview.postMessage(message); }
  function show(id) {
    var views = document.querySelectorAll(".view");
    for (var i = 0; i < views.length; i++) views[i].classList.toggle("on", views[i].id === id);
  }
  function shown(id) { return $(id).classList.contains("on"); }

  function card(item) {
    var ready = item.ready === true;
    var html = '<div class="model' + (item["default"] === true ? " def" : "") + '" role="button" tabindex="0"' +
               ' data-id="' + escape(item.id) + '">';
    html += '<div class="name"><b>' + escape(item.name) + "</b>";
    if (ready) html += '<span class="tag">ready</span>';
    else if (item.recommended === true) html += '<span class="tag rec">recommended</span>';
    html += "</div>";
    if (text(item.about) !== "") html += '<p class="about">' + escape(item.about) + "</p>";
    var meta = ready ? "downloaded"
                     : (item.installed === true ? "download not finished · " : "") + number(item.gb).toFixed(1) +
                       " GB download";
    if (number(item.ram) !== 0) meta += " · needs " + number(item.ram) + " GB memory";
    html += '<div class="meta">' + escape(meta) + "</div>";
    html += '<span class="act' + (ready ? "" : " get") + '">' + (ready ? "Start" : "Download") + "</span>";
    if (!ready) html += '<button type="button" class="locate">Already have this model? Choose its folder</button>';
    return html + "</div>";
  }

  function onModels(event) {
    var items = Array.isArray(event.items) ? event.items.filter(function (i) { return i && typeof i === "object"; })
                                           : [];
    names = {};
    var anyInstalled = false;
    items.forEach(function (item) {
      names[text(item.id)] = text(item.name);
      if (item.installed === true) anyInstalled = true;
    });
    $("choose-title").textContent = anyInstalled ? "Which model?" : "Choose an AI model to download";
    $("models").innerHTML = items.map(card).join("");
    var tooNew = Array.isArray(event.too_new) ? event.too_new.map(text) : [];
    $("newer").textContent = tooNew.length
        ? "Needs a newer Mivra: " + tooNew.join(", ") + ". Download the latest version from the website." : "";
    show("v-choose");
  }

  function size(bytes) { return (bytes / 1e9).toFixed(bytes >= 1e10 ? 1 : 2) + " GB"; }

  function onProgress(event) {
    show("v-download");
    var whole = number(event.all_total) !== 0;
    var total = whole ? number(event.all_total) : number(event.total);
    var done = whole ? number(event.all_done) : number(event.done);
    $("dl-fill").style.width = (total > 0 ? Math.min(100, done / total * 100) : 0).toFixed(1) + "%";
    var now = Date.now();
    if (!firstProgress) firstProgress = {time: now, done: done};
    var elapsed = (now - firstProgress.time) / 1000;
    var rate = elapsed > 3 ? (done - firstProgress.done) / elapsed : number(event.rate);
    $("dl-left").textContent = size(done) + " of " + size(total);
    if (rate > 0) {
      var left = Math.max(0, total - done) / rate;
      var hours = Math.floor(left / 3600);
      var minutes = Math.round((left - hours * 3600) / 60);
      if (minutes === 60) { hours += 1; minutes = 0; }  // 59.6 minutes read as "1 h 0 min", not "60 min"
      $("dl-rate").textContent = (rate / 1e6).toFixed(1) + " MB/s · about " + (hours ? hours + " h " : "") +
                                 minutes + " min left";
    }
  }

  function handle(event) {
    if (!event || typeof event !== "object") return;
    switch (event.type) {
      case "models": onModels(event); break;
      case "auto": show("v-wait"); break;
      case "status":
        if (event.downloading === true) {
          $("dl-title").textContent = text(event.text);
          show("v-download");
        } else {
          $("load-title").textContent = text(event.text);
          $("load-sub").textContent = "This only takes a moment.";
          show("v-load");
        }
        break;
      case "download": show("v-download"); break;
      case "progress": onProgress(event); break;
      case "starting":
        $("load-title").textContent = "Starting " + (text(event.name) || names[text(event.id)] || "Mivra");
        $("load-sub").textContent = "Loading the model into memory. This takes about a minute.";
        show("v-load");
        break;
      case "located":
        if (event.ok === true) show("v-wait");
        else $("locate-msg").textContent = text(event.text);
        break;
      case "note":
        $("notes").insertAdjacentHTML("beforeend", "<p>" + escape(event.text) + "</p>");
        break;
      case "error":
        $("err-text").textContent = text(event.text);
        show("v-error");
        break;
      case "exited":
        if (!shown("v-error")) {
          $("err-text").textContent = "Mivra stopped unexpectedly. Details are in the log: " + text(event.log);
          show("v-error");
        }
        break;
    }
  }

  function activate(target) {
    var model = target.closest(".model");
    if (model) {
      var id = model.getAttribute("data-id");
      if (target.closest(".locate")) {
        $("locate-msg").textContent = "";
        send({type: "locate", id: id});
      } else {
        send({type: "choose", id: id});
        show("v-wait");
      }
      return;
    }
    var named = target.closest("[data-msg]");
    if (named) send({type: named.getAttribute("data-msg")});
  }

  document.addEventListener("click", function (e) { if (e.target instanceof Element) activate(e.target); });
  document.addEventListener("keydown", function (e) {
    // The cards are not <button>s (a button may not hold the locate button): Enter and Space act as on one.
    var t = e.target;
    if ((e.key === "Enter" || e.key === " ") && t instanceof Element && t.classList.contains("model")) {
      e.preventDefault();
      activate(t);
    }
  });
  if (webview) {
    webview.addEventListener("message", function (e) { handle(e.data); });
    webview.postMessage({type: "hello"});
  }
})();
</script>
</body>
</html>
)PAGE";
