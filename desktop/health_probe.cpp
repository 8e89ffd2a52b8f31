#include "desktop/health_probe.h"

#include "httplib.h"

bool probe_health() {
    httplib::Client client("127.0.0.1", 8080);
    client.set_connection_timeout(0, 800000);
    client.set_read_timeout(0, 800000);
    client.set_write_timeout(0, 800000);
    client.set_keep_alive(false);
    const httplib::Result result = client.Get("/health", httplib::Headers{{"User-Agent", "Mivra Desktop"}});
    return result && result->status == 200;
}
