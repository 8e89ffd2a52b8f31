// Routes of an OpenAI-compatible provider for the test HTTPS server (tests/common/https_server.js):
//   GET  /v1/models             {"object": "list", "data": [{"id": "tls-model"}]}
//   POST /v1/chat/completions   a stream of two events: {"body": the request body parsed, "authorization": the
//                               Authorization header or ""}, then [DONE]
'use strict';
module.exports = function (req, res, url) {
    if (url.pathname === '/v1/models' && req.method === 'GET') {
        res.writeHead(200, {'Content-Type': 'application/json'});
        res.end(JSON.stringify({object: 'list', data: [{id: 'tls-model', object: 'model'}]}));
        return true;
    }
    if (url.pathname === '/v1/chat/completions' && req.method === 'POST') {
        const chunks = [];
        req.on('data', (chunk) => chunks.push(chunk));
        req.on('end', () => {
            const echo = {body: JSON.parse(Buffer.concat(chunks).toString('utf8')),
                          authorization: req.headers.authorization || ''};
            res.writeHead(200, {'Content-Type': 'text/event-stream'});
            res.write('data: ' + JSON.stringify(echo) + '\n\n');
            res.end('data: [DONE]\n\n');
        });
        return true;
    }
    return false;
};
