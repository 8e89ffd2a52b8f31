// A small MCP server over stdio whose framing and faults the connector tests choose: node fake_mcp_server.mjs MODE
// [ARG]. Every mode answers initialize, tools/list and tools/call; the mode changes how or whether it does.
//   plain       one line per message, each in its own write
//   batched     a notification and the tools/list reply in one write
//   split       the initialize reply in two writes, 100 ms apart
//   crlf        every line ended by "\r\n"
//   asks        sends the client a request (string id) before answering initialize
//   exit        writes ARG bytes of log to stderr and exits when asked to initialize
//   silent      reads and never answers
//   grandchild  starts `sleep ARG` (a marker) first, then acts as plain
//   slowstart   answers initialize after ARG ms or, when ARG is not a number, once the file ARG exists
// Tools: echo (returns its arguments), answers (what the client sent back to the server's own requests), wrong_ids
// (replies only with ids that must not match), late (replies after "ms" ms or, given "until", once that file exists,
// having first created "until" + ".arrived"), env (one variable), received (the raw lines read so far), huge (its
// reply padded to "bytes" bytes), and tools with odd or missing names.
import { spawn } from "node:child_process";
import { existsSync, writeFileSync } from "node:fs";

const mode = process.argv[2] || "plain";
const arg = process.argv[3] || "";
const eol = mode === "crlf" ? "\r\n" : "\n";
const answers = [];
const received = [];  // the raw lines, as they came

if (mode === "grandchild") {
  spawn("sleep", [arg], { stdio: "ignore" });
}

function line(message) {
  return JSON.stringify(message) + eol;
}
function send(message) {
  process.stdout.write(line(message));
}
function reply(id, result) {
  send({ jsonrpc: "2.0", id, result });
}
function text(value) {
  return { content: [{ type: "text", text: JSON.stringify(value) }] };
}

const tools = [
  { name: "echo", description: "returns its arguments", inputSchema: { type: "object", properties: { value: {} } } },
  { name: "answers", inputSchema: { type: "object" } },
  { name: "wrong_ids", inputSchema: { type: "object" } },
  { name: "late", inputSchema: { type: "object" } },
  { name: "env", inputSchema: { type: "object", properties: { name: { type: "string" } } } },
  { name: 7 },
  { description: "no name" },
  { name: "schema-less" },
];

function handle(message) {
  if (message.method === undefined) {
    if ("id" in message) answers.push(message);  // the client's answer to one of our requests
    return;
  }
  if (!("id" in message)) return;  // a notification
  const id = message.id;
  switch (message.method) {
    case "initialize":
      if (mode === "exit") {
        process.stderr.write("x".repeat(Number(arg)) + "\nthe last line of the log\n\n", () => process.exit(3));
        return;
      }
      if (mode === "slowstart") {
        const answer = () => reply(id, { protocolVersion: "2025-06-18", capabilities: {} });
        if (!Number.isNaN(Number(arg))) return void setTimeout(answer, Number(arg));
        const poll = setInterval(() => {
          if (!existsSync(arg)) return;
          clearInterval(poll);
          answer();
        }, 20);
        return;
      }
      if (mode === "asks") send({ jsonrpc: "2.0", id: "srv-1", method: "roots/list", params: {} });
      if (mode === "split") {
        const whole = line({ jsonrpc: "2.0", id, result: { protocolVersion: "2025-06-18", capabilities: {} } });
        process.stdout.write(whole.slice(0, 20));
        setTimeout(() => process.stdout.write(whole.slice(20)), 100);
        return;
      }
      reply(id, { protocolVersion: "2025-06-18", capabilities: { tools: {} }, serverInfo: { name: "fake" } });
      return;
    case "tools/list":
      if (mode === "batched") {
        process.stdout.write(line({ jsonrpc: "2.0", method: "notifications/message", params: {} }) +
                             line({ jsonrpc: "2.0", id, result: { tools } }));
        return;
      }
      reply(id, { tools });
      return;
    case "tools/call": {
      const name = message.params && message.params.name;
      const args = (message.params && message.params.arguments) || {};
      if (name === "echo") return reply(id, text(args));
      if (name === "answers") return reply(id, text(answers));
      if (name === "received") return reply(id, text(received));
      if (name === "huge") {
        // The reply itself, padded to the size asked for: a reader that keeps such a line would answer the call.
        const pad = "x".repeat(Number(args.bytes));
        process.stdout.write(`{"jsonrpc":"2.0","id":${id},"result":{"pad":"${pad}"}}` + eol);
        return;
      }
      if (name === "env") return reply(id, text(process.env[args.name] ?? null));
      if (name === "late" && args.until) {
        writeFileSync(args.until + ".arrived", "");
        const poll = setInterval(() => {
          if (!existsSync(args.until)) return;
          clearInterval(poll);
          reply(id, text("late"));
        }, 20);
        return;
      }
      if (name === "late") return setTimeout(() => reply(id, text("late")), Number(args.ms));
      if (name === "wrong_ids") {
        for (const other of [String(id), id + 0.5, id + 4294967296, -4294967296 + id]) {
          process.stdout.write(`{"jsonrpc":"2.0","id":${JSON.stringify(other)},"result":{}}` + eol);
        }
        return;
      }
      send({ jsonrpc: "2.0", id, error: { code: -32602, message: "unknown tool " + name } });
      return;
    }
    default:
      send({ jsonrpc: "2.0", id, error: { code: -32601, message: "no method " + message.method } });
  }
}

if (mode !== "silent") {
  let pending = "";
  process.stdin.setEncoding("utf8");
  process.stdin.on("data", (chunk) => {
    pending += chunk;
    let end;
    while ((end = pending.indexOf("\n")) >= 0) {
      const text = pending.slice(0, end);
      pending = pending.slice(end + 1);
      received.push(text);
      if (text.trim()) handle(JSON.parse(text));
    }
  });
} else {
  process.stdin.resume();
}
