// A small HTTP listener that answers GET /metrics with the server's counters,
// for a Prometheus scraper, and GET /healthz for a load balancer's check
// (200 while the server can do its work, 503 otherwise). Runs one thread of
// its own between Start and Stop.
#pragma once

#include "server/options.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrona::server {

class MetricsEndpoint {
  public:
    // text is called once per scrape and healthy once per check, on the
    // endpoint's thread; neither may wait on anything slow. No healthy: always
    // healthy.
    MetricsEndpoint(std::string address, std::uint16_t port, std::function<std::string()> text,
                    std::function<bool()> healthy = {});
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Throws std::system_error when it cannot listen.
    void Start();
    void Stop();
    std::uint16_t port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrona::server
