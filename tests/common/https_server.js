// A small HTTPS server for tests of the HTTP client, listening on 127.0.0.1 only.
//
//   node https_server.js --cert CERT --key KEY [--plugin FILE]
//
// Prints "listening <https port> <http port>" on stdout once it accepts connections; the second port serves the
// same routes without TLS. Routes (query values are URL-encoded):
//   /echo                       200, body: JSON {method, url, headers} of the request (header names lower-case)
//   /redirect?to=U[&status=S]   answer S (default 302) with "Location: U"
//   /location?status=S[&value=V] answer S with "Location: V", or with no Location when value is absent
//   /chain/N[?status=S]         N > 0: answer S (default 302) with "Location: /chain/N-1?..."; N = 0: 200 "end"
//   /status/S[?size=N]          answer S with N bytes of "e" (default 0)
//   /bytes/N[?ignore_range=1&cut=K&chunked=1]
//                               N bytes, byte i being i % 251; a "Range: bytes=A-" request gets 206 from A on
//                               (unless ignore_range); cut=K ends the connection after K bytes of the body
// A plugin module exporting function(req, res, url) -> bool may take requests first (for imitations of real
// services with fault modes); it returns true when it answered.
'use strict';
const http = require('http');
const https = require('https');
const fs = require('fs');

const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const plugin = args.plugin ? require(args.plugin) : null;

function bytePattern(from, to) {
    const out = Buffer.alloc(to - from);
    for (let i = from; i < to; i++) out[i - from] = i % 251;
    return out;
}

function sendBytes(req, res, url, total) {
    let start = 0;
    let status = 200;
    const range = /^bytes=(\d+)-$/.exec(req.headers.range || '');
    if (range && url.searchParams.get('ignore_range') !== '1') {
        start = Math.min(Number(range[1]), total);
        status = 206;
    }
    const headers = {'Content-Type': 'application/octet-stream'};
    if (status === 206) headers['Content-Range'] = `bytes ${start}-${total - 1}/${total}`;
    if (url.searchParams.get('chunked') !== '1') headers['Content-Length'] = String(total - start);
    res.writeHead(status, headers);
    const cut = url.searchParams.has('cut') ? Number(url.searchParams.get('cut')) : -1;
    const end = cut >= 0 ? Math.min(total, start + cut) : total;
    let at = start;
    const step = 65536;
    function pump() {
        while (at < end) {
            const next = Math.min(end, at + step);
            const more = res.write(bytePattern(at, next));
            at = next;
            if (!more) return res.once('drain', pump);
        }
        if (cut >= 0 && end < total) {
            // let the bytes leave, then break the connection without finishing the body
            setTimeout(() => req.socket.destroy(), 50);
        } else {
            res.end();
        }
    }
    pump();
}

function handle(req, res) {
    const url = new URL(req.url, 'https://' + (req.headers.host || 'localhost'));
    if (plugin && plugin(req, res, url)) return;
    const parts = url.pathname.split('/').filter(Boolean);
    const status = Number(url.searchParams.get('status') || 302);
    if (url.pathname === '/echo') {
        res.writeHead(200, {'Content-Type': 'application/json'});
        return res.end(JSON.stringify({method: req.method, url: req.url, headers: req.headers}));
    }
    if (url.pathname === '/redirect') {
        res.writeHead(status, {Location: url.searchParams.get('to')});
        return res.end('moved');
    }
    if (url.pathname === '/location') {
        const headers = url.searchParams.has('value') ? {Location: url.searchParams.get('value')} : {};
        res.writeHead(status, headers);
        return res.end();
    }
    if (parts[0] === 'chain') {
        const n = Number(parts[1]);
        if (n > 0) {
            res.writeHead(status, {Location: `/chain/${n - 1}${url.search}`});
            return res.end();
        }
        res.writeHead(200);
        return res.end('end');
    }
    if (parts[0] === 'status') {
        res.writeHead(Number(parts[1]));
        return res.end('e'.repeat(Number(url.searchParams.get('size') || 0)));
    }
    if (parts[0] === 'bytes') return sendBytes(req, res, url, Number(parts[1]));
    res.writeHead(404);
    res.end('no such route');
}

const server = https.createServer({cert: fs.readFileSync(args.cert), key: fs.readFileSync(args.key)}, handle);
const plain = http.createServer(handle);
server.listen(0, '127.0.0.1', () => {
    plain.listen(0, '127.0.0.1', () => {
        process.stdout.write(`listening ${server.address().port} ${plain.address().port}\n`);
    });
});
process.on('SIGTERM', () => process.exit(0));
