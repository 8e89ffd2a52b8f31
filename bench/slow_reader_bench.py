#!/usr/bin/env python3
"""The slow-reader figure of `mivra serve`: the time of one client's 8-token request while 4 other clients stream
long replies and never read them.

    bench/slow_reader_bench.py BUILD_DIR PACK_DIR [--fill-seconds 600] [--port 18432]

Starts mivra-test-server (scripted output, drafts off, -np 8, context 32768), opens 4 connections with a small
receive buffer that ask for streams of 30000 tokens and never read, waits until their replies have filled every
buffer on the way (until the server's send queues towards them stop growing for 2 s, at most --fill-seconds), then
times a streamed 8-token request of a fifth client, three times."""
import json, os, socket, subprocess, sys, tempfile, time, urllib.request

def send_queued(port):
    """Bytes waiting in the server's send queues of its connections on `port` (/proc/net/tcp)."""
    total = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] == "01":
                total += int(fields[4].split(":")[0], 16)
    return total


def main():
    build, pack = sys.argv[1], sys.argv[2]
    fill = float(sys.argv[sys.argv.index("--fill-seconds") + 1]) if "--fill-seconds" in sys.argv else 600.0
    port = int(sys.argv[sys.argv.index("--port") + 1]) if "--port" in sys.argv else 18432
    scratch = tempfile.mkdtemp(prefix="slow-reader-bench-")
    env = dict(os.environ, HOME=scratch, XDG_DATA_HOME=scratch + "/data", XDG_CONFIG_HOME=scratch + "/config",
               XDG_STATE_HOME=scratch + "/state", MIVRA_CATALOG=scratch + "/none.json")
    err = open(scratch + "/server.err", "w")
    server = subprocess.Popen([build + "/bin/mivra-test-server", "serve", pack, "--port", str(port), "-np", "8",
                               "-c", "32768", "-t", "1", "--io-threads", "1", "--kv-disk-mb", "0", "--draft", "0"],
                              stdout=subprocess.DEVNULL, stderr=err, env=env)
    url = "http://127.0.0.1:%d" % port
    try:
        for _ in range(600):
            try:
                urllib.request.urlopen(url + "/health", timeout=1).read()
                break
            except OSError:
                time.sleep(0.1)
        body = json.dumps({"messages": [{"role": "user", "content": "[[loop:Never read me, a long line. ]]"}],
                           "stream": True, "max_tokens": 30000}).encode()
        request = (b"POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                   b"Content-Length: %d\r\n\r\n" % (port, len(body))) + body
        readers = []
        for _ in range(4):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", port))
            s.sendall(request)
            readers.append(s)
        start, last, steady_since = time.monotonic(), -1, time.monotonic()
        while time.monotonic() - start < fill and time.monotonic() - steady_since < 2:
            time.sleep(1)
            queued = send_queued(port)
            if queued != last:
                last, steady_since = queued, time.monotonic()
        print("after %.0f s, %.1f MB wait in the server's send queues to the 4 clients"
              % (time.monotonic() - start, last / 1e6))
        quick = json.dumps({"messages": [{"role": "user", "content": "[[loop:ab]]"}], "stream": True,
                            "max_tokens": 8}).encode()
        for attempt in range(3):
            start = time.monotonic()
            req = urllib.request.Request(url + "/v1/chat/completions", data=quick,
                                         headers={"Content-Type": "application/json"})
            urllib.request.urlopen(req, timeout=600).read()
            print("8-token request beside 4 clients that never read: %.3f s" % (time.monotonic() - start))
    finally:
        server.kill()
        server.wait()

main()
