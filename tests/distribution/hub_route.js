// Plugin of the test HTTPS server (tests/common/https_server.js): an imitation of the Hugging Face Hub that serves
// model repos from a folder on disk, for tests of `mivra pull`. A test points HF_ENDPOINT at
//
//   https://127.0.0.1:PORT/hub/<ROOT>/<FAULTS>
//
// ROOT is the URL-encoded path of a folder that holds <owner>/<name>/<revision>/<files>; FAULTS is "-" or a
// comma-separated list of fault modes (below). Under that prefix:
//   /api/models/<owner>/<name>/tree/<rev>   the tree listing of the revision's root, as the Hub gives it: files with
//                                           "oid" (Git blob id) and "size"; files named *.gguf or *.bin are in LFS
//                                           and carry "lfs": {"oid": SHA-256, "size", "pointerSize"}; folders as
//                                           "directory". A file <owner>/<name>/tree-<encoded rev>.json, when
//                                           present, is served as the listing instead. 404 for a missing repo.
//   /<owner>/<name>/resolve/<rev>/<file>    a plain file is served here; an LFS file is redirected (302) to the
//                                           other host name (127.0.0.1 <-> localhost) under /cdn/<ROOT>/<FAULTS>/
//                                           <owner>/<name>/<rev>/<file>, as the Hub sends LFS files to its CDN.
// Files are served with "Range: bytes=A-" support (206 with Content-Range). Fault modes:
//   status=N        every request under /hub answers N
//   cut=N           the first transfer of each file breaks its connection after N bytes of body
//   ignore_range    a range request gets 200 and the whole file
//   bad_range       a range request gets 206 with the whole file, labelled "bytes 0-<last>/<size>"
//   corrupt=FILE    the byte in the middle of FILE is served inverted
//   missing=FILE    FILE answers 404 at its resolve address
//   endless_listing the tree listing is "[" followed by spaces that never end (until the client goes away)
//   drip_listing    the tree listing is "[" followed by one space every 200 ms, without end
// Every request is logged as one JSON line {where, host, path, range, auth} to ROOT/requests.log.
'use strict';
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

const hashes = new Map(); // file path -> {key, sha1, sha256}
const cutDone = new Set(); // ROOT + file: the one cut of that file has happened

function isLfs(name) {
    return name.endsWith('.gguf') || name.endsWith('.bin');
}

function parseFaults(text) {
    const faults = {};
    if (text === '-' || text === '') return faults;
    for (const item of text.split(',')) {
        const eq = item.indexOf('=');
        if (eq < 0) faults[item] = true;
        else faults[item.slice(0, eq)] = item.slice(eq + 1);
    }
    return faults;
}

async function fileHashes(file) {
    const st = await fs.promises.stat(file);
    const key = `${st.size}:${st.mtimeMs}`;
    const cached = hashes.get(file);
    if (cached && cached.key === key) return cached;
    const sha1 = crypto.createHash('sha1');
    const sha256 = crypto.createHash('sha256');
    sha1.update(`blob ${st.size}\0`);
    await new Promise((resolve, reject) => {
        fs.createReadStream(file, {highWaterMark: 1 << 20})
            .on('data', (chunk) => {
                sha1.update(chunk);
                sha256.update(chunk);
            })
            .on('end', resolve)
            .on('error', reject);
    });
    const entry = {key, size: st.size, sha1: sha1.digest('hex'), sha256: sha256.digest('hex')};
    hashes.set(file, entry);
    return entry;
}

function gitBlobId(text) {
    return crypto.createHash('sha1').update(`blob ${Buffer.byteLength(text)}\0`).update(text).digest('hex');
}

async function listing(folder) {
    const out = [];
    const names = (await fs.promises.readdir(folder)).sort();
    for (const name of names) {
        const full = path.join(folder, name);
        const st = await fs.promises.stat(full);
        if (st.isDirectory()) {
            out.push({type: 'directory', oid: gitBlobId(name), size: 0, path: name});
            continue;
        }
        const h = await fileHashes(full);
        if (isLfs(name)) {
            const pointer = `version https://git-lfs.github.com/spec/v1\noid sha256:${h.sha256}\nsize ${h.size}\n`;
            out.push({type: 'file', oid: gitBlobId(pointer), size: h.size, path: name,
                      lfs: {oid: h.sha256, size: h.size, pointerSize: Buffer.byteLength(pointer)}});
        } else {
            out.push({type: 'file', oid: h.sha1, size: h.size, path: name});
        }
    }
    return out;
}

function sendJson(res, status, value) {
    res.writeHead(status, {'Content-Type': 'application/json'});
    res.end(JSON.stringify(value));
}

// Serves one file of a repo with range support and the fault modes.
async function sendFile(req, res, root, faults, file, name) {
    const size = (await fs.promises.stat(file)).size;
    let start = 0;
    let status = 200;
    let label = null;
    const range = /^bytes=(\d+)-$/.exec(req.headers.range || '');
    if (range && !faults.ignore_range) {
        status = 206;
        if (faults.bad_range) {
            label = `bytes 0-${size - 1}/${size}`;
        } else {
            start = Math.min(Number(range[1]), size);
            label = `bytes ${start}-${size - 1}/${size}`;
        }
    }
    const headers = {'Content-Type': 'application/octet-stream', 'Content-Length': String(size - start)};
    if (label) headers['Content-Range'] = label;
    res.writeHead(status, headers);

    let end = size;
    const cutKey = root + '\n' + name;
    if (faults.cut !== undefined && !cutDone.has(cutKey)) {
        cutDone.add(cutKey);
        end = Math.min(size, start + Number(faults.cut));
    }
    const corruptAt = faults.corrupt === name ? Math.floor(size / 2) : -1;
    const handle = await fs.promises.open(file, 'r');
    try {
        const buffer = Buffer.alloc(1 << 20);
        for (let at = start; at < end;) {
            const {bytesRead} = await handle.read(buffer, 0, Math.min(buffer.length, end - at), at);
            if (bytesRead === 0) break;
            const chunk = Buffer.from(buffer.subarray(0, bytesRead));
            if (corruptAt >= at && corruptAt < at + bytesRead) chunk[corruptAt - at] ^= 0xff;
            at += bytesRead;
            if (!res.write(chunk)) {
                await new Promise((resolve) => {
                    const done = () => {
                        res.off('drain', done);
                        res.off('close', done); // the client went away
                        resolve();
                    };
                    res.on('drain', done);
                    res.on('close', done);
                });
            }
            if (res.destroyed) return;
        }
    } finally {
        await handle.close();
    }
    if (end < size) {
        // let the bytes leave, then break the connection without finishing the body
        setTimeout(() => req.socket.destroy(), 50);
    } else {
        res.end();
    }
}

function log(root, req, where, url) {
    const line = JSON.stringify({where, host: req.headers.host || '', path: url.pathname,
                                 range: req.headers.range || '', auth: req.headers.authorization || ''});
    fs.appendFileSync(path.join(root, 'requests.log'), line + '\n');
}

async function handle(req, res, url, parts) {
    const where = parts[0];
    const root = parts[1];
    const faults = parseFaults(parts[2] || '-');
    const rest = parts.slice(3);
    log(root, req, where === 'cdn' ? 'cdn' : rest[0] === 'api' ? 'api' : 'resolve', url);
    if (where === 'cdn') {
        const [owner, name, rev, file] = rest;
        return sendFile(req, res, root, faults, path.join(root, owner, name, rev, file), file);
    }
    if (faults.status) return sendJson(res, Number(faults.status), {error: 'imitated failure'});
    if (rest[0] === 'api' && rest[1] === 'models' && rest[4] === 'tree' && rest.length === 6 &&
        (faults.endless_listing || faults.drip_listing)) {
        res.writeHead(200, {'Content-Type': 'application/json'});
        res.write('[');
        if (faults.drip_listing) {
            const timer = setInterval(() => res.write(' '), 200);
            res.on('close', () => clearInterval(timer));
            return;
        }
        const block = Buffer.alloc(1 << 20, 0x20);
        const more = () => {
            while (!res.destroyed && res.write(block)) {}
            if (!res.destroyed) res.once('drain', more);
        };
        return more();
    }
    if (rest[0] === 'api' && rest[1] === 'models' && rest[4] === 'tree' && rest.length === 6) {
        const [owner, name, rev] = [rest[2], rest[3], rest[5]];
        const override = path.join(root, owner, name, `tree-${encodeURIComponent(rev)}.json`);
        if (fs.existsSync(override)) {
            res.writeHead(200, {'Content-Type': 'application/json'});
            return res.end(fs.readFileSync(override));
        }
        const folder = path.join(root, owner, name, rev);
        if (!fs.existsSync(folder)) return sendJson(res, 404, {error: 'Repository not found'});
        return sendJson(res, 200, await listing(folder));
    }
    if (rest[2] === 'resolve' && rest.length === 5) {
        const [owner, name, , rev, file] = rest;
        const full = path.join(root, owner, name, rev, file);
        if (faults.missing === file || !fs.existsSync(full)) return sendJson(res, 404, {error: 'Entry not found'});
        if (!isLfs(file)) return sendFile(req, res, root, faults, full, file);
        const [hostName, port] = (req.headers.host || '127.0.0.1').split(':');
        const other = hostName === 'localhost' ? '127.0.0.1' : 'localhost';
        const target = ['cdn', parts[1], parts[2], owner, name, rev, file].map(encodeURIComponent).join('/');
        res.writeHead(302, {Location: `https://${other}:${port}/${target}`});
        return res.end();
    }
    return sendJson(res, 404, {error: 'no such route'});
}

module.exports = function (req, res, url) {
    const parts = url.pathname.split('/').filter(Boolean).map(decodeURIComponent);
    if ((parts[0] !== 'hub' && parts[0] !== 'cdn') || parts.length < 3) return false;
    handle(req, res, url, parts).catch((e) => {
        if (!res.headersSent) sendJson(res, 500, {error: String(e)});
        else res.destroy();
    });
    return true;
};
