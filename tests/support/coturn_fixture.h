// A real TURN relay for tests: turnserver on loopback at a free TCP port,
// TCP relaying only (and TLS to it on a second port when asked), with
// time-limited credentials made from a shared
// secret as the directory server makes them. Its configuration and log live
// in a temporary folder; the daemon is stopped and reaped when the object
// goes, and by the kernel when the test process dies.
#pragma once

#include <cstdint>
#include <string>

#include "support/proxy_fixtures.h"

namespace kestrona::test {

class CoturnProcess {
  public:
    static constexpr const char* kBinary = "/usr/bin/turnserver";
    static constexpr const char* kListenIp = "127.0.0.1";
    // Relayed addresses live on a loopback address of their own, so that a
    // test connecting from 127.0.0.1 is a stranger to the relay.
    static constexpr const char* kRelayIp = "127.0.0.2";
    static constexpr const char* kRealm = "kestrona";
    static bool Available();

    CoturnProcess() = default;
    ~CoturnProcess() { Stop(); }
    CoturnProcess(const CoturnProcess&) = delete;
    CoturnProcess& operator=(const CoturnProcess&) = delete;

    // Starts on a free port; false (with the log) when it does not listen
    // within 10 s. With a certificate and its key (PEM files) it listens for
    // TLS as well, on TlsPort().
    bool Start(const std::string& certificate = {}, const std::string& key = {});
    // SIGTERM, then SIGKILL after a bound; reaped either way.
    void Stop() { m_process.Stop(); }
    // Starts again on the same port and configuration.
    bool Restart();
    int Port() const { return m_port; }
    int TlsPort() const { return m_tlsPort; }  // 0: no TLS
    std::string Log() const;

    // USERNAME "EXPIRY:NUMBER" and password base64(HMAC-SHA1(secret,
    // username)); `validSeconds` may be negative for expired credentials.
    struct Credentials {
        std::string username;
        std::string password;
    };
    Credentials MakeCredentials(int validSeconds = 3600, const std::string& number = "1") const;
    static Credentials MakeCredentials(const std::string& secret, int64_t expiry,
                                       const std::string& number);

  private:
    bool Launch();

    TempDir m_dir;
    ChildProcess m_process;
    int m_port = 0;
    int m_tlsPort = 0;
    std::string m_secret = "kestrona-test-secret";
};

}  // namespace kestrona::test
