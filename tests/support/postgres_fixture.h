// A real PostgreSQL 15 cluster for tests: initdb and postgres in a temporary
// folder, listening on 127.0.0.1 at a free port. When the tests run as root
// the daemon runs as the "postgres" account, since it refuses root. The
// daemon gets SIGINT (fast shutdown) when the object goes or the test
// process dies.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/proxy_fixtures.h"

namespace kestrona::test {

class PostgresCluster {
  public:
    static constexpr const char* kBinDir = "/usr/lib/postgresql/15/bin";
    static bool Available();
    // One cluster for the whole test process, started at the first call;
    // null (with the reason in *why) when it cannot be started.
    static PostgresCluster* Shared(std::string* why = nullptr);

    PostgresCluster() = default;
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // Runs initdb and starts the daemon; false with the reason in Error().
    // Tests run without waiting for the disk; durable keeps PostgreSQL's own
    // settings, for measurements that should hold in production.
    bool Start(bool durable = false);
    void Stop();
    // Starts the stopped daemon again on the same data and port.
    bool Restart();
    int Port() const { return m_port; }
    // The daemon's process; -1 when it is not running.
    pid_t Pid() const { return m_pid; }
    // Stops (SIGSTOP) or resumes (SIGCONT) the daemon and every process it
    // started, as when its host stops answering: connections stay open and
    // nothing is answered.
    bool Freeze(bool frozen);
    // Creates an empty database with a fresh name and returns its
    // postgresql:// URI; empty on failure.
    std::string CreateDatabase();
    // The URI of an existing database.
    std::string Uri(const std::string& database) const;
    const std::string& Error() const { return m_error; }
    std::string Log() const;

  private:
    bool Run(const std::vector<std::string>& argv, bool wait, pid_t* pid);
    bool Launch();

    TempDir m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
    int m_databases = 0;
    bool m_durable = false;
    bool m_frozen = false;
    std::string m_error;
};

}  // namespace kestrona::test
