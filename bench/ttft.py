#!/usr/bin/env python3
"""Time to first token of an OpenAI-compatible server (mivra serve or llama.cpp's server) on one chat request.

    bench/ttft.py URL PROMPT_FILE [--max-tokens 1]

Sends the file's text as one user message, streamed, greedy, and prints one JSON line: ttft (seconds from sending
the request to the first streamed piece of the answer), total (to the end of the stream) and prompt_tokens (as the
server counted them, when it reports usage). A stream that ends without any piece (an answer of one special token)
counts its end as the first token. The bench models have random weights, so their answer need not fit the chat
format the server parses it into: llama.cpp's server then ends the stream with an error event right after the
first token instead of [DONE]; that event counts as the first token and the end, and its message goes into
"output_error". Exits non-zero on an HTTP error, any other error event or a stream cut short.
"""
import http.client
import json
import sys
import time
import urllib.parse


def main():
    url, prompt_file = sys.argv[1], sys.argv[2]
    max_tokens = int(sys.argv[sys.argv.index("--max-tokens") + 1]) if "--max-tokens" in sys.argv else 1
    prompt = open(prompt_file, encoding="utf-8").read()
    u = urllib.parse.urlparse(url)
    body = json.dumps({"messages": [{"role": "user", "content": prompt}], "stream": True,
                       "stream_options": {"include_usage": True}, "max_tokens": max_tokens, "temperature": 0})
    conn = http.client.HTTPConnection(u.hostname, u.port, timeout=3600)
    start = time.monotonic()
    conn.request("POST", "/v1/chat/completions", body, {"Content-Type": "application/json"})
    resp = conn.getresponse()
    if resp.status != 200:
        sys.stderr.write("HTTP %d: %s\n" % (resp.status, resp.read()[:500]))
        sys.exit(1)
    first = None
    prompt_tokens = None
    done = False
    output_error = None
    for raw in resp:
        line = raw.decode("utf-8", "replace").strip()
        if not line.startswith("data:"):
            continue
        data = line[5:].strip()
        if data == "[DONE]":
            done = True
            break
        event = json.loads(data)
        if event.get("error"):
            message = str((event["error"] or {}).get("message", event["error"]))
            if "does not match the expected" not in message:
                sys.stderr.write("error event after %.1f s: %s\n" % (time.monotonic() - start, message))
                sys.exit(1)
            output_error = message
            break
        if event.get("usage"):
            prompt_tokens = event["usage"].get("prompt_tokens", prompt_tokens)
        for choice in event.get("choices") or []:
            delta = choice.get("delta") or {}
            if first is None and any(delta.get(k) for k in ("content", "reasoning_content", "tool_calls")):
                first = time.monotonic() - start
    total = time.monotonic() - start
    if not done and output_error is None:
        sys.stderr.write("the stream ended without [DONE] after %.1f s\n" % total)
        sys.exit(1)
    result = {"ttft": first if first is not None else total, "total": total, "prompt_tokens": prompt_tokens}
    if output_error is not None:
        result["output_error"] = output_error
    print(json.dumps(result))


if __name__ == "__main__":
    main()
