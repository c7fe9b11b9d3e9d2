#include "support/coturn_fixture.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

namespace kestrona::test {

bool CoturnProcess::Available() {
    return ::access(kBinary, X_OK) == 0;
}

bool CoturnProcess::Start(const std::string& certificate, const std::string& key) {
    if (m_dir.Path().empty()) {
        return false;
    }
    m_port = FreeLoopbackPort();
    const bool tls = !certificate.empty();
    m_tlsPort = 0;
    while (tls && (m_tlsPort == 0 || m_tlsPort == m_port)) {
        m_tlsPort = FreeLoopbackPort();
    }
    const auto dir = m_dir.Path();
    std::ostringstream conf;
    conf << "listening-ip=" << kListenIp << "\n"
         << "relay-ip=" << kRelayIp << "\n"
         << "listening-port=" << m_port << "\n";
    if (tls) {
        conf << "tls-listening-port=" << m_tlsPort << "\n"
             << "cert=" << certificate << "\n"
             << "pkey=" << key << "\n";
    } else {
        conf << "no-tls\n";
    }
    conf << "no-udp\nno-dtls\nno-udp-relay\nno-cli\nno-stun-backward-compatibility\n"
         << "use-auth-secret\nstatic-auth-secret=" << m_secret << "\n"
         << "realm=" << kRealm
         << "\n"
         // Loopback only here; a production relay refuses loopback and
         // private peers.
         << "allow-loopback-peers\n"
         // Peers can only be relayed addresses on the relay itself.
         << "denied-peer-ip=0.0.0.0-255.255.255.255\n"
         << "allowed-peer-ip=" << kRelayIp << "\n"
         << "userdb=" << (dir / "turndb").string() << "\n"
         << "pidfile=" << (dir / "turn.pid").string() << "\n"
         << "log-file=stdout\nsimple-log\nverbose\n"
         << "total-quota=1000\nuser-quota=1000\n";
    std::ofstream(dir / "turnserver.conf") << conf.str();
    return Launch();
}

bool CoturnProcess::Launch() {
    const auto dir = m_dir.Path();
    if (!m_process.Start({kBinary, "-c", (dir / "turnserver.conf").string()},
                         dir / "turnserver.log")) {
        return false;
    }
    if (!WaitForPort(m_port, 10000) || (m_tlsPort != 0 && !WaitForPort(m_tlsPort, 10000))) {
        Stop();
        return false;
    }
    return true;
}

bool CoturnProcess::Restart() {
    Stop();
    return Launch();
}

std::string CoturnProcess::Log() const {
    std::ifstream in(m_dir.Path() / "turnserver.log", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

CoturnProcess::Credentials CoturnProcess::MakeCredentials(int validSeconds,
                                                          const std::string& number) const {
    return MakeCredentials(m_secret, static_cast<int64_t>(std::time(nullptr)) + validSeconds,
                           number);
}

CoturnProcess::Credentials CoturnProcess::MakeCredentials(const std::string& secret, int64_t expiry,
                                                          const std::string& number) {
    Credentials credentials;
    credentials.username = std::to_string(expiry) + ":" + number;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(credentials.username.data()),
         credentials.username.size(), digest, &length);
    unsigned char text[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int written = EVP_EncodeBlock(text, digest, static_cast<int>(length));
    credentials.password.assign(reinterpret_cast<const char*>(text), written);
    return credentials;
}

}  // namespace kestrona::test
