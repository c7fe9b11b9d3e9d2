// A PostgreSQL cluster that fails over by itself, for tests: one etcd, two
// Patroni nodes each managing a PostgreSQL 15 data folder (a primary and a
// synchronous standby), and HAProxy in front that sends database
// connections to whichever node Patroni's REST API names the primary. All
// of it in a temporary folder on loopback at free ports; the daemons run as
// the "postgres" account when the tests run as root. Every process is
// killed, and reaped, when the object goes; Patroni and etcd are also told
// to stop when the test process dies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/proxy_fixtures.h"

namespace kestrona::test {

class PatroniCluster {
  public:
    // Patroni's timing in seconds. ttl: how long the leader key outlives a
    // leader that stopped renewing it, which bounds the failover time;
    // loop_wait: the pause between Patroni's rounds; retry_timeout: how long
    // etcd and PostgreSQL may fail to answer before the leader steps down.
    struct Settings {
        int ttl = 8;
        int loop_wait = 1;
        int retry_timeout = 3;
        // Strict: no commit is acknowledged without a synchronous standby,
        // so with two nodes writes wait while one of them is away.
        bool strict = false;
    };

    static constexpr const char* kPatroni = "/usr/bin/patroni";
    static constexpr const char* kPatronictl = "/usr/bin/patronictl";
    static constexpr const char* kEtcd = "/usr/bin/etcd";
    static constexpr const char* kHaproxy = "/usr/sbin/haproxy";
    static constexpr const char* kBinDir = "/usr/lib/postgresql/15/bin";
    static constexpr int kNodes = 2;

    // Empty when every component is installed; else what is missing.
    static std::string Missing();

    PatroniCluster() : PatroniCluster(Settings()) {}
    explicit PatroniCluster(Settings settings);
    ~PatroniCluster();
    PatroniCluster(const PatroniCluster&) = delete;
    PatroniCluster& operator=(const PatroniCluster&) = delete;

    // Starts etcd, the first node (which bootstraps the cluster), the second
    // (a copy of the first that becomes its synchronous standby) and the
    // balancer; false with the reason in Error().
    bool Start();
    const Settings& settings() const { return m_settings; }

    // The balancer's port, and a database URI through it.
    int Port() const { return m_balancerPort; }
    std::string Uri(const std::string& database) const;
    // An empty database with a fresh name, through the balancer; its URI, or
    // empty on failure.
    std::string CreateDatabase();

    // The node whose Patroni answers /primary with 200; -1 when none does.
    int Primary() const;
    // True when the node's Patroni says it is the synchronous standby.
    bool IsSyncStandby(int node) const;
    // Polls until ready() holds or timeout passes.
    static bool WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout);

    // SIGKILL to the node's Patroni and to its PostgreSQL and every process
    // of it, as when the host dies; returns once they are gone.
    void Kill(int node);
    // Starts the node's Patroni again on its data (it rejoins as a standby).
    bool StartNode(int node);
    // A planned switch with patronictl: the primary is demoted and the
    // given node promoted. False when patronictl fails.
    bool Switchover(int candidate);

    const std::string& Error() const { return m_error; }
    // The ends of every log, for a failure message.
    std::string Log() const;

  private:
    struct Node {
        std::string name;
        std::filesystem::path dir;
        int pgPort = 0;
        int restPort = 0;
        pid_t patroni = -1;
    };
    pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& log);
    bool WriteNodeConfig(const Node& node);
    void KillPostgres(const Node& node);
    // Reaps the node's Patroni if it exited: true when it no longer runs.
    bool Ended(int node);
    void StopAll();

    Settings m_settings;
    TempDir m_dir;
    std::vector<Node> m_nodes;
    int m_etcdPort = 0;
    int m_etcdPeerPort = 0;
    pid_t m_etcd = -1;
    ChildProcess m_haproxy;
    int m_balancerPort = 0;
    int m_databases = 0;
    std::string m_error;
};

}  // namespace kestrona::test
