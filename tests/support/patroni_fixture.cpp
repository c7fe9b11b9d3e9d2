#include "support/patroni_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
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

std::string Tail(const std::filesystem::path& path, std::size_t bytes = 3000) {
    std::string text = ReadAll(path);
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

// The status code of GET path on 127.0.0.1:port; 0 when nothing answered
// within a second.
int HttpStatus(int port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    timeval tv{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[64] = {};
            ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, 0);
            // "HTTP/1.0 200 OK"
            if (n >= 12 && std::string_view(buffer, 5) == "HTTP/") {
                status = std::atoi(buffer + 9);
            }
        }
    }
    ::close(fd);
    return status;
}

// Processes whose parent is pid, read from /proc.
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
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
        if (ppid == pid) {
            children.push_back(static_cast<pid_t>(std::atol(entry.path().filename().c_str())));
        }
    }
    return children;
}

// Alive and not a zombie waiting for a parent that is not us.
bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace

std::string PatroniCluster::Missing() {
    for (const char* binary : {kPatroni, kEtcd, kHaproxy}) {
        if (::access(binary, X_OK) != 0) {
            return std::string(binary) + " is not installed";
        }
    }
    if (::access((std::string(kBinDir) + "/initdb").c_str(), X_OK) != 0) {
        return "PostgreSQL 15 is not installed";
    }
    if (::geteuid() == 0 && !::getpwnam(kAccount)) {
        return "no account named postgres";
    }
    return {};
}

PatroniCluster::PatroniCluster(Settings settings) : m_settings(settings) {}

PatroniCluster::~PatroniCluster() {
    StopAll();
}

// argv as a child in a process group of its own, as the unprivileged
// account when we are root, output to log; told to stop when we die.
pid_t PatroniCluster::Spawn(const std::vector<std::string>& argv,
                            const std::filesystem::path& log) {
    const passwd* account = ::geteuid() == 0 ? ::getpwnam(kAccount) : nullptr;
    uid_t uid = account ? account->pw_uid : 0;
    gid_t gid = account ? account->pw_gid : 0;
    const std::string home = account ? m_dir.Path().string() : "";
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        m_error = "fork failed";
        return -1;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        if (account) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
                ::_exit(126);
            }
            // Patroni and psql read their dot files from the home folder.
            ::setenv("HOME", home.c_str(), 1);
        }
        // Set after the change of user, which clears it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        if (::chdir(m_dir.Path().c_str()) != 0) {
            ::_exit(127);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    // Also here, so that a kill of the group right after the fork finds it.
    ::setpgid(pid, pid);
    return pid;
}

bool PatroniCluster::WriteNodeConfig(const Node& node) {
    const std::string dir = node.dir.string();
    std::ostringstream c;
    // ttl, loop_wait and retry_timeout as the test chose them; on a failure
    // of the leader the standby takes over once the leader key expires.
    c << "scope: kestrona\n"
         "name: "
      << node.name
      << "\n"
         "log:\n"
         "  level: INFO\n"
         "restapi:\n"
         "  listen: 127.0.0.1:"
      << node.restPort << "\n  connect_address: 127.0.0.1:" << node.restPort
      << "\n"
         "etcd3:\n"
         "  hosts: 127.0.0.1:"
      << m_etcdPort
      << "\n"
         "bootstrap:\n"
         "  dcs:\n"
         "    ttl: "
      << m_settings.ttl << "\n    loop_wait: " << m_settings.loop_wait
      << "\n    retry_timeout: " << m_settings.retry_timeout
      << "\n"
         "    maximum_lag_on_failover: 1048576\n"
         "    synchronous_mode: true\n"
         "    synchronous_mode_strict: "
      << (m_settings.strict ? "true" : "false")
      << "\n"
         "    postgresql:\n"
         "      use_pg_rewind: true\n"
         "      remove_data_directory_on_rewind_failure: true\n"
         "      remove_data_directory_on_diverged_timelines: true\n"
         "      parameters:\n"
         "        wal_log_hints: 'on'\n"
         "        max_connections: 200\n"
         // A killed process leaves its writes in the page cache, which the
         // test never loses: no need to wait for the disk.
         "        fsync: 'off'\n"
         "  initdb:\n"
         "  - encoding: UTF8\n"
         "  - auth: trust\n"
         "postgresql:\n"
         "  listen: 127.0.0.1:"
      << node.pgPort << "\n  connect_address: 127.0.0.1:" << node.pgPort << "\n  data_dir: " << dir
      << "/data\n  bin_dir: " << kBinDir << "\n  pgpass: " << dir
      << "/pgpass\n"
         "  authentication:\n"
         "    superuser: {username: postgres}\n"
         "    replication: {username: postgres}\n"
         "    rewind: {username: postgres}\n"
         "  pg_hba:\n"
         "  - local all all trust\n"
         "  - host all all 127.0.0.1/32 trust\n"
         "  - host replication all 127.0.0.1/32 trust\n"
         "  parameters:\n"
         "    unix_socket_directories: "
      << dir << "\n";
    std::ofstream out(node.dir / "patroni.yml");
    out << c.str();
    return static_cast<bool>(out);
}

bool PatroniCluster::Start() {
    if (std::string missing = Missing(); !missing.empty()) {
        m_error = missing;
        return false;
    }
    if (m_dir.Path().empty()) {
        m_error = "no temporary folder";
        return false;
    }
    const passwd* account = ::geteuid() == 0 ? ::getpwnam(kAccount) : nullptr;
    auto own = [&](const std::filesystem::path& path) {
        if (account && ::chown(path.c_str(), account->pw_uid, account->pw_gid) != 0) {
            m_error = "cannot hand " + path.string() + " to postgres";
            return false;
        }
        return true;
    };

    m_etcdPort = FreeLoopbackPort();
    m_etcdPeerPort = FreeLoopbackPort();
    const std::string client = "http://127.0.0.1:" + std::to_string(m_etcdPort);
    const std::string peer = "http://127.0.0.1:" + std::to_string(m_etcdPeerPort);
    std::filesystem::create_directory(m_dir.Path() / "etcd");
    if (!own(m_dir.Path() / "etcd")) {
        return false;
    }
    m_etcd = Spawn({kEtcd, "--name", "e", "--data-dir", (m_dir.Path() / "etcd").string(),
                    "--listen-client-urls", client, "--advertise-client-urls", client,
                    "--listen-peer-urls", peer, "--initial-advertise-peer-urls", peer,
                    "--initial-cluster", "e=" + peer, "--log-level", "warn"},
                   m_dir.Path() / "etcd.log");
    if (m_etcd < 0 || !WaitUntil([&] { return HttpStatus(m_etcdPort, "/health") == 200; },
                                 std::chrono::seconds(30))) {
        m_error = "etcd did not start";
        return false;
    }

    for (int i = 0; i < kNodes; ++i) {
        Node node;
        node.name = "node" + std::to_string(i + 1);
        node.dir = m_dir.Path() / node.name;
        node.pgPort = FreeLoopbackPort();
        node.restPort = FreeLoopbackPort();
        std::filesystem::create_directory(node.dir);
        if (!own(node.dir) || !WriteNodeConfig(node)) {
            return false;
        }
        m_nodes.push_back(node);
    }
    // The first node runs initdb and takes the lead; the second copies it
    // and becomes its synchronous standby.
    if (!StartNode(0) ||
        !WaitUntil([&] { return Primary() == 0 || Ended(0); }, std::chrono::seconds(120)) ||
        Primary() != 0) {
        m_error = "the first node did not become the primary";
        return false;
    }
    if (!StartNode(1) ||
        !WaitUntil([&] { return IsSyncStandby(1) || Ended(1); }, std::chrono::seconds(120)) ||
        !IsSyncStandby(1)) {
        m_error = "the second node did not become the synchronous standby";
        return false;
    }

    // Connections go to the node that Patroni calls the primary. When that
    // changes, connections to the old one are cut at once, so that clients
    // notice and reconnect rather than talk to a node being demoted.
    m_balancerPort = FreeLoopbackPort();
    std::ostringstream conf;
    conf << "global\n"
            "    maxconn 2000\n"
            "defaults\n"
            "    mode tcp\n"
            "    timeout connect 1s\n"
            "    timeout client 30m\n"
            "    timeout server 30m\n"
            "    timeout check 1s\n"
            "frontend database\n"
            "    bind 127.0.0.1:"
         << m_balancerPort
         << "\n"
            "    default_backend primary\n"
            "backend primary\n"
            "    option httpchk GET /primary\n"
            "    http-check expect status 200\n"
            "    default-server inter 500ms fall 2 rise 1 on-marked-down shutdown-sessions\n";
    for (const Node& node : m_nodes) {
        conf << "    server " << node.name << " 127.0.0.1:" << node.pgPort << " check port "
             << node.restPort << "\n";
    }
    const std::filesystem::path path = m_dir.Path() / "haproxy.cfg";
    std::ofstream(path) << conf.str();
    if (!m_haproxy.Start({kHaproxy, "-f", path.string(), "-db"}, m_dir.Path() / "haproxy.log") ||
        !WaitForPort(m_balancerPort, 10000)) {
        m_error = "haproxy did not start";
        return false;
    }
    // HAProxy counts every server up until its checks say otherwise, so at
    // first it also sends connections to the standby, where a database just
    // made may not exist yet. Ready once its checks have taken the standby
    // out: connections in a row (taken in turn over both nodes) all reach
    // the primary.
    auto reachesPrimary = [&] {
        PGconn* conn = PQconnectdb((Uri("postgres") + "?connect_timeout=2").c_str());
        bool ok = PQstatus(conn) == CONNECTION_OK;
        if (ok) {
            PGresult* r = PQexec(conn, "SELECT pg_is_in_recovery()");
            ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 &&
                 std::string_view(PQgetvalue(r, 0, 0)) == "f";
            PQclear(r);
        }
        PQfinish(conn);
        return ok;
    };
    if (!WaitUntil(
            [&] {
                for (std::size_t i = 0; i < 3 * m_nodes.size(); ++i) {
                    if (!reachesPrimary()) {
                        return false;
                    }
                }
                return true;
            },
            std::chrono::seconds(20))) {
        m_error = "the balancer does not reach the primary";
        return false;
    }
    return true;
}

bool PatroniCluster::StartNode(int node) {
    Node& n = m_nodes.at(static_cast<std::size_t>(node));
    if (n.patroni > 0) {
        return true;
    }
    n.patroni = Spawn({kPatroni, (n.dir / "patroni.yml").string()}, n.dir / "patroni.log");
    return n.patroni > 0;
}

bool PatroniCluster::Switchover(int candidate) {
    const int primary = Primary();
    if (primary < 0 || primary == candidate) {
        return false;
    }
    const Node& c = m_nodes.at(static_cast<std::size_t>(candidate));
    pid_t pid =
        Spawn({kPatronictl, "-c", (c.dir / "patroni.yml").string(), "switchover", "--leader",
               m_nodes[static_cast<std::size_t>(primary)].name, "--candidate", c.name, "--force"},
              m_dir.Path() / "patronictl.log");
    if (pid < 0) {
        return false;
    }
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                   std::chrono::seconds(60))) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PatroniCluster::Ended(int node) {
    Node& n = m_nodes.at(static_cast<std::size_t>(node));
    if (n.patroni > 0 && ::waitpid(n.patroni, nullptr, WNOHANG) == n.patroni) {
        n.patroni = -1;
    }
    return n.patroni <= 0;
}

void PatroniCluster::KillPostgres(const Node& node) {
    std::ifstream pidFile(node.dir / "data" / "postmaster.pid");
    long postmaster = 0;
    if (!(pidFile >> postmaster) || postmaster <= 1) {
        return;
    }
    const pid_t pid = static_cast<pid_t>(postmaster);
    // The postmaster and each of its processes run in sessions of their
    // own: each gets the signal, the children found before the postmaster
    // dies and they pass to init.
    std::vector<pid_t> children = ChildrenOf(pid);
    ::kill(pid, SIGKILL);
    for (pid_t child : children) {
        ::kill(child, SIGKILL);
    }
    // Not our children: wait until they are gone (or zombies of init).
    WaitUntil([&] { return !Alive(pid); }, std::chrono::seconds(10));
    for (pid_t child : children) {
        WaitUntil([&] { return !Alive(child); }, std::chrono::seconds(5));
    }
}

void PatroniCluster::Kill(int node) {
    Node& n = m_nodes.at(static_cast<std::size_t>(node));
    if (n.patroni > 0) {
        ::kill(-n.patroni, SIGKILL);
        ::waitpid(n.patroni, nullptr, 0);
        n.patroni = -1;
    }
    KillPostgres(n);
}

void PatroniCluster::StopAll() {
    m_haproxy.Stop();
    for (int i = 0; i < static_cast<int>(m_nodes.size()); ++i) {
        Kill(i);
    }
    if (m_etcd > 0) {
        ::kill(-m_etcd, SIGKILL);
        ::waitpid(m_etcd, nullptr, 0);
        m_etcd = -1;
    }
}

int PatroniCluster::Primary() const {
    for (std::size_t i = 0; i < m_nodes.size(); ++i) {
        if (m_nodes[i].patroni > 0 && HttpStatus(m_nodes[i].restPort, "/primary") == 200) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool PatroniCluster::IsSyncStandby(int node) const {
    const Node& n = m_nodes.at(static_cast<std::size_t>(node));
    return n.patroni > 0 && HttpStatus(n.restPort, "/sync") == 200;
}

bool PatroniCluster::WaitUntil(const std::function<bool()>& ready,
                               std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::string PatroniCluster::Uri(const std::string& database) const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(m_balancerPort) + "/" + database;
}

std::string PatroniCluster::CreateDatabase() {
    std::string name =
        "kestrona_" + std::to_string(::getpid()) + "_" + std::to_string(++m_databases);
    PGconn* conn = PQconnectdb((Uri("postgres") + "?connect_timeout=5").c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(conn, ("CREATE DATABASE " + name).c_str());
        ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
    }
    if (!ok) {
        m_error = PQerrorMessage(conn);
    }
    PQfinish(conn);
    return ok ? Uri(name) : std::string();
}

std::string PatroniCluster::Log() const {
    std::string out = "--- etcd\n" + Tail(m_dir.Path() / "etcd.log");
    for (const Node& n : m_nodes) {
        out += "--- " + n.name + "\n" + Tail(n.dir / "patroni.log");
    }
    return out + "--- haproxy\n" + Tail(m_dir.Path() / "haproxy.log");
}

}  // namespace kestrona::test
