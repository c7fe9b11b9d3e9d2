#include "support/postgres_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace kestrona::test {

namespace {

constexpr const char* kAccount = "postgres";

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::unique_ptr<PostgresCluster>& SharedCluster() {
    static std::unique_ptr<PostgresCluster> cluster;
    return cluster;
}

}  // namespace

bool PostgresCluster::Available() {
    std::string initdb = std::string(kBinDir) + "/initdb";
    if (::access(initdb.c_str(), X_OK) != 0) {
        return false;
    }
    return ::geteuid() != 0 || ::getpwnam(kAccount) != nullptr;
}

PostgresCluster* PostgresCluster::Shared(std::string* why) {
    auto& cluster = SharedCluster();
    static std::string error;
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto started = std::make_unique<PostgresCluster>();
        if (!Available()) {
            error = "PostgreSQL 15 is not installed";
        } else if (!started->Start()) {
            error = started->Error() + "\n" + started->Log();
        } else {
            cluster = std::move(started);
        }
    }
    if (why) {
        *why = error;
    }
    return cluster.get();
}

PostgresCluster::~PostgresCluster() {
    Stop();
}

// Starts argv as a child whose output goes to the log, as the unprivileged
// account when we are root. The daemon itself is told to stop when this
// process dies, so no cluster outlives a crashed test.
bool PostgresCluster::Run(const std::vector<std::string>& argv, bool wait, pid_t* pid_out) {
    const passwd* account = ::geteuid() == 0 ? ::getpwnam(kAccount) : nullptr;
    if (::geteuid() == 0 && !account) {
        m_error = "no account named postgres";
        return false;
    }
    uid_t uid = account ? account->pw_uid : 0;
    gid_t gid = account ? account->pw_gid : 0;
    std::string log = (m_dir.Path() / "postgres.log").string();
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        m_error = "fork failed";
        return false;
    }
    if (pid == 0) {
        if (account) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
                ::_exit(126);
            }
        }
        // Set after the change of user, which clears it.
        ::prctl(PR_SET_PDEATHSIG, SIGINT);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        ::chdir(m_dir.Path().c_str());
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (!wait) {
        *pid_out = pid;
        return true;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m_error = argv[0] + " failed";
        return false;
    }
    return true;
}

bool PostgresCluster::Start(bool durable) {
    if (m_dir.Path().empty()) {
        m_error = "no temporary folder";
        return false;
    }
    const std::string bin = kBinDir;
    const std::string data = (m_dir.Path() / "pg").string();
    // initdb takes many seconds on a busy machine; each test process after
    // the first copies the cluster it made, kept in the build folder. The
    // copy is complete before it takes the shared name.
#ifdef KESTRONA_BINARY_DIR
    const std::string shared = std::string(KESTRONA_BINARY_DIR) + "/postgres-template";
#else
    const std::string shared;
#endif
    // The account may not reach the build folder (a clone under /root): then
    // every process runs initdb.
    bool copied = false;
    if (!shared.empty() && std::filesystem::exists(std::filesystem::path(shared) / "PG_VERSION")) {
        copied = Run({"/bin/cp", "-a", shared, data}, true, nullptr);
        if (!copied) {
            std::error_code ec;
            std::filesystem::remove_all(data, ec);
            m_error.clear();
        }
    }
    if (!copied) {
        if (!Run({bin + "/initdb", "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                  "--no-sync", "--no-instructions"},
                 true, nullptr)) {
            return false;
        }
        if (!shared.empty()) {
            // As root: the account copies its files into a folder of ours.
            const std::string staging = shared + "." + std::to_string(::getpid());
            std::error_code ec;
            std::filesystem::create_directory(staging, ec);
            ::chmod(staging.c_str(), 0777);
            if (!Run({"/bin/cp", "-a", data, staging + "/pg"}, true, nullptr) ||
                std::rename((staging + "/pg").c_str(), shared.c_str()) != 0) {
                // Another process was first, or the build folder is not ours.
                m_error.clear();
            }
            std::filesystem::remove_all(staging, ec);
        }
    }
    m_port = FreeLoopbackPort();
    m_durable = durable;
    return Launch();
}

bool PostgresCluster::Restart() {
    Stop();
    return Launch();
}

bool PostgresCluster::Freeze(bool frozen) {
    if (m_pid <= 0) {
        return false;
    }
    const int signal = frozen ? SIGSTOP : SIGCONT;
    // The daemon first, so that it starts no new process meanwhile.
    if (::kill(m_pid, signal) != 0) {
        return false;
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        // pid (name) state ppid ...: the name may hold spaces.
        std::size_t close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 1));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == m_pid) {
            ::kill(static_cast<pid_t>(std::stol(entry.path().filename().string())), signal);
        }
    }
    m_frozen = frozen;
    return true;
}

bool PostgresCluster::Launch() {
    const std::string bin = kBinDir;
    const std::string data = (m_dir.Path() / "pg").string();
    std::vector<std::string> argv{bin + "/postgres",
                                  "-D",
                                  data,
                                  "-p",
                                  std::to_string(m_port),
                                  "-k",
                                  m_dir.Path().string(),
                                  "-c",
                                  "listen_addresses=127.0.0.1",
                                  "-c",
                                  "max_connections=200"};
    if (!m_durable) {
        // Durability is no concern for a test cluster; without it the tests
        // do not wait for the disk.
        for (const char* setting :
             {"fsync=off", "synchronous_commit=off", "full_page_writes=off"}) {
            argv.insert(argv.end(), {"-c", setting});
        }
    }
    if (!Run(argv, false, &m_pid)) {
        return false;
    }
    std::string ping = "host=127.0.0.1 port=" + std::to_string(m_port) +
                       " user=postgres dbname=postgres connect_timeout=2";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (PQping(ping.c_str()) == PQPING_OK) {
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "postgres ended at start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    m_error = "postgres did not answer within 60 s";
    Stop();
    return false;
}

void PostgresCluster::Stop() {
    if (m_pid <= 0) {
        return;
    }
    if (m_frozen) {
        Freeze(false);
    }
    ::kill(m_pid, SIGINT);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(m_pid, SIGQUIT);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

std::string PostgresCluster::Uri(const std::string& database) const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(m_port) + "/" + database;
}

std::string PostgresCluster::CreateDatabase() {
    std::string name =
        "kestrona_" + std::to_string(::getpid()) + "_" + std::to_string(++m_databases);
    PGconn* conn = PQconnectdb(Uri("postgres").c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(conn, ("CREATE DATABASE " + name).c_str());
        ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok) {
            m_error = PQerrorMessage(conn);
        }
        PQclear(r);
    } else {
        m_error = PQerrorMessage(conn);
    }
    PQfinish(conn);
    return ok ? Uri(name) : std::string();
}

std::string PostgresCluster::Log() const {
    return ReadAll(m_dir.Path() / "postgres.log");
}

}  // namespace kestrona::test
