#include "support/haproxy_fixture.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace kestrona::test {

bool HaproxyProcess::Available() {
    return ::access(kBinary, X_OK) == 0;
}

bool HaproxyProcess::Start(const std::vector<int>& backendPorts,
                           const std::vector<int>& healthPorts) {
    if (!Available() || m_dir.Path().empty()) {
        return false;
    }
    m_port = FreeLoopbackPort();
    std::ostringstream conf;
    conf << "global\n"
            "    maxconn 4096\n"
            "defaults\n"
            "    mode tcp\n"
            "    timeout connect 2s\n"
            "    timeout client 60s\n"
            "    timeout server 60s\n"
            "    retries 3\n"
            "    option redispatch 1\n"
            "frontend phones\n"
            "    bind 127.0.0.1:"
         << m_port
         << "\n"
            "    default_backend directory\n"
            "backend directory\n"
            "    balance roundrobin\n";
    const bool http = healthPorts.size() == backendPorts.size() && !healthPorts.empty();
    if (http) {
        conf << "    option httpchk GET /healthz\n";
    }
    for (std::size_t i = 0; i < backendPorts.size(); ++i) {
        conf << "    server s" << i + 1 << " 127.0.0.1:" << backendPorts[i]
             << " send-proxy-v2 check inter 200ms fall 1 rise 1";
        if (http) {
            conf << " port " << healthPorts[i];
        }
        conf << "\n";
    }
    const std::filesystem::path path = m_dir.Path() / "haproxy.cfg";
    std::ofstream(path) << conf.str();
    if (!m_process.Start({kBinary, "-f", path.string(), "-db"}, m_dir.Path() / "haproxy.log")) {
        return false;
    }
    return WaitForPort(m_port, 10000);
}

std::string HaproxyProcess::Log() const {
    std::ifstream in(m_dir.Path() / "haproxy.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace kestrona::test
