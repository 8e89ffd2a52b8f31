// The launcher's readiness probe of the local server.
#pragma once

// One GET /health to 127.0.0.1:8080 without a proxy, with 800 ms time-outs for connecting, sending and receiving;
// true only when a response with status 200 came (the body is not looked at). A closed port answers at once.
// Safe from any thread.
bool probe_health();
