// Upgrades from the previous release: its server package replaced by this
// one's over a running installation's SQLite file, and its server beside
// this one's on one PostgreSQL database. upgrade_check.sh builds both
// packages and names them in KESTRONA_PREVIOUS_DEB and KESTRONA_NEW_DEB.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "server/raw_client.h"
#include "server/server_process.h"
#include "server/server_test_util.h"
#include "server/store.h"
#include "support/postgres_fixture.h"

namespace kestrona::server {
namespace {

using test::Bytes;
using test::ServerProcess;

// The account systemd's DynamicUser= would give the service: a number in its
// range that no file of this machine belongs to.
constexpr uid_t kServiceUid = 61934;

std::string Package(const char* variable) {
    const char* path = std::getenv(variable);
    return path ? path : "";
}

// Runs a shell command, its output kept for the failure message.
int Shell(const std::string& command, std::string* out = nullptr) {
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        return -1;
    }
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        text += buffer;
    }
    int status = ::pclose(pipe);
    if (out) {
        *out = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes Talk(std::uint16_t port, const Bytes& record) {
    test::RawClient client(port);
    client.ReadExactly(6);
    client.Send(record);
    return client.ReadToEnd();
}

std::int32_t Register(std::uint16_t port, const std::string& email, const std::string& password) {
    Bytes reply = Talk(port, test::RegisterRecord("\xD5\xC5\xC8\xFD", password, email));
    EXPECT_EQ(test::Prefix(reply, 18), "REGISTERNEWSUCCESS") << email;
    return reply.size() >= 22 ? records::GetInt(reply.data(), 18) : 0;
}

// 0 accepted, 1 refused, 2 wrong password; -1 no answer.
std::int32_t Login(std::uint16_t port, std::int32_t number, const std::string& password) {
    Bytes reply = Talk(port, test::LoginRecord(number, password, 7000));
    return reply.size() >= 24 ? records::GetInt(reply.data(), records::login_result::kResult) : -1;
}

// Subscribers by number with their passwords.
using Accounts = std::map<std::int32_t, std::string>;

void RegisterSome(std::uint16_t port, Accounts& accounts, const std::string& tag, int count) {
    for (int i = 0; i < count; ++i) {
        std::string password = tag + "-pw-" + std::to_string(i);
        std::int32_t number = Register(port, tag + std::to_string(i) + "@example.org", password);
        ASSERT_NE(number, 0);
        accounts[number] = password;
        ASSERT_EQ(Login(port, number, password), 0);
    }
}

void ExpectEveryLogin(std::uint16_t port, const Accounts& accounts, const char* where) {
    for (const auto& [number, password] : accounts) {
        EXPECT_EQ(Login(port, number, password), 0) << number << " through " << where;
        EXPECT_EQ(Login(port, number, password + "x"), 2) << number << " through " << where;
    }
}

int SqliteVersion(const std::string& path) {
    sqlite3* db = nullptr;
    int version = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* read = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT max(version) FROM schema_version", -1, &read, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(read) == SQLITE_ROW) {
            version = sqlite3_column_int(read, 0);
        }
        sqlite3_finalize(read);
    }
    sqlite3_close(db);
    return version;
}

struct FileState {
    bool exists = false;
    ino_t inode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return {};
    }
    return {true, st.st_ino, st.st_uid, st.st_gid, st.st_mode & 07777};
}

std::ostream& operator<<(std::ostream& os, const FileState& s) {
    return os << (s.exists ? "" : "missing ") << "inode " << s.inode << " owner " << s.uid << ":"
              << s.gid << " mode " << std::oct << s.mode << std::dec;
}

// A Debian system of its own in a folder: dpkg installs, upgrades and
// records packages there as it does in /, while the machine's own packages
// and dpkg database stay untouched. The packages' libraries come from the
// machine, hence no dependencies are checked inside.
class PackageRoot {
  public:
    PackageRoot() {
        std::filesystem::permissions(root(), std::filesystem::perms(0755));
        std::filesystem::create_directories(root() + "/var/lib/dpkg/updates");
        std::filesystem::create_directories(root() + "/var/lib/dpkg/info");
        std::ofstream(root() + "/var/lib/dpkg/status").flush();
    }
    std::string root() const { return dir_.File(""); }
    std::string Path(const std::string& absolute) const { return dir_.File(absolute.substr(1)); }

    bool Install(const std::string& deb, std::string* out) {
        return Shell("timeout 120 dpkg --root=" + root() +
                         " --force-not-root --force-depends --log=/dev/null -i " + deb,
                     out) == 0;
    }
    std::string Query(const std::string& package) {
        std::string out;
        Shell("dpkg-query --root=" + root() + " -W -f='${Version} ${db:Status-Abbrev}' " + package,
              &out);
        return out;
    }

    // The state folder as systemd makes it for a DynamicUser= service with
    // StateDirectory=: /var/lib/private/NAME owned by the service's account,
    // reached through the link /var/lib/NAME. /var/lib/private is root's
    // alone outside the service; inside it, systemd opens it to the
    // service, as here.
    void MakeStateDirectory(const std::string& name) {
        const std::string private_dir = Path("/var/lib/private");
        std::filesystem::create_directories(private_dir + "/" + name);
        std::filesystem::permissions(private_dir, std::filesystem::perms(0755));
        std::filesystem::permissions(private_dir + "/" + name, std::filesystem::perms(0700));
        ASSERT_EQ(::chown((private_dir + "/" + name).c_str(), kServiceUid, kServiceUid), 0);
        std::filesystem::create_directory_symlink("private/" + name, Path("/var/lib/" + name));
    }

  private:
    test::TempDir dir_;
};

// The installed unit's ExecStart, as systemd would run it inside root: the
// service's account, UMask=0077, the program and its --db.
struct UnitCommand {
    std::vector<std::string> program;
    std::string db;
};

UnitCommand ServiceCommand(const PackageRoot& root) {
    std::ifstream unit(root.Path("/usr/lib/systemd/system/kestrona-server.service"));
    std::string line;
    std::vector<std::string> words;
    while (std::getline(unit, line)) {
        if (line.starts_with("ExecStart=")) {
            std::istringstream in(line.substr(10));
            for (std::string w; in >> w;) {
                words.push_back(w);
            }
        }
    }
    UnitCommand c;
    // /usr/bin/kestrona-server --db /var/lib/kestrona-server/kestrona.db $OPTS
    EXPECT_GE(words.size(), 3u) << "no ExecStart in the installed unit";
    if (words.size() < 3 || words[1] != "--db") {
        ADD_FAILURE() << "the unit does not name its database with --db first";
        return c;
    }
    c.program = {"/bin/sh",
                 "-c",
                 "umask 077 && exec \"$@\"",
                 "sh",
                 "/usr/bin/setpriv",
                 "--reuid=" + std::to_string(kServiceUid),
                 "--regid=" + std::to_string(kServiceUid),
                 "--clear-groups",
                 root.Path(words[0])};
    c.db = root.Path(words[2]);
    return c;
}

class Upgrade : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = Package("KESTRONA_PREVIOUS_DEB");
        next_ = Package("KESTRONA_NEW_DEB");
        if (previous_.empty() || next_.empty()) {
            GTEST_SKIP() << "run through upgrade_check.sh, which builds both releases' packages";
        }
    }
    std::string previous_;
    std::string next_;
};

// The previous release installed and serving from its state folder, then
// this release's package installed over it: the file stays where it was,
// with its owner and mode, every subscriber logs in with the password it
// had, and the schema is this release's.
TEST_F(Upgrade, ThePackageUpgradeKeepsTheDatabaseItsModeAndEverySubscriber) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the service runs under an account of its own, which needs root";
    }
    PackageRoot root;
    std::string out;
    ASSERT_TRUE(root.Install(previous_, &out)) << out;
    const std::string installed = root.Query("kestrona-server");
    ASSERT_TRUE(installed.ends_with(" ii ")) << installed;
    root.MakeStateDirectory("kestrona-server");
    UnitCommand unit = ServiceCommand(root);
    ASSERT_FALSE(unit.db.empty());

    Accounts accounts;
    {
        ServerProcess old(unit.program, unit.db);
        ASSERT_NE(old.port(), 0) << old.first_line();
        RegisterSome(old.port(), accounts, "old", 5);
    }
    const int old_version = SqliteVersion(unit.db);
    EXPECT_GT(old_version, 0);
    EXPECT_LE(old_version, kSchemaVersion);
    const FileState before = StateOf(unit.db);
    ASSERT_TRUE(before.exists) << unit.db;
    EXPECT_EQ(before.uid, kServiceUid);
    EXPECT_EQ(before.mode, 0600u);

    ASSERT_TRUE(root.Install(next_, &out)) << out;
    const std::string upgraded = root.Query("kestrona-server");
    EXPECT_TRUE(upgraded.ends_with(" ii ")) << upgraded;
    std::string ordered;
    EXPECT_EQ(Shell("dpkg --compare-versions '" + upgraded.substr(0, upgraded.find(' ')) +
                        "' ge '" + installed.substr(0, installed.find(' ')) + "'",
                    &ordered),
              0)
        << upgraded << " after " << installed;
    // The package owns no part of the state folder: the upgrade left it alone.
    EXPECT_EQ(StateOf(unit.db), before);
    EXPECT_EQ(SqliteVersion(unit.db), old_version);

    unit = ServiceCommand(root);
    {
        ServerProcess next(unit.program, unit.db);
        ASSERT_NE(next.port(), 0) << next.first_line();
        ExpectEveryLogin(next.port(), accounts, "the upgraded server");
        RegisterSome(next.port(), accounts, "new", 2);
    }
    EXPECT_EQ(SqliteVersion(unit.db), kSchemaVersion);
    EXPECT_EQ(StateOf(unit.db), before);
    for (const char* suffix : {"-wal", "-shm"}) {
        FileState s = StateOf(unit.db + suffix);
        if (s.exists) {
            EXPECT_EQ(s.uid, kServiceUid) << suffix;
            EXPECT_EQ(s.mode, 0600u) << suffix;
        }
    }
}

// A database connection of the test's own.
class Sql {
  public:
    explicit Sql(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {}
    ~Sql() { PQfinish(conn_); }
    bool Ok() const { return PQstatus(conn_) == CONNECTION_OK; }
    // The first column of every row, joined by newlines; "ERROR …" on failure.
    std::string Run(const std::string& sql) {
        PGresult* r = PQexec(conn_, sql.c_str());
        std::string text;
        if (PQresultStatus(r) == PGRES_TUPLES_OK) {
            for (int i = 0; i < PQntuples(r); ++i) {
                text += std::string(PQgetvalue(r, i, 0)) + "\n";
            }
        } else if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            text = "ERROR " + std::string(PQerrorMessage(conn_));
        }
        PQclear(r);
        return text;
    }

  private:
    PGconn* conn_;
};

// Everything a server could have changed: the tables, their columns and the
// recorded version.
std::string Catalogue(Sql& sql) {
    return sql.Run(
               "SELECT table_name || '.' || column_name || ' ' || data_type || ' ' || "
               "coalesce(column_default, '') FROM information_schema.columns "
               "WHERE table_schema = 'public' ORDER BY 1") +
           sql.Run("SELECT string_agg(version::text, ',') FROM schema_version") +
           sql.Run("SELECT count(*) FROM subscribers");
}

// The servers of both releases as their packages install them.
struct Programs {
    test::TempDir dir;
    std::string previous;
    std::string next;
};

std::unique_ptr<Programs> Unpack(const std::string& previous, const std::string& next) {
    auto p = std::make_unique<Programs>();
    std::string out;
    for (auto [deb, into] : {std::pair{previous, "previous"}, std::pair{next, "next"}}) {
        if (Shell("dpkg-deb -x " + deb + " " + p->dir.File(into), &out) != 0) {
            ADD_FAILURE() << out;
            return nullptr;
        }
    }
    p->previous = p->dir.File("previous/usr/bin/kestrona-server");
    p->next = p->dir.File("next/usr/bin/kestrona-server");
    return p;
}

// The previous release serves a PostgreSQL database of its schema; two
// instances of this release start beside it while the upgrade lock is held
// (a migration under way): both wait, the old one goes on serving, and once
// the lock is free one of them migrates and both serve every subscriber. The
// old instance keeps working on the migrated tables; restarted, it refuses
// them, as this release refuses a database newer than itself, changing
// nothing.
TEST_F(Upgrade, InstancesOfBothReleasesOnOnePostgresDatabase) {
    std::string why;
    kestrona::test::PostgresCluster* cluster = kestrona::test::PostgresCluster::Shared(&why);
    ASSERT_TRUE(cluster) << why;
    const std::string uri = cluster->CreateDatabase();
    ASSERT_FALSE(uri.empty()) << cluster->Error();
    std::unique_ptr<Programs> programs = Unpack(previous_, next_);
    ASSERT_TRUE(programs);
    Sql sql(uri);
    ASSERT_TRUE(sql.Ok());

    Accounts accounts;
    auto old = std::make_unique<ServerProcess>(std::vector{programs->previous}, uri);
    ASSERT_NE(old->port(), 0) << old->first_line();
    RegisterSome(old->port(), accounts, "old", 4);
    const std::string old_version = sql.Run("SELECT max(version) FROM schema_version");
    ASSERT_LE(std::stoi(old_version), kSchemaVersion) << old_version;

    // The lock every server takes to read and upgrade the schema.
    Sql holder(uri);
    ASSERT_EQ(holder.Run("SELECT pg_advisory_lock(7402001)::text"), "\n");
    std::unique_ptr<ServerProcess> first;
    std::unique_ptr<ServerProcess> second;
    std::thread starting_first(
        [&] { first = std::make_unique<ServerProcess>(std::vector{programs->next}, uri); });
    std::thread starting_second(
        [&] { second = std::make_unique<ServerProcess>(std::vector{programs->next}, uri); });
    // Both wait on the lock; the old instance answers meanwhile.
    std::string waiting;
    for (int i = 0; i < 100 && waiting != "2\n"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        waiting = sql.Run(
            "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted "
            "AND objid = 7402001");
    }
    EXPECT_EQ(waiting, "2\n");
    RegisterSome(old->port(), accounts, "during", 2);
    EXPECT_EQ(sql.Run("SELECT max(version) FROM schema_version"), old_version);
    holder.Run("SELECT pg_advisory_unlock(7402001)");
    starting_first.join();
    starting_second.join();
    ASSERT_NE(first->port(), 0) << first->first_line();
    ASSERT_NE(second->port(), 0) << second->first_line();
    EXPECT_EQ(sql.Run("SELECT string_agg(version::text, ',') FROM schema_version"),
              std::to_string(kSchemaVersion) + "\n");

    ExpectEveryLogin(first->port(), accounts, "the first new instance");
    ExpectEveryLogin(second->port(), accounts, "the second new instance");
    // The old instance, still running, serves the migrated tables: its
    // registrations and logins reach the new instances and back.
    RegisterSome(old->port(), accounts, "after", 1);
    RegisterSome(second->port(), accounts, "new", 1);
    ExpectEveryLogin(old->port(), accounts, "the old instance");
    ExpectEveryLogin(first->port(), accounts, "the first new instance");
    const std::string count = sql.Run("SELECT count(DISTINCT number) FROM subscribers");
    EXPECT_EQ(count, std::to_string(accounts.size()) + "\n");

    // Restarted, the old release refuses the migrated database.
    old.reset();
    const std::string migrated = Catalogue(sql);
    ServerProcess restarted(std::vector{programs->previous}, uri);
    EXPECT_EQ(restarted.port(), 0) << restarted.first_line();
    EXPECT_EQ(restarted.ExitStatus(), 1);
    EXPECT_NE(restarted.first_line().find("schema version " + std::to_string(kSchemaVersion)),
              std::string::npos)
        << restarted.first_line();
    EXPECT_EQ(Catalogue(sql), migrated);

    // A database that a later release upgraded: this one refuses it with
    // both versions named and leaves it as it was.
    first.reset();
    second.reset();
    const int later = kSchemaVersion + 1;
    ASSERT_EQ(sql.Run("UPDATE schema_version SET version = " + std::to_string(later)), "");
    const std::string newer = Catalogue(sql);
    ServerProcess refused(std::vector{programs->next}, uri);
    EXPECT_EQ(refused.port(), 0) << refused.first_line();
    EXPECT_EQ(refused.ExitStatus(), 1);
    const std::string& message = refused.first_line();
    EXPECT_NE(message.find("schema version " + std::to_string(later)), std::string::npos)
        << message;
    EXPECT_NE(message.find("this server's " + std::to_string(kSchemaVersion)), std::string::npos)
        << message;
    EXPECT_NE(message.find("left as it is"), std::string::npos) << message;
    EXPECT_EQ(Catalogue(sql), newer);
}

}  // namespace
}  // namespace kestrona::server
