// A real HAProxy on loopback for tests: a TCP balancer on a free port in front
// of the given backends, each connection handed on with a PROXY protocol v2
// header, configuration in a temporary folder. Stops with the object.
#pragma once

#include <string>
#include <vector>

#include "support/proxy_fixtures.h"

namespace kestrona::test {

class HaproxyProcess {
  public:
    static constexpr const char* kBinary = "/usr/sbin/haproxy";
    static bool Available();
    // Round robin over backend ports on 127.0.0.1, checked every 200 ms; a
    // connection that a backend refuses is tried on another. With
    // healthPorts (one per backend), the check is an HTTP GET /healthz on
    // that port instead of a connect, so a backend whose database hangs
    // leaves the rotation.
    bool Start(const std::vector<int>& backendPorts, const std::vector<int>& healthPorts = {});
    void Stop() { m_process.Stop(); }
    int Port() const { return m_port; }
    // The balancer's process, for its CPU time; -1 when not running.
    pid_t Pid() const { return m_process.Pid(); }
    std::string Log() const;

  private:
    TempDir m_dir;
    ChildProcess m_process;
    int m_port = 0;
};

}  // namespace kestrona::test
