// Plugin of the test HTTPS server (tests/common/https_server.js) that serves any catalog text a test names:
//   /body/<URL-encoded text>[/anything]   200 with the decoded text as the body
// so a catalog can sit both at a chosen address and under a Hub endpoint (HF_ENDPOINT) at the default path.
'use strict';
module.exports = function (req, res, url) {
    const match = /^\/body\/([^/]*)(\/.*)?$/.exec(url.pathname);
    if (!match) return false;
    res.writeHead(200, {'Content-Type': 'application/json'});
    res.end(Buffer.from(decodeURIComponent(match[1]), 'utf8'));
    return true;
};
